// The JSON configuration from outside (file or upload): install, read every
// setting by the reading rules, save, load the saved file again. The saved
// text must be strict JSON and load back to the very document in memory.
#include <cjson/cJSON.h>

#include <math.h>
#include <string.h>

#include <string>

#include "fixtures/strict_json.h"
#include "fuzz_util.h"
#include "tovu_config.h"
#include "tovu_document.h"

namespace {

// Reads a member by every reading rule; the results are checked for the
// promises the rules make.
void readMember(const cJSON *item)
{
    int v = jsonGetInt(item);
    (void)v;
    BOOL b = jsonGetBool(item);
    FUZZ_CHECK(b == TRUE || b == FALSE, "boolean %d", b);
    const char *t = jsonGetText(item);
    FUZZ_CHECK(t != nullptr, "text reads as null");
    float f = jsonGetFloat(item);
    FUZZ_CHECK(!cJSON_IsNumber(item) || !isnan(f), "a number reads as NaN");
    int n = jsonGetListSize(item);
    FUZZ_CHECK(n >= 0, "list size %d", n);
}

const char *const kGlobalKeys[] = {"log",        "httpPort",    "sslEnable",     "sslCert",
                                   "sslKey",     "ipACL",       "loginPass",     "autoRun",
                                   "autoRestart", "altInput",   "folderRecur",   "folderShuffle",
                                   "omxPath",    "ytdlpPath"};
const char *const kStreamKeys[] = {"enable",  "codec",      "width",      "height",
                                   "frameRate", "keyFrameInterval", "quality", "bitRate",
                                   "scanType", "options",   "sampleRate", "channels",
                                   "IP",      "port",       "globalHeader", "fmtp"};

void readStreams(const cJSON *endpoint)
{
    readMember(jsonGetItem(endpoint, "format"));
    readMember(jsonGetItem(endpoint, "url"));
    readMember(jsonGetItem(endpoint, "bind"));
    for (const char *s : {"video", "audio", "mux", "rtmp"}) {
        const cJSON *stream = jsonGetItem(endpoint, s);
        for (const char *k : kStreamKeys)
            readMember(jsonGetItem(stream, k));
        for (const char *k : {"bitRate", "cbr", "flashVer", "swfUrl", "user", "passwd"})
            readMember(jsonGetItem(stream, k));
        const cJSON *opts = jsonGetItem(stream, "options");
        for (int i = 0; i < jsonGetListSize(opts); i++)
            readMember(jsonGetIndex(opts, i));
    }
}

// Every setting the system reads, and the limits the normaliser promises.
void readEverything(const cJSON *doc)
{
    const cJSON *global = tovuDocGlobal(doc);
    for (const char *k : kGlobalKeys)
        readMember(jsonGetItem(global, k));
    if (cJSON_IsObject(global)) {
        FUZZ_CHECK(jsonGetItem(global, "log"), "global without log");
        FUZZ_CHECK(jsonGetItem(global, "autoRestart"), "global without autoRestart");
        FUZZ_CHECK(jsonGetInt(jsonGetItem(global, "httpPort")) != 0, "httpPort reads 0");
    }
    int nc = tovuDocChannelCount(doc);
    FUZZ_CHECK(nc <= 16, "%d channels", nc);
    for (int c = 0; c < nc; c++) {
        cJSON *ch = tovuDocChannel(doc, c);
        FUZZ_CHECK(isChannelValid(ch), "invalid channel %d kept", c);
        readMember(jsonGetItem(ch, "enable"));
        readMember(jsonGetItem(ch, "bind"));
        readMember(jsonGetItem(ch, "memo"));
        const cJSON *input = jsonGetItem(ch, "input");
        const cJSON *output = jsonGetItem(ch, "output");
        FUZZ_CHECK(jsonGetItem(input, "filters") && jsonGetItem(input, "map"),
                   "channel %d without filters or map", c);
        const cJSON *sources = jsonGetItem(input, "sources");
        const cJSON *targets = jsonGetItem(output, "targets");
        FUZZ_CHECK(jsonGetListSize(sources) <= 20, "%d sources", jsonGetListSize(sources));
        FUZZ_CHECK(jsonGetListSize(targets) <= 5, "%d targets", jsonGetListSize(targets));
        for (int i = 0; i < jsonGetListSize(sources); i++)
            readStreams(jsonGetIndex(sources, i));
        for (int i = 0; i < jsonGetListSize(targets); i++)
            readStreams(jsonGetIndex(targets, i));
        for (const cJSON *side : {input, output})
            for (const char *k : {"formatOptions", "customOptions", "filters", "map", "timeShift"})
                readMember(jsonGetItem(side, k));
    }
}

// The same tree, member by member in order (equal names included, which
// cJSON_Compare does not tell apart), numbers compared exactly.
bool sameTree(const cJSON *a, const cJSON *b)
{
    for (; a && b; a = a->next, b = b->next) {
        if ((a->type & 0xFF) != (b->type & 0xFF))
            return false;
        if ((a->string == nullptr) != (b->string == nullptr) ||
            (a->string && strcmp(a->string, b->string) != 0))
            return false;
        if (cJSON_IsNumber(a) && memcmp(&a->valuedouble, &b->valuedouble, sizeof(double)) != 0)
            return false;
        if (cJSON_IsString(a) && strcmp(a->valuestring, b->valuestring) != 0)
            return false;
        if (!sameTree(a->child, b->child))
            return false;
    }
    return a == nullptr && b == nullptr;
}

std::string printed(const cJSON *doc)
{
    char *p = cJSON_Print(doc);
    FUZZ_CHECK(p, "document cannot be printed");
    std::string s = p;
    cJSON_free(p);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = tovufuzz::scratch() + "/tovul.json";
    std::string text(reinterpret_cast<const char *>(data), size);
    if (!tovuSetConfig(text.c_str()))
        return 0;

    readEverything(g_jsonConfig);
    const std::string before = printed(g_jsonConfig);
    size_t where = 0;
    FUZZ_CHECK(tovutest::StrictJson::valid(before, &where), "saved text is not JSON at %zu", where);
    cJSON *copy = cJSON_Duplicate(g_jsonConfig, 1);
    FUZZ_CHECK(copy, "document cannot be copied");

    FUZZ_CHECK(tovuExportConfig(path.c_str()) == 0, "save failed");
    FUZZ_CHECK(tovufuzz::readFile(path) == before, "file differs from the document");
    tovuImportConfigJSON(path.c_str());
    FUZZ_CHECK(printed(g_jsonConfig) == before, "the saved file loads back differently");
    FUZZ_CHECK(sameTree(copy, g_jsonConfig), "the saved file loads back to another tree");
    readEverything(g_jsonConfig);
    cJSON_Delete(copy);
    return 0;
}
