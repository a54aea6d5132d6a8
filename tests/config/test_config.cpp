// The configuration document: reading rules, install and normalisation,
// the channel check and the configuration path.
#include "fixtures/test_config_util.h"

#include <limits.h>
#include <math.h>

using namespace cfgtest;

namespace {

struct Doc {
    cJSON *root;
    explicit Doc(const std::string &text) : root(cJSON_Parse(text.c_str())) {}
    ~Doc() { cJSON_Delete(root); }
    cJSON *get(const char *key) const { return jsonGetItem(root, key); }
};

} // namespace

TEST(ConfigReading, IntegerOfEveryType)
{
    struct Case { const char *value; int expect; };
    const Case cases[] = {
        {"5", 5}, {"-5.9", -5}, {"5.9", 5}, {"0.4", 0}, {"1e12", INT_MAX}, {"-1e12", INT_MIN},
        {"\"42abc\"", 42}, {"\"  -7\"", -7}, {"\"+3\"", 3}, {"\"abc\"", 0}, {"\"\"", 0},
        {"\"0x10\"", 0}, {"\"99999999999\"", INT_MAX}, {"true", 1}, {"false", 0},
        {"null", 0}, {"[1]", 0}, {"{\"a\":1}", 0},
    };
    for (const Case &c : cases) {
        Doc d(std::string("{\"v\":") + c.value + "}");
        ASSERT_TRUE(d.root) << c.value;
        EXPECT_EQ(jsonGetInt(d.get("v")), c.expect) << c.value;
    }
    EXPECT_EQ(jsonGetInt(nullptr), 0);
}

TEST(ConfigReading, LookupBooleanTextFloatAndLists)
{
    Doc d(R"({"Port":1,"port":2,"on":true,"one":1,"yes":"true","off":false,
              "t":"abc","n":5,"f":29.97,"fs":"30","list":["a",1],"obj":{"k":"v"}})");
    ASSERT_TRUE(d.root);
    // case ignored, the first of equal names counts
    EXPECT_EQ(jsonGetInt(d.get("PORT")), 1);
    EXPECT_EQ(jsonGetItem(d.get("obj"), "K"), jsonGetItem(d.get("obj"), "k"));
    EXPECT_EQ(jsonGetItem(d.get("missing"), "k"), nullptr); // absent object on the way
    EXPECT_EQ(jsonGetItem(d.get("list"), "a"), nullptr);    // arrays have no members by name

    EXPECT_TRUE(jsonGetBool(d.get("on")));
    for (const char *k : {"one", "yes", "off", "missing", "t"})
        EXPECT_FALSE(jsonGetBool(d.get(k))) << k;

    EXPECT_STREQ(jsonGetText(d.get("t")), "abc");
    EXPECT_STREQ(jsonGetText(d.get("n")), "");
    EXPECT_STREQ(jsonGetText(d.get("missing")), "");
    EXPECT_STREQ(jsonGetText(d.get("obj")), "");

    EXPECT_FLOAT_EQ(jsonGetFloat(d.get("f")), 29.97f);
    EXPECT_EQ(jsonGetFloat(d.get("missing")), 0.0f);
    EXPECT_TRUE(std::isnan(jsonGetFloat(d.get("fs"))));
    EXPECT_TRUE(std::isnan(jsonGetFloat(d.get("on"))));

    EXPECT_EQ(jsonGetListSize(d.get("list")), 2);
    EXPECT_EQ(jsonGetListSize(d.get("obj")), 0);
    EXPECT_STREQ(jsonGetText(jsonGetIndex(d.get("list"), 0)), "a");
    EXPECT_EQ(jsonGetIndex(d.get("list"), 2), nullptr);
    EXPECT_EQ(jsonGetIndex(d.get("list"), -1), nullptr);
    EXPECT_EQ(jsonGetIndex(d.get("obj"), 0), nullptr);
}

class ConfigInstall : public ConfigTest {};

TEST_F(ConfigInstall, GlobalDefaultsAppendedInOrder)
{
    ASSERT_TRUE(tovuSetConfig(R"({"global":{}})"));
    EXPECT_EQ(compact(global()), R"({"log":0,"httpPort":9527,"autoRestart":1})");

    // present values are kept, only what is missing is appended
    ASSERT_TRUE(tovuSetConfig(R"({"global":{"autoRestart":0,"LOG":32,"x":"y"}})"));
    EXPECT_EQ(compact(global()), R"({"autoRestart":0,"LOG":32,"x":"y","httpPort":9527})");

    // no "global": none is made up
    ASSERT_TRUE(tovuSetConfig(R"({"name":"n","channels":[]})"));
    EXPECT_EQ(global(), nullptr);
    EXPECT_EQ(compact(g_jsonConfig), R"({"name":"n","channels":[]})");
}

TEST_F(ConfigInstall, HttpPortRules)
{
    struct Case { const char *value, *after; int reads; };
    const Case cases[] = {
        {"\"0\"", "9527", 9527}, {"false", "9527", 9527}, {"null", "9527", 9527},
        {"0.4", "9527", 9527},   {"0", "9527", 9527},     {"\"abc\"", "9527", 9527},
        {"[8080]", "9527", 9527}, {"{}", "9527", 9527},
        {"\"8080\"", "\"8080\"", 8080}, {"8080.7", "8080.7", 8080}, {"true", "true", 1},
    };
    for (const Case &c : cases) {
        std::string doc = std::string(R"({"global":{"log":1,"HTTPport":)") + c.value +
                          R"(,"autoRestart":2}})";
        ASSERT_TRUE(tovuSetConfig(doc.c_str())) << c.value;
        // the member keeps its place and its key as written
        EXPECT_EQ(compact(global()),
                  std::string(R"({"log":1,"HTTPport":)") + c.after + R"(,"autoRestart":2})")
            << c.value;
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), c.reads) << c.value;
    }
}

TEST_F(ConfigInstall, InvalidChannelsDroppedAndListsCut)
{
    std::string doc = R"({"channels":[)" + channel("a") + R"(,{"memo":"bad"},)" + channel("b") +
                      "," + channel("c") + "]}";
    ASSERT_TRUE(tovuSetConfig(doc.c_str()));
    ASSERT_EQ(jsonGetListSize(channels()), 3);
    EXPECT_STREQ(jsonGetText(jsonGetItem(channelAt(1), "memo")), "b");
    EXPECT_STREQ(jsonGetText(jsonGetItem(channelAt(2), "memo")), "c");

    // all invalid: installed with an empty list
    ASSERT_TRUE(tovuSetConfig(R"({"channels":[{},1,"x",null]})"));
    EXPECT_EQ(compact(channels()), "[]");

    // 17 valid channels: the first 16 stay
    doc = R"({"channels":[)";
    for (int i = 0; i < 17; i++)
        doc += (i ? "," : "") + channel(std::to_string(i));
    ASSERT_TRUE(tovuSetConfig((doc + "]}").c_str()));
    ASSERT_EQ(jsonGetListSize(channels()), 16);
    EXPECT_STREQ(jsonGetText(jsonGetItem(channelAt(15), "memo")), "15");

    // 21 sources and 6 targets: the first 20 and 5 stay
    std::string sources, targets;
    for (int i = 0; i < 21; i++)
        sources += std::string(i ? "," : "") + R"({"url":"s)" + std::to_string(i) + R"("})";
    for (int i = 0; i < 6; i++)
        targets += std::string(i ? "," : "") + R"({"url":"t)" + std::to_string(i) +
                   R"(","audio":{"codec":"mp3"}})";
    doc = R"({"channels":[{"input":{"sources":[)" + sources + R"(]},"output":{"targets":[)" +
          targets + "]}}]}";
    ASSERT_TRUE(tovuSetConfig(doc.c_str()));
    cJSON *src = jsonGetItem(jsonGetItem(channelAt(0), "input"), "sources");
    cJSON *tgt = jsonGetItem(jsonGetItem(channelAt(0), "output"), "targets");
    ASSERT_EQ(jsonGetListSize(src), 20);
    ASSERT_EQ(jsonGetListSize(tgt), 5);
    EXPECT_STREQ(jsonGetText(jsonGetItem(jsonGetIndex(src, 19), "url")), "s19");
    EXPECT_STREQ(jsonGetText(jsonGetItem(jsonGetIndex(tgt, 4), "url")), "t4");
}

TEST_F(ConfigInstall, FiltersAndMapMoveToInput)
{
    const std::string src = R"("sources":[{"url":"u"}])";
    const std::string tgt = R"("targets":[{"audio":{"codec":"aac"}}])";
    struct Case { std::string input, output, inputAfter, outputAfter; };
    const Case cases[] = {
        // nothing anywhere: empty lists are added
        {src, tgt, src + R"(,"filters":[],"map":[])", tgt},
        // the output's filters move to the end of the input
        {src + R"(,"x":1)", tgt + R"(,"Filters":["yadif"],"y":2)",
         src + R"(,"x":1,"filters":["yadif"],"map":[])", tgt + R"(,"y":2)"},
        // the input's own filters win; the output's stay where they are
        {src + R"(,"filters":["a"])", tgt + R"(,"filters":["b"])",
         src + R"(,"filters":["a"],"map":[])", tgt + R"(,"filters":["b"])"},
        // both carry mapOptions: the input's becomes "map", the output's stays
        {src + R"(,"mapOptions":["#1"])", tgt + R"(,"mapOptions":["#2"])",
         src + R"(,"filters":[],"map":["#1"])", tgt + R"(,"mapOptions":["#2"])"},
        // only the output carries mapOptions: it moves
        {src, tgt + R"(,"mapOptions":["p:3"])", src + R"(,"filters":[],"map":["p:3"])", tgt},
        // "map" present: every mapOptions stays
        {src + R"(,"MAP":["#1"],"mapOptions":["#9"])", tgt + R"(,"mapOptions":["#2"])",
         src + R"(,"MAP":["#1"],"mapOptions":["#9"],"filters":[])", tgt + R"(,"mapOptions":["#2"])"},
    };
    for (const Case &c : cases) {
        std::string doc = R"({"channels":[{"input":{)" + c.input + R"(},"output":{)" + c.output + "}}]}";
        ASSERT_TRUE(tovuSetConfig(doc.c_str())) << doc;
        EXPECT_EQ(compact(jsonGetItem(channelAt(0), "input")), "{" + c.inputAfter + "}") << doc;
        EXPECT_EQ(compact(jsonGetItem(channelAt(0), "output")), "{" + c.outputAfter + "}") << doc;
    }
}

TEST_F(ConfigInstall, AnyJsonValueInstalledNonJsonRefused)
{
    for (const char *doc : {"[]", "5", "\"text\"", "null", "true", "{}"}) {
        cJSON *root = tovuSetConfig(doc);
        ASSERT_TRUE(root) << doc;
        EXPECT_EQ(root, g_jsonConfig);
        EXPECT_EQ(compact(g_jsonConfig), doc);
        EXPECT_EQ(jsonGetListSize(channels()), 0);
    }

    std::string good = R"({"global":{"log":0},"channels":[)" + channel("kept") + "]}";
    cJSON *installed = tovuSetConfig(good.c_str());
    ASSERT_TRUE(installed);
    const std::string before = printed(g_jsonConfig);

    std::string deep(5000, '[');
    deep += std::string(5000, ']');
    const std::string refused[] = {"", "   ", "{", "{\"a\":}", "nul", "\xEF\xBB\xBF", deep};
    for (const std::string &doc : refused) {
        EXPECT_EQ(tovuSetConfig(doc.c_str()), nullptr) << doc.substr(0, 20);
        EXPECT_EQ(g_jsonConfig, installed);
    }
    EXPECT_EQ(tovuSetConfig(nullptr), nullptr);
    EXPECT_EQ(g_jsonConfig, installed);
    EXPECT_EQ(printed(g_jsonConfig), before);

    // nesting within the parser's limit is installed like anything else
    std::string nested = R"({"global":{"x":)" + std::string(500, '[') + std::string(500, ']') + "}}";
    EXPECT_TRUE(tovuSetConfig(nested.c_str()));
}

TEST(ConfigValidity, ChannelCheck)
{
    const std::string tgt = R"({"video":{"codec":"h264"}})";
    auto ch = [](const std::string &source, const std::string &target) {
        return R"({"input":{"sources":[)" + source + R"(]},"output":{"targets":[)" + target + "]}}";
    };
    struct Case { std::string channel; BOOL valid; };
    const Case cases[] = {
        {ch(R"({"format":"rtp_native","video":{"codec":"H264"}})", tgt), TRUE},
        {ch(R"({"format":"RTP_Native","video":{"codec":"mp4v"}})", tgt), TRUE},
        {ch(R"({"format":"rtp_native","video":{"codec":"h263+"}})", tgt), TRUE},
        {ch(R"({"format":"rtp_native","video":{"codec":"flv"},"url":"x"})", tgt), FALSE},
        {ch(R"({"format":"rtp_native","video":{"codec":"h265"}})", tgt), FALSE},
        {ch(R"({"format":"rtp_native","url":"rtp://x"})", tgt), FALSE},
        {ch(R"({"format":"rtp","url":"rtp://x"})", tgt), TRUE}, // rtp is RTP-carried TS
        {ch(R"({"url":"x"})", tgt), TRUE},
        {ch(R"({"format":"udp","url":5})", tgt), FALSE},
        {ch(R"({"format":"udp","url":""})", tgt), FALSE},
        {ch(R"({"format":"udp"})", tgt), FALSE},
        {ch(R"({"url":"x"},{"bad":1})", R"({"video":{"codec":"nosuch"},"audio":{"codec":"aac"}})"), TRUE},
        {ch(R"({"url":"x"})", R"({"video":{"codec":"nosuch"},"audio":{"codec":"none"}})"), FALSE},
        {ch(R"({"url":"x"})", R"({"video":{"codec":5}})"), FALSE},
        {ch(R"({"url":"x"})", ""), FALSE},
        {ch("", tgt), FALSE},
        {R"({"input":{"sources":[{"url":"x"}]}})", FALSE},
        {R"({"input":{"sources":{"s":{"url":"x"}}},"output":{"targets":[{"video":{"codec":"h264"}}]}})", FALSE},
        {"[]", FALSE},
    };
    for (const Case &c : cases) {
        Doc d(c.channel);
        ASSERT_TRUE(d.root) << c.channel;
        EXPECT_EQ(isChannelValid(d.root), c.valid) << c.channel;
    }
    EXPECT_FALSE(isChannelValid(nullptr));
    EXPECT_FALSE(isOutputValid(nullptr));
}

class ConfigPath : public ConfigTest {};

TEST_F(ConfigPath, PathAndExtension)
{
    tovuSetConfigPath("/etc/tovul");
    EXPECT_STREQ(g_tszfnConfig, "/etc/tovul/tovul.json");
    TCHAR buf[256];
    tovuGetExPath(buf, "_cgi.log");
    EXPECT_STREQ(buf, "/etc/tovul/tovul_cgi.log");
    tovuGetExPath(buf, ".conf");
    EXPECT_STREQ(buf, "/etc/tovul/tovul.conf");

    struct Case { const char *path, *ext, *expect; };
    const Case cases[] = {
        {"/x/tovul", "_cgi.log", "/x/tovul_cgi.log"},
        {"/x/a.b.json", ".conf", "/x/a.b.conf"},
        {"/x.d/tovul", ".conf", "/x.d/tovul.conf"}, // a dot in a folder name is no extension
        {"tovul.json", ".conf", "tovul.conf"},
    };
    for (const Case &c : cases) {
        snprintf(g_tszfnConfig, sizeof g_tszfnConfig, "%s", c.path);
        tovuGetExPath(buf, c.ext);
        EXPECT_STREQ(buf, c.expect) << c.path;
    }

    // a result that does not fit gives the empty text, never a shorter path
    TCHAR small[8] = "keep";
    tovuGetExPath(small, sizeof small, "_cgi.log");
    EXPECT_STREQ(small, "");

    // the unsized form never writes past the 256-byte buffer its callers pass
    char guarded[TOVU_EXPATH_MIN + 16];
    memset(guarded, '#', sizeof guarded);
    snprintf(g_tszfnConfig, sizeof g_tszfnConfig, "/%s/tovul.json", std::string(300, 'd').c_str());
    tovuGetExPath(guarded, "_cgi.log");
    EXPECT_STREQ(guarded, "");
    EXPECT_EQ(guarded[TOVU_EXPATH_MIN], '#');

    // a folder too long for the path buffer leaves no path at all
    std::string longDir(sizeof g_tszfnConfig - 5, 'd');
    tovuSetConfigPath(longDir.c_str());
    EXPECT_STREQ(g_tszfnConfig, "");
}
