// The supervision loop and the restart timers, on the fake transcoder: timed
// restarts, folder advance and its pacing, time-shift channels, stops made
// while a timer is pending, the quit flag and the deletion of pending timers.
// The pacing runs on a clock that the tests move themselves.
#include <gtest/gtest.h>

#include <limits.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "PlayList.h"
#include "fixtures/engine_fixture.h"
#include "tovu_config.h"
#include "tovu_document.h"
#include "tovu_channel.h"
#include "tovu_daemon.h"
#include "tovu_daemon_testing.h"

namespace {

using Clock = std::chrono::steady_clock;
using tovutest::read_file;
// without polling the engine: the loop does
using tovutest::waitUntil;

// the loop's pacing clock, in milliseconds: it moves only when a test moves it
std::atomic<long long> g_loopNow{0};
long long loopNow()
{
    return g_loopNow.load();
}
// moved at the start of every pass of runLoop
std::atomic<long long> g_loopStep{0};

// one enabled channel reading `url`, to UDP with the streams copied;
// `output_extra` and `channel_extra` add members to its output and to itself
std::string channelJson(const std::string &url, const std::string &channel_extra = "\"enable\": true",
                        const std::string &output_extra = "")
{
    std::string s = "{" + channel_extra + (channel_extra.empty() ? "" : ", ");
    s += "\"input\": {\"sources\": [{\"format\": \"file\", \"url\": \"" + url + "\"}]}, ";
    s += "\"output\": {" + output_extra + (output_extra.empty() ? "" : ", ");
    s += "\"targets\": [{\"format\": \"udp\", \"url\": \"udp://127.0.0.1:5000\", "
         "\"video\": {\"codec\": \"copy\"}, \"audio\": {\"codec\": \"copy\"}}]}}";
    return s;
}

class LoopTest : public tovutest::EngineTest {
protected:
    std::thread loop;

    void SetUp() override
    {
        EngineTest::SetUp();
        quit = 0;
        tovuInitChannelTimers();
        fake_conf("FAKE_HOLD=0\n");
        g_loopNow = 1000000;
        _tovuSetLoopClock(loopNow);
    }

    void TearDown() override
    {
        stopLoop();
        tovuDeleteChannelTimers();
        _tovuSetLoopClock(nullptr);
        EngineTest::TearDown();
    }

    // moves the pacing clock on
    static void advance(long long ms) { g_loopNow += ms; }

    // installs a document with global "autoRestart" (a JSON value) and the channels
    void config(const std::string &autoRestart, const std::vector<std::string> &channels)
    {
        std::string s = "{\"global\": {\"autoRestart\": " + autoRestart + "}, \"channels\": [";
        for (size_t i = 0; i < channels.size(); ++i)
            s += (i ? ", " : "") + channels[i];
        s += "]}";
        ASSERT_NE(tovuSetConfig(s.c_str()), nullptr) << s;
        TovuConfigLock doc;
        ASSERT_EQ(tovuChannelCount(), static_cast<int>(channels.size()));
    }

    // the loop's passes, counted at their visit of the first channel
    static std::atomic<int> &passes()
    {
        static std::atomic<int> n{0};
        return n;
    }
    // the loop on its own thread; each pass moves the pacing clock on by msPerPass
    void runLoop(long long msPerPass = 0)
    {
        quit = 0;
        g_loopStep = msPerPass;
        loop = std::thread([] {
            tovuSupervise([](int i) {
                if (i == 0) {
                    ++passes();
                    advance(g_loopStep);
                }
                tovuVisitChannel(i);
            });
        });
    }
    // n more passes of the loop have begun
    bool waitPasses(int n)
    {
        int until = passes() + n;
        return waitUntil([&] { return passes() >= until; });
    }
    void stopLoop()
    {
        quit = 1;
        if (loop.joinable())
            loop.join();
    }

    // the lines the fake transcoders have read, one per start
    std::vector<std::string> starts() const
    {
        std::vector<std::string> lines;
        std::string text = read_file(path("stdin.rec"));
        size_t pos = 0, nl;
        while ((nl = text.find('\n', pos)) != std::string::npos) {
            lines.push_back(text.substr(pos, nl - pos));
            pos = nl + 1;
        }
        return lines;
    }
    size_t nstarts() const { return starts().size(); }

    // waits for start number n (from 1) and returns when it was seen
    Clock::time_point waitStart(size_t n, int ms)
    {
        EXPECT_TRUE(waitUntil([&] { return nstarts() >= n; }, ms)) << "start " << n << " not seen";
        return Clock::now();
    }

    // the engine polled from the test thread, for tests that run no loop
    bool pollUntilIdle(int ch)
    {
        return tovutest::pollUntil([ch] { return tovu_get_state(ch) == TOVU_STATE_IDLE; });
    }

    std::string folder(const std::vector<std::string> &files)
    {
        std::string d = path("media");
        std::filesystem::create_directory(d);
        for (const std::string &f : files)
            tovutest::write_file(d + "/" + f, "x");
        return d;
    }
};

TEST_F(LoopTest, EndedChannelIsStartedAgainAfterAutoRestartByOneTimer)
{
    ASSERT_EQ(init(0), 0);
    config("1", {channelJson("/media/in.ts")});
    ASSERT_EQ(tovuStartChannel(0), 0);
    runLoop();
    ASSERT_TRUE(waitUntil([] { return tovu_get_state(0) == TOVU_STATE_IDLE; }, 10000));
    Clock::time_point idle = Clock::now();
    Clock::time_point second = waitStart(2, 20000);
    Clock::time_point third = waitStart(3, 20000);
    int delay = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(second - idle).count());
    int gap = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(third - second).count());
    printf("restart delay after the transcoder ended: %d ms (autoRestart 1 s); next restart %d ms later\n",
           delay, gap);
    EXPECT_GE(delay, 950);
    // seen when the restarted child records its line, which on a loaded
    // machine can come seconds after the start (the timer's own delay is
    // checked exactly below)
    EXPECT_LE(delay, 6000);
    // a second timer for the same restart would start the channel again at once
    EXPECT_GE(gap, 950);
}

// "autoRestart" read leniently: the delay the armed timer was given, or no timer
TEST_F(LoopTest, RestartDelayFollowsAutoRestart)
{
    ASSERT_EQ(init(0), 0);
    struct Case {
        const char *value;
        long long ms; // -1: no timer
    } cases[] = {
        {"\"10\"", 10000}, {"true", 1000}, {"5", 5000},
        {"3000000", INT_MAX}, // more seconds than the int range holds in ms: held to it
        {"0", -1}, {"-5", -1}, {"false", -1}, {"\"abc\"", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        tovuInitChannelTimers();
        config(c.value, {channelJson("/media/in.ts")});
        tovuVisitChannel(0);
        tovuVisitChannel(0); // a pending timer is neither re-armed nor extended
        timer_t t = _tovuChannelTimer(0);
        EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE);
        if (c.ms < 0) {
            EXPECT_EQ(t, TOVU_TIMER_NONE);
        } else {
            ASSERT_NE(t, TOVU_TIMER_NONE);
            ASSERT_NE(t, static_cast<timer_t>(0));
            struct itimerspec its;
            ASSERT_EQ(timer_gettime(t, &its), 0);
            long long left = its.it_value.tv_sec * 1000LL + its.it_value.tv_nsec / 1000000;
            EXPECT_LE(left, c.ms);
            EXPECT_GT(left, c.ms - 1000);
            EXPECT_EQ(its.it_interval.tv_sec, 0);
            EXPECT_EQ(its.it_interval.tv_nsec, 0);
        }
        tovuDeleteChannelTimers();
    }
    EXPECT_EQ(nstarts(), 0u);
}

TEST_F(LoopTest, DisabledChannelIsNotVisited)
{
    ASSERT_EQ(init(0), 0);
    std::string media = folder({"a.ts"});
    // a folder channel would be started in the visit itself, any other would get a timer
    for (const char *enable : {"\"enable\": false", "\"enable\": \"true\"", "\"enable\": 1", ""}) {
        SCOPED_TRACE(enable);
        config("1", {channelJson(media, enable), channelJson("/media/in.ts", enable)});
        tovuVisitChannel(0);
        tovuVisitChannel(1);
        EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE);
        EXPECT_EQ(_tovuChannelTimer(1), TOVU_TIMER_NONE);
    }
    // a channel index beyond the document
    tovuVisitChannel(5);
    EXPECT_EQ(_tovuChannelTimer(5), TOVU_TIMER_NONE);
}

// the playlist moves on after every end; past the last file it wraps only
// while "autoRestart" is above 0, else the last file plays again
TEST_F(LoopTest, FolderChannelAdvancesAndWrapsOnlyWithAutoRestart)
{
    ASSERT_EQ(init(0), 0);
    std::string media = folder({"b.ts", "a.ts"});
    struct Case {
        const char *autoRestart;
        const char *third;
    } cases[] = {{"1", "a.ts"}, {"0", "b.ts"}, {"-1", "b.ts"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.autoRestart);
        std::filesystem::remove(path("stdin.rec"));
        g_tovuPlaylists[0].build("/nonexistent", FALSE, FALSE, TRUE);
        config(c.autoRestart, {channelJson(media)});
        // a whole second of the pacing per pass: every idle visit may start
        runLoop(TOVU_MIN_RESTART_GAP_MS);
        waitStart(3, 15000);
        stopLoop();
        pollUntilIdle(0);
        std::vector<std::string> lines = starts();
        ASSERT_GE(lines.size(), 3u);
        const char *expect[] = {"a.ts", "b.ts", c.third};
        for (int k = 0; k < 3; ++k)
            EXPECT_NE(lines[k].find(media + "/" + expect[k] + "\""), std::string::npos) << lines[k];
        EXPECT_EQ(_tovuChannelTimer(0), TOVU_TIMER_NONE);
    }
}

// a folder whose files all fail at once: the loop starts one transcoder a
// second at most, not one a pass, however many passes find the channel idle
TEST_F(LoopTest, FolderOfFailingFilesStartsAtMostOneTranscoderASecond)
{
    ASSERT_EQ(init(0), 0);
    fake_conf("FAKE_HOLD=0\nFAKE_EXIT=1\n");
    config("1", {channelJson(folder({"a.ts", "b.ts", "c.ts"}))});
    long long from = g_loopNow;
    runLoop(TOVU_MIN_RESTART_GAP_MS / 4);
    ASSERT_TRUE(waitPasses(20));
    stopLoop();
    ASSERT_TRUE(pollUntilIdle(0));
    long long seconds = (g_loopNow - from) / TOVU_MIN_RESTART_GAP_MS;
    size_t n = nstarts();
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, static_cast<size_t>(seconds) + 1)
        << "over " << seconds << " s of the loop's clock";
}

// The pacing decision, visit by visit: a folder channel that ended within a
// second of its start waits out the rest of that second; one that played
// longer advances at once.
TEST_F(LoopTest, FolderChannelWaitsOutTheSecondSinceItsStart)
{
    ASSERT_EQ(init(0), 0);
    std::string media = folder({"a.ts", "b.ts", "c.ts"});
    config("1", {channelJson(media)});
    tovuVisitChannel(0);
    ASSERT_NE(tovu_get_state(0), TOVU_STATE_IDLE);
    ASSERT_TRUE(pollUntilIdle(0));
    advance(TOVU_MIN_RESTART_GAP_MS - 1);
    tovuVisitChannel(0);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE) << "started again within the second";
    EXPECT_EQ(g_tovuPlaylists[0].GetCurFileCopy(), media + "/a.ts") << "advanced without a start";
    advance(1);
    tovuVisitChannel(0);
    EXPECT_NE(tovu_get_state(0), TOVU_STATE_IDLE) << "the second is over";
    EXPECT_EQ(g_tovuPlaylists[0].GetCurFileCopy(), media + "/b.ts");

    // a file that played 1.2 s: its end is past the second since its start
    advance(1200);
    ASSERT_TRUE(pollUntilIdle(0));
    tovuVisitChannel(0);
    EXPECT_NE(tovu_get_state(0), TOVU_STATE_IDLE) << "a file that played 1.2 s advances at once";
    EXPECT_EQ(g_tovuPlaylists[0].GetCurFileCopy(), media + "/c.ts");
}

// the way the web interface stops a channel: "enable" set false, then the stop
TEST_F(LoopTest, ChannelStoppedWhileItsTimerIsPendingStaysStopped)
{
    ASSERT_EQ(init(0), 0);
    fake_conf("FAKE_HOLD=0.3\n");
    config("1", {channelJson("/media/in.ts")});
    ASSERT_EQ(tovuStartChannel(0), 0);
    ASSERT_TRUE(pollUntilIdle(0));
    tovuVisitChannel(0);
    ASSERT_NE(_tovuChannelTimer(0), TOVU_TIMER_NONE);
    {
        TovuConfigLock doc;
        tovuSetMemberBool(tovuChannelItem(0), "enable", false);
    }
    tovuStopChannel(0, 0);
    runLoop();
    // the timer fired and let go of its entry; a start it made would have
    // ended (and been recorded) by the time the channel is idle
    EXPECT_TRUE(waitUntil([] { return _tovuChannelTimer(0) == TOVU_TIMER_NONE; }));
    stopLoop();
    ASSERT_TRUE(pollUntilIdle(0));
    EXPECT_EQ(nstarts(), 1u);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE);
    // the timer fired, found the channel stopped and let go of its entry
    EXPECT_EQ(_tovuChannelTimer(0), TOVU_TIMER_NONE);
}

// a time-shift channel is not attempted while its own slot runs, so nothing
// is refused into its log, and is started again without a timer when it ends
TEST_F(LoopTest, TimeShiftChannelStartsOnlyWhileItsSlotIsIdle)
{
    ASSERT_EQ(init(32), 0);
    fake_conf("FAKE_HOLD=-1\n");
    config("5", {channelJson("/media/in.ts", "\"enable\": true", "\"timeShift\": \"1\"")});
    runLoop();
    ASSERT_TRUE(waitUntil([] { return tovu_get_state(0) == TOVU_STATE_RUNNING; }, 10000));
    // the slot reads running at once; the child records its line when it gets to run
    ASSERT_TRUE(waitUntil([&] { return nstarts() >= 1; }, 20000));
    // visits while the slot runs
    EXPECT_TRUE(waitPasses(3));
    stopLoop();
    EXPECT_TRUE(waitUntil([&] { return nstarts() >= 1; }, 10000));
    EXPECT_EQ(nstarts(), 1u);
    std::string log = log_text(0);
    EXPECT_EQ(log.find("error -3"), std::string::npos) << log;

    tovu_stop(0, 1);
    ASSERT_TRUE(pollUntilIdle(0));
    // clear of the once-a-second pacing
    advance(TOVU_MIN_RESTART_GAP_MS);
    tovuVisitChannel(0);
    EXPECT_NE(tovu_get_state(0), TOVU_STATE_IDLE) << "a time-shift channel waits for no timer";
    EXPECT_EQ(_tovuChannelTimer(0), TOVU_TIMER_NONE);
}

TEST_F(LoopTest, QuitStopsThePassBeforeTheNextChannel)
{
    ASSERT_EQ(init(0), 0);
    static std::vector<int> visited;
    visited.clear();
    tovuSupervise([](int i) {
        visited.push_back(i);
        if (i == 3)
            sig_handle(SIGTERM);
    });
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 2, 3}));

    // set before the loop: no pass at all
    visited.clear();
    tovuSupervise([](int i) { visited.push_back(i); });
    EXPECT_TRUE(visited.empty());
}

TEST_F(LoopTest, DeletedTimersNeverFire)
{
    ASSERT_EQ(init(0), 0);
    config("1", {channelJson("/media/in.ts"), channelJson("/media/in2.ts")});
    tovuVisitChannel(0);
    tovuVisitChannel(1);
    ASSERT_NE(_tovuChannelTimer(0), TOVU_TIMER_NONE);
    ASSERT_NE(_tovuChannelTimer(1), TOVU_TIMER_NONE);
    tovuDeleteChannelTimers();
    EXPECT_EQ(_tovuChannelTimer(0), TOVU_TIMER_NONE);
    EXPECT_EQ(_tovuChannelTimer(1), TOVU_TIMER_NONE);
    // nor are new ones armed afterwards
    tovuVisitChannel(0);
    EXPECT_EQ(_tovuChannelTimer(0), TOVU_TIMER_NONE);
    // past the time the deleted ones were due: a timer armed after them, for
    // longer, has fired
    static std::atomic<bool> later{false};
    later = false;
    timer_t sentinel = createTimer(0, 1500, [](union sigval) { later = true; });
    ASSERT_NE(sentinel, static_cast<timer_t>(0));
    EXPECT_TRUE(waitUntil([] { return later.load(); }));
    timer_delete(sentinel);
    EXPECT_EQ(_tovuRunningTimerCallbacks(nullptr), 0);
    EXPECT_EQ(nstarts(), 0u);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE);
    EXPECT_EQ(tovu_get_state(1), TOVU_STATE_IDLE);
}

// a callback already past its check when the timers are deleted is waited for
TEST_F(LoopTest, DeletingTimersWaitsForARunningCallback)
{
    ASSERT_EQ(init(0), 0);
    config("1", {channelJson("/media/in.ts")});
    tovuVisitChannel(0);
    timer_t t = _tovuChannelTimer(0);
    ASSERT_NE(t, TOVU_TIMER_NONE);
    std::atomic<bool> deleted{false};
    std::thread deleter;
    bool returnedEarly = true;
    {
        // the callback blocks on the document lock held here, once it is
        // past its check of the table
        TovuConfigLock doc;
        ASSERT_TRUE(waitUntil([] { return _tovuRunningTimerCallbacks(nullptr) == 1; }))
            << "the timer's callback did not run";
        deleter = std::thread([&] {
            tovuDeleteChannelTimers();
            deleted = true;
        });
        // the deletion has closed the table and waits; a deletion that did not
        // wait would return within this pause
        bool closed = false;
        EXPECT_TRUE(waitUntil([&] {
            _tovuRunningTimerCallbacks(&closed);
            return closed;
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        returnedEarly = deleted;
    }
    deleter.join();
    EXPECT_FALSE(returnedEarly) << "the deletion did not wait for the running callback";
    // the running callback started the channel before the deletion returned
    EXPECT_NE(tovu_get_state(0), TOVU_STATE_IDLE);
    EXPECT_EQ(_tovuRunningTimerCallbacks(nullptr), 0);
    EXPECT_EQ(_tovuChannelTimer(0), TOVU_TIMER_NONE);
    EXPECT_TRUE(waitUntil([&] { return nstarts() == 1; }));
    // and no other start follows: none of the channel's timers is left
    EXPECT_TRUE(pollUntilIdle(0));
    tovuVisitChannel(0);
    EXPECT_EQ(_tovuChannelTimer(0), TOVU_TIMER_NONE);
    EXPECT_EQ(nstarts(), 1u);
}

} // namespace
