// Atomic file saves: write a sibling file, flush it to disk, rename it over
// the old one.  Used for the configuration file and by the other savers.
// The files are readable by their owner only: the configuration holds the
// login password.  The siblings that a save killed half-way leaves behind
// are removed at the next start.
#include "tovu_config.h"
#include "tovu_base.h"

#include <dirent.h>
#include <errno.h>
#include <ctype.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <random>

namespace {

std::atomic<unsigned> g_tmpCounter{0};

// the file that a save really replaces: a symbolic link is followed, so that
// the link stays and its target gets the new text
std::string resolveTarget(const char *path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&free)> real(realpath(path, nullptr), &free);
        if (real)
            return real.get();
    }
    return path;
}

// the mode of a saved file: only its owner may read it
const mode_t kSavedMode = 0600;
// what of an existing file's mode a save keeps: the owner's bits
const mode_t kKeptModeBits = 0700;

// the folder of target, with its trailing '/' ("" for a bare name), and its name
void splitPath(const std::string &target, std::string *dir, std::string *base)
{
    size_t slash = target.rfind('/');
    *dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    *base = slash == std::string::npos ? target : target.substr(slash + 1);
}

// A new, empty file beside target, readable by its owner only. Its name is
// "." + the target's name + ".<pid>.<count>.<8 hex digits>": the writer's
// process id lets a later start tell a sibling left by a save that was
// killed from one that is being written.
int createSibling(const std::string &target, std::string &tmpPath)
{
    std::string dir, base;
    splitPath(target, &dir, &base);
    std::random_device rd;
    for (int attempt = 0; attempt < 100; attempt++) {
        char suffix[64];
        snprintf(suffix, sizeof suffix, ".%ld.%u.%08x", (long)getpid(), g_tmpCounter++,
                 (unsigned)rd());
        tmpPath = dir + "." + base + suffix;
        int fd = open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kSavedMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

void syncFolderOf(const std::string &target)
{
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// The process id in a sibling's name, when the name is one that a save of
// the file `base` makes; 0 for any other name.
long siblingWriter(const char *name, const std::string &base)
{
    const std::string prefix = "." + base + ".";
    if (strncmp(name, prefix.c_str(), prefix.size()) != 0)
        return 0;
    const char *p = name + prefix.size();
    auto digits = [&p](size_t most) {
        size_t n = 0;
        while (n < most && p[n] >= '0' && p[n] <= '9')
            n++;
        p += n;
        return n;
    };
    const char *pidStart = p;
    size_t pidDigits = digits(10);
    if (pidDigits == 0 || *p++ != '.' || digits(10) == 0 || *p++ != '.')
        return 0;
    for (int i = 0; i < 8; i++, p++)
        if (!isxdigit((unsigned char)*p) || isupper((unsigned char)*p))
            return 0;
    if (*p)
        return 0;
    return strtol(std::string(pidStart, pidDigits).c_str(), nullptr, 10);
}

// When process pid began, in seconds since the epoch; false when that cannot
// be read, or the process has ended and waits only to be reaped.
bool processStart(long pid, double *started, bool *ended)
{
    *ended = false;
    TovuProcStat st;
    if (!tovu_proc_stat(static_cast<pid_t>(pid), &st))
        return false;
    if (st.state == 'Z' || st.state == 'X') {
        *ended = true;
        return false;
    }
    long long bootTime = -1;
    if (FILE *fp = fopen("/proc/stat", "re")) {
        char line[256];
        while (fgets(line, sizeof line, fp))
            if (sscanf(line, "btime %lld", &bootTime) == 1)
                break;
        fclose(fp);
    }
    long ticks = sysconf(_SC_CLK_TCK);
    if (bootTime < 0 || ticks <= 0)
        return false;
    *started = (double)bootTime + (double)st.start / (double)ticks;
    return true;
}

// Whether the writer of a sibling last changed at `changed` may still be
// writing it. Its process id may have been taken by another process since
// (after a restart of the machine, most of all): a process that began after
// the sibling was last written cannot be its writer. The boot time is read in
// whole seconds, hence the slack; what cannot be told counts as running.
bool writerMayRun(long pid, time_t changed)
{
    if (pid <= 0)
        return false;
    if (kill((pid_t)pid, 0) != 0 && errno == ESRCH)
        return false;
    double started = 0;
    bool ended = false;
    if (!processStart(pid, &started, &ended))
        return !ended;
    const double kSlack = 2.0;
    return started <= (double)changed + kSlack;
}

} // namespace

int tovuRemoveStaleSaves(const char *path)
{
    if (!path || !path[0])
        return 0;
    std::string dir, base;
    splitPath(resolveTarget(path), &dir, &base);
    if (base.empty())
        return 0;
    DIR *d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return 0;
    int removed = 0;
    while (struct dirent *ent = readdir(d)) {
        long pid = siblingWriter(ent->d_name, base);
        if (pid <= 0)
            continue;
        // only a file that a save made: never a folder, a link or a device
        struct stat st;
        if (fstatat(dirfd(d), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (writerMayRun(pid, st.st_mtime))
            continue;
        const std::string name = dir + ent->d_name;
        if (unlinkat(dirfd(d), ent->d_name, 0) == 0) {
            removed++;
            tovu_message("removed %s, left by an interrupted save (process %ld)", name.c_str(), pid);
        } else {
            tovu_message("%s, left by an interrupted save (process %ld), could not be removed: %s",
                         name.c_str(), pid, strerror(errno));
        }
    }
    closedir(d);
    return removed;
}

int tovuWriteFileAtomic(const char *path, const std::function<int(FILE *fp)> &writer)
{
    if (!path || !path[0]) {
        errno = EINVAL;
        return -1;
    }
    std::string target = resolveTarget(path);

    struct stat old;
    bool exists = stat(target.c_str(), &old) == 0;
    // a save never replaces a folder, a device or a pipe
    if (exists && !S_ISREG(old.st_mode)) {
        errno = S_ISDIR(old.st_mode) ? EISDIR : EINVAL;
        return -1;
    }

    std::string tmpPath;
    int fd = createSibling(target, tmpPath);
    if (fd < 0)
        return -1;
    // (created with 0600, but a umask may have taken the owner's bits)
    mode_t mode = exists ? old.st_mode & kKeptModeBits : kSavedMode;
    fchmod(fd, mode);
    if (exists && fchown(fd, old.st_uid, old.st_gid) == 0)
        fchmod(fd, mode);

    // the cause of the first step that fails is what errno tells the caller
    int err = 0;
    auto failed = [&err](bool bad) {
        if (bad && !err)
            err = errno ? errno : EIO;
        return bad;
    };
    FILE *fp = fdopen(fd, "wb");
    if (!fp) {
        err = errno;
        close(fd);
        unlink(tmpPath.c_str());
        errno = err;
        return -1;
    }
    errno = 0;
    bool ok = !failed(writer(fp) < 0);
    ok = !failed(fflush(fp) != 0 || ferror(fp)) && ok;
    ok = ok && !failed(fsync(fileno(fp)) != 0);
    ok = !failed(fclose(fp) != 0) && ok;
    if (!ok || failed(rename(tmpPath.c_str(), target.c_str()) != 0)) {
        unlink(tmpPath.c_str());
        errno = err;
        return -1;
    }
    syncFolderOf(target);
    return 0;
}

int tovuWriteFileAtomic(const char *path, const std::string &text)
{
    return tovuWriteFileAtomic(path, [&text](FILE *fp) {
        return fwrite(text.data(), 1, text.size(), fp) == text.size() ? 0 : -1;
    });
}
