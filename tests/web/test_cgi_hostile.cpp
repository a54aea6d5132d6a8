// The web interface under hostile and concurrent use, against the real
// server: stalled and simultaneous POSTs, the bound on what all POST bodies
// may hold, forged request log lines, deeply nested uploads, request lines
// with too many arguments, and saves that fail.
#include "fixtures/cgi_test_util.h"

#include <regex>
#include <sstream>

using namespace cgitest;

namespace {

const std::string kPassword = "pw";
const std::string kCookie = "Cookie: auth=" + kPassword + "\r\n";

std::string doc(const std::string &global, const std::string &extra = "")
{
    return "{\"name\": \"t\", \"global\": {" + global + "}, \"channels\": []" + extra + "}";
}

// a POST whose headers and first bytes are sent; the rest is up to the test
int startPost(const std::string &target, size_t length, const std::string &first,
              const std::string &headers = "", const char *src = "127.0.0.2")
{
    int fd = connectFrom(src, kPort);
    if (fd < 0)
        return -1;
    std::string head = "POST " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers +
                       "Content-Length: " + std::to_string(length) + "\r\n\r\n";
    if (!sendAll(fd, head + first)) {
        close(fd);
        return -1;
    }
    return fd;
}

// sends the rest of a started POST and reads its answer
Reply finishPost(int fd, const std::string &rest)
{
    Reply r;
    if (sendAll(fd, rest))
        r = parseAnswer(readAll(fd));
    close(fd);
    return r;
}

// the first "memo" text of a printed document
std::string memoOf(const std::string &printed)
{
    const std::string key = "\"memo\":\t\"";
    size_t at = printed.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return printed.substr(at, printed.find('"', at) - at);
}

} // namespace

// The stalled client sends three bytes of a million and waits; meanwhile
// another client logs in and applies.  Both are answered.
TEST_F(CgiServer, StalledPostHoldsNoOneUp)
{
    install(doc("\"loginPass\": \"" + kPassword + "\", \"log\": 1"));
    start();
    const std::string first = "{\"n";
    int stalled = startPost("/config", 1000000, first);
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(waitUntil([&] {
        return cfgtest::readFile(dir / "tovul_cgi.log").find("POST /config from 127.0.0.2") !=
               std::string::npos;
    }));

    Reply login = post("/login", "auth=" + kPassword);
    EXPECT_EQ(login.status, 301);
    EXPECT_EQ(login.header("set-cookie"), "auth=" + kPassword);
    std::string applied = doc("\"loginPass\": \"" + kPassword + "\", \"memo\": \"applied\"");
    Reply apply = post("/config", applied, kCookie);
    EXPECT_EQ(apply.status, 200);
    EXPECT_EQ(memoOf(apply.body), "applied");

    // the stalled client, not logged in, gets the login page once it is done
    std::string rest = "ame\": \"x\"}" + std::string(1000000 - first.size() - 10, ' ');
    Reply late = finishPost(stalled, rest);
    EXPECT_EQ(late.status, 200);
    EXPECT_EQ(late.header("content-type"), "text/html");
    EXPECT_EQ(memoOf(cfgtest::readFile(configFile())), "applied");
}

// Two operators apply at the same moment: each body is collected apart, and
// the one that completes last is the configuration.
TEST_F(CgiServer, TwoUploadsAtOnce)
{
    install(doc("\"loginPass\": \"" + kPassword + "\""));
    start();
    std::string a = doc("\"loginPass\": \"pw\", \"memo\": \"" + std::string(30000, 'a') + "\"");
    std::string b = doc("\"loginPass\": \"pw\", \"memo\": \"" + std::string(30000, 'b') + "\"");
    int fa = startPost("/config", a.size(), a.substr(0, a.size() / 2), kCookie);
    int fb = startPost("/config", b.size(), b.substr(0, b.size() / 3), kCookie);
    ASSERT_GE(fa, 0);
    ASSERT_GE(fb, 0);
    // both bodies are being collected
    EXPECT_TRUE(waitUntil([] { return serverReadEverything(); }));
    Reply ra = finishPost(fa, a.substr(a.size() / 2));
    Reply rb = finishPost(fb, b.substr(b.size() / 3));
    EXPECT_EQ(ra.status, 200);
    EXPECT_EQ(rb.status, 200);
    EXPECT_TRUE(memoOf(ra.body) == std::string(30000, 'a'));
    EXPECT_TRUE(memoOf(rb.body) == std::string(30000, 'b'));
    EXPECT_TRUE(memoOf(cfgtest::readFile(configFile())) == std::string(30000, 'b'));
}

// Stalled POSTs that hold full bodies use up the room of all buffers: the
// next POST is answered 503, not dropped, GETs go on, and the room comes
// back when their connections end.
TEST_F(CgiServer, PostsPastTheBoundAreAnswered503)
{
    install(doc(""));
    start();
    const size_t full = TOVU_CGI_POST_SIZE - 1;
    const std::string body = doc("", ", \"memo\": \"held\"");
    const std::string held = body + std::string(full - body.size() - 1, ' ');
    std::vector<int> fds;
    // from several addresses: each one may hold only a few connections
    std::vector<std::string> sources;
    for (int i = 0; i <= TOVU_CGI_POST_TOTAL / TOVU_CGI_POST_SIZE; ++i) {
        if (i % (TOVU_CGI_CONNECTIONS_PER_ADDRESS - 1) == 0)
            sources.push_back("127.0.1." + std::to_string(sources.size() + 1));
        int fd = startPost("/config", full, held, "", sources.back().c_str());
        ASSERT_GE(fd, 0) << i;
        fds.push_back(fd);
    }
    const std::string other = doc("", ", \"memo\": \"" + std::string(2000, 'o') + "\"");
    Reply busy;
    ASSERT_TRUE(waitUntil([&] { return (busy = post("/config", other)).status == 503; }))
        << busy.status;
    EXPECT_EQ(busy.header("content-type"), "text/plain");
    EXPECT_FALSE(busy.body.empty());
    EXPECT_EQ(get("/").status, 200);

    // one of them completes and is answered; the others' clients go away
    Reply done = finishPost(fds[0], " ");
    EXPECT_TRUE(done.status == 200 || done.status == 503) << done.status;
    for (size_t i = 1; i < fds.size(); ++i)
        close(fds[i]);
    Reply r;
    ASSERT_TRUE(waitUntil([&] { return (r = post("/config", other)).status == 200; })) << r.status;
    EXPECT_TRUE(memoOf(r.body) == std::string(2000, 'o'));
}

// Text a client sends never makes a line of the request log: line breaks,
// other control bytes, bytes outside ASCII and the backslash are written as
// \xNN.
TEST_F(CgiServer, ForgedLogLinesAreEscaped)
{
    const std::string log = dir / "tovul_cgi.log";
    install(doc("\"log\": 1"));
    start();
    struct Case {
        const char *path;
        const char *logged;
    } cases[] = {
        {"/x%0a[2026/01/01%2000:00:00]%20POST%20/config%20from%2010.1.2.3:4444",
         "/x\\x0a[2026/01/01 00:00:00] POST /config from 10.1.2.3:4444"},
        {"/a%0d%0a%1b[2J%7f", "/a\\x0d\\x0a\\x1b[2J\\x7f"},
        {"/back%5cslash%5cx0a", "/back\\x5cslash\\x5cx0a"},
        {"/nel%c2%85", "/nel\\xc2\\x85"},
    };
    const std::regex line(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] GET (.*) from 127\.0\.0\.1:\d+)");
    for (const Case &c : cases) {
        unlink(log.c_str());
        get(c.path);
        std::vector<std::string> got = lines(cfgtest::readFile(log));
        // the same two lines as any GET, each well formed
        ASSERT_EQ(got.size(), 2u) << c.path << "\n" << cfgtest::readFile(log);
        for (const std::string &l : got) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(l, m, line)) << l;
            EXPECT_EQ(m[1].str(), c.logged) << l;
        }
    }
}

// A document nested deeper than 32 levels is refused with 400, and the
// document and its file stay as they were; 32 levels are taken.
TEST_F(CgiServer, DeeplyNestedUploadsAreRefused)
{
    install(doc(""));
    start();
    ASSERT_EQ(post("/config", doc("\"memo\": \"kept\"")).status, 200);
    const std::string saved = cfgtest::readFile(configFile());
    auto nested = [](int depth) {
        // the object at the top is depth 1
        return "{\"name\": \"t\", \"x\": " + std::string(depth - 1, '[') +
               std::string(depth - 1, ']') + "}";
    };
    auto multipart = [](const std::string &file) {
        return "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"t.json\"\r\n\r\n" +
               file + "\r\n--B--\r\n";
    };
    const std::string form = "Content-Type: multipart/form-data; boundary=B\r\n";

    struct Case {
        const char *what;
        std::string target, body, headers;
    } refused[] = {
        {"990 levels", "/config", nested(990), ""},
        {"33 levels", "/config", nested(33), ""},
        {"behind a byte-order mark and a form feed", "/config", "\xEF\xBB\xBF\f" + nested(40), ""},
        {"an array at the top", "/config", std::string(33, '[') + std::string(33, ']'), ""},
        {"a file import", "/config?import", multipart(nested(500)), form},
    };
    for (const Case &c : refused) {
        Reply r = post(c.target, c.body, c.headers);
        EXPECT_EQ(r.status, 400) << c.what;
        EXPECT_EQ(r.body, "the change was not applied: the configuration nests more than 32 "
                          "levels deep") << c.what;
        EXPECT_TRUE(cfgtest::readFile(configFile()) == saved) << c.what;
        TovuConfigLock lock;
        EXPECT_EQ(jsonGetText(jsonGetItem(cfgtest::global(), "memo")), std::string("kept")) << c.what;
    }

    // brackets inside texts are no nesting; 32 levels are a document
    std::string inText = "{\"name\": \"[[[[\\\"[[[[" + std::string(100, '[') + "\", \"channels\": []}";
    EXPECT_EQ(post("/config", inText).status, 200);
    EXPECT_EQ(post("/config", nested(32)).status, 200);
    EXPECT_TRUE(cfgtest::readFile(configFile()) != saved);
}

// A request line with more query arguments than the library can hold is
// answered 414 at once instead of going silent; ordinary ones are served.
TEST_F(CgiServer, ManyQueryArgumentsAreAnswered)
{
    install(doc(""));
    start();
    auto query = [](int n, size_t valueLen) {
        std::string q = "/runtime?";
        for (int i = 0; i < n; ++i)
            q += (i ? "&a" : "a") + std::to_string(i) + "=" + std::string(valueLen, 'v');
        return q;
    };
    struct Case {
        const char *what;
        std::string target;
        int status;
    } cases[] = {
        {"600 arguments", query(600, 0), 414},
        {"201 arguments", query(201, 0), 414},
        {"5000 arguments", query(5000, 0), 414},
        {"20000 arguments", query(20000, 1), 414},
        {"100 long arguments", query(100, 150), 414},
        {"200 arguments", query(200, 0), 200},
        {"one value of 7000 characters", query(1, 7000), 200},
    };
    for (const Case &c : cases) {
        auto begin = std::chrono::steady_clock::now();
        Reply r = get(c.target);
        auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_LT(took, std::chrono::seconds(10)) << c.what;
    }
    // a POST too, before its body; the connection serves again afterwards
    std::string body = doc("");
    EXPECT_EQ(request("POST", query(600, 0), "", &body).status, 414);
    EXPECT_EQ(get("/runtime?a=1").status, 200);

    // a NUL byte in the path hides the arguments from the count: such a
    // request is at least closed at once, never left open and silent
    auto begin = std::chrono::steady_clock::now();
    Reply r = raw("GET /x" + std::string(1, '\0') + "y" + query(600, 0) +
                  " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_TRUE(r.status == -1 || (r.status >= 400 && r.status < 500)) << r.status;
    EXPECT_EQ(get("/runtime?a=1").status, 200);
}
