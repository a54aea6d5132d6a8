/*
 * tovu_cgi_util.h - small helpers that the web server and the request router
 * share: ASCII case-insensitive comparisons of names and a lookup in the
 * document's "global" object.
 */
#ifndef TOVU_CGI_UTIL_H
#define TOVU_CGI_UTIL_H

#include <string.h>

#include "tovu_config.h"
#include "tovu_base.h"

namespace tovucgi {

inline bool eqNoCase(const char *a, const char *b)
{
    return _tovu_strcasecmp(a, b) == 0;
}

inline bool startsNoCase(const char *text, const char *prefix)
{
    return _tovu_strncasecmp(text, prefix, strlen(prefix)) == 0;
}

/* a member of the installed document's "global" object; null when absent.
   The caller holds a TovuConfigLock while it uses the item. */
inline cJSON *globalItem(const char *key) TOVU_REQUIRES(g_configMutex)
{
    return jsonGetItem(jsonGetItem(g_jsonConfig, "global"), key);
}

} // namespace tovucgi

#endif /* TOVU_CGI_UTIL_H */
