// Channel preview: the records of the fixed HTML5 preview of a channel's
// first source.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "fixtures/channel_docs.h"
#include "fixtures/channel_fixture.h"

using namespace chantest;

namespace {

class ChannelPreview : public ChannelTest {
protected:
    const Call &preview(const std::string &document, int channel = 0, int expected = 0)
    {
        capture();
        calls().clear();
        config(document);
        EXPECT_EQ(tovuPreviewChannel(channel), expected);
        return lastCall();
    }
};

const std::string kUdp = tgt("udp", "udp://127.0.0.1:1");

TEST_F(ChannelPreview, FixedHtml5TargetOfTheFirstSource)
{
    const Call &c = preview(doc("\"altInput\":\"default\"",
                                plainChan("a") + "," +
                                    chan(src("udp", "udp://0.0.0.0:6000") + ",{\"bind\":1}", kUdp + "," + kUdp,
                                         ",\"filters\":[\"yadif\"],\"customOptions\":\"-x 1\"")),
                            1);
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_EQ(c.channel, 1);
    EXPECT_EQ(c.nb_sources, 1);
    EXPECT_EQ(c.nb_targets, 1);
    EXPECT_EQ(c.mux_mode, 0);
    EXPECT_EQ(c.b_preview, 1);
    const SourceCopy &s = c.sources[0];
    EXPECT_EQ(s.format, TOVU_FORMAT_UDP);
    EXPECT_EQ(s.url, Text("udp://0.0.0.0:6000"));
    // a network source loops all the same; no failover input, filters or custom options
    EXPECT_EQ(s.param, Text("-stream_loop -1 "));
    EXPECT_EQ(s.alt_url, std::nullopt);
    EXPECT_TRUE(s.filters_null);
    EXPECT_EQ(s.video_param, Text(""));
    EXPECT_EQ(s.map, std::nullopt);

    const TargetCopy &t = c.targets[0][0];
    EXPECT_EQ(t.rec.format, TOVU_FORMAT_HTML5);
    EXPECT_TRUE(t.rec.video.b_enable);
    EXPECT_EQ(t.rec.video.codec, TOVU_VIDEO_H264);
    EXPECT_EQ(t.rec.video.width, 320);
    EXPECT_EQ(t.rec.video.height, 240);
    EXPECT_EQ(t.rec.video.key_frame_intv, 5);
    EXPECT_EQ(t.rec.video.fps, 0.0f);
    EXPECT_EQ(t.rec.video.kbps, 0);
    EXPECT_TRUE(t.rec.audio.b_enable);
    EXPECT_EQ(t.rec.audio.codec, TOVU_AUDIO_AAC);
    EXPECT_EQ(t.rec.audio.kbps, 0);
    EXPECT_EQ(t.rec.mux_kbps, 0);
    EXPECT_EQ(t.url, Text("http://0.0.0.0:9528"));
    EXPECT_EQ(t.param, Text(""));
}

TEST_F(ChannelPreview, OptionsMapAndSecureAddress)
{
    const Call &c = preview(doc("\"sslEnable\":true,\"sslCert\":\"/c.pem\",\"sslKey\":\"/k.pem\"",
                                chan("{\"format\":\"file\",\"url\":\"/m/a.ts\",\"video\":{\"options\":["
                                     "\"-hwaccel cuda\",\"-HWACCEL_DEVICE 0\",\"\",\"-c:v h264_cuvid\",7,\"-vf %d\"]}}",
                                     kUdp, ",\"formatOptions\":[\"-re\",\"\",\"-fflags +genpts\"],\"map\":[\"#256\",\"\",\"p:1\"]")));
    EXPECT_EQ(c.sources[0].param, Text("-stream_loop -1 -re -fflags +genpts "));
    EXPECT_EQ(c.sources[0].video_param, Text("-c:v h264_cuvid -vf %d "));
    EXPECT_EQ(c.sources[0].map, Text("-map #256 -map p:1 "));
    EXPECT_EQ(c.targets[0][0].url, Text("https://0.0.0.0:9528"));
    EXPECT_EQ(c.targets[0][0].param, Text("-user_agent \"/c.pem\" -referer \"/k.pem\""));

    // "sslEnable" counts only as JSON true
    const Call &plain = preview(doc("\"sslEnable\":1,\"sslCert\":\"/c.pem\"", plainChan("a")));
    EXPECT_EQ(plain.targets[0][0].url, Text("http://0.0.0.0:9528"));
    EXPECT_EQ(plain.targets[0][0].param, Text(""));
}

TEST_F(ChannelPreview, FolderSource)
{
    std::string media = path("media");
    ASSERT_EQ(mkdir(media.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("empty").c_str(), 0755), 0);
    tovutest::write_file(media + "/b.ts", "x");
    tovutest::write_file(media + "/a.ts", "x");
    const std::string folderDoc = doc("", chan(src("file", media), kUdp));

    const Call &c = preview(folderDoc);
    EXPECT_EQ(c.sources[0].url, Text(media + "/a.ts"));
    EXPECT_EQ(c.sources[0].param, Text("-stream_loop -1 "));
    // the position of a folder channel is kept
    ASSERT_NE(g_tovuPlaylists[0].MoveNext(FALSE), nullptr);
    EXPECT_EQ(preview(folderDoc).sources[0].url, Text(media + "/b.ts"));

    preview(doc("", chan(src("file", path("empty")), kUdp)), 0, TOVU_ERR_NO_SOURCE_URL);
    EXPECT_TRUE(calls().empty());
}

TEST_F(ChannelPreview, RefusesLineBreaksAndPassesEngineResults)
{
    ASSERT_EQ(init(1), 0);
    preview(doc("", chan(src("udp", "udp://a"), kUdp, ",\"map\":[\"0\\n\"]")), 0, TOVU_ERR_LINE_BREAK);
    EXPECT_TRUE(calls().empty());
    EXPECT_NE(log_text(0).find("channel preview refused (-15): channel 1 input \"map\""), std::string::npos);

    // a double quote in the file name that goes between quotes; a folder
    // playlist passes such a file by and previews the next
    preview(doc("", chan(src("file", "/m/a\\\" -y b.ts"), kUdp)), 0, TOVU_ERR_LINE_BREAK);
    EXPECT_NE(log_text(0).find("channel preview refused (-15): channel 1 source \"url\" holds a double quote"),
              std::string::npos);
    const std::string media = path("media");
    ASSERT_EQ(mkdir(media.c_str(), 0755), 0);
    tovutest::write_file(media + "/a\".ts", "x");
    tovutest::write_file(media + "/b.ts", "x");
    EXPECT_EQ(preview(doc("", chan(src("file", media), kUdp))).sources[0].url, Text(media + "/b.ts"));
    EXPECT_NE(log_text(0).find("channel preview: file " + media + "/a\".ts of the folder skipped: its path holds a "
                               "double quote"), std::string::npos) << log_text(0);
    EXPECT_TRUE(calls().size() == 1u);
    calls().clear();

    fakeResult() = TOVU_ERR_BUSY;
    preview(doc("", plainChan("a")), 0, TOVU_ERR_BUSY);
}

} // namespace
