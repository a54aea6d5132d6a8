/*
 * tovu_cgi_server.cpp - the web server: start and stop (HTTP, or HTTPS from
 * the certificate and key files), the per-connection "ipACL" check, the
 * request log, the intake that turns the library's repeated callbacks into
 * one router call per GET or POST, the argument/cookie joiner, and the
 * delayed restart after a change of the server's settings.
 *
 * One internal thread of the library serves every connection.  Each POST
 * collects its body in a buffer of its own, so a client that stalls half-way
 * through a body holds no one else up; all buffers together are held to one
 * bound, past which a POST is answered 503.  The restart runs on a timer
 * thread; it and the daemon serialise their stops and starts on one lock, and
 * the shutdown can cancel what is pending.
 */
#include "tovu_cgi_internal.h"
#include "tovu_cgi_util.h"
#include "tovu_config.h"
#include "tovu_base.h"

#include <arpa/inet.h>
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

struct MHD_Daemon *g_mhd = nullptr;
timer_t g_timerCGI = 0;

using tovucgi::eqNoCase;
using tovucgi::globalItem;
using tovucgi::startsNoCase;

namespace {

const char kLogExt[] = "_cgi.log";
const char kLogTimeFormat[] = "%Y/%m/%d %H:%M:%S";
const char kStatusPath[] = "/status";
const char kMultipart[] = "multipart/form-data";
const char kPartHeadEnd[] = "\r\n\r\n";
const char kPartEnd[] = "\r\n--";
const char kAclSeparators[] = " \r\n";
const char kGetMarker[] = "";   /* con_cls of a GET after its first call */
/* con_cls of a request whose arguments were taken away before the library
   parsed them (see uriCallback): answered 414 at its first call */
const char kTooLongMarker[] = "";
const char kTypeText[] = "text/plain";
const char kBusyText[] = "busy: too many uploads at once, try again";
const char kTooLongText[] = "too many query arguments, or too long a query";

const size_t kPostMax = TOVU_CGI_POST_SIZE - 1;

/*
 * Locks of this file, in order: s_serverMutex, then g_configMutex.
 * s_timerMutex is a leaf: nothing else is taken while it is held.
 * s_serverMutex guards g_mhd and every start/stop; it is never taken on the
 * web thread (the stop waits for that thread).
 */
std::mutex s_serverMutex;
std::mutex s_timerMutex;
std::condition_variable s_timerIdle;

/* guarded by s_timerMutex */
std::vector<timer_t> s_pendingTimers;   /* every armed timer not yet deleted */
bool s_restartPending = false;         /* a restart was asked for and not yet done */
bool s_restartCancelled = false;       /* shutdown: no restart any more */
int s_restartsRunning = 0;             /* timer callbacks inside their restart */

/* The body of one POST, from its first call to its final call (or to the
   end of its connection); con_cls points at it. */
struct PostBuffer {
    std::vector<char> text;   /* the bytes collected; its room counts in s_postRoom */
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
    int fd = _tovu_open_regular(path.c_str(), &st);
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

/* the POST buffer a request's con_cls points at; null for a GET or a marker */
PostBuffer *postOf(void *cls)
{
    if (!cls || cls == kGetMarker || cls == kTooLongMarker)
        return nullptr;
    return static_cast<PostBuffer *>(cls);
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
    s_postRoom -= post->text.capacity();
    delete post;
}

/* makes room in the buffer for `need` bytes in all, growing it by doubling up
   to TOVU_CGI_POST_SIZE; false when the bound or the memory says no */
bool growPost(PostBuffer *post, size_t need)
{
    size_t cap = post->text.capacity();
    if (need <= cap)
        return true;
    size_t want = std::min(std::max(need, 2 * cap), static_cast<size_t>(TOVU_CGI_POST_SIZE));
    if (!takeRoom(want - cap))
        return false;
    try {
        post->text.reserve(want);
    } catch (const std::bad_alloc &) {
        s_postRoom -= want - cap;
        return false;
    }
    // reserve gives exactly what was asked for; count whatever it gave
    s_postRoom += post->text.capacity() - want;
    return true;
}

/* A POST that found no room is answered 503 at its final call; what it
   collected is let go at once. */
void refusePost(PostBuffer *post)
{
    post->refused = true;
    s_postRoom -= post->text.capacity();
    std::vector<char>().swap(post->text);
}

void completedCallback(void *, struct MHD_Connection *, void **con_cls,
                       enum MHD_RequestTerminationCode)
{
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
    return const_cast<char *>(kTooLongMarker);
}

/* One internal thread serves every connection. It waits with poll(), not
   select(): a connection the library gives up on in the middle of a request
   line (one whose arguments overflow its memory, such as after a NUL byte
   that hides them from uriCallback) is then closed at once, where the
   select() loop left it open and silent until another client came. */
const unsigned kServerFlags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL;

struct MHD_Daemon *startDaemon(unsigned flags, uint16_t port, const std::string *key,
                               const std::string *cert)
{
    if (key && cert)
        return MHD_start_daemon(flags, port, mhdAccessPolicyCallback, nullptr,
                                mhdAccessHandlerCallback, nullptr,
                                MHD_OPTION_HTTPS_MEM_KEY, key->c_str(),
                                MHD_OPTION_HTTPS_MEM_CERT, cert->c_str(),
                                MHD_OPTION_NOTIFY_COMPLETED, completedCallback, nullptr,
                                MHD_OPTION_URI_LOG_CALLBACK, uriCallback, nullptr,
                                MHD_OPTION_END);
    return MHD_start_daemon(flags, port, mhdAccessPolicyCallback, nullptr,
                            mhdAccessHandlerCallback, nullptr,
                            MHD_OPTION_NOTIFY_COMPLETED, completedCallback, nullptr,
                            MHD_OPTION_URI_LOG_CALLBACK, uriCallback, nullptr,
                            MHD_OPTION_END);
}

/* caller holds s_serverMutex */
BOOL startLocked()
{
    if (g_mhd)
        return TRUE;

    uint16_t port = TOVU_DEFAULT_HTTP_PORT;
    bool ssl = false;
    std::string certPath, keyPath;
    {
        TovuConfigLock lock;
        int n = jsonGetInt(globalItem("httpPort"));
        if (n != 0)
            port = static_cast<uint16_t>(n);
        ssl = jsonGetBool(globalItem("sslEnable"));
        certPath = jsonGetText(globalItem("sslCert"));
        keyPath = jsonGetText(globalItem("sslKey"));
    }

    if (ssl) {
        std::string cert, key;
        if (readWholeFile(certPath, cert) && readWholeFile(keyPath, key)) {
            g_mhd = startDaemon(kServerFlags | MHD_USE_TLS, port, &key, &cert);
            if (!g_mhd) {
                printf("web server: HTTPS start on port %u failed, serving plain HTTP\n",
                       static_cast<unsigned>(port));
                fflush(stdout);
                TovuConfigLock lock;
                cJSON *global = jsonGetItem(g_jsonConfig, "global");
                if (jsonGetItem(global, "sslEnable"))
                    tovuCGISetMemberBool(global, "sslEnable", FALSE);
            }
            // the private key does not linger in freed memory
            std::fill(key.begin(), key.end(), '\0');
        }
    }
    if (!g_mhd)
        g_mhd = startDaemon(kServerFlags, port, nullptr, nullptr);
    return g_mhd ? TRUE : FALSE;
}

/* caller holds s_serverMutex */
void stopLocked()
{
    if (g_mhd) {
        MHD_stop_daemon(g_mhd);
        g_mhd = nullptr;
    }
}

/* a client's text as one log line can carry it: every byte outside printable
   ASCII, and the backslash itself, written as \xNN */
std::string logSafe(const char *text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p >= 0x20 && *p < 0x7f && *p != '\\') {
            out += static_cast<char>(*p);
        } else {
            out += "\\x";
            out += kHex[*p >> 4];
            out += kHex[*p & 15];
        }
    }
    return out;
}

void logRequest(struct MHD_Connection *connection, const char *method, const char *url)
{
    {
        TovuConfigLock lock;
        if (jsonGetInt(globalItem("log")) == 0)
            return;
    }
    if (eqNoCase(url, kStatusPath))
        return;
    const union MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr || info->client_addr->sa_family != AF_INET)
        return;
    const struct sockaddr_in *sin = reinterpret_cast<const struct sockaddr_in *>(info->client_addr);
    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin->sin_addr, addr, sizeof addr);

    char path[sizeof g_tszfnConfig];
    tovuGetExPath(path, sizeof path, kLogExt);
    if (!path[0])
        return;
    time_t now = time(nullptr);
    struct tm tmNow;
    char when[100] = "";
    if (localtime_r(&now, &tmNow))
        strftime(when, sizeof when, kLogTimeFormat, &tmNow);
    FILE *fp = fopen(path, "a+");
    if (!fp)
        return;
    fprintf(fp, "[%s] %s %s from %s:%d\n", when, logSafe(method).c_str(), logSafe(url).c_str(), addr,
            ntohs(sin->sin_port));
    fclose(fp);
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

/* an answer of the intake itself, with a short plain text */
enum MHD_Result answerText(struct MHD_Connection *connection, unsigned status, const char *text)
{
    struct MHD_Response *r = MHD_create_response_from_buffer(
        strlen(text), const_cast<char *>(text), MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, kTypeText);
    enum MHD_Result q = MHD_queue_response(connection, status, r);
    MHD_destroy_response(r);
    return q;
}

} // namespace

/* ---------------------------------------------------------------- start, stop, restart */

BOOL tovuStartCGI(void)
{
    tovuCGIPrintAclProblems();
    {
        // a new start after a cancelled shutdown takes restart requests again
        std::lock_guard<std::mutex> lock(s_timerMutex);
        s_restartCancelled = false;
    }
    std::lock_guard<std::mutex> lock(s_serverMutex);
    return startLocked();
}

void tovuStopCGI(void)
{
    std::lock_guard<std::mutex> lock(s_serverMutex);
    stopLocked();
}

void tovuCGICallback(BOOL bRestartCGI)
{
    if (!bRestartCGI)
        return;
    std::lock_guard<std::mutex> lock(s_timerMutex);
    if (s_restartCancelled)
        return;
    timer_t timer = _tovu_one_shot_timer(TOVU_CGI_TIMER_ID, TOVU_CGI_RESTART_DELAY_SEC * 1000L,
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
        std::lock_guard<std::mutex> lock(s_timerMutex);
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
        std::lock_guard<std::mutex> lock(s_serverMutex);
        stopLocked();
        if (!startLocked()) {
            printf("web server: restart failed, the web interface stays down\n");
            fflush(stdout);
        }
    }
    std::lock_guard<std::mutex> lock(s_timerMutex);
    --s_restartsRunning;
    s_timerIdle.notify_all();
}

void tovuCancelCGIRestart(void)
{
    std::unique_lock<std::mutex> lock(s_timerMutex);
    s_restartCancelled = true;
    s_restartPending = false;
    for (timer_t t : s_pendingTimers)
        timer_delete(t);
    s_pendingTimers.clear();
    s_timerIdle.wait(lock, [] { return s_restartsRunning == 0; });
}

/* ---------------------------------------------------------------- access rules */

namespace {

/* the words of an "ipACL" text, split at blanks and line ends */
std::vector<std::string> aclWords(const char *szACL)
{
    std::vector<std::string> words;
    for (const char *p = szACL ? szACL : ""; *p;) {
        p += strspn(p, kAclSeparators);
        size_t len = strcspn(p, kAclSeparators);
        if (len)
            words.emplace_back(p, len);
        p += len;
    }
    return words;
}

/* the verdict for a client at *addr; with no address only "all" matches */
bool aclVerdict(const char *szACL, const uint32_t *addr)
{
    if (!szACL)
        return true;
    std::vector<std::string> words = aclWords(szACL);

    bool accept = true;
    for (size_t i = 0; i + 1 < words.size(); i += 2) {
        const std::string &action = words[i];
        std::string target = words[i + 1];
        std::string prefix;
        bool hasPrefix = false;
        size_t slash = target.find('/');
        if (slash != std::string::npos) {
            prefix = target.substr(slash + 1);
            target.resize(slash);
            hasPrefix = true;
        }

        bool match;
        struct in_addr in;
        if (inet_pton(AF_INET, target.c_str(), &in) == 1) {
            uint64_t first = ntohl(in.s_addr);
            uint64_t last = first;
            if (hasPrefix) {
                // a prefix that is not a number reads as 0; one outside 0..32 matches nothing
                long n = strtol(prefix.c_str(), nullptr, 10);
                if (n < 0 || n > 32) {
                    continue;
                }
                last = first + ((uint64_t(1) << (32 - n)) - 1);
                if (last > 0xffffffffu)
                    last = 0xffffffffu;
            }
            match = addr && *addr >= first && *addr <= last;
        } else {
            match = eqNoCase(target.c_str(), "all");
        }
        if (!match)
            continue;
        if (eqNoCase(action.c_str(), "allow"))
            accept = true;
        else if (eqNoCase(action.c_str(), "deny"))
            accept = false;
    }
    return accept;
}

/* a word as a message shows it: control bytes as \xNN, a long word cut and marked */
std::string shownWord(const std::string &word)
{
    const size_t kShownMax = 64;
    size_t end = word.size();
    if (end > kShownMax) {
        end = kShownMax;
        // not inside a UTF-8 sequence
        while (end > 0 && (static_cast<unsigned char>(word[end]) & 0xC0) == 0x80)
            --end;
    }
    std::string out;
    for (size_t i = 0; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (end < word.size())
        out += "...";
    return out;
}

/* why a target cannot be read; "" when it can */
std::string targetProblem(const std::string &word)
{
    size_t slash = word.find('/');
    std::string address = word.substr(0, slash);
    if (eqNoCase(address.c_str(), "all")) {
        if (slash != std::string::npos)
            return "\"all\" takes no prefix length";
        return "";
    }
    struct in_addr in;
    if (inet_pton(AF_INET, address.c_str(), &in) != 1)
        return "\"" + shownWord(address) +
               "\" is neither \"all\" nor an IPv4 address of four numbers from 0 to 255 "
               "without leading zeros";
    if (slash == std::string::npos)
        return "";
    std::string prefix = word.substr(slash + 1);
    bool digits = !prefix.empty() && prefix.size() <= 2 &&
                  prefix.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || atoi(prefix.c_str()) > 32)
        return "the prefix length \"" + shownWord(prefix) + "\" is not a number from 0 to 32";
    return "";
}

} // namespace

std::vector<TovuAclProblem> tovuCGIAclProblems(const char *szACL)
{
    std::vector<TovuAclProblem> problems;
    std::vector<std::string> words = aclWords(szACL);
    for (size_t i = 0; i < words.size(); i += 2) {
        const std::string &action = words[i];
        TovuAclProblem p;
        if (i + 1 == words.size()) {
            p.rule = shownWord(action);
            p.reason = "no address follows \"" + p.rule + "\"";
            problems.push_back(p);
            break;
        }
        const std::string &target = words[i + 1];
        p.rule = shownWord(action) + " " + shownWord(target);
        if (!eqNoCase(action.c_str(), "allow") && !eqNoCase(action.c_str(), "deny"))
            p.reason = "\"" + shownWord(action) + "\" is neither \"allow\" nor \"deny\"";
        else
            p.reason = targetProblem(target);
        if (!p.reason.empty())
            problems.push_back(p);
    }
    return problems;
}

void tovuCGIPrintAclProblems(void)
{
    // a start-up document may hold any number: the first ones are enough to act on
    const size_t kPrintedMax = 100;
    std::string acl;
    {
        TovuConfigLock lock;
        acl = jsonGetText(globalItem("ipACL"));
    }
    std::vector<TovuAclProblem> problems = tovuCGIAclProblems(acl.c_str());
    for (size_t i = 0; i < problems.size() && i < kPrintedMax; ++i)
        printf("web server: the \"ipACL\" rule \"%s\" cannot be read: %s\n",
               problems[i].rule.c_str(), problems[i].reason.c_str());
    if (problems.size() > kPrintedMax)
        printf("web server: %zu more \"ipACL\" rules cannot be read\n",
               problems.size() - kPrintedMax);
    fflush(stdout);
}

BOOL tovuCGIAclAccepts(const char *szACL, uint32_t addr)
{
    return aclVerdict(szACL, &addr) ? TRUE : FALSE;
}

enum MHD_Result mhdAccessPolicyCallback(void *, const struct sockaddr *addr, socklen_t)
{
    std::string acl;
    {
        TovuConfigLock lock;
        acl = jsonGetText(globalItem("ipACL"));
    }
    if (acl.empty())
        return MHD_YES;
    // the server listens on IPv4 only; for any other family only "all" matches
    if (!addr || addr->sa_family != AF_INET)
        return aclVerdict(acl.c_str(), nullptr) ? MHD_YES : MHD_NO;
    uint32_t client = ntohl(reinterpret_cast<const struct sockaddr_in *>(addr)->sin_addr.s_addr);
    return aclVerdict(acl.c_str(), &client) ? MHD_YES : MHD_NO;
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
    logRequest(connection, method, url);

    bool get = eqNoCase(method, MHD_HTTP_METHOD_GET);
    if (!get && !eqNoCase(method, MHD_HTTP_METHOD_POST))
        return MHD_NO;
    if (*con_cls == kTooLongMarker) {
        *con_cls = nullptr;
        return answerText(connection, MHD_HTTP_URI_TOO_LONG, kTooLongText);
    }

    if (get) {
        if (!*con_cls) {
            *con_cls = const_cast<char *>(kGetMarker);
            return MHD_YES;
        }
        if (*upload_data_size) {
            // a body sent with a GET is not looked at
            *upload_data_size = 0;
            return MHD_YES;
        }
        return toResult(routed(connection, url, nullptr));
    }

    if (!*con_cls) {
        PostBuffer *post = new (std::nothrow) PostBuffer;
        if (!post)
            return MHD_NO;
        *con_cls = post;
        return MHD_YES;
    }
    PostBuffer *post = postOf(*con_cls);
    if (*upload_data_size) {
        size_t n = *upload_data_size;
        size_t len = post->text.size();
        // a piece that would pass the limit is dropped whole; room is kept
        // for the NUL that ends the text
        if (!post->refused && n <= kPostMax - len) {
            if (growPost(post, len + n + 1))
                post->text.insert(post->text.end(), upload_data, upload_data + n);
            else
                refusePost(post);
        }
        *upload_data_size = 0;
        return MHD_YES;
    }
    enum MHD_Result r;
    if (post->refused || !growPost(post, post->text.size() + 1))
        r = answerText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, kBusyText);
    else
        r = toResult(routed(connection, url, postBody(connection, post)));
    releasePost(post);
    *con_cls = nullptr;
    return r;
}
