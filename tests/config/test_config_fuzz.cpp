// Random and mutated documents through the install, and uploads racing
// readers that hold the document lock.
#include "fixtures/test_config_util.h"

#include <atomic>
#include <random>
#include <thread>

using namespace cfgtest;

namespace {

const char *const kKeys[] = {
    "name", "global", "channels", "input", "output", "sources", "targets", "url", "format",
    "video", "audio", "codec", "filters", "map", "mapOptions", "log", "httpPort", "autoRestart",
    "enable", "bind", "memo", "URL", "Input", "HTTPPORT", "frameRate", "options", "",
};
const char *const kTexts[] = {
    "h264", "H264", "aac", "flv", "mp4v", "nosuch", "rtp_native", "udp", "file", "0", "8080",
    "", "udp://239.0.0.1:1234", "\xEF\xBB\xBF", "a\"b\\c\n", "\xC3\xA4\xFF",
};

struct Gen {
    std::mt19937 rng;
    explicit Gen(unsigned seed) : rng(seed) {}
    int pick(int n) { return (int)(rng() % (unsigned)n); }
    template <size_t N> const char *pick(const char *const (&a)[N]) { return a[pick((int)N)]; }

    cJSON *scalar()
    {
        switch (pick(8)) {
        case 0: return cJSON_CreateNumber(pick(20000) - 10000);
        case 1: return cJSON_CreateNumber((rng() % 2 ? 1e300 : -0.4) * (double)pick(3));
        case 2: return cJSON_CreateBool(pick(2));
        case 3: return cJSON_CreateNull();
        case 4: {
            std::string s;
            for (int i = pick(12); i > 0; i--)
                s += (char)(1 + pick(255));
            return cJSON_CreateString(s.c_str());
        }
        default: return cJSON_CreateString(pick(kTexts));
        }
    }

    cJSON *value(int depth)
    {
        if (depth <= 0 || pick(3) == 0)
            return scalar();
        cJSON *v = pick(2) ? cJSON_CreateObject() : cJSON_CreateArray();
        for (int i = pick(5); i > 0; i--) {
            if (cJSON_IsObject(v))
                cJSON_AddItemToObject(v, pick(kKeys), value(depth - 1));
            else
                cJSON_AddItemToArray(v, value(depth - 1));
        }
        return v;
    }

    // a stream or endpoint that often looks right
    cJSON *endpoint(bool target)
    {
        cJSON *e = cJSON_CreateObject();
        if (pick(4))
            cJSON_AddStringToObject(e, "format", pick(kTexts));
        if (pick(4))
            cJSON_AddItemToObject(e, "url", pick(5) ? cJSON_CreateString(pick(kTexts)) : scalar());
        for (const char *stream : {"video", "audio"}) {
            if (pick(3) == 0)
                continue;
            cJSON *s = cJSON_AddObjectToObject(e, stream);
            cJSON_AddItemToObject(s, "codec", pick(5) ? cJSON_CreateString(pick(kTexts)) : scalar());
        }
        if (target && pick(3) == 0)
            cJSON_AddItemToObject(e, pick(kKeys), value(2));
        return e;
    }

    cJSON *list(int max, bool target)
    {
        cJSON *a = cJSON_CreateArray();
        for (int i = pick(max); i > 0; i--)
            cJSON_AddItemToArray(a, pick(8) ? endpoint(target) : value(2));
        return a;
    }

    cJSON *document()
    {
        cJSON *doc = cJSON_CreateObject();
        if (pick(4)) {
            cJSON *g = pick(6) ? cJSON_CreateObject() : value(2);
            for (const char *k : {"log", "httpPort", "autoRestart"})
                if (cJSON_IsObject(g) && pick(2))
                    cJSON_AddItemToObject(g, k, scalar());
            cJSON_AddItemToObject(doc, pick(8) ? "global" : "GLOBAL", g);
        }
        cJSON *channels = pick(8) ? cJSON_CreateArray() : cJSON_CreateObject();
        for (int i = pick(24); i > 0; i--) {
            cJSON *ch = cJSON_CreateObject();
            cJSON *in = cJSON_AddObjectToObject(ch, "input");
            cJSON *out = cJSON_AddObjectToObject(ch, "output");
            cJSON_AddItemToObject(in, "sources", list(25, false));
            cJSON_AddItemToObject(out, "targets", list(8, true));
            for (const char *k : {"filters", "map", "mapOptions"}) {
                if (pick(3) == 0)
                    cJSON_AddItemToObject(in, k, value(1));
                if (pick(3) == 0)
                    cJSON_AddItemToObject(out, k, value(1));
            }
            if (cJSON_IsObject(channels))
                cJSON_AddItemToObject(channels, pick(kKeys), ch);
            else
                cJSON_AddItemToArray(channels, ch);
        }
        cJSON_AddItemToObject(doc, "channels", channels);
        if (pick(6) == 0)
            cJSON_AddItemToObject(doc, pick(kKeys), value(4));
        return doc;
    }

    void mutate(std::string &text)
    {
        static const char kBytes[] = "{}[]\",:0-.e\\ntfu\x00\xEF";
        for (int n = 1 + pick(4); n > 0 && !text.empty(); n--) {
            size_t at = rng() % text.size();
            switch (pick(5)) {
            case 0: text[at] = kBytes[pick((int)sizeof kBytes - 1)]; break;
            case 1: text.erase(at, 1 + rng() % 16); break;
            case 2: text.insert(at, 1, kBytes[pick((int)sizeof kBytes - 1)]); break;
            case 3: text.insert(at, text.substr(rng() % text.size(), rng() % 64)); break;
            default: text.resize(at); break;
            }
        }
    }
};

void checkInstalled(cJSON *root)
{
    ASSERT_EQ(root, g_jsonConfig);
    if (cJSON *g = global(); cJSON_IsObject(g)) {
        for (const char *k : {"log", "httpPort", "autoRestart"})
            ASSERT_TRUE(jsonGetItem(g, k)) << k;
        ASSERT_NE(jsonGetInt(jsonGetItem(g, "httpPort")), 0);
    }
    cJSON *list = channels();
    if (!list)
        return;
    ASSERT_LE(cJSON_GetArraySize(list), 16);
    for (cJSON *ch = cJSON_IsArray(list) || cJSON_IsObject(list) ? list->child : nullptr; ch; ch = ch->next) {
        ASSERT_TRUE(isChannelValid(ch));
        cJSON *in = jsonGetItem(ch, "input");
        ASSERT_TRUE(jsonGetItem(in, "filters"));
        ASSERT_TRUE(jsonGetItem(in, "map"));
        ASSERT_LE(jsonGetListSize(jsonGetItem(in, "sources")), 20);
        ASSERT_LE(jsonGetListSize(jsonGetItem(jsonGetItem(ch, "output"), "targets")), 5);
    }
}

} // namespace

class ConfigFuzz : public ConfigTest {};

TEST_F(ConfigFuzz, RandomAndMutatedDocuments)
{
    TempDir tmp;
    const std::string path = tmp / "tovul.json";
    Gen gen(20240607);
    int installed = 0;
    for (int i = 0; i < 3000; i++) {
        cJSON *tree = gen.document();
        char *p = cJSON_PrintUnformatted(tree);
        cJSON_Delete(tree);
        ASSERT_TRUE(p);
        std::string text = p;
        cJSON_free(p);
        if (i % 2)
            gen.mutate(text);

        cJSON *before = g_jsonConfig;
        cJSON *root = tovuSetConfig(text.c_str());
        if (!root) {
            ASSERT_EQ(g_jsonConfig, before) << text;
            continue;
        }
        installed++;
        checkInstalled(root);
        if (HasFatalFailure())
            FAIL() << text;

        // an installed document survives a save and a read unchanged
        if (i % 50 == 0) {
            const std::string expect = printed(g_jsonConfig);
            ASSERT_EQ(tovuExportConfig(path.c_str()), 0);
            tovuImportConfigJSON(path.c_str());
            ASSERT_EQ(printed(g_jsonConfig), expect) << text;
        }
    }
    EXPECT_GT(installed, 1500); // most documents are JSON: the walk really ran
}

TEST_F(ConfigFuzz, UploadsWhileReadersHoldTheLock)
{
    std::string three = R"({"channels":[)" + channel("x") + "," + channel("x") + "," + channel("x") + "]}";
    std::string one = R"({"channels":[)" + channel("y") + "]}";
    ASSERT_TRUE(tovuSetConfig(one.c_str()));

    std::atomic<bool> done{false};
    std::thread uploader([&] {
        for (int i = 0; i < 300; i++)
            tovuSetConfig((i % 2 ? one : three).c_str());
        done = true;
    });
    int walks = 0;
    std::string wrong;
    while ((!done || walks == 0) && wrong.empty()) {
        TovuConfigLock lock;
        int n = jsonGetListSize(channels());
        std::string memos;
        for (int i = 0; i < n; i++) {
            memos += jsonGetText(jsonGetItem(channelAt(i), "memo"));
            std::this_thread::yield(); // the tree stays whole while the lock is held
        }
        if (memos != "y" && memos != "xxx")
            wrong = memos;
        walks++;
    }
    uploader.join();
    EXPECT_EQ(wrong, "");
}
