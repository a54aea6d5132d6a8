// Format names and the small helpers shared by configuration, channel
// control, the daemon and the web interface.
#include "tovu_helpers.h"
#include "tovu_base.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <string>

namespace {

const char *const kFormatNames[17] = {
    "file", "rtmp", "udp", "http", "ytdlp", "html5", "rtpts", "omxts", "srt",
    "hls", "dash", "device", "rtp_native", "rtsp", "decklink", "ndi", "httpmjpg",
};

struct FormatAlias {
    const char *name;
    TOVU_FORMAT format;
};

// every accepted name; no name is accepted by two formats
const FormatAlias kFormatAliases[] = {
    {"file", TOVU_FORMAT_GENERAL},   {"ftp", TOVU_FORMAT_GENERAL},
    {"rtmp", TOVU_FORMAT_RTMP},      {"mpegts", TOVU_FORMAT_UDP},
    {"udp", TOVU_FORMAT_UDP},        {"udpts", TOVU_FORMAT_UDP},
    {"http", TOVU_FORMAT_HTTP},      {"httpts", TOVU_FORMAT_HTTP},
    {"ytdlp", TOVU_FORMAT_YTDLP},    {"html5", TOVU_FORMAT_HTML5},
    {"rtp", TOVU_FORMAT_RTPTS},      {"rtpts", TOVU_FORMAT_RTPTS},
    {"omxts", TOVU_FORMAT_OMXTS},    {"srt", TOVU_FORMAT_SRT},
    {"hls", TOVU_FORMAT_HLS},        {"dash", TOVU_FORMAT_DASH},
    {"device", TOVU_FORMAT_DEVICE},  {"rtp_native", TOVU_FORMAT_RTP},
    {"rtsp", TOVU_FORMAT_RTSP},      {"decklink", TOVU_FORMAT_DECKLINK},
    {"ndi", TOVU_FORMAT_NDI},        {"httpmjpg", TOVU_FORMAT_HTTP_MJPEG},
};

} // namespace

TOVU_FORMAT tovuGetFormatId(const char *szName)
{
    if (!szName)
        return TOVU_FORMAT_NULL;
    for (const FormatAlias &a : kFormatAliases)
        if (tovu_strcasecmp(a.name, szName) == 0)
            return a.format;
    return TOVU_FORMAT_NULL;
}

const char *tovuGetFormatName(TOVU_FORMAT format)
{
    unsigned id = (unsigned)format;
    return id < 17 ? kFormatNames[id] : nullptr;
}

void utf8totcs(const char *utf8str, LPTSTR tstr)
{
    if (utf8str && tstr)
        memmove(tstr, utf8str, strlen(utf8str) + 1);
}

void tcstoutf8(LPCTSTR tstr, char *utf8str, size_t sz)
{
    if (!tstr || !utf8str || sz == 0)
        return;
    // the destination's size is known here: never write past it
    size_t n = strlen(tstr);
    if (n >= sz)
        n = sz - 1;
    memmove(utf8str, tstr, n);
    utf8str[n] = '\0';
}

unsigned long Inet_addr(LPCTSTR ip)
{
    if (!ip)
        return 0xffffffffUL;
    return (unsigned long)(uint32_t)inet_addr(ip);
}

const char *tovuJsonEscape(unsigned char c, char esc[8])
{
    switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
    }
    if (c >= 0x20)
        return nullptr;
    snprintf(esc, 8, "\\u%04x", c);
    return esc;
}

int parseOpt(const char *szLine, const char *szOpt, int *pVal)
{
    if (!szLine || !szOpt)
        return 0;
    const char *p = strstr(szLine, szOpt);
    if (!p)
        return 0;
    *pVal = (int)strtol(p + strlen(szOpt), nullptr, 0);
    return 1;
}

int parseOpt(const wchar_t *wszLine, const wchar_t *wszOpt, int *pVal)
{
    if (!wszLine || !wszOpt)
        return 0;
    const wchar_t *p = wcsstr(wszLine, wszOpt);
    if (!p)
        return 0;
    *pVal = (int)wcstol(p + wcslen(wszOpt), nullptr, 0);
    return 1;
}

int parseOpt(const char *szLine, const char *szOpt, char *szVal, const char *szFmt)
{
    if (!szLine || !szOpt)
        return 0;
    const char *p = strstr(szLine, szOpt);
    if (!p)
        return 0;
    // the format comes from the caller, who sizes szVal for it
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    return sscanf(p + strlen(szOpt), szFmt ? szFmt : "%s", szVal);
#pragma GCC diagnostic pop
}

int parseOpt(const wchar_t *wszLine, const wchar_t *wszOpt, void *wszVal, const wchar_t *wszFmt)
{
    if (!wszLine || !wszOpt)
        return 0;
    const wchar_t *p = wcsstr(wszLine, wszOpt);
    if (!p)
        return 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    return swscanf(p + wcslen(wszOpt), wszFmt ? wszFmt : L"%ls", wszVal);
#pragma GCC diagnostic pop
}

static TCHAR tszAppTitle[100];

LPCTSTR tovuAppTitle(void)
{
    if (!tszAppTitle[0])
        snprintf(tszAppTitle, sizeof tszAppTitle, "%s", TOVU_PRODUCT_NAME);
    return tszAppTitle;
}


BOOL isDirectory(LPCTSTR tszfn)
{
    struct stat st;
    return tszfn && stat(tszfn, &st) == 0 && S_ISDIR(st.st_mode);
}

void CreateFolder(LPCTSTR tszDir)
{
    if (!tszDir || access(tszDir, R_OK | W_OK) == 0)
        return;
    // any length: the path is held in a string, not a fixed buffer
    std::string dir(tszDir);
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos)
        CreateFolder(dir.substr(0, slash).c_str());
    mkdir(dir.c_str(), 0777);
}
