/*
 * tovu_base.h - the engine's small helpers that the rest of the program uses:
 * the channel count, ASCII case-insensitive compares, the integer reader, the
 * UTF-8 cut, whole writes, regular-file opens, one-shot timers, the URL
 * tests, the channel log writers, the program's messages on standard
 * output, the program's folder and this host's address, the transcoder's
 * file name and handshake, and a copy of the load figures. Everything else of the engine (the slot table, its lock, the
 * settings) stays inside it.
 */
#ifndef TOVU_BASE_H
#define TOVU_BASE_H

#include <signal.h>
#include <stddef.h>
#include <sys/stat.h>
#include <time.h>

#include "tovu.h"

#ifdef __cplusplus
extern "C" {
#endif

/* the most channels the service runs; the engine keeps twice as many slots
 * (slot N + TOVU_MAX_CHANNELS serves channel N's time shift) */
#define TOVU_MAX_CHANNELS 16

/* handshake token written to the transcoder before its argument string */
#define TOVU_HANDSHAKE_TOKEN "kfRwa_3861 "
/* file name of the transcoder executable, in the transcoder folder */
#define TOVU_TRANSCODER_FNAME "tovul.so"

/* case-insensitive comparisons in ASCII only, whatever the process locale */
int tovu_strcasecmp(const char *a, const char *b);
int tovu_strncasecmp(const char *a, const char *b, size_t n);

/* a decimal int after optional white space and sign, as "%d" reads it, held
 * to the int range; 0 (and *out unchanged) when no digit follows */
int tovu_read_int(const char *p, int *out);
/* the same reader, telling more: 0 when no digit follows (*out and *end
 * unchanged); else *out is set, *end (when not null) points past the digits,
 * and the result is 1, or 2 when the number lay outside the int range and
 * *out holds the nearer end of it */
int tovu_parse_int(const char *p, int *out, const char **end);

/* the length of text (len bytes) cut to at most max bytes, never inside a
 * UTF-8 character: a cut that would land on a continuation byte moves back
 * to the start of its character */
size_t tovu_utf8_cut(const char *text, size_t len, size_t max);

/* writes len bytes to fd whole, going on after a signal or a short write;
 * the number written: len, or less after a failure (errno tells why) */
size_t tovu_write_all(int fd, const void *buf, size_t len);

/* opens path for reading when it is a regular file, without waiting on a
 * pipe in its place: the descriptor (blocking, close-on-exec), or -1 when
 * there is none or it is not a regular file; st, when given, gets its status */
int tovu_open_regular(const char *path, struct stat *st);

/* One message of the program on standard output, in the one style of them
 * all: "TOVUL: ", the text formatted as printf's and a line feed, written in
 * one piece (messages of two threads never mix) and flushed at once. The
 * fixed texts of the start-up (banner, start-up line, failures) and the
 * timers' "timer_create %d error" are printed as they stand instead. */
void tovu_message(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* a one-shot timer that runs func on a new thread ms milliseconds from now,
 * with id as the sigval's int. 0 when it cannot be created or armed: then
 * "timer_create %d error" (or "timer_settime %d error") with id is printed,
 * followed by a line naming what (e.g. "restart timer of channel 3") and the
 * system's error text */
timer_t tovu_one_shot_timer(int id, long ms, void (*func)(union sigval), const char *what);

int _is_url(const char *url);
int _is_rtmp_url(const char *url);
int _is_rtp_url(const char *url);
int _is_realtime_url(const char *url);
const char *Inet_ntoa(unsigned long addr);
const char *get_local_ip(void);

/* the folder of the running program, without a final "/" ("" for the root) */
const char *tovu_get_prog_dir(void);

/* channel logs: one line (with a time stamp when b_timestamp) in the log of
 * channel_id, tovu_NNN.log in the engine's log folder */
int tovu_log(int channel_id, int b_timestamp, const char *log_str);
int tovu_logf(int channel_id, int b_timestamp, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

/* the load figures of the last once-a-second sample, copied under the
 * engine's lock: per CPU in percent (at most TOVU_MAX_CPUS) and the GPU */
#define TOVU_MAX_CPUS 64
typedef struct TOVU_LOAD_FIGURES {
    int nb_cpus;
    int cpu[TOVU_MAX_CPUS];
    int nb_gpus;
    int gpu;
} TOVU_LOAD_FIGURES;
void tovu_get_load_figures(TOVU_LOAD_FIGURES *figures);

#ifdef __cplusplus
}

#include <string>

#include <sys/types.h>

/* a start's or preview's refusal: one line in the channel's log, formatted
 * as tovu_logf formats it, and noted as the start's cause */
void tovu_log_refusal(int channel_id, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
/* The cause of a refused start as its channel log gets it: each refusal that
 * the engine logs (tovu_log_error) or that channel control logs
 * (tovu_log_refusal) is noted for the calling thread, whether or not logging
 * is on.  tovu_take_refusal gives the last one noted since the previous take,
 * or "", and forgets it; whoever asks for a start takes it once before and
 * once after, and can so tell why the start was refused. */
std::string tovu_take_refusal(void);

/* what "/proc/<pid>/stat" tells of a process */
struct TovuProcStat {
    char state = 0;
    pid_t ppid = 0;
    pid_t pgrp = 0;
    pid_t session = 0;
    unsigned long long start = 0;   /* start time, clock ticks after boot */
};
/* false when there is no such process (or its file does not read) */
bool tovu_proc_stat(pid_t pid, TovuProcStat *st);
#endif

#endif /* TOVU_BASE_H */
