// The "/status" and "/runtime" answers over HTTP on a loopback server, with
// channels running on the fake transcoder.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tovu_helpers.h"
#include "fixtures/channel_docs.h"
#include "fixtures/channel_fixture.h"
#include "fixtures/http_client.h"
#include "fixtures/web_server.h"
#include "tovu_cgi_internal.h"
#include "tovu_document.h"

using namespace chantest;

namespace {

enum MHD_Result dispatch(struct MHD_Connection *conn, const char *path, const char *args)
{
    if (strcmp(path, "/status") == 0)
        return tovuCGIStatus(conn);
    if (strcmp(path, "/runtime") == 0)
        return tovuCGIRuntime(conn);
    return tovuCGIDownload(conn, path, args) ? MHD_YES : MHD_NO;
}

// a progress line of the fake transcoder: 65 s into the stream at 25 fps, no bit rate
const char kProgress65[] = "FAKE_OUTPUT='frame= 1625 fps=25 q=28.0 size=  256kB time=00:01:05.00\\r'\n"
                           "FAKE_HOLD=-1\n";

class CgiStatusTest : public ChannelTest {
protected:
    void SetUp() override
    {
        ChannelTest::SetUp();
        ASSERT_TRUE(server.ok());
    }
    void TearDown() override
    {
        _tovu_idle_slots(); // states set by hand, no process behind
        setLoads({}, 0, 0);
        ChannelTest::TearDown();
    }

    HttpAnswer get(const std::string &target)
    {
        HttpAnswer ans;
        EXPECT_TRUE(client.get(target, ans)) << target;
        return ans;
    }

    // the engine's load table as the status answer reads it
    static void setLoads(const std::vector<int> &cpus, int nb_gpus, int gpu)
    {
        TOVU_LOAD_FIGURES f{};
        f.nb_cpus = (int)cpus.size();
        for (size_t k = 0; k < cpus.size() && k < TOVU_MAX_CPUS; k++)
            f.cpu[k] = cpus[k];
        f.nb_gpus = nb_gpus;
        f.gpu = gpu;
        _tovu_set_load_figures(&f);
    }

    // puts a slot into a state with figures, no process behind it
    static void slot(int i, int st, int t = -1, int fps = -1, int kbps = -1)
    {
        ASSERT_EQ(_tovu_set_slot(i, (TOVU_CHANNEL_STATE)st, t, fps, kbps), 0);
    }

    static std::string channels(int n)
    {
        std::string list;
        for (int i = 0; i < n; i++)
            list += (i ? "," : "") + plainChan("c" + std::to_string(i));
        return list;
    }

    TestWebServer server{dispatch};
    HttpClient client{server.port(), true};
};

} // namespace

TEST_F(CgiStatusTest, TwoChannelsOneRunningOnTheFakeTranscoder)
{
    fake_conf(kProgress65);
    ASSERT_EQ(init(0), 0);
    config(doc("", channels(2)));
    ASSERT_EQ(tovuStartChannel(0), 0);
    ASSERT_TRUE(tovutest::pollUntil([] { return tovu_get_stream_time(0) == 65; }, 20000));
    setLoads({12, 7}, 0, 0);

    HttpAnswer a = get("/status");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "{\n  \"channels\": [\n"
                      "    {\"state\": \"running\", \"status\": \"00:01:05   25fps\"},\n"
                      "    {\"state\": \"idle\", \"status\": \"IDLE\"}\n"
                      "  ],\n  \"cpu\": [12, 7]\n}\n");
    const char *order[] = {"Connection", "Pragma", "Cache-Control", "Content-Type"};
    const char *values[] = {"Keep-Alive", "no-cache", "no-cache", "application/json"};
    for (int h = 0; h < 4; h++) {
        EXPECT_EQ(a.header(order[h]), values[h]);
        if (h > 0) {
            EXPECT_LT(a.indexOf(order[h - 1]), a.indexOf(order[h])) << order[h];
        }
    }
}

TEST_F(CgiStatusTest, OneRowPerStateInChannelOrder)
{
    ASSERT_EQ(init(0), 0);
    config(doc("", channels(7)));
    slot(0, TOVU_STATE_IDLE);
    slot(1, TOVU_STATE_EXTRACT);
    slot(2, TOVU_STATE_RUNNING, 3725, 25, 3000);
    slot(3, TOVU_STATE_PREVIEW);
    slot(4, TOVU_STATE_NOSIGNAL);
    slot(5, TOVU_STATE_STOPPING);
    slot(6, TOVU_STATE_RUNNING);   // no figures yet: the preset text stays
    setLoads({100}, 0, 0);
    EXPECT_EQ(get("/status").body,
              "{\n  \"channels\": [\n"
              "    {\"state\": \"idle\", \"status\": \"IDLE\"},\n"
              "    {\"state\": \"running\", \"status\": \"EXTRACT\"},\n"
              "    {\"state\": \"running\", \"status\": \"01:02:05   25fps@3000Kbps\"},\n"
              "    {\"state\": \"preview\", \"status\": \"PREVIEW\"},\n"
              "    {\"state\": \"stopping\", \"status\": \"NO SIGNAL\"},\n"
              "    {\"state\": \"stopping\", \"status\": \"STOPPING\"},\n"
              "    {\"state\": \"running\", \"status\": \"RUNNING\"}\n"
              "  ],\n  \"cpu\": [100]\n}\n");
}

TEST_F(CgiStatusTest, NoChannelsNoCpusAndTheGpuLine)
{
    ASSERT_EQ(init(0), 0);
    const struct {
        const char *what;
        bool document;
        std::vector<int> cpus;
        int nb_gpus, gpu;
        const char *tail;
    } cases[] = {
        {"no document, no CPU", false, {}, 0, 0, "  \"cpu\": []\n}\n"},
        {"empty list, no CPU", true, {}, 0, 0, "  \"cpu\": []\n}\n"},
        {"a GPU", true, {3, 0, 99}, 1, 42, "  \"cpu\": [3, 0, 99],\n  \"gpu\": 42\n}\n"},
        {"a GPU at 0", true, {}, 2, 0, "  \"cpu\": [],\n  \"gpu\": 0\n}\n"},
        {"no GPU count", true, {5}, 0, 42, "  \"cpu\": [5]\n}\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        {
            TovuConfigLock lock;
            cJSON_Delete(g_jsonConfig);
            g_jsonConfig = nullptr;
        }
        if (c.document)
            config(doc("", ""));
        setLoads(c.cpus, c.nb_gpus, c.gpu);
        EXPECT_EQ(get("/status").body, std::string("{\n  \"channels\": [\n\n  ],\n") + c.tail);
    }
}

TEST_F(CgiStatusTest, RowsEndAtTheFirstChannelThatFailsTheCheck)
{
    ASSERT_EQ(init(0), 0);
    config(doc("", channels(3)));
    {
        // the check is made on every answer, not only when the document is installed
        TovuConfigLock lock;
        cJSON_DeleteItemFromObjectCaseSensitive(tovuChannelItem(1), "input");
    }
    slot(2, TOVU_STATE_PREVIEW);
    setLoads({}, 0, 0);
    EXPECT_EQ(get("/status").body,
              "{\n  \"channels\": [\n    {\"state\": \"idle\", \"status\": \"IDLE\"}\n  ],\n"
              "  \"cpu\": []\n}\n");
}

TEST_F(CgiStatusTest, FileNamesWithBackslashesAndControlsStayValidJSON)
{
    // a folder source plays a file whose name JSON must escape (one with a
    // double quote is never played: the argument string could not carry it)
    const std::string name = "say 'hi' \\ back\tslash\x01.ts";
    const std::string folder = path("media");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    tovutest::write_file(folder + "/" + name, "x");
    ASSERT_EQ(init(0), 0);
    config(doc("", chan(src("file", folder), tgt("udp", "udp://127.0.0.1:5000"))));
    ASSERT_EQ(tovuStartChannel(0), 0);
    ASSERT_TRUE(wait_state(0, TOVU_STATE_RUNNING, 20000));

    HttpAnswer a = get("/status");
    cJSON *json = cJSON_Parse(a.body.c_str());
    ASSERT_NE(json, nullptr) << a.body;
    cJSON *row = cJSON_GetArrayItem(cJSON_GetObjectItem(json, "channels"), 0);
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(row, "state")), "running");
    EXPECT_EQ(std::string(cJSON_GetStringValue(cJSON_GetObjectItem(row, "status"))), name);
    EXPECT_NE(a.body.find("say 'hi' \\\\ back\\tslash\\u0001.ts"), std::string::npos) << a.body;
    cJSON_Delete(json);
}

TEST_F(CgiStatusTest, LongestEscapedTextsOnEveryChannelAndCpuFitTheAnswer)
{
    // sixteen channels play a file named with control characters only: each
    // 99-character status text grows sixfold when escaped, past the nominal
    // answer size, and every CPU slot is filled
    const std::string folder = path("media");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    tovutest::write_file(folder + "/" + std::string(120, '\x01'), "x");
    ASSERT_EQ(init(0), 0);
    std::string list;
    for (int i = 0; i < 16; i++)
        list += (i ? "," : "") + chan(src("file", folder), tgt("udp", "udp://127.0.0.1:5000"));
    config(doc("", list));
    for (int i = 0; i < 16; i++)
        ASSERT_EQ(tovuStartChannel(i), 0) << i;
    ASSERT_TRUE(tovutest::pollUntil([] {
        for (int i = 0; i < 16; i++)
            if (tovu_get_state(i) != TOVU_STATE_RUNNING)
                return false;
        return true;
    }, 30000));
    setLoads(std::vector<int>(TOVU_MAX_CPUS, 100), 1, 100);

    HttpAnswer a = get("/status");
    EXPECT_GT(a.body.size(), (size_t)TOVU_CGI_ANSWER_SIZE);
    cJSON *json = cJSON_Parse(a.body.c_str());
    ASSERT_NE(json, nullptr);
    cJSON *rows = cJSON_GetObjectItem(json, "channels");
    ASSERT_EQ(cJSON_GetArraySize(rows), 16);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(std::string(cJSON_GetStringValue(cJSON_GetObjectItem(cJSON_GetArrayItem(rows, i),
                                                                        "status"))),
                  std::string(TOVU_STATUS_TEXT_SIZE - 1, '\x01'))
            << i;
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(json, "cpu")), TOVU_MAX_CPUS);
    cJSON_Delete(json);
}

TEST_F(CgiStatusTest, ChannelRowsWaitForTheWebInterfaceMutex)
{
    ASSERT_EQ(init(0), 0);
    config(doc("", channels(1)));
    std::atomic<bool> answered{false};
    HttpAnswer a;
    g_cgi_mutex.lock();
    std::thread asker([&] {
        HttpClient other(server.port());
        other.get("/status", a);
        answered = true;
    });
    // the server's thread has the request and waits for the mutex
    EXPECT_TRUE(tovutest::waitUntil([] { return tovutest::threadsWaitingOnLocks() >= 1; }));
    EXPECT_FALSE(answered.load()); // held: no answer can have been made
    g_cgi_mutex.unlock();
    asker.join();
    EXPECT_EQ(a.status, 200);
    // and the answer released it
    EXPECT_TRUE(g_cgi_mutex.try_lock());
    g_cgi_mutex.unlock();
}

TEST_F(CgiStatusTest, RuntimeFactsWhateverTheConfiguration)
{
    config(doc("", channels(2)));
    HttpAnswer a = get("/runtime");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, std::string("{\n"
                                  "  \"app\": \"Tovumedia Live!\",\n"
                                  "  \"appAbbr\": \"TOVUL\",\n"
                                  "  \"title\": \"") +
                          tovuAppTitle() +
                          "\",\n"
                          "  \"version\": \"6.5.7.1b\",\n"
                          "  \"channels\": 16,\n"
                          "  \"website\": \"tovumedia.com\",\n"
                          "  \"email\": \"support@tovumedia.com\",\n"
                          "  \"platform\": \"linux\",\n"
                          "  \"previewPort\": 9528\n"
                          "}");
    EXPECT_EQ(a.header("Content-Type"), "application/json");
    EXPECT_EQ(a.header("Pragma"), "no-cache");
    EXPECT_EQ(a.header("Cache-Control"), "no-cache");
    EXPECT_EQ(a.header("Connection"), "Keep-Alive");
    EXPECT_LT(a.indexOf("Connection"), a.indexOf("Pragma"));
    EXPECT_LT(a.indexOf("Cache-Control"), a.indexOf("Content-Type"));
}

TEST_F(CgiStatusTest, KeptAliveAnswersSayKeepAliveFirstOnHttp11)
{
    // browsers ask in HTTP/1.1, where the library drops an ordinary
    // "Connection" header: every answer must still name it, before its own
    config(doc("", channels(1)));
    const struct {
        const char *target;
        const char *next; // the answer's first header of its own
    } cases[] = {
        {"/status", "Pragma"},
        {"/runtime", "Pragma"},
        {"/index.html", "Content-Type"},
        {"/config?dl=1", "Content-Type"},
    };
    HttpClient http11(server.port());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.target);
        HttpAnswer a;
        ASSERT_TRUE(http11.get(c.target, a));
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(a.header("Connection"), "Keep-Alive");
        EXPECT_LT(a.indexOf("Connection"), a.indexOf(c.next));
    }
}

TEST_F(CgiStatusTest, FileNamesThatAreNotUtf8GiveUtf8JSON)
{
    // a file named in a single-byte character set: the answer is still
    // UTF-8, as JSON must be, with the stray byte as U+FFFD
    const std::string folder = path("media");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    tovutest::write_file(folder + "/caf\xe9.ts", "x");
    ASSERT_EQ(init(0), 0);
    config(doc("", chan(src("file", folder), tgt("udp", "udp://127.0.0.1:5000"))));
    ASSERT_EQ(tovuStartChannel(0), 0);
    ASSERT_TRUE(wait_state(0, TOVU_STATE_RUNNING, 20000));
    EXPECT_NE(get("/status").body.find("{\"state\": \"running\", \"status\": \"caf\\ufffd.ts\"}"),
              std::string::npos);
}
