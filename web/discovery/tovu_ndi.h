/*
 * tovu_ndi.h - NDI network source discovery for the "/ndi_config" answer.
 *
 * The program is linked with the NDI runtime libndi.so.5 (its calls are
 * declared in tovu_ndi_api.h). The build puts a stand-in of that library
 * beside the program (platform/ndi/); a real host replaces it with the
 * vendor's runtime.
 */
#ifndef TOVU_NDI_H
#define TOVU_NDI_H

#include <stdint.h>

#include <string>

#include "tovu_tchar.h"
#include "tovu_ndi_api.h"

struct MHD_Connection;

/* ---------------------------------------------------------------- discovery */

#define TOVU_NDI_MAX_SOURCES 20
#define TOVU_NDI_TEXT_SIZE 1000

/* the quiet time that ends a search, in seconds: the default and its bounds */
#define TOVU_NDI_DEFAULT_WAIT_SECS 5
#define TOVU_NDI_MIN_WAIT_SECS 1
#define TOVU_NDI_MAX_WAIT_SECS 60
/* no further wait starts once a search has lasted this long */
#define TOVU_NDI_MAX_SEARCH_MS 60000u

typedef struct {
    uint32_t nSources;
    TCHAR tszSourceName[TOVU_NDI_MAX_SOURCES][TOVU_NDI_TEXT_SIZE];
    TCHAR tszSourceAddr[TOVU_NDI_MAX_SOURCES][TOVU_NDI_TEXT_SIZE];
} TOVU_NDI;

/* Search until a wait of nWaitSecs (bounded to 1..60) passes without a change,
 * then copy the sources into the zeroed record (at most 20, texts cut to
 * fit). 0 after a search, -1 when the runtime or a finder is not available. */
int tovuEnumNDI(TOVU_NDI *pNDI, int nWaitSecs);

/* "/ndi_config": the sources seen within "timeout=" seconds of quiet (5 by
 * default). 1 when the answer was queued, else 0. */
int tovuCGINDIConfig(const char *szArgs, struct MHD_Connection *conn);

/* internal: the bounded wait in milliseconds, the search with its own cap on
 * the total time, and the answer's body (tests) */
uint32_t tovuNDIWaitMs(int nWaitSecs);
int tovuEnumNDIWithin(TOVU_NDI *pNDI, uint32_t waitMs, uint32_t maxSearchMs);
std::string tovuNDIAnswer(const TOVU_NDI &ndi);

#endif
