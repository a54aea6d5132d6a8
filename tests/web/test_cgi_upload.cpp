// The configuration upload's refusals and its failed save: an upload is
// either in use and stored, or refused with a text that says why, and then
// nothing of it is left behind (document, file, engine settings, server).
#include "fixtures/cgi_test_util.h"
#include "fixtures/engine_setup.h"
#include "tovu_testing.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

using namespace cgitest;

namespace {

const std::string kPassword = "pw";
const std::string kCookie = "Cookie: auth=" + kPassword + "\r\n";
const std::string kNotApplied = "the change was not applied: ";

std::string doc(const std::string &global)
{
    return "{\"name\": \"t\", \"global\": {\"loginPass\": \"" + kPassword + "\"" +
           (global.empty() ? "" : ", ") + global + "}, \"channels\": []}";
}

std::string document()
{
    TovuConfigLock lock;
    return cfgtest::compact(g_jsonConfig);
}

// the upload was not taken: the same document in memory and on disk, and
// the login as it was
void expectUnchanged(const std::string &what, const std::string &before, const std::string &file,
                     const std::string &path)
{
    EXPECT_EQ(document(), before) << what;
    EXPECT_EQ(cfgtest::readFile(path), file) << what;
    EXPECT_EQ(get("/status").header("content-type"), "text/html") << what;
    EXPECT_EQ(get("/status", kCookie).header("content-type"), "application/json") << what;
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

// Anything but an object at the top would be a document without settings,
// the password with them: refused with 400, whether uploaded or imported.
TEST_F(CgiServer, UploadThatIsNotAnObjectIsRefused)
{
    install(doc("\"memo\": \"kept\""));
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    const std::string before = document();
    const std::string file = cfgtest::readFile(configFile());
    start();

    for (const char *target : {"/config", "/config?import"}) {
        for (const char *body : {"0", "null", "[1,2,3]", "\"text\"", "true", " \r\n[{}]"}) {
            std::string what = std::string(target) + " " + body;
            Reply r = post(target, body, kCookie);
            EXPECT_EQ(r.status, 400) << what;
            EXPECT_EQ(r.header("content-type"), "text/plain") << what;
            EXPECT_EQ(r.body, kNotApplied + "the configuration is not a JSON object") << what;
            EXPECT_FALSE(r.has("set-cookie")) << what;
            expectUnchanged(what, before, file, configFile());
        }
    }
}

// A rule that does not read as written is named, with its reason; the rules
// that read keep their meaning (the verdict table of the server's tests).
TEST(CgiAcl, UnreadableRulesAreNamed)
{
    struct Case {
        const char *acl;
        std::vector<std::string> rules;   // the rules named, in order
        const char *reason;               // part of the first reason
    } cases[] = {
        {"", {}, ""},
        {"allow all deny 10.0.0.0/8 allow 10.1.2.3/32 DENY ALL Allow 0.0.0.0/0", {}, ""},
        {"deny 10.0.0.5/24\r\nallow 255.255.255.255/00\n", {}, ""},
        {"deny 127.1", {"deny 127.1"}, "\"127.1\" is neither \"all\" nor an IPv4 address"},
        {"deny 0127.0.0.1", {"deny 0127.0.0.1"}, "without leading zeros"},
        {"deny 256.0.0.1 deny 1.2.3.4.5 deny ::1 deny localhost",
         {"deny 256.0.0.1", "deny 1.2.3.4.5", "deny ::1", "deny localhost"}, "\"256.0.0.1\""},
        {"deny 10.0.0.0/33", {"deny 10.0.0.0/33"}, "the prefix length \"33\" is not a number from 0 to 32"},
        {"deny 10.0.0.0/ deny 10.0.0.0/x deny 10.0.0.0/-1 deny 10.0.0.0/+8 deny 10.0.0.0/008",
         {"deny 10.0.0.0/", "deny 10.0.0.0/x", "deny 10.0.0.0/-1", "deny 10.0.0.0/+8",
          "deny 10.0.0.0/008"},
         "the prefix length \"\""},
        {"deny all/8", {"deny all/8"}, "\"all\" takes no prefix length"},
        {"block 1.2.3.4 allow 5.6.7.8", {"block 1.2.3.4"}, "\"block\" is neither \"allow\" nor \"deny\""},
        {"deny 1.2.3.4 deny", {"deny"}, "no address follows \"deny\""},
        {"deny\t1.2.3.4", {"deny\\x091.2.3.4"}, "no address follows"},
        {"deny1.2.3.4 allow 5.6.7.8", {"deny1.2.3.4 allow", "5.6.7.8"}, "neither \"allow\""},
        {"deny 1.2.3.\x1b[2J", {"deny 1.2.3.\\x1b[2J"}, ""},
    };
    for (const Case &c : cases) {
        std::vector<TovuAclProblem> problems = tovuCGIAclProblems(c.acl);
        std::vector<std::string> rules;
        for (const TovuAclProblem &p : problems)
            rules.push_back(p.rule);
        EXPECT_EQ(rules, c.rules) << c.acl;
        if (!problems.empty()) {
            EXPECT_NE(problems[0].reason.find(c.reason), std::string::npos)
                << c.acl << ": " << problems[0].reason;
        }
    }

    // a long word is cut in the message, not inside a UTF-8 character
    std::string longWord = "deny " + std::string(63, '1') + "\xc3\xa9" + std::string(500, '2');
    std::vector<TovuAclProblem> problems = tovuCGIAclProblems(longWord.c_str());
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rule, "deny " + std::string(63, '1') + "...");
}

// An upload whose rules do not all read is refused with 400 naming them; the
// import too. Readable rules are taken, and act at the next connection.
TEST_F(CgiServer, UploadWithUnreadableAclIsRefused)
{
    install(doc("\"ipACL\": \"allow all\""));
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    const std::string before = document();
    const std::string file = cfgtest::readFile(configFile());
    start();

    struct Case {
        const char *acl;     // as JSON
        std::string answer;
    } refused[] = {
        {"\"deny 127.1\"",
         "the \"ipACL\" rule \"deny 127.1\" cannot be read: \"127.1\" is neither \"all\" nor an "
         "IPv4 address of four numbers from 0 to 255 without leading zeros"},
        {"\"allow 127.0.0.1\\ndeny 0127.0.0.2 deny 127.0.0.0/33\"",
         "the \"ipACL\" rule \"deny 0127.0.0.2\" cannot be read: \"0127.0.0.2\" is neither \"all\" "
         "nor an IPv4 address of four numbers from 0 to 255 without leading zeros; the \"ipACL\" "
         "rule \"deny 127.0.0.0/33\" cannot be read: the prefix length \"33\" is not a number "
         "from 0 to 32"},
        {"[\"deny all\"]", "the \"ipACL\" setting is not a text"},
    };
    for (const Case &c : refused) {
        for (const char *target : {"/config", "/config?import"}) {
            std::string what = std::string(target) + " " + c.acl;
            Reply r = post(target, doc(std::string("\"ipACL\": ") + c.acl), kCookie);
            EXPECT_EQ(r.status, 400) << what;
            EXPECT_EQ(r.header("content-type"), "text/plain") << what;
            EXPECT_EQ(r.body, kNotApplied + c.answer) << what;
            expectUnchanged(what, before, file, configFile());
        }
    }

    // a great many are named in part
    std::string many;
    for (int i = 0; i < 50; ++i)
        many += "deny 10.0.0." + std::to_string(i) + "/40 ";
    Reply r = post("/config", doc("\"ipACL\": \"" + many + "\""), kCookie);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(count(r.body, "cannot be read"), 10u) << r.body;
    EXPECT_NE(r.body.find("; and 40 more such rules"), std::string::npos) << r.body;

    Reply ok = post("/config", doc("\"ipACL\": \"allow all\\r\\ndeny 127.0.0.9/32\""), kCookie);
    EXPECT_EQ(ok.status, 200) << ok.body;
    EXPECT_EQ(get("/", "", "127.0.0.9").status, -1);
    EXPECT_EQ(get("/", "", "127.0.0.8").status, 200);
}

// A document loaded at start-up is not refused: each rule that does not read
// is printed once when the server starts, not at every connection, and keeps
// the effect it has (here none).
TEST_F(CgiServer, UnreadableAclRulesArePrintedOnceAtStart)
{
    install(doc("\"ipACL\": \"allow 127.0.0.1 deny 127.1 deny 0127.0.0.1 deny 127.0.0.0/33\""));
    cfgtest::TempDir outDir;
    std::string text;
    {
        StdoutCapture out(outDir / "stdout");
        start();
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(get("/", "", "127.0.0.1").status, 200);
        text = out.text();
    }
    for (const char *rule : {"deny 127.1", "deny 0127.0.0.1", "deny 127.0.0.0/33"})
        EXPECT_EQ(count(text, std::string("TOVUL: the \"ipACL\" rule \"") + rule +
                                  "\" cannot be read: "),
                  1u)
            << rule << "\n" << text;
    EXPECT_EQ(count(text, "cannot be read"), 3u) << text;
}

// A save that fails (no folder, a file where the folder should be, a
// read-only folder) answers 500 with the cause, and nothing of the upload is
// left: not the document, the password, the engine's settings, nor the
// restart for the new port. A later save writes the previous document.
TEST_F(CgiServer, FailedSaveOfAnUploadIsNotApplied)
{
    struct Cause {
        const char *what;
        int error;
    } causes[] = {
        {"missing folder", ENOENT},
        {"a file in place of the folder", ENOTDIR},
        {"read-only folder", EROFS},
    };
    // the engine's settings are looked at, so there must be an engine
    cfgtest::TempDir engineDir;
    ASSERT_TRUE(tovutest::installFakeTranscoder(engineDir.path(), tovutest::progressFakeConf("1")));
    ASSERT_EQ(tovutest::initEngine(engineDir.path(), engineDir.path(), 0), 0);
    struct EngineFree {
        ~EngineFree() { tovu_free(); }
    } engineFree;
    const std::string upload =
        "{\"name\": \"t\", \"global\": {\"loginPass\": \"new\", \"memo\": \"unsaved\", \"log\": 32,"
        " \"omxPath\": \"/opt/omx/core.so\", \"httpPort\": 9600}, \"channels\": []}";
    for (const Cause &c : causes) {
        SCOPED_TRACE(c.what);
        cfgtest::TempDir base;
        std::string folder = base / "etc";
        std::unique_ptr<ReadOnlyFolder> readOnly;
        if (c.error == ENOTDIR)
            cfgtest::writeFile(folder, "");
        else
            ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        tovuSetConfigPath(folder.c_str());
        install(doc("\"memo\": \"old\", \"log\": 0"));
        const std::string path = folder + "/tovul.json";
        if (c.error == EROFS) {
            ASSERT_EQ(tovuExportConfig(nullptr), 0);
            readOnly.reset(new ReadOnlyFolder(folder));
            ASSERT_TRUE(readOnly->ok()) << "needs root: private mount namespace";
        } else if (c.error == ENOENT) {
            ASSERT_EQ(rmdir(folder.c_str()), 0);
        }
        const std::string file = cfgtest::readFile(path);
        TOVU_CONFIG engine = {};
        ASSERT_EQ(tovu_reset(&engine), 0);
        const std::string before = document();
        cfgtest::TempDir outDir;
        StdoutCapture out(outDir / "stdout");
        start();
        const std::string version = get("/config", kCookie).header("x-config-version");
        ASSERT_FALSE(version.empty());

        Reply r = post("/config", upload, kCookie);
        EXPECT_EQ(r.status, 500);
        EXPECT_EQ(r.header("content-type"), "text/plain");
        EXPECT_EQ(r.body, kNotApplied + "the configuration could not be saved: " + strerror(c.error));
        EXPECT_FALSE(r.has("set-cookie"));
        Reply imported = post("/config?import", upload, kCookie);
        EXPECT_EQ(imported.status, 500);
        EXPECT_EQ(imported.body, r.body);
        EXPECT_FALSE(imported.has("location"));
        TOVU_TEST_SETTINGS now;
        _tovu_get_settings(&now);
        EXPECT_EQ(now.log_level, 0);
        EXPECT_STREQ(now.omx_path, "");
        std::string text = out.text();
        EXPECT_NE(text.find("TOVUL: configuration upload: the configuration could not be saved to " +
                            path + ": " + strerror(c.error)),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("TOVUL: configuration import: "), std::string::npos) << text;

        // the server stays where it was: no restart is ahead
        EXPECT_TRUE(waitUntil([] { return !_tovuCGIRestartAhead(); }));
        EXPECT_EQ(get("/status", "", "127.0.0.1", 9600).status, -1);
        expectUnchanged(c.what, before, file, path);
        // the document in use keeps its number: a copy of it may still be uploaded
        EXPECT_EQ(get("/config", kCookie).header("x-config-version"), version);

        // once the folder is there again, the next save stores the old document
        readOnly.reset();
        unlink(folder.c_str());
        mkdir(folder.c_str(), 0700);
        ASSERT_EQ(tovuExportConfig(nullptr), 0);
        EXPECT_EQ(cfgtest::readFile(path).find("unsaved"), std::string::npos);
        EXPECT_NE(cfgtest::readFile(path).find("\"old\""), std::string::npos);
        tovuStopCGI();
    }

    // a save that works puts the settings in use
    tovuSetConfigPath(dir.path().c_str());
    start();
    Reply ok = post("/config", doc("\"log\": 32, \"omxPath\": \"/opt/omx/core.so\""), kCookie);
    EXPECT_EQ(ok.status, 200);
    TOVU_TEST_SETTINGS engine;
    _tovu_get_settings(&engine);
    EXPECT_EQ(engine.log_level, 32);
    EXPECT_STREQ(engine.omx_path, "/opt/omx/core.so");
}

// The document in use is numbered, and "/config" and an upload answer with
// the number. An upload that names the number of its copy is refused with 409
// once another document came in since, so that it cannot put back what was
// changed; one that names none is taken as always.
TEST_F(CgiServer, UploadFromAnOlderCopyIsRefused)
{
    install(doc("\"memo\": \"a\""));
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    start();
    const std::string v1 = get("/config", kCookie).header("x-config-version");
    {
        TovuConfigLock lock;
        EXPECT_EQ(v1, std::to_string(tovuConfigVersion()));
    }
    auto named = [](const std::string &version) {
        return kCookie + "X-Config-Version: " + version + "\r\n";
    };

    // tab B, made from the copy in use: taken, under a new number
    Reply b = post("/config", doc("\"memo\": \"b\""), named(v1));
    EXPECT_EQ(b.status, 200) << b.body;
    const std::string v2 = b.header("x-config-version");
    ASSERT_FALSE(v2.empty());
    EXPECT_GT(std::stoull(v2), std::stoull(v1));
    EXPECT_EQ(get("/config", kCookie).header("x-config-version"), v2);

    // tab A, still on the first copy: refused, nothing of it taken
    const std::string before = document();
    const std::string file = cfgtest::readFile(configFile());
    for (const char *target : {"/config", "/config?import"}) {
        Reply a = post(target, doc("\"memo\": \"a2\""), named(v1));
        EXPECT_EQ(a.status, 409) << target;
        EXPECT_EQ(a.header("x-config-version"), v2) << target;
        EXPECT_EQ(a.body, kNotApplied +
                              "the configuration was changed elsewhere since this copy was loaded "
                              "(the copy is number " + v1 + ", the one in use number " + v2 +
                              "); load the one in use and make the change again")
            << target;
        expectUnchanged(target, before, file, configFile());
    }
    // a number from another run is not the one in use either
    EXPECT_EQ(post("/config", doc(""), named("1")).status, 409);

    for (const char *bad : {"", "abc", "-1", "12x", "99999999999999999999"}) {
        Reply r = post("/config", doc("\"memo\": \"a3\""), named(bad));
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(r.body, kNotApplied + "the \"X-Config-Version\" header \"" + bad +
                              "\" is not a document number")
            << bad;
        expectUnchanged(bad, before, file, configFile());
    }

    // a script that names no number is taken, and so renumbers the document
    Reply script = post("/config", doc("\"memo\": \"script\""), kCookie);
    EXPECT_EQ(script.status, 200);
    EXPECT_GT(std::stoull(script.header("x-config-version")), std::stoull(v2));
    EXPECT_EQ(post("/config", doc(""), named(v2)).status, 409);
}

// A setting of the login, the access rules or HTTPS that is not a text would
// read as empty and turn its guard off: refused, naming the member; so is a
// "global" that is not an object.
TEST_F(CgiServer, UploadWithSettingsOfTheWrongTypeIsRefused)
{
    install(doc(""));
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    const std::string before = document();
    const std::string file = cfgtest::readFile(configFile());
    start();
    struct Case {
        std::string body;
        std::string answer;
    } cases[] = {
        {"{\"global\": [{\"loginPass\": \"pw\"}], \"channels\": []}",
         "the \"global\" setting is not a JSON object"},
        {"{\"global\": \"pw\", \"channels\": []}", "the \"global\" setting is not a JSON object"},
        {"{\"global\": {\"loginPass\": 1234}, \"channels\": []}", "the \"loginPass\" setting is not a text"},
        {"{\"global\": {\"LOGINPASS\": [\"secret\"]}, \"channels\": []}",
         "the \"loginPass\" setting is not a text"},
        {"{\"global\": {\"loginPass\": null}, \"channels\": []}", "the \"loginPass\" setting is not a text"},
        {doc("\"ipACL\": {\"deny\": \"all\"}"), "the \"ipACL\" setting is not a text"},
        {doc("\"sslCert\": 1"), "the \"sslCert\" setting is not a text"},
        {doc("\"sslKey\": false"), "the \"sslKey\" setting is not a text"},
    };
    for (const Case &c : cases) {
        Reply r = post("/config", c.body, kCookie);
        EXPECT_EQ(r.status, 400) << c.body;
        EXPECT_EQ(r.body, kNotApplied + c.answer) << c.body;
        expectUnchanged(c.body, before, file, configFile());
    }
}
