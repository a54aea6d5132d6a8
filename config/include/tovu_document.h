/*
 * tovu_document.h - the shape of the configuration document, read and
 * written in this one place: the "global" object and its members, channel N
 * and its parts, a channel's "enable", its folder source and its time shift,
 * a member set in place, and the installed document freed.
 *
 * The forms that take a document read a tree of the caller's own (a parsed
 * upload before it is installed); the others read the installed document
 * g_jsonConfig, and the caller holds a TovuConfigLock for as long as it uses
 * what they return.  Every one reads by the rules of tovu_config.h: a null
 * document or a missing object on the way reads as absent.
 */
#ifndef TOVU_DOCUMENT_H
#define TOVU_DOCUMENT_H

#include <cjson/cJSON.h>

#include "tovu_config.h"
#include "tovu_thread_safety.h"

/* ---------------------------------------------------------------- any document */

/* the document's "global" object; null when absent */
cJSON *tovuDocGlobal(const cJSON *doc);
/* member key of the document's "global" object; null when absent */
cJSON *tovuDocGlobalItem(const cJSON *doc, const char *key);
/* the number of members of the document's "channels" list */
int tovuDocChannelCount(const cJSON *doc);
/* channel N of the document (0-based); null when there is none */
cJSON *tovuDocChannel(const cJSON *doc, int iChannel);
/* the web server's port as the document asks for it: global "httpPort" by
   jsonGetInt, TOVU_DEFAULT_HTTP_PORT when that reads 0 (absent, not a number);
   not held to 1..TOVU_MAX_PORT, which the caller tests */
int tovuDocHttpPort(const cJSON *doc);
#define TOVU_MAX_PORT 65535

/* ---------------------------------------------------------------- the installed document */

/* the "global" object, and its member key; null when absent */
cJSON *tovuGlobal(void) TOVU_REQUIRES(g_configMutex);
cJSON *tovuGlobalItem(const char *key) TOVU_REQUIRES(g_configMutex);
/* tovuDocHttpPort of the installed document */
int tovuHttpPort(void) TOVU_REQUIRES(g_configMutex);

/* the number of configured channels */
int tovuChannelCount(void) TOVU_REQUIRES(g_configMutex);
/* channel N (0-based); null when there is none */
cJSON *tovuChannelItem(int iChannel) TOVU_REQUIRES(g_configMutex);
/* "input" and "output" of channel N; null when absent */
cJSON *tovuChannelInput(int iChannel) TOVU_REQUIRES(g_configMutex);
cJSON *tovuChannelOutput(int iChannel) TOVU_REQUIRES(g_configMutex);
/* the first member of channel N's input "sources"; null when there is none */
cJSON *tovuChannelFirstSource(int iChannel) TOVU_REQUIRES(g_configMutex);

/* channel N exists and its "enable" is true */
bool tovuChannelEnabled(int iChannel) TOVU_REQUIRES(g_configMutex);
/* channel N's output "timeShift" is non-zero: a time-shift channel */
bool tovuChannelTimeShift(int iChannel) TOVU_REQUIRES(g_configMutex);

/* the folder test of a source address: a non-empty text naming an existing
   folder (null: no) */
bool tovuIsFolderUrl(const char *url);
/* the "url" of channel N's first source passes the folder test */
bool tovuIsFolderSource(int iChannel) TOVU_REQUIRES(g_configMutex);

/* ---------------------------------------------------------------- writes */

/*
 * Sets object's member key (found as a reader finds it) to value, which the
 * call takes over: the member keeps its name as written; a missing member is
 * added under key.  false when nothing was set (no object, no value, no
 * memory); value is freed then.  A member of the installed document is set
 * under a TovuConfigLock.
 */
bool tovuSetMember(cJSON *object, const char *key, cJSON *value);
/* the same with JSON true or false */
bool tovuSetMemberBool(cJSON *object, const char *key, bool on);
/* the same with a number */
bool tovuSetMemberNumber(cJSON *object, const char *key, double value);

/* frees the installed document and leaves none (null) in its place; takes the
   configuration lock (a caller may hold it already) */
void tovuFreeConfig(void);

#endif /* TOVU_DOCUMENT_H */
