// Reading and saving the configuration file: fixtures, the atomic save,
// failed saves, file modes and the process locale.
#include "fixtures/comma_locale.h"
#include "fixtures/test_config_util.h"
#include "tovu_helpers.h"

#include <dirent.h>
#include <limits.h>
#include <locale.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <thread>
#include <vector>

using namespace cfgtest;

namespace {

const std::string kData = std::string(TOVU_TEST_DATA_DIR) + "/config/";

mode_t modeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

} // namespace

class ConfigFile : public ConfigTest {
protected:
    TempDir tmp;
};

TEST_F(ConfigFile, ReadFixtures)
{
    // a byte-order mark and text after the document are both fine
    for (const char *name : {"full.json", "bom.json", "trailing.json"}) {
        dropConfig();
        EXPECT_EQ(tovuImportConfigJSON((kData + name).c_str()), 1) << name;
        ASSERT_TRUE(g_jsonConfig) << name;
        EXPECT_STREQ(jsonGetText(jsonGetItem(channelAt(0), "memo")), "news") << name;
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "autoRestart")), 5) << name;
    }
    const std::string reference = printed(g_jsonConfig);

    // missing, empty, a folder, no path: 0 and the document stays
    writeFile(tmp / "empty.json", "");
    for (const std::string &path : {tmp / "missing.json", tmp / "empty.json", tmp.path()})
        EXPECT_EQ(tovuImportConfigJSON(path.c_str()), 0) << path;
    EXPECT_EQ(tovuImportConfigJSON(nullptr), 0);
    EXPECT_EQ(printed(g_jsonConfig), reference);

    // a file far beyond any configuration is refused without reading it
    {
        FILE *fp = fopen((tmp / "huge.json").c_str(), "wb");
        ASSERT_TRUE(fp);
        ASSERT_EQ(ftruncate(fileno(fp), 65L * 1024 * 1024), 0); // sparse: costs no disk
        fclose(fp);
        EXPECT_EQ(tovuImportConfigJSON((tmp / "huge.json").c_str()), 0);
        EXPECT_EQ(printed(g_jsonConfig), reference);
    }

    // not JSON: nothing installed, the count is that of the document in place
    writeFile(tmp / "bad.json", "tovul=1\n");
    EXPECT_EQ(tovuImportConfigJSON((tmp / "bad.json").c_str()), 1);
    EXPECT_EQ(printed(g_jsonConfig), reference);
    // nor JSON that is no object
    writeFile(tmp / "array.json", "[1,2,3]");
    EXPECT_EQ(tovuImportConfigJSON((tmp / "array.json").c_str()), 1);
    EXPECT_EQ(printed(g_jsonConfig), reference);

    // a document without channels counts 0
    writeFile(tmp / "bare.json", R"({"global":{}})");
    EXPECT_EQ(tovuImportConfigJSON((tmp / "bare.json").c_str()), 0);
    EXPECT_TRUE(global());
}

TEST_F(ConfigFile, SaveWritesFormattedDocument)
{
    ASSERT_EQ(tovuImportConfigJSON((kData + "full.json").c_str()), 1);
    // the fixture is formatted as the printer does it, so it comes back byte for byte
    const std::string path = tmp / "tovul.json";
    EXPECT_EQ(tovuExportConfig(path.c_str()), 0);
    EXPECT_EQ(readFile(path), printed(g_jsonConfig));
    EXPECT_EQ(readFile(path), readFile(kData + "full.json"));

    // null: the configuration path; moved members print at the end of their object
    tovuSetConfigPath(tmp.path().c_str());
    ASSERT_TRUE(tovuSetConfig(R"({"channels":[{"input":{"sources":[{"url":"u"}]},)"
                              R"("output":{"filters":["yadif"],"targets":[{"audio":{"codec":"aac"}}]}}]})"));
    EXPECT_EQ(tovuExportConfig(nullptr), 0);
    const std::string text = readFile(path);
    EXPECT_EQ(text, printed(g_jsonConfig));
    EXPECT_NE(text.find("\"url\":\t\"u\"\n\t\t\t\t\t}],\n\t\t\t\t\"filters\":\t[\"yadif\"],"), std::string::npos)
        << text;

    // the saved file reads back to the same document
    const std::string before = printed(g_jsonConfig);
    EXPECT_EQ(tovuImportConfigJSON(path.c_str()), 1);
    EXPECT_EQ(printed(g_jsonConfig), before);

    // an empty configuration path writes nothing and counts as done
    g_tszfnConfig[0] = '\0';
    EXPECT_EQ(tovuExportConfig(nullptr), 0);
    EXPECT_EQ(listFolder(tmp.path()), std::vector<std::string>{"tovul.json"});
}

TEST_F(ConfigFile, FailedSavesLeaveTheOldFile)
{
    const std::string path = tmp / "tovul.json";
    const std::string old = readFile(kData + "full.json");
    writeFile(path, old);

    // no document installed: the older model's JSON is written instead
    EXPECT_EQ(tovuExportConfig(path.c_str()), 0);
    EXPECT_NE(readFile(path).find("\"name\": \"Tovumedia Configuration File\""), std::string::npos);
    writeFile(path, old);

    // a document larger than the process may write: the write fails half-way
    std::string doc = R"({"name":")" + std::string(200000, 'x') + R"("})";
    ASSERT_TRUE(tovuSetConfig(doc.c_str()));
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = tovuExportConfig(path.c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(readFile(path), old);
    EXPECT_EQ(listFolder(tmp.path()), std::vector<std::string>{"tovul.json"}); // no leftovers

    // a folder that does not exist, and a folder standing where the file should be
    EXPECT_EQ(tovuExportConfig((tmp / "none/tovul.json").c_str()), -1);
    ASSERT_EQ(mkdir((tmp / "dir.json").c_str(), 0755), 0);
    EXPECT_EQ(tovuExportConfig((tmp / "dir.json").c_str()), -1);
    EXPECT_TRUE(isDirectory((tmp / "dir.json").c_str()));
    EXPECT_EQ(tovuExportConfig("/dev/null"), -1);

    // and a working save afterwards
    EXPECT_EQ(tovuExportConfig(path.c_str()), 0);
    EXPECT_EQ(readFile(path), printed(g_jsonConfig));
}

// A save in two steps writes the document as it was printed, whatever
// changes meanwhile, and needs no lock for the write.
TEST_F(ConfigFile, PrintedSaveWritesTheDocumentAsPrinted)
{
    const std::string path = tmp / "tovul.json";
    tovuSetConfigPath(tmp.path().c_str());
    ASSERT_TRUE(tovuSetConfig(R"({"name":"first"})"));
    TovuPrintedConfig first;
    {
        TovuConfigLock lock;   // a caller may hold the lock already
        EXPECT_EQ(tovuPrintConfig(nullptr, &first), 0);
    }
    const std::string text = printed(g_jsonConfig);
    ASSERT_TRUE(tovuSetConfig(R"({"name":"second"})"));
    std::thread writer([&] { EXPECT_EQ(tovuWritePrintedConfig(first), 0); });
    writer.join();
    EXPECT_EQ(readFile(path), text);

    // the results of tovuExportConfig: no path 0, a failed write -1, no document
    // the older model's JSON
    TovuPrintedConfig none;
    EXPECT_EQ(tovuPrintConfig("", &none), 0);
    EXPECT_EQ(tovuWritePrintedConfig(none), 0);
    TovuPrintedConfig lost;
    EXPECT_EQ(tovuPrintConfig((tmp / "none/tovul.json").c_str(), &lost), 0);
    EXPECT_EQ(tovuWritePrintedConfig(lost), -1);
    dropConfig();
    TovuPrintedConfig older;
    EXPECT_EQ(tovuPrintConfig(nullptr, &older), 0);
    EXPECT_EQ(tovuWritePrintedConfig(older), 0);
    EXPECT_NE(readFile(path).find("\"name\": \"Tovumedia Configuration File\""), std::string::npos);
    EXPECT_EQ(listFolder(tmp.path()), std::vector<std::string>{"tovul.json"});
}

// The configuration holds the login password: a save is readable by its
// owner only, whatever the umask, and an existing file loses the group's and
// others' bits but keeps the owner's.
TEST_F(ConfigFile, SavesAreTheOwnersOnlyAndKeepLinks)
{
    ASSERT_TRUE(tovuSetConfig(R"({"global":{"loginPass":"secret"}})"));
    const std::string path = tmp / "tovul.json";
    const struct {
        mode_t before, after;
    } existing[] = {{0644, 0600}, {0640, 0600}, {0666, 0600}, {0400, 0400}, {0600, 0600}};
    for (const auto &c : existing) {
        writeFile(path, "old");
        ASSERT_EQ(chmod(path.c_str(), c.before), 0);
        EXPECT_EQ(tovuExportConfig(path.c_str()), 0);
        EXPECT_EQ(modeOf(path), c.after) << std::oct << c.before;
    }
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);

    for (mode_t m : {(mode_t)022, (mode_t)0, (mode_t)0277}) {
        const std::string fresh = tmp / "new.json";
        unlink(fresh.c_str());
        mode_t mask = umask(m);
        EXPECT_EQ(tovuExportConfig(fresh.c_str()), 0);
        umask(mask);
        EXPECT_EQ(modeOf(fresh), 0600u) << std::oct << m;
    }

    // a symbolic link stays a link and its target gets the text
    ASSERT_EQ(symlink("tovul.json", (tmp / "link.json").c_str()), 0);
    ASSERT_TRUE(tovuSetConfig(R"({"name":"via link"})"));
    EXPECT_EQ(tovuExportConfig((tmp / "link.json").c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat((tmp / "link.json").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile(path), printed(g_jsonConfig));
    EXPECT_EQ(modeOf(path), 0600u);
}

// At start-up, the files that saves killed before their rename left beside
// the file go, one printed line each; a file whose writer may still be
// writing it, and every other name, stay.
TEST_F(ConfigFile, StaleSavesAreRemoved)
{
    const std::string path = tmp / "tovul.json";
    writeFile(path, "{}");
    // a process that has ended
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string self = std::to_string(getpid()), dead = std::to_string(gone);

    const std::vector<std::string> stale = {
        ".tovul.json." + dead + ".0.0123abcd",
        ".tovul.json." + dead + ".17.ffffffff",
        // this process's number, on a file older than the process: the writer
        // was another process that had the number before (a restart, say)
        ".tovul.json." + self + ".3.00000000",
    };
    const std::vector<std::string> kept = {
        "tovul.json",
        ".tovul.json." + self + ".4.9abcdef0",        // this process may be writing it
        ".tovul.json." + dead + ".0.0123abc",         // not the form of a save's name
        ".tovul.json." + dead + ".0.0123abcde",
        ".tovul.json." + dead + ".0.0123ABCD",
        ".tovul.json." + dead + "..0123abcd",
        ".tovul.json.x" + dead + ".0.0123abcd",
        ".tovul.jsonx." + dead + ".0.0123abcd",
        ".other.json." + dead + ".0.0123abcd",
        "tovul.json." + dead + ".0.0123abcd",
        "tovul.json.bad-20260101-000000",
    };
    for (const std::string &n : stale)
        writeFile(tmp / n, "{\"global\":{\"loginPass\":\"secret\"}}");
    for (const std::string &n : kept)
        if (n != "tovul.json")
            writeFile(tmp / n, "x");
    struct timeval old[2] = {{946684800, 0}, {946684800, 0}}; // 2000-01-01
    ASSERT_EQ(utimes((tmp / stale[2]).c_str(), old), 0);
    // a folder and a link of a save's name are no save's file
    const std::string dirName = ".tovul.json." + dead + ".1.0123abcd", linkName = ".tovul.json." + dead + ".2.0123abcd";
    ASSERT_EQ(mkdir((tmp / dirName).c_str(), 0700), 0);
    ASSERT_EQ(symlink("tovul.json", (tmp / linkName).c_str()), 0);

    testing::internal::CaptureStdout();
    EXPECT_EQ(tovuRemoveStaleSaves(path.c_str()), 3);
    const std::string out = testing::internal::GetCapturedStdout();

    std::vector<std::string> want = kept;
    want.push_back(dirName);
    want.push_back(linkName);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(listFolder(tmp.path()), want);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
    for (const std::string &n : stale)
        EXPECT_NE(out.find("TOVUL: removed " + tmp / n + ", left by an interrupted save (process "), std::string::npos)
            << out;
    // a second pass finds nothing; a link to the file looks beside its target
    EXPECT_EQ(tovuRemoveStaleSaves(path.c_str()), 0);
    const std::string other = tmp / "elsewhere";
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    ASSERT_EQ(symlink(path.c_str(), (other + "/tovul.json").c_str()), 0);
    writeFile(tmp / stale[0], "x");
    testing::internal::CaptureStdout();
    EXPECT_EQ(tovuRemoveStaleSaves((other + "/tovul.json").c_str()), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(tovuRemoveStaleSaves(nullptr), 0);
    EXPECT_EQ(tovuRemoveStaleSaves(""), 0);
}

TEST_F(ConfigFile, AtomicWriterCallback)
{
    const std::string path = tmp / "list.pls";
    EXPECT_EQ(tovuWriteFileAtomic(path.c_str(), [](FILE *fp) { return fputs("a\nb\n", fp) < 0 ? -1 : 0; }),
              0);
    EXPECT_EQ(readFile(path), "a\nb\n");
    // a writer that gives up leaves the file as it was
    EXPECT_EQ(tovuWriteFileAtomic(path.c_str(), [](FILE *fp) { fputs("partial", fp); return -1; }), -1);
    EXPECT_EQ(readFile(path), "a\nb\n");
    EXPECT_EQ(tovuWriteFileAtomic(path.c_str(), std::string("")), 0);
    EXPECT_EQ(readFile(path), "");
    EXPECT_EQ(tovuWriteFileAtomic(nullptr, std::string("x")), -1);
    EXPECT_EQ(tovuWriteFileAtomic("", std::string("x")), -1);
    EXPECT_EQ(listFolder(tmp.path()), std::vector<std::string>{"list.pls"});
}

TEST_F(ConfigFile, NumbersUseFullStopInAnyLocale)
{
    CommaLocale comma;
    if (!comma.ok())
        GTEST_SKIP() << "no locale with a decimal comma could be had (de_DE.UTF-8)";
    setlocale(LC_ALL, "C"); // the reading sets it from the environment itself
    writeFile(tmp / "in.json", R"({"global":{"httpPort":8080.7},"f":29.97,"g":-0.5})");
    ASSERT_EQ(tovuImportConfigJSON((tmp / "in.json").c_str()), 0);
    EXPECT_STREQ(localeconv()->decimal_point, ",");
    EXPECT_FLOAT_EQ(jsonGetFloat(jsonGetItem(g_jsonConfig, "f")), 29.97f);
    EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), 8080);

    setlocale(LC_ALL, "C");
    ASSERT_EQ(tovuExportConfig((tmp / "out.json").c_str()), 0);
    EXPECT_STREQ(localeconv()->decimal_point, ",");
    const std::string text = readFile(tmp / "out.json");
    EXPECT_NE(text.find("29.97"), std::string::npos) << text;
    EXPECT_NE(text.find("8080.7"), std::string::npos) << text;
    EXPECT_NE(text.find("-0.5"), std::string::npos) << text;
    EXPECT_EQ(text.find(','), text.find(",\n")) << text; // commas only between members
}

// Whatever the normaliser accepts, the saved file loads back to the very
// document in memory: same text, same values by the reading rules. Numbers
// that are not finite, or that the printer writes shorter than they are, are
// installed as the file will hold them.
TEST_F(ConfigFile, SavedDocumentLoadsBackTheSame)
{
    // as deep as a configuration file may nest: 31 arrays in the top object
    std::string deep;
    for (int i = 0; i < TOVU_MAX_CONFIG_DEPTH - 1; i++)
        deep += "[";
    deep += "1e400";
    for (int i = 0; i < TOVU_MAX_CONFIG_DEPTH - 1; i++)
        deep += "]";
    std::string longText(200000, 'x');
    longText[1000] = '\t';

    struct Case {
        const char *name;
        std::string doc;
        int httpPort; // by the reading rules, once installed
    };
    const Case cases[] = {
        {"port not finite", R"({"global":{"httpPort":1e400}})", 9527},
        {"port negative, not finite", R"({"global":{"httpPort":-1e400,"log":1e999}})", 9527},
        {"port printed shorter than it is", R"({"global":{"httpPort":8079.999999999999}})", 8080},
        {"first of equal names", R"({"global":{"HTTPPORT":1e400,"httpPort":8080}})", 9527},
        {"huge, tiny and negative",
         R"({"global":{"httpPort":-2147483649,"a":1e308,"b":-1.7976931348623157e308,"c":5e-324,)"
         R"("d":123456789012345678901234567890,"e":-0,"f":0.30000000000000004}})",
         INT_MIN},
        {"channel numbers",
         R"({"global":{},"channels":[{"input":{"sources":[{"url":"/a.ts"}]},"output":{"targets":)"
         R"([{"video":{"codec":"h264","quality":1e400,"frameRate":-1e400,"bitRate":-7}}]}}]})",
         9527},
        {"deep nesting", R"({"global":{"httpPort":8},"x":)" + deep + "}", 8},
        {"long and odd texts",
         R"({"global":{"httpPort":"80\u0000x"},"k\u0000y":"a\u0000b","t":")" + longText +
             R"(","u":"\u0001\u001f\u00e4\ud83d\ude00"})",
         80},
        {"not an object", "[1e400, -0, 1e-400]", 0},
    };
    for (const Case &c : cases) {
        ASSERT_NE(tovuSetConfig(c.doc.c_str()), nullptr) << c.name;
        const std::string before = printed(g_jsonConfig);
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), c.httpPort) << c.name;
        cJSON *copy = cJSON_Duplicate(g_jsonConfig, 1);

        ASSERT_EQ(tovuExportConfig((tmp / "rt.json").c_str()), 0) << c.name;
        EXPECT_EQ(readFile(tmp / "rt.json"), before) << c.name;
        tovuImportConfigJSON((tmp / "rt.json").c_str());
        EXPECT_EQ(printed(g_jsonConfig), before) << c.name;
        EXPECT_TRUE(cJSON_Compare(copy, g_jsonConfig, 1)) << c.name;
        EXPECT_EQ(jsonGetInt(jsonGetItem(global(), "httpPort")), c.httpPort) << c.name;
        cJSON_Delete(copy);
    }
}
