// The bounds that keep one client from shutting the others out, against the
// real server: silent connections and connections per address, the upload
// buffers that clients not logged in cannot hold, and the request log's size.
#include "fixtures/cgi_test_util.h"

#include <sys/resource.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <vector>

using namespace cgitest;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPassword = "pw";
const std::string kCookie = "Cookie: auth=" + kPassword + "\r\n";

std::string doc(const std::string &global)
{
    return "{\"name\": \"t\", \"global\": {" + global + "}, \"channels\": []}";
}

std::string memo()
{
    TovuConfigLock lock;
    return jsonGetText(jsonGetItem(cfgtest::global(), "memo"));
}

int countOpen(const std::vector<int> &fds)
{
    int n = 0;
    for (int fd : fds)
        n += stillOpen(fd) ? 1 : 0;
    return n;
}

// A page's status poll: "/status" once a second on one kept-alive connection.
struct StatusPoll {
    std::atomic<bool> stop{false};
    int answered = 0, failed = 0, connects = 0;

    void run(const char *src)
    {
        int fd = -1;
        while (!stop) {
            if (fd < 0) {
                fd = connectFrom(src, kPort);
                ++connects;
            }
            Reply r;
            std::string rest; // one request at a time: nothing follows an answer
            if (fd >= 0 && sendAll(fd, "GET /status HTTP/1.1\r\nHost: localhost\r\n\r\n"))
                r = tovuhttp::readAnswer(fd, &rest, 3000);
            if (r.status == 200) {
                ++answered;
            } else {
                ++failed;
                if (fd >= 0)
                    close(fd);
                fd = -1;
            }
            for (int i = 0; i < 20 && !stop; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (fd >= 0)
            close(fd);
    }
};

// a POST whose headers and first bytes are sent from src; the rest is up to the test
int startPost(const char *src, const std::string &target, size_t length, const std::string &first,
              const std::string &headers = "")
{
    int fd = connectFrom(src, kPort);
    if (fd < 0)
        return -1;
    std::string head = "POST " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" +
                       headers + "Content-Length: " + std::to_string(length) + "\r\n\r\n";
    if (!sendAll(fd, head + first)) {
        close(fd);
        return -1;
    }
    return fd;
}

// the n-th of many client addresses, each used for fewer connections than one may hold
std::string source(int i)
{
    int per = TOVU_CGI_CONNECTIONS_PER_ADDRESS - 2;
    return "127.0.2." + std::to_string(1 + i / per);
}

} // namespace

// One address opens 1,100 connections and sends nothing.  It keeps no more
// than its share of them, and another address is answered at once; once the
// header time has passed its connections are closed and it is served again.
// Meanwhile a page polling once a second keeps its one connection, and an
// upload of 99,999 bytes that pauses for less than the idle time between its
// pieces, but takes longer than it in all, is taken.  The server's time-outs
// are shortened for the test (idle 4 s, headers 2 s).
TEST_F(CgiServer, IdleConnectionsShutNoOneOut)
{
    const int kIdleSec = 4, kHeaderMs = 2000;
    struct Timeouts {
        Timeouts() { _tovuCGISetTimeouts(kIdleSec, kHeaderMs); }
        ~Timeouts() { _tovuCGISetTimeouts(0, 0); }
    } timeouts;
    const int kFlood = 1100;
    ASSERT_TRUE(roomForDescriptors(kFlood + 256));
    install(doc(""));
    start();

    StatusPoll page;
    std::thread poller([&] { page.run("127.0.0.3"); });

    const std::string body = doc("\"memo\": \"slow\"");
    const std::string upload = body + std::string(TOVU_CGI_POST_SIZE - 1 - body.size(), ' ');
    const int kPieces = 5;
    const auto kPause = std::chrono::milliseconds(kIdleSec * 1000 * 3 / 10);
    Reply slow;
    Clock::duration slowTook{};
    std::thread uploader([&] {
        auto begin = Clock::now();
        size_t piece = upload.size() / kPieces + 1;
        int fd = startPost("127.0.0.4", "/config", upload.size(), upload.substr(0, piece));
        if (fd < 0)
            return;
        bool sent = true;
        for (size_t at = piece; at < upload.size() && sent; at += piece) {
            std::this_thread::sleep_for(kPause);
            sent = sendAll(fd, upload.substr(at, piece));
        }
        if (sent)
            slow = parseAnswer(readAll(fd, 10000));
        close(fd);
        slowTook = Clock::now() - begin;
    });

    auto floodBegin = Clock::now();
    std::vector<int> flood;
    for (int i = 0; i < kFlood; ++i) {
        int fd = connectFrom("127.0.0.2", kPort);
        ASSERT_GE(fd, 0) << i;
        flood.push_back(fd);
    }
    auto floodEnd = Clock::now();
    // the server closes whatever is past the address's share
    EXPECT_TRUE(waitUntil([&] { return countOpen(flood) <= TOVU_CGI_CONNECTIONS_PER_ADDRESS; },
                          kHeaderMs / 2))
        << countOpen(flood);
    EXPECT_GT(countOpen(flood), 0);

    auto asked = Clock::now();
    Reply other = get("/status", "", "127.0.0.1");
    EXPECT_EQ(other.status, 200);
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1));

    // the silent ones go once the header time has passed, not before, and
    // well before the idle time
    const auto header = std::chrono::milliseconds(kHeaderMs);
    EXPECT_TRUE(waitUntil([&] { return countOpen(flood) == 0; }, kHeaderMs + 3000));
    auto closed = Clock::now();
    EXPECT_GT(closed - floodBegin, header - std::chrono::milliseconds(200));
    EXPECT_LT(closed - floodEnd, std::chrono::seconds(kIdleSec) - std::chrono::milliseconds(500));
    EXPECT_EQ(get("/status", "", "127.0.0.2").status, 200);
    for (int fd : flood)
        close(fd);

    uploader.join();
    page.stop = true;
    poller.join();
    EXPECT_EQ(slow.status, 200);
    EXPECT_GT(slowTook, std::chrono::seconds(kIdleSec));
    EXPECT_EQ(memo(), "slow");
    EXPECT_EQ(page.failed, 0);
    EXPECT_EQ(page.connects, 1);
    EXPECT_GE(page.answered, kIdleSec);
}

// With a password set, clients without the cookie hold no upload buffer:
// 200 stalled POSTs of "/config" and 64 of another path, each announcing a
// gigabyte and sending 65,537 bytes, leave the operator's upload and the
// login form served.  Such a POST gets the login page once its body is in,
// and nothing of the body is applied.
TEST_F(CgiServer, ClientsNotLoggedInHoldNoUploadBuffers)
{
    ASSERT_TRUE(roomForDescriptors(1024));
    install(doc("\"loginPass\": \"" + kPassword + "\", \"memo\": \"before\""));
    start();
    const std::string piece(65537, ' ');
    std::vector<int> stalled;
    for (int i = 0; i < 264; ++i) {
        int fd = startPost(source(i).c_str(), i < 200 ? "/config" : "/x", 1000000000, piece);
        ASSERT_GE(fd, 0) << i;
        stalled.push_back(fd);
    }
    // the server has read what they sent
    EXPECT_TRUE(waitUntil([] { return serverReadEverything(); }));

    Reply login = post("/login", "auth=" + kPassword);
    EXPECT_EQ(login.status, 301);
    EXPECT_EQ(login.header("set-cookie"), "auth=" + kPassword);
    std::string applied = doc("\"loginPass\": \"" + kPassword + "\", \"memo\": \"operator\"");
    EXPECT_EQ(post("/config", applied, kCookie).status, 200);
    EXPECT_EQ(memo(), "operator");

    // one that completes its body gets the login page; its document is not taken
    std::string forged = doc("\"memo\": \"forged\"");
    int fd = startPost("127.0.0.5", "/config", forged.size(), forged.substr(0, 10));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(waitUntil([] { return serverReadEverything(); }));
    ASSERT_TRUE(sendAll(fd, forged.substr(10)));
    Reply late = parseAnswer(readAll(fd));
    close(fd);
    EXPECT_EQ(late.status, 200);
    EXPECT_EQ(late.header("content-type"), "text/html");
    EXPECT_NE(late.body.find("Login Authentication"), std::string::npos);
    EXPECT_EQ(memo(), "operator");
    for (int s : stalled)
        close(s);
}

// The login form of a client not logged in has room of its own: it is
// answered while logged-in uploads hold all the room there is, and a long
// form body keeps its first field.
TEST_F(CgiServer, LoginFormIsNeverRefusedForRoom)
{
    install(doc("\"loginPass\": \"" + kPassword + "\""));
    start();
    const size_t full = TOVU_CGI_POST_SIZE - 1;
    const std::string held(full - 1, ' ');
    std::vector<int> fds;
    for (int i = 0; i <= TOVU_CGI_POST_TOTAL / TOVU_CGI_POST_SIZE; ++i) {
        int fd = startPost(source(i).c_str(), "/config", full, held, kCookie);
        ASSERT_GE(fd, 0) << i;
        fds.push_back(fd);
    }
    const std::string upload = doc("\"loginPass\": \"" + kPassword + "\"");
    Reply busy;
    ASSERT_TRUE(waitUntil([&] { return (busy = post("/config", upload, kCookie)).status == 503; }))
        << busy.status;

    struct Case {
        const char *what;
        std::string body;
    } cases[] = {
        {"a form", "auth=" + kPassword},
        {"a form longer than its room", "auth=" + kPassword + "&x=" + std::string(300000, 'x')},
    };
    for (const Case &c : cases) {
        Reply r = post("/login", c.body);
        EXPECT_EQ(r.status, 301) << c.what;
        EXPECT_EQ(r.header("set-cookie"), "auth=" + kPassword) << c.what;
    }
    for (int fd : fds)
        close(fd);
}

/* ---------------------------------------------------------------- the request log */

namespace {

std::string logFile(const cfgtest::TempDir &dir, int archive = 0)
{
    return dir / (archive ? "tovul_cgi-" + std::to_string(archive) + ".log" : "tovul_cgi.log");
}

off_t sizeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// a file of n bytes, all of them the same letter
void fill(const std::string &path, size_t n, char c)
{
    cfgtest::writeFile(path, std::string(n, c));
}

} // namespace

// A logged path longer than the bound is cut there and marked; one that fits
// is logged whole.
TEST_F(CgiServer, LoggedPathsAreCut)
{
    install(doc("\"log\": 1"));
    start();
    const size_t max = TOVU_CGI_LOG_PATH_MAX;
    std::string escapes;   // each "%01" is logged as four characters
    for (size_t i = 0; i < max / 4; ++i)
        escapes += "%01";
    std::string logged;
    for (size_t i = 0; i < max / 4; ++i)
        logged += "\\x01";
    std::string flood;
    for (int i = 0; i < 9000; ++i)
        flood += "%7f";
    struct Case {
        const char *what;
        std::string path, logged;
    } cases[] = {
        {"letters up to the bound", "/" + std::string(max - 1, 'a'), "/" + std::string(max - 1, 'a')},
        {"letters past it", "/" + std::string(max + 500, 'a'),
         "/" + std::string(max - 1, 'a') + TOVU_CGI_LOG_CUT},
        {"escapes up to the bound", escapes, logged},
        {"an escape that would pass it", escapes + "%02", logged + TOVU_CGI_LOG_CUT},
        {"9,000 escaped bytes", escapes + flood, logged + TOVU_CGI_LOG_CUT},
    };
    const std::regex line(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] GET (.*) from 127\.0\.0\.1:\d+)");
    for (const Case &c : cases) {
        unlink(logFile(dir).c_str());
        get(c.path);
        std::vector<std::string> got = lines(cfgtest::readFile(logFile(dir)));
        ASSERT_EQ(got.size(), 2u) << c.what;
        for (const std::string &l : got) {
            ASSERT_LT(l.size(), max + 100) << c.what;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(l, m, line)) << c.what;
            EXPECT_TRUE(m[1].str() == c.logged) << c.what << ": " << m[1].str().size() << " characters";
        }
    }
}

// Past its bound the log becomes the newest archive; with all archives in
// place the oldest goes and the others move down.  A flood of long paths
// from kept-alive connections writes short lines.
TEST_F(CgiServer, RequestLogIsRotated)
{
    install(doc("\"log\": 1"));
    start();
    const size_t bound = TOVU_CGI_LOG_ROTATE_SIZE;

    // below the bound it stays; past it, it is archive 1
    fill(logFile(dir), bound - 500, 'a');
    get("/one");
    EXPECT_EQ(sizeOf(logFile(dir, 1)), -1);
    fill(logFile(dir), bound + 1, 'a');
    get("/two");
    EXPECT_EQ(lines(cfgtest::readFile(logFile(dir))).size(), 2u);
    EXPECT_EQ(sizeOf(logFile(dir, 1)), static_cast<off_t>(bound + 1));

    // all archives there: the oldest goes, the full log is the newest
    for (int k = 1; k <= TOVU_CGI_LOG_ARCHIVES; ++k)
        fill(logFile(dir, k), 10, static_cast<char>('0' + k));
    fill(logFile(dir), bound + 1, 'z');
    get("/three");
    for (int k = 1; k < TOVU_CGI_LOG_ARCHIVES; ++k)
        EXPECT_EQ(cfgtest::readFile(logFile(dir, k)), std::string(10, static_cast<char>('0' + k + 1)))
            << k;
    EXPECT_EQ(sizeOf(logFile(dir, TOVU_CGI_LOG_ARCHIVES)), static_cast<off_t>(bound + 1));
    EXPECT_EQ(sizeOf(logFile(dir, TOVU_CGI_LOG_ARCHIVES + 1)), -1);
    EXPECT_EQ(lines(cfgtest::readFile(logFile(dir))).size(), 2u);

    // four kept-alive connections pipeline GETs of 9,000 escaped bytes
    unlink(logFile(dir).c_str());
    std::string path = "/";
    for (int i = 0; i < 9000; ++i)
        path += "%0a";
    std::string burst;
    for (int i = 0; i < 50; ++i)
        burst += "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&] {
            int fd = connectFrom("127.0.0.1", kPort);
            if (fd < 0)
                return;
            sendAll(fd, burst + "GET /end HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
            readAll(fd, 20000);
            close(fd);
        });
    for (std::thread &t : clients)
        t.join();
    std::vector<std::string> got = lines(cfgtest::readFile(logFile(dir)));
    EXPECT_EQ(got.size(), 4u * 2 * 51);
    for (const std::string &l : got)
        ASSERT_LT(l.size(), TOVU_CGI_LOG_PATH_MAX + 100) << l.substr(0, 200);
}
