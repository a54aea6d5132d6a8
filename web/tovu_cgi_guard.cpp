/*
 * tovu_cgi_guard.cpp - what the intake checks in a request's headers before
 * anything else: framing that two parties could read in two ways (two
 * lengths that differ, a length beside a transfer coding, a coding other than
 * "chunked", a length or coding written with a blank before its colon), and
 * requests that change something while a browser marks them as sent by a
 * page of another site.
 *
 * A browser tells where a request comes from in "Origin" (the page's scheme,
 * host and port) and in "Sec-Fetch-Site".  A request without either header
 * (a script, curl) is not a browser's cross-site request and passes, and so
 * do the page's own requests, whose origin is the host they are sent to.
 */
#include "tovu_cgi_internal.h"
#include "tovu_cgi_util.h"

#include <string.h>

#include <string>

using tovucgi::eqNoCase;
using tovucgi::startsNoCase;

namespace {

const char kHeaderTransferEncoding[] = "Transfer-Encoding";
const char kHeaderOrigin[] = "Origin";
const char kHeaderFetchSite[] = "Sec-Fetch-Site";
const char kChunked[] = "chunked";
const char kHttpScheme[] = "http://";
const char kHttpsScheme[] = "https://";
const char kHttpDefaultPort[] = ":80";
const char kHttpsDefaultPort[] = ":443";
const char kBlanks[] = " \t";

/* what the framing headers of one request say */
struct Framing {
    int lengths = 0;          /* "Content-Length" headers */
    std::string length;       /* the first one's value, blanks trimmed */
    bool lengthsDiffer = false;
    int codings = 0;          /* "Transfer-Encoding" headers */
    bool onlyChunked = true;  /* every one of them is exactly "chunked" */
    bool blankInName = false; /* one of these written with a blank before its colon */
};

std::string trimmed(const char *text)
{
    std::string s = text ? text : "";
    size_t begin = s.find_first_not_of(kBlanks);
    if (begin == std::string::npos)
        return std::string();
    size_t end = s.find_last_not_of(kBlanks);
    return s.substr(begin, end - begin + 1);
}

enum MHD_Result framingItem(void *cls, enum MHD_ValueKind, const char *key, const char *value)
{
    Framing *f = static_cast<Framing *>(cls);
    if (!key)
        return MHD_YES;
    // The library keeps a blank before a header's colon in its name and then
    // frames as if the header were not there; a proxy in front may drop the
    // blank and frame by it.  Such a framing header counts as what it names,
    // and alone it is already one that two readers take two ways.
    std::string name = trimmed(key);
    bool framing = eqNoCase(name.c_str(), MHD_HTTP_HEADER_CONTENT_LENGTH) ||
                   eqNoCase(name.c_str(), kHeaderTransferEncoding);
    if (framing && name.size() != strlen(key))
        f->blankInName = true;
    if (eqNoCase(name.c_str(), MHD_HTTP_HEADER_CONTENT_LENGTH)) {
        std::string v = trimmed(value);
        if (f->lengths++ == 0)
            f->length = v;
        else if (v != f->length)
            f->lengthsDiffer = true;
    } else if (eqNoCase(name.c_str(), kHeaderTransferEncoding)) {
        ++f->codings;
        if (!eqNoCase(trimmed(value).c_str(), kChunked))
            f->onlyChunked = false;
    }
    return MHD_YES;
}

/* host and port of an origin or a "Host" value, in lower case and without the
   scheme's default port */
std::string hostPort(std::string text, bool https)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    const char *port = https ? kHttpsDefaultPort : kHttpDefaultPort;
    size_t n = strlen(port);
    if (text.size() > n && text.compare(text.size() - n, n, port) == 0)
        text.resize(text.size() - n);
    return text;
}

} // namespace

BOOL tovuCGIFramingFault(struct MHD_Connection *conn)
{
    Framing f;
    MHD_get_connection_values(conn, MHD_HEADER_KIND, framingItem, &f);
    if (f.lengthsDiffer || f.blankInName)
        return TRUE;
    if (f.codings > 0 && (f.lengths > 0 || f.codings > 1 || !f.onlyChunked))
        return TRUE;
    return FALSE;
}

BOOL tovuCGIChangesSomething(const char *szPath, BOOL bPost)
{
    const char *path = szPath ? szPath : "";
    if (startsNoCase(path, "/channel"))
        return TRUE;
    if (!bPost)
        return FALSE;
    return eqNoCase(path, "/config") || startsNoCase(path, "/login") ? TRUE : FALSE;
}

BOOL tovuCGIFromOtherSite(struct MHD_Connection *conn)
{
    const char *site = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, kHeaderFetchSite);
    if (site) {
        std::string s = trimmed(site);
        // "same-site" is a sibling host or another port of this one: another origin all the same
        if (eqNoCase(s.c_str(), "cross-site") || eqNoCase(s.c_str(), "same-site"))
            return TRUE;
    }
    const char *origin = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, kHeaderOrigin);
    if (!origin)
        return FALSE;
    // an origin is "scheme://host[:port]"; anything else ("null" from a
    // sandboxed frame or a local file) is no page of this host
    std::string o = trimmed(origin);
    bool https = startsNoCase(o.c_str(), kHttpsScheme);
    size_t skip = https ? strlen(kHttpsScheme) : strlen(kHttpScheme);
    if (!https && !startsNoCase(o.c_str(), kHttpScheme))
        return TRUE;
    std::string from = o.substr(skip);
    if (from.empty() || from.find('/') != std::string::npos)
        return TRUE;
    const char *host = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (!host)
        return TRUE;
    return hostPort(from, https) == hostPort(trimmed(host), https) ? FALSE : TRUE;
}
