// Channel start: the records built from the document, what reaches the
// transcoder, the edge cases of the mapping, and the refusals of texts that
// hold line breaks or do not fit.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <regex>
#include <string>

#include "channel_docs.h"
#include "channel_fixture.h"

using namespace chantest;

namespace {

const std::string kExample1 = doc(
    "\"autoRestart\":1",
    chan(src("file", "/media/clip.mp4"),
         "{\"format\":\"udp\",\"url\":\"udp://239.1.1.1:5000?pkt_size=1316\","
         "\"video\":{\"enable\":true,\"codec\":\"h264\",\"width\":1280,\"height\":720,\"frameRate\":25,"
         "\"keyFrameInterval\":50,\"quality\":0,\"bitRate\":2500,\"scanType\":0,\"options\":[]},"
         "\"audio\":{\"enable\":true,\"codec\":\"aac\",\"sampleRate\":48000,\"channels\":2,\"bitRate\":128,"
         "\"options\":[]},\"mux\":{\"bitRate\":3000,\"cbr\":true}}",
         ",\"formatOptions\":[\"-fflags +genpts\"],\"customOptions\":\"\",\"filters\":[],\"map\":[]",
         ",\"formatOptions\":[],\"customOptions\":\"\""));

std::string example2Target(const std::string &url, int w, int h, int kbps, int akbps, int mux, bool cbr)
{
    return "{\"format\":\"udp\",\"url\":\"" + url + "\",\"video\":{\"enable\":true,\"codec\":\"h264\",\"width\":" +
           std::to_string(w) + ",\"height\":" + std::to_string(h) + ",\"bitRate\":" + std::to_string(kbps) +
           ",\"options\":[\"-preset veryfast\"]},\"audio\":{\"enable\":true,\"codec\":\"aac\",\"bitRate\":" +
           std::to_string(akbps) + "},\"mux\":{\"bitRate\":" + std::to_string(mux) +
           ",\"cbr\":" + (cbr ? "true" : "false") + "}}";
}

std::string boundTarget(const std::string &url, int w, int h, int kbps, int akbps)
{
    return "{\"format\":\"udp\",\"url\":\"" + url + "\",\"video\":{\"enable\":true,\"codec\":\"h264\",\"width\":" +
           std::to_string(w) + ",\"height\":" + std::to_string(h) + ",\"bitRate\":" + std::to_string(kbps) +
           "},\"audio\":{\"enable\":true,\"codec\":\"mp2a\",\"bitRate\":" + std::to_string(akbps) +
           "},\"mux\":{\"bitRate\":999,\"cbr\":true}}";
}

const std::string kExample2 = doc(
    "\"autoRestart\":1,\"altInput\":\"default\"",
    plainChan("zero") + "," +
        chan(src("udp", "udp://0.0.0.0:6000") + ",{\"bind\":3}",
             example2Target("udp://239.1.1.2:5000", 1920, 1080, 4000, 128, 12000, true) + "," +
                 example2Target("udp://239.1.1.3:5000", 1280, 720, 2000, 96, 6000, false)) +
        "," +
        chan(src("file", "/media/b.ts"),
             boundTarget("udp://10.0.0.1:1", 720, 576, 1500, 192) + "," +
                 boundTarget("udp://10.0.0.2:2", 640, 360, 800, 128),
             ",\"map\":[\"v:0\",\"a:0\"]", ",\"formatOptions\":[\"-mpegts_flags system_b\"]"));

class ChannelStart : public ChannelTest {};

TEST_F(ChannelStart, WorkedExampleOneFileToUdp)
{
    config(kExample1);
    capture();
    ASSERT_EQ(tovuStartChannel(0), 0);
    ASSERT_EQ(calls().size(), 1u);
    const Call &c = lastCall();
    EXPECT_EQ(c.channel, 0);
    EXPECT_EQ(c.nb_sources, 1);
    EXPECT_EQ(c.nb_targets, 1);
    EXPECT_EQ(c.mux_mode, 0);
    EXPECT_EQ(c.b_preview, 0);

    const SourceCopy &s = c.sources[0];
    EXPECT_EQ(s.format, TOVU_FORMAT_GENERAL);
    EXPECT_EQ(s.url, Text("/media/clip.mp4"));
    EXPECT_EQ(s.alt_url, Text(""));
    EXPECT_EQ(s.video_param, Text(""));
    EXPECT_EQ(s.param, Text("-stream_loop -1 -fflags +genpts "));
    EXPECT_TRUE(s.filters.empty());
    EXPECT_TRUE(s.filters_null);
    EXPECT_EQ(s.map, Text(""));

    const TargetCopy &t = c.targets[0][0];
    EXPECT_EQ(t.rec.format, TOVU_FORMAT_UDP);
    EXPECT_EQ(t.rec.mux_kbps, 3000);
    EXPECT_TRUE(t.rec.video.b_enable);
    EXPECT_EQ(t.rec.video.codec, TOVU_VIDEO_H264);
    EXPECT_EQ(t.rec.video.width, 1280);
    EXPECT_EQ(t.rec.video.height, 720);
    EXPECT_FLOAT_EQ(t.rec.video.fps, 25.0f);
    EXPECT_EQ(t.rec.video.key_frame_intv, 50);
    EXPECT_EQ(t.rec.video.quality, 0);
    EXPECT_EQ(t.rec.video.kbps, 2500);
    EXPECT_EQ(t.rec.video.interlacing, 0);
    EXPECT_EQ(t.video_param, std::nullopt);
    EXPECT_TRUE(t.rec.audio.b_enable);
    EXPECT_EQ(t.rec.audio.codec, TOVU_AUDIO_AAC);
    EXPECT_EQ(t.rec.audio.nb_channels, 2);
    EXPECT_EQ(t.rec.audio.sample_rate, 48000);
    EXPECT_EQ(t.rec.audio.kbps, 128);
    EXPECT_EQ(t.rec.audio.param, nullptr);
    EXPECT_EQ(t.url, Text("udp://239.1.1.1:5000?pkt_size=1316"));
    EXPECT_EQ(t.param, Text("-bitrate 3000k "));

    // and through the engine, what the transcoder reads
    _tovuSetChannelTranscoder(nullptr);
    ASSERT_EQ(init(0), 0);
    ASSERT_EQ(tovuStartChannel(0), 0);
    EXPECT_EQ(handedOver(), "-stream_loop -1 -fflags +genpts  -re -i \"/media/clip.mp4\" -c:a aac -ac:a 2 -ar:a 48000 -b:a 128k "
              "-c:v libx264 -preset:v faster -b:v 2500k -maxrate:v 2500k -nal-hrd cbr -bufsize:v 2500k "
              "-s:v 1280x720 -r:v 25 -g:v 50 -muxrate 3000k -bitrate 3000k  -c:s copy -f mpegts "
              "udp://239.1.1.1:5000?pkt_size=1316 ");
}

TEST_F(ChannelStart, WorkedExampleTwoBoundChannel)
{
    config(kExample2);
    capture();
    ASSERT_EQ(tovuStartChannel(1), 0);
    const Call &c = lastCall();
    ASSERT_EQ(c.nb_sources, 2);
    ASSERT_EQ(c.nb_targets, 2);
    EXPECT_EQ(c.channel, 1);

    const SourceCopy &s0 = c.sources[0];
    EXPECT_EQ(s0.format, TOVU_FORMAT_UDP);
    EXPECT_EQ(s0.url, Text("udp://0.0.0.0:6000"));
    EXPECT_EQ(s0.alt_url, Text("default"));
    EXPECT_EQ(s0.param, Text(""));
    EXPECT_EQ(s0.map, Text("-map 0"));
    const SourceCopy &s1 = c.sources[1];
    EXPECT_EQ(s1.format, TOVU_FORMAT_GENERAL);
    EXPECT_EQ(s1.url, Text("/media/b.ts"));
    EXPECT_EQ(s1.alt_url, Text("default"));
    EXPECT_EQ(s1.param, Text("-stream_loop -1 "));
    EXPECT_EQ(s1.map, Text("-map 1:v:0 -map 1:a:0 "));

    struct Row {
        int j, i, w, h, kbps, codec, akbps, mux;
        Text vparam, url, param;
    };
    const Row rows[] = {
        {0, 0, 1920, 1080, 4000, TOVU_AUDIO_AAC, 128, 12000, Text("-preset:0 veryfast "),
         Text("udp://239.1.1.2:5000"), Text("-bitrate 12000k ")},
        {1, 0, 1280, 720, 2000, TOVU_AUDIO_AAC, 96, 6000, Text("-preset:0 veryfast "), Text("udp://239.1.1.3:5000"),
         Text("")},
        {0, 1, 720, 576, 1500, TOVU_AUDIO_MP2, 192, 0, std::nullopt, Text("udp://239.1.1.2:5000"),
         Text("-bitrate 12000k ")},
        {1, 1, 640, 360, 800, TOVU_AUDIO_MP2, 128, 0, std::nullopt, Text("udp://239.1.1.3:5000"),
         Text("")},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("target " + std::to_string(r.j) + ", source " + std::to_string(r.i));
        const TargetCopy &t = c.targets[r.j][r.i];
        EXPECT_EQ(t.rec.video.width, r.w);
        EXPECT_EQ(t.rec.video.height, r.h);
        EXPECT_EQ(t.rec.video.kbps, r.kbps);
        EXPECT_EQ(t.rec.audio.codec, r.codec);
        EXPECT_EQ(t.rec.audio.kbps, r.akbps);
        EXPECT_EQ(t.rec.mux_kbps, r.mux);
        EXPECT_EQ(t.video_param, r.vparam);
        EXPECT_EQ(t.url, r.url);
        EXPECT_EQ(t.param, r.param);
    }
    // the bound source's records share the very texts of source 0's
    for (int j = 0; j < 2; j++) {
        EXPECT_EQ(c.targets[j][1].rec.url, c.targets[j][0].rec.url);
        EXPECT_EQ(c.targets[j][1].rec.param, c.targets[j][0].rec.param);
    }

    _tovuSetChannelTranscoder(nullptr);
    ASSERT_EQ(init(0), 0);
    ASSERT_EQ(tovuStartChannel(1), 0);
    EXPECT_EQ(handedOver(), "-i \"udp://0.0.0.0:6000\" -stream_loop -1  -re -i \"/media/b.ts\" "
              // output 1: source 0, then the bound source 1, then the muxer with source 1's options
              "-map 0 -c:a:0 aac -b:a:0 128k -c:v:0 libx264 -preset:0 veryfast  -preset:v:0 faster "
              "-b:v:0 4000k -maxrate:v:0 4000k -nal-hrd cbr -bufsize:v:0 4000k -s:v:0 1920x1080 "
              "-map 1:v:0 -map 1:a:0  -c:a:1 mp2 -b:a:1 192k -c:v:1 libx264 -preset:v:1 faster "
              "-b:v:1 1500k -maxrate:v:1 1500k -nal-hrd cbr -bufsize:v:1 1500k -s:v:1 720x576 "
              "-bitrate 12000k  -c:s copy -f mpegts udp://239.1.1.2:5000 "
              // output 2
              "-map 0 -c:a:0 aac -b:a:0 96k -c:v:0 libx264 -preset:0 veryfast  -preset:v:0 faster "
              "-b:v:0 2000k -maxrate:v:0 2000k -nal-hrd cbr -bufsize:v:0 2000k -s:v:0 1280x720 "
              "-map 1:v:0 -map 1:a:0  -c:a:1 mp2 -b:a:1 128k -c:v:1 libx264 -preset:v:1 faster "
              "-b:v:1 800k -maxrate:v:1 800k -nal-hrd cbr -bufsize:v:1 800k -s:v:1 640x360 "
              "-c:s copy -f mpegts udp://239.1.1.3:5000 ");
}

} // namespace
