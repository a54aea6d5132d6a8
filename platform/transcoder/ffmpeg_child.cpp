// The stand-in's watch over its ffmpeg child.
//
// The engine keeps the write end of a transcoder's standard input open for
// as long as it lives, so the end of that input means the service has gone
// (stopped, or killed outright): ffmpeg is then interrupted and, should it
// linger, killed. The same happens when this process loses its parent, the
// service, even while something else still holds that input open.  ffmpeg is also set to die with this process, because a
// hung transcoder is killed with SIGKILL, which cannot be passed on.
// Standard input is only watched for its end, never read: bytes that follow
// the argument line belong to whatever the engine starts next in the slot.
#include "ffmpeg_child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace standin {
namespace {

// after the end of standard input, ffmpeg gets this long to finish its files
constexpr int kLingerMs = 5000;
// the signals passed on to ffmpeg
constexpr int kPassedOn[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
// without a process descriptor of the parent, its loss is looked for this often
constexpr int kParentCheckMs = 1000;

// A descriptor that becomes readable when the process that started this one
// ends, or -1 (then the caller asks getppid). *lost is set when the parent
// has gone already.
int watch_parent(pid_t parent, bool *lost)
{
    int fd = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
    *lost = parent <= 1 || getppid() != parent;
    return fd;
}

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int end_like(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        sigprocmask(SIG_UNBLOCK, &one, nullptr);
        raise(sig);
        return 128 + sig;
    }
    return 1;
}

} // namespace

int run_ffmpeg_child(char *const *argv, const std::function<void()> &tick, int tick_ms)
{
    sigset_t watched, old;
    sigemptyset(&watched);
    for (int sig : kPassedOn)
        sigaddset(&watched, sig);
    sigaddset(&watched, SIGCHLD);
    sigprocmask(SIG_BLOCK, &watched, &old);
    int sfd = signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);

    const pid_t service = getppid();
    bool parent_lost = false;
    int pfd = watch_parent(service, &parent_lost);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "tovul.so: cannot start ffmpeg: %s\n", strerror(errno));
        return 127;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        int nul = open("/dev/null", O_RDONLY);
        if (nul >= 0) {
            dup2(nul, 0);
            if (nul != 0)
                close(nul);
        }
        execvp(argv[0], argv);
        fprintf(stderr, "tovul.so: cannot run ffmpeg (is it installed and on the PATH?): %s\n",
                strerror(errno));
        _exit(127);
    }

    struct pollfd fds[3] = {{0, 0, 0}, {sfd, POLLIN, 0}, {pfd, POLLIN, 0}};
    long long kill_at = -1;
    long long tick_at = tick && tick_ms > 0 ? now_ms() + tick_ms : -1;
    long long parent_at = pfd < 0 ? now_ms() + kParentCheckMs : -1;
    // the end of the service, told by its input or by the loss of the parent
    auto service_gone = [&] {
        if (fds[0].fd < 0)
            return;   // told already
        fds[0].fd = -1;
        kill(pid, SIGINT);
        kill_at = now_ms() + kLingerMs;
    };
    if (parent_lost)
        service_gone();
    for (;;) {
        int timeout = -1;
        for (long long at : {kill_at, tick_at, parent_at}) {
            if (at < 0)
                continue;
            long long left = at - now_ms();
            int t = left > 0 ? static_cast<int>(left) : 0;
            if (timeout < 0 || t < timeout)
                timeout = t;
        }
        int n = poll(fds, 3, timeout);
        if (n < 0 && errno != EINTR)
            break;
        if (kill_at >= 0 && now_ms() >= kill_at) {
            kill(pid, SIGKILL);
            kill_at = -1;
        }
        if (tick_at >= 0 && now_ms() >= tick_at) {
            tick();
            tick_at = now_ms() + tick_ms;
        }
        // events 0: only the end (or loss) of standard input wakes us
        if (fds[0].fd >= 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)))
            service_gone();
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            fds[2].fd = -1;
            service_gone();
        }
        if (parent_at >= 0 && now_ms() >= parent_at) {
            parent_at = now_ms() + kParentCheckMs;
            if (getppid() != service) {
                parent_at = -1;
                service_gone();
            }
        }
        if (fds[1].revents & POLLIN) {
            struct signalfd_siginfo si;
            while (read(sfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si))
                if (si.ssi_signo != SIGCHLD)
                    kill(pid, static_cast<int>(si.ssi_signo));
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return end_like(status);
    }
    // poll failed: wait for the child without the watch
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return end_like(status);
}

} // namespace standin
