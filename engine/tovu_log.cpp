// Channel log files: one per slot in the log folder, rotated by size into at
// most nine numbered archives.
#include "tovu_engine_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

namespace {

constexpr off_t kRotateSize = 5000000;
constexpr int kMaxArchives = 9;
constexpr size_t kMaxName = 255;   // folder and file name, without the NUL
constexpr mode_t kLogMode = 0600;

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

// The channels' files whose last write failed: the failure is printed once,
// and again only after a write has succeeded. Guarded by the engine lock.
std::set<std::string> g_failing;

void note_write(const std::string &name, int err)
{
    if (err) {
        if (g_failing.insert(name).second) {
            tovu_message("channel log %s could not be written: %s", name.c_str(), strerror(err));
        }
    } else if (g_failing.erase(name)) {
        tovu_message("channel log %s is written again", name.c_str());
    }
}

// One entry: with a timestamp, the text and a line feed unless the text
// holds one anywhere; without, the text as it is.
void add_entry(std::string *out, int b_timestamp, const char *text)
{
    if (!b_timestamp) {
        *out += text;
        return;
    }
    time_t now = time(nullptr);
    struct tm tm;
    char stamp[64];
    if (localtime_r(&now, &tm) && strftime(stamp, sizeof stamp, "[%Y/%m/%d %H:%M:%S] ", &tm))
        *out += stamp;
    *out += text;
    if (!strchr(text, '\n'))
        *out += '\n';
}

// Appends the entries to the slot's current file after one rotation check
// and in one write, so that entries of different writers never mix and a
// rotation never separates entries written together. -1 only when the file
// cannot be opened (or named). A write that fails (a full disk) leaves no
// part of the entries in the file and is printed; the channel goes on.
int append_entries(int channel_id, const std::string &entries)
{
    std::string current;
    if (!log_name(channel_id, 0, &current))
        return -1;

    struct stat st;
    off_t size = stat(current.c_str(), &st) == 0 ? st.st_size : 0;
    if (size > kRotateSize)
        rotate(channel_id, current);

    // The log holds every argument string, with output addresses and
    // stream keys: for the owner's eyes only, also where an older file let
    // others read it.
    int fd = open(current.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogMode);
    if (fd < 0) {
        int err = errno;
        note_write(current, err);
        errno = err;
        return -1;
    }
    off_t before = -1;
    if (fstat(fd, &st) == 0) {
        before = st.st_size;
        if (S_ISREG(st.st_mode) && (st.st_mode & 077))
            fchmod(fd, st.st_mode & 0700);
    }
    std::string data;
    if (size == 0)
        data = "\xEF\xBB\xBF";
    data += entries;
    errno = 0;
    int err = 0;
    if (tovu_write_all(fd, data.data(), data.size()) != data.size()) {
        err = errno ? errno : EIO;
        // the writers of this file all hold the engine lock: nothing was
        // appended after the part that made it
        if (before >= 0 && ftruncate(fd, before) != 0) {
            // the part stays; the next entry follows it
        }
    }
    close(fd);
    note_write(current, err);
    return 0;
}

// tovu_logf's formatting: into 1000 bytes, cut to 999
std::string format(const char *fmt, va_list ap)
{
    char buf[1000];
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    if (n < 0)
        buf[0] = '\0';
    return buf;
}

} // namespace

extern "C" {

int tovu_log(int channel_id, int b_timestamp, const char *log_str)
{
    // Two writers of one channel must not rotate its files at the same time.
    TovuLock lock;
    if (!g_cfg.log_level)
        return 0;
    std::string entry;
    add_entry(&entry, b_timestamp, log_str ? log_str : "");
    return append_entries(channel_id, entry);
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
    va_list ap;
    va_start(ap, fmt);
    std::string text = format(fmt, ap);
    va_end(ap);
    return tovu_log(channel_id, b_timestamp, text.c_str());
}

} // extern "C"

namespace {

thread_local std::string t_refusal;

/* notes a refusal's text as the calling thread's last cause */
void note_refusal(const std::string &text)
{
    t_refusal = text;
}

} // namespace

void tovu_log_refusal(int channel_id, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string text = format(fmt, ap);
    va_end(ap);
    note_refusal(text);
    tovu_logf(channel_id, 1, "%s", text.c_str());
}

std::string tovu_take_refusal(void)
{
    std::string text;
    text.swap(t_refusal);
    return text;
}

int tovu_log_error(int channel_id, const char *what, int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string second = format(fmt, ap);
    va_end(ap);
    note_refusal(second);

    TovuLock lock;
    if (!g_cfg.b_init || !g_cfg.log_level)
        return code;
    const std::string first = std::string(what ? what : "error") + " " + std::to_string(code);
    std::string entries;
    add_entry(&entries, 1, first.substr(0, 999).c_str());
    add_entry(&entries, 1, second.c_str());
    append_entries(channel_id, entries);
    return code;
}
