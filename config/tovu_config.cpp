// The configuration document: reading rules, install and normalisation,
// channel validity, reading and saving the file.
#include "tovu_config.h"
#include "tovu_document.h"
#include "tovu_config_legacy.h"
#include "tovu_config_testing.h"
#include "tovu_helpers.h"
#include "tovu_base.h"

#include <float.h>
#include <limits.h>
#include <locale.h>
#include <math.h>
#include <stdlib.h>
#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>

cJSON *g_jsonConfig = nullptr;
TCHAR g_tszfnConfig[1000] = "";
TovuRecursiveMutex g_configMutex;

namespace {

// a configuration file larger than this is refused rather than read whole
const long kMaxConfigFileSize = 64L * 1024 * 1024;

int clampToInt(double d)
{
    if (std::isnan(d))
        return 0;
    d = trunc(d);
    if (d >= (double)INT_MAX)
        return INT_MAX;
    if (d <= (double)INT_MIN)
        return INT_MIN;
    return (int)d;
}

// moves object `from`'s member `key` into `to` under the name `as`
bool moveMember(cJSON *from, const char *key, cJSON *to, const char *as)
{
    cJSON *member = jsonGetItem(from, key);
    if (!member)
        return false;
    cJSON_DetachItemViaPointer(from, member);
    if (!cJSON_AddItemToObject(to, as, member))
        cJSON_Delete(member);
    return true;
}

// deletes the members of a list from position `keep` on, in one walk
void cutMembers(cJSON *list, int keep)
{
    cJSON *member = list ? list->child : nullptr;
    for (int i = 0; member && i < keep; i++)
        member = member->next;
    while (member) {
        cJSON *next = member->next;
        cJSON_Delete(cJSON_DetachItemViaPointer(list, member));
        member = next;
    }
}

void cutList(cJSON *list, int keep)
{
    if (cJSON_IsArray(list))
        cutMembers(list, keep);
}

void normaliseGlobal(cJSON *global)
{
    if (!cJSON_IsObject(global))
        return;
    if (!jsonGetItem(global, "log"))
        cJSON_AddNumberToObject(global, "log", 0);
    cJSON *port = jsonGetItem(global, "httpPort");
    if (!port)
        cJSON_AddNumberToObject(global, "httpPort", TOVU_DEFAULT_HTTP_PORT);
    else if (jsonGetInt(port) == 0)
        tovuSetMemberNumber(global, "httpPort", TOVU_DEFAULT_HTTP_PORT);
    if (!jsonGetItem(global, "autoRestart"))
        cJSON_AddNumberToObject(global, "autoRestart", 1);
}

void normaliseChannel(cJSON *channel)
{
    cJSON *input = jsonGetItem(channel, "input");
    cJSON *output = jsonGetItem(channel, "output");
    cutList(jsonGetItem(input, "sources"), TOVU_MAX_SOURCES);
    cutList(jsonGetItem(output, "targets"), TOVU_MAX_TARGETS);

    // older documents kept the filters and the stream map in the output
    if (!jsonGetItem(input, "filters") && !moveMember(output, "filters", input, "filters"))
        cJSON_AddItemToObject(input, "filters", cJSON_CreateArray());
    if (!jsonGetItem(input, "map") && !moveMember(input, "mapOptions", input, "map") &&
        !moveMember(output, "mapOptions", input, "map"))
        cJSON_AddItemToObject(input, "map", cJSON_CreateArray());
}

void normaliseChannels(cJSON *channels)
{
    // the walk goes over the member list whatever its type, so that no
    // reader can ever find a channel that was not checked
    if (!cJSON_IsArray(channels) && !cJSON_IsObject(channels))
        return;
    cJSON *channel = channels->child;
    while (channel) {
        cJSON *next = channel->next;
        if (!isChannelValid(channel)) {
            cJSON_Delete(cJSON_DetachItemViaPointer(channels, channel));
        } else {
            normaliseChannel(channel);
        }
        channel = next;
    }
    cutMembers(channels, TOVU_MAX_CHANNELS);
}

// A number as the printer writes it and the parser reads it back: with up to
// 15 digits wherever those read back close enough, so that 8079.999999999999
// is saved as 8080, and -1.7976931348623157e308 as a text that reads back as
// infinite. Whole numbers below 10^15 always come back as they are.
// Sets *gone when the number is saved as null (one that is not finite).
double asSavedNumber(double d, bool *gone)
{
    *gone = !std::isfinite(d);
    if (*gone || (d == trunc(d) && fabs(d) < 1e15 && !(d == 0 && std::signbit(d))))
        return d;
    double back = d;
    if (cJSON *n = cJSON_CreateNumber(d)) {
        if (char *text = cJSON_PrintUnformatted(n)) {
            if (cJSON *again = cJSON_Parse(text)) {
                if (cJSON_IsNumber(again))
                    back = again->valuedouble;
                else
                    *gone = true; // printed as null
                cJSON_Delete(again);
            }
            cJSON_free(text);
        }
        cJSON_Delete(n);
    }
    *gone = *gone || !std::isfinite(back);
    return back;
}

// Puts every number of the tree in the form its saved file reads back as (a
// number that is not finite becomes null). Texts need nothing: the parser has
// already cut them at an embedded NUL, and the printer escapes all else.
// Installing this form, and normalising after it, makes the file that a save
// writes load back to the very document in memory.
void asSaved(cJSON *item)
{
    for (; item; item = item->next) {
        if (cJSON_IsNumber(item)) {
            bool gone = false;
            double d = asSavedNumber(item->valuedouble, &gone);
            if (gone) {
                item->type = (item->type & ~0xFF) | cJSON_NULL;
                item->valuedouble = 0;
                item->valueint = 0;
            } else if (memcmp(&d, &item->valuedouble, sizeof d) != 0) {
                cJSON_SetNumberValue(item, d);
            }
        }
        asSaved(item->child);
    }
}

BOOL isRTPInputValid(const cJSON *source)
{
    switch (tovu_get_codec_id(jsonGetText(jsonGetItem(jsonGetItem(source, "video"), "codec")))) {
    case TOVU_VIDEO_H263:
    case TOVU_VIDEO_H263P:
    case TOVU_VIDEO_MP1V:
    case TOVU_VIDEO_MP2V:
    case TOVU_VIDEO_MP4:
    case TOVU_VIDEO_H264:
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

/* ---------------------------------------------------------------- reading rules */

cJSON *jsonGetItem(const cJSON *object, const char *key)
{
    if (!cJSON_IsObject(object) || !key)
        return nullptr;
    for (cJSON *member = object->child; member; member = member->next)
        if (member->string && tovu_strcasecmp(member->string, key) == 0)
            return member;
    return nullptr;
}

cJSON *jsonGetIndex(const cJSON *array, int index)
{
    if (!cJSON_IsArray(array) || index < 0)
        return nullptr;
    return cJSON_GetArrayItem(array, index);
}

int jsonGetListSize(const cJSON *array)
{
    return cJSON_IsArray(array) ? cJSON_GetArraySize(array) : 0;
}

int jsonGetInt(const cJSON *item)
{
    if (!item)
        return 0;
    if (cJSON_IsNumber(item))
        return clampToInt(item->valuedouble);
    if (cJSON_IsString(item) && item->valuestring) {
        // base 10 as atol reads it, but held to the int range instead of overflowing
        long v = strtol(item->valuestring, nullptr, 10);
        if (v > INT_MAX)
            return INT_MAX;
        if (v < INT_MIN)
            return INT_MIN;
        return (int)v;
    }
    return cJSON_IsTrue(item) ? 1 : 0;
}

BOOL jsonGetBool(const cJSON *item)
{
    return cJSON_IsTrue(item) ? TRUE : FALSE;
}

const char *jsonGetText(const cJSON *item)
{
    if (cJSON_IsString(item) && item->valuestring)
        return item->valuestring;
    return "";
}

float jsonGetFloat(const cJSON *item)
{
    if (!item)
        return 0.0f;
    if (!cJSON_IsNumber(item))
        return NAN;
    double d = item->valuedouble;
    if (d > FLT_MAX)
        return HUGE_VALF;
    if (d < -FLT_MAX)
        return -HUGE_VALF;
    return (float)d;
}

/* ---------------------------------------------------------------- validity */

BOOL isOutputValid(cJSON *jsonTarget)
{
    if (!jsonTarget)
        return FALSE;
    const char *video = jsonGetText(jsonGetItem(jsonGetItem(jsonTarget, "video"), "codec"));
    const char *audio = jsonGetText(jsonGetItem(jsonGetItem(jsonTarget, "audio"), "codec"));
    return tovu_get_codec_id(video) != TOVU_CODEC_NULL || tovu_get_codec_id(audio) != TOVU_CODEC_NULL;
}

BOOL isChannelValid(cJSON *jsonChannel)
{
    cJSON *source = jsonGetIndex(jsonGetItem(jsonGetItem(jsonChannel, "input"), "sources"), 0);
    cJSON *target = jsonGetIndex(jsonGetItem(jsonGetItem(jsonChannel, "output"), "targets"), 0);
    if (!source || !target)
        return FALSE;
    if (tovuGetFormatId(jsonGetText(jsonGetItem(source, "format"))) == TOVU_FORMAT_RTP) {
        if (!isRTPInputValid(source))
            return FALSE;
    } else if (!jsonGetText(jsonGetItem(source, "url"))[0]) {
        return FALSE;
    }
    return isOutputValid(target);
}

/* ---------------------------------------------------------------- install */

cJSON *tovuParseConfig(const char *szJSON)
{
    if (!szJSON)
        return nullptr;
    cJSON *doc = cJSON_Parse(szJSON);
    if (!doc)
        return nullptr;
    asSaved(doc);
    normaliseGlobal(tovuDocGlobal(doc));
    normaliseChannels(jsonGetItem(doc, "channels"));
    return doc;
}

namespace {

uint64_t s_configVersion TOVU_GUARDED_BY(g_configMutex) = 0;   /* of the installed document */
uint64_t s_lastVersion TOVU_GUARDED_BY(g_configMutex) = 0;     /* the last one given */

/* the number of a new install: the clock's microseconds for the first of a
   run, else one more than the last given (a number taken back is not given
   again) */
void numberNewInstall() TOVU_REQUIRES(g_configMutex)
{
    if (s_lastVersion == 0) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        s_lastVersion = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                        static_cast<uint64_t>(now.tv_nsec / 1000);
    }
    s_configVersion = ++s_lastVersion;
}

} // namespace

cJSON *tovuSwapConfig(cJSON *doc)
{
    TovuConfigLock lock;
    cJSON *old = g_jsonConfig;
    g_jsonConfig = doc;
    if (doc)
        numberNewInstall();
    return old;
}

cJSON *tovuRestoreConfig(cJSON *doc, uint64_t version)
{
    TovuConfigLock lock;
    cJSON *old = g_jsonConfig;
    g_jsonConfig = doc;
    s_configVersion = version;
    return old;
}

void tovuConfigChanged(void)
{
    if (g_jsonConfig)
        numberNewInstall();
}

uint64_t tovuConfigVersion(void)
{
    return g_jsonConfig ? s_configVersion : 0;
}

cJSON *tovuSetConfig(const char *szJSON)
{
    // the new tree is private until it is swapped in, so it is put in
    // shape first and the lock is held only for the swap itself
    cJSON *doc = tovuParseConfig(szJSON);
    if (!doc)
        return nullptr;
    // no reader can hold the old tree: they all let go of the lock before we got it
    cJSON_Delete(tovuSwapConfig(doc));
    return doc;
}

/* ---------------------------------------------------------------- nesting */

bool tovuConfigTooDeep(const char *szJSON)
{
    if (!szJSON)
        return false;
    const char *p = szJSON;
    if (strncmp(p, "\xEF\xBB\xBF", 3) == 0)
        p += 3;
    // the parser skips every byte up to the blank before the value
    while (*p && static_cast<unsigned char>(*p) <= ' ')
        ++p;
    if (*p != '{' && *p != '[')
        return false;
    int depth = 0;
    bool inString = false;
    for (; *p; ++p) {
        if (inString) {
            if (*p == '\\' && p[1])
                ++p;
            else if (*p == '"')
                inString = false;
        } else if (*p == '"') {
            inString = true;
        } else if (*p == '{' || *p == '[') {
            if (++depth > TOVU_MAX_CONFIG_DEPTH)
                return true;
        } else if (*p == '}' || *p == ']') {
            if (--depth == 0)
                return false;
        }
    }
    return false;
}

/* ---------------------------------------------------------------- paths */

void tovuSetConfigPath(LPCTSTR tszConfigPath)
{
    int n = snprintf(g_tszfnConfig, sizeof g_tszfnConfig, "%s/tovul.json",
                     tszConfigPath ? tszConfigPath : "");
    // a path cut short would name another file: leave none instead
    if (!tszConfigPath || n < 0 || (size_t)n >= sizeof g_tszfnConfig)
        g_tszfnConfig[0] = '\0';
}

void tovuGetExPath(TCHAR *tszPath, size_t size, LPCTSTR tszExt)
{
    if (!tszPath || size == 0)
        return;
    std::string path = g_tszfnConfig;
    // only a dot in the file name itself starts the extension
    size_t dot = path.rfind('.');
    size_t slash = path.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        path.erase(dot);
    path += tszExt ? tszExt : "";
    if (path.size() >= size) {
        tszPath[0] = '\0';
        return;
    }
    memcpy(tszPath, path.c_str(), path.size() + 1);
}

void tovuGetExPath(TCHAR *tszPath, LPCTSTR tszExt)
{
    tovuGetExPath(tszPath, TOVU_EXPATH_MIN, tszExt);
}

/* ---------------------------------------------------------------- engine settings */

void TovuEngineSettings::read()
{
    TovuConfigLock lock;
    const cJSON *global = tovuGlobal();
    logLevel = jsonGetInt(jsonGetItem(global, "log"));
    omxPath = jsonGetText(jsonGetItem(global, "omxPath"));
    ytdlpPath = jsonGetText(jsonGetItem(global, "ytdlpPath"));
}

TOVU_CONFIG TovuEngineSettings::config() const
{
    TOVU_CONFIG cfg = {};
    cfg.log_level = logLevel;
    cfg.omx_path = omxPath.c_str();
    cfg.ytdlp_path = ytdlpPath.c_str();
    return cfg;
}

/* ---------------------------------------------------------------- file */

namespace {

// The configuration file read whole into *text: "" when it was, else why not.
std::string readConfigFile(const char *path, std::string *text)
{
    // only a regular file is read: opening a pipe in its place would hold
    // the start-up until someone writes to it
    errno = 0;
    int fd = tovu_open_regular(path, nullptr);
    if (fd < 0)
        return std::string("unreadable: ") + (errno ? strerror(errno) : "not a regular file");
    FILE *fp = fdopen(fd, "rb");
    if (!fp) {
        int err = errno;
        close(fd);
        return std::string("unreadable: ") + strerror(err);
    }
    setlocale(LC_ALL, "");

    const std::string tooLarge =
        "too large: more than " + std::to_string(kMaxConfigFileSize) + " bytes";
    std::string fault;
    try {
        if (fseek(fp, 0, SEEK_END) == 0) {
            long size = ftell(fp);
            if (size > kMaxConfigFileSize)
                fault = tooLarge;
            else if (size > 0)
                text->reserve((size_t)size + 1);
        }
        rewind(fp);
        char chunk[65536];
        size_t n;
        while (fault.empty() && (n = fread(chunk, 1, sizeof chunk, fp)) > 0) {
            text->append(chunk, n);
            if (text->size() > (size_t)kMaxConfigFileSize)
                fault = tooLarge;
        }
        if (fault.empty() && ferror(fp))
            fault = std::string("unreadable: ") + strerror(errno ? errno : EIO);
    } catch (const std::bad_alloc &) {
        fault = std::string("unreadable: ") + strerror(ENOMEM);
    }
    fclose(fp);
    if (fault.empty() && text->empty())
        fault = "empty";
    return fault;
}

// Where the parser gave up on text, as "line L, column C, byte B", counted
// from 1 in bytes; "" when the parser's mark does not lie within text (the
// mark is the parser's last one, of whichever text it read last).
std::string parseFaultPlace(const std::string &text)
{
    const char *mark = cJSON_GetErrorPtr();
    if (!mark || mark < text.data() || mark > text.data() + text.size())
        return "";
    const size_t at = (size_t)(mark - text.data());
    const size_t lastBreak = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
    const size_t lineStart = lastBreak == std::string::npos ? 0 : lastBreak + 1;
    const size_t line = 1 + (size_t)std::count(text.begin(), text.begin() + (std::ptrdiff_t)at, '\n');
    return "line " + std::to_string(line) + ", column " + std::to_string(at - lineStart + 1) +
           ", byte " + std::to_string(at + 1);
}

} // namespace

int tovuImportConfigJSON(LPCTSTR tszfnConfig)
{
    return tovuImportConfigJSON(tszfnConfig, nullptr);
}

int tovuImportConfigJSON(LPCTSTR tszfnConfig, std::string *why)
{
    if (why)
        why->clear();
    if (!tszfnConfig)
        return 0;
    std::string text;
    std::string fault = readConfigFile(tszfnConfig, &text);
    // nested deeper than an upload may be: no usable configuration either
    if (fault.empty() && tovuConfigTooDeep(text.c_str()))
        fault = "nested more than " + std::to_string(TOVU_MAX_CONFIG_DEPTH) + " levels deep";
    if (!fault.empty()) {
        if (why)
            *why = fault;
        return 0;
    }

    // the parser skips a leading byte-order mark and ignores text after the
    // first value; a value that is no object holds no settings at all
    cJSON *doc = tovuParseConfig(text.c_str());
    if (cJSON_IsObject(doc)) {
        cJSON_Delete(tovuSwapConfig(doc));
    } else {
        if (why && doc) {
            *why = "not a JSON object";
        } else if (why) {
            const std::string place = parseFaultPlace(text);
            *why = place.empty() ? "not JSON" : "not JSON at " + place;
        }
        cJSON_Delete(doc);
    }

    TovuConfigLock lock;
    // every member, whatever the type of "channels"
    cJSON *channels = jsonGetItem(g_jsonConfig, "channels");
    return channels ? cJSON_GetArraySize(channels) : 0;
}

int tovuPrintConfig(LPCTSTR tszfnConfig, TovuPrintedConfig *printed)
{
    printed->path = tszfnConfig ? tszfnConfig : g_tszfnConfig;
    printed->text.clear();
    printed->result = 0;
    printed->error = 0;
    printed->ready = false;
    if (printed->path.empty())
        return 0;
    setlocale(LC_ALL, "");

    TovuConfigLock lock;
    if (!g_jsonConfig) {
        // No document installed: the JSON of the older configuration model,
        // unless the file holds what the start-up load could not keep aside.
        // (errno then reads 0: no system call failed)
        if (g_bConfigFileUntouchable && printed->path == g_tszfnConfig)
            return printed->result = -1;
        char *buf = nullptr;
        size_t len = 0;
        FILE *fp = open_memstream(&buf, &len);
        if (!fp) {
            printed->error = errno;
            return printed->result = -1;
        }
        tovuExportConfigFromXML(fp);
        bool ok = !ferror(fp);
        ok = fclose(fp) == 0 && ok;
        if (ok && buf)
            printed->text.assign(buf, len);
        free(buf);
        if (!ok) {
            printed->error = ENOMEM;
            return printed->result = -1;
        }
    } else {
        char *text = cJSON_Print(g_jsonConfig);
        // an unprintable document leaves the file as it was
        if (!text) {
            printed->error = ENOMEM;
            return printed->result = -1;
        }
        printed->text = text;
        cJSON_free(text);
    }
    printed->ready = true;
    return 0;
}

int tovuWritePrintedConfig(const TovuPrintedConfig &printed)
{
    if (!printed.ready) {
        if (printed.result != 0)
            errno = printed.error;
        return printed.result;
    }
    return tovuWriteFileAtomic(printed.path.c_str(), printed.text);
}

int tovuExportConfig(LPCTSTR tszfnConfig)
{
    TovuPrintedConfig printed;
    tovuPrintConfig(tszfnConfig, &printed);
    return tovuWritePrintedConfig(printed);
}
