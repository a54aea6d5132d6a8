/*
 * tovu_poll.h - inner knobs of the supervision poll, for the engine's own
 * tests and tools; the application needs only tovu_poll and tovu_free (its
 * clock for tests: tovu_testing.h).
 */
#ifndef TOVU_POLL_H
#define TOVU_POLL_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* a transcoder silent for more than this many seconds after its last output is killed */
#define TOVU_HANG_SECS 30
/* a yt-dlp run that has not ended this many seconds after it was first polled is killed */
#define TOVU_YTDLP_MAX_SECS 60
/* output of one running slot read in one pass at most, in 4095-byte chunks;
 * more stays in the pipe for the next pass */
#define TOVU_MAX_CHUNKS_PER_PASS 256
/* yt-dlp output kept at most; more is dropped */
#define TOVU_YTDLP_MAX_OUTPUT (1024 * 1024)

/* one load sample of every CPU from the text of "/proc/stat" */
void tovu_sample_cpu_load(const char *stat_text);

#ifdef __cplusplus
}
#endif

#endif /* TOVU_POLL_H */
