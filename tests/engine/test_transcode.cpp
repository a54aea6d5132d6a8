// Starting engine slots: the transcoder's standard input, logging, the busy
// and range checks, the yt-dlp start and the kept start arguments.
#include "fixtures/engine_fixture.h"
#include "tovu_poll.h"
#include "tovu_engine_internal.h"

#include <signal.h>
#include <string.h>

#include <vector>

using tovutest::EngineTest;
using tovutest::exists;
using tovutest::read_file;
using tovutest::Records;
using tovutest::write_file;

namespace {

class Transcode : public EngineTest {};

TEST_F(Transcode, HandsOverTokenStringAndLineFeedAndLogsTheString)
{
    ASSERT_EQ(init(32), 0);
    Records r;
    std::string args = r.args(0);
    ASSERT_EQ(args.rfind("-v 32 ", 0), 0u) << args;

    ASSERT_EQ(r.start(0), 0);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING);
    EXPECT_EQ(tovu_get_stream_time(0), -1);
    EXPECT_EQ(tovu_get_stream_fps(0), -1);
    EXPECT_EQ(tovu_get_stream_bitrate(0), -1);
    std::string expected = std::string("kfRwa_3861 ") + args + "\n";
    ASSERT_TRUE(tovutest::pollUntil([&] { return read_file(path("stdin.rec")) == expected; }))
        << read_file(path("stdin.rec"));
    EXPECT_NE(log_text(0).find("] " + args + "\n"), std::string::npos) << log_text(0);

    // a preview of another slot
    ASSERT_EQ(r.start(1, 1), 0);
    EXPECT_EQ(tovu_get_state(1), TOVU_STATE_PREVIEW);
}

TEST_F(Transcode, LoggingOffGivesNoVerbosityAndNoLog)
{
    ASSERT_EQ(init(0), 0);
    Records r;
    std::string args = r.args(0);
    EXPECT_EQ(args.find("-v "), std::string::npos) << args;
    ASSERT_EQ(r.start(0), 0);
    ASSERT_TRUE(tovutest::pollUntil([&] { return read_file(path("stdin.rec")) == "kfRwa_3861 " + args + "\n"; }));
    EXPECT_FALSE(exists(path("tovu_001.log")));
}

TEST_F(Transcode, NoOutputsStartsWithTheInputPartsOnly)
{
    ASSERT_EQ(init(0), 0);
    Records r;
    std::string inputs;
    ASSERT_EQ(tovu_compose_args(0, &r.src, 1, nullptr, 0, 0, &inputs), 0);
    ASSERT_EQ(tovu_transcode(0, &r.src, 1, nullptr, 0, 0, 0), 0);
    ASSERT_TRUE(tovutest::pollUntil([&] { return read_file(path("stdin.rec")) == "kfRwa_3861 " + inputs + "\n"; }));
}

TEST_F(Transcode, OneSourceFormStartsLikeTheFullOne)
{
    ASSERT_EQ(init(0), 0);
    Records r;
    std::string args = r.args(3);
    ASSERT_EQ(tovu_transcode2(3, &r.src, &r.tgt, 1), 0);
    EXPECT_EQ(tovu_get_state(3), TOVU_STATE_PREVIEW);
    ASSERT_TRUE(tovutest::pollUntil([&] { return read_file(path("stdin.rec")) == "kfRwa_3861 " + args + "\n"; }));
}

TEST_F(Transcode, RefusalsLeaveStateAndFiguresAlone)
{
    Records r;
    EXPECT_EQ(r.start(0), -1);   // before set-up
    ASSERT_EQ(init(1), 0);
    EXPECT_EQ(r.start(32), -2);
    EXPECT_EQ(r.start(-1), -2);

    for (TOVU_CHANNEL_STATE busy : {TOVU_STATE_RUNNING, TOVU_STATE_PREVIEW, TOVU_STATE_NOSIGNAL,
                                    TOVU_STATE_STOPPING}) {
        {
            TovuLock lock;
            TOVU_CHAN_CTX &c = g_proc_channels[2];
            c.state = busy;
            c.streaming_time = 7;
            c.fps = 8;
            c.bitrate = 9;
        }
        EXPECT_EQ(r.start(2), -3) << busy;
        EXPECT_EQ(tovu_get_state(2), busy);
        EXPECT_EQ(tovu_get_stream_time(2), 7);
        EXPECT_EQ(tovu_get_stream_fps(2), 8);
        EXPECT_EQ(tovu_get_stream_bitrate(2), 9);
    }
    EXPECT_NE(log_text(2).find("error -3\n"), std::string::npos);

    // a failing composition: nothing starts, nothing changes
    {
        TovuLock lock;
        g_proc_channels[2].state = TOVU_STATE_IDLE;
    }
    Records no_url;
    no_url.src.url = nullptr;
    EXPECT_EQ(no_url.start(2), -7);
    EXPECT_EQ(tovu_get_state(2), TOVU_STATE_IDLE);
    EXPECT_EQ(tovu_get_stream_time(2), 7);
    EXPECT_NE(log_text(2).find("error -7\n"), std::string::npos);
    EXPECT_EQ(g_proc_channels[2].proc.pid, 0);
    EXPECT_FALSE(exists(path("stdin.rec")));

    // a line break in a text: refused before anything runs, yt-dlp included
    Records broken;
    broken.out_url = "udp://127.0.0.1:5000\n-y /tmp/x";
    broken.tgt.url = &broken.out_url[0];
    EXPECT_EQ(broken.start(2), TOVU_ERR_LINE_BREAK);
    broken.src.format = TOVU_FORMAT_YTDLP;
    snprintf(g_cfg.ytdlp_path, sizeof g_cfg.ytdlp_path, "/nonexistent/cookies.txt");
    EXPECT_EQ(broken.start(2), TOVU_ERR_LINE_BREAK);
    g_cfg.ytdlp_path[0] = '\0';
    EXPECT_EQ(tovu_get_state(2), TOVU_STATE_IDLE);
    EXPECT_EQ(g_proc_channels[2].proc.pid, 0);
    EXPECT_NE(log_text(2).find("error -15\n"), std::string::npos);
    EXPECT_FALSE(exists(path("stdin.rec")));

    // EXTRACT passes the busy test (the poll's continuation)
    {
        TovuLock lock;
        g_proc_channels[2].state = TOVU_STATE_EXTRACT;
    }
    EXPECT_EQ(r.start(2), 0);
    EXPECT_EQ(tovu_get_state(2), TOVU_STATE_RUNNING);
    EXPECT_EQ(tovu_get_stream_time(2), -1);
}

TEST_F(Transcode, UnwritableLogRefusesWithMinus12BeforeAnyStart)
{
    TOVU_CONFIG cfg{};
    cfg.log_level = 1;
    cfg.dll_path = dir.c_str();
    std::string no_dir = path("missing");
    cfg.log_path = no_dir.c_str();
    ASSERT_EQ(tovu_init(&cfg), 0);
    Records r;
    EXPECT_EQ(r.start(0), -12);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE);
    EXPECT_EQ(g_proc_channels[0].proc.pid, 0);
}

// the text of the log line after the first line that ends in marker, its
// time stamp left out; empty when there is none
std::string line_after(const std::string &log, const std::string &marker)
{
    size_t at = log.find(marker + "\n");
    if (at == std::string::npos)
        return "";
    size_t begin = at + marker.size() + 1;
    size_t end = log.find('\n', begin);
    std::string line = log.substr(begin, end == std::string::npos ? end : end - begin);
    size_t stamp = line.find("] ");
    return stamp == std::string::npos ? line : line.substr(stamp + 2);
}

// Each refusal's or failed start's fixed line is followed by one that names
// what failed; a program that cannot be executed is named with the system's
// reason, though the slot still runs until the poll reaps it.
TEST_F(Transcode, FailuresAreFollowedByWhatFailed)
{
    std::string cookies = path("cookies.txt");
    ASSERT_EQ(init(1, cookies.c_str()), 0);
    {
        TovuLock lock;
        g_proc_channels[2].state = TOVU_STATE_RUNNING;
    }
    Records r;
    EXPECT_EQ(r.start(2), -3);
    EXPECT_EQ(line_after(log_text(2), "error -3"), "start refused: slot 2 is busy (state 2)");
    Records no_url;
    no_url.src.url = nullptr;
    EXPECT_EQ(no_url.start(3), -7);
    EXPECT_EQ(line_after(log_text(3), "error -7"),
              "the transcoder's argument string could not be composed: a source has no address");

    // no yt-dlp beside the transcoder
    Records web;
    web.src.format = TOVU_FORMAT_YTDLP;
    ASSERT_EQ(web.start(0), 0);
    EXPECT_NE(log_text(0).find("] yt-dlp " + path("yt-dlp") +
                               " could not be started: No such file or directory\n"),
              std::string::npos) << log_text(0);

    // a transcoder that lost its execute permission after the set-up
    ASSERT_EQ(chmod(path("tovul.so").c_str(), 0644), 0);
    ASSERT_EQ(r.start(1), 0);
    EXPECT_NE(log_text(1).find("] transcoder " + path("tovul.so") +
                               " could not be started: Permission denied\n"),
              std::string::npos) << log_text(1);
    ASSERT_TRUE(wait_state(1, TOVU_STATE_IDLE));
    EXPECT_NE(log_text(1).find("transcoding stopped (0x00007f00)"), std::string::npos);
    EXPECT_FALSE(exists(path("stdin.rec")));
}

// A fake yt-dlp that records its arguments and prints the text of "ytdlp.out".
void install_fake_ytdlp(const std::string &dir)
{
    write_file(dir + "/yt-dlp",
               "#!/bin/sh\n"
               "for a in \"$@\"; do printf '%s|' \"$a\"; done > \"$(dirname \"$0\")/ytdlp.args\"\n"
               "cat \"$(dirname \"$0\")/ytdlp.out\"\n",
               0755);
}

TEST_F(Transcode, YtdlpSourceIsExtractedFirstWhenCookiesAreSet)
{
    std::string cookies = path("cookies.txt");
    ASSERT_EQ(init(0, cookies.c_str()), 0);
    install_fake_ytdlp(dir);
    write_file(path("ytdlp.out"), "https://media.example/v.m3u8\n");

    // two sources: the second's address must survive the caller's records
    auto *second_url = new std::string("udp://239.1.1.1:1234");
    std::vector<TOVU_SOURCE> src(2);
    std::string page = "https://www.example/watch?v=1";
    src[0].format = TOVU_FORMAT_YTDLP;
    src[0].url = &page[0];
    src[1].format = TOVU_FORMAT_UDP;
    src[1].url = &(*second_url)[0];
    std::vector<TOVU_TARGET> row(2);
    for (TOVU_TARGET &t : row) {
        t.format = TOVU_FORMAT_UDP;
        t.video.b_enable = 1;
        t.video.codec = TOVU_CODEC_COPY;
        t.url = const_cast<char *>("udp://127.0.0.1:5000");
    }
    const TOVU_TARGET *targets[1] = {row.data()};

    ASSERT_EQ(tovu_transcode(0, src.data(), 2, targets, 1, 0, 0), 0);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_EXTRACT);

    // what the continuation must hand over, composed before the records go
    std::vector<TOVU_SOURCE> resolved = src;
    std::string media = "https://media.example/v.m3u8";
    resolved[0].url = &media[0];
    std::string args;
    ASSERT_EQ(tovu_compose_args(0, resolved.data(), 2, targets, 1, 0, &args), 0);
    memset(&(*second_url)[0], 'x', second_url->size());
    delete second_url;

    ASSERT_TRUE(wait_state(0, TOVU_STATE_RUNNING));
    EXPECT_EQ(read_file(path("ytdlp.args")),
              "-q|--no-warnings|-g|--cookies|" + cookies + "|" + page + "|");
    ASSERT_TRUE(tovutest::pollUntil([&] { return read_file(path("stdin.rec")) == "kfRwa_3861 " + args + "\n"; }))
        << read_file(path("stdin.rec"));
    EXPECT_EQ(g_proc_channels[0].param, nullptr);
}

TEST_F(Transcode, YtdlpSourceWithoutCookiesGoesToTheTranscoder)
{
    ASSERT_EQ(init(0), 0);
    Records r;
    r.src.format = TOVU_FORMAT_YTDLP;
    r.in_url = "https://www.example/watch?v=1";
    r.src.url = &r.in_url[0];
    std::string args = r.args(0);
    EXPECT_NE(args.find(r.in_url), std::string::npos);
    ASSERT_EQ(r.start(0), 0);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING);
    ASSERT_TRUE(tovutest::pollUntil([&] { return read_file(path("stdin.rec")) == "kfRwa_3861 " + args + "\n"; }));
}

TEST_F(Transcode, YtdlpThatCannotStartLeavesTheSlotIdle)
{
    // the cookies file is set but there is no yt-dlp: the child ends at once
    std::string cookies = path("cookies.txt");
    ASSERT_EQ(init(1, cookies.c_str()), 0);
    Records r;
    r.src.format = TOVU_FORMAT_YTDLP;
    ASSERT_EQ(r.start(0), 0);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_EXTRACT);
    EXPECT_NE(log_text(0).find("extract /media/in.ts using yt-dlp...\n"), std::string::npos);
    ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE));
    EXPECT_NE(log_text(0).find("transcoding stopped (0x00007f00)"), std::string::npos) << log_text(0);
    EXPECT_EQ(g_proc_channels[0].param, nullptr);
    EXPECT_FALSE(exists(path("stdin.rec")));
}

TEST_F(Transcode, StartDuringARunningExtractionAbandonsIt)
{
    std::string cookies = path("cookies.txt");
    ASSERT_EQ(init(0, cookies.c_str()), 0);
    write_file(path("yt-dlp"), "#!/bin/sh\nexec sleep 100\n", 0755);
    Records web;
    web.src.format = TOVU_FORMAT_YTDLP;
    ASSERT_EQ(web.start(0), 0);
    pid_t ytdlp = g_proc_channels[0].proc.pid;
    ASSERT_GT(ytdlp, 0);

    // another start of the same slot, from outside the poll
    Records r;
    std::string args = r.args(0);
    ASSERT_EQ(r.start(0), 0);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING);
    EXPECT_EQ(kill(ytdlp, 0), -1);   // killed and reaped
    EXPECT_EQ(g_proc_channels[0].param, nullptr);
    ASSERT_TRUE(tovutest::pollUntil([&] { return read_file(path("stdin.rec")) == "kfRwa_3861 " + args + "\n"; }));
}

TEST(KeptStartArguments, DeepCopyOwnsEveryTextButTheFirstAddress)
{
    char f0[] = "scale=640:360", f1[] = "hflip";
    char *filters[] = {f0, f1};
    char u0[] = "https://page", u1[] = "udp://a:1", alt[] = "default", prm[] = "-re", map[] = "-map 0";
    char vp[] = "-g 50", ap[] = "-ac 2", tu[] = "udp://b:2", tp[] = "-pkt_size 1316";
    TOVU_SOURCE src[2] = {};
    src[0].format = TOVU_FORMAT_YTDLP;
    src[0].url = u0;
    src[0].alt_url = alt;
    src[0].param = prm;
    src[0].map = map;
    src[0].nb_filters = 2;
    src[0].filters = filters;
    src[0].video.param = vp;
    src[0].video.rtp.usSrcPort = 5004;
    strcpy(src[0].video.rtp.szFmtp, "profile-level-id=42e01f");
    src[1].url = u1;
    src[1].audio.param = ap;
    TOVU_TARGET row0[2] = {}, row1[2] = {};
    row0[0].url = tu;
    row0[1].param = tp;
    row1[1].video.param = vp;
    row1[0].mux_kbps = 3000;
    const TOVU_TARGET *targets[2] = {row0, row1};

    TOVU_CHAN_CTX chan{};
    _tovu_copy_param(&chan, src, 2, targets, 2, 2, 1);
    ASSERT_NE(chan.param, nullptr);
    const TOVU_CHAN_PARAM &p = *chan.param;
    EXPECT_EQ(p.nb_sources, 2);
    EXPECT_EQ(p.nb_targets, 2);
    EXPECT_EQ(p.mux_mode, 2);
    EXPECT_EQ(p.b_preview, 1);
    EXPECT_EQ(p.sources[0].url, u0);   // the caller's, replaced by the poll
    auto own = [](const char *copy, const char *orig) {
        return copy && copy != orig && strcmp(copy, orig) == 0;
    };
    EXPECT_TRUE(own(p.sources[1].url, u1));
    EXPECT_TRUE(own(p.sources[0].alt_url, alt));
    EXPECT_TRUE(own(p.sources[0].param, prm));
    EXPECT_TRUE(own(p.sources[0].map, map));
    EXPECT_TRUE(own(p.sources[0].video.param, vp));
    EXPECT_TRUE(own(p.sources[1].audio.param, ap));
    EXPECT_EQ(p.sources[0].audio.param, nullptr);
    ASSERT_EQ(p.sources[0].nb_filters, 2);
    EXPECT_NE(p.sources[0].filters, filters);
    EXPECT_TRUE(own(p.sources[0].filters[0], f0));
    EXPECT_TRUE(own(p.sources[0].filters[1], f1));
    EXPECT_EQ(p.sources[0].video.rtp.usSrcPort, 5004);
    EXPECT_STREQ(p.sources[0].video.rtp.szFmtp, "profile-level-id=42e01f");
    EXPECT_TRUE(own(p.targets[0][0].url, tu));
    EXPECT_TRUE(own(p.targets[0][1].param, tp));
    EXPECT_TRUE(own(p.targets[1][1].video.param, vp));
    EXPECT_EQ(p.targets[1][0].mux_kbps, 3000);

    // a second copy replaces the first; the sanitizer build finds any leak
    _tovu_copy_param(&chan, src, 1, targets, 0, 0, 0);
    ASSERT_NE(chan.param, nullptr);
    EXPECT_EQ(chan.param->nb_sources, 1);
    EXPECT_EQ(chan.param->nb_targets, 0);
    _tovu_free_param(&chan);
    EXPECT_EQ(chan.param, nullptr);
    _tovu_free_param(&chan);   // nothing kept: nothing to do

    EXPECT_EQ(_strallocpy(nullptr), nullptr);
    char *c = _strallocpy("");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "");
    free(c);
}

} // namespace
