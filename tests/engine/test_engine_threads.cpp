// Starts, stops and reads of engine slots from several threads while the
// main thread polls, as the web and timer threads do in the daemon. The
// ThreadSanitizer build runs these.
#include "fixtures/engine_fixture.h"
#include "tovu_poll.h"
#include "tovu_engine_internal.h"

#include <atomic>
#include <thread>
#include <vector>

using tovutest::EngineTest;
using tovutest::Records;

namespace {

class EngineThreads : public EngineTest {
protected:
    // the main thread's supervision loop, until done is set
    void poll_loop(const std::atomic<bool> &done)
    {
        while (!done.load()) {
            tovu_poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

// without polling: the main thread's loop does
bool wait_idle(int ch, int ms)
{
    return tovutest::waitUntil([ch] { return tovu_get_state(ch) == TOVU_STATE_IDLE; }, ms,
                               tovutest::nothingBetween, 2);
}

TEST_F(EngineThreads, StartsAndStopsWhileThePollRuns)
{
    ASSERT_EQ(init(1), 0);
    constexpr int kThreads = 4, kRounds = 5;
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};

    std::vector<std::thread> workers;
    std::atomic<int> running{kThreads};
    for (int w = 0; w < kThreads; w++) {
        workers.emplace_back([&, w] {
            Records r;
            for (int round = 0; round < kRounds; round++) {
                for (int ch : {2 * w, 2 * w + 1}) {
                    if (r.start(ch) != 0)
                        failures++;
                    // figures as the status answer reads them
                    (void)tovu_get_stream_time(ch);
                    (void)tovu_get_stream_fps(ch);
                    tovu_stop(ch, round % 2);
                }
                for (int ch : {2 * w, 2 * w + 1})
                    if (!wait_idle(ch, 5000))
                        failures++;
            }
            running--;
        });
    }
    std::thread watcher([&] {
        while (running.load() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        done = true;
    });
    poll_loop(done);
    for (std::thread &t : workers)
        t.join();
    watcher.join();
    EXPECT_EQ(failures.load(), 0);
    for (int ch = 0; ch < 2 * kThreads; ch++)
        EXPECT_EQ(tovu_get_state(ch), TOVU_STATE_IDLE);
}

TEST_F(EngineThreads, RacingStartsOfOneSlotLetExactlyOneThrough)
{
    ASSERT_EQ(init(0), 0);
    constexpr int kThreads = 6, kRounds = 4;
    for (int round = 0; round < kRounds; round++) {
        std::atomic<bool> go{false}, done{false};
        std::atomic<int> started{0}, busy{0};
        std::vector<std::thread> racers;
        for (int i = 0; i < kThreads; i++) {
            racers.emplace_back([&] {
                Records r;
                while (!go.load())
                    std::this_thread::yield();
                int ret = r.start(7);
                if (ret == 0)
                    started++;
                else if (ret == -3)
                    busy++;
            });
        }
        std::thread poller([&] { poll_loop(done); });
        go = true;
        for (std::thread &t : racers)
            t.join();
        EXPECT_EQ(started.load(), 1) << round;
        EXPECT_EQ(busy.load(), kThreads - 1) << round;
        tovu_stop(7, 1);
        EXPECT_TRUE(wait_idle(7, 5000));
        done = true;
        poller.join();
    }
}

} // namespace

// The web thread's "/runtime" answer and the daemon's banner may ask for the
// version text at the same time, the first time it is asked for.
TEST_F(EngineThreads, FirstVersionTextIsSafeFromSeveralThreads)
{
    std::atomic<bool> go{false};
    const char *seen[4] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&, i] {
            while (!go.load()) {
            }
            seen[i] = tovu_get_version();
        });
    go = true;
    for (auto &t : threads)
        t.join();
    for (const char *v : seen)
        EXPECT_STREQ(v, "6.5.7.1b");
}
