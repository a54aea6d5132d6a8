/*
 * tovu_cgi.h - the web interface: its one mutex, the JSON answers, the
 * embedded web client files and the downloads, and the web server and its
 * request router.
 */
#ifndef TOVU_CGI_H
#define TOVU_CGI_H

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#include <microhttpd.h>

#include "tovu_common.h"

/* ---------------------------------------------------------------- the web interface's mutex
 *
 * g_cgi_mutex (default kind, not recursive) is taken only on the web server's
 * thread: by the router around a configuration upload and a whole channel
 * request, and by the status answer while it walks the channels.
 * Lock order: g_cgi_mutex, then g_configMutex (TovuConfigLock), then the
 * engine lock (tovu_lock).
 */
extern pthread_mutex_t g_cgi_mutex;

/* ---------------------------------------------------------------- status and runtime answers */

/* room kept for the answer text of "/status" and "/runtime" (it grows when
 * escaped texts need more) */
#define TOVU_CGI_ANSWER_SIZE 10000

/* "/status": channel states and status texts, CPU (and GPU) load; 200 with
 * JSON. MHD_YES once queued, MHD_NO when the answer cannot be made or queued. */
enum MHD_Result tovuCGIStatus(struct MHD_Connection *conn);
/* "/runtime": product name, version, channel count, preview port */
enum MHD_Result tovuCGIRuntime(struct MHD_Connection *conn);

/* ---------------------------------------------------------------- embedded files and downloads */

/* one file of the web client, linked into the program */
typedef struct TOVU_CGI_FILE {
    const char *szFile;          /* served name, without the leading "/"; null in the end row */
    int nSize;                   /* length in bytes; 0 ends the table */
    const unsigned char *buf;    /* the bytes, as in the source tree; no terminating NUL */
} TOVU_CGI_FILE;

#define TOVU_CGI_FILES 17
/* the 17 files, then an end row */
extern TOVU_CGI_FILE g_cgiFiles[TOVU_CGI_FILES + 1];

/* "Content-Type" of a served name, by the text from its last "." */
const char *tovuCGIDownloadExt(const char *tszfn);
/* full path of the branding image "tovuoem.png" in the program's folder */
LPCTSTR tovuOEMLogoFileName(void);
/* internal: the same, built in the given folder on first use (tests) */
LPCTSTR _tovuOEMLogoFileNameFrom(const char *dir);
/* internal: forget the branding image path, so the next use builds it again (tests) */
void _tovuOEMLogoReset(void);

/* An embedded file, "/tovuoem.png" or the "/config" download; 404 for any
 * other path. 1 when answered (also with 404), 0 when the answer could not be
 * completed (nothing queued). */
int tovuCGIDownload(struct MHD_Connection *conn, const char *szPath, const char *szArgs);

/* content reader of the streamed branding image; cls is the open descriptor,
 * cast to a pointer (intptr_t) */
ssize_t fileReader(void *cls, uint64_t pos, char *buf, size_t max);
/* closes the descriptor when the library releases the answer */
void fileReaderFree(void *cls);

/* ---------------------------------------------------------------- web server and request router */

#endif /* TOVU_CGI_H */
