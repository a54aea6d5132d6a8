// The start-up load of the configuration: the JSON file, or else a one-time
// conversion of the older line-based file beside it (or built-in defaults).
#include "tovu_config.h"
#include "tovu_config_legacy.h"
#include "tovu_config_testing.h"
#include "tovu_base.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

// a copy kept aside is readable by its owner only, as the saved file is
const mode_t kKeptMode = 0600;
const mode_t kKeptModeBits = 0700;

cJSON *installedDocument()
{
    TovuConfigLock lock;
    return g_jsonConfig;
}

// the configuration file read into a newly installed document? When not,
// *why (when given) says why not
bool loadJson(const char *path, std::string *why = nullptr)
{
    cJSON *before = installedDocument();
    tovuImportConfigJSON(path, why);
    cJSON *after = installedDocument();
    return after && after != before;
}

bool readAll(const char *path, std::string *out)
{
    FILE *fp = fopen(path, "rbe");
    if (!fp)
        return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, fp)) > 0)
        out->append(chunk, n);
    bool ok = !ferror(fp);
    fclose(fp);
    return ok;
}

// A copy of path under a new name beside it; an existing file is never
// replaced. A hard link keeps the very file (and needs no read access); a
// copy is made where no link can be. Returns the name, or "" on failure.
std::string keepAside(const char *path)
{
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string base = std::string(path) + ".bad-" + stamp;

    struct stat lst {};
    bool isLink = lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode);
    std::string content;
    bool haveContent = false;
    for (int i = 0; i < 1000; i++) {
        std::string name = i == 0 ? base : base + "." + std::to_string(i);
        // a link to a symbolic link would follow the file that the save replaces
        if (!isLink) {
            if (link(path, name.c_str()) == 0) {
                // the same file under both names, and readable by its owner
                // only, as every saved file is; the name it had is replaced
                if (chmod(name.c_str(), lst.st_mode & kKeptModeBits) == 0)
                    return name;
                unlink(name.c_str());
            } else if (errno == EEXIST) {
                continue;
            }
        }
        if (!haveContent) {
            if (!readAll(path, &content))
                return "";
            haveContent = true;
        }
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kKeptMode);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return "";
        }
        bool ok = tovu_write_all(fd, content.data(), content.size()) == content.size() &&
                  fsync(fd) == 0;
        ok = close(fd) == 0 && ok;
        if (ok)
            return name;
        unlink(name.c_str());
        return "";
    }
    return "";
}

// The file gave no document, for the reason why: convert the older file
// beside it (or write the defaults), and read the new file. Said once, with
// the reason, unless there is no file or an empty one.
void convert(const std::string &path, const std::string &why)
{
    // A file that holds something (not JSON, or too big to read) is kept
    // under another name before it is replaced.
    struct stat st;
    const bool found = stat(path.c_str(), &st) == 0;
    const int statError = found ? 0 : errno;
    if (found && S_ISREG(st.st_mode) && st.st_size > 0) {
        std::string kept = keepAside(path.c_str());
        if (kept.empty()) {
            tovu_message("%s holds no usable configuration (%s) and cannot be kept aside; "
                         "it is left as it is", path.c_str(), why.c_str());
            g_bConfigFileUntouchable = TRUE;
            return;
        }
        tovu_message("%s holds no usable configuration (%s); it is kept as %s", path.c_str(),
                     why.c_str(), kept.c_str());
    } else if (!why.empty() && (found ? !S_ISREG(st.st_mode) : statError != ENOENT)) {
        // something in the file's place that is no file to read; an empty
        // file, like none, is the first start's
        tovu_message("%s holds no usable configuration (%s)", path.c_str(), why.c_str());
    }

    TCHAR older[sizeof g_tszfnConfig + 8];
    tovuGetExPath(older, sizeof older, ".conf");
    bool olderRead = older[0] && tovuImportConfigXML(older) == 0;
    if (older[0] && !olderRead && access(older, F_OK) == 0) {
        tovu_message("%s cannot be read; it is not imported", older);
    }

    // the new file replaces the old one only once it is written whole
    setlocale(LC_ALL, "");
    if (tovuWriteFileAtomic(path.c_str(), [](FILE *fp) {
            tovuExportConfigFromXML(fp);
            return 0;
        }) != 0) {
        tovu_message("%s could not be written: %s", path.c_str(), strerror(errno));
    }

    // the older file goes only when its conversion reads back as a document
    if (loadJson(path.c_str()) && olderRead)
        unlink(older);
}

} // namespace

BOOL g_bConfigFileUntouchable = FALSE;

void tovuImportConfig(void)
{
    g_bConfigFileUntouchable = FALSE;
    if (!g_tszfnConfig[0])
        return;
    const std::string path = g_tszfnConfig;
    tovuRemoveStaleSaves(path.c_str());
    std::string why;
    if (!loadJson(path.c_str(), &why))
        convert(path, why);
    // the new file keeps the older file's value; only the model changes
    if (g_globalSettings.nLogLevel == 1)
        g_globalSettings.nLogLevel = 32;
}
