// The supervision pass over all engine slots (yt-dlp results, transcoder
// progress, stop and failover messages, ended and hanging processes, the CPU
// load sample) and the release of the engine.
#include "tovu_engine_internal.h"
#include "tovu_poll.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr int kChunkSize = 4096;
constexpr int kReleasePolls = 100;
constexpr int kWatchedSlots = 32;   // slots a pass asks about in one call; others alone
constexpr useconds_t kReleasePollUs = 30000;

// the sweep for children that no slot records (below)
constexpr std::chrono::milliseconds kSweepEvery{1000};
constexpr std::chrono::milliseconds kSweepAgain{100};   // while some were found
constexpr int kReleaseSweeps = 50;
constexpr useconds_t kReleaseSweepUs = 10000;

const char kMsgNoAudio[] = "There's no buffered audio. Audio will misbehave!";
const char kMsgFreezing[] = "output video frame freezing";
const char kMsgTimedOut[] = "primary input timed out, switching to secondary input";
const char kMsgBackAgain[] = "primary input available again, switching back";

time_t wall_clock()
{
    return time(nullptr);
}

std::atomic<TOVU_CLOCK> g_clock{wall_clock};

time_t now()
{
    return g_clock.load(std::memory_order_relaxed)();
}

// One yt-dlp run being collected; guarded by the engine lock.
struct Extraction {
    bool active = false;
    pid_t pid = 0;
    time_t since = 0;       // pass time at which the run was first seen
    bool killed = false;    // over its time bound: its output no longer counts
    std::string text;
};

std::vector<Extraction> g_extractions;

// The pass's readiness set (epoll, level-triggered): every busy slot's output
// pipe and its child's process descriptor, each added once, so that a pass
// asks the kernel about all of them in one call that costs the same whatever
// their number. A descriptor leaves the set by itself when it is closed; the
// runner counts the closes it makes, and once that count has moved the pass
// adds every descriptor again (one still in the set is then updated).
// Guarded by the engine lock.
struct ReadySet {
    struct Added {
        int out_fd;
        int pidfd;
        pid_t pid;   // the child pidfd was added for
    };
    int epfd = -1;
    unsigned closes = 0;
    Added added[kWatchedSlots] = {};

    // true when fd is in the set, with the slot and kind as its data
    bool watch(int fd, uint32_t tag)
    {
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u32 = tag;
        if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0)
            return true;
        return errno == EEXIST && epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev) == 0;
    }
    void reset()
    {
        if (epfd >= 0)
            close(epfd);
        epfd = -1;
        for (Added &a : added)
            a = Added{};
    }
};

ReadySet g_ready;

// the load sample's clock (wall-clock seconds); guarded by the engine lock
time_t last_sec = 0;
time_t tm_last = 0;

// "hours:minutes:seconds" up to the first '.', blank, tab, CR or LF
bool read_stream_time(const char *p, int *out)
{
    char buf[100];
    size_t n = strcspn(p, ". \t\r\n");
    if (n > sizeof buf - 1)
        n = sizeof buf - 1;
    memcpy(buf, p, n);
    buf[n] = '\0';

    // Each part is held to the int range before any arithmetic, so the sum
    // below cannot overflow; a time that does not fit an int is not taken.
    long long part[3];
    const char *q = buf;
    for (int k = 0; k < 3; k++) {
        int v;
        const char *end = q;
        if (tovu_parse_int(q, &v, &end) != 1 || (k < 2 && *end != ':'))
            return false;
        part[k] = v;
        q = end + (k < 2 ? 1 : 0);
    }
    long long secs = part[0] * 3600 + part[1] * 60 + part[2];
    if (secs > INT_MAX || secs < INT_MIN)
        return false;
    *out = (int)secs;
    return true;
}

// The rate of the progress line whose " time=" value begins at p: after
// it, on that line. Encoder banners in the same chunk also say "bitrate=",
// with the rate they were configured for, and a progress line that gives
// no rate ("bitrate=N/A") must not take one of theirs: then the figure
// stays as it was.
void read_progress_bitrate(const char *p, int *out)
{
    const char *eol = p + strcspn(p, "\r\n");
    const char *b = strstr(p, " bitrate=");
    if (b && b < eol)
        tovu_read_int(b + 9, out);
}

void handle_chunk(int slot, TOVU_CHAN_CTX *chan, const char *chunk) TOVU_REQUIRES(g_engineMutex)
{
    chan->tm_alive = now();

    if (const char *t = strstr(chunk, " time=")) {
        read_stream_time(t + 6, &chan->streaming_time);
        if (const char *f = strstr(chunk, " fps="))
            tovu_read_int(f + 5, &chan->fps);
        read_progress_bitrate(t + 6, &chan->bitrate);
    }

    if (g_cfg.log_level)
        tovu_log(slot, 0, chunk);

    if (strstr(chunk, kMsgNoAudio) || strstr(chunk, kMsgFreezing))
        tovu_stop(slot, 0);

    if (chan->state == TOVU_STATE_RUNNING && strstr(chunk, kMsgTimedOut))
        chan->state = TOVU_STATE_NOSIGNAL;
    if (chan->state == TOVU_STATE_NOSIGNAL && strstr(chunk, kMsgBackAgain))
        chan->state = TOVU_STATE_RUNNING;

    // The callback runs with the engine lock held: it may call the engine,
    // but must not wait for another thread that uses it.
    if (g_cfg.fnAppCallback)
        g_cfg.fnAppCallback(reinterpret_cast<void *>(static_cast<intptr_t>(slot)), chunk);
}

// Reads the slot's output chunk by chunk, at most TOVU_MAX_CHUNKS_PER_PASS
// chunks, so that a child that prints without pause cannot hold the pass.
// A chunk shorter than asked for emptied the pipe: the read after it would
// find nothing, and what arrives later is the next pass's.
void read_output(int slot, TOVU_CHAN_CTX *chan) TOVU_REQUIRES(g_engineMutex)
{
    char chunk[kChunkSize];
    for (int k = 0; k < TOVU_MAX_CHUNKS_PER_PASS; k++) {
        int n = tovu_read_proc(&chan->proc, chunk, kChunkSize - 1);
        if (n <= 0)
            break;
        chunk[n] = '\0';
        handle_chunk(slot, chan, chunk);
        if (n < kChunkSize - 1)
            break;
    }
}

// What the pass's one readiness call told of a slot. Each flag is true also
// when the call could not tell (the slot's descriptors changed since, or it
// has none): then its output is read and its child looked at all the same.
struct Readiness {
    bool output = true;   // its output pipe may hold bytes
    bool ended = true;    // its child may have ended
};

void poll_transcoder(int slot, TOVU_CHAN_CTX *chan, Readiness ready) TOVU_REQUIRES(g_engineMutex)
{
    if (ready.output)
        read_output(slot, chan);

    if (ready.ended && tovu_poll_proc(&chan->proc) == 0) {
        // what the process wrote just before it ended
        read_output(slot, chan);
        chan->state = TOVU_STATE_IDLE;
        // an extraction stopped before it ended leaves its kept arguments
        _tovu_free_param(chan);
        tovu_logf(slot, 1, "transcoding stopped (0x%08x)", (unsigned)chan->proc.exit_code);
    }

    time_t t = now();
    if (chan->tm_alive > 0 && t - chan->tm_alive > TOVU_HANG_SECS) {
        if (g_cfg.log_level)
            tovu_logf(slot, 1, "channel seems to be hanging for over 30 secs, killing...");
        tovu_stop(slot, 1);
        chan->tm_alive = t - (TOVU_HANG_SECS - 1);
    }
}

// Appends what yt-dlp has printed so far to x.text. Memory that cannot be had
// drops what this call read.
void collect_extraction(TOVU_CHAN_CTX *chan, Extraction &x)
{
    char piece[kChunkSize];
    size_t before = x.text.size();
    try {
        for (int k = 0; k < TOVU_MAX_CHUNKS_PER_PASS; k++) {
            int n = tovu_read_proc(&chan->proc, piece, sizeof piece);
            if (n <= 0)
                break;
            if (x.killed || x.text.size() >= TOVU_YTDLP_MAX_OUTPUT)
                continue;
            size_t room = TOVU_YTDLP_MAX_OUTPUT - x.text.size();
            x.text.append(piece, (size_t)n < room ? (size_t)n : room);
        }
    } catch (const std::bad_alloc &) {
        x.text.resize(before);
    }
}

// The address in yt-dlp's output: the first line that holds "://", without
// a final carriage return. yt-dlp prints one address per line (video and
// audio apart, for one), and a line feed in the argument string would end it
// early. Empty when there is none.
std::string first_address(const std::string &text)
{
    std::string::size_type pos = 0;
    while (pos < text.size()) {
        std::string::size_type eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find("://") != std::string::npos)
            return line;
        pos = eol + 1;
    }
    return std::string();
}

void poll_extraction(int slot, TOVU_CHAN_CTX *chan, time_t pass_time)
{
    if ((size_t)slot >= g_extractions.size())
        g_extractions.resize(slot + 1);
    Extraction &x = g_extractions[slot];
    if (!x.active || x.pid != chan->proc.pid) {
        x = Extraction();
        x.active = true;
        x.pid = chan->proc.pid;
        x.since = pass_time;
    }

    collect_extraction(chan, x);
    // (a slot with no child recorded has nothing left to wait for)
    if (chan->proc.pid != 0 && tovu_poll_proc(&chan->proc) != 0) {
        // Still running: never wait for it here. One that does not end in
        // time is killed, and its end is handled like any other.
        if (!x.killed && pass_time - x.since > TOVU_YTDLP_MAX_SECS) {
            tovu_logf(slot, 1, "yt-dlp did not end within %d secs, killing...", TOVU_YTDLP_MAX_SECS);
            tovu_kill_proc(&chan->proc, SIGKILL);
            x.killed = true;
            x.text.clear();
        }
        return;
    }
    collect_extraction(chan, x);

    std::string text;
    text.swap(x.text);
    bool killed = x.killed;
    x = Extraction();

    if (killed || text.empty()) {
        _tovu_free_param(chan);
        chan->state = TOVU_STATE_IDLE;
        tovu_logf(slot, 1, "transcoding stopped (0x%08x)", (unsigned)chan->proc.exit_code);
        return;
    }

    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    tovu_logf(slot, 1, "yt-dlp output: %s", text.c_str());

    std::string address = first_address(text);
    TOVU_CHAN_PARAM *param = chan->param;
    if (!address.empty() && param && param->nb_sources > 0) {
        // The kept first source's address is the caller's text, never freed
        // with the kept arguments: this copy stays ours to free.
        char *url = _strallocpy(address.c_str());
        param->sources[0].url = url;
        int ret = url ? tovu_transcode(slot, param->sources, param->nb_sources, param->targets,
                                       param->nb_targets, param->mux_mode, param->b_preview)
                      : TOVU_ERR_NO_SOURCE_URL;
        if (ret < 0)
            chan->state = TOVU_STATE_IDLE;
        _tovu_free_param(chan);
        free(url);
    } else {
        chan->state = TOVU_STATE_IDLE;
        _tovu_free_param(chan);
    }
}

// Whether a load sample is due: at most one per wall-clock second.
bool sample_due(time_t pass_time)
{
    TovuLock lock;
    if (!g_proc_channels || pass_time == last_sec)
        return false;
    last_sec = pass_time;
    time_t t = now();
    if (t <= tm_last)
        return false;
    tm_last = t;
    return true;
}

// Reads "/proc/stat" without the engine lock, then samples under it.
void sample_cpu_load(time_t pass_time)
{
    if (!sample_due(pass_time))
        return;
    char buf[2048];
    int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return;
    buf[n] = '\0';
    tovu_sample_cpu_load(buf);
}

// Children of this process that no slot records. Every program the engine
// starts is the subreaper of its own descendants (see the runner), so
// what its tree orphans stays with it while it runs; once it has ended,
// its children come to the nearest subreaper above it. When that is this
// process (the application made itself one), such a child is what an ended
// transcoder or yt-dlp left behind, belonging to no running channel: the
// sweep kills it and reaps it. Nothing is waited for but these pids, so the
// waits for the slots' own children are not disturbed. A process that is no
// subreaper gets no such children, and the sweep leaves its children alone.
//
// Such children arrive only when a process below this one ends: a slot's
// own (the poll finds that end), or one that arrived before and was killed,
// or one that ended by itself; each of those that was this process's child
// waits unreaped until it is reaped. So a sweep is made at once after a
// slot's process has ended, soon again while the last one found some, and
// whenever a child that no slot records has ended; once a second the
// kernel is asked about the last (one question, whatever the host runs).
// An idle service, and one whose channels run on, reads nothing of "/proc".
struct SweepPlan {
    std::chrono::steady_clock::time_point next_check;   // of ended unrecorded children
    bool again = false;                                 // the last sweep found some
    std::chrono::steady_clock::time_point again_at;
    unsigned made = 0;
};
SweepPlan g_sweep TOVU_GUARDED_BY(g_engineMutex);

bool adopts_orphans()
{
    int on = 0;
    return prctl(PR_GET_CHILD_SUBREAPER, &on) == 0 && on != 0;
}

// the parent of process pid; -1 when unknown
pid_t parent_of(pid_t pid)
{
    TovuProcStat st;
    return tovu_proc_stat(pid, &st) ? st.ppid : -1;
}

bool recorded_by_a_slot(pid_t pid) TOVU_REQUIRES(g_engineMutex)
{
    for (int slot = 0; g_proc_channels && slot < g_cfg.nb_channels_max; slot++)
        if (g_proc_channels[slot].proc.pid == pid)
            return true;
    return false;
}

// a pid's decimal text, whole; 0 when it is none
pid_t read_pid(const char *text, const char **end)
{
    int pid;
    if (tovu_parse_int(text, &pid, end) != 1 || pid <= 0)
        return 0;
    return (pid_t)pid;
}

// This process's children, from the list that the kernel keeps of each
// thread's children, where it keeps one; false when it does not (then the
// caller looks at every process's parent).
bool children_from_tasks(std::vector<pid_t> *children)
{
    static const bool kept = access("/proc/thread-self/children", R_OK) == 0;
    if (!kept)
        return false;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return false;
    while (dirent *e = readdir(d)) {
        const char *end = e->d_name;
        if (!read_pid(e->d_name, &end) || *end != '\0')
            continue;
        std::string path = std::string("/proc/self/task/") + e->d_name + "/children";
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;   // a thread that has just ended (its children are another's now)
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            text.append(buf, (size_t)n);
        close(fd);
        for (const char *p = text.c_str(); *p;) {
            const char *after = p;
            if (pid_t pid = read_pid(p, &after))
                children->push_back(pid);
            p = after == p ? p + 1 : after;
        }
    }
    closedir(d);
    return true;
}

// This process's children when the kernel keeps no lists: every process's
// parent, from "/proc" (the cost grows with what the host runs).
void children_from_all(std::vector<pid_t> *children)
{
    pid_t self = getpid();
    tovu_each_process([&](pid_t pid, const TovuProcStat &st) {
        if (st.ppid == self)
            children->push_back(pid);
        return true;
    });
}

// Kills and reaps (when already ended) every child that no slot records;
// returns how many there were. Reads "/proc" without the engine lock, and
// checks each one again under it: a slot's start forks and records its
// child under the lock, and only this process can reap its children.
int sweep_strays()
{
    pid_t self = getpid();
    std::vector<pid_t> children;
    if (!children_from_tasks(&children))
        children_from_all(&children);
    int found = 0;
    TovuLock lock;
    for (pid_t pid : children) {
        if (recorded_by_a_slot(pid) || parent_of(pid) != self)
            continue;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, WNOHANG);
        found++;
    }
    return found;
}

// Whether a child of this process has ended that no slot records: it is
// left unreaped for the sweep (nothing is reaped here).
bool unrecorded_child_ended()
{
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
        return false;   // no child at all, or none ended
    TovuLock lock;
    return !recorded_by_a_slot(info.si_pid);
}

void sweep_if_due(bool ended)
{
    auto t = std::chrono::steady_clock::now();
    bool due, check;
    {
        TovuLock lock;
        due = ended || (g_sweep.again && t >= g_sweep.again_at);
        check = t >= g_sweep.next_check;
        if (check)
            g_sweep.next_check = t + kSweepEvery;
    }
    if (!due && !(check && unrecorded_child_ended()))
        return;
    int found = adopts_orphans() ? sweep_strays() : 0;
    TovuLock lock;
    g_sweep.made++;
    g_sweep.again = found > 0;
    g_sweep.again_at = t + kSweepAgain;
}

} // namespace

extern "C" {

unsigned _tovu_sweeps(void)
{
    TovuLock lock;
    return g_sweep.made;
}

void _tovu_set_clock(TOVU_CLOCK fn)
{
    g_clock.store(fn ? fn : wall_clock, std::memory_order_relaxed);
}

void tovu_sample_cpu_load(const char *stat_text)
{
    TovuLock lock;
    int nb = g_cfg.nb_cpus < TOVU_MAX_CPUS ? g_cfg.nb_cpus : TOVU_MAX_CPUS;
    for (int c = 0; c < nb; c++) {
        char key[16];
        snprintf(key, sizeof key, "cpu%d", c);
        const char *p = strstr(stat_text, key);
        if (!p)
            continue;
        unsigned v[8];
        if (sscanf(p + strlen(key), "%u %u %u %u %u %u %u %u", &v[0], &v[1], &v[2], &v[3], &v[4],
                   &v[5], &v[6], &v[7]) != 8)
            continue;
        uint32_t load = (uint32_t)v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
        uint32_t total = load + v[3] + v[4];
        TOVU_CPU_USAGE &u = g_cfg.cpu_usage[c];
        if (u.last_load && u.last_total && total != u.last_total) {
            // Counters wrap in 32 bits, so the differences are taken modulo
            // 2^32; one that went backwards (idle and iowait can) reads as
            // negative and counts as none, and the result stays in 0..100.
            int32_t d_load = (int32_t)(load - u.last_load);
            int32_t d_total = (int32_t)(total - u.last_total);
            int pct = 0;
            if (d_load > 0 && d_total > 0) {
                int64_t q = (int64_t)d_load * 100 / d_total;
                pct = q > 100 ? 100 : (int)q;
            }
            u.load_pct = pct;
        }
        u.last_load = load;
        u.last_total = total;
    }
}

int tovu_poll(void)
{
    time_t pass_time = now();
    int nb;
    // One readiness call for all busy slots: which output pipes hold bytes
    // and which children have ended (their process descriptors are readable
    // then, even while a descendant still holds the pipe). A silent slot then
    // costs no system call of its own.
    struct Watched {
        pid_t pid;
        int out_fd, pidfd;
        bool out_watched, pidfd_watched;
    };
    Watched watched[kWatchedSlots];
    int epfd;
    {
        TovuLock lock;
        if (!g_proc_channels)
            return 0;
        nb = g_cfg.nb_channels_max;
        if (g_ready.epfd < 0)
            g_ready.epfd = epoll_create1(EPOLL_CLOEXEC);
        unsigned closes = tovu_proc_closes();
        if (closes != g_ready.closes) {
            for (ReadySet::Added &a : g_ready.added)
                a = ReadySet::Added{};
            g_ready.closes = closes;
        }
        for (int slot = 0; slot < nb && slot < kWatchedSlots; slot++) {
            const TOVU_PROC_CTX &proc = g_proc_channels[slot].proc;
            Watched &w = watched[slot];
            w = Watched{proc.pid, proc.pipe_stdout[0], tovu_proc_pidfd(&proc), false, false};
            if (g_ready.epfd < 0 || g_proc_channels[slot].state == TOVU_STATE_IDLE)
                continue;
            ReadySet::Added &a = g_ready.added[slot];
            if (w.out_fd > 0) {
                if (a.out_fd != w.out_fd && g_ready.watch(w.out_fd, (uint32_t)slot * 2))
                    a.out_fd = w.out_fd;
                w.out_watched = a.out_fd == w.out_fd;
            }
            if (w.pidfd > 0) {
                if ((a.pidfd != w.pidfd || a.pid != w.pid) &&
                    g_ready.watch(w.pidfd, (uint32_t)slot * 2 + 1)) {
                    a.pidfd = w.pidfd;
                    a.pid = w.pid;
                }
                w.pidfd_watched = a.pidfd == w.pidfd && a.pid == w.pid;
            }
        }
        epfd = g_ready.epfd;
    }
    // (a descriptor closed and left in the set by a child that has not yet
    // run its program can still be reported: a needless question, no more)
    bool out_ready[kWatchedSlots] = {}, end_ready[kWatchedSlots] = {};
    bool known = false;
    if (epfd >= 0) {
        epoll_event evs[2 * kWatchedSlots];
        int n;
        do {
            n = epoll_wait(epfd, evs, 2 * kWatchedSlots, 0);
        } while (n < 0 && errno == EINTR);
        // a full answer may have left some out: then every slot is asked
        known = n >= 0 && n < 2 * kWatchedSlots;
        for (int k = 0; known && k < n; k++) {
            uint32_t slot = evs[k].data.u32 / 2;
            if (slot < (uint32_t)kWatchedSlots)
                (evs[k].data.u32 % 2 ? end_ready : out_ready)[slot] = true;
        }
    }

    // The lock is taken per slot, so that a start or stop from another
    // thread waits for one slot's turn at most.
    bool ended = false;   // a slot's process was found ended
    for (int slot = 0; slot < nb; slot++) {
        TovuLock lock;
        TOVU_CHAN_CTX *chan = tovu_slot_locked(slot);
        if (!chan)
            return 0;   // the table went away meanwhile
        if (chan->state == TOVU_STATE_EXTRACT) {
            pid_t pid = chan->proc.pid;
            poll_extraction(slot, chan, pass_time);
            ended = ended || (pid > 0 && chan->proc.pid != pid);
            continue;
        }
        if ((size_t)slot < g_extractions.size() && g_extractions[slot].active)
            g_extractions[slot] = Extraction();   // the extraction was stopped
        if (chan->state == TOVU_STATE_IDLE)
            continue;
        Readiness ready;
        if (known && slot < kWatchedSlots) {
            // only what was asked about this very child counts
            const Watched &w = watched[slot];
            const TOVU_PROC_CTX &proc = chan->proc;
            if (w.out_watched && w.out_fd == proc.pipe_stdout[0])
                ready.output = out_ready[slot];
            if (w.pidfd_watched && w.pid == proc.pid && w.pidfd == tovu_proc_pidfd(&proc))
                ready.ended = end_ready[slot];
        }
        poll_transcoder(slot, chan, ready);
        ended = ended || chan->state == TOVU_STATE_IDLE;
    }
    sample_cpu_load(pass_time);
    sweep_if_due(ended);
    return 0;
}

void tovu_free(void)
{
    int nb;
    {
        TovuLock lock;
        if (!g_cfg.b_init)
            return;
        g_cfg.b_init = 0;
        nb = g_proc_channels ? g_cfg.nb_channels_max : 0;
        for (int slot = 0; slot < nb; slot++) {
            TOVU_CHANNEL_STATE s = g_proc_channels[slot].state;
            if (s == TOVU_STATE_RUNNING || s == TOVU_STATE_PREVIEW || s == TOVU_STATE_NOSIGNAL)
                tovu_stop(slot, 0);
        }
    }

    // One budget of polls for all slots together; never sleeps with the lock.
    int polls = 0;
    for (int slot = 0; slot < nb; slot++) {
        for (;;) {
            {
                TovuLock lock;
                TOVU_CHAN_CTX *chan = tovu_slot_locked(slot);
                if (!chan || chan->state == TOVU_STATE_IDLE)
                    break;
            }
            if (polls >= kReleasePolls)
                break;
            usleep(kReleasePollUs);
            tovu_poll();
            polls++;
        }
        TovuLock lock;
        TOVU_CHAN_CTX *chan = tovu_slot_locked(slot);
        if (!chan)
            continue;
        if (chan->state != TOVU_STATE_IDLE)
            tovu_stop(slot, 1);
        _tovu_free_pipes(&chan->proc);
    }

    {
        TovuLock lock;
        if (g_proc_channels)
            for (int slot = 0; slot < g_cfg.nb_channels_max; slot++)
                _tovu_free_param(&g_proc_channels[slot]);
        free(g_proc_channels);
        g_proc_channels = nullptr;
        g_ready.reset();
        g_extractions.clear();
        g_extractions.shrink_to_fit();
    }

    // No slot is left: every child is now what a transcoder left behind
    // (or one killed above). Ended and reaped, also those that come to this
    // process as their parents are killed, for half a second at most.
    if (adopts_orphans())
        for (int k = 0; k < kReleaseSweeps && sweep_strays() > 0; k++)
            usleep(kReleaseSweepUs);
    // nothing that was started runs on: no record is left for a next run
    tovu_record_release();
}

} // extern "C"
