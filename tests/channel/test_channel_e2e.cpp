// Channels end to end: a JSON configuration started through the channel
// control on the stand-in transcoder and the machine's ffmpeg, with media
// made in the test, and the outputs read back with ffprobe.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "PlayList.h"
#include "fixtures/channel_docs.h"
#include "fixtures/netns.h"
#include "fixtures/engine_fixture.h"
#include "tovu_config.h"
#include "tovu_channel.h"
#include "tovu_base.h"

#include "fixtures/proc_helpers.h"
#include "fixtures/stand_in_channels.h"

using namespace chantest;
using tovutest::read_file;

namespace {

using testproc::run;

// A stream read over UDP is analysed for some seconds of its media, which a
// transcoder on a loaded machine delivers slower than real time.
constexpr int kUdpProbeSecs = 45;

// "codec,width,height" of each stream ffprobe finds at url, one per line, sorted
std::string probe(const std::string &url, int seconds = 20)
{
    return run("timeout " + std::to_string(seconds) +
               " ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '" + url +
               "' 2>/dev/null | sort -u | grep -v '^$'");
}

// the streams of an output that a transcoder serves: asked again while the
// port is not yet listening
std::string probeServed(const std::string &url, int seconds = 30)
{
    std::string streams;
    tovutest::waitUntil([&] { return !(streams = probe(url)).empty(); }, seconds * 1000,
                        tovutest::nothingBetween, 200);
    return streams;
}

int count_files(const std::string &folder, const std::string &suffix)
{
    int n = 0;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(folder, ec)) {
        std::string name = e.path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            n++;
    }
    return n;
}

// an H.264 target of the given format and address, small and fast, with AAC audio
std::string smallTarget(const std::string &format, const std::string &url, int width = 320, int height = 240)
{
    return "{\"format\":\"" + format + "\",\"url\":\"" + url +
           "\",\"video\":{\"enable\":true,\"codec\":\"h264\",\"width\":" + std::to_string(width) +
           ",\"height\":" + std::to_string(height) +
           ",\"frameRate\":25,\"keyFrameInterval\":25,\"bitRate\":300,\"options\":[\"-preset ultrafast\"]},"
           "\"audio\":{\"enable\":true,\"codec\":\"aac\",\"bitRate\":64}}";
}

class ChannelE2E : public StandInChannels<::testing::Test> {
protected:
    ChannelE2E() : StandInChannels("tovu_chan_e2e", 16, 0) {}

    std::string log(int ch = 0) const
    {
        char name[32];
        snprintf(name, sizeof name, "/tovu_%03d.log", ch + 1);
        return read_file(dir + name);
    }

    // a clip with a test picture and a tone
    std::string makeClip(const std::string &name, int seconds = 4)
    {
        std::string file = path(name);
        std::string out = run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
                              "-i sine=frequency=440:sample_rate=48000 -t " + std::to_string(seconds) + " -c:v libx264 -preset ultrafast "
                              "-c:a aac -shortest -y '" + file + "' 2>&1");
        EXPECT_TRUE(tovutest::exists(file)) << out;
        return file;
    }

    void config(const std::string &json) { ASSERT_NE(tovuSetConfig(json.c_str()), nullptr) << json; }

    // the engine polled while a slow command (ffprobe) runs on another thread
    std::string whilePolling(const std::function<std::string()> &slow)
    {
        std::string result;
        bool done = false;
        std::thread worker([&] {
            result = slow();
            __atomic_store_n(&done, true, __ATOMIC_RELEASE);
        });
        // the slow command ends by its own time-out
        tovutest::pollUntil([&] { return __atomic_load_n(&done, __ATOMIC_ACQUIRE); }, INT_MAX, 20);
        worker.join();
        return result;
    }
    bool stopAndWaitIdle(int ch)
    {
        tovuStopChannel(ch, 0);
        return tovutest::pollUntil([&] { return tovuGetChannelState(ch) == TOVU_STATE_IDLE; }, 15000, 20);
    }
};

TEST_F(ChannelE2E, FileToUdpOnLoopback)
{
    std::string clip = makeClip("clip.mp4");
    int port = testproc::free_loopback_port(SOCK_DGRAM);
    ASSERT_GT(port, 0);
    config(doc("\"autoRestart\":1",
               chan(src("file", clip), smallTarget("udp", "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316"))));
    ASSERT_EQ(tovuStartChannel(0), 0) << log();
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_RUNNING);
    std::string streams =
        whilePolling([&] { return probe("udp://127.0.0.1:" + std::to_string(port), kUdpProbeSecs); });
    EXPECT_EQ(streams, "aac\nh264,320,240") << log();
    // the file loops: the channel still runs once its stream is well past the
    // file's 4 seconds (media time, which a loaded machine makes slower than
    // the clock)
    EXPECT_TRUE(tovutest::pollUntil([&] {
        return tovuGetChannelState(0) != TOVU_STATE_RUNNING || tovu_get_stream_time(0) >= 6;
    }, 60000, 20)) << log();
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_RUNNING) << log();
    char status[TOVU_STATUS_TEXT_SIZE] = "RUNNING";
    tovuGetChannelStatus(0, status);
    EXPECT_NE(std::string(status).find("   "), std::string::npos) << status;
    EXPECT_TRUE(stopAndWaitIdle(0)) << log();
}

TEST_F(ChannelE2E, FileToHls)
{
    std::string clip = makeClip("clip.mp4");
    std::string hls = path("hls");
    ASSERT_EQ(mkdir(hls.c_str(), 0755), 0);
    config(doc("\"autoRestart\":1", chan(src("file", clip), smallTarget("hls", hls + "/live.m3u8"), "",
                                         ",\"formatOptions\":[\"-hls_time 1\"]")));
    ASSERT_EQ(tovuStartChannel(0), 0) << log();
    ASSERT_TRUE(tovutest::pollUntil([&] { return tovutest::exists(hls + "/live.m3u8") && count_files(hls, ".ts") >= 2; }, 30000, 20))
        << log();
    EXPECT_NE(read_file(hls + "/live.m3u8").find("#EXTINF"), std::string::npos);
    EXPECT_EQ(whilePolling([&] { return probe(hls + "/live.m3u8"); }), "aac\nh264,320,240") << log();
    EXPECT_TRUE(stopAndWaitIdle(0)) << log();
}

TEST_F(ChannelE2E, TwoHlsTargetsFoldIntoOneMultiVariantPlaylist)
{
    std::string clip = makeClip("clip.mp4");
    std::string hls = path("hls");
    ASSERT_EQ(mkdir(hls.c_str(), 0755), 0);
    config(doc("\"autoRestart\":1",
               chan(src("file", clip), smallTarget("hls", hls + "/low.m3u8", 160, 120) + "," +
                                           smallTarget("hls", hls + "/high.m3u8", 320, 240),
                    "", ",\"formatOptions\":[\"-hls_time 1\",\"-master_pl_name master.m3u8\"]")));
    ASSERT_EQ(tovuStartChannel(0), 0) << log();
    ASSERT_TRUE(tovutest::pollUntil([&] {
        return tovutest::exists(hls + "/master.m3u8") && tovutest::exists(hls + "/low.m3u8") &&
               tovutest::exists(hls + "/high.m3u8") && count_files(hls, ".ts") >= 4;
    }, 30000, 20)) << log();
    std::string master = read_file(hls + "/master.m3u8");
    EXPECT_NE(master.find("low.m3u8"), std::string::npos) << master;
    EXPECT_NE(master.find("high.m3u8"), std::string::npos) << master;
    EXPECT_EQ(whilePolling([&] { return probe(hls + "/low.m3u8"); }), "aac\nh264,160,120") << log();
    EXPECT_EQ(whilePolling([&] { return probe(hls + "/high.m3u8"); }), "aac\nh264,320,240") << log();
    EXPECT_TRUE(stopAndWaitIdle(0)) << log();
}

TEST_F(ChannelE2E, FolderSourcePlaysItsCurrentFile)
{
    std::string media = path("media");
    ASSERT_EQ(mkdir(media.c_str(), 0755), 0);
    // long enough to be read while it plays: a folder's file does not loop
    makeClip("media/b.mp4");   // only started
    makeClip("media/a.mp4", 30);
    int port = testproc::free_loopback_port(SOCK_DGRAM);
    config(doc("\"autoRestart\":1",
               chan(src("file", media), smallTarget("udp", "udp://127.0.0.1:" + std::to_string(port)))));
    ASSERT_EQ(tovuStartChannel(0), 0) << log();
    EXPECT_NE(log().find("-i \"" + media + "/a.mp4\""), std::string::npos) << log();
    EXPECT_EQ(whilePolling([&] { return probe("udp://127.0.0.1:" + std::to_string(port), kUdpProbeSecs); }),
              "aac\nh264,320,240")
        << log();
    // the status shows the file being played
    char status[TOVU_STATUS_TEXT_SIZE] = "RUNNING";
    tovuGetChannelStatus(0, status);
    EXPECT_STREQ(status, "a.mp4");
    EXPECT_TRUE(stopAndWaitIdle(0)) << log();

    // the next file of the playlist is the one started next
    ASSERT_NE(g_tovuPlaylists[0].MoveNext(FALSE), nullptr);
    ASSERT_EQ(tovuStartChannel(0), 0) << log();
    EXPECT_NE(log().find("-i \"" + media + "/b.mp4\""), std::string::npos) << log();
    EXPECT_TRUE(stopAndWaitIdle(0)) << log();
}

// A file whose name would end the quoted word of the argument string is not
// played: the name that once made the transcoder write a file of its own
// choosing (as root, in its working folder) is passed by, and the folder's
// other file plays.
TEST_F(ChannelE2E, FolderFilesWithQuotesInTheirNamesAreNotPlayed)
{
    const std::string media = path("media");
    ASSERT_EQ(mkdir(media.c_str(), 0755), 0);
    const std::string injection = "b.ts\" -f lavfi -i \"testsrc=d=1\" -map 1:v -y \"INJECTED.ts";
    std::string clip = makeClip("media/c.mp4", 30);
    // real media under the odd names, sorted before the good one
    for (const std::string &name : {injection, std::string("a\".mp4")})
        std::filesystem::copy_file(clip, media + "/" + name);
    std::string hls = path("hls");
    ASSERT_EQ(mkdir(hls.c_str(), 0755), 0);
    config(doc("\"autoRestart\":1", chan(src("file", media), smallTarget("hls", hls + "/live.m3u8"), "",
                                         ",\"formatOptions\":[\"-hls_time 1\"]")));
    ASSERT_EQ(tovuStartChannel(0), 0) << log();
    EXPECT_NE(log().find("-i \"" + clip + "\""), std::string::npos) << log();
    ASSERT_TRUE(tovutest::pollUntil([&] { return tovutest::exists(hls + "/live.m3u8") && count_files(hls, ".ts") >= 2; }, 30000, 20))
        << log();
    EXPECT_EQ(whilePolling([&] { return probe(hls + "/live.m3u8"); }), "aac\nh264,320,240") << log();
    EXPECT_TRUE(stopAndWaitIdle(0)) << log();

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    for (const std::string &folder : {std::string(cwd), media, dir})
        EXPECT_FALSE(tovutest::exists(folder + "/INJECTED.ts")) << folder;
    EXPECT_EQ(log().find("INJECTED.ts\" "), std::string::npos) << log();
    EXPECT_NE(log().find("of the folder skipped: its path holds a double quote"), std::string::npos) << log();
}

} // namespace

namespace {

// The preview on port 9528, in a network of the test's own.
TEST_F(ChannelE2E, PreviewIsServedOnItsPortAndOutlastsTheSilenceLimit)
{
    ASSERT_TRUE(tovuEnterPrivateNetwork()) << "needs root for a private network namespace";
    std::string clip = makeClip("clip.mp4");
    config(doc("\"autoRestart\":1", chan(src("file", clip), smallTarget("udp", "udp://127.0.0.1:9"))));
    const std::string url = "http://127.0.0.1:9528/001.mp4";

    // a viewer at once
    ASSERT_EQ(tovuPreviewChannel(0), 0) << log();
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_PREVIEW);
    EXPECT_EQ(whilePolling([&] { return probeServed(url); }), "aac\nh264,320,240") << log();
    EXPECT_TRUE(stopAndWaitIdle(0)) << log();

    // a viewer 40 seconds after the start, past the 30 seconds of silence the engine allows
    ASSERT_EQ(tovuPreviewChannel(0), 0) << log();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(tovutest::pollUntil([&] {
        return tovuGetChannelState(0) != TOVU_STATE_PREVIEW ||
               std::chrono::steady_clock::now() - start >= std::chrono::seconds(40);
    }, 60000, 20) && tovuGetChannelState(0) != TOVU_STATE_PREVIEW) << log();
    ASSERT_EQ(tovuGetChannelState(0), TOVU_STATE_PREVIEW) << log();
    EXPECT_NE(log().find("waiting for a viewer at http://0.0.0.0:9528"), std::string::npos) << log();
    EXPECT_EQ(log().find("hanging"), std::string::npos) << log();
    EXPECT_EQ(whilePolling([&] { return probeServed(url); }), "aac\nh264,320,240") << log();
    EXPECT_TRUE(stopAndWaitIdle(0)) << log();
}

} // namespace
