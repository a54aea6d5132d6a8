// Slow clients against the real server: headers that trickle in are cut off
// at the header time however slowly they come, the table is sized from the
// descriptor limit, crowds of tricklers from many addresses leave the
// operator served, and an office of browsers behind one address is served
// whole.
#include "fixtures/cgi_test_util.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

using namespace cgitest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// the server's time-outs for one test, the service's own again after it
struct Timeouts {
    Timeouts(unsigned idleSec, unsigned headerMs) { _tovuCGISetTimeouts(idleSec, headerMs); }
    ~Timeouts() { _tovuCGISetTimeouts(0, 0); }
};

std::string doc(const std::string &global = "")
{
    return "{\"name\": \"t\", \"global\": {" + global + "}, \"channels\": []}";
}

// waits until the server closes fd (or the time runs out); the time it took
Clock::duration untilClosed(int fd, Clock::time_point since, int timeoutMs)
{
    auto end = Clock::now() + milliseconds(timeoutMs);
    while (Clock::now() < end && stillOpen(fd))
        std::this_thread::sleep_for(milliseconds(20));
    return Clock::now() - since;
}

const std::string kRequest = "GET /runtime HTTP/1.1\r\nHost: localhost\r\nX-Slow: " +
                             std::string(200, 'x') + "\r\n\r\n";

// sends kRequest into fd a byte every 100 ms until the server closes it (or
// the time runs out), then closes it; the time from since that it took
Clock::duration trickledUntilClosed(int fd, Clock::time_point since)
{
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (size_t i = 0; i < kRequest.size() && !stop; ++i) {
            if (!sendAll(fd, kRequest.substr(i, 1)))
                return;
            std::this_thread::sleep_for(milliseconds(100));
        }
    });
    Clock::duration took = untilClosed(fd, since, 5000);
    stop = true;
    sender.join();
    close(fd);
    return took;
}

// A browser as the server sees it: at most six kept-alive connections to
// the host, shared by all its tabs; a request takes an idle one, or opens
// one while there are fewer than six, or waits for one.
class Browser {
public:
    explicit Browser(const char *src) : m_src(src) {}
    ~Browser()
    {
        for (Conn &c : m_idle)
            close(c.fd);
    }

    // one GET; its status, -1 when it was not answered
    int get(const std::string &path)
    {
        Conn c = take();
        if (c.fd < 0)
            c.fd = connectFrom(m_src, kPort);
        bool closed = true;
        Reply r;
        auto ask = [&] {
            if (c.fd >= 0 && sendAll(c.fd, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n"))
                r = tovuhttp::readAnswer(c.fd, &c.buf, 5000, &closed);
        };
        ask();
        // a kept-alive connection the server closed meanwhile is opened again
        // once, as a browser does
        if (r.status < 0 && c.reused) {
            close(c.fd);
            c = Conn();
            c.fd = connectFrom(m_src, kPort);
            ask();
        }
        give(c, r.status < 0 || closed);
        return r.status;
    }

private:
    struct Conn {
        int fd = -1;
        std::string buf;
        bool reused = false;
    };
    static const int kMax = 6;

    Conn take()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_free.wait(lock, [&] { return !m_idle.empty() || m_open < kMax; });
        if (!m_idle.empty()) {
            Conn c = std::move(m_idle.back());
            m_idle.pop_back();
            c.reused = true;
            return c;
        }
        ++m_open;
        return Conn();
    }
    void give(Conn &c, bool drop)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (drop) {
            if (c.fd >= 0)
                close(c.fd);
            --m_open;
        } else {
            m_idle.push_back(std::move(c));
        }
        m_free.notify_one();
    }

    const char *m_src;
    std::mutex m_mutex;
    std::condition_variable m_free;
    std::vector<Conn> m_idle;
    int m_open = 0;
};

// one tab's page: "/" and then every embedded file, three at a time; the
// number of requests not answered 200
int loadPage(Browser &browser)
{
    std::vector<std::string> paths;
    for (int i = 0; i < TOVU_CGI_FILES; ++i)
        paths.push_back(std::string("/") + g_cgiFiles[i].szFile);
    int failed = browser.get("/") == 200 ? 0 : 1;
    std::atomic<size_t> next{0};
    std::atomic<int> bad{0};
    std::vector<std::thread> fetchers;
    for (int f = 0; f < 3; ++f)
        fetchers.emplace_back([&] {
            for (size_t i; (i = next++) < paths.size();)
                if (browser.get(paths[i]) != 200)
                    ++bad;
        });
    for (std::thread &t : fetchers)
        t.join();
    return failed + bad;
}

} // namespace

// A client that sends its request's headers a byte at a time is closed at
// the header time after it opened, though it never goes idle; and again at
// the header time after the answer to its previous request.  A client that
// sends its headers at once is answered, on the same connection too.
TEST_F(CgiServer, TricklingHeadersAreCutOff)
{
    const int kHeaderMs = 1000;
    Timeouts timeouts(30, kHeaderMs);
    install(doc());
    start();

    // from its opening
    {
        int fd = connectFrom("127.0.0.2", kPort);
        ASSERT_GE(fd, 0);
        Clock::duration took = trickledUntilClosed(fd, Clock::now());
        EXPECT_GE(took, milliseconds(kHeaderMs - 100));
        EXPECT_LT(took, milliseconds(kHeaderMs + 1000));
    }

    // from the answer to its previous request
    {
        int fd = connectFrom("127.0.0.2", kPort);
        ASSERT_GE(fd, 0);
        std::string buf;
        ASSERT_TRUE(sendAll(fd, kRequest));
        ASSERT_EQ(tovuhttp::readAnswer(fd, &buf, 3000).status, 200);
        // a second request in good time is answered on the same connection
        std::this_thread::sleep_for(milliseconds(kHeaderMs / 2));
        ASSERT_TRUE(sendAll(fd, kRequest));
        ASSERT_EQ(tovuhttp::readAnswer(fd, &buf, 3000).status, 200);
        Clock::duration took = trickledUntilClosed(fd, Clock::now());
        EXPECT_GE(took, milliseconds(kHeaderMs - 100));
        EXPECT_LT(took, milliseconds(kHeaderMs + 1000));
    }

    // a request whose headers are in is not cut off while its body comes
    // slowly, for longer than the header time in all
    const std::string body = doc("\"memo\": \"slow body\"");
    int fd = connectFrom("127.0.0.3", kPort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, "POST /config HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n"));
    for (size_t at = 0; at < body.size(); at += body.size() / 4 + 1) {
        std::this_thread::sleep_for(milliseconds(kHeaderMs / 2));
        ASSERT_TRUE(sendAll(fd, body.substr(at, body.size() / 4 + 1)));
    }
    EXPECT_EQ(parseAnswer(readAll(fd, 5000)).status, 200);
    close(fd);
}

// The connection table is sized from the descriptor limit, which the start
// raises when it is low; one address's share is an office's, never more than
// the table.
TEST_F(CgiServer, TableSizedFromTheDescriptorLimit)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // the hard limit stays: raising it back may not be allowed even to root
    const rlim_t hard = saved.rlim_max;
    ASSERT_GE(hard, static_cast<rlim_t>(TOVU_CGI_DESCRIPTORS_WANTED)) << "a hard limit too low to test";
    struct Case {
        rlim_t soft;
        rlim_t softAfter;
        unsigned table;
    } cases[] = {
        {1024, TOVU_CGI_DESCRIPTORS_WANTED, TOVU_CGI_CONNECTIONS_MAX},
        {TOVU_CGI_DESCRIPTORS_WANTED - 1, TOVU_CGI_DESCRIPTORS_WANTED, TOVU_CGI_CONNECTIONS_MAX},
        {hard, hard, TOVU_CGI_CONNECTIONS_MAX},
    };
    for (const Case &c : cases) {
        rlimit r{c.soft, hard};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &r), 0);
        TovuCgiBounds b = tovuCGIBounds();
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &r), 0);
        EXPECT_EQ(r.rlim_cur, c.softAfter) << c.soft;
        EXPECT_EQ(r.rlim_max, hard) << c.soft;
        EXPECT_EQ(b.connections, c.table) << c.soft;
        EXPECT_EQ(b.perAddress, static_cast<unsigned>(TOVU_CGI_CONNECTIONS_PER_ADDRESS));
        EXPECT_EQ(b.idleSec, static_cast<unsigned>(TOVU_CGI_IDLE_TIMEOUT_SEC));
        EXPECT_EQ(b.headerMs, TOVU_CGI_HEADER_TIMEOUT_SEC * 1000u);
    }
    // A hard limit of 600 that the process may not raise: the soft limit
    // goes up to it, and the table leaves the rest of the process its
    // descriptors.  In a child that is no longer root.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rlimit r{500, 600};
        if (setrlimit(RLIMIT_NOFILE, &r) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        TovuCgiBounds b = tovuCGIBounds();
        getrlimit(RLIMIT_NOFILE, &r);
        bool ok = r.rlim_cur == 600 && r.rlim_max == 600 &&
                  b.connections == 600 - TOVU_CGI_DESCRIPTORS_KEPT &&
                  b.perAddress == TOVU_CGI_CONNECTIONS_PER_ADDRESS;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    // the testing hook's time-outs, until it gives the service's back
    {
        Timeouts timeouts(3, 700);
        TovuCgiBounds b = tovuCGIBounds();
        EXPECT_EQ(b.idleSec, 3u);
        EXPECT_EQ(b.headerMs, 700u);
    }
    EXPECT_EQ(tovuCGIBounds().headerMs, TOVU_CGI_HEADER_TIMEOUT_SEC * 1000u);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

// An office behind one address: four browsers of four tabs each.  Every tab
// loads the page and its files, polls "/status" once a second, and loads
// the page again, through its browser's six kept-alive connections.  Every
// request is answered.
TEST_F(CgiServer, OfficeBehindOneAddressIsServedWhole)
{
    ASSERT_TRUE(roomForDescriptors(4096));
    install(doc());
    start();
    const int kBrowsers = 4, kTabs = 4, kPolls = 4;
    std::atomic<int> failed{0}, polled{0};
    std::vector<std::unique_ptr<Browser>> browsers;
    for (int b = 0; b < kBrowsers; ++b)
        browsers.push_back(std::make_unique<Browser>("127.0.0.5"));
    std::vector<std::thread> tabs;
    for (int b = 0; b < kBrowsers; ++b)
        for (int t = 0; t < kTabs; ++t)
            tabs.emplace_back([&, b] {
                Browser &browser = *browsers[b];
                failed += loadPage(browser);
                for (int i = 0; i < kPolls; ++i) {
                    if (browser.get("/status") == 200)
                        ++polled;
                    else
                        ++failed;
                    std::this_thread::sleep_for(milliseconds(1000));
                }
                failed += loadPage(browser);
            });
    for (std::thread &t : tabs)
        t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(polled.load(), kBrowsers * kTabs * kPolls);
}

namespace {

// Clients that each open connections from their own address and send one
// byte of a request's headers every few seconds, opening again whatever the
// server closes; each thread drives the connections of a few addresses.
class Tricklers {
public:
    Tricklers(int addresses, int perAddress, milliseconds every)
        : m_every(every)
    {
        for (int a = 0; a < addresses; ++a)
            for (int i = 0; i < perAddress; ++i)
                m_conns.push_back({"127.0.3." + std::to_string(a + 1), -1, 0, Clock::now()});
        const size_t kThreads = 4;
        for (size_t t = 0; t < kThreads; ++t)
            m_threads.emplace_back([this, t, kThreads] { run(t, kThreads); });
    }
    ~Tricklers()
    {
        m_stop = true;
        for (std::thread &t : m_threads)
            t.join();
        for (Conn &c : m_conns)
            if (c.fd >= 0)
                close(c.fd);
    }
    int open() const { return m_open; }
    int reopened() const { return m_reopened; }

private:
    struct Conn {
        std::string src;
        int fd;
        size_t sent;
        Clock::time_point next;
    };

    void run(size_t first, size_t step)
    {
        while (!m_stop) {
            auto now = Clock::now();
            for (size_t i = first; i < m_conns.size() && !m_stop; i += step) {
                Conn &c = m_conns[i];
                if (c.fd >= 0 && !stillOpen(c.fd)) {
                    close(c.fd);
                    c.fd = -1;
                    --m_open;
                    ++m_reopened;
                }
                if (c.fd < 0) {
                    c.fd = connectFrom(c.src.c_str(), kPort);
                    c.sent = 0;
                    // spread over the interval, as independent clients would be
                    c.next = now + milliseconds(static_cast<int>(i * 37 % m_every.count()));
                    if (c.fd >= 0)
                        ++m_open;
                    continue;
                }
                if (now >= c.next && c.sent < kRequest.size()) {
                    sendAll(c.fd, kRequest.substr(c.sent++, 1));
                    c.next = now + m_every;
                }
            }
            std::this_thread::sleep_for(milliseconds(50));
        }
    }

    milliseconds m_every;
    std::vector<Conn> m_conns;
    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_open{0}, m_reopened{0};
};

class CgiServerE2E : public CgiServer {};

} // namespace

// 64 addresses of 16 connections each send one header byte every 9 s (about
// 110 bytes a second in all) and open again what the server closes, with
// the service's own time-outs.  For 20 s the operator's "/status" from
// another address is answered within 2 s every time.
TEST_F(CgiServerE2E, TricklersFromManyAddressesShutNoOneOut)
{
    ASSERT_TRUE(roomForDescriptors(8192));
    install(doc());
    start();
    const auto kRun = std::chrono::seconds(20);
    Tricklers crowd(64, 16, milliseconds(9000));
    ASSERT_TRUE(waitUntil([&] { return crowd.open() >= 64 * 16 - 16; }, 10000)) << crowd.open();

    int asked = 0, late = 0;
    Clock::duration slowest{};
    auto end = Clock::now() + kRun;
    while (Clock::now() < end) {
        auto begin = Clock::now();
        HttpAnswer r;
        int fd = connectFrom("127.0.0.1", kPort);
        std::string buf;
        if (fd >= 0 && sendAll(fd, "GET /status HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"))
            r = tovuhttp::readAnswer(fd, &buf, 2000);
        if (fd >= 0)
            close(fd);
        Clock::duration took = Clock::now() - begin;
        slowest = std::max(slowest, took);
        ++asked;
        if (r.status != 200 || took > std::chrono::seconds(2))
            ++late;
        std::this_thread::sleep_for(milliseconds(250));
    }
    EXPECT_EQ(late, 0) << "of " << asked;
    EXPECT_LT(slowest, std::chrono::seconds(2));
    // the server closed every trickler at least once, at the header time
    EXPECT_GE(crowd.reopened(), 64 * 16);
    RecordProperty("status_asked", asked);
    RecordProperty("slowest_status_ms",
                   static_cast<int>(std::chrono::duration_cast<milliseconds>(slowest).count()));
    RecordProperty("tricklers_closed", crowd.reopened());
}
