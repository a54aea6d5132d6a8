/*
 * tovu_cgi_internal.h - inside the web interface: the JSON answers, the
 * embedded web client files and the downloads, the web server's intake and
 * its request router.
 */
#ifndef TOVU_CGI_INTERNAL_H
#define TOVU_CGI_INTERNAL_H

#include <signal.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#include <microhttpd.h>

#include <string>
#include <vector>

#include "tovu_cgi.h"
#include "tovu_cgi_testing.h"
#include "tovu_config.h"

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

/* the daemon's calls of the web server (tovu_cgi.h), which the web thread
   never makes while it holds g_cgi_mutex */
BOOL tovuStartCGI(void) TOVU_EXCLUDES(g_cgi_mutex);
void tovuStopCGI(void) TOVU_EXCLUDES(g_cgi_mutex);
void tovuCancelCGIRestart(void) TOVU_EXCLUDES(g_cgi_mutex);

/* ---------------------------------------------------------------- status and runtime answers */

/* room kept for the answer text of "/status" and "/runtime" (it grows when
 * escaped texts need more) */
#define TOVU_CGI_ANSWER_SIZE 10000

/* "/status" (tovuCGIStatus): tovu_cgi_testing.h */
/* "/runtime": product name, version, channel count, preview port */
enum MHD_Result tovuCGIRuntime(struct MHD_Connection *conn);

/* ---------------------------------------------------------------- embedded files and downloads */

/* one file of the web client, linked into the program */
typedef struct TOVU_CGI_FILE {
    const char *szFile;          /* served name, without the leading "/"; null in the end row */
    int nSize;                   /* length in bytes; 0 ends the table */
    const unsigned char *buf;    /* the bytes, as in the source tree; no terminating NUL */
} TOVU_CGI_FILE;

/* the number of served files, as many as the build's list of web files has */
extern const int g_cgiFileCount;
#define TOVU_CGI_FILES g_cgiFileCount
/* the served files in the list's order, then an end row */
extern TOVU_CGI_FILE g_cgiFiles[];

/* "Content-Type" of a served name, by the text from its last "." */
const char *tovuCGIDownloadExt(const char *tszfn);
/* full path of the branding image "tovuoem.png" in the program's folder */
LPCTSTR tovuOEMLogoFileName(void);

/* the embedded files and downloads (tovuCGIDownload): tovu_cgi_testing.h */

/* content reader of the streamed branding image; cls is the open descriptor,
 * cast to a pointer (intptr_t) */
ssize_t fileReader(void *cls, uint64_t pos, char *buf, size_t max);
/* closes the descriptor when the library releases the answer */
void fileReaderFree(void *cls);

/* ---------------------------------------------------------------- web server and request intake
 *
 * The server's own start/stop lock and its restart-timer lock are private to
 * the server code; their place among the other locks: docs/threads.md.
 */

#define TOVU_CGI_POST_SIZE 100000   /* one POST's buffer: at most TOVU_CGI_POST_SIZE - 1 body bytes */
/* room all POST buffers may take together; a POST that finds none left is
   answered 503 */
#define TOVU_CGI_POST_TOTAL (64 * TOVU_CGI_POST_SIZE)
/* a request line with a query of more arguments, or longer than this, is
   answered 414 (the library could not answer it at all) */
#define TOVU_CGI_MAX_ARGS 200
#define TOVU_CGI_MAX_QUERY_LINE 8192
#define TOVU_CGI_KV_SIZE 1000       /* joined arguments or cookies: at most TOVU_CGI_KV_SIZE - 2 characters */
/* the login form's body, collected for a client not logged in apart from the
   room above: at most TOVU_CGI_LOGIN_POST_SIZE - 1 bytes */
#define TOVU_CGI_LOGIN_POST_SIZE 4096
/* The bounds on slow clients (tovu_cgi_slow.cpp; the README says why these
 * values).  A connection with nothing sent or received for the idle time is
 * closed; one that has not completed a request's headers within the header
 * time of its opening, or of the answer to its previous request, is closed
 * however slowly it sends them. */
#define TOVU_CGI_IDLE_TIMEOUT_SEC 10
#define TOVU_CGI_HEADER_TIMEOUT_SEC 5
/* connections open at once: the process's descriptor limit less those kept
 * for the rest of the process, at most TOVU_CGI_CONNECTIONS_MAX; the soft
 * limit is raised to TOVU_CGI_DESCRIPTORS_WANTED at the start when it is
 * lower and may be */
#define TOVU_CGI_DESCRIPTORS_WANTED 8192
#define TOVU_CGI_DESCRIPTORS_KEPT 256
#define TOVU_CGI_CONNECTIONS_MAX 4096
/* connections open at once from one client address */
#define TOVU_CGI_CONNECTIONS_PER_ADDRESS 64
#define TOVU_CGI_TIMER_ID 200       /* sigval of the restart timer */
#define TOVU_CGI_RESTART_DELAY_SEC 1

/* the bounds of one start of the server */
struct TovuCgiBounds {
    unsigned idleSec;       /* idle time */
    unsigned headerMs;      /* header time */
    unsigned connections;   /* the table */
    unsigned perAddress;    /* one address's share of it */
};
/* the bounds for a start now (the descriptor limit raised first when low) */
TovuCgiBounds tovuCGIBounds(void);
/* the watch of the header time, from before a server starts to after it
 * stopped; false when it could not start (no header time then) */
bool tovuCGIWatchStart(unsigned headerMs);
void tovuCGIWatchStop(void);
/* what the library tells the watch: a connection opened or closed, a
 * request's headers complete, its answer sent */
void tovuCGIConnectionNotice(void *cls, struct MHD_Connection *connection, void **socket_context,
                             enum MHD_ConnectionNotificationCode code);
void tovuCGIHeadersIn(struct MHD_Connection *connection);
void tovuCGIAnswered(struct MHD_Connection *connection);
/* Why the server could not move to this port, "" when it could: a port
   outside 1..TOVU_MAX_PORT, or one that cannot be bound (held by another
   program, not allowed); the port served now passes.  The port is bound and
   let go at once.  Safe on the web thread. */
std::string tovuCGIPortProblem(int port);
/* Why HTTPS could not start from these files, "" when it could: a file not
   set, missing, unreadable or empty, or a pair the TLS library refuses. */
std::string tovuCGIHttpsProblem(const std::string &certPath, const std::string &keyPath);

/* with TRUE: restart the server TOVU_CGI_RESTART_DELAY_SEC from now with the
   settings then in the document; FALSE: nothing */
void tovuCGICallback(BOOL bRestartCGI);
/* the restart timer's callback */
void timerCGI(union sigval sig);

/* the running server, null while none runs */
extern struct MHD_Daemon *g_mhd;
/* handle of the most recent restart timer; all bits set once a timer fired, 0 after a failed creation */
extern timer_t g_timerCGI;


enum MHD_Result mhdAccessPolicyCallback(void *cls, const struct sockaddr *addr, socklen_t addrlen);
enum MHD_Result mhdAccessHandlerCallback(void *cls, struct MHD_Connection *connection,
                                         const char *url, const char *method,
                                         const char *version, const char *upload_data,
                                         size_t *upload_data_size, void **con_cls);
/* TRUE when a request's length is told twice with two values, by a length
   and a transfer coding together, by a coding other than "chunked", or by
   either header written with a blank before its colon */
BOOL tovuCGIFramingFault(struct MHD_Connection *conn);
/* TRUE for a request that changes something: a "/config" upload or import,
   the login form, any "/channel" request */
BOOL tovuCGIChangesSomething(const char *szPath, BOOL bPost);
/* TRUE when a browser marks the request as sent by a page of another site:
   "Sec-Fetch-Site" "cross-site" or "same-site", or an "Origin" that is not
   the request's "Host" */
BOOL tovuCGIFromOtherSite(struct MHD_Connection *conn);

/* the request log: rotated past TOVU_CGI_LOG_ROTATE_SIZE bytes into at most
   TOVU_CGI_LOG_ARCHIVES archives "<name>_cgi-N.log" (1 the oldest); a logged
   path longer than TOVU_CGI_LOG_PATH_MAX characters is cut there and ends in
   TOVU_CGI_LOG_CUT, which no client text can spell (a client's backslash is
   logged as "\x5c") */
#define TOVU_CGI_LOG_ROTATE_SIZE 5000000
#define TOVU_CGI_LOG_ARCHIVES 9
#define TOVU_CGI_LOG_PATH_MAX 1000
#define TOVU_CGI_LOG_CUT "\\[cut]"
/* one line of the request log for this call of the intake, when global "log" is on */
void tovuCGILogRequest(struct MHD_Connection *connection, const char *method, const char *url);
/* text as one log line can carry it: bytes outside printable ASCII and the
   backslash as \xNN, cut to at most max characters and then marked */
std::string tovuCGILogSafe(const char *szText, size_t max);

/* joins items into the caller's TOVU_CGI_KV_SIZE-character text as "k=v&k&..." */
enum MHD_Result mhdKeyValueIterator(void *cls, enum MHD_ValueKind kind, const char *key,
                                    const char *value);

/* the "ipACL" verdict for one client address (host byte order): TRUE accept */
BOOL tovuCGIAclAccepts(const char *szACL, uint32_t addr);
/* A rule of "ipACL" that cannot be read, as the verdict takes it: an action
 * other than "allow" or "deny", a target that is neither "all" nor a dotted
 * IPv4 address, a prefix length that is not 0 to 32, a last word without a
 * target.  Such a rule keeps the effect it has (mostly none); an upload that
 * holds one is refused. */
struct TovuAclProblem {
    std::string rule;     /* as written, control bytes escaped, long words cut */
    std::string reason;
};
/* every such rule of the text, in order */
std::vector<TovuAclProblem> tovuCGIAclProblems(const char *szACL);
/* prints each such rule of the document's "ipACL" on standard output */
void tovuCGIPrintAclProblems(void);
/* the settings the web server reads as text: each one that is no text would
 * read as empty and turn its guard off, so an upload refuses it and the
 * server's start names it */
extern const char *const tovuCGITextSettings[4];
/* The settings of a document among tovuCGITextSettings that are not text, or
 * its "global" when that is not an object, one message each.  A non-text "ipACL" refuses every client. */
std::vector<std::string> tovuCGISettingTypeProblems(const cJSON *doc);
/* prints those of the installed document, then the unreadable "ipACL" rules,
 * on standard output (the start of the server does, once) */
void tovuCGIPrintSettingProblems(void);

/* ---------------------------------------------------------------- API router and login */

/* The number of the document in use (tovuConfigVersion), carried by the
 * answers to "/config", to an upload and to a channel request.  An upload
 * that carries it names
 * the document its copy came from; when that is no longer the one in use the
 * upload is refused with 409, so that it cannot undo changes made since.  An
 * upload without it is taken whatever is in use. */
#define TOVU_CGI_VERSION_HEADER "X-Config-Version"

/* one row of the channel request's answer table */
typedef struct TOVU_CGI_STATUS_TAG {
    int code;
    const char *status;
} TOVU_CGI_STATUS;

/* the router (tovuCGI): tovu_cgi_testing.h */

/* the output redirect for a request path: TRUE and the "Location" value when
   a channel's first HTTP/HTML5 output has that path */
BOOL tovuCGIRedirectLocation(const char *szPath, std::string &location);
/* answers the output redirect: -1 when the path has none, else MHD_YES/MHD_NO */
int tovuCGIRedirect(struct MHD_Connection *conn, const char *szPath);
/* TRUE when no password is set or the joined cookie text carries it */
BOOL tovuCGIAuth(const char *szCookie);
/* "+" to blank, "%xx" to its byte, everything else (a lone "%" too) as it is */
std::string _urlDecode(const char *szText);
/* the value a "Set-Cookie" carries for a password: every byte outside
   letters, digits and "-._~" as "%XX", which _urlDecode turns back */
std::string tovuCGICookieEncode(const char *szText);
int tovuCGILoginPage(struct MHD_Connection *conn);
int tovuCGILogin(char *szPost, struct MHD_Connection *conn);
int tovuCGISetConfig(struct MHD_Connection *conn, char *szPost, const char *szArgs);
int tovuCGIChannel(struct MHD_Connection *conn, int iChannel, const char *szArgs, char *szPost);
/* the body of a channel start's answer for its result code: "" for 0; the
   fixed text of the code when it has one, then ": " and the cause that the
   channel log got (tovu_take_refusal), when there is one; never empty for a
   refusal */
std::string tovuCGIStartRefusal(int code, const std::string &cause);
/* TRUE once after an upload changed "httpPort", "sslEnable", "sslCert" or
   "sslKey": the server then restarts itself */
BOOL tovuCGITakeServerSettingsChanged(void);

#endif /* TOVU_CGI_INTERNAL_H */
