// Channel start: the records built from the document, what reaches the
// transcoder, the edge cases of the mapping, and the refusals of texts that
// hold line breaks or do not fit.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "fixtures/channel_docs.h"
#include "fixtures/channel_fixture.h"

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

namespace {

// One edge case: a document (with @DIR@ standing for the test's folder), the
// channel started, the result expected and what the records must show.
struct EdgeCase {
    const char *name;
    std::string document;
    int channel;
    int result;
    std::function<void(const Call &)> check; // null: the engine must not be called
};

std::string replaceAll(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

const std::string kUdp = tgt("udp", "udp://127.0.0.1:1");
const std::string kUdp2 = tgt("udp", "udp://127.0.0.1:2");

std::vector<EdgeCase> edgeCases()
{
    const std::string stamp = "-[0-9]{8}-[0-9]{6}";
    return {
        {"loop for a plain file path with autoRestart 1", doc("\"autoRestart\":1", chan(src("file", "/m/a.ts"), kUdp)),
         0, 0, [](const Call &c) { EXPECT_EQ(c.sources[0].param, Text("-stream_loop -1 ")); }},
        {"no loop with autoRestart 0", doc("\"autoRestart\":0", chan(src("file", "/m/a.ts"), kUdp)), 0, 0,
         [](const Call &c) { EXPECT_EQ(c.sources[0].param, Text("")); }},
        {"no loop without autoRestart (no global)",
         "{\"channels\":[" + chan(src("file", "/m/a.ts"), kUdp) + "]}", 0, 0,
         [](const Call &c) { EXPECT_EQ(c.sources[0].param, Text("")); }},
        {"no loop for a URL", doc("\"autoRestart\":1", chan(src("file", "ftp://h/a.ts"), kUdp)), 0, 0,
         [](const Call &c) { EXPECT_EQ(c.sources[0].param, Text("")); }},
        {"no loop for another format", doc("\"autoRestart\":1", chan(src("udp", "/m/a.ts"), kUdp)), 0, 0,
         [](const Call &c) { EXPECT_EQ(c.sources[0].param, Text("")); }},
        {"folder: the playlist's current file, no loop",
         doc("\"autoRestart\":1", chan(src("file", "@DIR@/media"), kUdp, ",\"formatOptions\":[\"-re\"]")), 0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.sources[0].url, Text("@DIR@/media/a.ts"));
             EXPECT_EQ(c.sources[0].param, Text("-re "));
         }},
        {"folder without a file gives -7", doc("", chan(src("file", "@DIR@/empty"), kUdp)), 0, -7, nullptr},
        {"own source, bind 1 (itself), bind 3: two records",
         doc("", chan(src("udp", "udp://own:1") + ",{\"bind\":1},{\"bind\":3}", kUdp) + "," + plainChan("b") + "," +
                     plainChan("c")),
         0, 0,
         [](const Call &c) {
             ASSERT_EQ(c.nb_sources, 2);
             EXPECT_EQ(c.sources[0].url, Text("udp://own:1"));
             EXPECT_EQ(c.sources[0].map, Text("-map 0"));
             EXPECT_EQ(c.sources[1].url, Text("/media/c.ts"));
             EXPECT_EQ(c.sources[1].map, Text("-map 1"));
         }},
        {"bind as a string, bind true, bind beyond the document",
         doc("", plainChan("a") + "," +
                     chan(src("udp", "udp://own:1") + ",{\"bind\":\"3\"},{\"bind\":true},{\"bind\":9}", kUdp) + "," +
                     plainChan("c")),
         1, 0,
         [](const Call &c) {
             ASSERT_EQ(c.nb_sources, 3);
             EXPECT_EQ(c.sources[1].url, Text("/media/c.ts"));
             EXPECT_EQ(c.sources[2].url, Text("/media/a.ts"));
         }},
        {"bind true on channel index 0 is itself, skipped",
         doc("", chan(src("udp", "udp://own:1") + ",{\"bind\":true}", kUdp)), 0, 0,
         [](const Call &c) { EXPECT_EQ(c.nb_sources, 1); }},
        {"a bound channel with fewer targets gives -8",
         doc("", chan(src("udp", "udp://own:1") + ",{\"bind\":2}", kUdp + "," + kUdp2) + "," + plainChan("b")), 0,
         -8, nullptr},
        {"a bound channel with more targets gives only the first ones",
         doc("", chan(src("udp", "udp://own:1") + ",{\"bind\":2}", kUdp) + "," +
                     chan(src("file", "/m/b.ts"), std::string("{\"format\":\"udp\",\"url\":\"udp://b:1\",\"video\":{\"codec\":\"mp4v\"}},") +
                                                      kUdp2)),
         0, 0,
         [](const Call &c) {
             ASSERT_EQ(c.nb_targets, 1);
             EXPECT_EQ(c.targets[0][1].rec.video.codec, TOVU_VIDEO_MP4);
         }},
        {"an unbound further entry takes the first entry and targets of its own",
         doc("", chan(src("udp", "udp://own:1") + ",{\"url\":\"ignored\"},{\"bind\":0},{\"bind\":-1}",
                      tgt("udp", "udp://out:1", ",\"mux\":{\"bitRate\":500,\"cbr\":true}"))),
         0, 0,
         [](const Call &c) {
             ASSERT_EQ(c.nb_sources, 4);
             for (int i = 0; i < 4; i++) {
                 EXPECT_EQ(c.sources[i].url, Text("udp://own:1"));
                 EXPECT_EQ(c.sources[i].map, Text("-map " + std::to_string(i)));
                 EXPECT_EQ(c.targets[0][i].rec.mux_kbps, 500);
                 EXPECT_EQ(c.targets[0][i].param, Text("-bitrate 500k "));
             }
             EXPECT_NE(c.targets[0][1].rec.url, c.targets[0][0].rec.url);
         }},
        {"target video options get the source index with several sources",
         doc("", chan(src("udp", "udp://own:1") + ",{}",
                      tgtAV("udp", "udp://o:1",
                            ",\"options\":[\"-b:v 2000k\",\"-an\",\"\",\"-x264-params keyint=60 extra\","
                            "\"nodash x\",5]",
                            ",\"options\":[\"-ac 2\",\"\"]"))),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].video_param, Text("-b:v:0 2000k -an -x264-params:0 keyint=60 nodash x -ac 2 "));
             EXPECT_EQ(c.targets[0][1].video_param, Text("-b:v:1 2000k -an -x264-params:1 keyint=60 nodash x -ac 2 "));
         }},
        {"target video options unchanged with one source",
         doc("", chan(src("udp", "udp://own:1"),
                      tgtAV("udp", "udp://o:1", ",\"options\":[\"-b:v 2000k\"]"))),
         0, 0, [](const Call &c) { EXPECT_EQ(c.targets[0][0].video_param, Text("-b:v 2000k ")); }},
        {"only audio options still make the text; none leave it null",
         doc("", chan(src("udp", "udp://own:1"),
                      tgtAV("udp", "udp://o:1", "", ",\"options\":[\"\"]") + "," + kUdp2)),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].video_param, Text(""));
             EXPECT_EQ(c.targets[1][0].video_param, std::nullopt);
         }},
        {"HTTP and HTML5 addresses end in httpPort + N + 1",
         doc("\"httpPort\":9527",
             plainChan("a") + "," + plainChan("b") + "," +
                 chan(src("udp", "udp://own:1"),
                      tgt("http", "http://0.0.0.0:1234/live") + "," + tgt("http", "http://0.0.0.0") + "," +
                          tgt("httpts", "http://0.0.0.0/live") + "," + tgt("html5", "http://h:1:2") + "," +
                          tgt("udp", "udp://0.0.0.0:1234/x"))),
         2, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].url, Text("http://0.0.0.0:9530"));
             EXPECT_EQ(c.targets[1][0].url, Text("http://0.0.0.0:9530"));
             EXPECT_EQ(c.targets[2][0].url, Text("http://0.0.0.0/live:9530"));
             EXPECT_EQ(c.targets[3][0].url, Text("http://h:9530"));
             EXPECT_EQ(c.targets[4][0].url, Text("udp://0.0.0.0:1234/x"));
         }},
        {"an MJPEG target on the page's address gets the channel's own port, not the page's",
         doc("\"httpPort\":9527", chan(src("udp", "udp://own:1"), tgt("httpmjpg", "http://0.0.0.0:9527/tovu_ch1"))),
         0, 0, [](const Call &c) { EXPECT_EQ(c.targets[0][0].url, Text("http://0.0.0.0:9528")); }},
        {"RTMP credentials, flash version and SWF URL",
         doc("", chan(src("udp", "udp://own:1"),
                      tgt("rtmp", "rtmp://host/app/stream", ",\"rtmp\":{\"user\":\"al\"}") + "," +
                          tgt("rtmp", "rtmp://host/app/stream",
                              ",\"rtmp\":{\"user\":\"al\",\"passwd\":\"pw\",\"flashVer\":\"FMLE/3.0\"}") +
                          "," + tgt("rtmp", "rtmp://host/app/stream", ",\"rtmp\":{\"swfUrl\":\"http://s/p.swf\"}") +
                          "," + tgt("rtmp", "rtmp://host/app", ",\"rtmp\":{\"passwd\":\"pw\"}") + "," +
                          tgt("udp", "udp://h/a/b", ",\"rtmp\":{\"user\":\"al\"}"))),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].url, Text("rtmp://al@host/app/stream"));
             EXPECT_EQ(c.targets[0][0].param, Text("-rtmp_swfurl rtmp://host/app "));
             EXPECT_EQ(c.targets[1][0].url, Text("rtmp://al:pw@host/app/stream"));
             EXPECT_EQ(c.targets[1][0].param, Text("-rtmp_flashver FMLE/3.0 -rtmp_swfurl rtmp://host/app "));
             EXPECT_EQ(c.targets[2][0].param, Text("-rtmp_swfurl http://s/p.swf "));
             EXPECT_EQ(c.targets[3][0].url, Text("rtmp://host/app"));
             EXPECT_EQ(c.targets[3][0].param, Text(""));
             EXPECT_EQ(c.targets[4][0].url, Text("udp://h/a/b"));
             EXPECT_EQ(c.targets[4][0].param, Text(""));
         }},
        {"recording file names get the start time before the last '.'",
         doc("", chan(src("udp", "udp://own:1"),
                      tgt("file", "/rec/out.ts") + "," + tgt("file", "/rec/out") + "," + tgt("file", "/rec.d/out") +
                          "," + tgt("file", "ftp://h/out.ts"))),
         0, 0,
         [stamp](const Call &c) {
             EXPECT_TRUE(std::regex_match(*c.targets[0][0].url, std::regex("/rec/out" + stamp + "\\.ts")))
                 << *c.targets[0][0].url;
             EXPECT_EQ(c.targets[1][0].url, Text("/rec/out"));
             EXPECT_TRUE(std::regex_match(*c.targets[2][0].url, std::regex("/rec" + stamp + "\\.d/out")))
                 << *c.targets[2][0].url;
             EXPECT_EQ(c.targets[3][0].url, Text("ftp://h/out.ts"));
         }},
        {"output options in order, https certificate pieces last",
         doc("\"sslCert\":\"/c.pem\",\"sslKey\":\"/k.pem\"",
             chan(src("udp", "udp://own:1"),
                  tgt("dash", "HTTPS://h/a.mpd", ",\"mux\":{\"bitRate\":100,\"cbr\":true}") + "," +
                      tgt("udp", "udp://h:1"),
                  "", ",\"formatOptions\":[\"-a 1\",\"\",7,\"-b 2\"],\"customOptions\":\"-c 3\"")),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].param,
                       Text("-a 1 -b 2 -bitrate 100k -c 3 -user_agent \"/c.pem\" -referer \"/k.pem\""));
             EXPECT_EQ(c.targets[1][0].param, Text("-a 1 -b 2 -c 3 "));
         }},
        {"https without certificate settings: empty quoted texts",
         doc("", chan(src("udp", "udp://own:1"), tgt("http", "https://h"))), 0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].url, Text("https://h:9528"));
             EXPECT_EQ(c.targets[0][0].param, Text("-user_agent \"\" -referer \"\""));
         }},
        {"two HLS targets fold into one multi-variant output",
         doc("", chan(src("udp", "udp://own:1"),
                      tgt("hls", "/var/www/hls/low.m3u8") + "," + tgt("hls", "/var/www/hls/high.m3u8"), "",
                      ",\"formatOptions\":[\"-hls_time 4\"]")),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].url, std::nullopt);
             EXPECT_EQ(c.targets[1][0].url, Text("/var/www/hls/%v.m3u8"));
             EXPECT_EQ(c.targets[1][0].param,
                       Text("-hls_time 4 -map 0:v:0 -map 0:a:0 -map 0:v:0 -map 0:a:0 -var_stream_map "
                            "\"v:0,a:0,name:low v:1,a:1,name:high \""));
             EXPECT_EQ(c.targets[0][0].param, Text("-hls_time 4 "));
         }},
        {"HLS fold: each variant maps only the kinds it has, numbered by kind",
         doc("", chan(src("udp", "udp://own:1"),
                      tgt("hls", "/h/hi.m3u8") + "," +
                          "{\"format\":\"hls\",\"url\":\"/h/mute.m3u8\",\"video\":{\"enable\":true,\"codec\":\"h264\"},"
                          "\"audio\":{\"enable\":false,\"codec\":\"aac\"}}," +
                          "{\"format\":\"hls\",\"url\":\"/h/radio.m3u8\",\"video\":{\"enable\":false,\"codec\":\"h264\"},"
                          "\"audio\":{\"enable\":true,\"codec\":\"aac\"}}," +
                          "{\"format\":\"hls\",\"url\":\"/h/none.m3u8\",\"video\":{},\"audio\":{}}," + tgt("hls", "/h/lo.m3u8"))),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[4][0].param,
                       Text("-map 0:v:0 -map 0:a:0 -map 0:v:0 -map 0:a:0 -map 0:v:0 -map 0:a:0 -var_stream_map "
                            "\"v:0,a:0,name:hi v:1,name:mute a:1,name:radio v:2,a:2,name:lo \""));
         }},
        {"HLS fold: the input map chooses each variant's video and audio, other elements left out",
         doc("", chan(src("udp", "udp://own:1"), tgt("hls", "/h/a.m3u8") + "," + tgt("hls", "/h/b.m3u8"),
                      ",\"map\":[\"i:0x100\",\"\",\"a:1\",\"s:0\",\"v:0\",\"a:0\"]")),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.sources[0].map, Text("-map 0:i:0x100 -map 0:a:1 -map 0:s:0 -map 0:v:0 -map 0:a:0 "));
             EXPECT_EQ(c.targets[1][0].param, Text("-map 0:v:0 -map 0:a:1 -map 0:v:0 -map 0:a:1 -var_stream_map "
                                                   "\"v:0,a:0,name:a v:1,a:1,name:b \""));
         }},
        {"HLS fold: a map naming no kind leaves each variant the first of each",
         doc("", chan(src("udp", "udp://own:1"), tgt("hls", "/h/a.m3u8") + "," + tgt("hls", "/h/b.m3u8"),
                      ",\"map\":[\"V\",\"#0x101\",\"ab\"]")),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[1][0].param,
                       Text("-map 0:V -map 0:a:0 -map 0:V -map 0:a:0 -var_stream_map \"v:0,a:0,name:a v:1,a:1,name:b \""));
         }},
        {"HLS fold: bound sources share the folded texts",
         doc("", chan(src("udp", "udp://own:1") + ",{\"bind\":2}",
                      tgt("hls", "/h/a.m3u8") + "," + tgt("hls", "/h/b")) +
                     "," + chan(src("file", "/m/b.ts"), kUdp + "," + kUdp2)),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][1].url, std::nullopt);
             EXPECT_EQ(c.targets[1][1].url, Text("/h/%v.m3u8"));
             EXPECT_EQ(c.targets[1][1].rec.param, c.targets[1][0].rec.param);
             EXPECT_EQ(c.targets[1][1].param,
                       Text("-map 0:v:0 -map 0:a:0 -map 0:v:0 -map 0:a:0 -var_stream_map \"v:0,a:0,name:a v:1,a:1,name:b \""));
         }},
        {"HLS fold: an unbound last source keeps an output per target",
         doc("", chan(src("udp", "udp://own:1") + ",{}", tgt("hls", "/h/a.m3u8") + "," + tgt("hls", "/h/b.m3u8"))),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].url, std::nullopt);
             EXPECT_EQ(c.targets[0][1].url, Text("/h/a.m3u8"));
             EXPECT_EQ(c.targets[1][1].url, Text("/h/b.m3u8"));
             EXPECT_EQ(c.targets[1][1].param, Text(""));
         }},
        {"only HLS targets fold, wherever they stand, side by side where the first stood",
         doc("", chan(src("udp", "udp://own:1"),
                      kUdp + "," + tgt("hls", "/h/b.m3u8") + "," + tgt("file", "/r/c") + "," +
                          tgt("hls", "/h/d.m3u8") + "," + kUdp2)),
         0, 0,
         [](const Call &c) {
             ASSERT_EQ(c.nb_targets, 5);
             EXPECT_EQ(c.targets[0][0].url, Text("udp://127.0.0.1:1"));
             EXPECT_EQ(c.targets[1][0].url, std::nullopt);
             EXPECT_EQ(c.targets[1][0].rec.format, TOVU_FORMAT_HLS);
             EXPECT_EQ(c.targets[2][0].url, Text("/h/%v.m3u8"));
             EXPECT_EQ(c.targets[2][0].param,
                       Text("-map 0:v:0 -map 0:a:0 -map 0:v:0 -map 0:a:0 -var_stream_map \"v:0,a:0,name:b v:1,a:1,name:d \""));
             EXPECT_EQ(c.targets[3][0].url, Text("/r/c"));
             EXPECT_EQ(c.targets[3][0].param, Text(""));
             EXPECT_EQ(c.targets[4][0].url, Text("udp://127.0.0.1:2"));
         }},
        {"HLS targets in two folders each keep their own output",
         doc("", chan(src("udp", "udp://own:1"), tgt("hls", "/a/low.m3u8") + "," + tgt("hls", "/b/high.m3u8"))),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].url, Text("/a/low.m3u8"));
             EXPECT_EQ(c.targets[1][0].url, Text("/b/high.m3u8"));
             EXPECT_EQ(c.targets[0][0].param, Text(""));
             EXPECT_EQ(c.targets[1][0].param, Text(""));
         }},
        {"HLS folds by folder: two in one folder fold, the one in another stays apart",
         doc("", chan(src("udp", "udp://own:1"),
                      tgt("hls", "/a/low.m3u8") + "," + tgt("hls", "/b/solo.m3u8") + "," + kUdp + "," +
                          tgt("hls", "/a/high.m3u8"))),
         0, 0,
         [](const Call &c) {
             ASSERT_EQ(c.nb_targets, 4);
             EXPECT_EQ(c.targets[0][0].url, std::nullopt);
             EXPECT_EQ(c.targets[1][0].url, Text("/a/%v.m3u8"));
             EXPECT_EQ(c.targets[1][0].param,
                       Text("-map 0:v:0 -map 0:a:0 -map 0:v:0 -map 0:a:0 -var_stream_map \"v:0,a:0,name:low v:1,a:1,name:high \""));
             EXPECT_EQ(c.targets[2][0].url, Text("/b/solo.m3u8"));
             EXPECT_EQ(c.targets[2][0].param, Text(""));
             EXPECT_EQ(c.targets[3][0].url, Text("udp://127.0.0.1:1"));
         }},
        {"no fold for one HLS target, first or not",
         doc("", chan(src("udp", "udp://own:1"), tgt("hls", "/h/a.m3u8") + "," + kUdp + "," + tgt("file", "/r/c"))),
         0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.targets[0][0].url, Text("/h/a.m3u8"));
             EXPECT_EQ(c.targets[0][0].param, Text(""));
             EXPECT_EQ(c.targets[1][0].url, Text("udp://127.0.0.1:1"));
             EXPECT_EQ(c.targets[2][0].url, Text("/r/c"));
         }},
        {"input without options or filters; filters borrowed in order",
         doc("", chan(src("udp", "udp://own:1"), kUdp) + "," +
                     chan("{\"format\":\"udp\",\"url\":\"udp://own:1\",\"video\":{\"options\":[\"-hwaccel cuda\",\"\",3]}}", kUdp,
                          ",\"filters\":[\"yadif\",\"\",4],\"customOptions\":\"-x 1\"")),
         1, 0,
         [](const Call &c) {
             EXPECT_EQ(c.sources[0].filters, (std::vector<std::string>{"yadif", ""}));
             EXPECT_EQ(c.sources[0].video_param, Text("-hwaccel cuda  "));
             EXPECT_EQ(c.sources[0].param, Text("-x 1"));
         }},
        {"a source without a video member has no video options text",
         doc("", chan("{\"format\":\"udp\",\"url\":\"udp://own:1\"}", kUdp)), 0, 0,
         [](const Call &c) {
             EXPECT_EQ(c.sources[0].video_param, std::nullopt);
             EXPECT_EQ(c.sources[0].param, Text(""));
             EXPECT_EQ(c.sources[0].filters_null, true);
             EXPECT_EQ(c.sources[0].format, TOVU_FORMAT_UDP);
         }},
    };
}

// The engine is called without the document lock, on records that own their
// texts: a document replaced during the call changes nothing of them.
std::atomic<bool> g_lockWasFree{false};
int replaceDocumentThenCapture(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                               const TOVU_TARGET *const *targets, int nb_targets, int mux_mode,
                               int b_preview)
{
    std::thread other([] {
        g_lockWasFree = g_configMutex.try_lock();
        if (g_lockWasFree) {
            tovuSetConfig(doc("", chan(src("udp", "udp://10.9.9.9:1"), tgt("udp", "udp://10.9.9.9:2")))
                              .c_str());
            g_configMutex.unlock();
        }
    });
    other.join();
    return captureTranscode(channel_id, sources, nb_sources, targets, nb_targets, mux_mode, b_preview);
}

TEST_F(ChannelStart, EngineIsCalledWithoutTheDocument)
{
    config(kExample2);
    _tovuSetChannelTranscoder(replaceDocumentThenCapture);
    ASSERT_EQ(tovuStartChannel(1), 0);
    EXPECT_TRUE(g_lockWasFree);
    const Call &c = lastCall();
    ASSERT_EQ(c.nb_sources, 2);
    EXPECT_EQ(c.sources[0].url, Text("udp://0.0.0.0:6000"));
    EXPECT_EQ(c.sources[0].alt_url, Text("default"));
    EXPECT_EQ(c.sources[1].url, Text("/media/b.ts"));
    EXPECT_EQ(c.targets[1][0].url, Text("udp://239.1.1.3:5000"));
    EXPECT_EQ(c.targets[0][0].param, Text("-bitrate 12000k "));
    // still shared by the bound source
    EXPECT_EQ(c.targets[0][1].rec.url, c.targets[0][0].rec.url);

    // a caller that holds the lock keeps it held across the call
    {
        config(kExample2);
        TovuConfigLock lock;
        ASSERT_EQ(tovuStartChannel(1), 0);
        EXPECT_FALSE(g_lockWasFree);
    }
}

TEST_F(ChannelStart, EdgeCases)
{
    std::string media = path("media");
    ASSERT_EQ(mkdir(media.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("empty").c_str(), 0755), 0);
    tovutest::write_file(media + "/b.ts", "x");
    tovutest::write_file(media + "/a.ts", "x");
    capture();
    for (const EdgeCase &e : edgeCases()) {
        SCOPED_TRACE(e.name);
        calls().clear();
        config(replaceAll(e.document, "@DIR@", dir));
        ASSERT_EQ(tovuStartChannel(e.channel), e.result);
        if (!e.check) {
            EXPECT_TRUE(calls().empty());
            continue;
        }
        ASSERT_EQ(calls().size(), 1u);
        Call c = lastCall();
        for (SourceCopy &s : c.sources)
            if (s.url)
                s.url = replaceAll(*s.url, dir, "@DIR@");
        e.check(c);
    }
}

} // namespace

namespace {

// No configuration key sets the port a native RTP source listens on: the
// start and the preview refuse it with -6 and the log names that port, not an
// SDP file that was never tried.
TEST_F(ChannelStart, NativeRtpSourceWithoutPortIsRefusedByItsPort)
{
    ASSERT_EQ(init(2), 0);
    // as the page writes it: the session's address and port, which the start does not read
    const std::string rtp = "{\"format\":\"rtp_native\",\"url\":\"\",\"video\":{\"codec\":\"h264\","
                            "\"IP\":\"0.0.0.0\",\"port\":5004}}";
    const std::string own = doc("", chan(rtp, kUdp));
    const std::string bound = doc("", chan(src("udp", "udp://own:1") + ",{\"bind\":2}", kUdp) + "," + chan(rtp, kUdp));
    struct Case {
        const std::string &document;
        int (*start)(int);
        const char *line;
    } cases[] = {
        {own, tovuStartChannel,
         "channel start refused (-6): the \"rtp_native\" source of channel 1 has no local RTP port"},
        {own, tovuPreviewChannel,
         "channel preview refused (-6): the \"rtp_native\" source of channel 1 has no local RTP port"},
        {bound, tovuStartChannel,
         "channel start refused (-6): the \"rtp_native\" source of channel 2 has no local RTP port"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        config(c.document);
        size_t before = log_text(0).size();
        EXPECT_EQ(c.start(0), TOVU_ERR_RTP_INPUT);
        std::string log = log_text(0).substr(before);
        EXPECT_NE(log.find(c.line), std::string::npos) << log;
        EXPECT_EQ(log.find("SDP"), std::string::npos) << log;
        EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE);
    }
}

TEST_F(ChannelStart, RefusesLineBreaksAndOverlongTextsByName)
{
    const std::string longName(390, 'n');
    std::string fiveHls;
    for (int i = 0; i < 5; i++)
        fiveHls += (i ? "," : "") + tgt("hls", "/h/" + longName + std::to_string(i) + ".m3u8");
    struct Case {
        std::string document;
        int result;
        std::string field; // as the log names it
    } cases[] = {
        {doc("", chan(src("udp", "udp://a\\n-f null"), kUdp)), TOVU_ERR_LINE_BREAK, "channel 1 source \"url\""},
        // a double quote where the argument string quotes the text
        {doc("", chan(src("file", "/m/quo\\\"te.ts"), kUdp)), TOVU_ERR_LINE_BREAK,
         "channel 1 source \"url\" holds a double quote"},
        {doc("", chan(src("file", "@DIR@/q\\\"dir"), kUdp)), TOVU_ERR_LINE_BREAK,
         "channel 1 source \"url\" holds a double quote"},
        {doc("\"altInput\":\"/b\\\" -y x.ts\"", chan(src("udp", "udp://a"), kUdp)), TOVU_ERR_LINE_BREAK,
         "global \"altInput\" holds a double quote"},
        {doc("", chan(src("udp", "udp://a"), tgt("hls", "/h/a\\\" -y b.m3u8"))), TOVU_ERR_LINE_BREAK,
         "channel 1 target \"url\" holds a double quote"},
        {doc("", chan(src("udp", "udp://a"),
                      tgt("rtmp", "rtmp://h/app", ",\"rtmp\":{\"user\":\"u\",\"passwd\":\"p\\\" -y\"}"))),
         TOVU_ERR_LINE_BREAK, "channel 1 target \"rtmp\" \"passwd\" holds a double quote"},
        {doc("\"sslCert\":\"/c\\\".pem\"", chan(src("udp", "udp://a"), tgt("file", "https://h/x.ts"))),
         TOVU_ERR_LINE_BREAK, "global \"sslCert\" holds a double quote"},
        {doc("\"altInput\":\"x\\r\"", chan(src("udp", "udp://a"), kUdp)), TOVU_ERR_LINE_BREAK, "global \"altInput\""},
        {doc("", chan(src("udp", "udp://a"), kUdp, ",\"filters\":[\"yadif\\n\"]")), TOVU_ERR_LINE_BREAK,
         "channel 1 input \"filters\""},
        {doc("", chan(src("udp", "udp://a"), tgtAV("udp", "udp://b", ",\"options\":[\"-g\\n1\"]"))),
         TOVU_ERR_LINE_BREAK, "channel 1 target video and audio \"options\""},
        {doc("", chan(src("udp", "udp://a"), kUdp, "", ",\"customOptions\":\"-y\\n\"")), TOVU_ERR_LINE_BREAK,
         "channel 1 output \"customOptions\""},
        {doc("", chan(src("udp", "udp://" + std::string(994, 'u')), kUdp)), TOVU_ERR_TEXT_TOO_LONG,
         "channel 1 source \"url\""},
        {doc("", chan(src("udp", "udp://a"), kUdp, "", ",\"formatOptions\":[\"" + std::string(1999, 'o') + "\"]")),
         TOVU_ERR_TEXT_TOO_LONG, "channel 1 output options"},
        {doc("", chan(src("udp", "udp://a"), tgt("http", "http://" + std::string(990, 'h')))),
         TOVU_ERR_TEXT_TOO_LONG, "channel 1 target \"url\""},
        {doc("", chan(src("udp", "udp://a"), fiveHls)), TOVU_ERR_TEXT_TOO_LONG, "output options with the HLS variants"},
    };
    ASSERT_EQ(mkdir(path("q\"dir").c_str(), 0755), 0);
    tovutest::write_file(path("q\"dir") + "/a.ts", "x");
    ASSERT_EQ(init(1), 0);
    capture();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        calls().clear();
        config(replaceAll(c.document, "@DIR@", dir));
        EXPECT_EQ(tovuStartChannel(0), c.result);
        EXPECT_TRUE(calls().empty());
        std::string log = log_text(0);
        EXPECT_NE(log.find("refused (" + std::to_string(c.result) + "): " + c.field), std::string::npos) << log;
    }
    // the longest texts that fit go through whole
    calls().clear();
    config(doc("", chan(src("udp", "udp://" + std::string(993, 'u')), tgt("udp", "udp://" + std::string(993, 't')), "",
                        ",\"formatOptions\":[\"" + std::string(1998, 'o') + "\"]")));
    ASSERT_EQ(tovuStartChannel(0), 0);
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_EQ(lastCall().sources[0].url->size(), 999u);
    EXPECT_EQ(lastCall().targets[0][0].url->size(), 999u);
    EXPECT_EQ(lastCall().targets[0][0].param->size(), 1999u);

    // texts that go in without quotes may hold them: options, and the
    // addresses that are handed over as words of their own
    calls().clear();
    config(doc("", chan(src("udp", "udp://a"), tgt("udp", "udp://b?x=\\\"1\\\""),
                        ",\"customOptions\":\"-metadata title=\\\"a b\\\"\"",
                        ",\"customOptions\":\"-metadata:s:v title=\\\"c\\\"\"")));
    ASSERT_EQ(tovuStartChannel(0), 0);
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_EQ(lastCall().sources[0].param, Text("-metadata title=\"a b\""));
    EXPECT_EQ(lastCall().targets[0][0].url, Text("udp://b?x=\"1\""));
}

// A folder playlist passes by the files whose path no argument string can
// carry (a double quote, a line feed or a carriage return in it), with a line
// in the channel log for each, and plays the others. The name that once
// reached the transcoder as options of its own is one of them.
TEST_F(ChannelStart, FolderPlaylistSkipsNamesWithQuotesAndLineBreaks)
{
    const std::string injection = "b.ts\" -f lavfi -i \"testsrc=d=1\" -map 1:v -y \"INJECTED.ts";
    const std::string folder = path("odd");
    for (const std::string &d : {folder, folder + "/q\"sub", folder + "/sub"})
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
    for (const std::string &f : {std::string("a.ts"), std::string("quo\"te.ts"), injection, std::string("line\nbreak.ts"),
                                 std::string("cr\rx.ts"), std::string("q\"sub/z.ts"), std::string("sub/c.ts")})
        tovutest::write_file(folder + "/" + f, "x");
    ASSERT_EQ(init(1), 0);
    _tovuSetChannelTranscoder(nullptr);
    config(doc("\"folderRecur\":true", chan(src("file", folder), tgt("udp", "udp://127.0.0.1:5000"))));
    ASSERT_EQ(tovuStartChannel(0), 0);
    const std::string line = handedOver();
    EXPECT_NE(line.find("-i \"" + folder + "/a.ts\" "), std::string::npos) << line;
    EXPECT_EQ(line.find("INJECTED"), std::string::npos) << line;
    EXPECT_EQ(g_tovuPlaylists[0].GetCount(), 2u); // a.ts and sub/c.ts

    const std::string log = log_text(0);
    const std::string skipped = "channel start: file " + folder + "/";
    for (const std::string &entry : {std::string("quo\"te.ts: its path holds a double quote"), injection + ": its path holds a double quote",
                                     std::string("q\"sub/z.ts: its path holds a double quote"),
                                     std::string("line\\nbreak.ts: its path holds a line break"),
                                     std::string("cr\\rx.ts: its path holds a line break")}) {
        const std::string name = entry.substr(0, entry.find(": its path"));
        EXPECT_NE(log.find(skipped + name + " of the folder skipped" + entry.substr(name.size())), std::string::npos)
            << entry << "\n" << log;
    }
    EXPECT_EQ(log.find("line\nbreak"), std::string::npos) << "the log's lines stay whole";

    // a folder with no other file has none to play
    for (const char *f : {"a.ts", "sub/c.ts"})
        ASSERT_EQ(unlink((folder + "/" + f).c_str()), 0);
    EXPECT_EQ(tovuStartChannel(0), TOVU_ERR_NO_SOURCE_URL);
    EXPECT_NE(log_text(0).find("channel start: no file in folder " + folder), std::string::npos);
}

} // namespace
