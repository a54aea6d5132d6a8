// A web server on an ephemeral loopback port whose every request goes to one
// answer function with the request's joined query arguments, and a plain
// HTTP client that reads the whole answer: status, headers in order, body.
#ifndef TEST_DISCOVERY_HTTP_H
#define TEST_DISCOVERY_HTTP_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ctype.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace disco {

using AnswerFunc = std::function<int(struct MHD_Connection *, const char *args)>;

class AnswerServer {
public:
    explicit AnswerServer(AnswerFunc answer) : answer_(std::move(answer))
    {
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD, 0, nullptr, nullptr,
                                   &AnswerServer::onRequest, this, MHD_OPTION_SOCK_ADDR,
                                   (struct sockaddr *)&addr, MHD_OPTION_END);
        if (daemon_) {
            const union MHD_DaemonInfo *info =
                MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
            port_ = info ? info->port : 0;
        }
    }
    ~AnswerServer()
    {
        if (daemon_)
            MHD_stop_daemon(daemon_);
    }
    AnswerServer(const AnswerServer &) = delete;
    AnswerServer &operator=(const AnswerServer &) = delete;

    bool ok() const { return daemon_ && port_; }
    uint16_t port() const { return port_; }

private:
    static MHD_Result joinArgument(void *cls, enum MHD_ValueKind, const char *key,
                                   const char *value)
    {
        std::string *args = static_cast<std::string *>(cls);
        if (!args->empty())
            *args += "&";
        *args += key;
        if (value) {
            *args += "=";
            *args += value;
        }
        return MHD_YES;
    }

    // answers on the second call, as the service's request intake does once
    // the request is whole (an answer on the first call closes the connection)
    static MHD_Result onRequest(void *cls, struct MHD_Connection *conn, const char *, const char *,
                                const char *, const char *, size_t *, void **state)
    {
        static int begun;
        if (!*state) {
            *state = &begun;
            return MHD_YES;
        }
        AnswerServer *self = static_cast<AnswerServer *>(cls);
        std::string args;
        MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, &AnswerServer::joinArgument, &args);
        return self->answer_(conn, args.c_str()) ? MHD_YES : MHD_NO;
    }

    AnswerFunc answer_;
    struct MHD_Daemon *daemon_ = nullptr;
    uint16_t port_ = 0;
};

struct Answer {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers; // in the order sent
    std::string body;
    std::string header(const std::string &name) const
    {
        for (const auto &h : headers)
            if (strcasecmp(h.first.c_str(), name.c_str()) == 0)
                return h.second;
        return "";
    }
};

// GET target (path and query) from the server; status 0 when the exchange failed
inline Answer httpGet(uint16_t port, const std::string &target)
{
    Answer a;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return a;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    // a generous bound, so that a server that never answers fails the test
    struct timeval tv = {120, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string raw;
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) == 0) {
        // a persistent connection, as browsers ask; the answer is read by
        // its length and the connection then closed here
        std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(fd, req.data(), req.size()) == (ssize_t)req.size()) {
            char buf[65536];
            ssize_t n;
            size_t want = std::string::npos; // the whole answer's size, once known
            while (raw.size() < want && (n = read(fd, buf, sizeof buf)) > 0) {
                raw.append(buf, (size_t)n);
                size_t end = raw.find("\r\n\r\n");
                if (want == std::string::npos && end != std::string::npos) {
                    std::string head = raw.substr(0, end);
                    for (char &c : head)
                        c = (char)tolower((unsigned char)c);
                    size_t cl = head.find("\r\ncontent-length:");
                    if (cl != std::string::npos)
                        want = end + 4 + strtoul(head.c_str() + cl + 17, nullptr, 10);
                }
            }
        }
    }
    close(fd);

    size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos || raw.compare(0, 7, "HTTP/1.") != 0)
        return a;
    a.status = atoi(raw.c_str() + 9);
    size_t at = raw.find("\r\n") + 2;
    while (at < headEnd) {
        size_t eol = raw.find("\r\n", at);
        std::string line = raw.substr(at, eol - at);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t v = line.find_first_not_of(' ', colon + 1);
            a.headers.emplace_back(line.substr(0, colon),
                                   v == std::string::npos ? "" : line.substr(v));
        }
        at = eol + 2;
    }
    a.body = raw.substr(headEnd + 4);
    return a;
}

// The discovery answers' headers, in their order; a kept-alive connection
// says so (the request is a persistent one).
inline void expectDiscoveryHeaders(const Answer &a)
{
    const char *names[] = {"Connection", "Pragma", "Cache-Control", "Content-Type"};
    const char *values[] = {"Keep-Alive", "no-cache", "no-cache", "application/json"};
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        while (at < a.headers.size() && a.headers[at].first != names[i])
            at++;
        ASSERT_LT(at, a.headers.size()) << names[i] << " missing or out of order";
        EXPECT_EQ(a.headers[at].second, values[i]) << names[i];
    }
}

} // namespace disco

#endif
