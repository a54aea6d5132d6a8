/*
 * tovu_cgi_testing.h - the web interface's test hooks, and the entry points
 * that a test's own server calls in place of the web server's intake. Only
 * tests link the target that exports this header (tovuweb_testing).
 */
#ifndef TOVU_CGI_TESTING_H
#define TOVU_CGI_TESTING_H

#include <microhttpd.h>

#include "tovu_tchar.h"

/* routes one request and queues its answer: MHD_YES, or MHD_NO when no
   answer could be made or queued.  szPost null for a GET. */
int tovuCGI(struct MHD_Connection *conn, const char *szPath, char *szPost);

/* "/status": channel states and status texts, CPU (and GPU) load; 200 with
 * JSON. MHD_YES once queued, MHD_NO when the answer cannot be made or queued. */
enum MHD_Result tovuCGIStatus(struct MHD_Connection *conn);

/* An embedded file, "/tovuoem.png" or the "/config" download; 404 for any
 * other path. 1 when answered (also with 404), 0 when the answer could not be
 * completed (nothing queued). */
int tovuCGIDownload(struct MHD_Connection *conn, const char *szPath, const char *szArgs);

/* the full path of the branding image "tovuoem.png" in the given folder,
 * built on first use and kept (tovuOEMLogoFileName uses the program's folder) */
LPCTSTR _tovuOEMLogoFileNameFrom(const char *dir);
/* forgets the branding image path, so the next use builds it again */
void _tovuOEMLogoReset(void);

/* true while a restart of the web server is asked for and not yet done, or
 * under way; false means that no restart comes unless another is asked for */
bool _tovuCGIRestartAhead(void);

/* The web server's time-outs from its next start: a connection idle for
 * idleSeconds is closed, and one whose request headers are not in within
 * headerMilliseconds of its opening or of its previous answer.  0 for either
 * gives back the service's own value. */
void _tovuCGISetTimeouts(unsigned idleSeconds, unsigned headerMilliseconds);

/* The wait between a change of the server's settings and its restart, for
 * the restarts asked for after this call.  0 gives back the service's own. */
void _tovuCGISetRestartDelay(unsigned milliseconds);

#endif /* TOVU_CGI_TESTING_H */
