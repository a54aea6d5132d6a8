/*
 * tovu_config_legacy.h - the model of the older line-based configuration
 * file, its reader and its conversion to JSON. Private to the configuration.
 */
#ifndef TOVU_CONFIG_LEGACY_H
#define TOVU_CONFIG_LEGACY_H

#include <stddef.h>
#include <stdio.h>

#include "tovu.h"
#include "tovu_base.h"
#include "tovu_tchar.h"


/* the older file holds one block per channel */
#define TOVU_LEGACY_CHANNELS TOVU_MAX_CHANNELS
#define TOVU_LEGACY_SOURCES 20
#define TOVU_LEGACY_TARGETS 5
#define TOVU_LEGACY_FILTERS 10
#define TOVU_LEGACY_TEXT 1000

typedef struct GLOBAL_SETTINGS_TAG {
    int nPortHTTP;
    int nPortRTSP;               /* read, not carried into JSON */
    int nLogLevel;
    BOOL bAutoRun;
    int nAutoRestart;
    int nStreamTimeLimit;        /* read, not carried */
    BOOL bFolderRecur;
    BOOL bFolderShuffle;         /* read, not carried */
    char szLoginPass[TOVU_LEGACY_TEXT];
} GLOBAL_SETTINGS;

typedef struct TOVU_RTMP_OPT_TAG {
    TCHAR tszFlashVer[TOVU_LEGACY_TEXT];
    TCHAR tszSwfUrl[TOVU_LEGACY_TEXT];
    TCHAR tszPubUser[TOVU_LEGACY_TEXT];
    TCHAR tszPubPass[TOVU_LEGACY_TEXT];
} TOVU_RTMP_OPT;

typedef struct TOVU_CHANNEL_SOURCE_TAG {
    TOVU_SOURCE source;          /* url points at szfnSource once set */
    char szfnSource[TOVU_LEGACY_TEXT];
} TOVU_CHANNEL_SOURCE;

typedef struct TOVU_CHANNEL_TARGET_TAG {
    TOVU_TARGET target;          /* url points at szfnTarget once set; param stays null */
    char szfnTarget[TOVU_LEGACY_TEXT];
    TCHAR tszVideoParam[TOVU_LEGACY_TEXT];
    TCHAR tszAudioParam[TOVU_LEGACY_TEXT];
    TOVU_RTMP_OPT rtmp;
} TOVU_CHANNEL_TARGET;

typedef struct TOVU_CHANNEL_TAG {
    int bEnable;
    int nSources;
    TOVU_CHANNEL_SOURCE sources[TOVU_LEGACY_SOURCES];
    TCHAR tszSourceVideoParam[TOVU_LEGACY_TEXT];
    TCHAR tszCustomSourceParam[TOVU_LEGACY_TEXT];
    int nTargets;
    TOVU_CHANNEL_TARGET targets[TOVU_LEGACY_TARGETS];
    TCHAR tszMapParam[TOVU_LEGACY_TEXT];
    TCHAR tszFormatParam[TOVU_LEGACY_TEXT];
    int nFilters;
    TCHAR tszFilters[TOVU_LEGACY_FILTERS][TOVU_LEGACY_TEXT];
    TCHAR tszCustomTargetParam[TOVU_LEGACY_TEXT];
    int nTimeShiftSec;                               /* not carried */
    TCHAR tszTimeShiftCacheFolder[TOVU_LEGACY_TEXT]; /* not carried; ends in "/" */
    TCHAR tszMemo[TOVU_LEGACY_TEXT];
} TOVU_CHANNEL;

/* the legacy model: initial values nPortHTTP 9527, bAutoRun 1, all else 0 */
extern GLOBAL_SETTINGS g_globalSettings;
extern TOVU_CHANNEL g_tovuChannels[TOVU_LEGACY_CHANNELS];

/* Reads the older file into the legacy model. Returns 0 when the file was
 * read (even partly), -1 when it could not be opened (model unchanged). */
int tovuImportConfigXML(LPCTSTR tszfnConfig);
void parseInputSubBlock(LPCTSTR pLine, TOVU_CHANNEL_SOURCE *pSource);
void parseOutputSubBlock(LPCTSTR pLine, TOVU_CHANNEL_TARGET *pTarget);
void parseOutputCommonBlock(LPCTSTR pLine, TOVU_CHANNEL *pChannel);
/* writes the legacy model as a JSON configuration text; write errors are not looked at */
void tovuExportConfigFromXML(FILE *fp);
/* puts a backslash before every '"' and '\\' of str and writes every control
 * character below 0x20 in its JSON form ("\t", "\u0001"), in place; str holds
 * sz bytes: escaping stops before the first character whose escaped form
 * would not fit, and the rest of the text is dropped */
void _jsonUnescape(TCHAR *str, size_t sz);

#endif /* TOVU_CONFIG_LEGACY_H */
