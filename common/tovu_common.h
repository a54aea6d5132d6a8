/*
 * tovu_common.h - configuration, channel control and the helpers that the
 * daemon and the web interface share.
 */
#ifndef TOVU_COMMON_H
#define TOVU_COMMON_H

#include <stddef.h>
#include <stdio.h>
#include <wchar.h>

#include <cjson/cJSON.h>

#include <functional>
#include <mutex>
#include <string>

#include "tovu.h"

/* text types: TCHAR holds UTF-8 */
typedef char TCHAR;
typedef TCHAR *LPTSTR;
typedef const TCHAR *LPCTSTR;
typedef int BOOL;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* ---------------------------------------------------------------- format names and small helpers */

TOVU_FORMAT tovuGetFormatId(const char *szName);
const char *tovuGetFormatName(TOVU_FORMAT format);

void utf8totcs(const char *utf8str, LPTSTR tstr);
void tcstoutf8(LPCTSTR tstr, char *utf8str, size_t sz);
unsigned long Inet_addr(LPCTSTR ip);

int parseOpt(const char *szLine, const char *szOpt, int *pVal);
int parseOpt(const wchar_t *wszLine, const wchar_t *wszOpt, int *pVal);
int parseOpt(const char *szLine, const char *szOpt, char *szVal, const char *szFmt);
int parseOpt(const wchar_t *wszLine, const wchar_t *wszOpt, void *wszVal, const wchar_t *wszFmt);

LPCTSTR tovuAppName(void);
LPCTSTR tovuAppTitle(void);
BOOL isDirectory(LPCTSTR tszfn);
void CreateFolder(LPCTSTR tszDir);

/* internal: the display name read from the branding file in the given folder (tests) */
LPCTSTR _tovuAppNameFrom(const char *dir);

/* ---------------------------------------------------------------- configuration document */

/* the installed document (null until the first successful install) and its file path */
extern cJSON *g_jsonConfig;
extern TCHAR g_tszfnConfig[1000];

/*
 * The configuration lock guards g_jsonConfig: tovuSetConfig holds it while it
 * swaps the tree, and tovuExportConfig while it prints it.  Every other code
 * that walks the document in more than one step, keeps an item or text taken
 * from it, or writes a member in place (channel start, preview, stop and
 * status, the daemon's loop and timers, the web's in-place writes and
 * downloads) holds a TovuConfigLock for that whole time; it is recursive, and
 * whoever also takes g_cgi_mutex takes that one first.
 */
extern std::recursive_mutex g_configMutex;

class TovuConfigLock {
public:
    TovuConfigLock() : m_lock(g_configMutex) {}
    TovuConfigLock(const TovuConfigLock &) = delete;
    TovuConfigLock &operator=(const TovuConfigLock &) = delete;

private:
    std::lock_guard<std::recursive_mutex> m_lock;
};

/*
 * Reading rules.  Every getter takes a null item, so lookups chain:
 * jsonGetInt(jsonGetItem(jsonGetItem(g_jsonConfig, "global"), "httpPort")).
 */
/* member of an object by name, ASCII case ignored, the first of equal names; null when absent */
cJSON *jsonGetItem(const cJSON *object, const char *key);
/* element of a JSON array by position from 0; null when absent or not an array */
cJSON *jsonGetIndex(const cJSON *array, int index);
/* number of elements of a JSON array; 0 for anything else */
int jsonGetListSize(const cJSON *array);
/* lenient integer: number truncated toward zero, string read in base 10, true 1, else 0 */
int jsonGetInt(const cJSON *item);
/* on only when the item is JSON true */
BOOL jsonGetBool(const cJSON *item);
/* the item's string; "" when absent or not a string (never null) */
const char *jsonGetText(const cJSON *item);
/* number as float; 0 when absent, NaN for any other type */
float jsonGetFloat(const cJSON *item);

void tovuSetConfigPath(LPCTSTR tszConfigPath);
int tovuImportConfigJSON(LPCTSTR tszfnConfig);
cJSON *tovuSetConfig(const char *szJSON);
BOOL isChannelValid(cJSON *jsonChannel);
BOOL isOutputValid(cJSON *jsonTarget);
/* the configuration path with its extension replaced by tszExt, or "" when the
   result does not fit the buffer: the unsized form takes the smallest buffer
   its callers pass, TOVU_EXPATH_MIN bytes */
#define TOVU_EXPATH_MIN 256
void tovuGetExPath(TCHAR *tszPath, LPCTSTR tszExt);
void tovuGetExPath(TCHAR *tszPath, size_t size, LPCTSTR tszExt);
int tovuExportConfig(LPCTSTR tszfnConfig);

/*
 * Atomic file save: the text goes to a new file in the same folder, is flushed
 * to disk and renamed over path, so a reader sees the old file or the new one,
 * never a part.  An existing file keeps its mode (and, where allowed, its
 * owner); a symbolic link is followed.  The writer returns 0 to go on or a
 * negative value to abandon the save.  0 on success, -1 on any failure, in
 * which case the old file is untouched.
 */
int tovuWriteFileAtomic(const char *path, const std::function<int(FILE *fp)> &writer);
int tovuWriteFileAtomic(const char *path, const std::string &text);

/* ---------------------------------------------------------------- channel control */

/*
 * Channel N is member N (0-based) of the document's "channels" and runs in
 * engine slot N.  Each call holds a TovuConfigLock while it reads the document.
 */
/* starts channel N: 0, -7 (a folder source without a file, or no source),
 * -8 (a bound channel with fewer targets, or no target), TOVU_ERR_LINE_BREAK
 * or TOVU_ERR_TEXT_TOO_LONG (a configured text, named in the channel log),
 * or the engine's result */
int tovuStartChannel(int iChannel);
/* starts the preview of channel N's first source, served on port 9528:
 * 0, -7 (a folder without a file), the two text codes above, or the
 * engine's result */
int tovuPreviewChannel(int iChannel);
/* stops slot N + 16 first for a time-shift channel, then slot N;
 * nStopMode 0 interrupts, 1 kills */
void tovuStopChannel(int iChannel, int nStopMode);
/* the state of the channel's slot (N + 16 for time shift), else of the
 * bound host channel's slot while that one is idle */
TOVU_CHANNEL_STATE tovuGetChannelState(int iChannel);
/* size of the status text buffer, with its NUL */
#define TOVU_STATUS_TEXT_SIZE 100
/* writes the status text of a running channel into tszStatus, a buffer of
 * TOVU_STATUS_TEXT_SIZE bytes that already holds a text (kept in some cases,
 * extended in one); the result is cut on a UTF-8 character boundary */
void tovuGetChannelStatus(int iChannel, LPTSTR tszStatus);

/* ---------------------------------------------------------------- older line-based configuration */

#define TOVU_LEGACY_CHANNELS 16
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

/* ---------------------------------------------------------------- start-up load */

/* loads the configuration file at g_tszfnConfig, converting the older file
 * beside it (or writing defaults) when the file gives no document */
void tovuImportConfig(void);
/* set by the start-up load when the configuration file holds no usable
 * document and could not be kept aside: a save with no document installed
 * then leaves that file alone rather than overwrite it */
extern BOOL g_bConfigFileUntouchable;

#endif /* TOVU_COMMON_H */
