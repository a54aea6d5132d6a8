/*
 * tovu_channel_testing.h - channel control's test hooks. Only tests link the
 * target that exports this header (tovuchannel_testing).
 */
#ifndef TOVU_CHANNEL_TESTING_H
#define TOVU_CHANNEL_TESTING_H

#include "tovu.h"

/*
 * The engine call a channel start or preview makes.  Tests put their own in
 * its place to see the records; null puts tovu_transcode back.
 */
typedef int (*TOVU_TRANSCODE_FN)(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                                 const TOVU_TARGET *const *targets, int nb_targets,
                                 int mux_mode, int b_preview);
void _tovuSetChannelTranscoder(TOVU_TRANSCODE_FN fn);

#endif /* TOVU_CHANNEL_TESTING_H */
