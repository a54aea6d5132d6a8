// DeckLink card discovery against the card library's stand-in, through a
// real web server. The library is opened once per process, so each test runs
// its checks in a fresh process of this program whose dynamic loader either
// finds the stand-in or finds nothing.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "fixtures/discovery_http.h"
#include "tovu_config.h"
#include "tovu_decklink.h"

namespace {

const char kEmptyAnswer[] = "{ \"devices\": [\n ]\n}\n";
const char kDevicesEnv[] = "TOVU_STANDIN_DECKLINK_DEVICES";

// Runs check with its failures caught and written to standard error; the
// number of failures.
int runCaught(const std::function<void()> &check)
{
    ::testing::TestPartResultArray results;
    {
        ::testing::ScopedFakeTestPartResultReporter catcher(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
        check();
    }
    int failed = 0;
    for (int i = 0; i < results.size(); i++) {
        const ::testing::TestPartResult &r = results.GetTestPartResult(i);
        if (r.failed()) {
            failed++;
            fprintf(stderr, "%s:%d: %s\n", r.file_name() ? r.file_name() : "?", r.line_number(),
                    r.message());
        }
    }
    return failed;
}

// Runs check in a new process of this program (re-executed, so that the
// loader reads its search path anew), where the card library is found in
// libDir, or nowhere when libDir is null. The check's failures are caught
// there and handed back on standard error, the only thing that comes back.
void inNewProcess(const char *libDir, const std::function<void()> &check)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *old = getenv("LD_LIBRARY_PATH");
    std::string saved = old ? old : "";
    if (libDir)
        setenv("LD_LIBRARY_PATH", libDir, 1);
    else
        unsetenv("LD_LIBRARY_PATH");
    EXPECT_EXIT(exit(runCaught(check) ? 1 : 0), ::testing::ExitedWithCode(0), "");
    if (old)
        setenv("LD_LIBRARY_PATH", saved.c_str(), 1);
    else
        unsetenv("LD_LIBRARY_PATH");
}

// Standard output of this process, where the program's messages go, caught
// in a file while it lives.
class StdoutCapture {
public:
    StdoutCapture()
    {
        char tmpl[] = "/tmp/tovu_decklink_out_XXXXXX";
        int fd = mkstemp(tmpl);
        path_ = tmpl;
        fflush(stdout);
        saved_ = dup(1);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutCapture()
    {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        // the test's failure reports came here too
        if (::testing::Test::HasFailure())
            fprintf(stderr, "-- standard output while it was caught:\n%s-- end\n", text().c_str());
        unlink(path_.c_str());
    }
    std::string text() const
    {
        fflush(stdout);
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    std::string path_;
    int saved_ = -1;
};

size_t countOf(const std::string &text, const std::string &piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        n++;
    return n;
}

// The cards the stand-in presents, as a file of its directives.
class Cards {
public:
    Cards()
    {
        char tmpl[] = "/tmp/tovu_decklink_cards_XXXXXX";
        int fd = mkstemp(tmpl);
        close(fd);
        path_ = tmpl;
        setenv(kDevicesEnv, path_.c_str(), 1);
    }
    ~Cards()
    {
        unsetenv(kDevicesEnv);
        unlink(path_.c_str());
    }
    void set(const std::string &directives) const { std::ofstream(path_) << directives; }

private:
    std::string path_;
};

// one of the stand-in's counters; -1 when it cannot be read
int standInCount(const char *counter)
{
    void *lib = dlopen("libDeckLinkAPI.so", RTLD_NOW | RTLD_NOLOAD);
    if (!lib)
        return -1;
    auto count = reinterpret_cast<int (*)(void)>(dlsym(lib, counter));
    int n = count ? count() : -1;
    dlclose(lib);
    return n;
}

// every object given back, and no mode iterator used after its side
void expectObjectsUsedSoundly(const char *what)
{
    EXPECT_EQ(standInCount("tovuStandInDeckLinkLiveObjects"), 0) << what << ": references kept";
    EXPECT_EQ(standInCount("tovuStandInDeckLinkMisuses"), 0)
        << what << ": modes walked after their side was released";
}

int answer(struct MHD_Connection *conn, const char *args)
{
    return tovuCGIDecklinkConfig(conn, args);
}

disco::Answer ask(const disco::AnswerServer &server, const std::string &query)
{
    return disco::httpGet(server.port(), "/decklink_config" + query);
}

TEST(DeckLinkDiscovery, WithoutTheLibraryEveryAnswerIsEmpty)
{
    inNewProcess(nullptr, [] {
        StdoutCapture out;
        disco::AnswerServer server(answer);
        ASSERT_TRUE(server.ok());
        for (const char *query : {"", "?output=1"}) {
            disco::Answer a = ask(server, query);
            EXPECT_EQ(a.status, 200);
            EXPECT_EQ(a.body, kEmptyAnswer) << query;
            disco::expectDiscoveryHeaders(a);
        }
        EXPECT_FALSE(IsDeckLinkAPIPresent());

        TOVU_DECKLINKS untouched;
        memset(&untouched, 0x5a, sizeof untouched);
        TOVU_DECKLINKS record = untouched;
        EXPECT_EQ(enumDecklink(0, &record), 1);
        EXPECT_EQ(memcmp(&record, &untouched, sizeof record), 0);

        // the loader's error, once, however many requests came, naming the
        // call and the library
        std::string text = out.text();
        EXPECT_EQ(countOf(text, "\n"), 1u) << text;
        EXPECT_EQ(text.rfind("TOVUL: DeckLink discovery: dlopen of libDeckLinkAPI.so failed: ", 0),
                  0u)
            << text;
    });
}

TEST(DeckLinkDiscovery, AnswersByteForByte)
{
    const std::string cardA = "device Card A\nmode input Hp50 1920 1080 50000 1000 prog\n";
    const std::string lineA = "  { \"fmtcode\": 1215313200, \"width\": 1920, \"height\": 1080, "
                              "\"numFrame\": 50000, \"denFrame\": 1000, \"interlaced\": 0 }";
    const std::string playback = "device Playback Only\n"
                                 "mode output Hp50 1920 1080 50000 1000 prog\n"
                                 "mode output Hi50 1920 1080 25 1 lowr\n";
    const std::string playbackEmpty =
        "{ \"devices\": [\n  { \"name\": \"Playback Only\",\n  \"formats\": [\n  ]\n  }\n ]\n}\n";
    struct Case {
        const char *what;
        std::string cards;
        const char *query;
        std::string expected;
    } cases[] = {
        {"no cards", "", "", kEmptyAnswer},
        {"one card, one mode", cardA, "",
         "{ \"devices\": [\n  { \"name\": \"Card A\",\n  \"formats\": [\n" + lineA +
             "\n  ]\n  }\n ]\n}\n"},
        {"two cards", cardA + "device Card B\nmode input ntsc 720 486 30000 1001 lowr\n", "",
         "{ \"devices\": [\n  { \"name\": \"Card A\",\n  \"formats\": [\n" + lineA +
             "\n  ]\n  },\n"
             "  { \"name\": \"Card B\",\n  \"formats\": [\n"
             "  { \"fmtcode\": 1853125475, \"width\": 720, \"height\": 486, "
             "\"numFrame\": 30000, \"denFrame\": 1001, \"interlaced\": 1 }\n  ]\n  }\n ]\n}\n"},
        {"playback-only card, no side asked", playback, "", playbackEmpty},
        {"playback-only card, inputs asked", playback, "?output=0", playbackEmpty},
        {"playback-only card, outputs asked", playback, "?output=1",
         "{ \"devices\": [\n  { \"name\": \"Playback Only\",\n  \"formats\": [\n"
         "  { \"fmtcode\": 1215313200, \"width\": 1920, \"height\": 1080, "
         "\"numFrame\": 50000, \"denFrame\": 1000, \"interlaced\": 0 },\n"
         "  { \"fmtcode\": 1214854448, \"width\": 1920, \"height\": 1080, "
         "\"numFrame\": 25, \"denFrame\": 1, \"interlaced\": 1 }\n  ]\n  }\n ]\n}\n"},
        {"30000/1001 rates, interlaced and progressive modes",
         "device Rates\n"
         "mode input Hp29 1920 1080 30000 1001 prog\n"
         "mode input Hi59 1920 1080 30000 1001 uppr\n"
         "mode input Hp2s 1920 1080 30000 1001 psf\n",
         "",
         "{ \"devices\": [\n  { \"name\": \"Rates\",\n  \"formats\": [\n"
         "  { \"fmtcode\": 1215312441, \"width\": 1920, \"height\": 1080, "
         "\"numFrame\": 30000, \"denFrame\": 1001, \"interlaced\": 0 },\n"
         "  { \"fmtcode\": 1214854457, \"width\": 1920, \"height\": 1080, "
         "\"numFrame\": 30000, \"denFrame\": 1001, \"interlaced\": 1 },\n"
         "  { \"fmtcode\": 1215312499, \"width\": 1920, \"height\": 1080, "
         "\"numFrame\": 30000, \"denFrame\": 1001, \"interlaced\": 0 }\n  ]\n  }\n ]\n}\n"},
        // left out: no attributes, no mode iterator; the next card reuses the
        // slot without the left-out card's name
        {"cards that cannot be read",
         "device No Attributes\nfail attributes\nmode input Hp50 1920 1080 50000 1000 prog\n"
         "device No Modes\nfail input-modes\nmode input Hp50 1920 1080 50000 1000 prog\n"
         "device Nameless\nfail name\nmode input Hp50 1920 1080 50000 1000 prog\n"
         "device Output Only\nside output\n",
         "",
         "{ \"devices\": [\n  { \"name\": \"\",\n  \"formats\": [\n" + lineA +
             "\n  ]\n  },\n  { \"name\": \"Output Only\",\n  \"formats\": [\n  ]\n  }\n ]\n}\n"},
    };
    inNewProcess(TOVU_DECKLINK_STANDIN_DIR, [&] {
        Cards cards;
        disco::AnswerServer server(answer);
        ASSERT_TRUE(server.ok());
        for (const Case &c : cases) {
            cards.set(c.cards);
            disco::Answer a = ask(server, c.query);
            EXPECT_EQ(a.status, 200) << c.what;
            EXPECT_EQ(a.body, c.expected) << c.what;
            expectObjectsUsedSoundly(c.what);
        }
        disco::expectDiscoveryHeaders(ask(server, ""));
        EXPECT_TRUE(IsDeckLinkAPIPresent());
    });
}

TEST(DeckLinkDiscovery, HostileNameKeepsTheAnswerJson)
{
    const std::string name = "Card \"7\" \\ <script>alert(1)</script>";
    inNewProcess(TOVU_DECKLINK_STANDIN_DIR, [&] {
        Cards cards;
        cards.set("device " + name + "\nmode input Hp50 1920 1080 50000 1000 prog\n");
        disco::AnswerServer server(answer);
        ASSERT_TRUE(server.ok());
        disco::Answer a = ask(server, "");
        cJSON *doc = cJSON_Parse(a.body.c_str());
        ASSERT_NE(doc, nullptr) << a.body;
        cJSON *dev = cJSON_GetArrayItem(cJSON_GetObjectItem(doc, "devices"), 0);
        const char *got = cJSON_GetStringValue(cJSON_GetObjectItem(dev, "name"));
        EXPECT_EQ(got ? std::string(got) : "", name);
        cJSON_Delete(doc);
    });
}

TEST(DeckLinkDiscovery, FullRecordIsAnsweredWhole)
{
    // more cards and modes than the record holds, and a name too long for it
    std::string many;
    for (int d = 0; d < 12; d++) {
        many += "device " + (d == 0 ? std::string(1500, 'n') : "Card " + std::to_string(d)) + "\n";
        for (int m = 0; m < 60; m++)
            many += "mode input Hp50 1920 1080 50000 1000 prog\n";
    }
    inNewProcess(TOVU_DECKLINK_STANDIN_DIR, [&] {
        Cards cards;
        cards.set(many);
        disco::AnswerServer server(answer);
        ASSERT_TRUE(server.ok());
        disco::Answer a = ask(server, "");
        EXPECT_GT(a.body.size(), 10000u);
        cJSON *doc = cJSON_Parse(a.body.c_str());
        ASSERT_NE(doc, nullptr);
        cJSON *devices = cJSON_GetObjectItem(doc, "devices");
        ASSERT_EQ(cJSON_GetArraySize(devices), TOVU_DECKLINK_MAX_DEVICES);
        for (int d = 0; d < TOVU_DECKLINK_MAX_DEVICES; d++) {
            cJSON *dev = cJSON_GetArrayItem(devices, d);
            EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(dev, "formats")),
                      TOVU_DECKLINK_MAX_FORMATS);
        }
        const char *first = cJSON_GetStringValue(
            cJSON_GetObjectItem(cJSON_GetArrayItem(devices, 0), "name"));
        EXPECT_EQ(first ? std::string(first) : "", std::string(999, 'n'));
        cJSON_Delete(doc);
        expectObjectsUsedSoundly("full record");
    });
}

TEST(DeckLinkLoader, ReportsEachMissingPieceOnce)
{
    inNewProcess(TOVU_DECKLINK_STANDIN_DIR, [] {
        StdoutCapture out;
        for (int round = 0; round < 2; round++) {
            IDeckLinkIterator *it = CreateDeckLinkIteratorInstance();
            ASSERT_NE(it, nullptr);
            it->Release();
            // the stand-in offers the iterator's entry point only
            EXPECT_EQ(CreateDeckLinkAPIInformationInstance(), nullptr);
            EXPECT_EQ(CreateVideoConversionInstance(), nullptr);
            EXPECT_EQ(CreateDeckLinkDiscoveryInstance(), nullptr);
            EXPECT_EQ(CreateVideoFrameAncillaryPacketsInstance(), nullptr);
            EXPECT_EQ(CreateOpenGLScreenPreviewHelper(), nullptr);
        }
        EXPECT_TRUE(IsDeckLinkAPIPresent());
        std::string text = out.text();
        const std::string inLibrary = std::string(" in ") + TOVU_DECKLINK_API_LIBRARY + " failed: ";
        for (const char *entry :
             {TOVU_DECKLINK_API_INFORMATION_ENTRY, TOVU_DECKLINK_VIDEO_CONVERSION_ENTRY,
              TOVU_DECKLINK_DISCOVERY_ENTRY, TOVU_DECKLINK_ANCILLARY_ENTRY})
            EXPECT_EQ(countOf(text, "TOVUL: DeckLink discovery: dlsym of " + std::string(entry) +
                                        inLibrary),
                      1u)
                << entry << " in:\n" << text;
        EXPECT_EQ(countOf(text, std::string("TOVUL: DeckLink discovery: dlopen of ") +
                                    TOVU_DECKLINK_PREVIEW_LIBRARY + " failed: "),
                  1u)
            << text;
        EXPECT_EQ(countOf(text, TOVU_DECKLINK_ITERATOR_ENTRY), 0u) << text;
        EXPECT_EQ(countOf(text, "\n"), 5u) << text;
    });
}

} // namespace
