/*
 * tovu_common.h - configuration, channel control and the helpers that the
 * daemon and the web interface share.
 */
#ifndef TOVU_COMMON_H
#define TOVU_COMMON_H

#include <stddef.h>
#include <wchar.h>

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

#endif /* TOVU_COMMON_H */
