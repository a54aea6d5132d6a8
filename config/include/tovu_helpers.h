/*
 * tovu_helpers.h - format names and the small helpers that configuration,
 * channel control, the daemon and the web interface share: text conversion,
 * option parsing, the product name, folders.
 */
#ifndef TOVU_HELPERS_H
#define TOVU_HELPERS_H

#include <stddef.h>
#include <wchar.h>

#include "tovu.h"
#include "tovu_tchar.h"


/* the product's display name (also the page title) and its short form */
#define TOVU_PRODUCT_NAME "Tovumedia Live!"
#define TOVU_PRODUCT_ABBR "TOVUL"

TOVU_FORMAT tovuGetFormatId(const char *szName);
const char *tovuGetFormatName(TOVU_FORMAT format);

void utf8totcs(const char *utf8str, LPTSTR tstr);
void tcstoutf8(LPCTSTR tstr, char *utf8str, size_t sz);
unsigned long Inet_addr(LPCTSTR ip);

int parseOpt(const char *szLine, const char *szOpt, int *pVal);
int parseOpt(const wchar_t *wszLine, const wchar_t *wszOpt, int *pVal);
int parseOpt(const char *szLine, const char *szOpt, char *szVal, const char *szFmt);
int parseOpt(const wchar_t *wszLine, const wchar_t *wszOpt, void *wszVal, const wchar_t *wszFmt);

/* the JSON form of one byte where it needs one: '"' and '\\' after a
   backslash, a control character below 0x20 as "\n", "\t", ... or "\u0001"
   (written into esc); null when the byte stands as it is */
const char *tovuJsonEscape(unsigned char c, char esc[8]);

LPCTSTR tovuAppName(void);
LPCTSTR tovuAppTitle(void);
BOOL isDirectory(LPCTSTR tszfn);
void CreateFolder(LPCTSTR tszDir);

#endif /* TOVU_HELPERS_H */
