/*
 * tovu_decklink.h - DeckLink capture and playback card discovery for the
 * "/decklink_config" answer.
 *
 * The card library is not linked: libDeckLinkAPI.so is opened at run time on
 * the first request, so the service runs on machines without it; its
 * interfaces are declared in tovu_decklink_api.h.
 */
#ifndef TOVU_DECKLINK_H
#define TOVU_DECKLINK_H

#include <stdint.h>

#include <string>

#include "tovu_tchar.h"
#include "tovu_decklink_api.h"

struct MHD_Connection;

/* ---------------------------------------------------------------- loader */

/* Open the library and resolve its entry points; each runs once per process
 * through the forwarders. A failure is one line on standard error. */
void InitDeckLinkAPI(void);
void InitDeckLinkPreviewAPI(void);
bool IsDeckLinkAPIPresent(void);

/* null when the library or the entry point is missing */
IDeckLinkIterator *CreateDeckLinkIteratorInstance(void);
IDeckLinkAPIInformation *CreateDeckLinkAPIInformationInstance(void);
IDeckLinkVideoConversion *CreateVideoConversionInstance(void);
IDeckLinkDiscovery *CreateDeckLinkDiscoveryInstance(void);
IDeckLinkVideoFrameAncillaryPackets *CreateVideoFrameAncillaryPacketsInstance(void);
IDeckLinkGLScreenPreviewHelper *CreateOpenGLScreenPreviewHelper(void);

/* ---------------------------------------------------------------- discovery records */

#define TOVU_DECKLINK_MAX_DEVICES 10
#define TOVU_DECKLINK_MAX_FORMATS 50
#define TOVU_DECKLINK_NAME_SIZE 1000

/* one display mode */
typedef struct {
    uint32_t nFormatCode; /* four-character mode code */
    int nWidth;
    int nHeight;
    int nFrameNum; /* time scale */
    int nFrameDen; /* frame duration */
    int bInterlaced;
} DECKLINK_FORMAT;

/* one card */
typedef struct {
    TCHAR tszDisplayName[TOVU_DECKLINK_NAME_SIZE];
    int nFormats;
    DECKLINK_FORMAT formats[TOVU_DECKLINK_MAX_FORMATS];
} TOVU_DECKLINK;

typedef struct {
    int nDevices;
    TOVU_DECKLINK decklink[TOVU_DECKLINK_MAX_DEVICES];
} TOVU_DECKLINKS;

/* Walk the cards into the zeroed record: the input side's modes when isOutput
 * is 0, else the output side's. 1 when the library or its iterator is
 * missing (the record untouched), 0 after the walk. Cards and modes beyond
 * the record's room are left out; names are cut to fit. */
int enumDecklink(int isOutput, TOVU_DECKLINKS *pDeckLinks);
int tovuEnumDecklink(int isOutput, TOVU_DECKLINKS *pDeckLinks);

/* "/decklink_config": the cards of the side asked for by "output=" in the
 * query arguments. 1 when the answer was queued, else 0. */
int tovuCGIDecklinkConfig(struct MHD_Connection *conn, const char *szArgs);

/* the answer's body for a list (tests) */
std::string tovuDecklinkAnswer(const TOVU_DECKLINKS &devices);

#endif
