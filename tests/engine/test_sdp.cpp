#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "fixtures/temp_dir.h"
#include "tovu_engine_internal.h"

namespace {

const char kHead[] = "v=0\no=- 0 0 IN IPV4 0.0.0.0\ns=Tovumedia\nt=0 0\n";

class SdpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        path_ = scratch_.file("t.sdp");
    }
    std::string read_back() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // reads an SDP text through the file reader
    int import(const std::string &text, TOVU_VIDEO_STREAM *v, TOVU_AUDIO_STREAM *a, int dst)
    {
        std::ofstream(path_, std::ios::binary) << text;
        return tovuImportSdp(path_.c_str(), v, a, dst);
    }
    tovutest::TempDir scratch_{"tovu_sdp"};
    std::string dir_ = scratch_.path(), path_;
};

TOVU_VIDEO_STREAM video(TOVU_CODEC codec, uint16_t src_port, const char *src_ip = "0.0.0.0")
{
    TOVU_VIDEO_STREAM v{};
    v.codec = codec;
    v.rtp.usSrcPort = src_port;
    v.rtp.ulSrcIP = inet_addr(src_ip);
    return v;
}

TOVU_AUDIO_STREAM audio(TOVU_CODEC codec, uint16_t src_port, int rate, int channels)
{
    TOVU_AUDIO_STREAM a{};
    a.codec = codec;
    a.rtp.usSrcPort = src_port;
    a.sample_rate = rate;
    a.nb_channels = channels;
    return a;
}

} // namespace

TEST_F(SdpTest, WriterFilesByteForByte)
{
    TOVU_VIDEO_STREAM h264 = video(TOVU_VIDEO_H264, 5000);
    TOVU_VIDEO_STREAM h263 = video(TOVU_VIDEO_H263, 5000, "239.1.1.1");
    TOVU_VIDEO_STREAM h263p = video(TOVU_VIDEO_H263P, 5004);
    strcpy(h263p.rtp.szFmtp, "profile=0;level=10");
    TOVU_VIDEO_STREAM mp2v = video(TOVU_VIDEO_MP2V, 5006);
    TOVU_VIDEO_STREAM no_port = video(TOVU_VIDEO_H264, 0);
    TOVU_AUDIO_STREAM aac = audio(TOVU_AUDIO_AAC, 5002, 48000, 2);
    strcpy(aac.rtp.szFmtp, "config=40002410");
    TOVU_AUDIO_STREAM alaw = audio(TOVU_AUDIO_G711A, 5002, 44100, 0);
    TOVU_AUDIO_STREAM mp3 = audio(TOVU_AUDIO_MP3, 5002, 44100, 2);
    TOVU_AUDIO_STREAM opus = audio(TOVU_AUDIO_OPUS, 5002, 48000, 2);
    TOVU_AUDIO_STREAM audio_no_port = audio(TOVU_AUDIO_AAC, 0, 48000, 2);

    struct Case {
        const char *name;
        const TOVU_VIDEO_STREAM *v;
        const TOVU_AUDIO_STREAM *a;
        std::string body;
    };
    const Case cases[] = {
        {"no ports", &no_port, &audio_no_port, ""},
        {"no streams", nullptr, nullptr, ""},
        {"h264", &h264, nullptr,
         "c=IN IP4 0.0.0.0\nm=video 5000 RTP/AVP 96\na=rtpmap:96 h264/90000\n"},
        {"h263 static type", &h263, nullptr,
         "c=IN IP4 239.1.1.1\nm=video 5000 RTP/AVP 34\na=rtpmap:34 h263/90000\n"},
        {"h263+ with fmtp", &h263p, nullptr,
         "c=IN IP4 0.0.0.0\nm=video 5004 RTP/AVP 96\na=rtpmap:96 H263-1998/90000\n"
         "a=fmtp:96 profile=0;level=10\n"},
        {"mpeg-2", &mp2v, nullptr,
         "c=IN IP4 0.0.0.0\nm=video 5006 RTP/AVP 96\na=rtpmap:96 MPV/90000\n"},
        {"aac twice", nullptr, &aac,
         "c=IN IP4 0.0.0.0\nm=audio 5002 RTP/AVP 97\na=rtpmap:97 MP4A-LATM/48000/2\n"
         "a=rtpmap:97 MP4A-LATM/48000/2\na=fmtp:97 config=40002410\n"},
        {"g711a no channels", nullptr, &alaw,
         "c=IN IP4 0.0.0.0\nm=audio 5002 RTP/AVP 97\na=rtpmap:97 g711a/8000/1\n"},
        {"mp3", nullptr, &mp3,
         "c=IN IP4 0.0.0.0\nm=audio 5002 RTP/AVP 97\na=rtpmap:97 MPA/90000/2\n"},
        {"opus", nullptr, &opus,
         "c=IN IP4 0.0.0.0\nm=audio 5002 RTP/AVP 97\na=rtpmap:97 opus/8000/2\n"},
        {"video then audio", &h264, &alaw,
         "c=IN IP4 0.0.0.0\nm=video 5000 RTP/AVP 96\na=rtpmap:96 h264/90000\n"
         "c=IN IP4 0.0.0.0\nm=audio 5002 RTP/AVP 97\na=rtpmap:97 g711a/8000/1\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tovuExportSdp(path_.c_str(), c.v, c.a, 1), 0) << c.name;
        EXPECT_EQ(read_back(), std::string(kHead) + c.body + "\n") << c.name;
    }
}

TEST_F(SdpTest, WriterSideSelection)
{
    TOVU_VIDEO_STREAM v = video(TOVU_VIDEO_H264, 5000, "10.0.0.1");
    v.rtp.ulDstIP = inet_addr("239.2.2.2");
    v.rtp.usDstPort = 6000;
    ASSERT_EQ(tovuExportSdp(path_.c_str(), &v, nullptr, 0), 0);
    EXPECT_EQ(read_back(), std::string(kHead) +
                               "c=IN IP4 239.2.2.2\nm=video 6000 RTP/AVP 96\n"
                               "a=rtpmap:96 h264/90000\n\n");
    v.rtp.usDstPort = 0; // the remote side has no port: no section
    ASSERT_EQ(tovuExportSdp(path_.c_str(), &v, nullptr, 0), 0);
    EXPECT_EQ(read_back(), std::string(kHead) + "\n");
}

TEST_F(SdpTest, WriterFailures)
{
    // a codec without a name stops the file after its m= line
    TOVU_VIDEO_STREAM v = video(TOVU_VIDEO_H264, 5000);
    TOVU_AUDIO_STREAM a = audio(TOVU_CODEC_NULL, 5002, 48000, 2);
    EXPECT_EQ(tovuExportSdp(path_.c_str(), &v, &a, 1), -1);
    EXPECT_EQ(read_back(), std::string(kHead) +
                               "c=IN IP4 0.0.0.0\nm=video 5000 RTP/AVP 96\na=rtpmap:96 h264/90000\n"
                               "c=IN IP4 0.0.0.0\nm=audio 5002 RTP/AVP 97\n");

    EXPECT_EQ(tovuExportSdp((dir_ + "/missing/t.sdp").c_str(), &v, nullptr, 1), -1);
    EXPECT_EQ(tovuExportSdp(nullptr, &v, nullptr, 1), -1);
    // a device that is full reports the failure
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(tovuExportSdp("/dev/full", &v, nullptr, 1), -1);
    }
}

TEST_F(SdpTest, WriterReadsFmtpOnlyWithinItsArray)
{
    TOVU_VIDEO_STREAM v = video(TOVU_VIDEO_H264, 5000);
    memset(v.rtp.szFmtp, 'p', sizeof v.rtp.szFmtp); // no terminating NUL
    ASSERT_EQ(tovuExportSdp(path_.c_str(), &v, nullptr, 1), 0);
    std::string text = read_back();
    EXPECT_NE(text.find("a=fmtp:96 " + std::string(1000, 'p') + "\n\n"), std::string::npos);
}

TEST_F(SdpTest, ReaderStaticPayloadAndMpaParameters)
{
    TOVU_AUDIO_STREAM a;
    memset(&a, 0x5a, sizeof a); // every field is zeroed first
    EXPECT_EQ(import("m=audio 6000 RTP/AVP 0\n", nullptr, &a, 0), 1);
    EXPECT_EQ(a.codec, TOVU_AUDIO_G711U);
    EXPECT_EQ(a.sample_rate, 8000);
    EXPECT_EQ(a.rtp.usSrcPort, 6000);
    EXPECT_EQ(a.rtp.usDstPort, 0);
    EXPECT_EQ(a.param, nullptr);

    EXPECT_EQ(import("c=IN IP4 239.0.0.9/127\r\nm=audio 6000 RTP/AVP 14\r\n"
                     "a=rtpmap:14 MPA/90000\r\n"
                     "a=fmtp:14 layer=3; samplerate=44100; mode=Stereo\r\n",
                     nullptr, &a, 0),
              0);
    EXPECT_EQ(a.codec, TOVU_AUDIO_MP3);
    EXPECT_EQ(a.sample_rate, 44100);
    EXPECT_EQ(a.nb_channels, 2);
    EXPECT_EQ(a.rtp.ulSrcIP, inet_addr("239.0.0.9"));
    EXPECT_STREQ(a.rtp.szFmtp, "layer=3; samplerate=44100; mode=Stereo");

    EXPECT_EQ(import("m=audio 6000 RTP/AVP 14\na=rtpmap:14 MPA/90000\n"
                     "a=fmtp:14 layer=2;mode=single_channel\n",
                     nullptr, &a, 0),
              0);
    EXPECT_EQ(a.codec, TOVU_AUDIO_MP2);
    EXPECT_EQ(a.sample_rate, 90000);
    EXPECT_EQ(a.nb_channels, 1);
}

TEST_F(SdpTest, ReaderBothStreamsOnTheRemoteSide)
{
    const std::string text = "v=0\n"
                             "c=IN IP4 239.1.1.1\n"
                             "m=video 5000 RTP/AVP 96\n"
                             "a=rtpmap:96 h264/90000\n"
                             "a=fmtp:96 packetization-mode=1\n"
                             "c=IN IP4 239.1.1.2\n"
                             "m=audio 5002 RTP/AVP 97\n"
                             "a=rtpmap:97 MP4A-LATM/48000/2\n"
                             "a=fmtp:97 config=40002410\n";
    TOVU_VIDEO_STREAM v;
    TOVU_AUDIO_STREAM a;
    EXPECT_EQ(import(text, &v, &a, 1), 0);
    EXPECT_EQ(v.rtp.ulDstIP, inet_addr("239.1.1.1"));
    EXPECT_EQ(v.rtp.usDstPort, 5000);
    EXPECT_EQ(v.rtp.usSrcPort, 0);
    EXPECT_EQ(v.rtp.ulSrcIP, 0u);
    EXPECT_EQ(v.codec, TOVU_VIDEO_H264);
    EXPECT_STREQ(v.rtp.szFmtp, "packetization-mode=1"); // not replaced by the audio's
    EXPECT_EQ(a.rtp.ulDstIP, inet_addr("239.1.1.2"));
    EXPECT_EQ(a.rtp.usDstPort, 5002);
    EXPECT_EQ(a.codec, TOVU_AUDIO_AAC);
    EXPECT_EQ(a.sample_rate, 48000);
    EXPECT_EQ(a.nb_channels, 2);
    EXPECT_STREQ(a.rtp.szFmtp, "config=40002410");

    // audio first, then video: each keeps its own attributes too
    const std::string swapped = "m=audio 5002 RTP/AVP 97\n"
                                "a=rtpmap:97 g711a/8000/1\n"
                                "a=fmtp:97 x=1\n"
                                "m=video 5000 RTP/AVP 96\n"
                                "a=rtpmap:96 H263-2000/90000\n"
                                "a=fmtp:96 y=2\n";
    EXPECT_EQ(import(swapped, &v, &a, 0), 0);
    EXPECT_EQ(a.codec, TOVU_AUDIO_G711A);
    EXPECT_EQ(a.nb_channels, 1);
    EXPECT_STREQ(a.rtp.szFmtp, "x=1");
    EXPECT_EQ(v.codec, TOVU_VIDEO_H263P);
    EXPECT_STREQ(v.rtp.szFmtp, "y=2");
}

TEST_F(SdpTest, ReaderRoundTripOfTheWriter)
{
    TOVU_VIDEO_STREAM v = video(TOVU_VIDEO_MP4, 5000, "10.1.2.3");
    strcpy(v.rtp.szFmtp, "profile-level-id=1");
    TOVU_AUDIO_STREAM a = audio(TOVU_AUDIO_PCM16S, 5002, 8000, 2);
    a.rtp.ulSrcIP = inet_addr("10.1.2.4");
    ASSERT_EQ(tovuExportSdp(path_.c_str(), &v, &a, 1), 0);
    TOVU_VIDEO_STREAM v2;
    TOVU_AUDIO_STREAM a2;
    EXPECT_EQ(tovuImportSdp(path_.c_str(), &v2, &a2, 0), 0);
    EXPECT_EQ(v2.codec, TOVU_VIDEO_MP4);
    EXPECT_EQ(v2.rtp.ulSrcIP, v.rtp.ulSrcIP);
    EXPECT_EQ(v2.rtp.usSrcPort, 5000);
    EXPECT_STREQ(v2.rtp.szFmtp, "profile-level-id=1");
    EXPECT_EQ(a2.codec, TOVU_AUDIO_PCM16S);
    EXPECT_EQ(a2.rtp.ulSrcIP, a.rtp.ulSrcIP);
    EXPECT_EQ(a2.rtp.usSrcPort, 5002);
    EXPECT_EQ(a2.sample_rate, 8000);
    EXPECT_EQ(a2.nb_channels, 2);
}

TEST_F(SdpTest, ReaderLongFmtpNeverOverruns)
{
    struct Case {
        size_t len;
        bool taken;
    };
    // 999 fits with its NUL; longer texts, also those longer than the line
    // buffer, are not taken
    for (Case c : {Case{999, true}, Case{1000, false}, Case{1013, false}, Case{5000, false}}) {
        std::string text = "m=video 5000 RTP/AVP 96\na=fmtp:96 " + std::string(c.len, 'f') +
                           "\na=rtpmap:96 h264/90000\n";
        TOVU_VIDEO_STREAM v;
        EXPECT_EQ(import(text, &v, nullptr, 0), 0) << c.len;
        EXPECT_EQ(strlen(v.rtp.szFmtp), c.taken ? c.len : 0u) << c.len;
        EXPECT_EQ(v.codec, TOVU_VIDEO_H264) << c.len; // later lines are still read
    }
}

TEST_F(SdpTest, ReaderOddInput)
{
    TOVU_VIDEO_STREAM v = video(TOVU_VIDEO_H264, 1234);
    TOVU_AUDIO_STREAM a = audio(TOVU_AUDIO_AAC, 1236, 48000, 2);
    // a missing file leaves the records untouched
    EXPECT_EQ(tovuImportSdp((dir_ + "/none.sdp").c_str(), &v, &a, 0), -1);
    EXPECT_EQ(v.rtp.usSrcPort, 1234);
    EXPECT_EQ(a.sample_rate, 48000);

    EXPECT_EQ(import("v=0\ns=x\n", &v, &a, 0), 1); // no media line
    EXPECT_EQ(v.rtp.usSrcPort, 0);
    EXPECT_EQ(a.codec, TOVU_AUDIO_G711U);

    EXPECT_EQ(import("c=IN IP4 not-an-address\nm=video 0 RTP/AVP 96\n", &v, nullptr, 0), 1);
    EXPECT_EQ(v.rtp.ulSrcIP, 0xffffffffUL);

    // port 70000 does not read as a port; attributes of a port-less stream
    // are not read
    EXPECT_EQ(import("m=video 70000 RTP/AVP 96\na=rtpmap:0 h264/90000\n", &v, nullptr, 0), 1);
    EXPECT_EQ(v.rtp.usSrcPort, 0);
    EXPECT_EQ(v.codec, TOVU_AUDIO_G711U);

    // an rtpmap for another payload type or an unknown name changes nothing
    EXPECT_EQ(import("m=video 5000 RTP/AVP 32\na=rtpmap:96 h264/90000\n"
                     "a=rtpmap:32 VP8/90000\n",
                     &v, nullptr, 0),
              0);
    EXPECT_EQ(v.codec, TOVU_VIDEO_MP2V);

    // the last m= line decides the result
    EXPECT_EQ(import("m=video 5000 RTP/AVP 96\nm=audio 0 RTP/AVP 97\n", &v, &a, 0), 1);
    EXPECT_EQ(import("m=audio 0 RTP/AVP 97\nm=video 5000 RTP/AVP 34\n", nullptr, nullptr, 0), 0);
}
