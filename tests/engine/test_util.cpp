// The engine's small helpers: URL rules, addresses, text cuts, compares,
// the integer reader, regular-file opens and whole writes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "fixtures/temp_dir.h"
#include "tovu_ifaddr.h"
#include "tovu_engine_internal.h"

TEST(UrlRules, Classes)
{
    struct Case { const char *url; int is_url, rtmp, rtp, realtime; };
    const Case cases[] = {
        {"udp://239.0.0.1:1234", 1, 0, 0, 1},
        {"/dev/video0", 0, 0, 0, 0},
        {"RTMPS://host/app", 1, 1, 0, 1},
        {"rtmpte://h/a", 1, 1, 0, 1},
        {"rtmpx://host", 1, 0, 0, 1},
        {"rtmp:/host", 0, 0, 0, 0},
        {"/var/in/a.SDP", 0, 0, 0, 1},
        {"rtmp://h/app/x", 1, 1, 0, 1},
        {"udp://h:5000", 1, 0, 0, 1},
        {"rtp://1.2.3.4:5000", 1, 0, 1, 1},
        {"RTP://1.2.3.4:5000", 1, 0, 1, 1},
        {"/var/in/a.ts", 0, 0, 0, 0},
        {"http://h/live.ts", 1, 0, 0, 0},
        {"HTTPS://h/x", 1, 0, 0, 0},
        {"sftp://h/x", 1, 0, 0, 0},
        {"srt://h:9000/x.m3u8", 1, 0, 0, 0},
        {"udp://h/x.MPD", 1, 0, 0, 0},
        {"http://h/x.sdp", 1, 0, 0, 1},
        {"ab", 0, 0, 0, 0},
        {"", 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(_is_url(c.url), c.is_url) << c.url;
        EXPECT_EQ(_is_rtmp_url(c.url), c.rtmp) << c.url;
        EXPECT_EQ(_is_rtp_url(c.url), c.rtp) << c.url;
        EXPECT_EQ(_is_realtime_url(c.url), c.realtime) << c.url;
    }
    EXPECT_EQ(_is_url(nullptr), 0);
    EXPECT_EQ(_is_rtmp_url(nullptr), 0);
    EXPECT_EQ(_is_rtp_url(nullptr), 0);
    EXPECT_EQ(_is_realtime_url(nullptr), 0);
}

TEST(Utilities, InetNtoaAndVersion)
{
    EXPECT_STREQ(Inet_ntoa(inet_addr("239.1.2.3")), "239.1.2.3");
    EXPECT_STREQ(Inet_ntoa(0), "0.0.0.0");
    const char *v = tovu_get_version();
    EXPECT_STREQ(v, "6.5.7.1b");
    EXPECT_EQ(tovu_get_version(), v);
}

TEST(Utilities, Utf8ToLcsNeverOverruns)
{
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(_utf8tolcs(nullptr, buf, sizeof buf), nullptr);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(_utf8tolcs("abc", buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "abc");

    char guarded[12];
    memset(guarded, '#', sizeof guarded);
    _utf8tolcs("0123456789abcdef", guarded, 8);
    EXPECT_STREQ(guarded, "0123456");
    EXPECT_EQ(guarded[8], '#');

    // a two-byte character at the cut is dropped whole
    _utf8tolcs("abcdef\xc3\xa9z", guarded, 8);
    EXPECT_STREQ(guarded, "abcdef");
}

namespace {
// a small interface list built by hand
struct FakeIfaces {
    std::vector<sockaddr_in> addrs;
    std::vector<ifaddrs> list;
    explicit FakeIfaces(const std::vector<const char *> &ips)
    {
        addrs.resize(ips.size());
        list.resize(ips.size());
        for (size_t i = 0; i < ips.size(); i++) {
            memset(&addrs[i], 0, sizeof addrs[i]);
            addrs[i].sin_family = AF_INET;
            inet_pton(AF_INET, ips[i], &addrs[i].sin_addr);
            memset(&list[i], 0, sizeof list[i]);
            list[i].ifa_addr = (sockaddr *)&addrs[i];
            list[i].ifa_next = i + 1 < ips.size() ? &list[i + 1] : nullptr;
        }
    }
    const ifaddrs *head() const { return list.empty() ? nullptr : &list[0]; }
};
} // namespace

TEST(Utilities, LocalIps)
{
    FakeIfaces none({"127.0.0.1", "169.254.3.4"});
    char **ips = tovu_fill_local_ips(none.head());
    for (int i = 0; i < 5; i++)
        EXPECT_STREQ(ips[i], "") << i;

    FakeIfaces seven({"127.0.0.1", "10.0.0.1", "10.0.0.2", "169.254.1.1", "10.0.0.3",
                      "10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7"});
    ips = tovu_fill_local_ips(seven.head());
    const char *want[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"};
    for (int i = 0; i < 5; i++)
        EXPECT_STREQ(ips[i], want[i]);

    // fewer addresses later: the later slots keep their earlier texts
    FakeIfaces one({"192.0.2.9"});
    ips = tovu_fill_local_ips(one.head());
    EXPECT_STREQ(ips[0], "192.0.2.9");
    EXPECT_STREQ(ips[1], "10.0.0.2");
    EXPECT_STREQ(ips[4], "10.0.0.5");

    // the real call returns the same five slots
    EXPECT_EQ(get_local_ips(), ips);
    EXPECT_EQ(get_local_ip(), ips[0]);
}

TEST(Utilities, AsciiCaseCompare)
{
    EXPECT_EQ(tovu_strcasecmp("HttpPort", "httpport"), 0);
    EXPECT_NE(tovu_strcasecmp("abc", "abd"), 0);
    EXPECT_NE(tovu_strcasecmp("abc", "ab"), 0);
    EXPECT_NE(tovu_strcasecmp("\xc3\x89", "\xc3\xa9"), 0);   // bytes above ASCII compare as they are
    EXPECT_EQ(tovu_strncasecmp("RTMP://h", "rtmp://", 7), 0);
    EXPECT_NE(tovu_strncasecmp("rtm", "rtmp://", 7), 0);
}

TEST(Utilities, IntReaderTellsTheRangeAndTheEnd)
{
    struct Case { const char *text; int result, value; size_t end; };
    const Case cases[] = {
        {"42x", 1, 42, 2},
        {" \t-7:", 1, -7, 4},
        {"+0", 1, 0, 2},
        {"99999999999 ", 2, INT_MAX, 11},
        {"-99999999999", 2, INT_MIN, 12},
        {"+", 0, 5, 0},
        {"x1", 0, 5, 0},
        {"", 0, 5, 0},
    };
    for (const Case &c : cases) {
        int v = 5;
        const char *end = nullptr;
        EXPECT_EQ(tovu_parse_int(c.text, &v, &end), c.result) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(end ? (size_t)(end - c.text) : 0u, c.end) << c.text;
    }
}

TEST(Utilities, OpenRegularTakesFilesOnlyAndNeverWaits)
{
    tovutest::TempDir scratch("tovu_util");
    ASSERT_FALSE(scratch.path().empty());
    std::string dir = scratch.path(), file = dir + "/f", fifo = dir + "/p";
    FILE *fp = fopen(file.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fputs("abc", fp);
    fclose(fp);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    struct stat st;
    int fd = tovu_open_regular(file.c_str(), &st);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(st.st_size, 3);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "reads block as usual";
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);
    for (const std::string &p : {fifo, dir, dir + "/missing"})
        EXPECT_EQ(tovu_open_regular(p.c_str(), nullptr), -1) << p;
    EXPECT_EQ(tovu_open_regular(nullptr, nullptr), -1);
}

// a write larger than the pipe holds arrives whole; a pipe without reader
// takes nothing and says why
TEST(Utilities, WriteAllWritesWholeOrTellsHowMuch)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string big(1 << 20, 'x');
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(p[0], buf, sizeof buf)) > 0)
            got.append(buf, (size_t)n);
    });
    EXPECT_EQ(tovu_write_all(p[1], big.data(), big.size()), big.size());
    close(p[1]);
    reader.join();
    EXPECT_EQ(got, big);
    close(p[0]);

    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    void (*old)(int) = signal(SIGPIPE, SIG_IGN);
    errno = 0;
    EXPECT_EQ(tovu_write_all(p[1], "abc", 3), 0u);
    EXPECT_EQ(errno, EPIPE);
    signal(SIGPIPE, old);
    close(p[1]);
}
