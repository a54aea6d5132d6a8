// The child-process runner: the two pipes of an engine slot, starting a
// program on them, reading its output and reaping it without blocking, and
// writing to its standard input.
#include "tovu_engine_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

// Exit status of a child whose program could not be executed (the shell's
// "cannot execute" convention), reported by the next tovu_poll_proc.
constexpr int kExecFailedStatus = 127;

// Creates one pipe whose ends are close-on-exec (so the pipes of one slot do
// not leak into the children of the others) and never 0, 1 or 2 (0 means
// "no pipe" in a record, and the child's dup2 calls must not clobber them).
int make_pipe(TOVU_PIPE fds[2])
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return -1;
    for (int &fd : p) {
        if (fd > 2)
            continue;
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) {
            close(p[0]);
            close(p[1]);
            return -1;
        }
        close(fd);
        fd = moved;
    }
    fds[0] = p[0];
    fds[1] = p[1];
    return 0;
}

// closes of a slot's descriptors, for the poll's readiness set
std::atomic<unsigned> g_closes{0};

void close_pidfd(TOVU_PROC_CTX *proc)
{
    if (proc->pidfd != 0) {
        close(proc->pidfd);
        g_closes.fetch_add(1, std::memory_order_relaxed);
    }
    proc->pidfd = 0;
    proc->pidfd_pid = 0;
}

// A process descriptor for the child just started, so that the poll learns
// of its end from one readiness call for all slots. Without one (an older
// kernel, no descriptor left) the poll asks after the child itself, with a
// wait that does not block, in every pass.
void open_pidfd(TOVU_PROC_CTX *proc)
{
    int fd = (int)syscall(SYS_pidfd_open, proc->pid, 0);   // close-on-exec
    if (fd >= 0 && fd <= 2) {
        // 0 means "none" in the record
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = moved;
    }
    if (fd < 0)
        return;
    proc->pidfd = fd;
    proc->pidfd_pid = proc->pid;
}

// In the forked child, before exec: only async-signal-safe calls here.
// A failed exec sends its errno on report (close-on-exec, so a started
// program closes it unwritten).
[[noreturn]] void exec_child(const TOVU_PROC_CTX *proc, const char *exe_fname, char *const *args,
                             int report)
{
    close(proc->pipe_stdin[1]);
    dup2(proc->pipe_stdin[0], 0);
    close(proc->pipe_stdin[0]);
    close(proc->pipe_stdout[0]);
    dup2(proc->pipe_stdout[1], 1);
    dup2(proc->pipe_stdout[1], 2);
    close(proc->pipe_stdout[1]);

    // A group of its own, so that what the program starts can be ended with
    // it; and it takes in what its descendants orphan, so that nothing of
    // its tree reaches this process while it runs (see tovu_poll_proc).
    setpgid(0, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    // A start from a thread that blocks or ignores signals must still give a
    // child that SIGINT stops: begin with the default signal state.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE})
        sigaction(sig, &dfl, nullptr);

    if (args)
        execv(exe_fname, args);
    else
        execl(exe_fname, exe_fname, static_cast<char *>(nullptr));
    int err = errno;
    if (report >= 0 && write(report, &err, sizeof err) < 0) {
        // the parent then learns of the failure from the exit status alone
    }
    // Never the normal exit path: the parent's exit handlers must not run here.
    _exit(kExecFailedStatus);
}

} // namespace

extern "C" {

int tovu_start_proc(TOVU_PROC_CTX *proc, const char *exe_fname, char *const *args)
{
    if (proc->pipe_stdin[0] == 0 && proc->pipe_stdin[1] == 0 && make_pipe(proc->pipe_stdin) != 0)
        return TOVU_ERR_PIPE;
    if (proc->pipe_stdout[0] == 0 && proc->pipe_stdout[1] == 0 && make_pipe(proc->pipe_stdout) != 0)
        return TOVU_ERR_PIPE;

    close_pidfd(proc);   // of a child given up on unreaped
    // the child tells through this pipe whether its program could be run
    TOVU_PIPE report[2] = {-1, -1};
    bool reporting = make_pipe(report) == 0;
    proc->exec_errno = 0;
    proc->pid = fork();
    if (proc->pid < 0) {
        int err = errno;
        if (reporting) {
            close(report[0]);
            close(report[1]);
        }
        errno = err;
        return TOVU_ERR_FORK;
    }
    if (proc->pid == 0) {
        if (reporting)
            close(report[0]);
        exec_child(proc, exe_fname, args, reporting ? report[1] : -1);
    }
    // also here, so that the group exists before anyone signals it (once
    // the child runs its program this fails, and the child has done it)
    setpgid(proc->pid, proc->pid);
    open_pidfd(proc);
    tovu_record_started(proc->pid, exe_fname);
    if (reporting) {
        // end of file once the program runs (or the child has ended)
        close(report[1]);
        int err = 0;
        ssize_t n;
        do {
            n = read(report[0], &err, sizeof err);
        } while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(sizeof err))
            proc->exec_errno = err;
        close(report[0]);
    }

    int flags = fcntl(proc->pipe_stdout[0], F_GETFL);
    if (flags >= 0)
        fcntl(proc->pipe_stdout[0], F_SETFL, flags | O_NONBLOCK);
    return 0;
}

int tovu_read_proc(TOVU_PROC_CTX *proc, char *output, int sz)
{
    if (proc->pipe_stdout[0] == 0 || output == nullptr || sz <= 0)
        return 0;
    ssize_t n;
    do {
        n = read(proc->pipe_stdout[0], output, static_cast<size_t>(sz));
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int tovu_poll_proc(TOVU_PROC_CTX *proc)
{
    if (proc->pid == 0)
        return 1;
    if (proc->pid < 0) {
        // A failed fork leaves -1; waiting on it would reap any child at all.
        proc->pid = 0;
        return 0;
    }
    int status = 0;
    pid_t r = waitpid(proc->pid, &status, WNOHANG);
    if (r == proc->pid) {
        // What the child started and left in its group ends with it. (The
        // group's number cannot have been reused while one of it lives.)
        kill(-r, SIGKILL);
        proc->exit_code = status;
        proc->pid = 0;
        close_pidfd(proc);
        tovu_record_ended(r);
        return 0;
    }
    if (r < 0 && errno == ECHILD) {
        tovu_record_ended(proc->pid);
        proc->pid = 0;
        close_pidfd(proc);
        return 0;
    }
    return 1;
}

int tovu_kill_proc(const TOVU_PROC_CTX *proc, int sig)
{
    if (proc->pid <= 0)
        return -1;
    if (sig == SIGKILL && kill(-proc->pid, sig) == 0)
        return 0;
    return kill(proc->pid, sig);
}

unsigned tovu_proc_closes(void)
{
    return g_closes.load(std::memory_order_relaxed);
}

int tovu_proc_pidfd(const TOVU_PROC_CTX *proc)
{
    return proc->pid > 0 && proc->pidfd > 0 && proc->pidfd_pid == proc->pid ? proc->pidfd : -1;
}

int pipe_write(TOVU_PIPE pipe, const void *buf, int len)
{
    if (pipe == 0 || (buf == nullptr && len > 0)) {
        errno = EBADF;
        return -1;
    }
    // The write end blocks, so this normally writes everything at once; a
    // signal may still cut a write short, and then the rest follows.
    if (len <= 0)
        return 0;
    size_t done = tovu_write_all(pipe, buf, static_cast<size_t>(len));
    return done > 0 ? static_cast<int>(done) : -1;
}

int pipe_write_str(TOVU_PIPE pipe, const char *szbuf)
{
    if (szbuf == nullptr)
        return pipe_write(pipe, "", 0);
    std::string::size_type len = std::char_traits<char>::length(szbuf);
    if (len > 0x7fffffff) {
        errno = EINVAL;
        return -1;
    }
    return pipe_write(pipe, szbuf, static_cast<int>(len));
}

// Formats into a 1000-byte buffer; a longer text is formatted again into a
// buffer of its own size and written whole, never cut.
int pipe_printf(TOVU_PIPE pipe, const char *fmt, ...)
{
    char buf[1000];
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return -1;
    }
    if (static_cast<size_t>(n) < sizeof buf) {
        va_end(again);
        return pipe_write(pipe, buf, n);
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&big[0], big.size(), fmt, again);
    va_end(again);
    return pipe_write(pipe, big.data(), n);
}

void _tovu_free_pipes(TOVU_PROC_CTX *proc)
{
    close_pidfd(proc);   // the slot's last descriptor; pid stays as it is
    for (TOVU_PIPE *end : {&proc->pipe_stdin[0], &proc->pipe_stdin[1], &proc->pipe_stdout[0],
                           &proc->pipe_stdout[1]}) {
        if (*end != 0) {
            close(*end);
            *end = 0;
            g_closes.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

} // extern "C"
