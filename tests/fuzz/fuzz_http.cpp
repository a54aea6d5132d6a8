// HTTP requests from outside through the web server and its router, over a
// loopback connection to the real server. Every request gets a well-formed
// answer or the connection is closed, within a time bound (never a connection
// left open and silent), the server keeps answering, and the configuration
// document stays one that saves and loads back.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fuzz_util.h"
#include "tovu_cgi_internal.h"
#include "tovu_config.h"

namespace {

const char kPassword[] = "fuzz-pw";
// the time a request may take to be answered or closed, counted from the
// last byte sent or received
const int kAnswerWaitMs = 5000;

int g_port = 0;
std::string g_baseDoc;

// a port that was free a moment ago on the loopback address
int freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(fd >= 0 && bind(fd, (sockaddr *)&a, sizeof a) == 0, "no port");
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr *)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

// sends the request and its end, then reads until the server closes; a
// server that goes quiet instead fails the property
std::string exchange(const std::string &request)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)g_port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = -1;
    // thousands of connections a second can use up the local ports for a
    // moment: that is the harness, not the server, so it waits and tries again
    for (int attempt = 0;; attempt++) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(fd >= 0, "no socket");
        if (connect(fd, (sockaddr *)&a, sizeof a) == 0)
            break;
        int err = errno;
        close(fd);
        // (libFuzzer's own timer signal may interrupt the call: try again)
        FUZZ_CHECK((err == EADDRNOTAVAIL || err == EAGAIN || err == EINTR) && attempt < 100,
                   "the server does not accept: %s", strerror(err));
        if (err != EINTR)
            usleep(50000);
    }
    // closed with a reset, so no connection lingers in TIME_WAIT
    linger lin = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    for (size_t done = 0; done < request.size();) {
        ssize_t n = send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // the server may close early on a bad request
        done += (size_t)n;
    }
    shutdown(fd, SHUT_WR);
    std::string answer;
    char buf[65536];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, kAnswerWaitMs);
        if (r < 0 && errno == EINTR)
            continue;
        FUZZ_CHECK(r != 0, "neither an answer nor a close within %d ms; answer so far: %.60s",
                   kAnswerWaitMs, answer.c_str());
        if (r != 1)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        answer.append(buf, (size_t)n);
    }
    close(fd);
    return answer;
}

// every answer on the connection starts with a status line
void checkAnswer(const std::string &answer)
{
    if (answer.empty())
        return; // closed without an answer: allowed for a broken request
    FUZZ_CHECK(answer.compare(0, 7, "HTTP/1.") == 0 && answer.size() >= 12 && answer[8] == ' ',
               "no status line: %.60s", answer.c_str());
    int code = atoi(answer.c_str() + 9);
    FUZZ_CHECK(code >= 100 && code <= 599, "status %d", code);
    FUZZ_CHECK(code < 500 || code == 503 || code == 505 || code == 501,
               "server error %d for a request: %.200s", code, answer.c_str());
}

bool setUp()
{
    const std::string dir = tovufuzz::scratch();
    tovuSetConfigPath(dir.c_str());
    g_port = freePort();
    g_baseDoc = std::string(R"({"global":{"httpPort":)") + std::to_string(g_port) +
                R"(,"loginPass":")" + kPassword +
                R"(","log":0},"channels":[{"input":{"sources":[{"format":"udp","url":"udp://239.0.0.1:1234"}]},)"
                R"("output":{"targets":[{"format":"http","url":"http://0.0.0.0:9600/live.ts",)"
                R"("video":{"codec":"h264"},"audio":{"codec":"aac"}}]}}]})";
    FUZZ_CHECK(tovuSetConfig(g_baseDoc.c_str()), "base document");
    FUZZ_CHECK(tovuStartCGI(), "the web server did not start on %d", g_port);
    tovuCancelCGIRestart(); // an upload that changes the port must not move the server
    return true;
}

std::string installed()
{
    TovuConfigLock lock;
    char *p = cJSON_PrintUnformatted(g_jsonConfig);
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

// NDI discovery waits for sources for seconds on end by design (it holds
// the one web thread meanwhile): requests that could reach it are not sent.
// The library decodes "%XX" in the path, so the test looks at the decoded,
// lower-case text.
bool reachesNdiDiscovery(const std::string &request)
{
    std::string t;
    for (size_t i = 0; i < request.size(); i++) {
        char c = request[i];
        if (c == '%' && i + 2 < request.size() && isxdigit((unsigned char)request[i + 1]) &&
            isxdigit((unsigned char)request[i + 2])) {
            c = (char)strtol(request.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        }
        t += (char)tolower((unsigned char)c);
    }
    return t.find("ndi_config") != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = setUp();
    static const std::string base = installed();
    static unsigned long runs = 0;
    (void)ready;

    const std::string request(reinterpret_cast<const char *>(data), size);
    if (reachesNdiDiscovery(request))
        return 0;
    checkAnswer(exchange(request));

    // an upload may have replaced the document: it must still save and load back
    if (installed() != base) {
        TovuConfigLock lock;
        FUZZ_CHECK(g_jsonConfig, "no document after a request");
        FUZZ_CHECK(tovuExportConfig(nullptr) == 0, "the document does not save");
        tovuSetConfig(g_baseDoc.c_str());
    }
    // the server still answers a plain request now and then
    if (++runs % 64 == 0) {
        std::string a = exchange("GET /runtime HTTP/1.1\r\nHost: x\r\nCookie: auth=" +
                                 std::string(kPassword) + "\r\n\r\n");
        FUZZ_CHECK(a.compare(0, 12, "HTTP/1.1 200") == 0, "the server stopped answering: %.60s",
                   a.c_str());
    }
    return 0;
}
