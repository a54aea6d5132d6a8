// The stand-in's waiting line while a served output has no viewer yet.
#include "fixtures/proc_helpers.h"
#include "tovu_base.h"
#include "viewer_wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

using standin::port_listening;
using standin::served_port;

namespace {

TEST(ViewerWait, PortOfAServedAddress)
{
    const struct {
        const char *url;
        int port;
    } cases[] = {
        {"http://0.0.0.0:9528", 9528},  {"HTTPS://0.0.0.0:9528/live", 9528}, {"http://h", 80},
        {"https://h/x:1", 443},         {"http://u:p@h:8080?a", 8080},        {"http://[::]:9530", 9530},
        {"http://[::1]", 80},           {"http://h:x1", 0},                   {"http://h:70000", 0},
        {"udp://h:1234", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(served_port(c.url), c.port) << c.url;
}

TEST(ViewerWait, ListeningPortsFromTheSocketTable)
{
    testproc::TempDir dir;
    std::string table = dir.file("tcp");
    std::ofstream(table) << "  sl  local_address rem_address   st tx_queue rx_queue\n"
                            "   0: 00000000:2538 00000000:0000 0A 00000000:00000000\n"
                            "   1: 0100007F:2539 0100007F:D431 01 00000000:00000000\n";
    EXPECT_TRUE(port_listening(9528, {table}));
    // an established connection on a port is no listening socket
    EXPECT_FALSE(port_listening(9529, {table}));
    EXPECT_FALSE(port_listening(0, {table}));
    EXPECT_FALSE(port_listening(9528, {dir.file("missing")}));

    // and the kernel's own table
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&a), &len), 0);
    int port = ntohs(a.sin_port);
    EXPECT_FALSE(port_listening(port));
    ASSERT_EQ(listen(s, 1), 0);
    EXPECT_TRUE(port_listening(port));
    close(s);
}

// The whole stand-in: an http output nobody opens keeps saying that it waits,
// in plain lines, and prints no progress meanwhile.
TEST(ViewerWait, StandInSaysItWaitsForAViewer)
{
    if (system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    int port = testproc::free_loopback_port();
    ASSERT_GT(port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(port);

    testproc::ProcGuard g;
    ASSERT_EQ(tovu_start_proc(&g.proc, TOVU_BIN_DIR "/" TOVU_TRANSCODER_FNAME, nullptr), 0);
    std::string line = std::string(TOVU_HANDSHAKE_TOKEN) +
                       "-re -f lavfi -i testsrc=size=320x240:rate=25 -c:v libx264 -f mpegts " + url + "\n";
    ASSERT_GT(pipe_write_str(g.proc.pipe_stdin[1], line.c_str()), 0);

    const std::string waiting = standin::waiting_line(url) + "\n";
    std::string out;
    ASSERT_TRUE(testproc::wait_for_output(&g.proc, waiting, &out, 30)) << out;
    size_t first = out.find(waiting);
    // a second line some seconds later
    auto seen_twice = [&] { return out.find(waiting, first + 1) != std::string::npos; };
    EXPECT_TRUE(tovutest::waitUntil([&] {
        testproc::drain(&g.proc, &out);
        return seen_twice();
    }, 15000, tovutest::nothingBetween, 50)) << out;
    // no progress line came while it waited
    EXPECT_EQ(out.find("time="), std::string::npos) << out;
}

} // namespace
