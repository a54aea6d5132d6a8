/*
 * tovu_cgi.h - the web interface as the daemon sees it: its one mutex, and
 * the web server's start, stop and the end of its restarts.
 */
#ifndef TOVU_CGI_H
#define TOVU_CGI_H

#include <pthread.h>

#include "tovu_tchar.h"

/* ---------------------------------------------------------------- the web interface's mutex
 *
 * g_cgi_mutex (default kind, not recursive) is taken only on the web server's
 * thread: by the router around a configuration upload and a whole channel
 * request, and by the status answer while it walks the channels.
 * Lock order: g_cgi_mutex, then g_configMutex (TovuConfigLock), then the
 * engine lock (tovu_lock).
 */
extern pthread_mutex_t g_cgi_mutex;

/* holds g_cgi_mutex for a scope; unlock() lets it go early, once */
class TovuCgiLock {
public:
    TovuCgiLock() { pthread_mutex_lock(&g_cgi_mutex); }
    ~TovuCgiLock() { unlock(); }
    TovuCgiLock(const TovuCgiLock &) = delete;
    TovuCgiLock &operator=(const TovuCgiLock &) = delete;
    void unlock()
    {
        if (m_held) {
            m_held = false;
            pthread_mutex_unlock(&g_cgi_mutex);
        }
    }

private:
    bool m_held = true;
};

/* ---------------------------------------------------------------- the web server */

/* starts the server on global "httpPort" (HTTPS when "sslEnable" and both
   files read); 1 when a server runs afterwards, 0 when none could be started.
   Never call it on the web thread or while holding TovuConfigLock. */
BOOL tovuStartCGI(void);
/* stops the running server, if any; waits for the web thread to end, so
   never call it on that thread or while holding TovuConfigLock */
void tovuStopCGI(void);
/* with TRUE: restart the server TOVU_CGI_RESTART_DELAY_SEC from now with the
   settings then in the document; FALSE: nothing */
void tovuCGICallback(BOOL bRestartCGI);
/* the restart timer's callback */
void timerCGI(union sigval sig);
/*
 * For the shutdown: deletes every pending restart timer, waits until a
 * restart that is already running has finished, and makes later
 * tovuCGICallback(TRUE) calls do nothing until the next tovuStartCGI.  Call
 * it before tovuStopCGI, never
 * on the web thread, and not while holding TovuConfigLock.
 */
void tovuCancelCGIRestart(void);

#endif /* TOVU_CGI_H */
