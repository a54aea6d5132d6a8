// Shared bits of the web server tests: a raw HTTP client that can bind a
// chosen 127.x source address, send any bytes and stop half-way, and a
// fixture that runs the real server on a temporary configuration inside a
// private network namespace.
#ifndef TEST_CGI_UTIL_H
#define TEST_CGI_UTIL_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "fixtures/netns.h"
#include "test_config_util.h"
#include "tovu_cgi.h"

namespace cgitest {

const uint16_t kPort = 9527;

struct Reply {
    int status = -1;                         // -1: no answer (refused or closed)
    std::multimap<std::string, std::string> headers;   // names in lower case
    std::string body;
    std::string header(const std::string &name) const
    {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
    bool has(const std::string &name) const { return headers.count(name) > 0; }
};

// A connected socket from src (any port) to 127.0.0.1:port; -1 on failure.
inline int connectFrom(const char *src, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, src, &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    sockaddr_in d{};
    d.sin_family = AF_INET;
    d.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &d.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&d), sizeof d) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool sendAll(int fd, const std::string &data)
{
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes (requests ask for "Connection: close"), at most timeoutMs.
inline std::string readAll(int fd, int timeoutMs = 20000)
{
    std::string out;
    char buf[65536];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

inline Reply parseReply(const std::string &raw)
{
    Reply r;
    size_t headEnd = raw.find("\r\n\r\n");
    if (raw.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos)
        return r;
    r.status = atoi(raw.c_str() + raw.find(' ') + 1);
    size_t line = raw.find("\r\n") + 2;
    while (line < headEnd) {
        size_t eol = raw.find("\r\n", line);
        std::string h = raw.substr(line, eol - line);
        size_t colon = h.find(':');
        if (colon != std::string::npos) {
            std::string name = h.substr(0, colon);
            for (char &c : name)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            size_t v = h.find_first_not_of(' ', colon + 1);
            r.headers.emplace(name, v == std::string::npos ? "" : h.substr(v));
        }
        line = eol + 2;
    }
    r.body = raw.substr(headEnd + 4);
    return r;
}

// Sends raw request bytes and returns the parsed answer.
inline Reply raw(const std::string &request, const char *src = "127.0.0.1", uint16_t port = kPort)
{
    int fd = connectFrom(src, port);
    if (fd < 0)
        return Reply();
    Reply r;
    if (sendAll(fd, request))
        r = parseReply(readAll(fd));
    close(fd);
    return r;
}

inline Reply request(const std::string &method, const std::string &target,
                     const std::string &headers = "", const std::string *body = nullptr,
                     const char *src = "127.0.0.1", uint16_t port = kPort)
{
    std::string req = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + headers;
    if (body)
        req += "Content-Length: " + std::to_string(body->size()) + "\r\n";
    req += "\r\n";
    if (body)
        req += *body;
    return raw(req, src, port);
}

inline Reply get(const std::string &target, const std::string &headers = "",
                 const char *src = "127.0.0.1", uint16_t port = kPort)
{
    return request("GET", target, headers, nullptr, src, port);
}

inline Reply post(const std::string &target, const std::string &body,
                  const std::string &headers = "", uint16_t port = kPort)
{
    return request("POST", target, headers, &body, "127.0.0.1", port);
}

// Polls cond every 20 ms for up to timeoutMs.
inline bool waitFor(const std::function<bool()> &cond, int timeoutMs = 15000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

// Entered before main, while the process has one thread: threads made later
// (the server's, the timer threads) share the namespace.
inline const bool kInPrivateNetwork = tovuEnterPrivateNetwork();

// The real server on a temporary configuration.  Tests set the document with
// install() before start(); the server stops at the end of each test.
class CgiServer : public ::testing::Test {
protected:
    cfgtest::TempDir dir;

    void SetUp() override
    {
        ASSERT_TRUE(kInPrivateNetwork) << "needs root: private network namespace";
        tovuSetConfigPath(dir.path.c_str());
    }
    void TearDown() override
    {
        tovuStopCGI();
        cfgtest::dropConfig();
    }
    void install(const std::string &json) { ASSERT_NE(tovuSetConfig(json.c_str()), nullptr) << json; }
    void start() { ASSERT_TRUE(tovuStartCGI()); }
    std::string configFile() const { return dir / "tovul.json"; }
};

} // namespace cgitest

#endif
