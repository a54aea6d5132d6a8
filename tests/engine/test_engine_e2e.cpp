// One channel end to end with the stand-in transcoder and the system's
// ffmpeg: a generated test picture to an MPEG-TS file and to UDP on loopback,
// supervised by the poll, stopped, and the file checked.
#include "fixtures/engine_fixture.h"
#include "fixtures/temp_dir.h"
#include "tovu_poll.h"
#include "tovu_engine_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <filesystem>
#include <vector>

using tovutest::exists;
using tovutest::read_file;

namespace {

class EngineE2E : public ::testing::Test {
protected:
    tovutest::TempDir scratch{"tovu_e2e"};
    std::string dir = scratch.path();
    int sock = -1;

    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    void TearDown() override
    {
        tovu_free();
        if (sock >= 0)
            close(sock);
    }
    // a UDP socket on a free loopback port
    int open_receiver()
    {
        sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (sock < 0 || bind(sock, (sockaddr *)&a, sizeof a) != 0)
            return 0;
        socklen_t len = sizeof a;
        getsockname(sock, (sockaddr *)&a, &len);
        return ntohs(a.sin_port);
    }
    size_t drain_receiver()
    {
        char buf[2048];
        size_t total = 0;
        ssize_t n;
        while ((n = recv(sock, buf, sizeof buf, 0)) > 0)
            total += (size_t)n;
        return total;
    }
};

TEST_F(EngineE2E, TestPictureToFileAndUdpIsSupervisedAndStopped)
{
    ASSERT_EQ(tovutest::initEngine(tovutest::standInDir(), dir, 32), 0);

    int port = open_receiver();
    ASSERT_GT(port, 0);

    std::string in_url = "testsrc2=size=320x240:rate=25";
    std::string in_opts = "-f lavfi";
    TOVU_SOURCE src{};
    src.format = TOVU_FORMAT_GENERAL;
    src.url = &in_url[0];
    src.param = &in_opts[0];

    std::string file_url = dir + "/out.ts";
    std::string udp_url = "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316";
    TOVU_TARGET file{}, udp{};
    for (TOVU_TARGET *t : {&file, &udp}) {
        t->video.b_enable = 1;
        t->video.codec = TOVU_VIDEO_MP2V;
        t->video.kbps = 800;
        t->video.key_frame_intv = 25;
    }
    file.format = TOVU_FORMAT_GENERAL;
    file.url = &file_url[0];
    udp.format = TOVU_FORMAT_UDP;
    udp.url = &udp_url[0];
    const TOVU_TARGET *targets[2] = {&file, &udp};

    ASSERT_EQ(tovu_transcode(0, &src, 1, targets, 2, 0, 0), 0);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING);

    // the stream time grows while frames and bits flow
    int first_time = -1, last_time = -1;
    size_t udp_bytes = 0;
    tovutest::pollUntil([&] {
        if (tovu_get_state(0) != TOVU_STATE_RUNNING)
            return true;
        udp_bytes += drain_receiver();
        int t = tovu_get_stream_time(0);
        if (t >= 0 && first_time < 0)
            first_time = t;
        last_time = t;
        return first_time >= 0 && last_time >= first_time + 2 && tovu_get_stream_fps(0) > 0 &&
               tovu_get_stream_bitrate(0) > 0 && udp_bytes > 0;
    }, 15000, 20);
    char log_name[32];
    snprintf(log_name, sizeof log_name, "/tovu_%03d.log", 1);
    std::string log = read_file(dir + log_name);
    ASSERT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING) << log;
    EXPECT_GE(last_time, first_time + 2) << log;
    EXPECT_GT(tovu_get_stream_fps(0), 0);
    EXPECT_GT(tovu_get_stream_bitrate(0), 0);
    EXPECT_GT(udp_bytes, 0u);

    // an interrupt ends it in an orderly way (the encoder's end can take
    // seconds on a loaded machine; one that ignored the interrupt never ends)
    tovu_stop(0, 0);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_STOPPING);
    tovutest::pollUntil([] { return tovu_get_state(0) == TOVU_STATE_IDLE; }, 30000, 20);
    ASSERT_EQ(tovu_get_state(0), TOVU_STATE_IDLE) << read_file(dir + log_name);

    // the file plays to its end without an error
    ASSERT_TRUE(exists(file_url));
    std::string check = "ffmpeg -nostdin -v error -xerror -i '" + file_url + "' -f null - 2>&1";
    FILE *p = popen(check.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string errors;
    char buf[256];
    while (fgets(buf, sizeof buf, p))
        errors += buf;
    int status = pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << errors;
    EXPECT_EQ(errors, "");
}

// Two HLS renditions of 300 and 800 kbit/s: the encoders' banners in the
// channel's output say "bitrate=300" and "bitrate=800", the progress lines
// "bitrate=N/A". The channel's rate is the progress lines' own, so it stays
// unknown all along while the stream time grows; the playlists play.
TEST_F(EngineE2E, HlsRenditionsShowNoBannerRate)
{
    ASSERT_EQ(tovutest::initEngine(tovutest::standInDir(), dir, 32), 0);
    std::string in_url = "testsrc2=size=320x240:rate=25";
    std::string in_opts = "-re -f lavfi";
    TOVU_SOURCE src{};
    src.format = TOVU_FORMAT_GENERAL;
    src.url = &in_url[0];
    src.param = &in_opts[0];

    std::string urls[2] = {dir + "/low.m3u8", dir + "/high.m3u8"};
    TOVU_TARGET hls[2] = {};
    const int kbps[2] = {300, 800};
    for (int i = 0; i < 2; i++) {
        hls[i].format = TOVU_FORMAT_HLS;
        hls[i].url = &urls[i][0];
        hls[i].video.b_enable = 1;
        hls[i].video.codec = TOVU_VIDEO_H264;
        hls[i].video.kbps = kbps[i];
        hls[i].video.key_frame_intv = 25;
    }
    const TOVU_TARGET *targets[2] = {&hls[0], &hls[1]};
    ASSERT_EQ(tovu_transcode(0, &src, 1, targets, 2, 0, 0), 0);

    std::vector<int> rates;
    tovutest::pollUntil([&] {
        tovu_poll();
        rates.push_back(tovu_get_stream_bitrate(0));
        return tovu_get_state(0) != TOVU_STATE_RUNNING || tovu_get_stream_time(0) >= 3;
    }, 30000, 20);
    std::string log = read_file(dir + "/tovu_001.log");
    ASSERT_GE(tovu_get_stream_time(0), 3) << log;
    // the fault's conditions are there
    EXPECT_NE(log.find(" bitrate=300 "), std::string::npos) << log;
    EXPECT_NE(log.find("bitrate=N/A"), std::string::npos) << log;
    for (int r : rates)
        ASSERT_EQ(r, -1) << log;

    tovu_stop(0, 0);
    tovutest::pollUntil([] { tovu_poll(); return tovu_get_state(0) == TOVU_STATE_IDLE; }, 30000, 20);
    for (const std::string &u : urls) {
        std::string probe = "ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 '" +
                            u + "' 2>/dev/null";
        FILE *p = popen(probe.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char buf[64] = "";
        if (!fgets(buf, sizeof buf, p))
            buf[0] = '\0';
        pclose(p);
        EXPECT_EQ(std::string(buf), "h264\n") << u;
    }
}

} // namespace
