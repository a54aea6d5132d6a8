// Small system helpers that every part of the program uses: whole writes to
// a descriptor, opening a regular file without waiting on a pipe, one-shot
// timers and the program's messages on standard output.
#include "tovu_base.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#if defined(__SANITIZE_THREAD__)
#define TOVU_OWN_TIMER_THREADS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TOVU_OWN_TIMER_THREADS 1
#endif
#endif

#ifdef TOVU_OWN_TIMER_THREADS
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>

#include <condition_variable>
#include <mutex>

// Under ThreadSanitizer the C library's thread notification of a timer
// cannot be used: the threads it makes for an expiry bypass the sanitizer,
// which then crashes in them. In that build one dispatcher thread of ours
// takes every expiry as a signal aimed at it and starts a new thread per
// expiry for the callback, as the C library does, so the sanitizer sees
// every timer thread and what it does. Other builds use the C library's.
namespace {

const int kExpirySignal = SIGRTMAX;

struct Expiry {
    void (*func)(union sigval);
    union sigval value;
};

// The signal that carries an expiry orders nothing for the sanitizer: a
// record is written and read under this lock.
std::mutex &expiryLock()
{
    static std::mutex *m = new std::mutex;   // outlives every thread
    return *m;
}

void *runExpiry(void *arg)
{
    Expiry *e = static_cast<Expiry *>(arg);
    e->func(e->value);
    delete e;
    return nullptr;
}

// the dispatcher's thread id, told by the dispatcher once it runs
struct DispatcherId {
    std::mutex m;
    std::condition_variable told;
    pid_t tid = 0;
};

void *dispatchExpiries(void *arg)
{
    {
        DispatcherId *id = static_cast<DispatcherId *>(arg);
        std::lock_guard<std::mutex> lock(id->m);
        id->tid = static_cast<pid_t>(syscall(SYS_gettid));
        id->told.notify_all();
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, kExpirySignal);
    for (;;) {
        siginfo_t info;
        if (sigwaitinfo(&set, &info) != kExpirySignal || !info.si_value.sival_ptr)
            continue;
        Expiry *e;
        {
            std::lock_guard<std::mutex> lock(expiryLock());
            e = new Expiry(*static_cast<const Expiry *>(info.si_value.sival_ptr));
        }
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t t;
        if (pthread_create(&t, &attr, runExpiry, e) != 0)
            delete e;
        pthread_attr_destroy(&attr);
    }
    return nullptr;
}

// the dispatcher's thread id, started at the first use; 0 when it cannot run
pid_t expiryDispatcher()
{
    static const pid_t tid = [] {
        // made with the signal blocked, which it then only waits for
        sigset_t set, old;
        sigemptyset(&set);
        sigaddset(&set, kExpirySignal);
        pthread_sigmask(SIG_BLOCK, &set, &old);
        static DispatcherId *id = new DispatcherId;   // outlives every thread
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t t;
        bool made = pthread_create(&t, &attr, dispatchExpiries, id) == 0;
        pthread_attr_destroy(&attr);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (!made)
            return static_cast<pid_t>(0);
        std::unique_lock<std::mutex> lock(id->m);
        id->told.wait(lock, [] { return id->tid != 0; });
        return id->tid;
    }();
    return tid;
}

} // namespace
#endif

extern "C" {

void tovu_message(const char *fmt, ...)
{
    std::string line = "TOVUL: ";
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n > 0) {
        const size_t at = line.size();
        line.resize(at + (size_t)n + 1);
        vsnprintf(&line[at], (size_t)n + 1, fmt, again);
        line.resize(at + (size_t)n);
    }
    va_end(again);
    line += '\n';
    fputs(line.c_str(), stdout);
    fflush(stdout);
}

size_t tovu_write_all(int fd, const void *buf, size_t len)
{
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

int tovu_open_regular(const char *path, struct stat *st)
{
    if (!path)
        return -1;
    // non-blocking open: a pipe in the file's place must not hold the caller
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat own;
    if (!st)
        st = &own;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

timer_t tovu_one_shot_timer(int id, long ms, void (*func)(union sigval), const char *what)
{
    struct sigevent sev;
    memset(&sev, 0, sizeof sev);
#ifdef TOVU_OWN_TIMER_THREADS
    // kept for as long as the process runs: an expiry may still be on its
    // way to the dispatcher after the timer's deletion
    Expiry *expiry;
    {
        std::lock_guard<std::mutex> lock(expiryLock());
        expiry = new Expiry;
        expiry->func = func;
        expiry->value.sival_int = id;
    }
    sev.sigev_notify = SIGEV_THREAD_ID;
    sev._sigev_un._tid = expiryDispatcher();
    sev.sigev_signo = kExpirySignal;
    sev.sigev_value.sival_ptr = expiry;
#else
    sev.sigev_notify = SIGEV_THREAD;
    sev.sigev_notify_function = func;
    sev.sigev_value.sival_int = id;
#endif
    timer_t t;
    if (timer_create(CLOCK_REALTIME, &sev, &t) != 0) {
        int err = errno;
        printf("timer_create %d error\n", id);
        tovu_message("%s could not be created: %s", what ? what : "timer", strerror(err));
        return static_cast<timer_t>(0);
    }
#ifdef TOVU_OWN_TIMER_THREADS
    // such a timer is the kernel's own id, and the first is 0, which means
    // "none" here: that one is kept unused for the life of the process
    timer_t again;
    if (t == static_cast<timer_t>(0) && timer_create(CLOCK_REALTIME, &sev, &again) == 0)
        t = again;
#endif
    struct itimerspec its;
    memset(&its, 0, sizeof its);
    its.it_value.tv_sec = ms / 1000;
    its.it_value.tv_nsec = (ms % 1000) * 1000000L;
    if (timer_settime(t, 0, &its, nullptr) != 0) {
        int err = errno;
        printf("timer_settime %d error\n", id);
        tovu_message("%s could not be armed: %s", what ? what : "timer", strerror(err));
        timer_delete(t);
        return static_cast<timer_t>(0);
    }
    return t;
}

} // extern "C"
