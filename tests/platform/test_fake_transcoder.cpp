// The fake transcoder that engine tests script: copied into a folder as
// tovul.so and controlled through fake.conf next to it.
#include "fixtures/engine_setup.h"
#include "fixtures/proc_helpers.h"
#include "tovu_base.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using testproc::ProcGuard;
using testproc::TempDir;
using testproc::wait_for_end;
using testproc::wait_for_output;

namespace {

class FakeTranscoder : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        exe = dir.file(TOVU_TRANSCODER_FNAME);
        ASSERT_TRUE(tovutest::installFakeTranscoder(dir.path(), ""));
    }
    void configure(const std::string &conf) { std::ofstream(dir.file("fake.conf")) << conf; }
    void start(const std::string &line)
    {
        ASSERT_EQ(tovu_start_proc(&g.proc, exe.c_str(), nullptr), 0);
        ASSERT_GT(pipe_write_str(g.proc.pipe_stdin[1], line.c_str()), 0);
    }
    std::string record()
    {
        std::ifstream in(dir.file("stdin.rec"));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    TempDir dir;
    std::string exe;
    ProcGuard g;
};

// the process has sig set to be ignored ("SigIgn" of its status)
bool ignores(pid_t pid, int sig)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 7, "SigIgn:") == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    return false;
}

} // namespace

TEST_F(FakeTranscoder, RecordsTheLinePrintsAndExitsAsTold)
{
    configure("FAKE_OUTPUT='frame=  50 fps=25 time=00:01:02.00 bitrate=1500kbits/s\\r'\n"
              "FAKE_REPEAT=3\nFAKE_INTERVAL=0.05\nFAKE_EXIT=5\n");
    start(TOVU_HANDSHAKE_TOKEN "-v 32 -i \"/m/a b.mp4\" -f mpegts udp://239.0.0.1:1234 \n");
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 10));
    std::string line = "frame=  50 fps=25 time=00:01:02.00 bitrate=1500kbits/s\r";
    EXPECT_EQ(out, line + line + line);
    EXPECT_EQ(WEXITSTATUS(g.proc.exit_code), 5);
    EXPECT_EQ(record(), TOVU_HANDSHAKE_TOKEN "-v 32 -i \"/m/a b.mp4\" -f mpegts udp://239.0.0.1:1234 \n");
}

TEST_F(FakeTranscoder, EndsOnSigintUnlessToldToIgnoreIt)
{
    configure("FAKE_OUTPUT='running\\n'\nFAKE_HOLD=-1\nFAKE_INT_OUTPUT='interrupted\\n'\n");
    start(TOVU_HANDSHAKE_TOKEN "-i x\n");
    std::string out;
    ASSERT_TRUE(wait_for_output(&g.proc, "running\n", &out, 10));
    kill(g.proc.pid, SIGINT);
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 20));
    EXPECT_EQ(out, "running\ninterrupted\n");
    EXPECT_EQ(WEXITSTATUS(g.proc.exit_code), 255);

    configure("FAKE_OUTPUT='running\\n'\nFAKE_HOLD=-1\nFAKE_IGNORE_INT=1\n");
    start(TOVU_HANDSHAKE_TOKEN "-i x\n");
    out.clear();
    ASSERT_TRUE(wait_for_output(&g.proc, "running\n", &out, 10));
    // an ignored signal is dropped when it is sent: once kill() has returned,
    // it cannot end the child later
    EXPECT_TRUE(ignores(g.proc.pid, SIGINT));
    kill(g.proc.pid, SIGINT);
    EXPECT_EQ(tovu_poll_proc(&g.proc), 1);
    kill(g.proc.pid, SIGKILL);
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 20));
    EXPECT_TRUE(WIFSIGNALED(g.proc.exit_code));
}

TEST_F(FakeTranscoder, RefusesAWrongToken)
{
    start("kfRwa_0000 -i x\n");
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 10));
    EXPECT_EQ(WEXITSTATUS(g.proc.exit_code), 2);
    EXPECT_NE(out.find("bad handshake token"), std::string::npos);
    EXPECT_EQ(record(), "kfRwa_0000 -i x\n");
}
