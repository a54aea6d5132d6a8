/*
 * tovu_engine_internal.h - inside the engine: its settings and slot table,
 * the engine lock that guards them, the runner's inner calls, the SDP reader
 * and the argument composer's pieces. Nothing outside the engine includes it
 * (its own tests aside); what others use is in include/ (tovu.h, tovu_base.h,
 * tovu_proc.h), what tests use in testing/tovu_testing.h.
 */
#ifndef TOVU_ENGINE_INTERNAL_H
#define TOVU_ENGINE_INTERNAL_H

#include <stdio.h>
#include <time.h>
#include <sys/types.h>

#include "tovu.h"
#include "tovu_base.h"
#include "tovu_proc.h"
#include "tovu_testing.h"

#ifdef __cplusplus
#include <pthread.h>

#include <functional>
#include <string>

#include "tovu_thread_safety.h"

/* the engine lock (see "engine lock" below): recursive, and statically
   initialised, so that it is usable from any thread at any time, also before
   main and after the table is gone */
class TOVU_CAPABILITY("mutex") TovuEngineMutex {
public:
    void lock() TOVU_ACQUIRE() { pthread_mutex_lock(&m_mutex); }
    void unlock() TOVU_RELEASE() { pthread_mutex_unlock(&m_mutex); }

    pthread_mutex_t m_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
};
extern TovuEngineMutex g_engineMutex;

extern "C" {
#endif

/* ---------------------------------------------------------------- child-process runner, inside */

/* sends sig to the recorded child; SIGKILL goes to its whole process group
 * (the child and what it started that stayed in the group). The child runs
 * in a group of its own and is the subreaper of its descendants; when
 * tovu_poll_proc reaps it, the rest of its group is killed. -1 without a
 * child, else kill's result */
int tovu_kill_proc(const TOVU_PROC_CTX *proc, int sig);
/* the process descriptor of the recorded child (readable once it has ended),
 * or -1 when there is none for it */
int tovu_proc_pidfd(const TOVU_PROC_CTX *proc);
/* how many slot descriptors (pipe ends, process descriptors) the runner has
 * closed so far */
unsigned tovu_proc_closes(void);

/* ---------------------------------------------------------------- engine state */

typedef struct TOVU_CPU_USAGE {
    uint32_t last_load;          /* busy jiffies at the last sample */
    uint32_t last_total;         /* all jiffies at the last sample */
    int load_pct;
} TOVU_CPU_USAGE;

typedef struct TOVU_GLOBAL {
    int log_level;
    int nb_channels_max;         /* number of engine slots, 32 */
    char ffmpeg_path[256];       /* full path of the transcoder executable */
    char log_path[256];          /* log folder, ending in "/" */
    char omx_path[256];
    char ytdlp_path[256];
    int nb_cpus;
    TOVU_CPU_USAGE cpu_usage[TOVU_MAX_CPUS];
    int nb_gpus;
    TOVU_CPU_USAGE gpu_usage;
    int nb_cpu_per_channel;
    int b_init;                  /* 1 between tovu_init and tovu_free */
    TOVU_CALLBACK fnAppCallback;
} TOVU_GLOBAL;

extern TOVU_GLOBAL g_cfg TOVU_GUARDED_BY(g_engineMutex);

/* the arguments of a start, kept while yt-dlp resolves the first source */
typedef struct TOVU_CHAN_PARAM {
    TOVU_SOURCE *sources;
    int nb_sources;
    TOVU_TARGET **targets;
    int nb_targets;
    int mux_mode;
    int b_preview;
} TOVU_CHAN_PARAM;

/* one engine slot */
typedef struct TOVU_CHAN_CTX {
    TOVU_PROC_CTX proc;
    TOVU_CHAN_PARAM *param;
    TOVU_CHANNEL_STATE state;
    int streaming_time;          /* seconds; -1 = not yet known */
    int fps;                     /* -1 = not yet known */
    int bitrate;                 /* kbit/s; -1 = not yet known */
    time_t tm_alive;             /* time of the last output chunk; 0 = none yet */
} TOVU_CHAN_CTX;

/* the slot table: g_cfg.nb_channels_max slots, or null while the engine has none */
extern TOVU_CHAN_CTX *g_proc_channels TOVU_GUARDED_BY(g_engineMutex) TOVU_PT_GUARDED_BY(g_engineMutex);

void tovu_init_channels(void);
const char *tovu_get_prog_fname(void);

/* ---------------------------------------------------------------- engine lock
 *
 * One recursive engine lock guards g_cfg and the slot table: the pointer
 * g_proc_channels, nb_channels_max and every field of every slot. Every engine
 * entry point that reads or changes them holds it: a start from its busy test
 * to its end (so two starts of one slot cannot both pass), the poll while it
 * handles one slot (taken and released per slot, never held across a sleep),
 * tovu_stop, the getters, the loggers, set-up and release (which frees the
 * table and clears the pointer under it, but sleeps between polls without it);
 * being recursive, code that holds it may call any engine function,
 * tovu_transcode and tovu_stop included. Never wait without a bound while
 * holding it, and never take it in a forked child: other threads block on it.
 * Its place among the other locks: docs/threads.md.
 */
void tovu_lock(void) TOVU_ACQUIRE(g_engineMutex);
void tovu_unlock(void) TOVU_RELEASE(g_engineMutex);
/* the slot, or null when channel_id is outside the table or there is no
 * table; the caller holds the engine lock for as long as it uses the slot */
TOVU_CHAN_CTX *tovu_slot_locked(int channel_id) TOVU_REQUIRES(g_engineMutex);

/* ---------------------------------------------------------------- SDP reader */

int tovuImportSdpInternal(FILE *fpSdp, TOVU_VIDEO_STREAM *pVideo,
                          TOVU_AUDIO_STREAM *pAudio, int iDst);

/* ---------------------------------------------------------------- start arguments */

void _tovu_copy_param(TOVU_CHAN_CTX *chan, const TOVU_SOURCE *sources, int nb_sources,
                      const TOVU_TARGET *const *targets, int nb_targets,
                      int mux_mode, int b_preview);
char *_strallocpy(const char *src);
void _tovu_free_param(TOVU_CHAN_CTX *chan);

/* ---------------------------------------------------------------- URL rules and small utilities */

char **get_local_ips(void);
char *_utf8tolcs(const char *utf8, char *lcs, size_t sz);

void _parse_opt(const char *str, const char *opt, int *val);

#ifdef __cplusplus
}

/* holds the engine lock for its scope: { TovuLock lock; ... } */
class TOVU_SCOPED_CAPABILITY TovuLock {
public:
    TovuLock() TOVU_ACQUIRE(g_engineMutex) { tovu_lock(); }
    ~TovuLock() TOVU_RELEASE() { tovu_unlock(); }
    TovuLock(const TovuLock &) = delete;
    TovuLock &operator=(const TovuLock &) = delete;
};

/* a failure in the log of channel_id: two timestamped entries, "<what>
 * <code>" (as "error -3" or "yt-dlp error -5") and its cause, formatted as
 * tovu_logf's, written together after one rotation check, so that no
 * rotation separates them. Returns code, whether or not the log took them. */
int tovu_log_error(int channel_id, const char *what, int code, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* ---------------------------------------------------------------- processes (C++ only) */

/* calls fn with each process of the host, from "/proc", and what its stat
 * line tells (tovu_proc_stat), until fn returns false; its cost grows with
 * what the host runs */
void tovu_each_process(const std::function<bool(pid_t, const TovuProcStat &)> &fn);

/* the run record (tovu_run_record.h): a child just started from exe, a child
 * reaped or given up on, and the release, which removes the record */
void tovu_record_started(pid_t pid, const char *exe);
void tovu_record_ended(pid_t pid);
void tovu_record_release(void);

/* ---------------------------------------------------------------- argument string (C++ only) */

/* Each appends its piece to *arg_str and returns 0 or a negative engine code.
 * The filter part is written only for a single-source layout (nb_sources 1);
 * nb_targets tells whether the failover graph may be written. The output part
 * is that of one output standing alone (in no HLS fold). */
int _tovu_make_input_args(int channel_id, const TOVU_SOURCE *source, std::string *arg_str);
int _tovu_make_filter_args(const TOVU_SOURCE *source, int nb_sources, const TOVU_TARGET *target,
                           int nb_targets, std::string *arg_str);
int _tovu_make_output_args(int channel_id, int source_id, int nb_sources, int target_id,
                           const TOVU_TARGET *target, std::string *arg_str)
    TOVU_REQUIRES(g_engineMutex);
/* 1 when a text of the records that a start reads (the pairs of mux_mode's
 * layout) holds a line feed or carriage return, or when an address or the
 * alternate input, which the string puts in double quotes, holds a double
 * quote; else 0 (a filter's double quotes are written so that they keep the
 * word whole, see strcpy_esc) */
int tovu_records_have_line_break(const TOVU_SOURCE *sources, int nb_sources,
                                  const TOVU_TARGET *const *targets, int nb_targets, int mux_mode);
/* appends the filter src to *dst as the transcoder's filter graph reads it:
 * a backslash before every ':' and every '\', and before an apostrophe that
 * a backslash outside single quotes escapes; a double quote as "'"'" */
void strcpy_esc(std::string *dst, const char *src);

/*
 * Longest argument string handed to the transcoder, in characters. With the
 * token and the line feed it stays within half of a pipe buffer (64 KiB), so
 * the hand-over never waits for the transcoder to read.
 */
#define TOVU_ARG_STR_MAX 32767

/*
 * The whole argument string of one start, as the transcoder receives it after
 * the handshake token (without the final line feed). Starts nothing.
 * Returns 0 and fills *arg_str, or a negative engine code (the string is
 * then empty): -6, -7 from the inputs, -8, -9, -10 from the outputs,
 * TOVU_ERR_ARGS_TOO_LONG for a string longer than TOVU_ARG_STR_MAX,
 * TOVU_ERR_LINE_BREAK when a text of the records (or of the engine's
 * settings) would put a line feed or carriage return into the string or the
 * SDP file.
 */
int tovu_compose_args(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                      const TOVU_TARGET *const *targets, int nb_targets, int mux_mode,
                      std::string *arg_str) TOVU_REQUIRES(g_engineMutex);
#endif

#endif /* TOVU_ENGINE_INTERNAL_H */
