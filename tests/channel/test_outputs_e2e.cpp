// Every target of a channel comes out as configured: channel documents of
// one to five targets of different kinds, started through channel control
// on the stand-in transcoder and the machine's ffmpeg, with every output
// read back by ffprobe (codecs, picture size, frame rate, audio channels and
// rate, bit rates, key-frame spacing, HLS segments and variants, the
// programs of a transport stream). Each row is a test of its own, so that
// the rows run side by side.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PlayList.h"
#include "fixtures/channel_docs.h"
#include "fixtures/engine_fixture.h"
#include "fixtures/media_probe.h"
#include "fixtures/netns.h"
#include "fixtures/proc_helpers.h"
#include "fixtures/stand_in_channels.h"
#include "tovu_base.h"
#include "tovu_channel.h"
#include "tovu_config.h"

namespace {

using mediaprobe::Probe;
using mediaprobe::Program;
using mediaprobe::Stream;
using testproc::run;
using tovutest::read_file;

// the seconds of media a channel streams before it is stopped and its outputs read
constexpr int kStreamSecs = 11;
// media captured from a UDP output
constexpr int kCaptureSecs = 8;
// the allowed deviation of a measured bit rate from the configured one
constexpr double kRateTolerance = 0.35;

// One target as configured.
struct Out {
    std::string format; // "udp", "hls", "file", "dash", "httpmjpg"
    std::string name;   // file name (for HLS the variant's playlist); none for UDP and MJPEG
    std::string vcodec; // configuration names
    int width, height, fps, keyFrames, videoKbps; // a bit rate of 0: none set, none checked
    std::string acodec;
    int channels, sampleRate, audioKbps;
    bool video = true, audio = true;
    bool sourceAudio = false; // channels and sample rate not set: the source's are expected
};

Out h264Aac(const std::string &format, const std::string &name, int width, int height, int fps, int keyFrames,
            int videoKbps, int channels, int sampleRate, int audioKbps)
{
    return {format, name, "h264", width, height, fps, keyFrames, videoKbps, "aac", channels, sampleRate, audioKbps};
}

Out withCodecs(Out o, const std::string &vcodec, const std::string &acodec)
{
    o.vcodec = vcodec;
    o.acodec = acodec;
    return o;
}

Out audioOff(Out o)
{
    o.audio = false;
    return o;
}

Out videoOff(Out o)
{
    o.video = false;
    return o;
}

// the same target at another address below the output folder
Out withName(Out o, const std::string &name)
{
    o.name = name;
    return o;
}

// the channel count and sample rate the source's audio has
Out sourceAudio(Out o, int channels, int sampleRate)
{
    o.channels = channels;
    o.sampleRate = sampleRate;
    o.sourceAudio = true;
    return o;
}

struct Row {
    const char *name;
    std::vector<Out> outs;
    std::string formatOptions; // elements of the output "formatOptions" array
    double hlsSegmentSecs;     // the length of every HLS segment but the last
    bool boundPrograms;        // a bound second channel, one program per input
    bool twoAudioTracks = false; // the source: a transport stream with two audio tracks
    std::string inputMap = "";   // elements of the input "map" array
};

void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

// the name ffprobe gives the codec configured by its configuration name
std::string probedCodec(const std::string &configured)
{
    if (configured == "mp2v")
        return "mpeg2video";
    if (configured == "mp2a")
        return "mp2";
    return configured;
}

// the number after "-hls_time " in the output options, 0 when none
double hlsTime(const std::string &options)
{
    size_t at = options.find("-hls_time ");
    return at == std::string::npos ? 0 : atof(options.c_str() + at + 10);
}

// the seconds between key frames the output must have
double keyFrameSpacing(const Out &o, const Row &row)
{
    if (o.format == "hls") {
        if (hlsTime(row.formatOptions) > 0)
            return hlsTime(row.formatOptions);
        if (o.keyFrames == 0)
            return 2;
    }
    return (double)o.keyFrames / o.fps;
}

std::string targetJson(const Out &o, const std::string &url)
{
    auto n = [](int v) { return std::to_string(v); };
    auto yes = [](bool b) { return std::string(b ? "true" : "false"); };
    return "{\"format\":\"" + o.format + "\",\"url\":\"" + url + "\",\"video\":{\"enable\":" + yes(o.video) +
           ",\"codec\":\"" + o.vcodec + "\",\"width\":" + n(o.width) + ",\"height\":" + n(o.height) +
           ",\"frameRate\":" + n(o.fps) + ",\"keyFrameInterval\":" + n(o.keyFrames) + ",\"bitRate\":" +
           n(o.videoKbps) + "},\"audio\":{\"enable\":" + yes(o.audio) + ",\"codec\":\"" + o.acodec +
           "\",\"channels\":" + n(o.sourceAudio ? 0 : o.channels) + ",\"sampleRate\":" +
           n(o.sourceAudio ? 0 : o.sampleRate) + ",\"bitRate\":" + n(o.audioKbps) + "}}";
}

// the durations of an HLS playlist's segments
std::vector<double> segmentLengths(const std::string &playlist)
{
    std::vector<double> lengths;
    std::string text = read_file(playlist);
    for (size_t at = 0; (at = text.find("#EXTINF:", at)) != std::string::npos; at += 8)
        lengths.push_back(atof(text.c_str() + at + 8));
    return lengths;
}

// the video and audio of one output, against its configuration
void checkStreams(const Stream *v, const Stream *a, const Out &o, double spacing)
{
    if (o.video) {
        ASSERT_NE(v, nullptr) << "no video";
        EXPECT_EQ(v->codec, probedCodec(o.vcodec));
        EXPECT_EQ(v->width, o.width);
        EXPECT_EQ(v->height, o.height);
        EXPECT_EQ(v->frameRate, std::to_string(o.fps) + "/1");
        if (o.videoKbps > 0) {
            EXPECT_NEAR(v->kbps(), o.videoKbps, o.videoKbps * kRateTolerance) << "video bit rate";
        }
        ASSERT_GE(v->keyFrames.size(), 3u) << "too few key frames to space";
        for (size_t k = 1; k < v->keyFrames.size(); k++)
            EXPECT_NEAR(v->keyFrames[k] - v->keyFrames[k - 1], spacing, 0.05) << "key frame " << k << " at " << v->keyFrames[k];
    }
    if (!o.audio)
        return;
    ASSERT_NE(a, nullptr) << "no audio";
    EXPECT_EQ(a->codec, probedCodec(o.acodec));
    EXPECT_EQ(a->channels, o.channels);
    EXPECT_EQ(a->sampleRate, o.sampleRate);
    EXPECT_NEAR(a->kbps(), o.audioKbps, o.audioKbps * kRateTolerance) << "audio bit rate";
}

// ---------------------------------------------------------------- the rows

const Out kHlsSmall = h264Aac("hls", "live.m3u8", 320, 180, 25, 50, 300, 1, 44100, 64);
const Out kUdp = h264Aac("udp", "", 256, 144, 25, 50, 500, 2, 48000, 128);

std::vector<Row> rows()
{
    const Out low = h264Aac("hls", "low.m3u8", 160, 90, 25, 50, 200, 1, 44100, 48);
    const Out high = h264Aac("hls", "high.m3u8", 320, 180, 25, 50, 500, 2, 48000, 96);
    const std::string master = "\"-master_pl_name master.m3u8\"";
    return {
        {"UdpAndHls", {kUdp, kHlsSmall}, "", 2, false},
        {"HlsAndUdp", {kHlsSmall, kUdp}, "", 2, false},
        {"FileAndHls", {h264Aac("file", "rec.ts", 256, 144, 25, 25, 400, 2, 48000, 96), kHlsSmall}, "", 2, false},
        {"HlsAndFile", {kHlsSmall, h264Aac("file", "rec.mkv", 192, 108, 25, 75, 250, 2, 32000, 64)}, "", 2, false},
        {"TwoHlsWithMasterPlaylist", {low, high}, master, 2, false},
        {"HlsUdpHls", {low, kUdp, high}, master, 2, false},
        {"FiveTargetsOfDifferentKinds",
         {h264Aac("udp", "", 256, 144, 25, 50, 500, 2, 48000, 128), h264Aac("hls", "live.m3u8", 320, 180, 25, 50, 300, 1, 44100, 64),
          withCodecs(h264Aac("file", "rec.ts", 192, 108, 15, 30, 600, 2, 48000, 128), "mp2v", "mp2a"),
          h264Aac("file", "rec.mkv", 160, 90, 10, 20, 150, 1, 22050, 32),
          h264Aac("dash", "live.mpd", 224, 126, 25, 25, 250, 2, 48000, 64)},
         "", 2, false},
        {"HlsTime2", {h264Aac("hls", "live.m3u8", 320, 180, 25, 7, 300, 2, 48000, 96)}, "\"-hls_time 2\"", 2, false},
        {"HlsTime3", {h264Aac("hls", "live.m3u8", 320, 180, 25, 7, 300, 2, 48000, 96)}, "\"-hls_time 3\"", 3, false},
        {"HlsInterval50", {h264Aac("hls", "live.m3u8", 320, 180, 25, 50, 300, 2, 48000, 96)}, "", 2, false},
        {"HlsInterval0", {h264Aac("hls", "live.m3u8", 320, 180, 25, 0, 300, 2, 48000, 96)}, "", 2, false},
        {"TwoProgramTransportStreamWithBoundChannel",
         {h264Aac("file", "progs.ts", 320, 180, 25, 50, 400, 2, 48000, 128)}, "", 0, true},
        {"SingleUdp", {h264Aac("udp", "", 320, 180, 25, 50, 400, 2, 48000, 128)}, "", 0, false},
        {"SingleFile", {h264Aac("file", "rec.mp4", 320, 180, 25, 25, 400, 1, 48000, 64)}, "", 0, false},
        // renditions without audio, and without video (an audio-only rendition for a weak link)
        {"HlsLadderWithAudioOffAndVideoOff",
         {high, audioOff(h264Aac("hls", "mute.m3u8", 240, 136, 25, 50, 300, 2, 48000, 96)),
          videoOff(h264Aac("hls", "radio.m3u8", 320, 180, 25, 50, 500, 1, 44100, 48))},
         master, 2, false},
        // a broadcast source: two audio tracks, the first 48 kHz stereo, the second 32 kHz mono
        {"HlsLadderFromTwoAudioTracks",
         {sourceAudio(low, 2, 48000), sourceAudio(high, 2, 48000)}, master, 2, false, true},
        {"HlsLadderFromTwoAudioTracksWithMap",
         {sourceAudio(low, 1, 32000), sourceAudio(high, 1, 32000)}, master, 2, false, true, "\"v:0\",\"a:1\""},
        {"TwoDashInOneFolder",
         {h264Aac("dash", "low.mpd", 160, 90, 25, 25, 200, 1, 44100, 48),
          h264Aac("dash", "high.mpd", 320, 180, 25, 25, 500, 2, 48000, 96)},
         "", 0, false},
        // HLS targets in two folders: each its own output at its own address;
        // a ladder in one folder and a target in another: the ladder folds alone
        {"TwoHlsInTwoFolders", {withName(low, "a/low.m3u8"), withName(high, "b/high.m3u8")}, "", 2, false},
        {"HlsLadderInOneFolderAndOneElsewhere",
         {withName(low, "a/low.m3u8"), withName(kHlsSmall, "b/solo.m3u8"), withName(high, "a/high.m3u8")}, master, 2,
         false},
        // on the address the page gives it, the page's own port: every frame a key frame
        {"MjpegOnItsDefaultAddress", {audioOff(withCodecs(h264Aac("httpmjpg", "", 320, 180, 25, 1, 0, 2, 48000, 0), "mjpeg", "aac"))},
         "", 0, false},
    };
}

// closes its socket when it goes
struct FdGuard {
    int fd = -1;
    ~FdGuard()
    {
        if (fd >= 0)
            close(fd);
    }
};

// a TCP socket listening on every address at port; -1 when it cannot
int listeningSocket(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// the bound channel's target in the two-program row
const Out kBoundTarget = h264Aac("file", "unused.ts", 160, 90, 25, 50, 200, 1, 44100, 48);

class OutputsE2E : public StandInChannels<::testing::TestWithParam<Row>> {
protected:
    OutputsE2E() : StandInChannels("tovu_outputs_e2e", 2, 1) {}

    std::string log() const { return read_file(dir + "/tovu_001.log"); }

    // a clip longer than the run (no loop inside it): test picture, stereo tone
    std::string makeClip(const std::string &name)
    {
        std::string file = path(name);
        std::string out = run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
                              "-i sine=frequency=440:sample_rate=48000 -t " + std::to_string(kStreamSecs + 9) +
                              " -c:v libx264 -preset ultrafast -c:a aac -ac 2 -shortest -y '" + file + "' 2>&1");
        EXPECT_TRUE(tovutest::exists(file)) << out;
        return file;
    }

    // a transport stream as broadcast carries it: one video, two audio tracks
    // told apart by their format (48 kHz stereo, then 32 kHz mono)
    std::string makeTwoAudioClip(const std::string &name)
    {
        std::string file = path(name);
        std::string out = run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
                              "-i sine=frequency=440:sample_rate=48000 -f lavfi -i sine=frequency=880:sample_rate=32000 "
                              "-t " + std::to_string(kStreamSecs + 9) + " -map 0 -map 1 -map 2 -c:v libx264 -preset "
                              "ultrafast -c:a aac -ac:a:0 2 -ac:a:1 1 -f mpegts -y '" + file + "' 2>&1");
        EXPECT_TRUE(tovutest::exists(file)) << out;
        return file;
    }


    // the one file of the folder whose name begins with stem and ends with ext
    std::string recording(const std::string &name) const
    {
        size_t dot = name.rfind('.');
        std::string stem = name.substr(0, dot) + "-", ext = name.substr(dot);
        for (const auto &e : std::filesystem::directory_iterator(dir)) {
            std::string n = e.path().filename().string();
            if (n.compare(0, stem.size(), stem) == 0 && n.size() > ext.size() &&
                n.compare(n.size() - ext.size(), ext.size(), ext) == 0)
                return e.path().string();
        }
        return std::string();
    }
};

// one UDP output read on loopback into a file while the channel streams, or
// one served output read until the channel stops
struct Capture {
    int port = -1;
    std::string file;
    bool untilStop = false;
    std::thread reader;
    std::atomic<bool> done{false};
    ~Capture()
    {
        if (reader.joinable())
            reader.join(); // the reader gives up by itself
    }
};

TEST_P(OutputsE2E, EveryOutputAsConfigured)
{
    const Row &row = GetParam();
    std::string clip = row.twoAudioTracks ? makeTwoAudioClip("clip.ts") : makeClip("clip.mp4");
    ASSERT_EQ(mkdir(path("hls").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("hls/a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("hls/b").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("dash").c_str(), 0755), 0);

    // A served output listens on the fixed ports, in a network of the test's
    // own, where the web page's port is taken as the running service takes it.
    const int kPagePort = 9527;
    FdGuard pageSocket;
    for (const Out &o : row.outs) {
        if (o.format != "httpmjpg" || pageSocket.fd >= 0)
            continue;
        ASSERT_TRUE(tovuEnterPrivateNetwork()) << "needs root for a private network namespace";
        pageSocket.fd = listeningSocket(kPagePort);
        ASSERT_GE(pageSocket.fd, 0) << "port " << kPagePort;
    }

    // the addresses, and a reader listening on each UDP port
    std::vector<std::unique_ptr<Capture>> captures(row.outs.size());
    std::string targets;
    for (size_t k = 0; k < row.outs.size(); k++) {
        const Out &o = row.outs[k];
        std::string url;
        if (o.format == "udp") {
            auto c = std::make_unique<Capture>();
            c->port = testproc::free_loopback_port(SOCK_DGRAM);
            ASSERT_GT(c->port, 0);
            c->file = path("udp" + std::to_string(k) + ".ts");
            url = "udp://127.0.0.1:" + std::to_string(c->port) + "?pkt_size=1316";
            Capture *cp = c.get();
            cp->reader = std::thread([cp] {
                run("timeout 60 ffmpeg -nostdin -v error -i 'udp://127.0.0.1:" + std::to_string(cp->port) +
                    "?fifo_size=100000' -map 0 -c copy -t " + std::to_string(kCaptureSecs) + " -f mpegts -y '" +
                    cp->file + "' 2>&1");
                cp->done = true;
            });
            captures[k] = std::move(c);
        } else if (o.format == "httpmjpg") {
            // the page's default: its own address and port; the channel's port is the next
            url = "http://0.0.0.0:" + std::to_string(kPagePort) + "/tovu_ch1";
            auto c = std::make_unique<Capture>();
            c->untilStop = true;
            c->file = path("mjpeg" + std::to_string(k) + ".mkv");
            Capture *cp = c.get();
            const std::string served = "http://127.0.0.1:" + std::to_string(kPagePort + 1) + "/1.mjpg";
            cp->reader = std::thread([cp, served] {
                // until the transcoder listens, then until it ends the stream
                run("for i in $(seq 1 120); do timeout 60 ffmpeg -nostdin -v error -f mjpeg -i '" + served +
                    "' -c copy -f matroska -y '" + cp->file + "' 2>/dev/null; [ -s '" + cp->file +
                    "' ] && break; sleep 0.25; done");
                cp->done = true;
            });
            captures[k] = std::move(c);
        } else if (o.format == "hls") {
            url = path("hls/" + o.name);
        } else if (o.format == "dash") {
            url = path("dash/" + o.name);
        } else {
            url = path(o.name);
        }
        targets += (k ? "," : "") + targetJson(o, url);
    }
    std::string output = ",\"formatOptions\":[" + row.formatOptions + "]";
    std::string input = row.inputMap.empty() ? "" : ",\"map\":[" + row.inputMap + "]";
    std::string channels = chantest::chan(chantest::src("file", clip), targets, input, output);
    if (row.boundPrograms) {
        channels = chantest::chan(chantest::src("file", clip) + ",{\"bind\":2}", targets, "",
                                  output + ",\"customOptions\":\"-program program_num=1:title='A':if=0 "
                                           "-program program_num=2:title='B':if=1\"") +
                   "," + chantest::chan(chantest::src("file", clip), targetJson(kBoundTarget, path("unused.ts")));
    }
    ASSERT_NE(tovuSetConfig(chantest::doc("\"autoRestart\":1,\"httpPort\":" + std::to_string(kPagePort), channels)
                                .c_str()),
              nullptr);

    auto joinCaptures = [&] {
        for (auto &c : captures)
            if (c && c->reader.joinable())
                c->reader.join();
    };
    int started = tovuStartChannel(0);
    if (started != 0)
        joinCaptures();
    ASSERT_EQ(started, 0) << log();
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_RUNNING);
    auto t0 = std::chrono::steady_clock::now();
    bool stillRunning = !tovutest::pollUntil([&] {
        bool captured = true;
        for (auto &c : captures)
            captured = captured && (!c || c->untilStop || c->done);
        // media time, which a loaded machine makes slower than the clock
        bool streamed = tovu_get_stream_time(0) >= kStreamSecs ||
                        std::chrono::steady_clock::now() - t0 >= std::chrono::seconds(4 * kStreamSecs);
        return tovu_get_state(0) != TOVU_STATE_RUNNING || (captured && streamed);
    }, 70000, 20);
    EXPECT_TRUE(stillRunning || tovu_get_state(0) == TOVU_STATE_RUNNING) << log();
    tovuStopChannel(0, 0);
    EXPECT_TRUE(tovutest::pollUntil([] { return tovuGetChannelState(0) == TOVU_STATE_IDLE; }, 20000, 20)) << log();
    joinCaptures();
    SCOPED_TRACE(log());

    // the folder of an HLS target below "hls/" ("" or "a/"), and how many share it
    auto folderOf = [](const Out &o) { return o.name.substr(0, o.name.rfind('/') + 1); };
    auto hlsIn = [&](const std::string &folder) {
        int n = 0;
        for (const Out &o : row.outs)
            n += o.format == "hls" && folderOf(o) == folder;
        return n;
    };
    for (size_t k = 0; k < row.outs.size(); k++) {
        const Out &o = row.outs[k];
        SCOPED_TRACE("target " + std::to_string(k) + " (" + o.format + " " + o.name + ")");
        std::string url = o.format == "udp" || o.format == "httpmjpg" ? captures[k]->file
                          : o.format == "hls"  ? path("hls/" + o.name)
                          : o.format == "dash" ? path("dash/" + o.name)
                                               : recording(o.name);
        ASSERT_FALSE(url.empty()) << "no recording " << o.name;
        Probe p = mediaprobe::probe(url);
        const std::string seen = mediaprobe::describe(p, true);
        SCOPED_TRACE(seen);
        printf("%s, target %zu (%s): %s\n", row.name, k, o.format.c_str(), seen.c_str());

        if (row.boundPrograms) {
            // one program per input, each with exactly that input's streams
            ASSERT_EQ(p.programs.size(), 2u);
            const Out *per[] = {&o, &kBoundTarget};
            for (int prog = 0; prog < 2; prog++) {
                const Program &pr = p.programs[(size_t)prog];
                SCOPED_TRACE("program " + std::to_string(pr.number));
                EXPECT_EQ(pr.number, prog + 1);
                EXPECT_EQ(pr.name, prog ? "B" : "A");
                ASSERT_EQ(pr.streams.size(), 2u);
                const Stream *v = nullptr, *a = nullptr;
                for (int index : pr.streams) {
                    const Stream *s = p.byIndex(index);
                    ASSERT_NE(s, nullptr);
                    (s->type == "video" ? v : a) = s;
                }
                checkStreams(v, a, *per[prog], keyFrameSpacing(*per[prog], row));
            }
            continue;
        }

        EXPECT_EQ(p.count("video"), o.video ? 1 : 0);
        EXPECT_EQ(p.count("audio"), o.audio ? 1 : 0);
        checkStreams(p.first("video"), p.first("audio"), o, keyFrameSpacing(o, row));

        if (o.format == "dash") {
            // the segments carry the manifest's name, so manifests side by side keep their own
            std::string stem = o.name.substr(0, o.name.rfind('.')) + "-";
            int own = 0;
            for (const auto &e : std::filesystem::directory_iterator(path("dash")))
                own += e.path().filename().string().compare(0, stem.size(), stem) == 0;
            EXPECT_GE(own, 3) << "segments named " << stem;
        }

        if (o.format == "hls") {
            std::vector<double> lengths = segmentLengths(url);
            std::string shown;
            for (double l : lengths)
                shown += " " + std::to_string(l).substr(0, 5);
            printf("%s, target %zu: segments%s\n", row.name, k, shown.c_str());
            ASSERT_GE(lengths.size(), 3u) << read_file(url);
            for (size_t s = 0; s + 1 < lengths.size(); s++)
                EXPECT_NEAR(lengths[s], row.hlsSegmentSecs, 0.1) << "segment " << s << "\n" << read_file(url);
            const std::string folder = folderOf(o);
            if (hlsIn(folder) > 1) {
                // one multi-variant output per folder: each variant in the master playlist, under
                // its picture size when it has video
                std::string master = read_file(path("hls/" + folder + "master.m3u8"));
                size_t at = master.find("\n" + o.name.substr(folder.size()) + "\n");
                ASSERT_NE(at, std::string::npos) << master;
                size_t entry = master.rfind("#EXT-X-STREAM-INF:", at);
                ASSERT_NE(entry, std::string::npos) << master;
                std::string inf = master.substr(entry, at - entry);
                std::string size = "RESOLUTION=" + std::to_string(o.width) + "x" + std::to_string(o.height);
                EXPECT_EQ(inf.find(size) != std::string::npos, o.video) << inf;
            } else if (!folder.empty()) {
                // alone in its folder: the folder holds its playlist and segments, and nothing else
                const std::string stem = o.name.substr(folder.size(), o.name.rfind('.') - folder.size());
                for (const auto &e : std::filesystem::directory_iterator(path("hls/" + folder))) {
                    const std::string n = e.path().filename().string();
                    EXPECT_TRUE(n.compare(0, stem.size(), stem) == 0 || n == "master.m3u8") << n;
                }
            }
        }
    }
    for (const char *folder : {"", "a/", "b/"}) {
        EXPECT_FALSE(tovutest::exists(path(std::string("hls/") + folder + "%v.m3u8"))) << folder;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, OutputsE2E, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

} // namespace
