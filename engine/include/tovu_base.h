/*
 * tovu_base.h - the engine's small helpers that the rest of the program uses:
 * ASCII case-insensitive compares, the integer reader, the URL tests, the
 * channel log writers, the program's folder and this host's address, the
 * transcoder's file name and handshake, and a copy of the load figures.
 * Everything else of the engine (the slot table, its lock, the settings)
 * stays inside it.
 */
#ifndef TOVU_BASE_H
#define TOVU_BASE_H

#include <stddef.h>

#include "tovu.h"

#ifdef __cplusplus
extern "C" {
#endif

/* handshake token written to the transcoder before its argument string */
#define TOVU_HANDSHAKE_TOKEN "kfRwa_3861 "
/* file name of the transcoder executable, in the transcoder folder */
#define TOVU_TRANSCODER_FNAME "tovul.so"

/* case-insensitive comparisons in ASCII only, whatever the process locale */
int _tovu_strcasecmp(const char *a, const char *b);
int _tovu_strncasecmp(const char *a, const char *b, size_t n);

/* a decimal int after optional white space and sign, as "%d" reads it, held
 * to the int range; 0 (and *out unchanged) when no digit follows */
int _tovu_read_int(const char *p, int *out);

int _is_url(const char *url);
int _is_rtmp_url(const char *url);
int _is_rtp_url(const char *url);
int _is_realtime_url(const char *url);
const char *Inet_ntoa(unsigned long addr);
const char *get_local_ip(void);

/* the folder of the running program, ending in "/" */
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
#endif

#endif /* TOVU_BASE_H */
