/*
 * tovu_cgi_reqlog.cpp - the web request log `tovul_cgi.log` beside the
 * configuration file: one line per call of the intake while global "log" is
 * on ("/status" aside), with the time, the method, the path and the client.
 *
 * The log is bounded the way the channel logs are: once the file has passed
 * TOVU_CGI_LOG_ROTATE_SIZE bytes it becomes the newest of at most
 * TOVU_CGI_LOG_ARCHIVES numbered archives (`tovul_cgi-1.log` the oldest), and
 * the oldest goes.  What a client sends is escaped and cut, so that no client
 * can forge a line or make one line long.  Only the web thread writes it.
 */
#include "tovu_cgi_internal.h"
#include "tovu_cgi_util.h"
#include "tovu_document.h"
#include "tovu_base.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

using tovucgi::eqNoCase;

namespace {

const char kLogExt[] = "_cgi";
const char kLogSuffix[] = ".log";
const char kLogTimeFormat[] = "%Y/%m/%d %H:%M:%S";
const char kStatusPath[] = "/status";
/* a method longer than this, as logged, is cut (the library lets any token through) */
const size_t kLogMethodMax = 32;

/* the log (archive 0) or one of its archives; empty when the name does not fit */
std::string logName(int archive)
{
    std::string ext = kLogExt;
    if (archive)
        ext += "-" + std::to_string(archive);
    ext += kLogSuffix;
    char path[sizeof g_tszfnConfig];
    tovuGetExPath(path, sizeof path, ext.c_str());
    return path;
}

bool exists(const std::string &name)
{
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
}

/* the full log becomes the newest archive; past the last archive the oldest
   is deleted and the others move down by one.  Failures are ignored: the line
   is written all the same. */
void rotate(const std::string &current)
{
    int k = 1;
    while (k <= TOVU_CGI_LOG_ARCHIVES && exists(logName(k)))
        ++k;
    if (k > TOVU_CGI_LOG_ARCHIVES) {
        unlink(logName(1).c_str());
        for (int i = 2; i <= TOVU_CGI_LOG_ARCHIVES; ++i)
            rename(logName(i).c_str(), logName(i - 1).c_str());
        k = TOVU_CGI_LOG_ARCHIVES;
    }
    std::string to = logName(k);
    if (!to.empty())
        rename(current.c_str(), to.c_str());
}

} // namespace

std::string tovuCGILogSafe(const char *szText, size_t max)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(szText ? szText : "");
         *p; ++p) {
        size_t need = *p >= 0x20 && *p < 0x7f && *p != '\\' ? 1 : 4;
        if (out.size() + need > max) {
            out += TOVU_CGI_LOG_CUT;
            break;
        }
        if (need == 1) {
            out += static_cast<char>(*p);
        } else {
            out += "\\x";
            out += kHex[*p >> 4];
            out += kHex[*p & 15];
        }
    }
    return out;
}

void tovuCGILogRequest(struct MHD_Connection *connection, const char *method, const char *url)
{
    {
        TovuConfigLock lock;
        if (jsonGetInt(tovuGlobalItem("log")) == 0)
            return;
    }
    if (eqNoCase(url, kStatusPath))
        return;
    const union MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr || info->client_addr->sa_family != AF_INET)
        return;
    const struct sockaddr_in *sin = reinterpret_cast<const struct sockaddr_in *>(info->client_addr);
    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin->sin_addr, addr, sizeof addr);

    std::string path = logName(0);
    if (path.empty())
        return;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > TOVU_CGI_LOG_ROTATE_SIZE)
        rotate(path);

    time_t now = time(nullptr);
    struct tm tmNow;
    char when[100] = "";
    if (localtime_r(&now, &tmNow))
        strftime(when, sizeof when, kLogTimeFormat, &tmNow);
    std::string line = "[" + std::string(when) + "] " + tovuCGILogSafe(method, kLogMethodMax) +
                       " " + tovuCGILogSafe(url, TOVU_CGI_LOG_PATH_MAX) + " from " + addr + ":" +
                       std::to_string(ntohs(sin->sin_port)) + "\n";
    // the log names clients and what they asked for: for the owner's eyes
    // only, also where an older file let others read it
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return;
    struct stat opened;
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && (opened.st_mode & 077))
        fchmod(fd, opened.st_mode & 0700);
    // (a fifo in the log's place must not hold the web thread: it opens
    // without waiting for a reader, or not at all)
    // one write per line; a full disk loses the line, nothing else
    tovu_write_all(fd, line.data(), line.size());
    close(fd);
}
