// The discovery tests' view of the shared web fixtures: a loopback server
// whose every request goes to one answer function with the request's joined
// query arguments, one GET per fresh HTTP/1.1 connection (as a browser asks),
// and the discovery answers' headers.
#ifndef TEST_DISCOVERY_HTTP_H
#define TEST_DISCOVERY_HTTP_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "fixtures/http_client.h"
#include "fixtures/web_server.h"

namespace disco {

using AnswerFunc = std::function<int(struct MHD_Connection *, const char *args)>;
using Answer = HttpAnswer;

class AnswerServer : public TestWebServer {
public:
    explicit AnswerServer(AnswerFunc answer)
        : TestWebServer([answer = std::move(answer)](struct MHD_Connection *conn, const char *,
                                                     const char *args) {
              return answer(conn, args) ? MHD_YES : MHD_NO;
          })
    {
    }
};

// a bound past the longest search, so that a server that never answers fails the test
const int kAnswerTimeoutSecs = 120;

// GET target (path and query) from the server; status 0 when the exchange failed
inline Answer httpGet(int port, const std::string &target)
{
    HttpClient client(port, false, kAnswerTimeoutSecs);
    Answer a;
    client.get(target, a);
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
