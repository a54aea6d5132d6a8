/*
 * tovu_config.h - the configuration document: its lock, its reading rules,
 * installing, importing and saving it (atomic file writes), and its start-up
 * load.
 */
#ifndef TOVU_CONFIG_H
#define TOVU_CONFIG_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <cjson/cJSON.h>

#include <functional>
#include <mutex>
#include <string>

#include "tovu.h"
#include "tovu_tchar.h"
#include "tovu_thread_safety.h"


/* the web server's port when global "httpPort" gives none; also the older
   format's default */
#define TOVU_DEFAULT_HTTP_PORT 9527

/* every load and upload cuts the document's lists to TOVU_MAX_CHANNELS
   channels (tovu_base.h), and each channel's to these many sources and
   targets; a channel start uses no more */
#define TOVU_MAX_SOURCES 20
#define TOVU_MAX_TARGETS 5

/*
 * The configuration lock guards g_jsonConfig: tovuSetConfig holds it while it
 * swaps the tree, and tovuExportConfig while it prints it.  Every other code
 * that walks the document in more than one step, keeps an item or text taken
 * from it, or writes a member in place (channel start, preview, stop and
 * status, the daemon's loop and timers, the web's in-place writes and
 * downloads) holds a TovuConfigLock for that whole time; it is recursive.
 * Its place among the other locks: docs/threads.md.
 */
extern TovuRecursiveMutex g_configMutex;

class TOVU_SCOPED_CAPABILITY TovuConfigLock {
public:
    TovuConfigLock() TOVU_ACQUIRE(g_configMutex) { g_configMutex.lock(); }
    ~TovuConfigLock() TOVU_RELEASE() { g_configMutex.unlock(); }
    TovuConfigLock(const TovuConfigLock &) = delete;
    TovuConfigLock &operator=(const TovuConfigLock &) = delete;
};

/* the installed document (null until the first successful install) and its file path */
extern cJSON *g_jsonConfig TOVU_GUARDED_BY(g_configMutex);
extern TCHAR g_tszfnConfig[1000];

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
/* Nesting deeper than any configuration has: a document whose objects and
 * arrays nest more than this many levels (the value at the top is level 1)
 * is refused, at an upload and in the configuration file alike. */
#define TOVU_MAX_CONFIG_DEPTH 32
/* true when the first JSON value of the text nests deeper than
 * TOVU_MAX_CONFIG_DEPTH; text behind that value is not looked at, as the
 * parser ignores it too, and text that is not JSON may give either answer */
bool tovuConfigTooDeep(const char *szJSON);
/* reads the file and installs its document; a file nested too deep installs
 * nothing, like one that holds no JSON */
int tovuImportConfigJSON(LPCTSTR tszfnConfig);
/* the same, telling in *why (when given) why the file installed no document:
 * "unreadable: " and the system's reason, "too large: ...", "empty", "nested
 * more than ... levels deep", "not JSON" with where the parser gave up, or
 * "not a JSON object"; "" when it installed one */
int tovuImportConfigJSON(LPCTSTR tszfnConfig, std::string *why);
cJSON *tovuSetConfig(const char *szJSON);
/* The install of tovuSetConfig in two steps, for a caller that looks at the
 * new document before it is in use, or may take the install back:
 * tovuParseConfig parses and normalises a text into a tree of the caller's
 * own (null when the text is null or not JSON); tovuSwapConfig installs a
 * tree (null: none) under the configuration lock and hands back the one it
 * replaces, which the caller then owns.  Every reader holds the lock while
 * it uses the document, so the old tree may be freed once the swap returns,
 * unless the caller itself still holds items of it. */
cJSON *tovuParseConfig(const char *szJSON);
cJSON *tovuSwapConfig(cJSON *doc);
/* puts back a document that tovuSwapConfig replaced, with the number it had
 * (an install taken back leaves no trace), and hands back the one it
 * replaces */
cJSON *tovuRestoreConfig(cJSON *doc, uint64_t version);
/*
 * The number of the installed document.  Every install (the start-up load,
 * an upload, an import) gives it a new one; the first of a run is read from
 * the clock (microseconds since 1970) and each later one adds 1, so no number
 * comes twice, within a run or across runs, and each fits a JavaScript
 * number.  A client that sends back the number of its copy can so be told
 * when its copy is no longer the document in use.  0 before the first
 * install.  Read it under the lock that keeps the document it numbers.
 */
uint64_t tovuConfigVersion(void) TOVU_REQUIRES(g_configMutex);
/* The installed document was changed in place (a channel's "enable" by a
 * start or stop request, the web server's port or HTTPS switch put back to
 * what it serves): it takes a new number, as an install does, so that a copy
 * from before the change is no longer the document in use. */
void tovuConfigChanged(void) TOVU_REQUIRES(g_configMutex);
BOOL isChannelValid(cJSON *jsonChannel);
BOOL isOutputValid(cJSON *jsonTarget);
/* the configuration path with its extension replaced by tszExt, or "" when the
   result does not fit the buffer: the unsized form takes the smallest buffer
   its callers pass, TOVU_EXPATH_MIN bytes */
#define TOVU_EXPATH_MIN 256
void tovuGetExPath(TCHAR *tszPath, LPCTSTR tszExt);
void tovuGetExPath(TCHAR *tszPath, size_t size, LPCTSTR tszExt);
/* The engine's settings that the document gives: global "log", "omxPath"
 * and "ytdlpPath", read under the configuration lock. config() is a
 * TOVU_CONFIG with those three set (the texts point into this object) and
 * everything else 0; the start-up and every upload hand it to the engine. */
struct TovuEngineSettings {
    int logLevel = 0;
    std::string omxPath;
    std::string ytdlpPath;

    void read();
    TOVU_CONFIG config() const;
};

/* saves the document (null: to g_tszfnConfig); 0 on success (also when there
   is no path to save to), -1 with errno set when the file could not be written */
int tovuExportConfig(LPCTSTR tszfnConfig);

/*
 * The same save in two steps, so that the file is written and synced without
 * the configuration lock: tovuPrintConfig prints the document (taking the
 * lock; a caller may hold it already), tovuWritePrintedConfig then writes the
 * printed text, with no lock needed.  A null path is the standard file.  The
 * result of the write is what tovuExportConfig would return: 0 when there is
 * no path, -1 when nothing may be written or the save failed.
 */
struct TovuPrintedConfig {
    std::string path;
    std::string text;
    int result = 0;          /* when not ready: the save's result */
    int error = 0;           /* when not ready and result is -1: the errno it sets */
    bool ready = false;      /* text is to be written to path */
};
int tovuPrintConfig(LPCTSTR tszfnConfig, TovuPrintedConfig *printed);
int tovuWritePrintedConfig(const TovuPrintedConfig &printed);

/*
 * Atomic file save: the text goes to a new file in the same folder, is flushed
 * to disk and renamed over path, so a reader sees the old file or the new one,
 * never a part.  The file is readable by its owner only: a new one gets mode
 * 0600, an existing one keeps the owner's bits of its mode (and, where
 * allowed, its owner); a symbolic link is followed.  The writer returns 0 to go on or a
 * negative value to abandon the save.  0 on success, -1 on any failure, in
 * which case the old file is untouched and errno holds the cause.
 */
int tovuWriteFileAtomic(const char *path, const std::function<int(FILE *fp)> &writer);
int tovuWriteFileAtomic(const char *path, const std::string &text);
/*
 * Removes the new files that saves of path left beside it when they were
 * killed before their rename, and prints one line for each on standard
 * output.  Only names of the form a save gives them are looked at, and a
 * file whose writer may still be running is left alone.  Returns the number
 * removed.  Called at start-up for each file that is saved this way.
 */
int tovuRemoveStaleSaves(const char *path);


/* loads the configuration file at g_tszfnConfig, converting the older file
 * beside it (or writing defaults) when the file gives no document */
void tovuImportConfig(void);
#endif /* TOVU_CONFIG_H */
