// The start-up load: the JSON file, or the one-time conversion of the older
// file beside it, or the defaults.
#include "fixtures/test_config_util.h"
#include "tovu_config_legacy.h"
#include "tovu_helpers.h"
#include "tovu_config_testing.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <vector>

using namespace cfgtest;

namespace {

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

mode_t modeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

const std::string kLegacyData = std::string(TOVU_TEST_DATA_DIR) + "/legacy/";

class ConfigLoad : public ConfigTest {
protected:
    TempDir tmp;
    std::string json, conf;

    void SetUp() override
    {
        ConfigTest::SetUp();
        ASSERT_FALSE(tmp.path().empty());
        tovuSetConfigPath(tmp.path().c_str());
        json = tmp / "tovul.json";
        conf = tmp / "tovul.conf";
        ASSERT_EQ(json, g_tszfnConfig);
        // the legacy model's initial values
        memset(&g_globalSettings, 0, sizeof g_globalSettings);
        g_globalSettings.nPortHTTP = 9527;
        g_globalSettings.bAutoRun = 1;
        memset(g_tovuChannels, 0, sizeof g_tovuChannels);
    }

    // the load, with what it printed
    std::string load()
    {
        testing::internal::CaptureStdout();
        tovuImportConfig();
        return testing::internal::GetCapturedStdout();
    }
};

} // namespace

TEST_F(ConfigLoad, ReadableJsonLeavesOlderFileAlone)
{
    const std::string doc = R"({"global":{"httpPort":8000},"channels":[)" + channel("a") + "]}";
    writeFile(json, doc);
    writeFile(conf, "HTTPPort 7000\n");
    EXPECT_EQ(load(), "");
    ASSERT_NE(g_jsonConfig, nullptr);
    EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), 8000);
    EXPECT_EQ(jsonGetListSize(channels()), 1);
    EXPECT_EQ(readFile(json), doc);
    EXPECT_EQ(readFile(conf), "HTTPPort 7000\n");
    EXPECT_EQ(g_globalSettings.nPortHTTP, 9527); // the older file was not read
}

// No file, or an empty one: the defaults are written and loaded.
TEST_F(ConfigLoad, DefaultsWhenNoFile)
{
    for (bool empty : {false, true}) {
        dropConfig();
        unlink(json.c_str());
        if (empty)
            writeFile(json, "");
        EXPECT_EQ(load(), "");
        ASSERT_NE(g_jsonConfig, nullptr) << empty;
        EXPECT_EQ(jsonGetListSize(channels()), 0);
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), 9527);
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "log")), 0);
        EXPECT_TRUE(jsonGetBool(jsonGetItem(global(), "autoRun")));
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "autoRestart")), 0);
        EXPECT_EQ(listFolder(tmp.path()), std::vector<std::string>{"tovul.json"}) << empty;
    }
}

// The older file is converted, written as the new file, and removed; the next
// start loads the JSON file.
TEST_F(ConfigLoad, OlderFileConvertedOnce)
{
    writeFile(conf, readFile(kLegacyData + "one_channel.conf"));
    EXPECT_EQ(load(), "");
    ASSERT_NE(g_jsonConfig, nullptr);
    EXPECT_EQ(jsonGetListSize(channels()), 1);
    EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "autoRestart")), 3);
    EXPECT_EQ(readFile(json), readFile(kLegacyData + "one_channel.json"));
    EXPECT_EQ(listFolder(tmp.path()), std::vector<std::string>{"tovul.json"});

    // the next start
    dropConfig();
    memset(g_tovuChannels, 0, sizeof g_tovuChannels);
    EXPECT_EQ(load(), "");
    ASSERT_NE(g_jsonConfig, nullptr);
    EXPECT_EQ(jsonGetListSize(channels()), 1);
    EXPECT_EQ(g_tovuChannels[0].nSources, 0); // nothing read from an older file
    EXPECT_EQ(readFile(json), readFile(kLegacyData + "one_channel.json"));
}

TEST_F(ConfigLoad, OlderFileValues)
{
    struct Case {
        const char *older;
        int log, modelLog, autoRestart;
        bool autoRun;
    };
    const Case cases[] = {
        {"log 1\n", 1, 32, 1, false}, // the file keeps 1, the model holds 32
        {"", 0, 0, 1, false},         // the reset values, not the defaults
        {"log 32\nAutoStart 1\nAutoRestart 0\n", 32, 32, 0, true},
    };
    for (const Case &c : cases) {
        dropConfig();
        unlink(json.c_str());
        writeFile(conf, c.older);
        load();
        ASSERT_NE(g_jsonConfig, nullptr) << c.older;
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "log")), c.log) << c.older;
        EXPECT_EQ(g_globalSettings.nLogLevel, c.modelLog) << c.older;
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "autoRestart")), c.autoRestart) << c.older;
        EXPECT_EQ(jsonGetBool(jsonGetItem(global(), "autoRun")), c.autoRun) << c.older;
        EXPECT_FALSE(exists(conf)) << c.older;
    }
}

// A file that holds no JSON is kept under a new name, never over an earlier one.
TEST_F(ConfigLoad, NonJsonFileIsKept)
{
    const std::string first = "{ \"global\": { \"httpPort\": 80 ", second = "\x01\x02 garbage";
    writeFile(json, first);
    ASSERT_EQ(chmod(json.c_str(), 0644), 0);
    writeFile(conf, "HTTPPort 8100\n");
    std::string out = load();
    ASSERT_NE(g_jsonConfig, nullptr);
    EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), 8100);
    std::vector<std::string> names = listFolder(tmp.path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "tovul.json");
    EXPECT_EQ(names[1].rfind("tovul.json.bad-", 0), 0u) << names[1];
    EXPECT_EQ(readFile(tmp / names[1]), first);
    // the copy kept aside, and the new file, are readable by their owner only
    for (const std::string &n : names)
        EXPECT_EQ(modeOf(tmp / n), 0600u) << n;
    // said once, with the new name
    EXPECT_NE(out.find(names[1]), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

    dropConfig();
    writeFile(json, second);
    load();
    ASSERT_NE(g_jsonConfig, nullptr);
    names = listFolder(tmp.path());
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(readFile(tmp / names[1]), first);
    std::string secondKept = readFile(tmp / names[2]);
    EXPECT_EQ(secondKept, second) << names[2];
    // kept by a copy where the file is reached through a link
    dropConfig();
    const std::string real = tmp / "real.json";
    writeFile(real, second);
    ASSERT_EQ(chmod(real.c_str(), 0644), 0);
    unlink(json.c_str());
    ASSERT_EQ(symlink(real.c_str(), json.c_str()), 0);
    load();
    names = listFolder(tmp.path());
    ASSERT_EQ(names.size(), 5u);
    for (const std::string &n : names) {
        if (n.rfind("tovul.json.bad-", 0) == 0) {
            EXPECT_EQ(modeOf(tmp / n), 0600u) << n;
        }
    }
}

// A file nested deeper than an upload may be, or whose JSON is no object,
// holds no usable configuration either: it is kept aside and the defaults are
// loaded. (990 objects around 20,000 empty ones: loaded, it made every
// "/config" answer 20 MB; an array loaded had no settings at all.)
TEST_F(ConfigLoad, TooDeepOrShapelessFileIsKeptAside)
{
    std::string issueShape;
    for (int i = 0; i < 990; i++)
        issueShape += "{\"a\":";
    for (int i = 0; i < 20000; i++)
        issueShape += i ? ",{}" : "[{}";
    issueShape += "]" + std::string(990, '}');
    // the top object and 32 levels in all; the brackets in the text are no nesting
    auto nested = [](int depth) {
        return R"({"global":{"httpPort":8123},"x":")" + std::string(40, '[') + "\"," + R"("y":)" +
               std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
    };
    const struct {
        const char *name;
        std::string doc;
        const char *why; // null: loaded
    } cases[] = {
        {"990 objects around 20,000", issueShape, "nested more than 32 levels deep"},
        {"33 levels", nested(33), "nested more than 32 levels deep"},
        {"behind a byte-order mark", "\xEF\xBB\xBF\n" + nested(40), "nested more than 32 levels deep"},
        {"32 levels", nested(32), nullptr},
        {"an array", "[1,2,3]", "not a JSON object"},
        {"null", "null", "not a JSON object"},
        {"a number", "0\n", "not a JSON object"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        dropConfig();
        for (const std::string &n : listFolder(tmp.path()))
            unlink((tmp / n).c_str());
        writeFile(json, c.doc);
        const std::string out = load();
        ASSERT_NE(g_jsonConfig, nullptr);
        if (!c.why) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), 8123);
            EXPECT_EQ(listFolder(tmp.path()), std::vector<std::string>{"tovul.json"});
            continue;
        }
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), 9527);
        EXPECT_EQ(jsonGetItem(g_jsonConfig, "a"), nullptr);
        std::vector<std::string> names = listFolder(tmp.path());
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(readFile(tmp / names[1]), c.doc);
        EXPECT_NE(out.find("holds no usable configuration (" + std::string(c.why) + "); it is kept as " +
                           tmp / names[1]),
                  std::string::npos)
            << out;
        // the file now holds the defaults, at their usual size
        EXPECT_LT(readFile(json).size(), 1000u);
    }
}

// A new file that cannot be written whole: no document, the older file stays,
// and no half-written file is left.
TEST_F(ConfigLoad, FailedWriteKeepsOlderFile)
{
    const std::string older = readFile(kLegacyData + "one_channel.conf");
    writeFile(conf, older);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    load();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(g_jsonConfig, nullptr);
    EXPECT_EQ(readFile(conf), older);
    EXPECT_EQ(listFolder(tmp.path()), std::vector<std::string>{"tovul.conf"});
}

TEST_F(ConfigLoad, UnwritableFolder)
{
    // a folder that does not exist
    tovuSetConfigPath((tmp / "missing").c_str());
    load();
    EXPECT_EQ(g_jsonConfig, nullptr);

    // a folder without write permission (root may write anyway)
    if (geteuid() != 0) {
        std::string ro = tmp / "ro";
        ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
        writeFile(ro + "/tovul.conf", "log 5\n");
        ASSERT_EQ(chmod(ro.c_str(), 0555), 0);
        tovuSetConfigPath(ro.c_str());
        load();
        chmod(ro.c_str(), 0755);
        EXPECT_EQ(g_jsonConfig, nullptr);
        EXPECT_EQ(readFile(ro + "/tovul.conf"), "log 5\n");
    }

    // no configuration path: nothing happens
    g_tszfnConfig[0] = '\0';
    load();
    EXPECT_EQ(g_jsonConfig, nullptr);
}

// An older file that cannot be read is not imported and not removed.
TEST_F(ConfigLoad, UnreadableOlderFileStays)
{
    ASSERT_EQ(mkdir(conf.c_str(), 0755), 0); // a folder where the file should be
    std::string out = load();
    ASSERT_NE(g_jsonConfig, nullptr);
    EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), 9527);
    EXPECT_TRUE(isDirectory(conf.c_str()));
    EXPECT_NE(out.find("tovul.conf"), std::string::npos) << out;

    if (geteuid() != 0) {
        ASSERT_EQ(rmdir(conf.c_str()), 0);
        writeFile(conf, "HTTPPort 8100\n");
        ASSERT_EQ(chmod(conf.c_str(), 0), 0);
        dropConfig();
        unlink(json.c_str());
        load();
        ASSERT_NE(g_jsonConfig, nullptr);
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), 9527);
        EXPECT_TRUE(exists(conf));
    }
}

// A damaged file that the load could not keep aside is never overwritten by a
// save without a document; a later load clears that protection.
TEST_F(ConfigLoad, UnkeptDamagedFileIsNotOverwritten)
{
    writeFile(json, "{ damaged");
    dropConfig();
    g_bConfigFileUntouchable = TRUE;
    EXPECT_EQ(tovuExportConfig(nullptr), -1);
    EXPECT_EQ(readFile(json), "{ damaged");

    load(); // keeps the damaged file aside and writes the defaults
    EXPECT_FALSE(g_bConfigFileUntouchable);
    ASSERT_NE(g_jsonConfig, nullptr);
}

// A pipe where the configuration file should be holds no document: the load
// passes it by instead of waiting for a writer, and the older file stays.
TEST_F(ConfigLoad, PipeInPlaceOfTheFileDoesNotHold)
{
    ASSERT_EQ(mkfifo(json.c_str(), 0600), 0);
    writeFile(conf, "HTTPPort 8100\n");
    auto done = std::async(std::launch::async, [] { tovuImportConfig(); });
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // let every waiting read go before failing
        while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
            int fd = open(json.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                close(fd);
        }
        FAIL() << "the load waited on the pipe";
    }
    EXPECT_EQ(g_jsonConfig, nullptr);
    EXPECT_TRUE(exists(conf));
    struct stat st;
    ASSERT_EQ(stat(json.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(tovuImportConfigJSON(json.c_str()), 0);
}

// A file that gives no document is said to, once, with the reason: where
// the text stops being JSON, that it is too large, or why it cannot be read.
TEST_F(ConfigLoad, SaysWhyTheFileGaveNoDocument)
{
    struct Case {
        const char *name;
        std::function<void(const std::string &path)> make;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"not JSON", [](const std::string &p) { writeFile(p, "{\n  \"global\": {\n    \"log\": x\n"); },
         "holds no usable configuration (not JSON at line 3, column 12, byte 28); it is kept as "},
        {"not JSON from its first byte", [](const std::string &p) { writeFile(p, "tovul=1\n"); },
         "holds no usable configuration (not JSON at line 1, column 1, byte 1); it is kept as "},
        {"too large",
         [](const std::string &p) {
             FILE *fp = fopen(p.c_str(), "wb");
             ASSERT_TRUE(fp);
             ASSERT_EQ(ftruncate(fileno(fp), 65L * 1024 * 1024), 0); // sparse: costs no disk
             fclose(fp);
         },
         "holds no usable configuration (too large: more than 67108864 bytes); it is kept as "},
        {"a folder", [](const std::string &p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); },
         "holds no usable configuration (unreadable: not a regular file)\n"},
        {"a link to itself", [](const std::string &p) { ASSERT_EQ(symlink(p.c_str(), p.c_str()), 0); },
         "holds no usable configuration (unreadable: " + std::string(strerror(ELOOP)) + ")\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        tovuSetConfigPath(dir.path().c_str());
        const std::string path = dir / "tovul.json";
        dropConfig();
        c.make(path);
        const std::string out = load();
        EXPECT_EQ(out.find("TOVUL: " + path + " " + c.said), 0u) << out;
        EXPECT_EQ(out.find("holds no usable"), out.rfind("holds no usable")) << out;
    }
}
