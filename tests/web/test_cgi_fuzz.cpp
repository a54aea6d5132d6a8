// A bounded run of random requests against the running server: methods,
// paths, queries, cookies, headers and bodies, oversized ones among them,
// and malformed request lines.  Nothing may crash, and the server must still
// answer a plain GET afterwards.
#include "fixtures/cgi_test_util.h"

#include <random>

using namespace cgitest;

namespace {

const int kRequests = 3000;

class Gen {
public:
    explicit Gen(uint32_t seed) : rng_(seed) {}

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return static_cast<int>(below(100)) < percent; }

    // bytes from an alphabet that favours the characters the parsers look at
    std::string text(size_t maxLen, bool anyByte = false)
    {
        static const char kSpecial[] = "%+&;= /:?#\"\\\t\r\n.-_~aA0";
        size_t len = below(maxLen + 1);
        std::string s;
        for (size_t i = 0; i < len; ++i) {
            if (anyByte && chance(10))
                s += static_cast<char>(below(256));
            else if (chance(40))
                s += kSpecial[below(sizeof kSpecial - 1)];
            else
                s += static_cast<char>('a' + below(26));
        }
        return s;
    }

    // header-safe text: no line breaks
    std::string token(size_t maxLen)
    {
        std::string s = text(maxLen);
        for (char &c : s)
            if (c == '\r' || c == '\n')
                c = 'x';
        return s;
    }

    std::string pick(std::initializer_list<const char *> list)
    {
        size_t i = below(list.size());
        return *(list.begin() + i);
    }

    std::string path()
    {
        std::string p = pick({"/", "/status", "/STATUS", "/config", "/runtime", "/channel", "/channel1",
                              "/channel0", "/channel99", "/login", "/LOGIN/x", "/logix", "/index.html",
                              "/main.js", "/tovuoem.png", "/decklink_config", "/ndi_config", "/live",
                              "/%00", "//", ""});
        if (chance(30))
            p += token(40);
        if (chance(3))
            p += std::string(5000 + below(20000), 'p');
        for (char &c : p)
            if (c == ' ' || c == '?' || c == '#')
                c = '_';
        return p.empty() || p[0] != '/' ? "/" + p : p;
    }

    std::string query()
    {
        if (chance(40))
            return "";
        std::string q = "?";
        size_t items = below(6);
        for (size_t i = 0; i < items; ++i) {
            q += (i ? "&" : "") + pick({"start", "stop", "preview", "import", "dl", "x", "START"});
            if (chance(60))
                q += "=" + token(20);
        }
        if (chance(5))
            q += "&big=" + std::string(3000, 'q');
        for (char &c : q)
            if (c == ' ' || c == '#')
                c = '+';
        return q;
    }

    std::string headers()
    {
        std::string h;
        if (chance(50)) {
            std::string c = chance(30) ? "auth=pw" : "auth=" + token(30);
            if (chance(30))
                c += "; other=" + token(30) + "; auth=" + token(10);
            if (chance(5))
                c += "; long=" + std::string(4000 + below(4000), 'c');
            h += "Cookie: " + c + "\r\n";
        }
        if (chance(30))
            h += "Content-Type: " +
                 pick({"multipart/form-data; boundary=b", "MULTIPART/FORM-DATA", "application/json",
                       "application/x-www-form-urlencoded", "text/plain"}) + "\r\n";
        if (chance(20))
            h += "X-" + pick({"A", "Long", "Odd"}) + ": " + token(chance(10) ? 6000 : 60) + "\r\n";
        return h;
    }

    std::string body()
    {
        switch (below(6)) {
        case 0: return "";
        case 1: return "auth=" + token(40);
        case 2: return "--b\r\nContent-Disposition: form-data\r\n\r\n" + text(200, true) + "\r\n--b--\r\n";
        case 3: return chance(10) ? std::string(100000 + below(60000), 'x') : text(2000, true);
        case 4: return "{\"global\": {\"loginPass\": \"pw\", \"log\": 0}, \"channels\": [" + text(50) + "]}";
        default: return text(300, true);
        }
    }

    std::string request()
    {
        if (chance(5))
            return text(300, true) + "\r\n\r\n";   // whatever comes in place of a request
        std::string method = pick({"GET", "POST", "POST", "get", "HEAD", "PUT", "DELETE", "BREW"});
        std::string req = method + " " + path() + query() + " HTTP/1." + (chance(10) ? "0" : "1") +
                          "\r\nHost: fuzz\r\nConnection: close\r\n" + headers();
        if (method == "POST" || method == "PUT" || chance(5)) {
            std::string b = body();
            if (chance(5))
                req += "Content-Length: " + std::to_string(b.size() + below(50)) + "\r\n";
            else if (chance(5))
                req += "Transfer-Encoding: chunked\r\n";
            else
                req += "Content-Length: " + std::to_string(b.size()) + "\r\n";
            req += "\r\n" + b;
        } else {
            req += "\r\n";
        }
        return req;
    }

private:
    std::mt19937 rng_;
};

// sends the bytes, ends the sending side so nothing waits for more, reads what comes
void fire(const std::string &bytes)
{
    int fd = connectFrom("127.0.0.1", kPort);
    if (fd < 0)
        return;
    sendAll(fd, bytes);
    shutdown(fd, SHUT_WR);
    readAll(fd, 3000);
    close(fd);
}

} // namespace

TEST_F(CgiServer, RandomRequestsNeitherCrashNorStopTheServer)
{
    install("{\"name\": \"fuzz\", \"global\": {\"loginPass\": \"pw\", \"log\": 1}, \"channels\": []}");
    start();
    Gen gen(20261210);
    for (int i = 0; i < kRequests; ++i) {
        fire(gen.request());
        if (i % 500 == 499) {
            ASSERT_EQ(get("/status", "Cookie: auth=pw\r\n").status, 200) << "after request " << i;
        }
    }
    Reply r = get("/", "Cookie: auth=pw\r\n");
    EXPECT_EQ(r.status, 200);
}
