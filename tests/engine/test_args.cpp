#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/comma_locale.h"
#include "fixtures/temp_dir.h"
#include "tovu_engine_internal.h"

namespace {

char *C(const char *s)
{
    return const_cast<char *>(s);
}

TOVU_SOURCE source(const char *url, TOVU_FORMAT format = TOVU_FORMAT_GENERAL)
{
    TOVU_SOURCE s{};
    s.format = format;
    s.url = C(url);
    return s;
}

TOVU_TARGET target(TOVU_FORMAT format, const char *url)
{
    TOVU_TARGET t{};
    t.format = format;
    t.url = C(url);
    return t;
}

void with_h264(TOVU_TARGET &t)
{
    t.video.b_enable = 1;
    t.video.codec = TOVU_VIDEO_H264;
}

void with_aac(TOVU_TARGET &t)
{
    t.audio.b_enable = 1;
    t.audio.codec = TOVU_AUDIO_AAC;
}

// The target of the worked example: AAC 2 x 48 kHz 128k, H.264 720p25 2000k
TOVU_TARGET example_target()
{
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234");
    with_aac(t);
    t.audio.nb_channels = 2;
    t.audio.sample_rate = 48000;
    t.audio.kbps = 128;
    with_h264(t);
    t.video.width = 1280;
    t.video.height = 720;
    t.video.fps = 25;
    t.video.key_frame_intv = 50;
    t.video.kbps = 2000;
    return t;
}

class ArgsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = g_cfg;
        memset(&g_cfg, 0, sizeof g_cfg);
        ASSERT_FALSE(scratch_.path().empty());
        dir_ = scratch_.path() + "/";
        snprintf(g_cfg.log_path, sizeof g_cfg.log_path, "%s", dir_.c_str());
    }
    void TearDown() override { g_cfg = saved_; }

    // targets[j] is output j as made from each source
    int compose(const std::vector<TOVU_SOURCE> &sources,
                const std::vector<std::vector<TOVU_TARGET>> &targets, std::string *out,
                int mux_mode = 0, int channel_id = 0)
    {
        std::vector<const TOVU_TARGET *> rows;
        for (const auto &row : targets)
            rows.push_back(row.data());
        return tovu_compose_args(channel_id, sources.data(), (int)sources.size(), rows.data(),
                                 (int)rows.size(), mux_mode, out);
    }
    std::string compose_ok(const std::vector<TOVU_SOURCE> &sources,
                           const std::vector<std::vector<TOVU_TARGET>> &targets,
                           int mux_mode = 0)
    {
        std::string out;
        EXPECT_EQ(compose(sources, targets, &out, mux_mode), 0);
        return out;
    }
    static std::string output(const TOVU_TARGET &t, int *ret, int channel_id = 0)
    {
        std::string s;
        *ret = _tovu_make_output_args(channel_id, 0, 1, 0, &t, &s);
        return s;
    }

    TOVU_GLOBAL saved_;
    tovutest::TempDir scratch_{"tovu_args"};
    std::string dir_;
};

} // namespace

// ---------------------------------------------------------------- whole strings

TEST_F(ArgsTest, WorkedExampleOneAndTwoSources)
{
    g_cfg.log_level = 32;
    TOVU_TARGET t = example_target();
    EXPECT_EQ(compose_ok({source("/media/a.mp4")}, {{t}}),
              "-v 32 -re -i \"/media/a.mp4\" -c:a aac -ac:a 2 -ar:a 48000 -b:a 128k -c:v libx264 "
              "-preset:v faster -b:v 2000k -maxrate:v 2000k -nal-hrd cbr -bufsize:v 2000k "
              "-s:v 1280x720 -r:v 25 -g:v 50 -c:s copy -f mpegts udp://239.0.0.1:1234 ");

    auto pair = [](int i) {
        std::string x = ":" + std::to_string(i);
        return "-c:a" + x + " aac -ac:a" + x + " 2 -ar:a" + x + " 48000 -b:a" + x + " 128k -c:v" +
               x + " libx264 -preset:v" + x + " faster -b:v" + x + " 2000k -maxrate:v" + x +
               " 2000k -nal-hrd cbr -bufsize:v" + x + " 2000k -s:v" + x + " 1280x720 -r:v" + x +
               " 25 -g:v" + x + " 50 ";
    };
    EXPECT_EQ(compose_ok({source("/media/a.mp4"), source("/media/b.mp4")}, {{t, t}}),
              "-v 32 -re -i \"/media/a.mp4\" -re -i \"/media/b.mp4\" " + pair(0) + pair(1) +
                  "-c:s copy -f mpegts udp://239.0.0.1:1234 ");

    // logging off: no "-v" piece; no outputs: the inputs alone
    g_cfg.log_level = 0;
    EXPECT_EQ(compose_ok({source("udp://239.1.1.1:5000")}, {}), "-i \"udp://239.1.1.1:5000\" ");
}

TEST_F(ArgsTest, LayoutOfSourcesOutputsAndMaps)
{
    TOVU_SOURCE a = source("/media/a.mp4"), b = source("/media/b.mp4");
    a.map = C("-map 0:v:0 -map 0:a:0");
    b.map = C("-map 1:v:0");
    char *filters[] = {C("yadif")};
    a.nb_filters = b.nb_filters = 1;
    a.filters = b.filters = filters;
    TOVU_TARGET u = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234"), r = target(TOVU_FORMAT_RTMP, "rtmp://h/app/s");
    with_h264(u);
    with_h264(r);
    const std::string v = "-c:v libx264 -preset:v faster -crf:v 23 ";

    // one source, two outputs: each output its own filter part and map
    EXPECT_EQ(compose_ok({a}, {{u}, {r}}),
              "-re -i \"/media/a.mp4\" -filter:v \"yadif\" -map 0:v:0 -map 0:a:0 -an " + v +
                  "-c:s copy -f mpegts udp://239.0.0.1:1234 -filter:v \"yadif\" -map 0:v:0 -map "
                  "0:a:0 -an " + v + "-f flv \"rtmp://h/app/s\" ");

    // two sources, two outputs: no filter part, maps before each pair
    auto sv = [](int i) {
        std::string x = ":" + std::to_string(i);
        return "-an -c:v" + x + " libx264 -preset:v" + x + " faster -crf:v" + x + " 23 ";
    };
    EXPECT_EQ(compose_ok({a, b}, {{u, u}, {r, r}}),
              "-re -i \"/media/a.mp4\" -re -i \"/media/b.mp4\" -map 0:v:0 -map 0:a:0 " + sv(0) +
                  "-map 1:v:0 " + sv(1) + "-c:s copy -f mpegts udp://239.0.0.1:1234 " +
                  "-map 0:v:0 -map 0:a:0 " + sv(0) + "-map 1:v:0 " + sv(1) +
                  "-f flv \"rtmp://h/app/s\" ");

    // mux mode 2: every input, only the first source's pairs, with filters
    EXPECT_EQ(compose_ok({a, b}, {{u, u}}, 2),
              "-re -i \"/media/a.mp4\" -re -i \"/media/b.mp4\" -filter:v \"yadif\" -map 0:v:0 "
              "-map 0:a:0 -an " + v + "-c:s copy -f mpegts udp://239.0.0.1:1234 ");
}

TEST_F(ArgsTest, SeveralHlsOutputsCarryTheirIndex)
{
    TOVU_TARGET first = target(TOVU_FORMAT_HLS, ""), last = target(TOVU_FORMAT_HLS, "/hls/x.m3u8");
    with_h264(first);
    first.video.kbps = 3000;
    first.param = C("-hls_time 4");
    with_h264(last);
    last.video.kbps = 1000;
    last.param = C("-hls_time 4");
    EXPECT_EQ(compose_ok({source("udp://239.1.1.1:5000")}, {{first}, {last}}),
              "-i \"udp://239.1.1.1:5000\" -c:v:0 libx264 -preset:v:0 faster -b:v:0 3000k "
              "-maxrate:v:0 3000k -nal-hrd cbr -bufsize:v:0 3000k "
              "-force_key_frames:v:0 \"expr:gte(t,n_forced*4)\" -hls_time 4 "
              "-c:v:1 libx264 -preset:v:1 faster -b:v:1 1000k -maxrate:v:1 1000k -nal-hrd cbr "
              "-bufsize:v:1 1000k -force_key_frames:v:1 \"expr:gte(t,n_forced*4)\" -hls_time 4 "
              "-f hls -y \"/hls/x.m3u8\" ");
}

// Stream options of an HLS output carry an index only inside a fold (HLS
// outputs side by side, all but the last without address), and there the
// variant's; an HLS output beside other outputs names its streams plainly.
TEST_F(ArgsTest, HlsStreamIndexIsTheVariantsWithinItsFold)
{
    auto hls = [](const char *url, int kbps) {
        TOVU_TARGET t = target(TOVU_FORMAT_HLS, url);
        with_h264(t);
        t.video.kbps = kbps;
        t.video.key_frame_intv = 50;
        return t;
    };
    TOVU_TARGET udp = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234");
    with_h264(udp);
    const std::string in = "-i \"udp://239.1.1.1:5000\" ";
    const std::string u = "-an -c:v libx264 -preset:v faster -crf:v 23 -c:s copy -f mpegts udp://239.0.0.1:1234 ";
    auto v = [](const std::string &x, int kbps) {
        std::string k = std::to_string(kbps) + "k ";
        // inside a fold a kind that is off is simply not mapped: no "-an"
        return (x.empty() ? "-an -c:v" : "-c:v") + x + " libx264 -preset:v" + x + " faster -b:v" + x + " " + k + "-maxrate:v" + x +
               " " + k + "-nal-hrd cbr -bufsize:v" + x + " " + k + "-g:v" + x + " 50 ";
    };
    const std::string mux = "-f hls -y \"/h/%v.m3u8\" ";

    // beside a UDP output, before it and after it: no index
    EXPECT_EQ(compose_ok({source("udp://239.1.1.1:5000")}, {{udp}, {hls("/h/a.m3u8", 300)}}),
              in + u + v("", 300) + "-f hls -y \"/h/a.m3u8\" ");
    EXPECT_EQ(compose_ok({source("udp://239.1.1.1:5000")}, {{hls("/h/a.m3u8", 300)}, {udp}}),
              in + v("", 300) + "-f hls -y \"/h/a.m3u8\" " + u);
    // a fold after another output counts its variants from 0
    EXPECT_EQ(compose_ok({source("udp://239.1.1.1:5000")},
                         {{udp}, {hls("", 300)}, {hls("", 600)}, {hls("/h/%v.m3u8", 900)}}),
              in + u + v(":0", 300) + v(":1", 600) + v(":2", 900) + mux);
    // two HLS outputs with addresses of their own are two plain outputs
    EXPECT_EQ(compose_ok({source("udp://239.1.1.1:5000")}, {{hls("/h/a.m3u8", 300)}, {hls("/h/b.m3u8", 600)}}),
              in + v("", 300) + "-f hls -y \"/h/a.m3u8\" " + v("", 600) + "-f hls -y \"/h/b.m3u8\" ");
}

// A fold's streams are numbered by kind: a variant without audio or without
// video takes no number of that kind, and writes no "-an"/"-vn", which would
// take the kind from the whole folded output. The source's map is left to
// the carrier, which maps each variant's streams; an output beside the fold
// still gets it.
TEST_F(ArgsTest, HlsFoldNumbersEachKindAndLeavesTheMapToItsCarrier)
{
    auto hls = [](const char *url, bool video, bool audio, int kbps) {
        TOVU_TARGET t = target(TOVU_FORMAT_HLS, url);
        if (video) {
            with_h264(t);
            t.video.kbps = kbps;
            t.video.key_frame_intv = 50;
        }
        if (audio) {
            with_aac(t);
            t.audio.kbps = kbps / 10;
        }
        return t;
    };
    auto a = [](int i, int kbps) { return "-c:a:" + std::to_string(i) + " aac -b:a:" + std::to_string(i) + " " +
                                          std::to_string(kbps / 10) + "k "; };
    auto v = [](int i, int kbps) {
        std::string x = ":" + std::to_string(i), k = std::to_string(kbps) + "k ";
        return "-c:v" + x + " libx264 -preset:v" + x + " faster -b:v" + x + " " + k + "-maxrate:v" + x + " " + k +
               "-nal-hrd cbr -bufsize:v" + x + " " + k + "-g:v" + x + " 50 ";
    };
    TOVU_SOURCE src = source("udp://239.1.1.1:5000");
    src.map = C("-map 0:v:0 -map 0:a:1");
    TOVU_TARGET udp = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234");
    with_aac(udp);
    TOVU_TARGET carrier = hls("/h/%v.m3u8", true, true, 900);
    carrier.param = C("-map 0:v:0 -map 0:a:1 -map 0:v:0 -map 0:a:1 -var_stream_map \"v:0,a:0 v:1 a:1 v:2,a:2\"");

    // both kinds; video only; audio only; both: the audio of the last is a:2
    EXPECT_EQ(compose_ok({src}, {{udp},
                                 {hls("", true, true, 300)},
                                 {hls("", true, false, 600)},
                                 {hls("", false, true, 400)},
                                 {carrier}}),
              "-i \"udp://239.1.1.1:5000\" -map 0:v:0 -map 0:a:1 -c:a aac -vn -c:s copy -f mpegts "
              "udp://239.0.0.1:1234 " +
                  a(0, 300) + v(0, 300) + v(1, 600) + a(1, 400) + a(2, 900) + v(2, 900) + carrier.param +
                  " -f hls -y \"/h/%v.m3u8\" ");
}

// ---------------------------------------------------------------- inputs

TEST_F(ArgsTest, InputParts)
{
    struct Case {
        TOVU_FORMAT format;
        const char *url, *param, *vparam;
        const char *expect;
    };
    const Case cases[] = {
        {TOVU_FORMAT_GENERAL, "/media/clip.mp4", nullptr, nullptr, "-re -i \"/media/clip.mp4\" "},
        {TOVU_FORMAT_UDP, "udp://239.1.1.1:5000", nullptr, nullptr, "-i \"udp://239.1.1.1:5000\" "},
        {TOVU_FORMAT_HTTP, "http://h/live/index.m3u8", nullptr, nullptr,
         "-re -i \"http://h/live/index.m3u8\" "},
        {TOVU_FORMAT_RTSP, "RTSPT://cam/stream", nullptr, nullptr,
         "-rtsp_transport tcp -i \"rtsp://cam/stream\" "},
        {TOVU_FORMAT_GENERAL, "/media/clip.mp4", "-stream_loop -1", "-hwaccel cuda",
         "-stream_loop -1 -hwaccel cuda -re -i \"/media/clip.mp4\" "},
        {TOVU_FORMAT_DEVICE, "/dev/video0", nullptr, nullptr, "-f v4l2 -i /dev/video0 "},
        {TOVU_FORMAT_DEVICE, "/dev/video0?video_size=1280x720&framerate=30", "-thread_queue_size 64",
         "", "-thread_queue_size 64 -f v4l2 -video_size 1280x720 -framerate 30 -i /dev/video0 "},
        {TOVU_FORMAT_DECKLINK, "DeckLink Duo (1)", nullptr, nullptr,
         "-f decklink -i \"DeckLink Duo (1)\" "},
        {TOVU_FORMAT_NDI, "HOST (Cam 1)", nullptr, nullptr, "-f libndi_newtek -i \"HOST (Cam 1)\" "},
        {TOVU_FORMAT_YTDLP, "https://video.example/watch?v=1", nullptr, nullptr,
         "-re -i \"https://video.example/watch?v=1\" "},
        {TOVU_FORMAT_NULL, "srt://h:9000", nullptr, nullptr, "-i \"srt://h:9000\" "},
    };
    for (const Case &c : cases) {
        TOVU_SOURCE s = source(c.url, c.format);
        s.param = C(c.param);
        s.video.param = C(c.vparam);
        std::string out = "-v 32 "; // what stands before is left as it is
        EXPECT_EQ(_tovu_make_input_args(0, &s, &out), 0) << c.url;
        EXPECT_EQ(out, std::string("-v 32 ") + c.expect) << c.url;
    }

    for (const char *url : {"", (const char *)nullptr}) {
        TOVU_SOURCE s = source(url, TOVU_FORMAT_UDP);
        std::string out;
        EXPECT_EQ(_tovu_make_input_args(0, &s, &out), TOVU_ERR_NO_SOURCE_URL);
    }
}

TEST_F(ArgsTest, RtpInputWritesItsSdpFile)
{
    TOVU_SOURCE s = source(nullptr, TOVU_FORMAT_RTP);
    std::string out;
    EXPECT_EQ(_tovu_make_input_args(0, &s, &out), TOVU_ERR_RTP_INPUT); // no local port

    s.video.codec = TOVU_VIDEO_H264;
    s.video.rtp.usSrcPort = 5000;
    s.audio.codec = TOVU_AUDIO_G711A;
    s.audio.rtp.usSrcPort = 5002;
    s.param = C("-protocol_whitelist file,udp,rtp");
    out.clear();
    ASSERT_EQ(_tovu_make_input_args(2, &s, &out), 0);
    const std::string sdp = dir_ + "tovu_003_in.sdp";
    EXPECT_EQ(out, "-protocol_whitelist file,udp,rtp -i \"" + sdp + "\" ");
    std::ifstream in(sdp);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "v=0\no=- 0 0 IN IPV4 0.0.0.0\ns=Tovumedia\nt=0 0\n"
                          "c=IN IP4 0.0.0.0\nm=video 5000 RTP/AVP 96\na=rtpmap:96 h264/90000\n"
                          "c=IN IP4 0.0.0.0\nm=audio 5002 RTP/AVP 97\na=rtpmap:97 g711a/8000/1\n\n");

    // two RTP sources of one channel share the file
    EXPECT_EQ(compose_ok({s, s}, {}), "-protocol_whitelist file,udp,rtp -i \"" + dir_ +
                                          "tovu_001_in.sdp\" -protocol_whitelist file,udp,rtp -i \"" +
                                          dir_ + "tovu_001_in.sdp\" ");

    // a codec without a name, or a log folder that is not there
    s.video.codec = TOVU_CODEC_NULL;
    out.clear();
    EXPECT_EQ(_tovu_make_input_args(0, &s, &out), TOVU_ERR_RTP_INPUT);
    s.video.codec = TOVU_VIDEO_H264;
    snprintf(g_cfg.log_path, sizeof g_cfg.log_path, "%snone/", dir_.c_str());
    EXPECT_EQ(_tovu_make_input_args(0, &s, &out), TOVU_ERR_RTP_INPUT);
}

// ---------------------------------------------------------------- filters and failover

TEST_F(ArgsTest, FailoverGraphs)
{
    const std::string caption = "[1]drawtext=text=Powered by tovul:fontsize=12:fontcolor=black:y=h-th[dt1]; ";
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234");
    with_aac(t);
    with_h264(t);
    const std::string streams = "-c:a aac -c:v libx264 -preset:v faster -crf:v 23 ";
    const std::string mux = "-c:s copy -f mpegts udp://239.0.0.1:1234 ";

    TOVU_SOURCE s = source("udp://239.1.1.1:5000");
    s.alt_url = C("default");
    EXPECT_EQ(compose_ok({s}, {{t}}),
              "-i \"udp://239.1.1.1:5000\" -re -f lavfi -i pal100bars -re -f lavfi -i aevalsrc=0 "
              "-lavfi:v \"" + caption + "[dt1][0:v]scale=rw:rh[v1]; [0:v][v1]streamselect\" "
              "-lavfi:a \"astreamselect\" " + streams + mux);

    // "Default" is a file name; user filters feed the primary video
    s.alt_url = C("Default");
    char *filters[] = {C("yadif"), C("scale=640:360")};
    s.nb_filters = 2;
    s.filters = filters;
    EXPECT_EQ(compose_ok({s}, {{t}}),
              "-i \"udp://239.1.1.1:5000\" -re -stream_loop -1 -i \"Default\" -re -f lavfi -i "
              "aevalsrc=0 -lavfi:v \"yadif, scale=640\\:360[fv0]; " + caption +
                  "[dt1][fv0]scale=rw:rh[v1]; [fv0][v1]streamselect\" -lavfi:a \"astreamselect\" " +
                  streams + mux);

    // hardware decoding: frames come down first, and no "-s:v" anywhere
    s.nb_filters = 0;
    s.alt_url = C("/media/slate.mp4");
    s.video.param = C("-hwaccel cuda");
    TOVU_TARGET sized = t;
    sized.video.width = 1280;
    sized.video.height = 720;
    EXPECT_EQ(compose_ok({s}, {{sized}}),
              "-hwaccel cuda -i \"udp://239.1.1.1:5000\" -re -stream_loop -1 -i \"/media/slate.mp4\" "
              "-re -f lavfi -i aevalsrc=0 -lavfi:v \"hwdownload, format=nv12[fv0]; " + caption +
                  "[dt1][fv0]scale=rw:rh[v1]; [fv0][v1]streamselect\" -lavfi:a \"astreamselect\" " +
                  streams + mux);

    // video off with the built-in alternate: only the audio side
    s.video.param = nullptr;
    s.alt_url = C("default");
    TOVU_TARGET audio_only = t;
    audio_only.video.b_enable = 0;
    EXPECT_EQ(compose_ok({s}, {{audio_only}}),
              "-i \"udp://239.1.1.1:5000\" -re -f lavfi -i aevalsrc=0 -lavfi:a \"astreamselect\" "
              "-c:a aac -vn " + mux);
}

TEST_F(ArgsTest, NoFailoverWhereItCannotApply)
{
    char *filters[] = {C("yadif")};
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
    with_h264(t);
    const std::string v = "-an -c:v libx264 -preset:v faster -crf:v 23 ";

    TOVU_SOURCE file = source("/media/a.mp4");
    file.alt_url = C("default");
    file.nb_filters = 1;
    file.filters = filters;
    std::string out;
    _tovu_make_filter_args(&file, 1, &t, 1, &out);
    EXPECT_EQ(out, "-filter:v \"yadif\" "); // a local file: the user's filters only

    TOVU_SOURCE live = file;
    live.url = C("udp://239.1.1.1:5000");
    out.clear();
    _tovu_make_filter_args(&live, 1, &t, 2, &out); // two outputs
    EXPECT_EQ(out, "-filter:v \"yadif\" ");

    for (int copy_video : {1, 0}) { // a copied stream: nothing at all
        TOVU_TARGET c = t;
        (copy_video ? c.video.codec : c.audio.codec) = TOVU_CODEC_COPY;
        out.clear();
        _tovu_make_filter_args(&live, 1, &c, 1, &out);
        EXPECT_EQ(out, "");
    }

    TOVU_TARGET no_video = t;
    no_video.video.b_enable = 0;
    out.clear();
    _tovu_make_filter_args(&file, 1, &no_video, 1, &out);
    EXPECT_EQ(out, "");

    // a second source: no filter part for any output
    EXPECT_EQ(compose_ok({live, file}, {{t, t}}),
              "-i \"udp://239.1.1.1:5000\" -re -i \"/media/a.mp4\" -an -c:v:0 libx264 -preset:v:0 "
              "faster -crf:v:0 23 -an -c:v:1 libx264 -preset:v:1 faster -crf:v:1 23 ");
}

// A filter is written for the graph's two readings: ':' and '\' escaped, an
// apostrophe escaped outside quotes keeps its backslash for the options'
// reading, and a double quote leaves and re-enters the double-quoted word.
TEST(StrcpyEsc, WritesFiltersForTheGraphsTwoReadings)
{
    const struct {
        const char *filter, *written;
    } cases[] = {
        {"a\\b:c::", "a\\\\b\\:c\\:\\:"},
        {"scale=640:360", "scale=640\\:360"},
        {"drawtext=text='a:b, c':x=0", "drawtext=text='a\\:b, c'\\:x=0"},
        // an apostrophe between quoted parts
        {"drawtext=text='Bob'\\''s news'", "drawtext=text='Bob'\\\\\\''s news'"},
        // inside quotes a backslash is literal and does not escape the closing quote
        {"text='C:\\':x=1", "text='C\\:\\\\'\\:x=1"},
        // an escaped backslash escapes nothing after it
        {"a\\\\'b'", "a\\\\\\\\'b'"},
        {"drawtext=text='say \"hi\"'", "drawtext=text='say \"'\"'\"hi\"'\"'\"'"},
        {"x=\\\"", "x=\\\\\"'\"'\""},
    };
    for (const auto &c : cases) {
        std::string s = "x";
        strcpy_esc(&s, c.filter);
        EXPECT_EQ(s, std::string("x") + c.written) << c.filter;
    }
    std::string s = "x";
    strcpy_esc(&s, nullptr);
    strcpy_esc(nullptr, "a");
    EXPECT_EQ(s, "x");
}

// ---------------------------------------------------------------- outputs

TEST_F(ArgsTest, VideoRateControlByCodec)
{
    snprintf(g_cfg.omx_path, sizeof g_cfg.omx_path, "/opt/omx/core.so");
    struct Case {
        TOVU_CODEC codec;
        int quality, kbps;
        const char *param;
        const char *expect; // after "-an "
    };
    const Case cases[] = {
        {TOVU_VIDEO_H264, 50, 0, nullptr, "-c:v libx264 -preset:v faster -crf:v 25.8 "},
        {TOVU_VIDEO_NV264, 50, 0, nullptr, "-c:v h264_nvenc -preset:v default -qmin 25.8 -qmax 51.0 "},
        {TOVU_VIDEO_H264, 50, 3000, nullptr,
         "-c:v libx264 -preset:v faster -crf:v 25.8 -b:v 3000k -maxrate:v 3000k -nal-hrd cbr "
         "-bufsize:v 3000k "},
        {TOVU_VIDEO_H264, 0, 0, "-preset:v veryfast", "-c:v libx264 -preset:v veryfast -crf:v 23 "},
        {TOVU_VIDEO_NV265, 0, 4000, nullptr,
         "-c:v hevc_nvenc -preset:v default -b:v 4000k -maxrate:v 4000k -cbr 1 -bufsize:v 4000k "},
        {TOVU_VIDEO_NVAV1, 0, 500, nullptr,
         "-c:v av1_nvenc -preset:v default -b:v 500k -maxrate:v 500k -bufsize:v 500k "},
        {TOVU_VIDEO_AV1, 0, 1000, nullptr,
         "-c:v libsvtav1 -preset:v 13 -b:v 1000k -svtav1-params rc=2:pred-struct=1 -bufsize:v 1000k "},
        {TOVU_VIDEO_AV1, 0, 0, nullptr, "-c:v libsvtav1 -preset:v 13 "},
        {TOVU_VIDEO_H265, 0, 0, nullptr, "-c:v libx265 -preset:v faster -crf:v 28 "},
        {TOVU_VIDEO_VP9, 0, 0, nullptr, "-c:v libvpx-vp9 -cpu-used:v 3 -crf:v 32 "},
        {TOVU_VIDEO_VP8, 99, 0, "-cpu-used 5", "-c:v libvpx -cpu-used 5 -crf:v 0.5 "},
        {TOVU_VIDEO_QSV264, 0, 0, nullptr, "-c:v h264_qsv -preset:v medium "},
        {TOVU_VIDEO_QSVVP9, 0, 0, nullptr, "-c:v vp9_qsv -qmin:v 2 "},
        {TOVU_VIDEO_QSVAV1, 0, 0, nullptr, "-c:v av1_qsv "},
        {TOVU_VIDEO_AMF265, 0, 0, nullptr, "-c:v hevc_amf -qmin:v 2 "},
        {TOVU_VIDEO_AMFAV1, 1, 0, nullptr, "-c:v av1_amf -qmin 51.0 -qmax 51.0 "},
        {TOVU_VIDEO_OMX264, 0, 0, "-preset:v x", "-c:v omx_enc_avc -preset:v x -omx_core \"/opt/omx/core.so\" -crf:v 23 "},
        {TOVU_VIDEO_OMX265, 99, 0, nullptr, "-c:v omx_enc_hevc -omx_core \"/opt/omx/core.so\" -qmin 0.5 -qmax 51.0 "},
        {TOVU_VIDEO_OMXMP2V, 0, 0, nullptr, "-c:v omx_enc_mp2v -omx_core \"/opt/omx/core.so\" -qmin:v 2 "},
        {TOVU_VIDEO_PRORES, 0, 0, nullptr, "-c:v prores_ks -qmin:v 2 "},
        {TOVU_VIDEO_H263P, 0, 0, nullptr, "-c:v h263p -flags +aic -umv 1 -aiv 1 -qmin:v 2 "},
        {TOVU_VIDEO_MP4, 0, 800, nullptr, "-c:v mpeg4 -b:v 800k -maxrate:v 800k -bufsize:v 800k "},
    };
    for (const Case &c : cases) {
        TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
        t.video.b_enable = 1;
        t.video.codec = c.codec;
        t.video.quality = c.quality;
        t.video.kbps = c.kbps;
        t.video.param = C(c.param);
        int ret;
        EXPECT_EQ(output(t, &ret), std::string("-an ") + c.expect) << c.codec;
        EXPECT_EQ(ret, 0);
    }
    g_cfg.omx_path[0] = '\0';
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
    t.video.b_enable = 1;
    t.video.codec = TOVU_VIDEO_OMX264;
    int ret;
    EXPECT_EQ(output(t, &ret), "-an -c:v omx_enc_avc -crf:v 23 ");
}

TEST_F(ArgsTest, PictureFrameRateKeyFramesInterlacing)
{
    const std::string head = "-an -c:v libx264 -preset:v faster -crf:v 23 ";
    struct Case {
        const char *name;
        std::function<void(TOVU_TARGET &)> set;
        const char *expect; // after head
    };
    const Case cases[] = {
        {"4x4", [](TOVU_TARGET &t) { t.video.width = t.video.height = 4; }, "-s:v 8x8 "},
        {"no height", [](TOVU_TARGET &t) { t.video.width = 1280; }, ""},
        {"ntsc film", [](TOVU_TARGET &t) { t.video.fps = 23.976f; }, "-r:v ntsc-film "},
        {"ntsc", [](TOVU_TARGET &t) { t.video.fps = 29.97f; }, "-r:v ntsc "},
        {"59.94", [](TOVU_TARGET &t) { t.video.fps = 59.94f; }, "-r:v 60000/1001 "},
        {"12.5", [](TOVU_TARGET &t) { t.video.fps = 12.5f; }, "-r:v 12.5 "},
        {"interval 0", [](TOVU_TARGET &t) { t.video.key_frame_intv = 0; }, ""},
        {"interval 50", [](TOVU_TARGET &t) { t.video.key_frame_intv = 50; }, "-g:v 50 "},
        {"top first", [](TOVU_TARGET &t) { t.video.interlacing = TOVU_INTERLACE_TOP_FIRST; },
         "-flags:v +ilme+ildct -top:v 1 -x264opts:v tff=1 "},
        {"bottom first", [](TOVU_TARGET &t) { t.video.interlacing = TOVU_INTERLACE_BOTTOM_FIRST; },
         "-flags:v +ilme+ildct -top:v 0 -x264opts:v bff=1 "},
        {"deinterlace", [](TOVU_TARGET &t) { t.video.interlacing = TOVU_INTERLACE_DEINT; }, ""},
        // HLS: a key frame at every segment (in seconds), else the interval
        // in frames, else every 2 seconds
        {"hls segment time",
         [](TOVU_TARGET &t) {
             t.format = TOVU_FORMAT_HLS;
             t.param = C("-hls_time 6.5 -hls_list_size 3");
             t.video.key_frame_intv = 50;
         },
         "-force_key_frames:v \"expr:gte(t,n_forced*6.5)\" -hls_time 6.5 -hls_list_size 3 "},
        {"hls segment time 2",
         [](TOVU_TARGET &t) {
             t.format = TOVU_FORMAT_HLS;
             t.param = C("-hls_list_size 3 -hls_time   2");
         },
         "-force_key_frames:v \"expr:gte(t,n_forced*2)\" -hls_list_size 3 -hls_time   2 "},
        {"hls default",
         [](TOVU_TARGET &t) { t.format = TOVU_FORMAT_HLS; }, "-force_key_frames:v \"expr:gte(t,n_forced*2)\" "},
        {"hls segment time not a plain number",
         [](TOVU_TARGET &t) {
             t.format = TOVU_FORMAT_HLS;
             t.param = C("-hls_time 0:04");
             t.video.key_frame_intv = 75;
         },
         "-g:v 75 -hls_time 0:04 "},
        {"hls segment time 0",
         [](TOVU_TARGET &t) {
             t.format = TOVU_FORMAT_HLS;
             t.param = C("-hls_time 0");
         },
         "-force_key_frames:v \"expr:gte(t,n_forced*2)\" -hls_time 0 "},
        {"udp ignores a segment time",
         [](TOVU_TARGET &t) {
             t.param = C("-hls_time 4");
             t.video.key_frame_intv = 0;
         },
         "-hls_time 4 "},
        {"hls keeps interval",
         [](TOVU_TARGET &t) {
             t.format = TOVU_FORMAT_HLS;
             t.video.key_frame_intv = 48;
         },
         "-g:v 48 "},
    };
    for (const Case &c : cases) {
        TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
        with_h264(t);
        c.set(t);
        int ret;
        EXPECT_EQ(output(t, &ret), head + c.expect) << c.name;
        EXPECT_EQ(ret, 0) << c.name;
    }

    // "-hwaccel " anywhere before suppresses the size
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
    with_h264(t);
    t.video.width = 640;
    t.video.height = 360;
    std::string s = "-hwaccel vaapi -i x ";
    EXPECT_EQ(_tovu_make_output_args(0, 0, 1, 0, &t, &s), 0);
    EXPECT_EQ(s, "-hwaccel vaapi -i x " + head);
}

TEST_F(ArgsTest, HwaccelInAnEarlierOutputSuppressesLaterSizes)
{
    TOVU_TARGET first = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1");
    with_h264(first);
    first.video.param = C("-hwaccel_output_format cuda -hwaccel cuda");
    TOVU_TARGET second = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:2");
    with_h264(second);
    second.video.width = 640;
    second.video.height = 360;
    std::string out = compose_ok({source("udp://239.1.1.1:5000")}, {{first}, {second}});
    EXPECT_EQ(out.find("-s:v"), std::string::npos) << out;

    first.video.param = C("-hwaccel_output_format cuda");
    out = compose_ok({source("udp://239.1.1.1:5000")}, {{first}, {second}});
    EXPECT_NE(out.find("-s:v 640x360 "), std::string::npos) << out;
}

// The looks for "-hwaccel " find it at either end of the string, and only whole.
TEST_F(ArgsTest, HwaccelIsFoundAtTheStringsEnds)
{
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
    with_h264(t);
    t.video.width = 640;
    t.video.height = 360;
    struct Case { const char *before; bool sized; };
    const Case cases[] = {
        {"-hwaccel ", false}, {"-i x -hwaccel ", false}, {"-i x -hwaccel", true},
        {"-i x -hwaccel_device 0 ", true}, {"hwaccel -i x ", true}, {"", true},
    };
    for (const Case &c : cases) {
        std::string s = c.before;
        ASSERT_EQ(_tovu_make_output_args(0, 0, 1, 0, &t, &s), 0);
        EXPECT_EQ(s.find("-s:v 640x360 ") != std::string::npos, c.sized) << c.before;
    }
}

TEST_F(ArgsTest, AudioAndCopyStreams)
{
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
    with_aac(t);
    t.audio.nb_channels = 2;
    t.audio.sample_rate = 44100;
    t.audio.kbps = 96;
    t.audio.param = C("-never-written");
    int ret;
    EXPECT_EQ(output(t, &ret), "-c:a aac -ac:a 2 -ar:a 44100 -b:a 96k -vn ");

    t.audio.codec = TOVU_CODEC_COPY;
    t.video.b_enable = 1;
    t.video.codec = TOVU_CODEC_COPY;
    t.video.param = C("-tune zerolatency");
    t.video.width = 1280;
    t.video.height = 720;
    t.video.fps = 25;
    t.video.key_frame_intv = 50;
    t.video.kbps = 2000;
    t.video.interlacing = TOVU_INTERLACE_TOP_FIRST;
    EXPECT_EQ(output(t, &ret), "-c:a copy -c:v copy ");
    EXPECT_EQ(ret, 0);

    TOVU_TARGET none = target(TOVU_FORMAT_UDP, "");
    EXPECT_EQ(output(none, &ret), "-an -vn ");
}

TEST_F(ArgsTest, DeckLinkAndNdiOutputs)
{
    TOVU_TARGET t = target(TOVU_FORMAT_DECKLINK, "DeckLink Duo (1)");
    with_aac(t);
    t.audio.nb_channels = 6;
    with_h264(t);
    t.video.width = 1920;
    t.video.height = 1080;
    t.video.fps = 29.97f;
    t.video.key_frame_intv = 50;
    t.video.kbps = 5000;
    t.video.interlacing = TOVU_INTERLACE_TOP_FIRST;
    int ret;
    EXPECT_EQ(output(t, &ret), "-ac 2 -ar 48000 -pix_fmt uyvy422 -s:v 1920x1080 -r:v ntsc "
                               "-field_order tt -f decklink \"DeckLink Duo (1)\" ");
    t.video.interlacing = TOVU_INTERLACE_BOTTOM_FIRST;
    t.video.codec = TOVU_CODEC_COPY;
    EXPECT_EQ(output(t, &ret), "-ac 2 -ar 48000 -pix_fmt uyvy422 -f decklink \"DeckLink Duo (1)\" ");

    TOVU_TARGET n = target(TOVU_FORMAT_NDI, "Studio A");
    with_h264(n);
    n.video.width = 1280;
    n.video.height = 720;
    n.video.key_frame_intv = 50;
    EXPECT_EQ(output(n, &ret), "-an -pix_fmt uyvy422 -s:v 1280x720 -f libndi_newtek \"Studio A\" ");

    // the encoder is checked although it is not written
    t.video.codec = TOVU_CODEC_NULL;
    output(t, &ret);
    EXPECT_EQ(ret, TOVU_ERR_NO_ENCODER);
}

TEST_F(ArgsTest, MuxerByFormat)
{
    snprintf(g_cfg.omx_path, sizeof g_cfg.omx_path, "/opt/omx/core.so");
    struct Case {
        TOVU_FORMAT format;
        const char *url;
        int channel_id;
        const char *expect; // after "-an -vn "
    };
    const Case cases[] = {
        {TOVU_FORMAT_GENERAL, "/rec/out.ts", 0, "-y \"/rec/out.ts\" "},
        {TOVU_FORMAT_GENERAL, "ftp://h/out.ts", 0, "\"ftp://h/out.ts\" "},
        {TOVU_FORMAT_RTMP, "rtmp://h/app/s", 0, "-f flv \"rtmp://h/app/s\" "},
        {TOVU_FORMAT_UDP, "udp://239.0.0.1:1234", 0, "-c:s copy -f mpegts udp://239.0.0.1:1234 "},
        {TOVU_FORMAT_UDP, "RTP://239.0.0.1:5000", 0, "-c:s copy -f rtp_mpegts RTP://239.0.0.1:5000 "},
        {TOVU_FORMAT_RTPTS, "rtp://239.0.0.1:5000", 0, "-c:s copy -f rtp_mpegts rtp://239.0.0.1:5000 "},
        {TOVU_FORMAT_RTPTS, "udp://239.0.0.1:5000", 0, "-c:s copy -f mpegts udp://239.0.0.1:5000 "},
        {TOVU_FORMAT_HTTP, "http://0.0.0.0:9528/live", 0, "-c:s copy -f mpegts http://0.0.0.0:9528/live "},
        {TOVU_FORMAT_HTML5, "http://0.0.0.0:9530/ch", 4, "-movflags dash -f mp4 http://0.0.0.0:9530/ch/5.mp4 "},
        {TOVU_FORMAT_OMXTS, "udp://239.0.0.1:1", 0,
         "-c:s copy -f omx_ts_mux -omx_core \"/opt/omx/core.so\" udp://239.0.0.1:1 "},
        {TOVU_FORMAT_HLS, "/var/www/x.m3u8", 0, "-f hls -y \"/var/www/x.m3u8\" "},
        {TOVU_FORMAT_DASH, "/var/www/x.mpd", 0,
         "-init_seg_name \"x-init-stream$RepresentationID$.$ext$\" "
         "-media_seg_name \"x-chunk-stream$RepresentationID$-$Number%05d$.$ext$\" -f dash -y \"/var/www/x.mpd\" "},
        {TOVU_FORMAT_RTSP, "rtsp://h:8554/s", 0, "-f rtsp rtsp://h:8554/s "},
        {TOVU_FORMAT_HTTP_MJPEG, "http://0.0.0.0:9531/m", 11, "-f mjpeg http://0.0.0.0:9531/m/12.mjpg "},
    };
    for (const Case &c : cases) {
        TOVU_TARGET t = target(c.format, c.url);
        int ret;
        EXPECT_EQ(output(t, &ret, c.channel_id), std::string("-an -vn ") + c.expect) << c.url;
        EXPECT_EQ(ret, 0) << c.url;
    }

    // mux rate and output options come before the muxer
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234");
    t.mux_kbps = 5000;
    t.param = C("-pkt_size 1316");
    int ret;
    EXPECT_EQ(output(t, &ret), "-an -vn -muxrate 5000k -pkt_size 1316 -c:s copy -f mpegts udp://239.0.0.1:1234 ");
}

// Two DASH manifests in one folder must not write the same segment files.
TEST_F(ArgsTest, DashSegmentsAreNamedAfterTheManifest)
{
    auto dash = [](const char *url, const char *param = nullptr) {
        TOVU_TARGET t = target(TOVU_FORMAT_DASH, url);
        t.param = C(param);
        int ret;
        std::string s = output(t, &ret);
        EXPECT_EQ(ret, 0);
        return s;
    };
    const std::string init = "-init_seg_name \"", media = "-media_seg_name \"";
    const std::string initTail = "-init-stream$RepresentationID$.$ext$\" ";
    const std::string mediaTail = "-chunk-stream$RepresentationID$-$Number%05d$.$ext$\" ";
    EXPECT_EQ(dash("/d/low.mpd"), "-an -vn " + init + "low" + initTail + media + "low" + mediaTail +
                                      "-f dash -y \"/d/low.mpd\" ");
    // the name up to its last '.', a '$' of it doubled; a name without '.' whole
    EXPECT_EQ(dash("http://h/live/a.b$1.mpd"), "-an -vn " + init + "a.b$$1" + initTail + media + "a.b$$1" +
                                                   mediaTail + "-f dash -y \"http://h/live/a.b$1.mpd\" ");
    EXPECT_EQ(dash("manifest"), "-an -vn " + init + "manifest" + initTail + media + "manifest" + mediaTail +
                                    "-f dash -y \"manifest\" ");
    // names the options choose are theirs; no file name: the muxer's own names
    EXPECT_EQ(dash("/d/x.mpd", "-init_seg_name i_$RepresentationID$.m4s"),
              "-an -vn -init_seg_name i_$RepresentationID$.m4s " + media + "x" + mediaTail + "-f dash -y \"/d/x.mpd\" ");
    EXPECT_EQ(dash("/d/", "-media_seg_name m.m4s -init_seg_name i.m4s"),
              "-an -vn -media_seg_name m.m4s -init_seg_name i.m4s -f dash -y \"/d/\" ");
    EXPECT_EQ(dash("/d/.mpd"), "-an -vn -f dash -y \"/d/.mpd\" ");
}

TEST_F(ArgsTest, OutputErrors)
{
    int ret;
    TOVU_TARGET file = target(TOVU_FORMAT_GENERAL, "");
    with_h264(file);
    EXPECT_EQ(output(file, &ret), "");
    EXPECT_EQ(ret, TOVU_ERR_NO_TARGET_URL);

    // -10 comes after the stream options; without address there is no muxer
    for (TOVU_FORMAT f : {TOVU_FORMAT_YTDLP, TOVU_FORMAT_DEVICE, (TOVU_FORMAT)17, TOVU_FORMAT_NULL}) {
        TOVU_TARGET t = target(f, "https://video.example/x");
        with_h264(t);
        EXPECT_EQ(output(t, &ret), "-an -c:v libx264 -preset:v faster -crf:v 23 ") << f;
        EXPECT_EQ(ret, TOVU_ERR_BAD_TARGET_FORMAT) << f;
        t.url = C("");
        output(t, &ret);
        EXPECT_EQ(ret, 0) << f;
    }

    TOVU_TARGET bad_audio = target(TOVU_FORMAT_UDP, "udp://h:1");
    bad_audio.audio.b_enable = 1;
    bad_audio.audio.codec = TOVU_CODEC_NULL;
    output(bad_audio, &ret);
    EXPECT_EQ(ret, TOVU_ERR_NO_ENCODER);
    TOVU_TARGET bad_video = target(TOVU_FORMAT_UDP, "udp://h:1");
    bad_video.video.b_enable = 1;
    bad_video.video.codec = (TOVU_CODEC)13;
    output(bad_video, &ret);
    EXPECT_EQ(ret, TOVU_ERR_NO_ENCODER);
}

TEST_F(ArgsTest, RtpOutputs)
{
    const std::string sdp = "-sdp_file \"" + dir_ + "tovu_001_out.sdp\" ";
    TOVU_TARGET t = target(TOVU_FORMAT_RTP, "rtp://239.0.0.1:5000");
    with_aac(t);
    t.audio.nb_channels = 2;
    t.audio.sample_rate = 48000;
    t.audio.rtp.ulDstIP = inet_addr("239.0.0.1");
    t.audio.rtp.usDstPort = 5002;
    with_h264(t);
    t.video.rtp.ulDstIP = inet_addr("239.0.0.1");
    t.video.rtp.usDstPort = 5000;
    t.video.rtp.usSrcPort = 6000;
    t.param = C("-ttl 4");
    t.mux_kbps = 3000;
    int ret;
    EXPECT_EQ(output(t, &ret),
              "-c:a aac -ac:a 2 -ar:a 48000 -vn -f rtp -flags:a +global_header -rtpflags +latm "
              "rtp://239.0.0.1:5002 -c:v libx264 -preset:v faster -crf:v 23 -an -f rtp -flags "
              "-global_header -ttl 4 rtp://239.0.0.1:5000?localport=6000 -muxrate 3000k " + sdp);

    // out-of-band headers, H.263, audio without destination
    t.audio.rtp.usDstPort = 0;
    t.video.codec = TOVU_VIDEO_H263;
    t.video.rtp.globalHeader = OUT_OF_BAND;
    t.video.rtp.usSrcPort = 0;
    t.param = nullptr;
    t.mux_kbps = 0;
    EXPECT_EQ(output(t, &ret), "-an -c:v h263 -qmin:v 2 -an -f rtp -flags +global_header -rtpflags "
                               "+rfc2190 rtp://239.0.0.1:5000 " + sdp);

    // audio only: no "-an" for disabled video's counterpart, the local port kept
    TOVU_TARGET a = target(TOVU_FORMAT_RTP, "rtp://x");
    a.audio.b_enable = 1;
    a.audio.codec = TOVU_AUDIO_MP3;
    a.audio.rtp.ulDstIP = inet_addr("10.0.0.2");
    a.audio.rtp.usDstPort = 5002;
    a.audio.rtp.usSrcPort = 7002;
    a.param = C("-ttl 4"); // not written without video
    EXPECT_EQ(output(a, &ret), "-c:a libmp3lame -vn -f rtp rtp://10.0.0.2:5002?localport=7002 -vn " + sdp);

    // video copy still gets its RTP stream; no audio: nothing for it
    TOVU_TARGET v = target(TOVU_FORMAT_RTP, "rtp://x");
    v.video.b_enable = 1;
    v.video.codec = TOVU_CODEC_COPY;
    EXPECT_EQ(output(v, &ret), "-c:v copy -an -f rtp -flags -global_header rtp://0.0.0.0:0 " + sdp);
}

TEST_F(ArgsTest, SrtMuxerLooksAtItsOwnOutput)
{
    TOVU_TARGET plain = target(TOVU_FORMAT_SRT, "srt://h:9000");
    TOVU_TARGET named = plain;
    named.param = C("-f mpegts");
    const TOVU_SOURCE live = source("udp://239.1.1.1:5000");
    const std::string in = "-i \"udp://239.1.1.1:5000\" ";

    g_cfg.log_level = 32;
    EXPECT_EQ(compose_ok({live}, {{plain}}), "-v 32 " + in + "-an -vn -f mpegts srt://h:9000 ");
    EXPECT_EQ(compose_ok({live}, {{named}}), "-v 32 " + in + "-an -vn -f mpegts srt://h:9000 ");
    // the second SRT output gets its muxer although the first one wrote "-f"
    EXPECT_EQ(compose_ok({live}, {{plain}, {plain}}),
              "-v 32 " + in + "-an -vn -f mpegts srt://h:9000 -an -vn -f mpegts srt://h:9000 ");
    EXPECT_EQ(compose_ok({live}, {{named}, {named}}),
              "-v 32 " + in + "-an -vn -f mpegts srt://h:9000 -an -vn -f mpegts srt://h:9000 ");
    // an input that names its muxer is not taken for the output's
    TOVU_SOURCE dev = source("/dev/video0", TOVU_FORMAT_DEVICE);
    EXPECT_EQ(compose_ok({dev}, {{plain}}), "-v 32 -f v4l2 -i /dev/video0 -an -vn -f mpegts srt://h:9000 ");

    // logging off: the string opens with the input's "-i"
    g_cfg.log_level = 0;
    EXPECT_EQ(compose_ok({live}, {{named}}), in + "-an -vn -f mpegts srt://h:9000 ");
}

TEST_F(ArgsTest, CompositionErrorsAndCapacity)
{
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234");
    with_h264(t);
    std::string out = "stale";
    EXPECT_EQ(compose({source("/a.mp4"), source("")}, {{t, t}}, &out), TOVU_ERR_NO_SOURCE_URL);
    EXPECT_EQ(out, "");
    TOVU_TARGET ytdlp = target(TOVU_FORMAT_YTDLP, "https://video.example/x");
    EXPECT_EQ(compose({source("/a.mp4")}, {{t}, {ytdlp}}, &out), TOVU_ERR_BAD_TARGET_FORMAT);
    EXPECT_EQ(out, "");
    EXPECT_EQ(tovu_compose_args(0, nullptr, 0, nullptr, 0, 0, &out), TOVU_ERR_NO_SOURCE_URL);

    // the longest string passes; one character more is refused, not cut
    const size_t room = TOVU_ARG_STR_MAX - strlen("-re -i \"\" ");
    std::string url(room, 'a');
    url[0] = '/';
    EXPECT_EQ(compose({source(url.c_str())}, {}, &out), 0);
    EXPECT_EQ(out.size(), (size_t)TOVU_ARG_STR_MAX);
    url += 'b';
    EXPECT_EQ(compose({source(url.c_str())}, {}, &out), TOVU_ERR_ARGS_TOO_LONG);
    EXPECT_EQ(out, "");
}

// Numbers of the records outside their usual range: the quality is held to
// 100 (no overflow in its arithmetic), a frame rate that is not finite is
// unset, a slot number at the end of the int range still names its files.
TEST_F(ArgsTest, NumbersOutsideTheirRange)
{
    struct Case {
        TOVU_CODEC codec;
        int quality;
        const char *expect; // after "-an -c:v <encoder> <preset>"
    };
    const Case cases[] = {
        {TOVU_VIDEO_H264, 50000000, "-crf:v 0.0 "},
        {TOVU_VIDEO_H264, INT_MAX, "-crf:v 0.0 "},
        {TOVU_VIDEO_H264, 100, "-crf:v 0.0 "},
        {TOVU_VIDEO_NV264, 101, "-qmin 0.0 -qmax 51.0 "},
        {TOVU_VIDEO_H264, INT_MIN, "-preset:v faster "}, // no quality piece
    };
    for (const Case &c : cases) {
        TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
        t.video.b_enable = 1;
        t.video.codec = c.codec;
        t.video.quality = c.quality;
        int ret;
        std::string out = output(t, &ret);
        EXPECT_EQ(ret, 0);
        EXPECT_EQ(out.substr(out.size() - strlen(c.expect)), c.expect) << c.quality << ": " << out;
    }

    for (float fps : {HUGE_VALF, -HUGE_VALF, NAN}) {
        TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
        with_h264(t);
        t.video.fps = fps;
        int ret;
        EXPECT_EQ(output(t, &ret).find("-r:v"), std::string::npos) << fps;
    }

    TOVU_TARGET t = target(TOVU_FORMAT_HTML5, "http://0.0.0.0:9528");
    with_h264(t);
    int ret;
    EXPECT_NE(output(t, &ret, INT_MAX).find("/2147483648.mp4 "), std::string::npos);
}

// A line feed or carriage return in any text would cut the one-line
// hand-over: the composition refuses it, whichever text holds it.
TEST_F(ArgsTest, LineBreaksAreRefused)
{
    struct Case {
        const char *name;
        std::function<void(TOVU_SOURCE &, TOVU_TARGET &)> set;
    };
    const Case cases[] = {
        {"source url", [](TOVU_SOURCE &s, TOVU_TARGET &) { s.url = C("/a.ts\n-y /etc/x"); }},
        {"input options", [](TOVU_SOURCE &s, TOVU_TARGET &) { s.param = C("-re\r"); }},
        {"source video options", [](TOVU_SOURCE &s, TOVU_TARGET &) { s.video.param = C("\n"); }},
        {"alternate input", [](TOVU_SOURCE &s, TOVU_TARGET &) {
             s.url = C("udp://239.0.0.1:1"); s.alt_url = C("/b.ts\n"); }},
        {"map", [](TOVU_SOURCE &s, TOVU_TARGET &) { s.map = C("-map 0\n"); }},
        {"filter", [](TOVU_SOURCE &s, TOVU_TARGET &) {
             static char *f[] = {C("yadif"), C("scale=1:1\r\n")};
             s.filters = f; s.nb_filters = 2; }},
        {"target url", [](TOVU_SOURCE &, TOVU_TARGET &t) { t.url = C("udp://h:1\n"); }},
        {"output options", [](TOVU_SOURCE &, TOVU_TARGET &t) { t.param = C("-f\nmpegts"); }},
        {"video options", [](TOVU_SOURCE &, TOVU_TARGET &t) { t.video.param = C("-x\r"); }},
        {"rtp format parameters", [](TOVU_SOURCE &s, TOVU_TARGET &) {
             s.format = TOVU_FORMAT_RTP; s.video.rtp.usSrcPort = 5000;
             s.video.codec = TOVU_VIDEO_H264;
             snprintf(s.video.rtp.szFmtp, sizeof s.video.rtp.szFmtp, "a=1\na=2"); }},
    };
    for (const Case &c : cases) {
        TOVU_SOURCE src = source("/a.ts");
        TOVU_TARGET t = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234");
        with_h264(t);
        c.set(src, t);
        std::string out = "stale";
        EXPECT_EQ(compose({src}, {{t}}, &out), TOVU_ERR_LINE_BREAK) << c.name;
        EXPECT_EQ(out, "") << c.name;
    }
    struct stat st;
    EXPECT_NE(stat((dir_ + "tovu_001_in.sdp").c_str(), &st), 0); // refused before it was written

    // the engine's own settings reach the string too
    snprintf(g_cfg.omx_path, sizeof g_cfg.omx_path, "/opt/core.so\n");
    TOVU_TARGET t = target(TOVU_FORMAT_OMXTS, "udp://239.0.0.1:1234");
    std::string out;
    EXPECT_EQ(compose({source("/a.ts")}, {{t}}, &out), TOVU_ERR_LINE_BREAK);
}

// A double quote in a text that the string puts between double quotes would
// end the quoted word and hand the rest over as options: refused as a line
// break is. Texts that go in as they are (options, addresses of formats that
// are not quoted) may hold quotes.
TEST_F(ArgsTest, QuotesInQuotedTextsAreRefused)
{
    struct Case {
        const char *name;
        bool refused;
        std::function<void(TOVU_SOURCE &, TOVU_TARGET &)> set;
    };
    const Case cases[] = {
        {"file name", true, [](TOVU_SOURCE &s, TOVU_TARGET &) {
             s.url = C("/m/b.ts\" -f lavfi -i \"testsrc=d=1\" -map 1:v -y \"INJECTED.ts"); }},
        {"ndi source", true, [](TOVU_SOURCE &s, TOVU_TARGET &) { s.format = TOVU_FORMAT_NDI; s.url = C("a\"b"); }},
        {"alternate input", true, [](TOVU_SOURCE &s, TOVU_TARGET &) {
             s.url = C("udp://239.0.0.1:1"); s.alt_url = C("/b\".ts"); }},
        // a filter's double quote is written so that it keeps the word whole
        {"filter", false, [](TOVU_SOURCE &s, TOVU_TARGET &) {
             static char *f[] = {C("drawtext=text=\"x\"")};
             s.filters = f; s.nb_filters = 1; }},
        {"file target", true, [](TOVU_SOURCE &, TOVU_TARGET &t) { t.format = TOVU_FORMAT_GENERAL; t.url = C("/o/a\".ts"); }},
        {"hls target", true, [](TOVU_SOURCE &, TOVU_TARGET &t) { t.format = TOVU_FORMAT_HLS; t.url = C("/h/\"x.m3u8"); }},
        {"rtmp target", true, [](TOVU_SOURCE &, TOVU_TARGET &t) { t.format = TOVU_FORMAT_RTMP; t.url = C("rtmp://h/a\""); }},
        {"input options", false, [](TOVU_SOURCE &s, TOVU_TARGET &) { s.param = C("-metadata title=\"a b\" "); }},
        {"output options", false, [](TOVU_SOURCE &, TOVU_TARGET &t) { t.param = C("-metadata title=\"a b\" "); }},
        {"device source", false, [](TOVU_SOURCE &s, TOVU_TARGET &) { s.format = TOVU_FORMAT_DEVICE; s.url = C("/dev/\"v"); }},
        {"udp target", false, [](TOVU_SOURCE &, TOVU_TARGET &t) { t.url = C("udp://239.0.0.1:1234?x=\"1\""); }},
    };
    for (const Case &c : cases) {
        TOVU_SOURCE src = source("/a.ts");
        TOVU_TARGET t = target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234");
        with_h264(t);
        c.set(src, t);
        std::string out = "stale";
        int ret = compose({src}, {{t}}, &out);
        if (c.refused) {
            EXPECT_EQ(ret, TOVU_ERR_LINE_BREAK) << c.name;
            EXPECT_EQ(out, "") << c.name;
        } else {
            EXPECT_EQ(ret, 0) << c.name;
            EXPECT_NE(out.find('"'), std::string::npos) << c.name;
        }
    }
}

TEST(ParseOpt, ReadsTheNumberAfterTheOption)
{
    struct Case {
        const char *str;
        int expect;
    };
    const Case cases[] = {
        {"-hls_time 6", 6},          {"-hls_time   12 -x 3", 12},
        {"-hls_time 6.5", 6},        {"-a 1 -hls_time 4 -hls_time 9", 4},
        {"-hls_time x", -1},         {"-hls_list_size 3", -1},
        {"-hls_time 99999999999", -1}, {"", -1},
    };
    for (const Case &c : cases) {
        int v = -1;
        _parse_opt(c.str, "-hls_time ", &v);
        EXPECT_EQ(v, c.expect) << c.str;
    }
    int v = -1;
    _parse_opt(nullptr, "-hls_time ", &v);
    EXPECT_EQ(v, -1);
}

TEST_F(ArgsTest, NumbersIgnoreTheLocale)
{
    CommaLocale comma;
    if (!comma.ok())
        GTEST_SKIP() << "no locale with a decimal comma could be had";
    TOVU_TARGET t = target(TOVU_FORMAT_UDP, "");
    t.video.b_enable = 1;
    t.video.codec = TOVU_VIDEO_NV264;
    t.video.quality = 50;
    t.video.fps = 12.5f;
    int ret;
    std::string out = output(t, &ret);
    EXPECT_EQ(out, "-an -c:v h264_nvenc -preset:v default -qmin 25.8 -qmax 51.0 -r:v 12.5 ");
}
