// The supervision pass: progress, stop and failover messages, ended and
// hanging transcoders, yt-dlp results, the CPU load sample, and the release.
#include "fixtures/engine_fixture.h"
#include "fixtures/proc_tree.h"
#include "tovu_poll.h"
#include "tovu_engine_internal.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using tovutest::EngineTest;
using tovutest::exists;
using tovutest::read_file;
using tovutest::Records;
using tovutest::write_file;

namespace {

std::atomic<time_t> g_fake_now{0};
time_t fake_clock()
{
    return g_fake_now.load();
}

class Poll : public EngineTest {
protected:
    // One chunk of "transcoder output": written into the slot's output pipe,
    // whose write end the engine keeps, and read by one pass.
    void feed(int ch, const std::string &text)
    {
        ASSERT_EQ(write(g_proc_channels[ch].proc.pipe_stdout[1], text.data(), text.size()),
                  (ssize_t)text.size());
        tovu_poll();
    }
    void start_silent(int ch)
    {
        Records r;
        ASSERT_EQ(r.start(ch), 0);
    }
    void set_slot(int ch, TOVU_CHANNEL_STATE st)
    {
        TovuLock lock;
        TOVU_CHAN_CTX &c = g_proc_channels[ch];
        c.state = st;
        c.streaming_time = c.fps = c.bitrate = -1;
    }
};

TEST_F(Poll, ProgressAndFailoverChunks)
{
    ASSERT_EQ(init(0), 0);
    start_silent(0);
    const char *kOut = "primary input timed out, switching to secondary input\n";
    const char *kBack = "primary input available again, switching back\n";
    const char *kBanner = "[libx264 @ 0x5581] 264 - core 164 - options: rc=abr mbtree=1 bitrate=300 ratetol=1.0\n";
    struct Case {
        const char *name;
        TOVU_CHANNEL_STATE from;
        std::vector<std::string> chunks;
        int time, fps, bitrate;
        TOVU_CHANNEL_STATE to;
    };
    const Case cases[] = {
        {"progress", TOVU_STATE_RUNNING,
         {"frame=  50 q=28.0 size=  256kB time=00:01:02.50 fps= 25 bitrate= 1500.3kbits/s speed=1x\r"},
         62, 25, 1500, TOVU_STATE_RUNNING},
        {"hours", TOVU_STATE_PREVIEW, {"x time=02:00:03\n"}, 7203, -1, -1, TOVU_STATE_PREVIEW},
        {"no time", TOVU_STATE_RUNNING, {"frame=50 fps= 25 bitrate= 1500.3kbits/s\r"}, -1, -1, -1,
         TOVU_STATE_RUNNING},
        {"unknown time", TOVU_STATE_RUNNING, {"q=1 time=N/A fps=30 bitrate=N/A\r"}, -1, 30, -1,
         TOVU_STATE_RUNNING},
        {"time split across chunks", TOVU_STATE_RUNNING, {"size=1kB ti", "me=00:00:09.00\r"}, -1, -1,
         -1, TOVU_STATE_RUNNING},
        {"switch to secondary", TOVU_STATE_RUNNING, {kOut}, -1, -1, -1, TOVU_STATE_NOSIGNAL},
        {"switch back", TOVU_STATE_NOSIGNAL, {kBack}, -1, -1, -1, TOVU_STATE_RUNNING},
        {"both in one chunk", TOVU_STATE_RUNNING, {std::string(kOut) + kBack}, -1, -1, -1,
         TOVU_STATE_RUNNING},
        {"message split across chunks", TOVU_STATE_RUNNING,
         {"primary input timed out, swi", "tching to secondary input\n"}, -1, -1, -1,
         TOVU_STATE_RUNNING},
        {"preview does not fail over", TOVU_STATE_PREVIEW, {kOut}, -1, -1, -1, TOVU_STATE_PREVIEW},
        // times that do not fit are not taken, and nothing overflows on the way
        {"hours past the range", TOVU_STATE_RUNNING, {" time=2562047788015216:00:00 fps=5\r"}, -1, 5,
         -1, TOVU_STATE_RUNNING},
        {"minutes past the range", TOVU_STATE_RUNNING, {" time=0:99999999999999999999:00\r"}, -1, -1,
         -1, TOVU_STATE_RUNNING},
        {"seconds past the range", TOVU_STATE_RUNNING, {" time=0:0:-9223372036854775808\r"}, -1, -1,
         -1, TOVU_STATE_RUNNING},
        {"sum past the range", TOVU_STATE_RUNNING, {" time=596524:00:00\r"}, -1, -1, -1,
         TOVU_STATE_RUNNING},
        {"largest time", TOVU_STATE_RUNNING, {" time=596523:14:07 bitrate=99999999999\r"}, INT_MAX,
         -1, INT_MAX, TOVU_STATE_RUNNING},
        // the rate is the progress line's own, never an encoder banner's
        {"banner before a line without a rate", TOVU_STATE_RUNNING,
         {std::string(kBanner) + "frame= 1 time=00:00:05.00 bitrate=N/A speed=1x\r"}, 5, -1, -1,
         TOVU_STATE_RUNNING},
        {"banner after a line without a rate", TOVU_STATE_RUNNING,
         {std::string("frame= 1 time=00:00:05.00 bitrate=N/A\r") + kBanner}, 5, -1, -1,
         TOVU_STATE_RUNNING},
        {"banner and a line with a rate", TOVU_STATE_RUNNING,
         {std::string(kBanner) + "frame= 2 fps=25 time=00:00:06.00 bitrate= 812.5kbits/s\r"}, 6, 25,
         812, TOVU_STATE_RUNNING},
    };
    for (const Case &c : cases) {
        set_slot(0, c.from);
        for (const std::string &chunk : c.chunks)
            feed(0, chunk);
        EXPECT_EQ(tovu_get_stream_time(0), c.time) << c.name;
        EXPECT_EQ(tovu_get_stream_fps(0), c.fps) << c.name;
        EXPECT_EQ(tovu_get_stream_bitrate(0), c.bitrate) << c.name;
        EXPECT_EQ(tovu_get_state(0), c.to) << c.name;
    }
}

std::vector<std::pair<intptr_t, std::string>> g_calls;
void record_call(void *slot, const char *chunk)
{
    g_calls.emplace_back(reinterpret_cast<intptr_t>(slot), chunk);
}

TEST_F(Poll, ChunksGoRawToTheLogAndToTheCallback)
{
    ASSERT_EQ(init(1), 0);
    g_calls.clear();
    tovuSetAppCallback(record_call);
    start_silent(5);
    feed(5, "frame=1 partial line");
    feed(5, " and the rest\n");
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0], std::make_pair(intptr_t(5), std::string("frame=1 partial line")));
    EXPECT_EQ(g_calls[1].second, " and the rest\n");
    EXPECT_NE(log_text(5).find("\nframe=1 partial line and the rest\n"), std::string::npos)
        << log_text(5);
}

TEST_F(Poll, StopMessagesInterruptAndOutrankFailover)
{
    ASSERT_EQ(init(1), 0);
    const char *stop_msgs[] = {"output video frame freezing\n",
                               "There's no buffered audio. Audio will misbehave!\n"};
    for (int ch = 0; ch < 2; ch++) {
        start_silent(ch);
        feed(ch, std::string(stop_msgs[ch]) +
                     "primary input timed out, switching to secondary input\n");
        // interrupted, never switched over; the interrupted child may already
        // have been found ended in the same pass
        TOVU_CHANNEL_STATE st = tovu_get_state(ch);
        EXPECT_TRUE(st == TOVU_STATE_STOPPING || st == TOVU_STATE_IDLE) << stop_msgs[ch] << st;
        EXPECT_NE(log_text(ch).find("] stop transcoding\n"), std::string::npos);
        ASSERT_TRUE(wait_state(ch, TOVU_STATE_IDLE));
        EXPECT_NE(log_text(ch).find("] transcoding stopped (0x"), std::string::npos) << log_text(ch);
    }
}

TEST_F(Poll, EndedTranscoderIsFoundWithItsLastWords)
{
    ASSERT_EQ(init(1), 0);
    fake_conf("FAKE_OUTPUT='frame=9 time=00:00:04.00 fps=9 bitrate=77kbits/s\\n'\nFAKE_EXIT=3\n");
    start_silent(0);
    ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE));
    EXPECT_EQ(tovu_get_stream_time(0), 4);
    EXPECT_EQ(tovu_get_stream_bitrate(0), 77);
    EXPECT_EQ(tovu_get_exit_code(0), 0x300);
    EXPECT_NE(log_text(0).find("transcoding stopped (0x00000300)\n"), std::string::npos);
}

// A transcoder that ends while a process it started still holds the output
// pipe is found ended all the same: through its process descriptor, or, for
// a record without one, by asking for the child's end directly. Then what it
// left in its group is killed.
TEST_F(Poll, EndWhileADescendantHoldsThePipe)
{
    ASSERT_EQ(init(1), 0);
    const std::string pid_file = path("descendant.pid");
    write_file(path("tovul.so"),
               "#!/bin/sh\nread line\nsleep 30 &\necho $! > '" + pid_file +
                   "'\nprintf 'frame=1 time=00:00:07.00 fps=5\\n'\nexit 4\n",
               0755);
    for (bool with_pidfd : {true, false}) {
        unlink(pid_file.c_str());
        start_silent(0);
        if (!with_pidfd) {
            TovuLock lock;
            TOVU_PROC_CTX &proc = g_proc_channels[0].proc;
            ASSERT_GT(tovu_proc_pidfd(&proc), 0);
            close(proc.pidfd);
            proc.pidfd = 0;
            proc.pidfd_pid = 0;
        }
        ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE)) << with_pidfd;
        EXPECT_EQ(tovu_get_stream_time(0), 7) << with_pidfd;
        EXPECT_EQ(tovu_get_exit_code(0), 0x400) << with_pidfd;
        EXPECT_EQ(g_proc_channels[0].proc.pidfd, 0) << with_pidfd;   // closed with the reaping
        pid_t descendant = atoi(read_file(pid_file).c_str());
        ASSERT_GT(descendant, 0);
        // it held the pipe until the end was found, and ends with the group
        EXPECT_TRUE(tovutest::pollUntil([&] { return !tovutest::process_runs(descendant); })) << with_pidfd;
        kill(descendant, SIGKILL);
    }
}

TEST_F(Poll, SilentAfterOutputIsKilledAfter30Seconds)
{
    ASSERT_EQ(init(1), 0);
    const time_t t0 = 2000000000;
    g_fake_now = t0;
    _tovu_set_clock(fake_clock);
    start_silent(0);

    // never printed anything: never taken for hanging
    g_fake_now = t0 + 1000;
    tovu_poll();
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING);

    feed(0, "frame=1\n");
    EXPECT_EQ(g_proc_channels[0].tm_alive, t0 + 1000);
    g_fake_now = t0 + 1030;
    tovu_poll();
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING);

    g_fake_now = t0 + 1031;
    tovu_poll();
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_STOPPING);
    EXPECT_EQ(g_proc_channels[0].tm_alive, t0 + 1031 - 29);   // again in about 2 s
    EXPECT_NE(log_text(0).find("] channel seems to be hanging for over 30 secs, killing...\n"),
              std::string::npos);
    EXPECT_NE(log_text(0).find("] stop transcoding forcedly\n"), std::string::npos);
    ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE));
    EXPECT_NE(log_text(0).find("transcoding stopped (0x00000009)"), std::string::npos);
}

// A fake yt-dlp that prints the text of "ytdlp.out".
void install_fake_ytdlp(const std::string &dir, const std::string &body = "")
{
    write_file(dir + "/yt-dlp",
               body.empty() ? "#!/bin/sh\ncat \"$(dirname \"$0\")/ytdlp.out\"\n" : body, 0755);
}

TEST_F(Poll, YtdlpOutputDecidesTheAddress)
{
    std::string cookies = path("cookies.txt");
    ASSERT_EQ(init(1, cookies.c_str()), 0);
    install_fake_ytdlp(dir);
    struct Case {
        const char *out;
        const char *address;   // null: the slot goes idle
        const char *logged;
    };
    const Case cases[] = {
        {"https://m.example/v.mp4\n\n", "https://m.example/v.mp4",
         "yt-dlp output: https://m.example/v.mp4\n"},
        {"https://m.example/video\nhttps://m.example/audio\n", "https://m.example/video",
         "yt-dlp output: https://m.example/video\nhttps://m.example/audio"},
        {"ERROR: [generic] video unavailable\n", nullptr,
         "yt-dlp output: ERROR: [generic] video unavailable\n"},
        {"\n\n", nullptr, "yt-dlp output: \n"},
        {"", nullptr, "transcoding stopped (0x00000000)\n"},
    };
    int ch = 0;
    for (const Case &c : cases) {
        unlink(path("stdin.rec").c_str());
        write_file(path("ytdlp.out"), c.out);
        Records r;
        r.src.format = TOVU_FORMAT_YTDLP;
        ASSERT_EQ(r.start(ch), 0);
        EXPECT_EQ(tovu_get_state(ch), TOVU_STATE_EXTRACT);
        ASSERT_TRUE(tovutest::pollUntil([&] { return tovu_get_state(ch) != TOVU_STATE_EXTRACT; })) << c.out;
        EXPECT_NE(log_text(ch).find(c.logged), std::string::npos) << c.out << log_text(ch);
        EXPECT_EQ(g_proc_channels[ch].param, nullptr);
        if (c.address) {
            EXPECT_EQ(tovu_get_state(ch), TOVU_STATE_RUNNING);
            Records resolved;
            std::string address = c.address;
            resolved.src.url = &address[0];
            std::string expected = "kfRwa_3861 " + resolved.args(ch) + "\n";
            EXPECT_TRUE(tovutest::pollUntil([&] { return read_file(path("stdin.rec")) == expected; }))
                << read_file(path("stdin.rec"));
        } else {
            EXPECT_EQ(tovu_get_state(ch), TOVU_STATE_IDLE) << c.out;
            EXPECT_FALSE(exists(path("stdin.rec")));
        }
        ch++;
    }
}

TEST_F(Poll, FailedContinuationLeavesTheSlotIdle)
{
    std::string cookies = path("cookies.txt");
    ASSERT_EQ(init(1, cookies.c_str()), 0);
    install_fake_ytdlp(dir);
    write_file(path("ytdlp.out"), "https://m.example/v.mp4\n");
    Records r;
    r.src.format = TOVU_FORMAT_YTDLP;
    r.tgt.format = TOVU_FORMAT_YTDLP;   // not an output: the composition fails
    ASSERT_EQ(r.start(0), 0);
    ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE));
    EXPECT_NE(log_text(0).find("] error -10\n"), std::string::npos) << log_text(0);
    EXPECT_EQ(g_proc_channels[0].param, nullptr);
}

TEST_F(Poll, YtdlpThatNeverEndsIsBoundedAndNeverBlocksThePass)
{
    std::string cookies = path("cookies.txt");
    ASSERT_EQ(init(1, cookies.c_str()), 0);
    install_fake_ytdlp(dir, "#!/bin/sh\necho https://m.example/partial\nexec sleep 100\n");
    const time_t t0 = 2000000000;
    g_fake_now = t0;
    _tovu_set_clock(fake_clock);
    Records r;
    r.src.format = TOVU_FORMAT_YTDLP;
    ASSERT_EQ(r.start(0), 0);
    pid_t pid = g_proc_channels[0].proc.pid;

    // A pass that waited for yt-dlp would wait in every pass; one that does
    // not can still be preempted, so the quickest of a few passes is measured.
    for (time_t t : {t0, t0 + 30, t0 + TOVU_YTDLP_MAX_SECS}) {
        g_fake_now = t;
        auto quickest = std::chrono::steady_clock::duration::max();
        for (int k = 0; k < 3; k++) {
            auto begin = std::chrono::steady_clock::now();
            tovu_poll();
            quickest = std::min(quickest, std::chrono::steady_clock::now() - begin);
        }
        EXPECT_LT(quickest, std::chrono::milliseconds(50));
        EXPECT_EQ(tovu_get_state(0), TOVU_STATE_EXTRACT);
    }
    g_fake_now = t0 + TOVU_YTDLP_MAX_SECS + 1;
    ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE));
    EXPECT_EQ(kill(pid, 0), -1);   // killed and reaped
    EXPECT_NE(log_text(0).find("transcoding stopped (0x00000009)"), std::string::npos)
        << log_text(0);
    EXPECT_FALSE(exists(path("stdin.rec")));   // partial output never used
}

TEST_F(Poll, StoppedExtractionReleasesItsKeptArguments)
{
    std::string cookies = path("cookies.txt");
    ASSERT_EQ(init(0, cookies.c_str()), 0);
    install_fake_ytdlp(dir, "#!/bin/sh\nexec sleep 100\n");
    Records r;
    r.src.format = TOVU_FORMAT_YTDLP;
    ASSERT_EQ(r.start(0), 0);
    ASSERT_NE(g_proc_channels[0].param, nullptr);
    tovu_stop(0, 0);
    ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE));
    EXPECT_EQ(g_proc_channels[0].param, nullptr);
}

TEST(CpuLoad, SamplesAreDifferencesClampedToPercent)
{
    const int saved = g_cfg.nb_cpus;
    g_cfg.nb_cpus = 3;
    memset(g_cfg.cpu_usage, 0, sizeof g_cfg.cpu_usage);
    auto pct = [](int c) { return g_cfg.cpu_usage[c].load_pct; };

    tovu_sample_cpu_load("cpu  150 0 150 1700 0 0 0 0 0 0\n"
                          "cpu0 100 0 100 800 0 0 0 0 0 0\n"
                          "cpu1 50 0 50 900 0 0 0 0 0 0\n");
    EXPECT_EQ(pct(0), 0);   // the first sample has nothing to compare with
    EXPECT_EQ(g_cfg.cpu_usage[0].last_load, 200u);
    EXPECT_EQ(g_cfg.cpu_usage[0].last_total, 1000u);

    // cpu0: 100 of 200 jiffies busy; cpu1's line is missing: it keeps its values
    tovu_sample_cpu_load("cpu0 150 0 150 900 0 0 0 0\n");
    EXPECT_EQ(pct(0), 50);
    EXPECT_EQ(g_cfg.cpu_usage[1].last_load, 100u);

    // counters that go backwards never give a load outside 0..100
    tovu_sample_cpu_load("cpu0 100 0 100 800 0 0 0 0\n");
    EXPECT_EQ(pct(0), 0);
    tovu_sample_cpu_load("cpu0 150 0 150 700 50 0 0 0\n");   // idle falls, busy rises
    EXPECT_EQ(pct(0), 100);
    // an incomplete line is skipped
    tovu_sample_cpu_load("cpu0 900 0 900\n");
    EXPECT_EQ(pct(0), 100);
    EXPECT_EQ(g_cfg.cpu_usage[0].last_load, 300u);
    // busy counters that wrap around 32 bits still give the true difference
    g_cfg.cpu_usage[2].last_load = 4294967246u;   // 2^32 - 50
    g_cfg.cpu_usage[2].last_total = 4294967246u;
    tovu_sample_cpu_load("cpu2 50 0 0 100 0 0 0 0\n");   // 100 busy of 200
    EXPECT_EQ(pct(2), 50);

    g_cfg.nb_cpus = saved;
    memset(g_cfg.cpu_usage, 0, sizeof g_cfg.cpu_usage);
}

class Release : public EngineTest {};

TEST_F(Release, IdleSlotsAreReleasedWithoutWaiting)
{
    // A release that naps even once takes 30 ms every time; one that does not
    // can still be preempted on a busy machine, so the quickest of a few
    // releases is what is measured.
    auto quickest = std::chrono::steady_clock::duration::max();
    for (int k = 0; k < 5; k++) {
        ASSERT_EQ(init(0), 0);
        auto begin = std::chrono::steady_clock::now();
        tovu_free();
        quickest = std::min(quickest, std::chrono::steady_clock::now() - begin);
    }
    EXPECT_LT(quickest, std::chrono::milliseconds(25));
    EXPECT_EQ(g_proc_channels, nullptr);
    EXPECT_EQ(g_cfg.b_init, 0);
    EXPECT_EQ(g_cfg.nb_channels_max, 32);
}

TEST_F(Release, UnendingChildrenShareOneBudgetThenAreKilled)
{
    ASSERT_EQ(init(0), 0);
    fake_conf("FAKE_HOLD=-1\nFAKE_IGNORE_INT=1\n");
    Records r;
    ASSERT_EQ(r.start(0), 0);
    ASSERT_EQ(r.start(1), 0);
    pid_t pids[2] = {g_proc_channels[0].proc.pid, g_proc_channels[1].proc.pid};
    // both have read their line (and so set their signal handling)
    ASSERT_TRUE(tovutest::pollUntil([&] {
        std::string rec = read_file(path("stdin.rec"));
        return std::count(rec.begin(), rec.end(), '\n') == 2;
    }));

    // When each child ends, seen without reaping it. The budget's length is
    // a lower bound only (every nap lasts at least its 30 ms); that it is
    // shared shows in the second child dying right after the first, where a
    // budget of its own would keep it alive for at least 3 s more.
    using Clock = std::chrono::steady_clock;
    Clock::time_point died[2];
    std::thread watcher([&] {
        int fds[2];
        for (int k = 0; k < 2; k++)
            fds[k] = (int)syscall(SYS_pidfd_open, pids[k], 0);
        bool seen[2] = {false, false};
        tovutest::waitUntil([&] {
            for (int k = 0; k < 2; k++) {
                struct pollfd p = {fds[k], POLLIN, 0};
                if (!seen[k] && fds[k] >= 0 && poll(&p, 1, 0) == 1) {
                    seen[k] = true;
                    died[k] = Clock::now();
                }
            }
            return seen[0] && seen[1];
        }, 60000);
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    });

    auto begin = Clock::now();
    tovu_free();
    auto spent = Clock::now() - begin;
    watcher.join();
    EXPECT_GE(spent, std::chrono::milliseconds(100 * 30));
    ASSERT_GE(died[0], begin + std::chrono::milliseconds(100 * 30));
    ASSERT_GE(died[1], begin + std::chrono::milliseconds(100 * 30));
    auto gap = died[1] > died[0] ? died[1] - died[0] : died[0] - died[1];
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(gap).count(), 1500)
        << "ms between the two kills";
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    }

    // no table: everything answers as for a slot outside it
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE);
    EXPECT_EQ(tovu_get_stream_time(0), -1);
    EXPECT_EQ(tovu_get_stream_fps(0), -1);
    EXPECT_EQ(tovu_get_stream_bitrate(0), -1);
    EXPECT_EQ(tovu_get_exit_code(0), 0);
    tovu_stop(0, 1);
    EXPECT_EQ(tovu_poll(), 0);
    EXPECT_EQ(r.start(0), -1);
    tovu_free();
}

} // namespace
