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

#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
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
};

/* room taken by all POST buffers together, at most TOVU_CGI_POST_TOTAL */
std::atomic<size_t> s_postRoom{0};

timer_t allBitsTimer()
{
    timer_t t;
    memset(&t, 0xff, sizeof t);
    return t;
}


/* the whole of a regular, non-empty file; false when there is none to read */
bool readWholeFile(const std::string &path, std::string &text)
{
    text.clear();
    if (path.empty())
        return false;
    // a fifo in the file's place must not hold the start
    struct stat st;
    int fd = tovu_open_regular(path.c_str(), &st);
    if (fd < 0)
        return false;
    bool ok = st.st_size > 0;
    if (ok) {
        char buf[16384];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<size_t>(n));
        ok = n == 0 && !text.empty();
    }
    close(fd);
    if (!ok)
        text.clear();
    return ok;
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

/* A POST that found no room is answered 503 at its final call; what it
   collected is let go at once. */
void refusePost(PostBuffer *post)
{
    post->refused = true;
    if (post->shared)
        s_postRoom -= post->text.capacity();
    std::vector<char>().swap(post->text);
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

/* global "httpPort", or the default when it reads 0 */
uint16_t settingsPort()
{
    TovuConfigLock lock;
    int n = jsonGetInt(tovuGlobalItem("httpPort"));
    return n != 0 ? static_cast<uint16_t>(n) : static_cast<uint16_t>(TOVU_DEFAULT_HTTP_PORT);
}

/* Starts on the given port (0: the one of the settings), with the HTTPS
   settings of the document.  HTTPS that fails where plain HTTP then starts on
   the same port is turned off in the document; when neither starts (the port
   is taken), the setting stays. */
BOOL startLocked(uint16_t port = 0) TOVU_REQUIRES(s_serverMutex)
{
    if (g_mhd)
        return TRUE;

    if (port == 0)
        port = settingsPort();
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

    bool httpsFailed = false;
    if (ssl) {
        std::string cert, key;
        if (readWholeFile(certPath, cert) && readWholeFile(keyPath, key)) {
            g_mhd = startDaemon(kServerFlags | MHD_USE_TLS, port, bounds, &key, &cert);
            httpsFailed = !g_mhd;
            // the private key does not linger in freed memory
            std::fill(key.begin(), key.end(), '\0');
        }
    }
    if (!g_mhd)
        g_mhd = startDaemon(kServerFlags, port, bounds, nullptr, nullptr);
    if (httpsFailed && g_mhd) {
        tovu_message("the web server's HTTPS start on port %u failed, serving plain HTTP",
                     static_cast<unsigned>(port));
        TovuConfigLock lock;
        if (tovuGlobalItem("sslEnable"))
            tovuSetMemberBool(tovuGlobal(), "sslEnable", false);
    }
    if (g_mhd)
        s_runningPort = port;
    else
        tovuCGIWatchStop();
    return g_mhd ? TRUE : FALSE;
}

void stopLocked() TOVU_REQUIRES(s_serverMutex)
{
    if (g_mhd) {
        MHD_stop_daemon(g_mhd);
        g_mhd = nullptr;
        tovuCGIWatchStop();
    }
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
    timer_t timer = tovu_one_shot_timer(TOVU_CGI_TIMER_ID, TOVU_CGI_RESTART_DELAY_SEC * 1000L,
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
            // the new port is taken (or cannot be had): back on the old one
            uint16_t wanted = settingsPort();
            if (before && startLocked(before)) {
                tovu_message("the web server's restart on port %u failed, the web interface is "
                             "back on port %u",
                             static_cast<unsigned>(wanted), static_cast<unsigned>(before));
            } else {
                tovu_message("the web server's restart failed, the web interface stays down");
            }
        }
    }
    TovuMutexLock lock(s_timerMutex);
    --s_restartsRunning;
    s_timerIdle.notify_all();
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
        if (!post || post->refused)
            return MHD_YES;
        size_t len = post->text.size();
        // an upload's piece that would pass the limit is dropped whole (what
        // came before stays one document); the login form keeps what fits,
        // its first field in front.  Room is kept for the NUL that ends the text.
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
