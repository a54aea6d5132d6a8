/*
 * tovu_cgi.h - the web interface as the daemon sees it: its one mutex, and
 * the web server's start, stop and the end of its restarts.
 */
#ifndef TOVU_CGI_H
#define TOVU_CGI_H

#include "tovu_config.h"
#include "tovu_tchar.h"
#include "tovu_thread_safety.h"

/* ---------------------------------------------------------------- the web interface's mutex
 *
 * g_cgi_mutex (not recursive) is taken only on the web server's thread: by
 * the router around a configuration upload and a whole channel request, and
 * by the status answer while it walks the channels.  Its place among the
 * other locks: docs/threads.md.
 */
extern TovuMutex g_cgi_mutex TOVU_ACQUIRED_BEFORE(g_configMutex);

/* holds g_cgi_mutex for a scope; unlock() lets it go early, once */
class TOVU_SCOPED_CAPABILITY TovuCgiLock {
public:
    TovuCgiLock() TOVU_ACQUIRE(g_cgi_mutex) { g_cgi_mutex.lock(); }
    ~TovuCgiLock() TOVU_RELEASE() { unlock(); }
    TovuCgiLock(const TovuCgiLock &) = delete;
    TovuCgiLock &operator=(const TovuCgiLock &) = delete;
    void unlock() TOVU_RELEASE()
    {
        if (m_held) {
            m_held = false;
            g_cgi_mutex.unlock();
        }
    }

private:
    bool m_held = true;
};

/* ---------------------------------------------------------------- the web server */

/* starts the server on global "httpPort" (HTTPS when "sslEnable" and both
   files read); 1 when a server runs afterwards, 0 when none could be started.
   Never call it on the web thread or while holding TovuConfigLock. */
BOOL tovuStartCGI(void) TOVU_EXCLUDES(g_cgi_mutex, g_configMutex);
/* stops the running server, if any; waits for the web thread to end, so
   never call it on that thread or while holding TovuConfigLock */
void tovuStopCGI(void) TOVU_EXCLUDES(g_cgi_mutex, g_configMutex);
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
void tovuCancelCGIRestart(void) TOVU_EXCLUDES(g_cgi_mutex, g_configMutex);

#endif /* TOVU_CGI_H */
