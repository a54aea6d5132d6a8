/*
 * tovu_tchar.h - the text types of the configuration, channel control, the
 * daemon and the web interface: TCHAR holds UTF-8, BOOL is an int yes/no.
 */
#ifndef TOVU_TCHAR_H
#define TOVU_TCHAR_H

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

#endif /* TOVU_TCHAR_H */
