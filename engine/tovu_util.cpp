// URL rules, address helpers, the version text and the engine's globals.
#include "tovu_engine_internal.h"
#include "tovu_ifaddr.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

extern "C" {

TOVU_GLOBAL g_cfg;
TOVU_CHAN_CTX *g_proc_channels = nullptr;

static int ascii_lower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

int tovu_strncasecmp(const char *a, const char *b, size_t n)
{
    for (; n > 0; a++, b++, n--) {
        int d = ascii_lower((unsigned char)*a) - ascii_lower((unsigned char)*b);
        if (d != 0 || !*a)
            return d;
    }
    return 0;
}

int tovu_strcasecmp(const char *a, const char *b)
{
    return tovu_strncasecmp(a, b, (size_t)-1);
}

static bool starts_with_nocase(const char *s, const char *prefix)
{
    return tovu_strncasecmp(s, prefix, strlen(prefix)) == 0;
}

static bool ends_with_nocase(const char *s, size_t len, const char *suffix)
{
    size_t n = strlen(suffix);
    return len >= n && tovu_strcasecmp(s + len - n, suffix) == 0;
}

int _is_url(const char *url)
{
    return url && strstr(url, "://") != nullptr;
}

int _is_rtmp_url(const char *url)
{
    static const char *const prefixes[] = {"rtmp://",  "rtmpe://",  "rtmps://",
                                           "rtmpt://", "rtmpte://", "rtmpts://"};
    if (!url)
        return 0;
    for (const char *p : prefixes)
        if (starts_with_nocase(url, p))
            return 1;
    return 0;
}

int _is_rtp_url(const char *url)
{
    return url && starts_with_nocase(url, "rtp://");
}

int _is_realtime_url(const char *url)
{
    if (!url)
        return 0;
    size_t len = strlen(url);
    if (ends_with_nocase(url, len, ".sdp"))
        return 1;
    if (!_is_url(url))
        return 0;
    for (const char *p : {"ftp://", "sftp://", "http://", "https://"})
        if (starts_with_nocase(url, p))
            return 0;
    for (const char *s : {".m3u", ".m3u8", ".mpd"})
        if (ends_with_nocase(url, len, s))
            return 0;
    return 1;
}

const char *Inet_ntoa(unsigned long addr)
{
    struct in_addr in;
    in.s_addr = (in_addr_t)(addr & 0xffffffffUL);
    return inet_ntoa(in);
}

static char local_ip[TOVU_NB_LOCAL_IPS][100];
static char *local_ips[TOVU_NB_LOCAL_IPS];

char **tovu_fill_local_ips(const struct ifaddrs *list)
{
    if (!local_ips[0])
        for (int i = 0; i < TOVU_NB_LOCAL_IPS; i++)
            local_ips[i] = local_ip[i];
    int n = 0;
    for (const struct ifaddrs *ifa = list; ifa && n < TOVU_NB_LOCAL_IPS; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        const struct sockaddr_in *sin = (const struct sockaddr_in *)ifa->ifa_addr;
        const unsigned char *b = (const unsigned char *)&sin->sin_addr.s_addr;
        if (b[0] == 127 || (b[0] == 169 && b[1] == 254))
            continue;
        inet_ntop(AF_INET, &sin->sin_addr, local_ip[n], sizeof local_ip[n]);
        n++;
    }
    return local_ips;
}

char **get_local_ips(void)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0 || !list)
        return tovu_fill_local_ips(nullptr);
    char **ips = tovu_fill_local_ips(list);
    freeifaddrs(list);
    return ips;
}

const char *get_local_ip(void)
{
    return get_local_ips()[0];
}

int tovu_parse_int(const char *p, int *out, const char **end)
{
    char *stop = nullptr;
    long v = strtol(p, &stop, 10);
    if (stop == p)
        return 0;
    if (end)
        *end = stop;
    *out = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
    return v > INT_MAX || v < INT_MIN ? 2 : 1;
}

int tovu_read_int(const char *p, int *out)
{
    return tovu_parse_int(p, out, nullptr) != 0;
}

size_t tovu_utf8_cut(const char *text, size_t len, size_t max)
{
    if (len <= max)
        return len;
    size_t n = max;
    while (n > 0 && ((unsigned char)text[n] & 0xC0) == 0x80)
        n--;
    return n;
}

static char version[100];

static void format_version(void)
{
    snprintf(version, sizeof version, "%d.%d.%d.%02x", 6, 5, 7, 27);
}

// Formatted once, also when the web thread and the main thread ask for it
// first at the same time.
const char *tovu_get_version(void)
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, format_version);
    return version;
}

char *_utf8tolcs(const char *utf8, char *lcs, size_t sz)
{
    if (!utf8)
        return nullptr;
    if (!lcs || sz == 0)
        return lcs;
    // cut at the buffer's limit, so that no multi-byte character is left
    // half-copied
    size_t n = tovu_utf8_cut(utf8, strlen(utf8), sz - 1);
    memcpy(lcs, utf8, n);
    lcs[n] = '\0';
    return lcs;
}

} // extern "C"
