// What the intake refuses from a request's headers alone, against the real
// server: framing that two readers could take two ways, and changes that a
// browser marks as asked for by a page of another site.
#include "fixtures/cgi_test_util.h"

using namespace cgitest;

namespace {

std::string doc(const std::string &global, const std::string &channels = "")
{
    return "{\"name\": \"t\", \"global\": {" + global + "}, \"channels\": [" + channels + "]}";
}

std::string memo()
{
    TovuConfigLock lock;
    return jsonGetText(jsonGetItem(cfgtest::global(), "memo"));
}

std::string loginPass()
{
    TovuConfigLock lock;
    return jsonGetText(jsonGetItem(cfgtest::global(), "loginPass"));
}

// the status lines in a raw answer: one per request the server answered
int answers(const std::string &raw)
{
    int n = 0;
    for (size_t at = raw.find("HTTP/1."); at != std::string::npos; at = raw.find("HTTP/1.", at + 1))
        ++n;
    return n;
}

// a channel whose first output an HTML5 viewer reaches at /channelview
std::string viewedChannel()
{
    return "{\"enable\": false, \"input\": {\"sources\": [{\"format\": \"udp\", \"url\": "
           "\"udp://127.0.0.1:4000\"}]}, \"output\": {\"targets\": [{\"format\": \"html5\", \"url\": "
           "\"http://127.0.0.1:9528/channelview\", \"video\": {\"codec\": \"h264\"}, \"audio\": "
           "{\"codec\": \"aac\"}}]}}";
}

} // namespace

// A request whose body length is told twice with two values, by a length and
// a coding together, or by a coding other than "chunked" is answered 400 and
// its connection closed: what follows it on the connection (a request hidden
// in the body, for a proxy that reads the framing the other way) is never
// answered, and an upload so framed changes nothing.
TEST_F(CgiServer, AmbiguousFramingIsRefused)
{
    install(doc("\"memo\": \"kept\""));
    start();
    const std::string upload = doc("\"memo\": \"smuggled\"");
    const std::string hidden = "GET /runtime HTTP/1.1\r\nHost: x\r\n\r\n";
    auto head = [](const std::string &method, const std::string &framing) {
        return method + " /config HTTP/1.1\r\nHost: x\r\n" + framing + "\r\n";
    };
    auto chunked = [](const std::string &body) {
        char size[32];
        snprintf(size, sizeof size, "%zx\r\n", body.size());
        return size + body + "\r\n0\r\n\r\n";
    };
    const std::string len = std::to_string(upload.size());

    struct Case {
        const char *what;
        std::string request;
    } refused[] = {
        {"two lengths that differ",
         head("POST", "Content-Length: " + len + "\r\nContent-Length: 3\r\n") + upload + hidden},
        {"a length and chunked",
         head("POST", "Content-Length: " + len + "\r\nTransfer-Encoding: chunked\r\n") +
             chunked(upload) + hidden},
        {"chunked and a length",
         head("POST", "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n") + chunked(upload) + hidden},
        {"a coding other than chunked", head("POST", "Transfer-Encoding: gzip, chunked\r\n") +
                                            chunked(upload) + hidden},
        {"chunked twice", head("POST", "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n") +
                              chunked(upload) + hidden},
        {"a GET with two lengths", head("GET", "Content-Length: 0\r\nContent-Length: 44\r\n") + hidden},
        // a blank before the colon: this server would frame by the length
        // alone, a proxy that drops the blank by the chunks
        {"a length and chunked with a blank before its colon",
         head("POST", "Content-Length: " + len + "\r\nTransfer-Encoding : chunked\r\n") +
             chunked(upload) + hidden},
        {"chunked with a tab before its colon",
         head("POST", "Transfer-Encoding\t: chunked\r\n") + chunked(upload) + hidden},
        {"a length with a blank before its colon",
         head("POST", "Content-Length : " + len + "\r\n") + upload + hidden},
    };
    for (const Case &c : refused) {
        int fd = connectFrom("127.0.0.1", kPort);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, c.request)) << c.what;
        auto begin = std::chrono::steady_clock::now();
        std::string got = readAll(fd, 5000);
        close(fd);
        Reply r = parseAnswer(got);
        EXPECT_EQ(r.status, 400) << c.what << "\n" << got;
        EXPECT_EQ(r.header("connection"), "close") << c.what;
        EXPECT_EQ(answers(got), 1) << c.what << "\n" << got;
        // closed by the server, not left to the client's patience
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4)) << c.what;
        EXPECT_EQ(memo(), "kept") << c.what;
    }

    // one framing, or the same length twice, is taken
    const std::string twice = doc("\"memo\": \"twice\""), chunks = doc("\"memo\": \"chunks\"");
    const std::string close = "Connection: close\r\n";
    struct Taken {
        const char *what;
        std::string request;
        const char *memo;
    } taken[] = {
        {"a length", head("POST", close + "Content-Length: " + len + "\r\n") + upload, "smuggled"},
        {"the same length twice",
         head("POST", close + "Content-Length: " + std::to_string(twice.size()) +
                          "\r\ncontent-length:  " + std::to_string(twice.size()) + "\r\n") + twice,
         "twice"},
        {"chunked", head("POST", close + "Transfer-Encoding: Chunked\r\n") + chunked(chunks), "chunks"},
    };
    for (const Taken &t : taken) {
        EXPECT_EQ(raw(t.request).status, 200) << t.what;
        EXPECT_EQ(memo(), t.memo) << t.what;
    }
}

// Requests that change something (uploads and imports of "/config", the
// login form, channel requests) are refused with 403 when a browser marks them
// as coming from another site; nothing of them is applied.  Reads, the page's
// own requests and requests without those headers are served.
TEST_F(CgiServer, ChangesFromOtherSitesAreRefused)
{
    install(doc("\"memo\": \"kept\"", viewedChannel()));
    start();
    const std::string attack = doc("\"loginPass\": \"evil\", \"memo\": \"attacker\"");
    const std::string plain = "Content-Type: text/plain\r\n";
    struct Case {
        const char *what;
        std::string method, target, headers;
        int status;
    } cases[] = {
        {"a form of another site", "POST", "/config", plain + "Origin: http://evil.example\r\n", 403},
        {"an import from another site", "POST", "/config?import", "Origin: http://evil.example\r\n", 403},
        {"another port of this host", "POST", "/config", "Origin: http://localhost:8080\r\n", 403},
        {"a sandboxed frame", "POST", "/config", "Origin: null\r\n", 403},
        {"marked cross-site", "POST", "/config", "Sec-Fetch-Site: cross-site\r\n", 403},
        {"marked same-site", "POST", "/config", "Sec-Fetch-Site: same-site\r\n", 403},
        {"an origin without its host", "POST", "/config", "Origin: http://\r\n", 403},
        {"a channel stop by an image", "GET", "/channel1?stop", "Sec-Fetch-Site: cross-site\r\n", 403},
        {"a channel start by a form", "POST", "/channel1?start", "Origin: http://evil.example\r\n", 403},
        {"the login form", "POST", "/login", "Origin: http://evil.example\r\n", 403},
    };
    for (const Case &c : cases) {
        Reply r = request(c.method, c.target, c.headers, c.method == "POST" ? &attack : nullptr);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.header("content-type"), "text/plain") << c.what;
        EXPECT_EQ(memo(), "kept") << c.what;
        EXPECT_EQ(loginPass(), "") << c.what;
    }

    // reads, the viewer's redirect, and requests of this page or of no page are served
    struct Served {
        const char *what;
        std::string method, target, headers;
        int status;
    } served[] = {
        {"the download", "GET", "/config", "Sec-Fetch-Site: cross-site\r\n", 200},
        {"the page", "GET", "/", "Origin: http://evil.example\r\nSec-Fetch-Site: cross-site\r\n", 200},
        {"a viewer's redirect", "GET", "/channelview", "Sec-Fetch-Site: cross-site\r\n", 301},
        {"the page's own upload", "POST", "/config",
         "Origin: http://localhost\r\nSec-Fetch-Site: same-origin\r\n", 200},
        {"the host in other letters", "POST", "/config", "Origin: HTTP://LocalHost\r\n", 200},
        {"the default port written out", "POST", "/config", "Origin: http://localhost:80\r\n", 200},
        {"a typed address", "GET", "/channel1?preview", "Sec-Fetch-Site: none\r\n", 200},
        {"a script", "POST", "/config", "", 200},
    };
    for (const Served &s : served) {
        std::string body = doc("\"memo\": \"" + std::string(s.what) + "\"", viewedChannel());
        Reply r = request(s.method, s.target, s.headers, s.method == "POST" ? &body : nullptr);
        EXPECT_EQ(r.status, s.status) << s.what;
        if (s.method == "POST") {
            EXPECT_EQ(memo(), s.what);
        }
    }

    // the origin names the host and port the request went to
    std::string body = doc("\"memo\": \"by port\"");
    Reply r = request("POST", "/config", "Origin: http://127.0.0.1:9527\r\n", &body);
    EXPECT_EQ(r.status, 403);   // "Host: localhost"
    r = raw("POST /config HTTP/1.1\r\nHost: 127.0.0.1:9527\r\nOrigin: http://127.0.0.1:9527\r\n"
            "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(memo(), "by port");
}
