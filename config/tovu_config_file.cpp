// Atomic file saves: write a sibling file, flush it to disk, rename it over
// the old one.  Used for the configuration file and by the other savers.
#include "tovu_config.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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

// a new, empty file beside target, created with 0666 less the umask
int createSibling(const std::string &target, std::string &tmpPath)
{
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::random_device rd;
    for (int attempt = 0; attempt < 100; attempt++) {
        char suffix[64];
        snprintf(suffix, sizeof suffix, ".%ld.%u.%08x", (long)getpid(), g_tmpCounter++,
                 (unsigned)rd());
        tmpPath = dir + "." + base + suffix;
        int fd = open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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

} // namespace

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
    if (exists) {
        // the mode first: it must hold even where the owner cannot be kept
        fchmod(fd, old.st_mode & 07777);
        if (fchown(fd, old.st_uid, old.st_gid) == 0)
            fchmod(fd, old.st_mode & 07777);
    }

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
