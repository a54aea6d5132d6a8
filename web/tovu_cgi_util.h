/*
 * tovu_cgi_util.h - small helpers that the web server and the request router
 * share: ASCII case-insensitive comparisons of names.
 */
#ifndef TOVU_CGI_UTIL_H
#define TOVU_CGI_UTIL_H

#include <string.h>

#include "tovu_base.h"

namespace tovucgi {

inline bool eqNoCase(const char *a, const char *b)
{
    return tovu_strcasecmp(a, b) == 0;
}

inline bool startsNoCase(const char *text, const char *prefix)
{
    return tovu_strncasecmp(text, prefix, strlen(prefix)) == 0;
}

} // namespace tovucgi

#endif /* TOVU_CGI_UTIL_H */
