/*
 * tovu_testing.h - the engine's test hooks. Only tests link the target that
 * exports this header (tovu_testing); the program never calls them.
 */
#ifndef TOVU_TESTING_H
#define TOVU_TESTING_H

#include <stddef.h>
#include <time.h>

#include "tovu.h"
#include "tovu_base.h"

#ifdef __cplusplus
#include <string>

extern "C" {
#endif

/* the clock of the poll (stream silence, yt-dlp bound, load sample), in
 * seconds; null restores the wall clock */
typedef time_t (*TOVU_CLOCK)(void);
void _tovu_set_clock(TOVU_CLOCK fn);

/* puts engine slot `slot` into a state with its figures (-1: not known),
 * with no process behind it: 0, or -1 when there is no such slot */
int _tovu_set_slot(int slot, TOVU_CHANNEL_STATE state, int streaming_time, int fps, int bitrate);
/* every slot without a process back to idle */
void _tovu_idle_slots(void);
/* the load figures that tovu_get_load_figures gives until the next sample */
void _tovu_set_load_figures(const TOVU_LOAD_FIGURES *figures);

/* a copy of the settings the engine runs with, as the last tovu_init or
 * tovu_reset gave them */
typedef struct TOVU_TEST_SETTINGS {
    int log_level;
    char omx_path[256];
    char ytdlp_path[256];
} TOVU_TEST_SETTINGS;
void _tovu_get_settings(TOVU_TEST_SETTINGS *settings);
/* how many sweeps for children that no slot records the poll has made */
unsigned _tovu_sweeps(void);

#ifdef __cplusplus
}

/* the argument string a start of these records would hand over, composed
 * under the engine lock without starting anything; as tovu_compose_args */
int _tovu_compose_args(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                       const TOVU_TARGET *const *targets, int nb_targets, int mux_mode,
                       std::string *arg_str);
#endif

#endif /* TOVU_TESTING_H */
