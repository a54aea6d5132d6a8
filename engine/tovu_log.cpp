// Channel log files: one per slot in the log folder, rotated by size into at
// most nine numbered archives.
#include "tovu_util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

constexpr off_t kRotateSize = 5000000;
constexpr int kMaxArchives = 9;
constexpr size_t kMaxName = 255;   // folder and file name, without the NUL

// "%stovu_%03d.log" (archive 0) or "%stovu_%03d-%d.log"; false when the name
// would not fit in kMaxName bytes. Such names are refused, never cut: a cut
// name would be another file.
bool log_name(int channel_id, int archive, std::string *name)
{
    char buf[kMaxName + 1];
    int n = archive ? snprintf(buf, sizeof buf, "%stovu_%03d-%d.log", g_cfg.log_path, channel_id + 1, archive)
                    : snprintf(buf, sizeof buf, "%stovu_%03d.log", g_cfg.log_path, channel_id + 1);
    if (n < 0 || (size_t)n > kMaxName)
        return false;
    name->assign(buf, (size_t)n);
    return true;
}

bool exists(const std::string &name)
{
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
}

// Moves the current file into the archives. Rename and delete failures are
// ignored; a name that does not fit ends the rotation.
void rotate(int channel_id, const std::string &current)
{
    std::string name, to;
    int k = 1;
    for (;; k++) {
        if (!log_name(channel_id, k, &name))
            return;
        if (!exists(name))
            break;
    }
    if (k > kMaxArchives - 1) {
        int shift = k - kMaxArchives;     // archives dropped from the front
        for (int i = 1; i <= shift; i++)
            if (log_name(channel_id, i, &name))
                unlink(name.c_str());
        if (shift > 0)
            for (int i = k - (kMaxArchives - 1); i <= k - 1; i++)
                if (log_name(channel_id, i, &name) && log_name(channel_id, i - shift, &to))
                    rename(name.c_str(), to.c_str());
    }
    if (log_name(channel_id, k > kMaxArchives ? kMaxArchives : k, &to))
        rename(current.c_str(), to.c_str());
}

bool write_all(int fd, const std::string &data)
{
    return _tovu_write_all(fd, data.data(), data.size()) == data.size();
}

} // namespace

extern "C" {

int tovu_log(int channel_id, int b_timestamp, const char *log_str)
{
    // Two writers of one channel must not rotate its files at the same time.
    TovuLock lock;
    if (!g_cfg.log_level)
        return 0;
    if (!log_str)
        log_str = "";

    std::string current;
    if (!log_name(channel_id, 0, &current))
        return -1;

    struct stat st;
    off_t size = stat(current.c_str(), &st) == 0 ? st.st_size : 0;
    if (size > kRotateSize)
        rotate(channel_id, current);

    int fd = open(current.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;

    std::string entry;
    if (size == 0)
        entry = "\xEF\xBB\xBF";
    if (b_timestamp) {
        time_t now = time(nullptr);
        struct tm tm;
        char stamp[64];
        if (localtime_r(&now, &tm) && strftime(stamp, sizeof stamp, "[%Y/%m/%d %H:%M:%S] ", &tm))
            entry += stamp;
        entry += log_str;
        if (!strchr(log_str, '\n'))
            entry += '\n';
    } else {
        entry += log_str;
    }
    // One write per entry, so that entries of different writers never mix.
    // A write that fails (a full disk) is reported like a file that cannot
    // be opened: the entry is not in the log.
    bool written = write_all(fd, entry);
    close(fd);
    return written ? 0 : -1;
}

int tovu_logf(int channel_id, int b_timestamp, const char *fmt, ...)
{
    TovuLock lock;
    if (!g_cfg.b_init)
        return -1;
    if (!g_cfg.log_level)
        return 0;
    if (!fmt)
        return tovu_log(channel_id, b_timestamp, "");
    char buf[1000];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        buf[0] = '\0';
    return tovu_log(channel_id, b_timestamp, buf);
}

} // extern "C"
