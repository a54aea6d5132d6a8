/*
 * tovu_cgi_files.cpp - the embedded web client files and the downloads: an
 * embedded file by name, the optional branding image from the program's
 * folder (streamed in blocks), and the configuration document as JSON.
 *
 * The files' bytes are linked in by the generated tovu_web_files.S (see
 * web/web_files.cmake); answers point straight at them, never at a copy.
 */
#include "tovu_cgi_internal.h"
#include "tovu_cgi_json.h"
#include "tovu_config.h"
#include "tovu_base.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* ---------------------------------------------------------------- the file table */

/* the rows come from the build's one list of web files (web/web_files.cmake),
 * as TOVU_WEB_FILE(served name, label number) */
#define TOVU_WEB_FILE(name, n)                              \
    extern "C" const unsigned char tovu_web_##n##_start[];  \
    extern "C" const unsigned char tovu_web_##n##_end[];
#include "tovu_web_files.inc"
#undef TOVU_WEB_FILE

/* the size is the distance between the labels, set once at program start */
#define TOVU_WEB_FILE(name, n) \
    { name, (int)(tovu_web_##n##_end - tovu_web_##n##_start), tovu_web_##n##_start },
TOVU_CGI_FILE g_cgiFiles[] = {
#include "tovu_web_files.inc"
    { nullptr, 0, nullptr },
};
#undef TOVU_WEB_FILE

const int g_cgiFileCount = (int)(sizeof g_cgiFiles / sizeof g_cgiFiles[0]) - 1;

/* ---------------------------------------------------------------- fixed texts and limits */

static const char kOEMLogoName[] = "tovuoem.png";
static const char kConfigName[] = "config";
static const char kDownloadArg[] = "dl=1";
static const char kCacheStatic[] = "max-age=86400";
static const char kCacheNone[] = "no-cache";
/* The page itself is asked for anew at every load: the login is checked
 * there, and a page kept by the browser would hide the login page from an
 * operator whose login has ended. Its script, style sheet and icons keep
 * their day. */
static const char kPageName[] = "index.html";
static const char kAttachment[] = "attachment";
static const char kConfigAttachment[] = "attachment; filename=tovul.json";
static const char kTypeJSON[] = "application/json";
static const char kTypePNG[] = "image/png";

/* the branding image is streamed in blocks of this many bytes */
static const size_t kOEMLogoBlock = 16384;

/* ---------------------------------------------------------------- content types */

const char *tovuCGIDownloadExt(const char *tszfn)
{
    const char *ext = tszfn ? strrchr(tszfn, '.') : nullptr;
    if (ext) {
        if (strcmp(ext, ".js") == 0)
            return "text/javascript";
        if (strcmp(ext, ".css") == 0)
            return "text/css";
        if (strcmp(ext, ".png") == 0)
            return kTypePNG;
    }
    return "text/html";
}

/* ---------------------------------------------------------------- branding image */

/* full path of the branding image; filled on first use by the web thread only */
static TCHAR tszfnOEMLogo[200];

LPCTSTR _tovuOEMLogoFileNameFrom(const char *dir)
{
    if (!tszfnOEMLogo[0]) {
        int n = snprintf(tszfnOEMLogo, sizeof tszfnOEMLogo, "%s%s%s", dir ? dir : "", "/",
                         kOEMLogoName);
        /* a folder too long for the buffer gets no image (404), not a cut path */
        if (n < 0 || (size_t)n >= sizeof tszfnOEMLogo)
            tszfnOEMLogo[0] = '\0';
    }
    return tszfnOEMLogo;
}

LPCTSTR tovuOEMLogoFileName(void)
{
    return _tovuOEMLogoFileNameFrom(tovu_get_prog_dir());
}

void _tovuOEMLogoReset(void)
{
    tszfnOEMLogo[0] = '\0';
}

ssize_t fileReader(void *cls, uint64_t pos, char *buf, size_t max)
{
    (void)pos; /* the library asks for the blocks in order */
    int fd = (int)(intptr_t)cls;
    for (;;) {
        ssize_t n = read(fd, buf, max);
        if (n > 0)
            return n;
        if (n == 0)
            return MHD_CONTENT_READER_END_OF_STREAM;
        if (errno != EINTR)
            return MHD_CONTENT_READER_END_WITH_ERROR;
    }
}

void fileReaderFree(void *cls)
{
    close((int)(intptr_t)cls);
}

/* a streamed answer over the branding image, or null when there is none to serve */
static struct MHD_Response *oemLogoResponse(void)
{
    LPCTSTR path = tszfnOEMLogo[0] ? tszfnOEMLogo : tovuOEMLogoFileName();
    struct stat st;
    if (!path[0] || stat(path, &st) != 0 || st.st_size < 1)
        return nullptr;
    /* only a regular file: a folder or device of that name is not an image */
    int fd = tovu_open_regular(path, &st);
    if (fd < 0)
        return nullptr;
    if (st.st_size < 1) {
        close(fd);
        return nullptr;
    }
    struct MHD_Response *resp = MHD_create_response_from_callback(
        (uint64_t)st.st_size, kOEMLogoBlock, fileReader, (void *)(intptr_t)fd, fileReaderFree);
    if (!resp)
        close(fd);
    return resp;
}

/* ---------------------------------------------------------------- downloads */

/* the empty 404 answer; 1 once queued, 0 when it could not be made */
static int answerNotFound(struct MHD_Connection *conn)
{
    struct MHD_Response *resp = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (!resp)
        return 0;
    MHD_queue_response(conn, MHD_HTTP_NOT_FOUND, resp);
    MHD_destroy_response(resp);
    return 1;
}

/* the configuration document printed as formatted JSON, or null without one */
static struct MHD_Response *configResponse(void)
{
    char *text;
    uint64_t version;
    {
        TovuConfigLock lock;
        text = g_jsonConfig ? cJSON_Print(g_jsonConfig) : nullptr;
        version = tovuConfigVersion();
    }
    if (!text)
        return nullptr;
    struct MHD_Response *resp =
        MHD_create_response_from_buffer(strlen(text), text, MHD_RESPMEM_MUST_COPY);
    cJSON_free(text);
    // the number of the document printed, for the upload made from this copy
    if (resp && MHD_add_response_header(resp, TOVU_CGI_VERSION_HEADER,
                                        std::to_string(version).c_str()) != MHD_YES) {
        MHD_destroy_response(resp);
        resp = nullptr;
    }
    return resp;
}

int tovuCGIDownload(struct MHD_Connection *conn, const char *szPath, const char *szArgs)
{
    const char *name = (szPath && szPath[0]) ? szPath + 1 : "";
    struct MHD_Response *resp = nullptr;
    const char *type = nullptr;
    const char *cache = kCacheStatic;
    const char *disposition = kAttachment;

    const TOVU_CGI_FILE *file = nullptr;
    for (const TOVU_CGI_FILE *row = g_cgiFiles; row->nSize != 0; row++) {
        if (tovu_strcasecmp(row->szFile, name) == 0) {
            file = row;
            break;
        }
    }
    if (file) {
        /* the library sends straight from the linked-in bytes and never writes them */
        resp = MHD_create_response_from_buffer((size_t)file->nSize,
                                               const_cast<unsigned char *>(file->buf),
                                               MHD_RESPMEM_PERSISTENT);
        type = tovuCGIDownloadExt(file->szFile);
        if (strcmp(file->szFile, kPageName) == 0)
            cache = kCacheNone;
    } else if (tovu_strcasecmp(name, kOEMLogoName) == 0) {
        resp = oemLogoResponse();
        type = kTypePNG;
    } else if (tovu_strcasecmp(name, kConfigName) == 0) {
        resp = configResponse();
        type = kTypeJSON;
        cache = kCacheNone;
        disposition = kConfigAttachment;
    }
    if (!resp)
        return answerNotFound(conn);

    tovuCGIKeepAlive(resp);
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, cache);
    if (szArgs && strstr(szArgs, kDownloadArg) &&
        MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_DISPOSITION, disposition) != MHD_YES) {
        MHD_destroy_response(resp);
        return 0;
    }
    MHD_queue_response(conn, MHD_HTTP_OK, resp);
    MHD_destroy_response(resp);
    return 1;
}
