/*
 * tovu_cgi_server.cpp - the web server: start and stop (HTTP, or HTTPS from
 * the certificate and key files), the intake that turns the library's
 * repeated callbacks into one router call per GET or POST, and the delayed
 * restart after a change of the server's settings.
 *
 * One internal thread of the library serves every connection.  The library
 * closes a connection that stays idle for TOVU_CGI_IDLE_TIMEOUT_SEC and holds
 * each client address to a share of its table; the watch of
 * tovu_cgi_slow.cpp closes one whose request headers take too long, however
 * slowly they trickle in.  So no crowd of clients that open connections and
 * send little or nothing can keep the others out.
 *
 * The access rules of "ipACL", which the library asks about every new
 * connection, are in tovu_cgi_acl.cpp.
 *
 * The intake looks at a request's headers first: framing that could be read
 * two ways is answered 400, and a change asked for by a page of another site
 * 403.  A POST's login is checked when it begins: only a logged-in upload of
 * "/config" collects its body in a buffer of its own, under one bound for all
 * such buffers (past it, 503); the login form of a client not logged in
 * collects a small body of its own, never refused for room; every other body
 * is read and let go.  A client that stalls half-way through a body so holds
 * no one else up.  The restart runs on a timer thread; it and the daemon
 * serialise their stops and starts on one lock, and the shutdown can cancel
 * what is pending.  When a restart cannot start on the new port, the server
 * comes back on the one it had.
 */
#include "tovu_cgi_internal.h"
#include "tovu_cgi_util.h"
#include "tovu_document.h"
#include "tovu_config.h"
#include "tovu_base.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

using tovucgi::eqNoCase;
using tovucgi::startsNoCase;

namespace {

const char kMultipart[] = "multipart/form-data";
const char kPartHeadEnd[] = "\r\n\r\n";
const char kPartEnd[] = "\r\n--";
const char kTypeText[] = "text/plain";
const char kHeaderConnection[] = "Connection";
const char kClose[] = "close";
const char kLoginPath[] = "/login";
const char kConfigPath[] = "/config";
const char kBusyText[] = "busy: too many uploads at once, try again";
const char kTooLongText[] = "too many query arguments, or too long a query";
const char kFramingText[] = "bad request: the length of the body is not clear (told twice, or in two ways)";
const char kOtherSiteText[] = "refused: a change asked for by a page of another site";
/* an upload longer than its buffer holds: nothing of it is applied */
const std::string kTooLargeText = "the change was not applied: the configuration is larger than " +
                                  std::to_string(TOVU_CGI_POST_SIZE - 1) +
                                  " bytes, the most an upload may be";

const size_t kPostMax = TOVU_CGI_POST_SIZE - 1;
const size_t kLoginPostMax = TOVU_CGI_LOGIN_POST_SIZE - 1;

/* the start/stop lock and the restart-timer lock: docs/threads.md */
TovuMutex s_serverMutex TOVU_ACQUIRED_BEFORE(g_configMutex);
TovuMutex s_timerMutex;
std::condition_variable s_timerIdle;

std::vector<timer_t> s_pendingTimers TOVU_GUARDED_BY(s_timerMutex);   /* every armed timer not yet deleted */
bool s_restartPending TOVU_GUARDED_BY(s_timerMutex) = false;   /* a restart was asked for and not yet done */
bool s_restartCancelled TOVU_GUARDED_BY(s_timerMutex) = false; /* shutdown: no restart any more */
int s_restartsRunning TOVU_GUARDED_BY(s_timerMutex) = 0;       /* timer callbacks inside their restart */
std::atomic<unsigned> s_restartDelayMsSet{0};   /* a test's wait before a restart; 0: the service's */

} // namespace

struct MHD_Daemon *g_mhd TOVU_GUARDED_BY(s_serverMutex) = nullptr;
timer_t g_timerCGI TOVU_GUARDED_BY(s_timerMutex) = 0;

namespace {

/* What a request's con_cls points at from its first call on: one of the
   marks below, or the buffer of a POST that collects its body. */
struct RequestState {
    enum Kind {
        Get,        /* a GET after its first call */
        TooLong,    /* its arguments were taken away before the library parsed
                       them (see uriCallback): answered 414 at its first call */
        Ignored,    /* a POST whose body the router does not look at: read and let go */
        LoginPage,  /* a POST of a client not logged in to a path other than the
                       login form: its body is let go, and the login page answers */
        Answered,   /* answered at its first call */
        Post,       /* a PostBuffer */
    };
    const Kind kind;
    constexpr explicit RequestState(Kind k) : kind(k) {}
};

const RequestState kGetMark(RequestState::Get);
const RequestState kTooLongMark(RequestState::TooLong);
const RequestState kIgnoredMark(RequestState::Ignored);
const RequestState kLoginPageMark(RequestState::LoginPage);
const RequestState kAnsweredMark(RequestState::Answered);

/* a mark as the library keeps it in con_cls */
void *asCls(const RequestState &mark)
{
    return const_cast<RequestState *>(&mark);
}

/* the kind of what con_cls holds; null is a request before its first call */
bool isKind(void *cls, RequestState::Kind kind)
{
    return cls && static_cast<const RequestState *>(cls)->kind == kind;
}

/* The body of one POST, from its first call to its final call (or to the
   end of its connection); con_cls points at it. */
struct PostBuffer : RequestState {
    PostBuffer() : RequestState(Post) {}

    std::vector<char> text;   /* the bytes collected */
    bool shared = true;       /* its room counts in s_postRoom (an upload; not the login form) */
    size_t max = kPostMax;    /* body bytes it keeps at most */
    bool refused = false;     /* a piece found no room under the bound: answered 503 */
    bool tooLarge = false;    /* an upload's body passed max: answered 413, nothing kept */
};

/* room taken by all POST buffers together, at most TOVU_CGI_POST_TOTAL */
std::atomic<size_t> s_postRoom{0};

timer_t allBitsTimer()
{
    timer_t t;
    memset(&t, 0xff, sizeof t);
    return t;
}


/* The whole of a regular, non-empty file, read into text; "" when it was,
   else why not, naming the file as what ("certificate file") and its path. */
std::string readWholeFile(const char *what, const char *setting, const std::string &path,
                          std::string &text)
{
    text.clear();
    if (path.empty())
        return std::string("no ") + what + " is set (\"" + setting + "\" is empty)";
    const std::string named =
        std::string("the ") + what + " \"" + tovuCGILogSafe(path.c_str(), 200) + "\"";
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return named + (errno == ENOENT ? std::string(" is missing")
                                        : " cannot be read: " + std::string(strerror(errno)));
    if (!S_ISREG(st.st_mode))
        return named + " is not a regular file";
    // a fifo put in the file's place meanwhile must not hold the start
    int fd = tovu_open_regular(path.c_str(), &st);
    if (fd < 0)
        return named + " cannot be read: " + strerror(errno ? errno : EACCES);
    char buf[16384];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    int err = errno;
    close(fd);
    if (n < 0) {
        text.clear();
        return named + " cannot be read: " + strerror(err);
    }
    if (text.empty())
        return named + " is empty";
    return "";
}

/* the private key does not linger in freed memory */
void wipe(std::string &text)
{
    std::fill(text.begin(), text.end(), '\0');
    text.clear();
}

/* The certificate and the key files, read into cert and key; "" when both
   were, else why not. */
std::string readHttpsFiles(const std::string &certPath, const std::string &keyPath,
                           std::string &cert, std::string &key)
{
    std::string why = readWholeFile("certificate file", "sslCert", certPath, cert);
    if (why.empty())
        why = readWholeFile("key file", "sslKey", keyPath, key);
    return why;
}

/* Why the TLS library refuses a certificate and key already read from these
   files, "" when it takes them. */
std::string pairProblem(const std::string &certPath, const std::string &keyPath,
                        const std::string &cert, const std::string &key)
{
    // the library loads the pair as a start does, without a socket or a thread
    struct MHD_Daemon *probe = MHD_start_daemon(
        MHD_USE_TLS | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, mhdAccessHandlerCallback,
        nullptr, MHD_OPTION_HTTPS_MEM_KEY, key.c_str(), MHD_OPTION_HTTPS_MEM_CERT, cert.c_str(),
        MHD_OPTION_END);
    if (probe) {
        MHD_stop_daemon(probe);
        return "";
    }
    return "the TLS library refuses the certificate file \"" + tovuCGILogSafe(certPath.c_str(), 200) +
           "\" with the key file \"" + tovuCGILogSafe(keyPath.c_str(), 200) +
           "\" (not a certificate and its private key in PEM form, or not a pair)";
}

/* the POST buffer a request's con_cls points at; null for a mark */
PostBuffer *postOf(void *cls)
{
    if (!isKind(cls, RequestState::Post))
        return nullptr;
    return static_cast<PostBuffer *>(static_cast<RequestState *>(cls));
}

/* takes room for one buffer under the bound of all; false when none is left */
bool takeRoom(size_t n)
{
    size_t held = s_postRoom.load();
    do {
        if (n > TOVU_CGI_POST_TOTAL - held)
            return false;
    } while (!s_postRoom.compare_exchange_weak(held, held + n));
    return true;
}

void releasePost(PostBuffer *post)
{
    if (!post)
        return;
    if (post->shared)
        s_postRoom -= post->text.capacity();
    delete post;
}

/* makes room in the buffer for `need` bytes in all, growing it by doubling up
   to its body's bound and a NUL; false when the bound of all buffers or the
   memory says no */
bool growPost(PostBuffer *post, size_t need)
{
    size_t cap = post->text.capacity();
    if (need <= cap)
        return true;
    size_t want = std::min(std::max(need, 2 * cap), post->max + 1);
    if (post->shared && !takeRoom(want - cap))
        return false;
    try {
        post->text.reserve(want);
    } catch (const std::bad_alloc &) {
        if (post->shared)
            s_postRoom -= want - cap;
        return false;
    }
    // reserve gives exactly what was asked for; count whatever it gave
    if (post->shared)
        s_postRoom += post->text.capacity() - want;
    return true;
}

/* lets go of what a POST collected, and of its room */
void dropText(PostBuffer *post)
{
    if (post->shared)
        s_postRoom -= post->text.capacity();
    std::vector<char>().swap(post->text);
}

/* A POST that found no room is answered 503 at its final call; what it
   collected is let go at once. */
void refusePost(PostBuffer *post)
{
    post->refused = true;
    dropText(post);
}

void completedCallback(void *, struct MHD_Connection *connection, void **con_cls,
                       enum MHD_RequestTerminationCode toe)
{
    // the connection now waits for its next request's headers
    if (toe == MHD_REQUEST_TERMINATED_COMPLETED_OK)
        tovuCGIAnswered(connection);
    // a POST that ends without its final call (client gone, server stopping)
    // still gives its buffer back
    if (con_cls) {
        releasePost(postOf(*con_cls));
        *con_cls = nullptr;
    }
}

/*
 * The library cannot answer a request line whose query arguments do not fit
 * the memory it keeps for one connection: it drops the connection without a
 * word, and its polling thread may not even notice until another client
 * connects.  This notice comes with the request line before its arguments are
 * parsed; a line with more arguments (or more text) than fits for certain
 * loses its arguments here, cut off in the library's own line buffer (the
 * writable text it parses in place), and the request is answered 414 at its
 * first call.
 */
void *uriCallback(void *, const char *uri, struct MHD_Connection *)
{
    const char *query = uri ? strchr(uri, '?') : nullptr;
    if (!query)
        return nullptr;
    size_t items = 1 + static_cast<size_t>(std::count(query, query + strlen(query), '&'));
    if (items <= TOVU_CGI_MAX_ARGS && strlen(uri) <= TOVU_CGI_MAX_QUERY_LINE)
        return nullptr;
    const_cast<char *>(query)[1] = '\0';
    return asCls(kTooLongMark);
}

/* One internal thread serves every connection. It waits with poll(), not
   select(): a connection the library gives up on in the middle of a request
   line (one whose arguments overflow its memory, such as after a NUL byte
   that hides them from uriCallback) is then closed at once, where the
   select() loop left it open and silent until another client came. */
const unsigned kServerFlags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL;

/* the port of the running server */
uint16_t s_runningPort TOVU_GUARDED_BY(s_serverMutex) = 0;
/* the same, for the web thread, which must not wait for s_serverMutex (a
   restart holds it while it waits for that thread to end); 0 while none runs */
std::atomic<int> s_servedPort{0};

struct MHD_Daemon *startDaemon(unsigned flags, uint16_t port, const TovuCgiBounds &bounds,
                               const std::string *key, const std::string *cert)
{
    std::vector<struct MHD_OptionItem> options = {
        {MHD_OPTION_CONNECTION_TIMEOUT, bounds.idleSec, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, bounds.connections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, bounds.perAddress, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(completedCallback), nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(tovuCGIConnectionNotice), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(uriCallback), nullptr},
    };
    if (key && cert) {
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(key->c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(cert->c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    return MHD_start_daemon(flags, port, mhdAccessPolicyCallback, nullptr,
                            mhdAccessHandlerCallback, nullptr, MHD_OPTION_ARRAY, options.data(),
                            MHD_OPTION_END);
}

/* the port the settings ask for */
int settingsPort()
{
    TovuConfigLock lock;
    return tovuHttpPort();
}

/* Starts on the given port (0: the one of the settings), with the HTTPS
   settings of the document.  HTTPS that cannot start is said in one line,
   with the plain HTTP served in its place; a pair of files that the TLS
   library refuses is turned off in the document too.  When nothing starts
   (the port is taken) the setting stays. */
BOOL startLocked(int port = 0) TOVU_REQUIRES(s_serverMutex)
{
    if (g_mhd)
        return TRUE;

    if (port == 0)
        port = settingsPort();
    // a port outside the range is not taken modulo 65536
    if (port < 1 || port > TOVU_MAX_PORT) {
        tovu_message("the web server cannot start: \"httpPort\" %d is not a port from 1 to %d",
                     port, TOVU_MAX_PORT);
        return FALSE;
    }
    const uint16_t port16 = static_cast<uint16_t>(port);
    bool ssl = false;
    std::string certPath, keyPath;
    {
        TovuConfigLock lock;
        ssl = jsonGetBool(tovuGlobalItem("sslEnable"));
        certPath = jsonGetText(tovuGlobalItem("sslCert"));
        keyPath = jsonGetText(tovuGlobalItem("sslKey"));
    }

    // the watch of slow clients runs from before the server to after it
    TovuCgiBounds bounds = tovuCGIBounds();
    tovuCGIWatchStart(bounds.headerMs);

    std::string why;
    bool refusedPair = false;
    if (ssl) {
        std::string cert, key;
        why = readHttpsFiles(certPath, keyPath, cert, key);
        if (why.empty()) {
            g_mhd = startDaemon(kServerFlags | MHD_USE_TLS, port16, bounds, &key, &cert);
            if (!g_mhd) {
                // the pair, or the port: the plain start below tells
                why = pairProblem(certPath, keyPath, cert, key);
                refusedPair = !why.empty();
                if (!refusedPair)
                    why = "the HTTPS start failed";
            }
        }
        wipe(key);
    }
    if (!g_mhd)
        g_mhd = startDaemon(kServerFlags, port16, bounds, nullptr, nullptr);
    if (ssl && !why.empty() && g_mhd) {
        tovu_message("HTTPS is on, but %s: the web interface is served over plain HTTP on port %d",
                     why.c_str(), port);
        if (refusedPair) {
            TovuConfigLock lock;
            if (tovuGlobalItem("sslEnable"))
                if (tovuSetMemberBool(tovuGlobal(), "sslEnable", false))
                    tovuConfigChanged();
        }
    }
    if (g_mhd) {
        s_runningPort = port16;
        s_servedPort = port;
    } else {
        tovuCGIWatchStop();
    }
    return g_mhd ? TRUE : FALSE;
}

void stopLocked() TOVU_REQUIRES(s_serverMutex)
{
    if (g_mhd) {
        MHD_stop_daemon(g_mhd);
        g_mhd = nullptr;
        tovuCGIWatchStop();
        s_servedPort = 0;
    }
}

/* Puts the port served back into the document and its file, after a restart
   on the new one failed, so that the next start finds a port that works. */
void keepServedPort(uint16_t port)
{
    TovuPrintedConfig printed;
    {
        TovuConfigLock lock;
        if (!tovuSetMemberNumber(tovuGlobal(), "httpPort", port))
            return;
        tovuConfigChanged();
        tovuPrintConfig(nullptr, &printed);
    }
    errno = 0;
    if (tovuWritePrintedConfig(printed) != 0)
        tovu_message("the web server's port %u could not be saved to %s: %s",
                     static_cast<unsigned>(port), printed.path.c_str(), strerror(errno ? errno : EIO));
}

/* the body the router gets, as text: the first part of a multipart form, else
   all; the buffer has room for its NUL */
char *postBody(struct MHD_Connection *connection, PostBuffer *post)
{
    post->text.push_back('\0');
    char *text = post->text.data();
    const char *type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                   MHD_HTTP_HEADER_CONTENT_TYPE);
    if (!type || !startsNoCase(type, kMultipart))
        return text;
    char *begin = strstr(text, kPartHeadEnd);
    begin = begin ? begin + strlen(kPartHeadEnd) : text;
    char *end = strstr(begin, kPartEnd);
    if (end)
        *end = '\0';
    return begin;
}


/* the router answers; an upload that changed the server's own settings has
   it restarted a moment later, once the answer is on its way */
int routed(struct MHD_Connection *connection, const char *url, char *post)
{
    int r = tovuCGI(connection, url, post);
    if (tovuCGITakeServerSettingsChanged())
        tovuCGICallback(TRUE);
    return r;
}

enum MHD_Result toResult(int r)
{
    return r ? MHD_YES : MHD_NO;
}

/* an answer of the intake itself, with a short plain text; with close, the
   connection ends after it (nothing more of what the client sent is read) */
enum MHD_Result answerText(struct MHD_Connection *connection, unsigned status, const char *text,
                           bool close = false)
{
    struct MHD_Response *r = MHD_create_response_from_buffer(
        strlen(text), const_cast<char *>(text), MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, kTypeText);
    if (close && MHD_add_response_header(r, kHeaderConnection, kClose) != MHD_YES) {
        MHD_destroy_response(r);
        return MHD_NO;
    }
    enum MHD_Result q = MHD_queue_response(connection, status, r);
    MHD_destroy_response(r);
    return q;
}

/* true when the request's path has an output redirect, which the router
   answers before anything else */
bool redirected(const char *url)
{
    std::string location;
    return tovuCGIRedirectLocation(url, location) != FALSE;
}

/* true when the request's "Content-Length" tells more than max bytes */
bool toldLonger(struct MHD_Connection *connection, size_t max)
{
    const char *value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                    MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!value)
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long n = strtoull(value, &end, 10);
    return end != value && (errno == ERANGE || n > max);
}

/* a new buffer for a POST's body; null when there is no memory */
PostBuffer *newPost(bool shared, size_t max)
{
    PostBuffer *post = new (std::nothrow) PostBuffer;
    if (post) {
        post->shared = shared;
        post->max = max;
    }
    return post;
}

/*
 * The first call of a request: its headers are known, its body is not.
 * Framing that could be read two ways ends the connection after a 400, and a
 * change asked for by a page of another site is answered 403, both at once.
 * A POST learns here whether its client is logged in, and with that what
 * becomes of its body.
 */
enum MHD_Result firstCall(struct MHD_Connection *connection, const char *url, bool get,
                          void **con_cls)
{
    if (tovuCGIFramingFault(connection)) {
        *con_cls = asCls(kAnsweredMark);
        return answerText(connection, MHD_HTTP_BAD_REQUEST, kFramingText, true);
    }
    if (tovuCGIChangesSomething(url, get ? FALSE : TRUE) && tovuCGIFromOtherSite(connection) &&
        !redirected(url)) {
        *con_cls = asCls(kAnsweredMark);
        return answerText(connection, MHD_HTTP_FORBIDDEN, kOtherSiteText, true);
    }
    if (get) {
        *con_cls = asCls(kGetMark);
        return MHD_YES;
    }

    char cookies[TOVU_CGI_KV_SIZE] = "";
    MHD_get_connection_values(connection, MHD_COOKIE_KIND, mhdKeyValueIterator, cookies);
    PostBuffer *post = nullptr;
    if (!tovuCGIAuth(cookies)) {
        if (!startsNoCase(url, kLoginPath)) {
            *con_cls = asCls(kLoginPageMark);
            return MHD_YES;
        }
        post = newPost(false, kLoginPostMax);
    } else if (eqNoCase(url, kConfigPath)) {
        // told too long before a byte of it is read: answered at once, and
        // the connection ends rather than read what would be let go
        if (toldLonger(connection, kPostMax)) {
            *con_cls = asCls(kAnsweredMark);
            return answerText(connection, MHD_HTTP_CONTENT_TOO_LARGE, kTooLargeText.c_str(), true);
        }
        post = newPost(true, kPostMax);
    } else {
        *con_cls = asCls(kIgnoredMark);
        return MHD_YES;
    }
    if (!post)
        return MHD_NO;
    *con_cls = post;
    return MHD_YES;
}

/* the final call of a POST that collected its body */
enum MHD_Result finalCall(struct MHD_Connection *connection, const char *url, PostBuffer *post)
{
    if (post->tooLarge)
        return answerText(connection, MHD_HTTP_CONTENT_TOO_LARGE, kTooLargeText.c_str());
    if (post->refused || !growPost(post, post->text.size() + 1))
        return answerText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, kBusyText);
    return toResult(routed(connection, url, postBody(connection, post)));
}

} // namespace

/* ---------------------------------------------------------------- start, stop, restart */

BOOL tovuStartCGI(void)
{
    tovuCGIPrintSettingProblems();
    {
        // a new start after a cancelled shutdown takes restart requests again
        TovuMutexLock lock(s_timerMutex);
        s_restartCancelled = false;
    }
    TovuMutexLock lock(s_serverMutex);
    return startLocked();
}

void tovuStopCGI(void)
{
    TovuMutexLock lock(s_serverMutex);
    stopLocked();
}

void tovuCGICallback(BOOL bRestartCGI)
{
    if (!bRestartCGI)
        return;
    TovuMutexLock lock(s_timerMutex);
    if (s_restartCancelled)
        return;
    const unsigned set = s_restartDelayMsSet.load();
    timer_t timer = tovu_one_shot_timer(TOVU_CGI_TIMER_ID, set ? (long)set : TOVU_CGI_RESTART_DELAY_SEC * 1000L,
                                         timerCGI, "web server restart timer");
    g_timerCGI = timer;
    if (!timer)
        return;
    s_pendingTimers.push_back(timer);
    s_restartPending = true;
}

void timerCGI(union sigval)
{
    {
        TovuMutexLock lock(s_timerMutex);
        if (s_restartCancelled)
            return;
        // The first timer to fire deletes every other one too (a later
        // upload's settings are already in the document) and restarts once;
        // a timer whose expiry began before that finds nothing left to do.
        for (timer_t t : s_pendingTimers)
            timer_delete(t);
        s_pendingTimers.clear();
        g_timerCGI = allBitsTimer();
        if (!s_restartPending)
            return;
        s_restartPending = false;
        ++s_restartsRunning;
    }
    {
        TovuMutexLock lock(s_serverMutex);
        uint16_t before = g_mhd ? s_runningPort : 0;
        stopLocked();
        if (!startLocked()) {
            // the new port was taken after all (the upload found it free):
            // back on the old one, in the document and the file as well
            int wanted = settingsPort();
            if (before && startLocked(before)) {
                tovu_message("the web server's restart on port %d failed, the web interface is "
                             "back on port %u",
                             wanted, static_cast<unsigned>(before));
                if (wanted != before)
                    keepServedPort(before);
            } else {
                tovu_message("the web server's restart failed, the web interface stays down");
            }
        }
    }
    TovuMutexLock lock(s_timerMutex);
    --s_restartsRunning;
    s_timerIdle.notify_all();
}

void _tovuCGISetRestartDelay(unsigned milliseconds)
{
    s_restartDelayMsSet = milliseconds;
}

bool _tovuCGIRestartAhead(void)
{
    TovuMutexLock lock(s_timerMutex);
    return s_restartPending || s_restartsRunning != 0;
}

void tovuCancelCGIRestart(void)
{
    TovuUniqueLock lock(s_timerMutex);
    s_restartCancelled = true;
    s_restartPending = false;
    for (timer_t t : s_pendingTimers)
        timer_delete(t);
    s_pendingTimers.clear();
    while (s_restartsRunning != 0)
        lock.wait(s_timerIdle);
}

/* ---------------------------------------------------------------- checks of an upload */

std::string tovuCGIPortProblem(int port)
{
    if (port < 1 || port > TOVU_MAX_PORT)
        return "\"httpPort\" " + std::to_string(port) + " is not a port from 1 to " +
               std::to_string(TOVU_MAX_PORT);
    if (port == s_servedPort.load())
        return "";
    // bound as the server binds it, then let go
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "port " + std::to_string(port) + " cannot be tried: " + strerror(errno);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    std::string why;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0)
        why = "port " + std::to_string(port) + " cannot be served: " + strerror(errno);
    close(fd);
    return why;
}

std::string tovuCGIHttpsProblem(const std::string &certPath, const std::string &keyPath)
{
    std::string cert, key;
    std::string why = readHttpsFiles(certPath, keyPath, cert, key);
    if (why.empty())
        why = pairProblem(certPath, keyPath, cert, key);
    wipe(key);
    return why;
}

/* ---------------------------------------------------------------- request intake */

enum MHD_Result mhdAccessHandlerCallback(void *, struct MHD_Connection *connection,
                                         const char *url, const char *method, const char *,
                                         const char *upload_data, size_t *upload_data_size,
                                         void **con_cls)
{
    if (!url)
        url = "";
    if (!method)
        method = "";
    tovuCGILogRequest(connection, method, url);

    bool get = eqNoCase(method, MHD_HTTP_METHOD_GET);
    if (!get && !eqNoCase(method, MHD_HTTP_METHOD_POST))
        return MHD_NO;
    if (isKind(*con_cls, RequestState::TooLong)) {
        tovuCGIHeadersIn(connection);
        *con_cls = nullptr;
        return answerText(connection, MHD_HTTP_URI_TOO_LONG, kTooLongText);
    }
    if (!*con_cls) {
        tovuCGIHeadersIn(connection);
        return firstCall(connection, url, get, con_cls);
    }

    PostBuffer *post = postOf(*con_cls);
    if (*upload_data_size) {
        // a body sent with a GET, or one that nobody looks at, is let go
        size_t n = *upload_data_size;
        *upload_data_size = 0;
        if (!post || post->refused || post->tooLarge)
            return MHD_YES;
        size_t len = post->text.size();
        // an upload that passes the limit is refused whole (a part of a
        // document is not the document); the login form keeps what fits, its
        // first field in front.  Room is kept for the NUL that ends the text.
        if (post->shared && n > post->max - len) {
            post->tooLarge = true;
            dropText(post);
            return MHD_YES;
        }
        if (!post->shared)
            n = std::min(n, post->max - len);
        if (n && n <= post->max - len) {
            if (growPost(post, len + n + 1))
                post->text.insert(post->text.end(), upload_data, upload_data + n);
            else
                refusePost(post);
        }
        return MHD_YES;
    }

    // the final call
    if (isKind(*con_cls, RequestState::Answered))
        return MHD_YES;
    if (isKind(*con_cls, RequestState::Get))
        return toResult(routed(connection, url, nullptr));
    if (isKind(*con_cls, RequestState::LoginPage)) {
        *con_cls = nullptr;
        int r = tovuCGIRedirect(connection, url);
        return toResult(r >= 0 ? r : tovuCGILoginPage(connection));
    }
    if (isKind(*con_cls, RequestState::Ignored)) {
        *con_cls = nullptr;
        char none[1] = "";
        return toResult(routed(connection, url, none));
    }
    enum MHD_Result r = finalCall(connection, url, post);
    releasePost(post);
    *con_cls = nullptr;
    return r;
}
