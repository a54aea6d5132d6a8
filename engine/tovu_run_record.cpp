// The record of the processes the engine runs, and the end of what an
// earlier run left running.
//
// The record is a small text file, rewritten whole (a new file renamed over
// the old one, so a reader never sees half of one) at every start and end of
// a process:
//
//     tovul run record
//     boot 0f6e...            the system's boot id
//     session 4711            the program's session
//     4720 812345 1 tovul.so  process group (its leader's pid), the leader's
//                             start time in clock ticks after boot, the
//                             channel (0 for none) and the program's name
//
// Only the processes of a program that ended without its release are still
// named when the next run reads it: the release removes the file. The boot id
// and the start time keep a pid that has since gone to another process from
// being taken for one of ours; a group whose leader has gone is ours only
// where a member is of the recorded session and not older than the leader.
// A session begun outside the program's PID namespace (a container's, say)
// is 0, both to getsid() and in /proc: a session like any other here.
#include "tovu_engine_internal.h"
#include "tovu_run_record.h"

#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kHeader[] = "tovul run record";
constexpr char kNewSuffix[] = ".new";
constexpr char kBootIdFile[] = "/proc/sys/kernel/random/boot_id";
constexpr mode_t kRecordMode = 0600;
constexpr mode_t kFolderMode = 0700;
// a leftover group gets this long to end on its interrupt before it is killed
constexpr std::chrono::milliseconds kInterruptWait{2000};
// and this long to be gone after the kill
constexpr std::chrono::milliseconds kKillWait{2000};
constexpr std::chrono::milliseconds kGonePoll{20};

struct Started {
    unsigned long long start;   // clock ticks after boot
    std::string name;
};

std::string g_path TOVU_GUARDED_BY(g_engineMutex);
/* the boot this run is on, read once: the same for every write of the record */
std::string g_boot TOVU_GUARDED_BY(g_engineMutex);
std::map<pid_t, Started> g_started TOVU_GUARDED_BY(g_engineMutex);
bool g_failing TOVU_GUARDED_BY(g_engineMutex) = false;   // the last write failed (printed once)

std::string boot_id()
{
    std::string id;
    int fd = tovu_open_regular(kBootIdFile, nullptr);
    if (fd < 0)
        return id;
    char buf[128];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n > 0)
        id.assign(buf, (size_t)n);
    while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
        id.pop_back();
    return id;
}

int channel_of(pid_t pid) TOVU_REQUIRES(g_engineMutex)
{
    for (int slot = 0; g_proc_channels && slot < g_cfg.nb_channels_max; slot++)
        if (g_proc_channels[slot].proc.pid == pid)
            return slot + 1;
    return 0;
}

void write_record() TOVU_REQUIRES(g_engineMutex)
{
    if (g_path.empty())
        return;
    // the session is read at each write: the daemon takes a new one when it
    // detaches, after the record is set up
    std::string text = std::string(kHeader) + "\nboot " + g_boot + "\nsession " +
                       std::to_string((long)getsid(0)) + "\n";
    for (const auto &[pid, s] : g_started)
        text += std::to_string((long)pid) + " " + std::to_string(s.start) + " " +
                std::to_string(channel_of(pid)) + " " + s.name + "\n";

    const std::string fresh = g_path + kNewSuffix;
    int err = 0;
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kRecordMode);
    if (fd < 0) {
        err = errno;
    } else {
        // (an older file of that name may have had other bits)
        fchmod(fd, kRecordMode);
        errno = 0;
        if (tovu_write_all(fd, text.data(), text.size()) != text.size())
            err = errno ? errno : EIO;
        if (close(fd) != 0 && !err)
            err = errno;
        if (!err && rename(fresh.c_str(), g_path.c_str()) != 0)
            err = errno;
        if (err)
            unlink(fresh.c_str());
    }
    if (err && !g_failing)
        tovu_message("the record of the running transcoders %s could not be written: %s", g_path.c_str(),
                     strerror(err));
    else if (!err && g_failing)
        tovu_message("the record of the running transcoders %s is written again", g_path.c_str());
    g_failing = err != 0;
}

// the file name after the last "/"
std::string base_name(const char *exe)
{
    std::string name = exe ? exe : "";
    std::string::size_type slash = name.rfind('/');
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    for (char &c : name)
        if (c == '\n' || c == '\r')
            c = ' ';
    return name;
}

// one process group of a record
struct Entry {
    pid_t group = 0;
    unsigned long long start = 0;
    int channel = 0;
    std::string name;
};

// one line of a record; false when it is none
bool read_entry(const std::string &line, Entry *e)
{
    std::istringstream in(line);
    long group;
    if (!(in >> group >> e->start >> e->channel) || group <= 1 || group > 0x7fffffffL)
        return false;
    e->group = (pid_t)group;
    std::getline(in >> std::ws, e->name);
    return true;
}

// whether process pid is gone, or is another than the one started at start
bool gone(pid_t pid, unsigned long long start)
{
    TovuProcStat st;
    return !tovu_proc_stat(pid, &st) || st.start != start || st.state == 'Z' || st.state == 'X';
}

// whether group has a running member of session not older than start: one
// of the group that the record names, looked for among all processes (only
// at start-up, and only for a group whose leader has gone). None is ours
// when the record names no session (session < 0).
bool group_has_member(pid_t group, long session, unsigned long long start)
{
    if (session < 0)
        return false;
    bool found = false;
    tovu_each_process([&](pid_t, const TovuProcStat &st) {
        found = st.pgrp == group && st.session == session && st.start >= start && st.state != 'Z' &&
                st.state != 'X';
        return !found;
    });
    return found;
}

std::string what(const Entry &e)
{
    std::string s = e.name.empty() ? std::string("a process") : e.name;
    s += e.channel > 0 ? " of channel " + std::to_string(e.channel) : std::string(" of no channel");
    return s + " (process group " + std::to_string((long)e.group) + ")";
}

} // namespace

bool tovu_proc_stat(pid_t pid, TovuProcStat *out)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    // "pid (name) state ppid pgrp session tty tpgid flags minflt cminflt
    // majflt cmajflt utime stime cutime cstime priority nice threads
    // itrealvalue starttime ...": the name may hold anything, ")" included
    const char *p = strrchr(buf, ')');
    TovuProcStat st;
    int ppid, pgrp, session;
    if (!p || sscanf(p + 1, " %c %d %d %d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                     &st.state, &ppid, &pgrp, &session, &st.start) != 5)
        return false;
    st.ppid = (pid_t)ppid;
    st.pgrp = (pid_t)pgrp;
    st.session = (pid_t)session;
    *out = st;
    return true;
}

void tovu_each_process(const std::function<bool(pid_t, const TovuProcStat &)> &fn)
{
    DIR *d = opendir("/proc");
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        int pid;
        const char *end = e->d_name;
        if (tovu_parse_int(e->d_name, &pid, &end) != 1 || *end != '\0' || pid <= 0)
            continue;
        TovuProcStat st;
        if (tovu_proc_stat(pid, &st) && !fn(pid, st))
            break;
    }
    closedir(d);
}

void tovu_record_started(pid_t pid, const char *exe)
{
    TovuLock lock;
    if (g_path.empty() || pid <= 0)
        return;
    TovuProcStat st;
    // (the child exists until it is reaped, also when it has ended at once)
    g_started[pid] = Started{tovu_proc_stat(pid, &st) ? st.start : 0, base_name(exe)};
    write_record();
}

void tovu_record_ended(pid_t pid)
{
    TovuLock lock;
    if (g_started.erase(pid))
        write_record();
}

void tovu_record_release(void)
{
    TovuLock lock;
    g_started.clear();
    if (g_path.empty())
        return;
    unlink(g_path.c_str());
    unlink((g_path + kNewSuffix).c_str());
}

extern "C" {

int tovu_keep_run_record(const char *path)
{
    TovuLock lock;
    g_path = path ? path : "";
    g_boot = boot_id();
    g_failing = false;
    if (g_path.empty())
        return 0;
    std::string dir = g_path.substr(0, g_path.rfind('/') == std::string::npos ? 0 : g_path.rfind('/'));
    if (!dir.empty() && mkdir(dir.c_str(), kFolderMode) != 0 && errno != EEXIST)
        return -1;
    struct stat st;
    if (!dir.empty() && (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

int tovu_end_recorded(const char *path)
{
    if (!path || !*path)
        return 0;
    const std::string file = path;
    unlink((file + kNewSuffix).c_str());   // what a killed write left
    std::string text;
    {
        int fd = tovu_open_regular(path, nullptr);
        if (fd < 0)
            return 0;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() < (1u << 20))
            text.append(buf, (size_t)n);
        close(fd);
    }

    std::istringstream in(text);
    std::string line, boot;
    long session = -1;
    std::vector<Entry> entries;
    bool ours = std::getline(in, line) && line == kHeader;
    while (ours && std::getline(in, line)) {
        Entry e;
        if (line.compare(0, 5, "boot ") == 0) {
            boot = line.substr(5);
        } else if (line.compare(0, 8, "session ") == 0) {
            int sid;
            const char *end = nullptr;
            session = tovu_parse_int(line.c_str() + 8, &sid, &end) == 1 && *end == '\0' && sid >= 0 ? sid : -1;
        } else if (read_entry(line, &e)) {
            entries.push_back(e);
        }
    }
    // a record of another boot names nothing that runs now
    const std::string now_boot = boot_id();
    if (!ours || (!boot.empty() && !now_boot.empty() && boot != now_boot))
        entries.clear();

    struct Ending {
        Entry entry;
        bool leader;   // its leader still runs (else members only)
    };
    std::vector<Ending> ending;
    for (const Entry &e : entries) {
        TovuProcStat st;
        if (tovu_proc_stat(e.group, &st)) {
            // a pid now of another process (a later start) is not ours
            if (st.start == e.start && st.state != 'Z' && st.state != 'X')
                ending.push_back({e, true});
            else if (st.start == e.start && group_has_member(e.group, session, e.start))
                ending.push_back({e, false});
        } else if (kill(-e.group, 0) == 0 && group_has_member(e.group, session, e.start)) {
            // While a group has members its number goes to no new process:
            // these are what the leader left in it.
            ending.push_back({e, false});
        }
    }

    // interrupted together, as a stop does; then what is left is killed
    for (const Ending &x : ending)
        if (x.leader)
            kill(x.entry.group, SIGINT);
    // whether x's leader still runs, or (with members) anything of its group
    auto left_of = [&](const Ending &x, bool members) {
        return (x.leader && !gone(x.entry.group, x.entry.start)) ||
               (members && group_has_member(x.entry.group, session, x.entry.start));
    };
    // until the leaders (and, after the kill, every member) are gone
    auto wait_all = [&](std::chrono::milliseconds bound, bool members) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            bool left = false;
            for (const Ending &x : ending)
                left = left || left_of(x, members);
            if (!left || std::chrono::steady_clock::now() >= deadline)
                return;
            std::this_thread::sleep_for(kGonePoll);
        }
    };
    wait_all(kInterruptWait, false);
    int ended = 0;
    for (const Ending &x : ending) {
        int err = 0;
        // The whole group, the leader's descendants in it included. While
        // the leader runs, or a member is left, the group's number is still
        // theirs; one that has ended whole is not signalled again.
        if (left_of(x, true) && kill(-x.entry.group, SIGKILL) != 0 && errno != ESRCH)
            err = errno;
        if (err) {
            tovu_message("%s, left running by the last run, could not be ended: %s", what(x.entry).c_str(),
                         strerror(err));
            continue;
        }
        tovu_message("%s was left running by the last run: ended", what(x.entry).c_str());
        ended++;
    }
    wait_all(kKillWait, true);
    unlink(path);
    return ended;
}

} // extern "C"
