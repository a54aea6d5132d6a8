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
    sev.sigev_notify = SIGEV_THREAD;
    sev.sigev_notify_function = func;
    sev.sigev_value.sival_int = id;
    timer_t t;
    if (timer_create(CLOCK_REALTIME, &sev, &t) != 0) {
        int err = errno;
        printf("timer_create %d error\n", id);
        tovu_message("%s could not be created: %s", what ? what : "timer", strerror(err));
        return static_cast<timer_t>(0);
    }
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
