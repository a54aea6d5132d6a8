// The older line-based configuration through the start-up load: the file is
// converted, removed and replaced by a JSON file that must be strict JSON,
// must load, and must carry every file path byte for byte.
#include <cjson/cJSON.h>

#include <stdio.h>
#include <unistd.h>

#include <string>

#include "fixtures/strict_json.h"
#include "fuzz_util.h"
#include "tovu_config.h"
#include "tovu_config_legacy.h"
#include "tovu_config_testing.h"

namespace {

// how long a text is once written as JSON (a control character takes up to six)
size_t escapedLength(const char *s)
{
    size_t n = 0;
    for (; *s; s++) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t')
            n += 2;
        else if (c < 0x20)
            n += 6;
        else
            n += 1;
    }
    return n;
}

std::string generated()
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    FUZZ_CHECK(fp, "no memory stream");
    tovuExportConfigFromXML(fp);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    return s;
}

const char *text(const cJSON *item)
{
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// The generated channels against the legacy model: the written list ends at
// the first channel without inputs or outputs.
void checkPaths(const cJSON *doc)
{
    const cJSON *channels = cJSON_GetObjectItemCaseSensitive(doc, "channels");
    int c = 0;
    for (const cJSON *ch = channels ? channels->child : nullptr; ch; ch = ch->next, c++) {
        FUZZ_CHECK(c < TOVU_LEGACY_CHANNELS, "more channels than the model holds");
        const TOVU_CHANNEL &model = g_tovuChannels[c];
        const cJSON *sources = cJSON_GetObjectItemCaseSensitive(
            cJSON_GetObjectItemCaseSensitive(ch, "input"), "sources");
        int i = 0;
        for (const cJSON *s = sources ? sources->child : nullptr; s; s = s->next, i++) {
            const TOVU_CHANNEL_SOURCE &src = model.sources[i];
            const char *url = text(cJSON_GetObjectItemCaseSensitive(s, "url"));
            if (url && escapedLength(src.szfnSource) <= TOVU_LEGACY_TEXT - 1)
                FUZZ_CHECK(std::string(url) == src.szfnSource, "input url of %d/%d changed", c, i);
        }
        const cJSON *targets = cJSON_GetObjectItemCaseSensitive(
            cJSON_GetObjectItemCaseSensitive(ch, "output"), "targets");
        i = 0;
        for (const cJSON *t = targets ? targets->child : nullptr; t; t = t->next, i++) {
            const TOVU_CHANNEL_TARGET &tgt = model.targets[i];
            const char *url = text(cJSON_GetObjectItemCaseSensitive(t, "url"));
            FUZZ_CHECK(url, "output %d/%d without url", c, i);
            if (escapedLength(tgt.szfnTarget) <= TOVU_LEGACY_TEXT - 1)
                FUZZ_CHECK(std::string(url) == tgt.szfnTarget, "output url of %d/%d changed", c, i);
        }
        const char *memo = text(cJSON_GetObjectItemCaseSensitive(ch, "memo"));
        FUZZ_CHECK(memo && std::string(memo) == model.tszMemo, "memo of %d changed", c);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string dir = tovufuzz::scratch();
    static const std::string json = dir + "/tovul.json", conf = dir + "/tovul.conf";

    {
        TovuConfigLock lock;
        cJSON_Delete(g_jsonConfig);
        g_jsonConfig = nullptr;
    }
    g_bConfigFileUntouchable = FALSE;
    unlink(json.c_str());
    FUZZ_CHECK(tovufuzz::writeFile(conf, data, size), "cannot write the older file");
    tovuSetConfigPath(dir.c_str());

    tovuImportConfig();

    FUZZ_CHECK(access(conf.c_str(), F_OK) != 0, "the older file was not removed");
    const std::string written = tovufuzz::readFile(json);
    size_t where = 0;
    FUZZ_CHECK(tovutest::StrictJson::valid(written, &where), "converted file not JSON at %zu: %.40s",
               where, written.c_str() + (where < written.size() ? where : written.size()));
    FUZZ_CHECK(g_jsonConfig, "the converted file did not load");

    // the text as generated, before the normaliser drops channels
    cJSON *doc = cJSON_Parse(generated().c_str());
    FUZZ_CHECK(doc, "generated text does not parse");
    checkPaths(doc);
    cJSON_Delete(doc);
    return 0;
}
