// What a transcoder starts ends with it: in its process group, or outside
// it (a new session) once it comes to this process as its subreaper.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <string>

#include "fixtures/engine_fixture.h"
#include "tovu_poll.h"
#include "tovu_engine_internal.h"
#include "fixtures/proc_tree.h"

namespace {

using tovutest::count_marked;
using tovutest::zombie_children;

// the transcoder itself and its pause, a job in its group, a pipeline in its
// group, one process in a session of its own, and one such with a child
const char kSpawn[] = "FAKE_SPAWN='sleep 1000 & yes | sleep 1000 & setsid sleep 1000 & "
                      "setsid bash -c \"sleep 1000 & sleep 1000\" &'\n";
constexpr int kTree = 9;

class Descendants : public tovutest::EngineTest {
protected:
    std::string mark;

    void SetUp() override
    {
        EngineTest::SetUp();
        mark = "TOVU_TEST_TREE=" + std::to_string(getpid()) + "." + std::to_string(time(nullptr));
        setenv("TOVU_TEST_TREE", mark.c_str() + mark.find('=') + 1, 1);
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }
    void TearDown() override
    {
        EngineTest::TearDown();
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        unsetenv("TOVU_TEST_TREE");
    }
    bool tree_gone()
    {
        return tovutest::pollUntil([&] { return count_marked(mark) == 0 && zombie_children() == 0; }, 10000);
    }
};

TEST_F(Descendants, NothingOutlivesAStopOrAnEnd)
{
    struct Case {
        const char *name;
        const char *hold;
        int stop_mode;   // -1: the transcoder ends by itself
        int cycles;
    };
    const Case cases[] = {
        {"stop", "FAKE_HOLD=-1\n", 0, 20},
        {"forced stop", "FAKE_HOLD=-1\n", 1, 5},
        {"ends by itself", "FAKE_HOLD=0\n", -1, 5},
    };
    ASSERT_EQ(init(0), 0);
    tovutest::Records r;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake_conf(std::string(c.hold) + kSpawn);
        for (int k = 0; k < c.cycles; k++) {
            ASSERT_EQ(r.start(0), 0);
            if (c.stop_mode >= 0) {
                ASSERT_TRUE(tovutest::pollUntil([&] { return count_marked(mark) >= kTree; })) << count_marked(mark);
                tovu_stop(0, c.stop_mode);
            }
            ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE));
        }
        EXPECT_TRUE(tree_gone()) << count_marked(mark) << " left, " << zombie_children() << " unreaped";
    }
}

// The sweep costs nothing while nothing below this process ends: it looks
// for children no slot records at once after a slot's process has ended,
// and when a child no slot records has ended (reaping it), never on a
// timer alone; so what the host runs beside does not make it dearer.
TEST_F(Descendants, SweepsOnlyAfterAnEnd)
{
    ASSERT_EQ(init(0), 0);
    auto passes = [](int n) {
        for (int k = 0; k < n; k++) {
            tovu_poll();
            usleep(20000);
        }
    };
    passes(10);   // what an earlier test's last sweep left due
    unsigned before = _tovu_sweeps();
    passes(75);   // 1.5 s
    EXPECT_EQ(_tovu_sweeps(), before) << "an idle engine swept";

    fake_conf("FAKE_HOLD=-1\n");
    tovutest::Records r;
    ASSERT_EQ(r.start(0), 0);
    passes(75);
    EXPECT_EQ(_tovu_sweeps(), before) << "a running transcoder made the engine sweep";
    tovu_stop(0, 1);
    ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE));
    EXPECT_GT(_tovu_sweeps(), before);

    // a child of this process that no slot records, ended: swept and reaped
    before = _tovu_sweeps();
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(tovutest::pollUntil([&] {
        tovu_poll();
        return kill(child, 0) != 0;
    }, 5000)) << "the ended child is still unreaped";
    EXPECT_GT(_tovu_sweeps(), before);
}

TEST_F(Descendants, NothingOutlivesTheRelease)
{
    fake_conf(std::string("FAKE_HOLD=-1\n") + kSpawn);
    ASSERT_EQ(init(0), 0);
    tovutest::Records r;
    ASSERT_EQ(r.start(0), 0);
    ASSERT_EQ(r.start(1), 0);
    ASSERT_TRUE(tovutest::pollUntil([&] { return count_marked(mark) >= 2 * kTree; })) << count_marked(mark);
    tovu_free();
    EXPECT_EQ(count_marked(mark), 0);
    EXPECT_EQ(zombie_children(), 0);
}

} // namespace
