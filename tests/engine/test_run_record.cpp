// The record of what the engine runs, and the end at start-up of what an
// earlier run left running: only processes that are still the ones
// recorded (same boot, same start time, or members of the recorded group
// and session) are ended.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fixtures/engine_fixture.h"
#include "fixtures/proc_tree.h"
#include "tovu_engine_internal.h"
#include "tovu_run_record.h"

namespace {

using tovutest::exists;
using tovutest::read_file;
using tovutest::write_file;

std::string boot()
{
    std::string id = read_file("/proc/sys/kernel/random/boot_id");
    while (!id.empty() && id.back() == '\n')
        id.pop_back();
    return id;
}

unsigned long long start_of(pid_t pid)
{
    TovuProcStat st;
    return tovu_proc_stat(pid, &st) ? st.start : 0;
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// what fn prints on standard output
template <typename Fn>
std::string printed(const std::string &file, Fn fn)
{
    fflush(stdout);
    int saved = dup(1);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    close(fd);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return read_file(file);
}

// a process group of its own running `script` in bash: its leader's pid
pid_t group_running(const char *script)
{
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        execl("/bin/bash", "bash", "-c", script, static_cast<char *>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

// the members of group pid, other than pid
std::vector<pid_t> members(pid_t group)
{
    std::vector<pid_t> found;
    if (DIR *d = opendir("/proc")) {
        while (dirent *e = readdir(d)) {
            pid_t p = (pid_t)atoi(e->d_name);
            TovuProcStat st;
            if (p > 0 && p != group && tovu_proc_stat(p, &st) && st.pgrp == group && st.state != 'Z')
                found.push_back(p);
        }
        closedir(d);
    }
    return found;
}

class RunRecord : public tovutest::EngineTest {
protected:
    std::string record = path("run/transcoders");

    void TearDown() override
    {
        EngineTest::TearDown();
        tovu_keep_run_record(nullptr);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    std::string header(const std::string &bootId, pid_t session) const
    {
        return "tovul run record\nboot " + bootId + "\nsession " + std::to_string(session) + "\n";
    }
};

TEST_F(RunRecord, NamesEveryRunningProcessUntilTheRelease)
{
    ASSERT_EQ(tovu_keep_run_record(record.c_str()), 0);
    EXPECT_EQ(mode_of(path("run")), 0700u);
    fake_conf("FAKE_HOLD=-1\n");
    ASSERT_EQ(init(0), 0);
    tovutest::Records r;
    ASSERT_EQ(r.start(0), 0);
    ASSERT_EQ(r.start(2), 0);
    pid_t pids[3];
    {
        TovuLock lock;
        for (int slot : {0, 2})
            pids[slot] = g_proc_channels[slot].proc.pid;
    }
    auto line = [&](int slot) {
        return std::to_string(pids[slot]) + " " + std::to_string(start_of(pids[slot])) + " " +
               std::to_string(slot + 1) + " tovul.so\n";
    };
    EXPECT_EQ(read_file(record), header(boot(), getsid(0)) + line(0) + line(2));
    EXPECT_EQ(mode_of(record), 0600u);
    EXPECT_FALSE(exists(record + ".new"));

    tovu_stop(0, 1);
    ASSERT_TRUE(wait_state(0, TOVU_STATE_IDLE));
    EXPECT_EQ(read_file(record), header(boot(), getsid(0)) + line(2));

    tovu_free();
    EXPECT_FALSE(exists(record));
}

TEST_F(RunRecord, EndsOnlyWhatIsStillTheRecordedGroup)
{
    // each group: a leader and a member that ignores the interrupt (a
    // shell's background job), so that the kill after it is needed too
    const char *kGroup = "sleep 100 & exec sleep 100";
    struct Case {
        const char *name;
        bool leader_gone;      // the leader has ended, its member is left
        const char *boot;      // null: this boot
        long start_shift;      // added to the recorded start time
        bool header_ok;
        bool ended;
    };
    const Case cases[] = {
        {"still running", false, nullptr, 0, true, true},
        {"leader gone, member left", true, nullptr, 0, true, true},
        {"pid of another process", false, nullptr, 1, true, false},
        {"another boot", false, "00000000-0000-0000-0000-000000000000", 0, true, false},
        {"not a record", false, nullptr, 0, false, false},
    };
    ASSERT_EQ(tovu_keep_run_record(record.c_str()), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pid_t leader = group_running(c.leader_gone ? "sleep 100 & sleep 0.2" : kGroup);
        ASSERT_GT(leader, 0);
        ASSERT_TRUE(tovutest::pollUntil([&] { return members(leader).size() == 1; }));
        pid_t member = members(leader)[0];
        unsigned long long start = start_of(leader);
        if (c.leader_gone) {
            ASSERT_EQ(waitpid(leader, nullptr, 0), leader);
            ASSERT_FALSE(tovutest::process_runs(leader));
        }
        std::string text = header(c.boot ? c.boot : boot(), getsid(0)) + std::to_string(leader) + " " +
                           std::to_string(start + c.start_shift) + " 3 tovul.so\n" + "garbage line\n";
        if (!c.header_ok)
            text = "something else\n" + text;
        write_file(record, text);
        write_file(record + ".new", "half a rec");

        int ended = -1;
        std::string out = printed(path("out"), [&] { ended = tovu_end_recorded(record.c_str()); });
        EXPECT_EQ(ended, c.ended ? 1 : 0);
        if (c.ended)
            EXPECT_EQ(out, "TOVUL: tovul.so of channel 3 (process group " + std::to_string(leader) +
                               ") was left running by the last run: ended\n");
        else
            EXPECT_EQ(out, "");
        EXPECT_EQ(tovutest::process_runs(member), !c.ended);
        EXPECT_EQ(tovutest::process_runs(leader), !c.ended && !c.leader_gone);
        EXPECT_FALSE(exists(record));
        EXPECT_FALSE(exists(record + ".new"));

        kill(-leader, SIGKILL);
        waitpid(leader, nullptr, 0);
    }
}

} // namespace
