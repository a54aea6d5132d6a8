// Channel requests through the real server: start, stop and the answers of
// failed starts, against the engine on the fake transcoder.
#include <sys/stat.h>

#include <algorithm>

#include "fixtures/cgi_test_util.h"
#include "fixtures/channel_docs.h"
#include "fixtures/channel_fixture.h"
#include "tovu_document.h"

using namespace cgitest;
using namespace chantest;

namespace {

class CgiChannel : public ChannelTest {
protected:
    static void SetUpTestSuite() { tovuSharedPrivateNetwork(); }
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << kNeedsRoot;
        ASSERT_TRUE(tovuSharedPrivateNetwork()) << "needs root: private network namespace";
        ChannelTest::SetUp();
        tovuSetConfigPath(dir.c_str());
    }
    void TearDown() override
    {
        tovuStopCGI();
        ChannelTest::TearDown();
    }
    void serve(const std::string &json)
    {
        config(json);
        ASSERT_TRUE(tovuStartCGI());
    }
    // "enable" of channel i in the saved file: "true", "false" or "absent"
    std::string savedEnable(int i)
    {
        cJSON *saved = cJSON_Parse(cfgtest::readFile(path("tovul.json")).c_str());
        cJSON *item = jsonGetItem(tovuDocChannel(saved, i), "enable");
        std::string out = !item ? "absent" : cJSON_IsTrue(item) ? "true" : "false";
        cJSON_Delete(saved);
        return out;
    }
};

const std::string kChannel = chan(src("udp", "udp://127.0.0.1:4000"), tgt("udp", "udp://127.0.0.1:5000"));

} // namespace

TEST_F(CgiChannel, StartIsIdempotentAndOtherActionsDoNothing)
{
    ASSERT_EQ(init(1), 0);
    serve(doc("", kChannel + "," + kChannel));

    Reply r = get("/channel1?START");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");
    EXPECT_FALSE(handedOver().empty());
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_RUNNING);
    EXPECT_EQ(savedEnable(0), "true");

    // a running channel is left alone; only "enable" is written again
    {
        TovuConfigLock lock;
        tovuSetMemberBool(tovuChannelItem(0), "enable", false);
    }
    r = get("/channel1?start");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(savedEnable(0), "true");
    std::string rec = tovutest::read_file(path("stdin.rec"));
    EXPECT_EQ(std::count(rec.begin(), rec.end(), '\n'), 1) << rec;

    for (const char *target : {"/channel2?start=1", "/channel2?foo", "/channel2", "/channel2?start&x"}) {
        r = get(target);
        EXPECT_EQ(r.status, 200) << target;
        EXPECT_EQ(r.body, "") << target;
        EXPECT_EQ(tovuGetChannelState(1), TOVU_STATE_IDLE) << target;
        EXPECT_EQ(savedEnable(1), "absent") << target;
    }
}

TEST_F(CgiChannel, SecondStopWhileStoppingKills)
{
    fake_conf("FAKE_HOLD=-1\nFAKE_IGNORE_INT=1\n");
    ASSERT_EQ(init(1), 0);
    serve(doc("", kChannel));
    ASSERT_EQ(get("/channel1?start").status, 200);
    ASSERT_FALSE(handedOver().empty());

    Reply r = get("/channel1?stop");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(savedEnable(0), "false");
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_STOPPING);
    EXPECT_NE(log_text(0).find("stop transcoding"), std::string::npos);
    EXPECT_EQ(log_text(0).find("stop transcoding forcedly"), std::string::npos);
    // it ignores the interrupt and keeps running
    for (int i = 0; i < 10; ++i)
        tovu_poll();
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_STOPPING);

    r = get("/channel1?stop");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(log_text(0).find("stop transcoding forcedly"), std::string::npos);
    EXPECT_TRUE(tovutest::pollUntil([] {
        tovu_poll();
        return tovuGetChannelState(0) == TOVU_STATE_IDLE;
    }, 10000));
}

// A start or stop that changes a channel's "enable" changes the document in
// use: it takes a new number, which the answer carries, so that an upload
// from a copy made before it cannot put the old "enable" back unawares. One
// that leaves "enable" as it was keeps the number.
TEST_F(CgiChannel, EnableChangesRenumberTheDocument)
{
    ASSERT_EQ(init(1), 0);
    serve(doc("", kChannel));
    const std::string v0 = get("/config").header("x-config-version");
    ASSERT_FALSE(v0.empty());

    Reply started = get("/channel1?start");
    ASSERT_EQ(started.status, 200);
    const std::string v1 = started.header("x-config-version");
    EXPECT_EQ(std::stoull(v1), std::stoull(v0) + 1);
    EXPECT_EQ(get("/config").header("x-config-version"), v1);
    EXPECT_EQ(get("/channel1?start").header("x-config-version"), v1);
    EXPECT_EQ(get("/channel1?preview").header("x-config-version"), v1);

    // a copy from before the start is refused, and the channel stays enabled
    Reply stale = post("/config", doc("", kChannel), "X-Config-Version: " + v0 + "\r\n");
    EXPECT_EQ(stale.status, 409) << stale.body;
    EXPECT_EQ(savedEnable(0), "true");

    Reply stopped = get("/channel1?stop");
    ASSERT_EQ(stopped.status, 200);
    EXPECT_EQ(std::stoull(stopped.header("x-config-version")), std::stoull(v1) + 1);
    EXPECT_EQ(post("/config", doc("", kChannel), "X-Config-Version: " + v1 + "\r\n").status, 409);
}

// A refused start answers 400 with its code's text, then the cause that the
// channel log got; a refusal without a text of its own still says why.
TEST_F(CgiChannel, FailedStartsAnswer400WithTheirReason)
{
    ASSERT_EQ(init(1), 0);
    std::string emptyFolder = path("empty");
    ASSERT_EQ(mkdir(emptyFolder.c_str(), 0755), 0);
    struct Case {
        std::string channel;
        std::string body;
    } cases[] = {
        {chan(src("file", emptyFolder), tgt("udp", "udp://127.0.0.1:5000")),
         "source url not valid: channel start: no file in folder " + emptyFolder},
        // bound to channel 1, which has fewer targets
        {chan(src("udp", "udp://127.0.0.1:4001") + ",{\"bind\":1}",
              tgt("udp", "udp://127.0.0.1:5001") + "," + tgt("udp", "udp://127.0.0.1:5002")),
         "target url not valid: channel start: channel 1 has 1 targets, fewer than the 2 of "
         "channel 3"},
        {chan(src("udp", "udp://127.0.0.1:4002"), tgt("file", "/tmp/a\\\"b.ts")),
         "channel start refused (-15): channel 4 target \"url\" holds a double quote"},
        {chan(src("udp", "udp://127.0.0.1:4003\\n-y"), tgt("udp", "udp://127.0.0.1:5003")),
         "channel start refused (-15): channel 5 source \"url\" holds a line break"},
        {chan(src("udp", "udp://127.0.0.1:4004"), tgt("udp", "udp://127.0.0.1:5004/" + std::string(1200, 'x'))),
         "channel start refused (-16): channel 6 target \"url\" is too long for the option text it "
         "fills"},
    };
    std::string channels = kChannel;
    for (const Case &c : cases)
        channels += "," + c.channel;
    serve(doc("", channels));
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        std::string target = "/channel" + std::to_string(i + 2) + "?start";
        Reply r = get(target);
        EXPECT_EQ(r.status, 400) << target;
        EXPECT_EQ(r.body, cases[i].body) << target;
        // the same cause, in the log
        EXPECT_NE(log_text(static_cast<int>(i) + 1).find(cases[i].body.substr(cases[i].body.find("channel "))),
                  std::string::npos)
            << target;
        // enabled all the same, so the supervision retries it
        EXPECT_EQ(savedEnable(static_cast<int>(i) + 1), "true") << target;
    }

    tovu_free();
    Reply r = get("/channel1?start");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "not initialized");
}

// Each start code's answer: the fixed texts stay as scripts know them, and
// no refusal is answered without a word.
TEST(CgiStartRefusal, EachCodeHasItsAnswer)
{
    struct Case {
        int code;
        const char *cause;
        const char *answer;
    } cases[] = {
        {0, "", ""},
        {TOVU_ERR_NOT_INIT, "", "not initialized"},
        {TOVU_ERR_INVALID_SLOT, "", "invalid channel"},
        {TOVU_ERR_BUSY, "start refused: slot 2 is busy (state 2)",
         "channel busy: start refused: slot 2 is busy (state 2)"},
        {TOVU_ERR_PIPE, "", "channel start refused (-5)"},
        {TOVU_ERR_RTP_INPUT, "x", "x"},
        {TOVU_ERR_NO_SOURCE_URL, "", "source url not valid"},
        {TOVU_ERR_NO_TARGET_URL, "", "target url not valid"},
        {TOVU_ERR_NO_ENCODER, "y", "target codec not valid: y"},
        {TOVU_ERR_BAD_TARGET_FORMAT, "", "channel start refused (-10)"},
        {TOVU_ERR_LOG, "", "channel start refused (-12)"},
        {TOVU_ERR_FORK, "", "channel start refused (-13)"},
        {TOVU_ERR_ARGS_TOO_LONG, "", "channel start refused (-14)"},
        {TOVU_ERR_LINE_BREAK, "", "channel start refused (-15)"},
        {TOVU_ERR_TEXT_TOO_LONG, "", "channel start refused (-16)"},
        {-99, "", "channel start refused (-99)"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tovuCGIStartRefusal(c.code, c.cause), c.answer) << c.code;
}

TEST_F(CgiChannel, PreviewOnlyFromIdle)
{
    ASSERT_EQ(init(0), 0);
    serve(doc("", kChannel));
    Reply r = get("/channel1?preview");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");
    EXPECT_FALSE(handedOver().empty());
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_PREVIEW);
    EXPECT_EQ(get("/channel1?preview").status, 200);
    std::string rec = tovutest::read_file(path("stdin.rec"));
    EXPECT_EQ(std::count(rec.begin(), rec.end(), '\n'), 1) << rec;
    // a preview leaves "enable" alone
    EXPECT_EQ(savedEnable(0), "absent");
}

// With the configuration folder read-only, start and stop still do what they
// were asked; each failed save is printed with its cause.
TEST_F(CgiChannel, FailedSavesAreLoggedAndTheRequestIsDone)
{
    ASSERT_EQ(init(1), 0);
    cfgtest::TempDir cfg;
    tovuSetConfigPath(cfg.path().c_str());
    StdoutCapture out(path("stdout"));
    ReadOnlyFolder readOnly(cfg.path());
    ASSERT_TRUE(readOnly.ok()) << "needs root: private mount namespace";
    serve(doc("", kChannel + "," + chan(src("udp", "udp://127.0.0.1:4002"), tgt("file", "/tmp/a\\\"b.ts"))));

    // done, and the answer says that it will not last
    const std::string notKept = "the change is in use but will not survive a restart: the "
                                "configuration could not be saved: Read-only file system";
    Reply r = get("/channel1?start");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, notKept);
    EXPECT_FALSE(handedOver().empty());
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_RUNNING);
    r = get("/channel1?stop");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, notKept);
    // a refusal first, then the save
    r = get("/channel2?start");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "channel start refused (-15): channel 2 target \"url\" holds a double quote\n" +
                          notKept);
    EXPECT_TRUE(tovutest::pollUntil([] {
        tovu_poll();
        return tovuGetChannelState(0) == TOVU_STATE_IDLE;
    }, 10000));
    {
        TovuConfigLock lock;
        EXPECT_TRUE(cJSON_IsFalse(jsonGetItem(tovuChannelItem(0), "enable")));
    }
    EXPECT_EQ(access((cfg / "tovul.json").c_str(), F_OK), -1);

    std::string text = out.text();
    for (const char *action : {"start", "stop"})
        EXPECT_NE(text.find(std::string("TOVUL: channel 1 ") + action +
                            ": the configuration could not be saved to " + cfg.path() +
                            "/tovul.json: Read-only file system"),
                  std::string::npos)
            << text;
}

// Apply refuses a channel that a start would refuse for its texts, naming the
// channel, the field and the character, as the start's answer does; nothing
// of it is taken, and no playlist or log is touched by the check.
TEST_F(CgiChannel, UploadOfAChannelAStartWouldRefuseIsRefused)
{
    ASSERT_EQ(init(1), 0);
    std::string folder = path("media");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    cfgtest::writeFile(folder + "/a.ts", "x");
    const std::string good = doc("", kChannel + "," + chan(src("file", folder), tgt("udp", "udp://127.0.0.1:5001")));
    serve(good);
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    const std::string file = cfgtest::readFile(path("tovul.json"));
    const std::string tail = ", which a start of the channel refuses";
    struct Case {
        std::string channel;
        std::string why;
    } cases[] = {
        {chan(src("udp", "udp://127.0.0.1:4002"), tgt("file", "/tmp/a\\\"b.ts")),
         "channel 2 target \"url\" holds a double quote"},
        {chan(src("udp", "udp://127.0.0.1:4003\\r"), tgt("udp", "udp://127.0.0.1:5003")),
         "channel 2 source \"url\" holds a line break"},
        {chan(src("udp", "udp://127.0.0.1:4004"), tgt("udp", "udp://127.0.0.1:5004"), ",\"customOptions\":\"-a\\n-b\""),
         "channel 2 input \"customOptions\" holds a line break"},
        {chan(src("udp", "udp://127.0.0.1:4004"), tgt("udp", "udp://127.0.0.1:5004/" + std::string(1200, 'x'))),
         "channel 2 target \"url\" is too long for the option text it fills"},
        // a folder's own path with a quote in it
        {chan(src("file", folder + "\\\"x"), tgt("udp", "udp://127.0.0.1:5005")),
         "channel 2 source \"url\" holds a double quote"},
    };
    for (const Case &c : cases) {
        Reply r = post("/config", doc("", kChannel + "," + c.channel));
        EXPECT_EQ(r.status, 400) << c.why;
        EXPECT_EQ(r.body, "the change was not applied: " + c.why + tail) << c.why;
        EXPECT_EQ(cfgtest::readFile(path("tovul.json")), file) << c.why;
        TovuConfigLock lock;
        EXPECT_EQ(tovuChannelCount(), 2) << c.why;
    }
    EXPECT_EQ(log_text(1), "");
    EXPECT_EQ(post("/config", good).status, 200);
}

// An upload that takes out running channels stops them as a stop request
// would, before it answers.
TEST_F(CgiChannel, UploadThatRemovesRunningChannelsStopsThem)
{
    fake_conf("FAKE_HOLD=-1\n");
    ASSERT_EQ(init(1), 0);
    serve(doc("", kChannel + "," + kChannel + "," + kChannel));
    for (const char *target : {"/channel1?start", "/channel2?start", "/channel3?start"})
        ASSERT_EQ(get(target).status, 200) << target;

    Reply r = post("/config", doc("", kChannel));
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_RUNNING);
    for (int i : {1, 2}) {
        EXPECT_EQ(tovu_get_state(i), TOVU_STATE_STOPPING) << i;
        EXPECT_NE(log_text(i).find("stop transcoding"), std::string::npos) << i;
    }
    EXPECT_TRUE(tovutest::pollUntil([] {
        tovu_poll();
        return tovu_get_state(1) == TOVU_STATE_IDLE && tovu_get_state(2) == TOVU_STATE_IDLE;
    }, 10000));
    EXPECT_EQ(tovuGetChannelState(0), TOVU_STATE_RUNNING);
}
