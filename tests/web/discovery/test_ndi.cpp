// NDI source discovery against the runtime's stand-in, through a real web
// server: the answer texts, the calls made, and the quiet time that ends a
// search (measured; the figures are lower bounds, which a busy machine can
// only exceed).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/discovery_http.h"
#include "tovu_config.h"
#include "tovu_ndi.h"

namespace {

const char kEmptyAnswer[] = "{ \"sources\": [\n ]\n}\n";
const char kCreate[] = "find_create local=1 groups=null extra_ips=null";

using Clock = std::chrono::steady_clock;

// The stand-in's sources and its record of calls, in two files of this test.
class Runtime {
public:
    Runtime() : sources_(tempFile()), log_(tempFile())
    {
        setenv("TOVU_STANDIN_NDI_SOURCES", sources_.c_str(), 1);
        setenv("TOVU_STANDIN_NDI_LOG", log_.c_str(), 1);
    }
    ~Runtime()
    {
        unsetenv("TOVU_STANDIN_NDI_SOURCES");
        unsetenv("TOVU_STANDIN_NDI_LOG");
        unlink(sources_.c_str());
        unlink(log_.c_str());
    }
    void set(const std::string &directives) const
    {
        std::ofstream(sources_) << directives;
        std::ofstream(log_, std::ios::trunc);
    }
    std::vector<std::string> calls() const
    {
        std::vector<std::string> lines;
        std::ifstream in(log_);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }

private:
    static std::string tempFile()
    {
        char tmpl[] = "/tmp/tovu_ndi_XXXXXX";
        int fd = mkstemp(tmpl);
        close(fd);
        return tmpl;
    }
    std::string sources_, log_;
};

int answer(struct MHD_Connection *conn, const char *args)
{
    return tovuCGINDIConfig(args, conn);
}

struct Timed {
    disco::Answer answer;
    long ms;
};

Timed ask(const disco::AnswerServer &server, const std::string &query)
{
    Clock::time_point start = Clock::now();
    disco::Answer a = disco::httpGet(server.port(), "/ndi_config" + query);
    long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                  .count();
    return {a, ms};
}

std::string line(const std::string &name, const std::string &addr)
{
    return "  { \"name\": \"" + name + "\", \"addr\": \"" + addr + "\" }\n";
}

TEST(NdiDiscovery, AnswersByteForByte)
{
    const std::string one = "0\tCAM-1 (Studio)\thttp://10.0.0.7:5961\n";
    const std::string two = one + "0\tPC (Playout 2)\t10.0.0.8:5962\n";
    const std::vector<std::string> fullSearch2 = {
        "initialize", kCreate, "wait 1000 changed", "wait 1000 quiet",
        "get_current_sources 2", "find_destroy", "destroy"};
    struct Case {
        const char *what;
        std::string directives;
        std::string expected;
        std::vector<std::string> calls; // empty: not looked at
    } cases[] = {
        {"nothing found", "", kEmptyAnswer,
         {"initialize", kCreate, "wait 1000 quiet", "get_current_sources 0", "find_destroy",
          "destroy"}},
        {"one source", one,
         "{ \"sources\": [\n" + line("CAM-1 (Studio)", "http://10.0.0.7:5961") + "\n ]\n}\n",
         {}},
        {"two sources", two,
         "{ \"sources\": [\n" + line("CAM-1 (Studio)", "http://10.0.0.7:5961") + ",\n" +
             line("PC (Playout 2)", "10.0.0.8:5962") + "\n ]\n}\n",
         fullSearch2},
        {"runtime cannot be initialised", "initialize-fails\n" + two, kEmptyAnswer,
         {"initialize"}},
        {"no finder", "finder-fails\n" + two, kEmptyAnswer, {"initialize", kCreate, "destroy"}},
    };
    Runtime runtime;
    disco::AnswerServer server(answer);
    ASSERT_TRUE(server.ok());
    for (const Case &c : cases) {
        runtime.set(c.directives);
        Timed t = ask(server, "?timeout=1");
        EXPECT_EQ(t.answer.status, 200) << c.what;
        EXPECT_EQ(t.answer.body, c.expected) << c.what;
        if (!c.calls.empty()) {
            EXPECT_EQ(runtime.calls(), c.calls) << c.what;
        }
    }

    disco::expectDiscoveryHeaders(ask(server, "?timeout=1").answer);
}

// on the stand-in's time, which runs ten times as fast: the waits asked for
// are read from its record of calls, the time an answer took is scaled back
TEST(NdiDiscovery, QuietTimeEndsTheSearch)
{
    const std::string fast = "speed\t10\n";
    const long speed = 10;
    Runtime runtime;
    disco::AnswerServer server(answer);
    ASSERT_TRUE(server.ok());

    // a source that comes within the quiet time lengthens the search by it
    runtime.set(fast + "0\tA\ta:1\n600\tB\tb:2\n");
    Timed t = ask(server, "?timeout=1");
    EXPECT_EQ(t.answer.body,
              "{ \"sources\": [\n" + line("A", "a:1") + ",\n" + line("B", "b:2") + "\n ]\n}\n");
    EXPECT_EQ(runtime.calls(),
              (std::vector<std::string>{"initialize", kCreate, "wait 1000 changed",
                                        "wait 1000 changed", "wait 1000 quiet",
                                        "get_current_sources 2", "find_destroy", "destroy"}));
    EXPECT_GE(t.ms * speed, 1600);
    printf("timeout=1, sources at 0 and 600 ms: answered after %ld ms of the stand-in's time\n",
           t.ms * speed);

    // one that comes after a whole quiet wait is not waited for
    runtime.set(fast + "0\tA\ta:1\n1500\tB\tb:2\n");
    t = ask(server, "?timeout=1");
    EXPECT_EQ(t.answer.body, "{ \"sources\": [\n" + line("A", "a:1") + "\n ]\n}\n");
    EXPECT_GE(t.ms * speed, 1000);
    printf("timeout=1, sources at 0 and 1500 ms: answered after %ld ms of the stand-in's time\n",
           t.ms * speed);

    // without an argument the quiet time is five seconds
    runtime.set(fast);
    t = ask(server, "");
    EXPECT_EQ(t.answer.body, kEmptyAnswer);
    EXPECT_EQ(runtime.calls(),
              (std::vector<std::string>{"initialize", kCreate, "wait 5000 quiet",
                                        "get_current_sources 0", "find_destroy", "destroy"}));
    EXPECT_GE(t.ms * speed, 5000);
    printf("no timeout, no sources: answered after %ld ms of the stand-in's time\n", t.ms * speed);
}

TEST(NdiDiscovery, WaitOutsideItsBoundsIsBounded)
{
    Runtime runtime;
    disco::AnswerServer server(answer);
    ASSERT_TRUE(server.ok());
    // a negative wait would become weeks as an unsigned product
    for (const char *query : {"?timeout=0", "?timeout=-1", "?timeout=-2147483648"}) {
        runtime.set("");
        Timed t = ask(server, query);
        EXPECT_EQ(t.answer.body, kEmptyAnswer) << query;
        std::vector<std::string> calls = runtime.calls();
        ASSERT_GE(calls.size(), 3u) << query;
        EXPECT_EQ(calls[2], "wait 1000 quiet") << query;
    }
}

TEST(NdiDiscovery, SourcesThatNeverSettleCannotHoldTheSearch)
{
    Runtime runtime;
    runtime.set("flap\t50\tBlinker\tb:1\n");
    TOVU_NDI ndi;
    memset(&ndi, 0, sizeof ndi);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(tovuEnumNDIWithin(&ndi, 200, 600), 0);
    long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                  .count();
    EXPECT_GE(ms, 600);
    size_t waits = 0;
    for (const std::string &call : runtime.calls())
        waits += call.rfind("wait ", 0) == 0;
    EXPECT_GE(waits, 2u);
    printf("a source changing every 50 ms, search capped at 600 ms: %ld ms, %zu waits\n", ms,
           waits);
}

TEST(NdiDiscovery, HostileNamesKeepTheAnswerJson)
{
    const std::string name = "EVIL \"host\" \\ <script>alert(1)</script>\x01";
    const std::string addr = "http://\"x\"/\\";
    Runtime runtime;
    runtime.set("0\t" + name + "\t" + addr + "\n0\tplain\tp:1\n");
    disco::AnswerServer server(answer);
    ASSERT_TRUE(server.ok());
    disco::Answer a = ask(server, "?timeout=1").answer;
    cJSON *doc = cJSON_Parse(a.body.c_str());
    ASSERT_NE(doc, nullptr) << a.body;
    cJSON *sources = cJSON_GetObjectItem(doc, "sources");
    ASSERT_EQ(cJSON_GetArraySize(sources), 2);
    cJSON *first = cJSON_GetArrayItem(sources, 0);
    const char *gotName = cJSON_GetStringValue(cJSON_GetObjectItem(first, "name"));
    const char *gotAddr = cJSON_GetStringValue(cJSON_GetObjectItem(first, "addr"));
    EXPECT_EQ(gotName ? std::string(gotName) : "", name);
    EXPECT_EQ(gotAddr ? std::string(gotAddr) : "", addr);
    cJSON_Delete(doc);
}

TEST(NdiDiscovery, FullRecordIsAnsweredWhole)
{
    // more sources than the record holds, with names and addresses too long for it
    std::string directives;
    for (int i = 0; i < 25; i++)
        directives += "0\t" + std::string(1500, (char)('a' + i)) + "\t" +
                      std::string(1200, (char)('A' + i)) + "\n";
    Runtime runtime;
    runtime.set(directives);
    disco::AnswerServer server(answer);
    ASSERT_TRUE(server.ok());
    disco::Answer a = ask(server, "?timeout=1").answer;
    cJSON *doc = cJSON_Parse(a.body.c_str());
    ASSERT_NE(doc, nullptr);
    cJSON *sources = cJSON_GetObjectItem(doc, "sources");
    ASSERT_EQ(cJSON_GetArraySize(sources), TOVU_NDI_MAX_SOURCES);
    for (int i = 0; i < TOVU_NDI_MAX_SOURCES; i++) {
        cJSON *s = cJSON_GetArrayItem(sources, i);
        const char *n = cJSON_GetStringValue(cJSON_GetObjectItem(s, "name"));
        const char *ad = cJSON_GetStringValue(cJSON_GetObjectItem(s, "addr"));
        EXPECT_EQ(n ? std::string(n) : "", std::string(999, (char)('a' + i)));
        EXPECT_EQ(ad ? std::string(ad) : "", std::string(999, (char)('A' + i)));
    }
    cJSON_Delete(doc);
}

} // namespace
