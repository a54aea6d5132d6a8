/*
 * tovu_cgi_router.cpp - the web API router: for every request, the output
 * redirect (before any login), the login check by the "auth" cookie with the
 * login form and page, then one table of routes: status and runtime, the
 * configuration upload, channel start/stop/preview, the discovery answers,
 * and the embedded files and configuration download for everything else.
 *
 * It runs on the web server's single thread.  Answers are built whole in
 * strings and copied into the library's response; nothing a client sends is
 * written into a fixed buffer.
 */
#include "tovu_cgi_internal.h"
#include "tovu_cgi_util.h"
#include "tovu_document.h"
#include "tovu_cgi_json.h"
#include "tovu_decklink.h"
#include "tovu_ndi.h"
#include "tovu_config.h"
#include "tovu_helpers.h"
#include "tovu_channel.h"
#include "tovu_base.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

using tovucgi::eqNoCase;
using tovucgi::startsNoCase;

namespace {

const char kHeaderConnection[] = "Connection";
const char kKeepAlive[] = "Keep-Alive";
const char kHeaderContentType[] = "Content-Type";
const char kTypeHtml[] = "text/html";
const char kTypeJson[] = "application/json";
const char kHeaderLocation[] = "Location";
const char kHeaderSetCookie[] = "Set-Cookie";
const char kAuthPrefix[] = "auth=";
const char kLoginPath[] = "/login";
const char kChannelPath[] = "/channel";
const char kIndexPath[] = "/index.html";
const char kImportArg[] = "import";
const char kHomeLocation[] = "/";
const char kCookieSeparators[] = "&; ";
const char kTypeText[] = "text/plain";
const char kNotApplied[] = "the change was not applied: ";
const char kNotSaved[] = "the configuration could not be saved: ";

const char kLoginPage1[] = "<html>\n<head>\n<title>%s</title>\n</head>\n";
const char kLoginPage2[] =
    "<body>\n<div style=\"width: 100%; position: absolute; top: 30%; text-align: center\">\n";
const char kLoginPage3[] = "<h2>%s Login Authentication</h2>\n";
const char kLoginPage4[] =
    "<form action=\"login\" method=\"post\">\n <input type=\"password\" name=\"auth\" required>\n"
    " <input type=\"submit\" value=\"Login\">\n</form></div>\n</body>\n</html>";

/* the refusals of a start that the answer names by a fixed text of its own;
   the cause the channel log got follows it */
const TOVU_CGI_STATUS kChannelAnswers[] = {
    {TOVU_ERR_NOT_INIT, "not initialized"},
    {TOVU_ERR_INVALID_SLOT, "invalid channel"},
    {TOVU_ERR_BUSY, "channel busy"},
    {TOVU_ERR_NO_SOURCE_URL, "source url not valid"},
    {TOVU_ERR_NO_TARGET_URL, "target url not valid"},
    {TOVU_ERR_NO_ENCODER, "target codec not valid"},
};
const char kNotKept[] = "the change is in use but will not survive a restart: ";

typedef std::vector<std::pair<const char *, std::string>> Headers;


/* a response over a body, with its headers; null when the library refuses any part */
struct MHD_Response *makeResponse(const char *body, size_t len, enum MHD_ResponseMemoryMode mode,
                                  const Headers &headers)
{
    struct MHD_Response *r =
        MHD_create_response_from_buffer(len, const_cast<char *>(len ? body : ""), mode);
    if (!r)
        return nullptr;
    for (const auto &h : headers) {
        // the library drops an ordinary "Connection" header on HTTP/1.1; asked
        // this way it writes "Connection: Keep-Alive" itself, first
        if (h.first == kHeaderConnection && h.second == kKeepAlive) {
            tovuCGIKeepAlive(r);
            continue;
        }
        // an answer without its "Location" or "Set-Cookie" would mean something else
        bool required = h.first == kHeaderLocation || h.first == kHeaderSetCookie;
        if (MHD_add_response_header(r, h.first, h.second.c_str()) != MHD_YES && required) {
            MHD_destroy_response(r);
            return nullptr;
        }
    }
    return r;
}

int queueResponse(struct MHD_Connection *conn, unsigned status, struct MHD_Response *r)
{
    if (!r)
        return MHD_NO;
    int q = MHD_queue_response(conn, status, r);
    MHD_destroy_response(r);
    return q == MHD_YES ? MHD_YES : MHD_NO;
}

int answerCopy(struct MHD_Connection *conn, unsigned status, const std::string &body,
               const Headers &headers)
{
    return queueResponse(conn, status,
                         makeResponse(body.data(), body.size(), MHD_RESPMEM_MUST_COPY, headers));
}

int answerEmpty(struct MHD_Connection *conn, unsigned status, const Headers &headers = Headers())
{
    return queueResponse(conn, status, makeResponse("", 0, MHD_RESPMEM_PERSISTENT, headers));
}

/* the text of a global setting, copied out under the configuration lock */
std::string globalText(const char *key)
{
    TovuConfigLock lock;
    return jsonGetText(tovuGlobalItem(key));
}

/* compares in a time that depends only on the length of the offered text */
bool sameSecret(const std::string &offered, const std::string &secret)
{
    if (secret.empty())
        return offered.empty();
    volatile unsigned char diff = offered.size() != secret.size();
    for (size_t i = 0; i < offered.size(); ++i)
        diff = static_cast<unsigned char>(
            diff | (static_cast<unsigned char>(offered[i]) ^
                    static_cast<unsigned char>(secret[i % secret.size()])));
    return diff == 0;
}

/* the value of a hexadecimal digit, -1 for any other byte (ASCII only) */
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isAsciiAlnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

/* true for a byte a "Set-Cookie" value cannot carry as it is */
bool unsafeInCookie(unsigned char c)
{
    return c <= 0x20 || c >= 0x7f || c == ';' || c == ',' || c == '"' || c == '\\';
}

/* Why an upload's parsed document cannot be taken, or "" when it can: it
   must be an object (anything else would have no settings at all, the login
   password included), and its access rules must read as written. */
std::string uploadProblem(const cJSON *doc)
{
    if (!cJSON_IsObject(doc))
        return "the configuration is not a JSON object";
    const cJSON *global = tovuDocGlobal(doc);
    if (global && !cJSON_IsObject(global))
        return "the \"global\" setting is not a JSON object";
    for (const char *key : tovuCGITextSettings) {
        const cJSON *item = tovuDocGlobalItem(doc, key);
        if (item && !cJSON_IsString(item))
            return std::string("the \"") + key + "\" setting is not a text";
    }
    const cJSON *acl = tovuDocGlobalItem(doc, "ipACL");
    if (!acl)
        return "";
    std::vector<TovuAclProblem> problems = tovuCGIAclProblems(jsonGetText(acl));
    if (problems.empty())
        return "";
    // the first few are enough to act on
    const size_t kNamedMax = 10;
    std::string text;
    for (size_t i = 0; i < problems.size() && i < kNamedMax; ++i)
        text += std::string(i ? "; " : "") + "the \"ipACL\" rule \"" + problems[i].rule +
                "\" cannot be read: " + problems[i].reason;
    if (problems.size() > kNamedMax)
        text += "; and " + std::to_string(problems.size() - kNamedMax) + " more such rules";
    return text;
}

/* The number an upload names in its TOVU_CGI_VERSION_HEADER: false when it
   names none, and an empty *why unless the value is not a number */
bool namedVersion(struct MHD_Connection *conn, uint64_t *version, std::string *why)
{
    why->clear();
    const char *value =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, TOVU_CGI_VERSION_HEADER);
    if (!value)
        return false;
    std::string text = value;
    bool digits = !text.empty() && text.size() <= 19 &&
                  text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) {
        *why = std::string("the \"" TOVU_CGI_VERSION_HEADER "\" header \"") +
               tovuCGILogSafe(value, 40) + "\" is not a document number";
        return true;
    }
    *version = strtoull(text.c_str(), nullptr, 10);
    return true;
}

/* Writes a printed document to its file; on failure prints so (on standard
   output, with the server's other messages), naming what asked for the save,
   and returns the cause (an errno value), else 0. */
int writeDocument(const TovuPrintedConfig &printed, const std::string &what)
{
    errno = 0;
    if (tovuWritePrintedConfig(printed) == 0)
        return 0;
    int err = errno ? errno : EIO;
    tovu_message("%s: the configuration could not be saved to %s: %s", what.c_str(),
                 printed.path.c_str(), strerror(err));
    return err;
}

/* the web server's settings that a change of needs a restart */
struct ServerSettings {
    int port = 0;
    bool ssl = false;
    std::string cert, key;

    void read() TOVU_REQUIRES(g_configMutex) { read(g_jsonConfig); }
    void read(const cJSON *doc)
    {
        port = jsonGetInt(tovuDocGlobalItem(doc, "httpPort"));
        ssl = jsonGetBool(tovuDocGlobalItem(doc, "sslEnable"));
        cert = jsonGetText(tovuDocGlobalItem(doc, "sslCert"));
        key = jsonGetText(tovuDocGlobalItem(doc, "sslKey"));
    }
    bool operator!=(const ServerSettings &o) const
    {
        return port != o.port || ssl != o.ssl || cert != o.cert || key != o.key;
    }
    bool httpsChanged(const ServerSettings &o) const
    {
        return ssl != o.ssl || cert != o.cert || key != o.key;
    }
};

/* Why the server could not serve what an upload's document asks for, or ""
   when it could: a port out of range or that cannot be bound, or HTTPS newly
   asked for (turned on, or other files) that cannot start. */
std::string serverProblem(const cJSON *doc, const ServerSettings &before)
{
    ServerSettings after;
    after.read(doc);
    std::string why = tovuCGIPortProblem(tovuDocHttpPort(doc));
    if (why.empty() && after.ssl && after.httpsChanged(before))
        why = tovuCGIHttpsProblem(after.cert, after.key);
    return why;
}

/* why a start of one of the installed document's channels would refuse its
   texts, or "" when none would */
std::string channelTextProblem() TOVU_REQUIRES(g_configMutex)
{
    for (int i = 0, n = tovuChannelCount(); i < n; ++i) {
        std::string why = tovuChannelTextProblem(i);
        if (!why.empty())
            return why + ", which a start of the channel refuses";
    }
    return "";
}

/* ---------------------------------------------------------------- route table */

struct Request {
    struct MHD_Connection *conn;
    const char *path;
    char *post;
    const char *args;
};

int routeIndex(const Request &q)
{
    return tovuCGIDownload(q.conn, kIndexPath, q.args) ? MHD_YES : MHD_NO;
}

int routeStatus(const Request &q)
{
    return tovuCGIStatus(q.conn) ? MHD_YES : MHD_NO;
}

int routeConfig(const Request &q)
{
    if (q.post)
        return tovuCGISetConfig(q.conn, q.post, q.args);
    return tovuCGIDownload(q.conn, q.path, q.args) ? MHD_YES : MHD_NO;
}

int routeRuntime(const Request &q)
{
    return tovuCGIRuntime(q.conn) ? MHD_YES : MHD_NO;
}

int routeDecklink(const Request &q)
{
    return tovuCGIDecklinkConfig(q.conn, q.args) ? MHD_YES : MHD_NO;
}

int routeNdi(const Request &q)
{
    return tovuCGINDIConfig(q.args, q.conn) ? MHD_YES : MHD_NO;
}

int routeChannel(const Request &q)
{
    // the number after "/channel": leading blanks and a sign allowed; none reads 0
    const char *digits = q.path + strlen(kChannelPath);
    int iChannel = 0;
    tovu_read_int(digits, &iChannel);
    return tovuCGIChannel(q.conn, iChannel, q.args, q.post);
}

int routeFile(const Request &q)
{
    return tovuCGIDownload(q.conn, q.path, q.args) ? MHD_YES : MHD_NO;
}

struct Route {
    const char *path;
    bool prefix;   /* true: the path only has to begin with it */
    int (*answer)(const Request &);
};

/* tried in order; the last row takes every path */
const Route kRoutes[] = {
    {"/", false, routeIndex},
    {"/status", false, routeStatus},
    {"/config", false, routeConfig},
    {"/runtime", false, routeRuntime},
    {"/decklink_config", false, routeDecklink},
    {"/ndi_config", false, routeNdi},
    {kChannelPath, true, routeChannel},
    {"", true, routeFile},
};

/* the joined text of arguments or cookies, without its NUL and the room kept
   for one more character */
const size_t kJoinMax = TOVU_CGI_KV_SIZE - 2;

/* settings of the server changed by the last upload, for the server to act on */
std::atomic<bool> s_serverSettingsChanged{false};

void appendCut(std::string &out, const char *text)
{
    if (out.size() < kJoinMax)
        out.append(text, std::min(strlen(text), kJoinMax - out.size()));
}

} // namespace

/* ---------------------------------------------------------------- argument and cookie joiner */

enum MHD_Result mhdKeyValueIterator(void *cls, enum MHD_ValueKind, const char *key,
                                    const char *value)
{
    char *text = static_cast<char *>(cls);
    if (!text)
        return MHD_YES;
    std::string joined(text, strnlen(text, kJoinMax));
    if (!joined.empty())
        appendCut(joined, "&");
    appendCut(joined, key ? key : "");
    if (value) {
        appendCut(joined, "=");
        appendCut(joined, value);
    }
    memcpy(text, joined.c_str(), joined.size() + 1);
    return MHD_YES;
}

/* ---------------------------------------------------------------- server settings */

BOOL tovuCGITakeServerSettingsChanged(void)
{
    return s_serverSettingsChanged.exchange(false) ? TRUE : FALSE;
}

/* ---------------------------------------------------------------- channel answers */

std::string tovuCGIStartRefusal(int code, const std::string &cause)
{
    if (code == 0)
        return "";
    std::string text;
    for (const TOVU_CGI_STATUS &row : kChannelAnswers) {
        if (row.code == code)
            text = row.status;
    }
    if (!cause.empty())
        text += (text.empty() ? "" : ": ") + cause;
    if (text.empty())
        text = "channel start refused (" + std::to_string(code) + ")";
    return text;
}

/* ---------------------------------------------------------------- redirect */

BOOL tovuCGIRedirectLocation(const char *szPath, std::string &location)
{
    TovuConfigLock lock;
    int count = tovuChannelCount();
    for (int i = 0; i < count; ++i) {
        const char *url = tovuChannelRedirectedUrl(i);
        if (!url)
            continue;
        const char *scheme = strstr(url, "://");
        if (!scheme)
            continue;
        const char *host = scheme + 3;
        const char *path = strchr(host, '/');
        if (!path || !eqNoCase(path, szPath))
            continue;
        // scheme and host as written, without a port of their own: a bracketed
        // IPv6 host keeps its colons
        const char *hostEnd = host;
        if (*hostEnd == '[') {
            const char *close = static_cast<const char *>(memchr(hostEnd, ']', path - hostEnd));
            if (close)
                hostEnd = close;
        }
        const char *colon = static_cast<const char *>(memchr(hostEnd, ':', path - hostEnd));
        const char *cut = colon ? colon : path;
        location.assign(url, cut);
        location += ":" + std::to_string(tovuChannelHttpPort(i));
        return TRUE;
    }
    return FALSE;
}

int tovuCGIRedirect(struct MHD_Connection *conn, const char *szPath)
{
    std::string location;
    if (!tovuCGIRedirectLocation(szPath, location))
        return -1;
    return answerEmpty(conn, MHD_HTTP_MOVED_PERMANENTLY, {{kHeaderLocation, location}});
}

/* ---------------------------------------------------------------- login */

std::string _urlDecode(const char *szText)
{
    std::string out;
    for (const char *p = szText; *p; ++p) {
        if (*p == '+') {
            out += ' ';
        } else if (*p == '%' && hexValue(p[1]) >= 0 && hexValue(p[2]) >= 0) {
            out += static_cast<char>(hexValue(p[1]) * 16 + hexValue(p[2]));
            p += 2;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string tovuCGICookieEncode(const char *szText)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(szText); *p; ++p) {
        if (isAsciiAlnum(*p) || *p == '-' || *p == '.' || *p == '_' || *p == '~') {
            out += static_cast<char>(*p);
        } else {
            out += '%';
            out += kHex[*p >> 4];
            out += kHex[*p & 15];
        }
    }
    return out;
}

BOOL tovuCGIAuth(const char *szCookie)
{
    std::string password = globalText("loginPass");
    if (password.empty())
        return TRUE;

    std::string offered;
    const char *p = szCookie ? szCookie : "";
    while (*p) {
        p += strspn(p, kCookieSeparators);
        size_t len = strcspn(p, kCookieSeparators);
        if (len >= strlen(kAuthPrefix) && strncmp(p, kAuthPrefix, strlen(kAuthPrefix)) == 0) {
            std::string value(p + strlen(kAuthPrefix), len - strlen(kAuthPrefix));
            offered = _urlDecode(value.c_str());
            break;
        }
        p += len;
    }
    return sameSecret(offered, password) ? TRUE : FALSE;
}

int tovuCGILogin(char *szPost, struct MHD_Connection *conn)
{
    Headers headers = {{kHeaderLocation, kHomeLocation}};
    if (szPost && *szPost) {
        const char *field = szPost + strspn(szPost, "&");
        std::string first(field, strcspn(field, "&"));
        if (first.compare(0, strlen(kAuthPrefix), kAuthPrefix) == 0) {
            std::string value = first.substr(strlen(kAuthPrefix));
            // a browser's form encoding leaves nothing a cookie cannot carry, and
            // the value is kept as posted; another client's raw bytes are
            // re-encoded, which the check decodes to the same password
            for (unsigned char c : value) {
                if (unsafeInCookie(c)) {
                    value = tovuCGICookieEncode(_urlDecode(value.c_str()).c_str());
                    break;
                }
            }
            headers.emplace_back(kHeaderSetCookie, kAuthPrefix + value);
        }
    }
    return answerEmpty(conn, MHD_HTTP_MOVED_PERMANENTLY, headers);
}

int tovuCGILoginPage(struct MHD_Connection *conn)
{
    std::string title = tovuAppTitle() ? tovuAppTitle() : "";
    std::string page;
    std::string head = kLoginPage1;
    page = head.replace(head.find("%s"), 2, title);
    page += kLoginPage2;
    std::string h2 = kLoginPage3;
    page += h2.replace(h2.find("%s"), 2, TOVU_PRODUCT_ABBR);
    page += kLoginPage4;
    return answerCopy(conn, MHD_HTTP_OK, page,
                      {{kHeaderConnection, kKeepAlive}, {kHeaderContentType, kTypeHtml}});
}

/* ---------------------------------------------------------------- configuration upload */

int tovuCGISetConfig(struct MHD_Connection *conn, char *szPost, const char *szArgs)
{
    bool import = eqNoCase(szArgs ? szArgs : "", kImportArg);

    TovuCgiLock lock;
    // held until the answer is made: nobody sees the new document before it
    // is saved, nor after it has been taken back
    TovuConfigLock configLock;

    const uint64_t inUse = tovuConfigVersion();
    const std::string inUseText = std::to_string(inUse);
    uint64_t named = 0;
    std::string refusal;
    if (namedVersion(conn, &named, &refusal) && refusal.empty() && named != inUse) {
        // made from a copy that is not the document in use: taking it would
        // put back whatever was changed since that copy was loaded
        int r = answerCopy(conn, MHD_HTTP_CONFLICT,
                           kNotApplied + std::string("the configuration was changed elsewhere "
                                                     "since this copy was loaded (the copy is "
                                                     "number ") +
                               std::to_string(named) + ", the one in use number " + inUseText +
                               "); load the one in use and make the change again",
                           {{kHeaderContentType, kTypeText}, {TOVU_CGI_VERSION_HEADER, inUseText}});
        lock.unlock();
        return r;
    }

    ServerSettings before;
    before.read();
    const int channelsBefore = tovuChannelCount();
    cJSON *doc = nullptr;
    if (refusal.empty()) {
        if (tovuConfigTooDeep(szPost))
            refusal = "the configuration nests more than " +
                      std::to_string(TOVU_MAX_CONFIG_DEPTH) + " levels deep";
        else if (!(doc = tovuParseConfig(szPost)))
            refusal = "the configuration is not JSON";
        else
            refusal = uploadProblem(doc);
        if (refusal.empty())
            refusal = serverProblem(doc, before);
    }
    cJSON *previous = nullptr;
    if (refusal.empty()) {
        // the channels are read as a start reads them, from the installed
        // document: in place for this check, seen by nobody else (the lock
        // is held), and taken back when it fails
        previous = tovuSwapConfig(doc);
        refusal = channelTextProblem();
        if (!refusal.empty())
            doc = tovuRestoreConfig(previous, inUse);
    }
    if (!refusal.empty()) {
        cJSON_Delete(doc);
        int r = answerCopy(conn, MHD_HTTP_BAD_REQUEST, kNotApplied + refusal,
                           {{kHeaderContentType, kTypeText}});
        lock.unlock();
        return r;
    }

    // the answer's body is the text the file gets
    TovuPrintedConfig printed;
    tovuPrintConfig(nullptr, &printed);
    std::string body;
    int saveError = 0;
    if (!import) {
        if (printed.ready) {
            body = printed.text;
        } else if (char *text = cJSON_Print(g_jsonConfig)) {
            body = text;
            cJSON_free(text);
        } else {
            saveError = ENOMEM;
        }
    }
    if (!saveError)
        saveError = writeDocument(printed, import ? "configuration import" : "configuration upload");

    if (saveError) {
        // not stored, so not in use either: the previous document is back,
        // and the engine and the server never saw the new one
        cJSON_Delete(tovuRestoreConfig(previous, inUse));
        lock.unlock();
        return answerCopy(conn, MHD_HTTP_INTERNAL_SERVER_ERROR,
                          kNotApplied + std::string(kNotSaved) + strerror(saveError),
                          {{kHeaderContentType, kTypeText}});
    }
    cJSON_Delete(previous);

    // channels the document no longer has would run on unseen, out of reach
    // of a stop request; their logs still get the stop, under the settings
    // they ran with
    for (int i = tovuChannelCount(); i < channelsBefore; ++i)
        tovuStopRemovedChannel(i);

    TovuEngineSettings settings;
    settings.read();
    TOVU_CONFIG cfg = settings.config();
    tovu_reset(&cfg);

    ServerSettings after;
    after.read();
    if (after != before)
        s_serverSettingsChanged = true;

    const std::string version = std::to_string(tovuConfigVersion());
    if (import) {
        lock.unlock();
        return answerEmpty(conn, MHD_HTTP_MOVED_PERMANENTLY,
                           {{kHeaderConnection, kKeepAlive},
                            {kHeaderContentType, kTypeJson},
                            {kHeaderLocation, kHomeLocation},
                            {TOVU_CGI_VERSION_HEADER, version}});
    }

    Headers headers = {{TOVU_CGI_VERSION_HEADER, version}};
    std::string password = jsonGetText(tovuGlobalItem("loginPass"));
    if (!password.empty())
        headers.emplace_back(kHeaderSetCookie, kAuthPrefix + tovuCGICookieEncode(password.c_str()));
    lock.unlock();
    headers.emplace_back(kHeaderConnection, kKeepAlive);
    headers.emplace_back(kHeaderContentType, kTypeJson);
    return answerCopy(conn, MHD_HTTP_OK, body, headers);
}

/* ---------------------------------------------------------------- channel requests */

int tovuCGIChannel(struct MHD_Connection *conn, int iChannel, const char *szArgs, char *)
{
    const char *action = szArgs ? szArgs : "";
    TovuCgiLock lock;
    // The document lock is held only while the document is read or changed:
    // the transcoder's start and the configuration file's write and sync run
    // without it, so that the supervision loop and the restart timers do not
    // wait for them. "/status" runs on this same web thread and takes
    // g_cgi_mutex too: it comes before or after a channel request, never
    // inside one. g_cgi_mutex stays held throughout and keeps the saves in
    // order.
    {
        TovuConfigLock configLock;
        if (iChannel < 1 || iChannel > tovuChannelCount())
            return answerEmpty(conn, MHD_HTTP_NOT_FOUND);
    }

    int i = iChannel - 1;
    // sets the channel's "enable" and prints the document, under its lock; a
    // document whose "enable" changed takes a new number, so that a copy from
    // before it cannot put the old one back unawares
    auto setEnable = [i](BOOL on, TovuPrintedConfig *printed) {
        TovuConfigLock configLock;
        cJSON *channel = tovuChannelItem(i);
        const cJSON *was = jsonGetItem(channel, "enable");
        bool same = cJSON_IsBool(was) && (cJSON_IsTrue(was) != 0) == (on != FALSE);
        if (tovuSetMemberBool(channel, "enable", on) && !same)
            tovuConfigChanged();
        tovuPrintConfig(nullptr, printed);
    };
    TovuPrintedConfig printed;
    int r = 0;
    std::string cause;
    int saveError = 0;
    if (eqNoCase(action, "start")) {
        if (tovuGetChannelState(i) == TOVU_STATE_IDLE) {
            tovu_take_refusal();
            r = tovuStartChannel(i);
            cause = tovu_take_refusal();
            // started by the loop or a restart timer (neither takes
            // g_cgi_mutex) between the state read above and this start: as
            // if it had been running
            if (r == TOVU_ERR_BUSY && tovuGetChannelState(i) != TOVU_STATE_IDLE)
                r = 0;
        }
        setEnable(TRUE, &printed);
        saveError = writeDocument(printed, "channel " + std::to_string(iChannel) + " start");
    } else if (eqNoCase(action, "stop")) {
        setEnable(FALSE, &printed);
        saveError = writeDocument(printed, "channel " + std::to_string(iChannel) + " stop");
        tovuStopChannel(i, tovuGetChannelState(i) == TOVU_STATE_STOPPING ? 1 : 0);
    } else if (eqNoCase(action, "preview")) {
        if (tovuGetChannelState(i) == TOVU_STATE_IDLE)
            tovuPreviewChannel(i);
    }

    // the refusal first, then a save that failed: the channel's "enable" is
    // changed in memory all the same, and the start or stop has acted
    std::string text = tovuCGIStartRefusal(r, cause);
    if (saveError)
        text += (text.empty() ? "" : "\n") + std::string(kNotKept) + kNotSaved +
                strerror(saveError);
    std::string version;
    {
        TovuConfigLock configLock;
        version = std::to_string(tovuConfigVersion());
    }
    return answerCopy(conn, r == 0 ? MHD_HTTP_OK : MHD_HTTP_BAD_REQUEST, text,
                      {{kHeaderConnection, kKeepAlive}, {TOVU_CGI_VERSION_HEADER, version}});
}

/* ---------------------------------------------------------------- the router */

int tovuCGI(struct MHD_Connection *conn, const char *szPath, char *szPost)
{
    const char *path = szPath ? szPath : "";
    char args[TOVU_CGI_KV_SIZE] = "";
    char cookies[TOVU_CGI_KV_SIZE] = "";
    MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, mhdKeyValueIterator, args);
    MHD_get_connection_values(conn, MHD_COOKIE_KIND, mhdKeyValueIterator, cookies);

    int r = tovuCGIRedirect(conn, path);
    if (r >= 0)
        return r;

    if (!tovuCGIAuth(cookies)) {
        if (startsNoCase(path, kLoginPath))
            return tovuCGILogin(szPost, conn);
        return tovuCGILoginPage(conn);
    }

    Request q = {conn, path, szPost, args};
    for (const Route &route : kRoutes) {
        bool match = route.prefix ? startsNoCase(path, route.path) : eqNoCase(path, route.path);
        if (match)
            return route.answer(q);
    }
    return routeFile(q);
}
