/*
 * tovu_cgi.h - the web interface as the daemon sees it: the web server's
 * start, stop and the end of its restarts.
 */
#ifndef TOVU_CGI_H
#define TOVU_CGI_H

#include "tovu_config.h"
#include "tovu_tchar.h"
#include "tovu_thread_safety.h"

/* ---------------------------------------------------------------- the web server */

/* starts the server on global "httpPort" (HTTPS when "sslEnable" and both
   files read); 1 when a server runs afterwards, 0 when none could be started.
   Never call it on the web thread or while holding TovuConfigLock. */
BOOL tovuStartCGI(void) TOVU_EXCLUDES(g_configMutex);
/* stops the running server, if any; waits for the web thread to end, so
   never call it on that thread or while holding TovuConfigLock */
void tovuStopCGI(void) TOVU_EXCLUDES(g_configMutex);
/*
 * For the shutdown: deletes every pending restart timer, waits until a
 * restart that is already running has finished, and makes the restarts
 * that later configuration uploads ask for do nothing until the next
 * tovuStartCGI.  Call it before tovuStopCGI, never on the web thread, and
 * not while holding TovuConfigLock.
 */
void tovuCancelCGIRestart(void) TOVU_EXCLUDES(g_configMutex);

#endif /* TOVU_CGI_H */
