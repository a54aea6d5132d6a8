/*
 * tovu_channel_source.h - one source record of a channel start or preview,
 * built from the first source of a channel and its input: the format, the
 * address (a folder replaced by its playlist's current file), the input
 * options, the source video options, the stream selection and, for a start,
 * the alternate input and the filters.
 *
 * The caller holds a TovuConfigLock: the alternate input and the filters
 * point into the document until the caller gives them texts of their own.
 */
#ifndef TOVU_CHANNEL_SOURCE_H
#define TOVU_CHANNEL_SOURCE_H

#include <stddef.h>

#include "tovu.h"
#include "tovu_channel_util.h"
#include "tovu_config.h"

/*
 * What a start and a preview make differently of a source.  A preview's
 * source always loops its input, leaves out the alternate input, the
 * filters, the input's "customOptions" and the source video options of
 * hardware decoding, and selects its streams without a source index.
 */
struct TovuSourceKind {
    const char *what;          /* names the log lines: "channel start" */
    bool preview;
    /* capacities of the record texts, in bytes with the NUL */
    size_t urlCap;
    size_t paramCap;
    size_t videoParamCap;
    size_t mapCap;
    /* only the texts are checked: a folder source keeps its own address (no
       playlist is built) and nothing is logged */
    bool check = false;
};

/*
 * Fills *src, zeroed by the caller, as source iSource of channel iChannel
 * from the first source and the input of channel iRealCh (a start's bound
 * channel, else iChannel itself); nSources is the number of entries in
 * iChannel's input "sources".  Texts are kept in store; a configured text
 * holding a line break, or one that does not fit, is recorded in fault.
 * Returns TOVU_ERR_NO_SOURCE_URL, named in iChannel's log, when the source is
 * a folder without a file or without a playlist; else fault's code.
 */
int tovuBuildSource(const TovuSourceKind &kind, int iChannel, int iRealCh, int iSource,
                    int nSources, TOVU_SOURCE *src, TovuTextStore *store, TovuTextFault *fault)
    TOVU_REQUIRES(g_configMutex);

#endif /* TOVU_CHANNEL_SOURCE_H */
