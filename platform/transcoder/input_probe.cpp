// The stand-in's look at an input's streams, by the machine's ffprobe: what
// a whole-input map of a multi-program output carries.
#include "stand_in_args.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>

namespace standin {

namespace {

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

char kind_letter(const std::string &type)
{
    static const std::pair<const char *, char> kKinds[] = {
        {"video", 'v'}, {"audio", 'a'}, {"subtitle", 's'}, {"data", 'd'}, {"attachment", 't'}};
    for (const auto &k : kKinds)
        if (type == k.first)
            return k.second;
    return '?';
}

// "index,type[,...]" lines; a stream listed again under a program counts once
StreamKinds kinds_of(const std::string &text)
{
    std::map<int, char> by_index;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t comma = line.find(',');
        if (comma == 0 || comma == std::string::npos)
            continue;
        char *stop = nullptr;
        long index = strtol(line.c_str(), &stop, 10);
        if (stop != line.c_str() + comma || index < 0 || index > 10000)
            continue;
        std::string type = line.substr(comma + 1, line.find(',', comma + 1) - comma - 1);
        by_index.emplace((int)index, kind_letter(type));
    }
    StreamKinds kinds;
    int next = 0;
    for (const auto &e : by_index) {
        if (e.first != next++)
            return StreamKinds(); // a gap: not a listing to trust
        kinds += e.second;
    }
    return kinds;
}

} // namespace

StreamKinds probe_stream_kinds(const StandInInput &input, int timeout_ms)
{
    std::vector<std::string> args = {"ffprobe", "-v", "error", "-show_entries", "stream=index,codec_type",
                                     "-of", "csv=p=0"};
    if (!input.format.empty()) {
        args.push_back("-f");
        args.push_back(input.format);
    }
    args.push_back("-i");
    args.push_back(input.address);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return StreamKinds();
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return StreamKinds();
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 2);
        }
        execvp("ffprobe", argv.data());
        _exit(127);
    }
    close(fds[1]);

    std::string text;
    const long long end = now_ms() + timeout_ms;
    bool timed_out = false;
    for (;;) {
        long long left = end - now_ms();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        struct pollfd p = {fds[0], POLLIN, 0};
        int r = poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            continue;
        char buf[4096];
        ssize_t got = read(fds[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (text.size() < (1 << 20))
            text.append(buf, (size_t)got);
    }
    close(fds[0]);
    if (timed_out)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timed_out || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return StreamKinds();
    return kinds_of(text);
}

} // namespace standin
