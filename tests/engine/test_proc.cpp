// The child-process runner: starting programs on a slot's pipes, reading,
// reaping and writing.
#include "fixtures/proc_helpers.h"
#include "tovu_engine_internal.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

using testproc::ProcGuard;
using testproc::TempDir;
using testproc::wait_for_end;
using testproc::wait_for_output;

namespace {

bool fd_is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

} // namespace

// /bin/sh without arguments reads its commands from standard input, and its $0
// is its argument 0: so the child's argument list is exactly its own path.
TEST(ProcRunner, NullArgsGiveOnlyTheProgramPath)
{
    ProcGuard g;
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/sh", nullptr), 0);
    ASSERT_GT(g.proc.pid, 0);
    ASSERT_GT(pipe_write_str(g.proc.pipe_stdin[1], "printf '[%s|%s]' \"$0\" \"$#\"; exit 0\n"), 0);
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 5));
    EXPECT_EQ(out, "[/bin/sh|0]");
    EXPECT_TRUE(WIFEXITED(g.proc.exit_code) && WEXITSTATUS(g.proc.exit_code) == 0);
}

TEST(ProcRunner, ArgumentVectorIsPassedAsGiven)
{
    ProcGuard g;
    char a0[] = "named-zero", a1[] = "-s", a2[] = "one two", a3[] = "";
    char *args[] = {a0, a1, a2, a3, nullptr};
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/sh", args), 0);
    pipe_write_str(g.proc.pipe_stdin[1], "printf '[%s|%s|%s|%s]' \"$0\" \"$#\" \"$1\" \"$2\"; exit\n");
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 5));
    EXPECT_EQ(out, "[named-zero|2|one two|]");
}

TEST(ProcRunner, StandardErrorJoinsStandardOutput)
{
    ProcGuard g;
    char a0[] = "sh", a1[] = "-c", a2[] = "echo to-out; echo to-err >&2";
    char *args[] = {a0, a1, a2, nullptr};
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/sh", args), 0);
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 5));
    EXPECT_EQ(out, "to-out\nto-err\n");
}

// The end is seen once: 0 with the raw status, then 1 as for "no child".
TEST(ProcRunner, PollAfterTheEndGivesZeroThenOne)
{
    ProcGuard g;
    EXPECT_EQ(tovu_poll_proc(&g.proc), 1); // nothing started yet
    char a0[] = "sh", a1[] = "-c", a2[] = "exit 3";
    char *args[] = {a0, a1, a2, nullptr};
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/sh", args), 0);
    pid_t pid = g.proc.pid;
    ASSERT_TRUE(wait_for_end(&g.proc, nullptr, 5));
    EXPECT_EQ(g.proc.pid, 0);
    EXPECT_TRUE(WIFEXITED(g.proc.exit_code));
    EXPECT_EQ(WEXITSTATUS(g.proc.exit_code), 3);
    EXPECT_EQ(tovu_poll_proc(&g.proc), 1);
    EXPECT_EQ(g.proc.exit_code >> 8, 3); // untouched by the second poll

    // a child that someone else has reaped already: reported ended, status kept
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/sh", args), 0);
    pid = g.proc.pid;
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    g.proc.exit_code = 12345;
    EXPECT_EQ(tovu_poll_proc(&g.proc), 0);
    EXPECT_EQ(g.proc.pid, 0);
    EXPECT_EQ(g.proc.exit_code, 12345);
}

TEST(ProcRunner, PollOfAFailedForkReapsNoOtherChild)
{
    ProcGuard other;
    char a0[] = "sh", a1[] = "-c", a2[] = "exit 0";
    char *args[] = {a0, a1, a2, nullptr};
    ASSERT_EQ(tovu_start_proc(&other.proc, "/bin/sh", args), 0);
    // the other child has ended, and is left unreaped
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(other.proc.pid), &info, WEXITED | WNOWAIT), 0);

    TOVU_PROC_CTX failed = {};
    failed.pid = -1;
    EXPECT_EQ(tovu_poll_proc(&failed), 0);
    EXPECT_EQ(failed.pid, 0);
    ASSERT_TRUE(wait_for_end(&other.proc, nullptr, 5)); // still ours to reap
    EXPECT_TRUE(WIFEXITED(other.proc.exit_code));
}

// A program that cannot be executed still starts (0); the child ends at once
// with status 127, which the next poll reports.
TEST(ProcRunner, ExecFailureIsReportedByTheNextPoll)
{
    TempDir dir;
    std::string plain = dir.file("not-executable");
    std::ofstream(plain) << "#!/bin/sh\necho never\n";
    chmod(plain.c_str(), 0644);

    for (const std::string &exe : {dir.file("missing"), plain}) {
        SCOPED_TRACE(exe);
        ProcGuard g;
        ASSERT_EQ(tovu_start_proc(&g.proc, exe.c_str(), nullptr), 0);
        std::string out;
        ASSERT_TRUE(wait_for_end(&g.proc, &out, 5));
        EXPECT_TRUE(WIFEXITED(g.proc.exit_code));
        EXPECT_EQ(WEXITSTATUS(g.proc.exit_code), 127);
        EXPECT_EQ(out, "");
    }
}

// A failed exec never takes the normal exit path: neither the exit handlers
// inherited through fork nor a flush of stdio buffers write anything.
pid_t g_test_pid = 0;
void exit_handler_of_the_parent()
{
    if (getpid() != g_test_pid) {
        const char msg[] = "exit handler ran in the child";
        ssize_t ignored = write(STDOUT_FILENO, msg, sizeof msg - 1);
        (void)ignored;
    }
}

TEST(ProcRunner, FailedExecRunsNoExitHandlers)
{
    g_test_pid = getpid();
    ASSERT_EQ(atexit(exit_handler_of_the_parent), 0);
    fputs("unflushed stdio text", stdout); // would be flushed into the pipe by exit()
    ProcGuard g;
    ASSERT_EQ(tovu_start_proc(&g.proc, "/nonexistent/program", nullptr), 0);
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 5));
    fflush(stdout);
    EXPECT_EQ(out, "");
    EXPECT_EQ(WEXITSTATUS(g.proc.exit_code), 127);
}

// Pipes are made once: a second start uses the same four ends, and bytes that
// the first child left unread in its standard input go to the next one.
TEST(ProcRunner, SecondStartReusesThePipesAndTheirContent)
{
    ProcGuard g;
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/true", nullptr), 0);
    const TOVU_PROC_CTX first = g.proc;
    ASSERT_GT(pipe_write_str(g.proc.pipe_stdin[1], "printf 'left:%s' over; exit 0\n"), 0);
    ASSERT_TRUE(wait_for_end(&g.proc, nullptr, 5));

    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/sh", nullptr), 0);
    EXPECT_EQ(g.proc.pipe_stdin[0], first.pipe_stdin[0]);
    EXPECT_EQ(g.proc.pipe_stdin[1], first.pipe_stdin[1]);
    EXPECT_EQ(g.proc.pipe_stdout[0], first.pipe_stdout[0]);
    EXPECT_EQ(g.proc.pipe_stdout[1], first.pipe_stdout[1]);
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 5));
    EXPECT_EQ(out, "left:over");
}

// Only the engine's read end is non-blocking; all four ends stay open in the
// engine, so a read with nothing there returns at once instead of at EOF.
TEST(ProcRunner, PipeEndsAndBlockingModes)
{
    ProcGuard g;
    char a0[] = "sleep", a1[] = "5";
    char *args[] = {a0, a1, nullptr};
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/sleep", args), 0);
    for (int fd : {g.proc.pipe_stdin[0], g.proc.pipe_stdin[1], g.proc.pipe_stdout[0],
                   g.proc.pipe_stdout[1]}) {
        EXPECT_GT(fd, 2);
        EXPECT_TRUE(fd_is_open(fd));
    }
    EXPECT_TRUE(fcntl(g.proc.pipe_stdout[0], F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(fcntl(g.proc.pipe_stdin[1], F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(fcntl(g.proc.pipe_stdout[1], F_GETFL) & O_NONBLOCK);

    char buf[16];
    auto t0 = testproc::Clock::now();
    EXPECT_LE(tovu_read_proc(&g.proc, buf, sizeof buf), 0);
    EXPECT_LT(testproc::Clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(tovu_poll_proc(&g.proc), 1);
}

TEST(ProcRunner, RecordsWithoutPipes)
{
    TOVU_PROC_CTX proc = {};
    char buf[8];
    EXPECT_EQ(tovu_read_proc(&proc, buf, sizeof buf), 0);
    _tovu_free_pipes(&proc);
    EXPECT_EQ(proc.pipe_stdin[0] | proc.pipe_stdin[1] | proc.pipe_stdout[0] | proc.pipe_stdout[1], 0);
    // 0 is "no pipe": nothing is written to the process's own standard input
    EXPECT_EQ(pipe_write(0, "x", 1), -1);
    EXPECT_EQ(pipe_printf(0, "%d", 1), -1);
}

TEST(ProcRunner, FreePipesClosesAllFourEndsAndKeepsTheRest)
{
    ProcGuard g;
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/true", nullptr), 0);
    ASSERT_TRUE(wait_for_end(&g.proc, nullptr, 5));
    int exit_code = g.proc.exit_code;
    int ends[4] = {g.proc.pipe_stdin[0], g.proc.pipe_stdin[1], g.proc.pipe_stdout[0],
                   g.proc.pipe_stdout[1]};
    g.proc.pid = 4242; // not touched by the release
    _tovu_free_pipes(&g.proc);
    for (int fd : ends)
        EXPECT_FALSE(fd_is_open(fd));
    EXPECT_EQ(g.proc.pipe_stdin[0] | g.proc.pipe_stdin[1] | g.proc.pipe_stdout[0] |
                  g.proc.pipe_stdout[1],
              0);
    EXPECT_EQ(g.proc.pid, 4242);
    EXPECT_EQ(g.proc.exit_code, exit_code);
    g.proc.pid = 0;
}

// With descriptors running out after the first pipe, the start fails with -5,
// keeps that pipe, and the next start reuses it.
TEST(ProcRunner, PipeFailureKeepsThePipeAlreadyMade)
{
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit low = old;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        filler.push_back(fd);
    ASSERT_GE(filler.size(), 2u);
    close(filler.back());
    filler.pop_back();
    close(filler.back());
    filler.pop_back(); // room for exactly one pipe

    ProcGuard g;
    EXPECT_EQ(tovu_start_proc(&g.proc, "/bin/true", nullptr), -5);
    int in_r = g.proc.pipe_stdin[0], in_w = g.proc.pipe_stdin[1];
    EXPECT_NE(in_r, 0);
    EXPECT_NE(in_w, 0);
    EXPECT_EQ(g.proc.pipe_stdout[0], 0);
    EXPECT_EQ(g.proc.pipe_stdout[1], 0);
    EXPECT_EQ(g.proc.pid, 0);

    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/true", nullptr), 0);
    EXPECT_EQ(g.proc.pipe_stdin[0], in_r);
    EXPECT_EQ(g.proc.pipe_stdin[1], in_w);
    EXPECT_NE(g.proc.pipe_stdout[0], 0);
    EXPECT_TRUE(wait_for_end(&g.proc, nullptr, 5));
}

// A child started from a thread that blocks SIGINT (as timer threads may)
// still ends on SIGINT.
TEST(ProcRunner, ChildReactsToSigintWhateverTheStartingThreadBlocks)
{
    ProcGuard g;
    int rc = -1;
    std::thread starter([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        char a0[] = "sleep", a1[] = "30";
        char *args[] = {a0, a1, nullptr};
        rc = tovu_start_proc(&g.proc, "/bin/sleep", args);
    });
    starter.join();
    ASSERT_EQ(rc, 0);
    // the signal reaches the program itself, not the child before its exec
    ASSERT_TRUE(tovutest::waitUntil([&] {
        std::string comm;
        std::ifstream("/proc/" + std::to_string(g.proc.pid) + "/comm") >> comm;
        return comm == "sleep";
    }));
    ASSERT_EQ(kill(g.proc.pid, SIGINT), 0);
    ASSERT_TRUE(wait_for_end(&g.proc, nullptr, 3));
    EXPECT_TRUE(WIFSIGNALED(g.proc.exit_code));
    EXPECT_EQ(WTERMSIG(g.proc.exit_code), SIGINT);
}

TEST(PipeWrite, WritesReturnWhatWasWritten)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    EXPECT_EQ(pipe_write(p[1], "abc", 3), 3);
    EXPECT_EQ(pipe_write_str(p[1], "kfRwa_3861 "), 11);
    EXPECT_EQ(pipe_write_str(p[1], ""), 0);
    EXPECT_EQ(pipe_printf(p[1], "%s=%d\n", "n", 42), 5);

    // longer than the 1000-byte buffer: written whole, never cut
    std::string big(3000, 'x');
    big += "END";
    EXPECT_EQ(pipe_printf(p[1], "%s|", big.c_str()), 3004);
    // exactly at the limit: 999 characters fit the buffer with the NUL
    std::string edge(999, 'y');
    EXPECT_EQ(pipe_printf(p[1], "%s", edge.c_str()), 999);

    std::string got;
    char buf[8192];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(got, "abckfRwa_3861 n=42\n" + big + "|" + edge);
    close(p[0]);
    close(p[1]);
}
