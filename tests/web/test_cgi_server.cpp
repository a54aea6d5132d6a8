// The web server: access rules, port choice, HTTPS and its fall-back, the
// request log, request intake (methods, POST buffer, multipart) and the
// delayed restart, all against the real server on loopback.
#include "fixtures/cgi_test_util.h"
#include "tovu_document.h"

#include <regex>
#include <sstream>

using namespace cgitest;

namespace {

uint32_t ip(const char *dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return ntohl(a.s_addr);
}

std::string doc(const std::string &global)
{
    return "{\"name\": \"t\", \"global\": {" + global + "}, \"channels\": []}";
}

} // namespace

TEST(CgiAcl, RulesTable)
{
    struct Case {
        const char *acl;
        const char *client;
        bool accept;
    } cases[] = {
        {"", "10.1.1.1", true},
        {"deny all allow 192.168.1.0/24", "192.168.1.7", true},
        {"deny all allow 192.168.1.0/24", "10.1.1.1", false},
        {"allow all deny 10.0.0.5", "10.0.0.5", false},
        {"allow all deny 10.0.0.5", "10.0.0.6", true},
        // a range begins at the address as written
        {"deny 10.0.0.5/24", "10.0.0.5", false},
        {"deny 10.0.0.5/24", "10.0.1.4", false},
        {"deny 10.0.0.5/24", "10.0.0.4", true},
        {"deny 10.0.0.5/24", "10.0.1.5", true},
        {"deny 10.0.0.0/32", "10.0.0.0", false},
        {"deny 10.0.0.0/32", "10.0.0.1", true},
        {"deny 0.0.0.0/0", "255.255.255.255", false},
        // the end of the address space is not wrapped
        {"deny 255.255.255.0/8", "255.255.255.255", false},
        {"deny 255.255.255.0/8", "0.0.0.1", true},
        {"DENY ALL", "8.8.8.8", false},
        {"deny all/8", "8.8.8.8", false},
        {"block all", "8.8.8.8", true},
        {"deny 8.8.8.8 deny", "8.8.4.4", true},
        {"deny\tall", "8.8.8.8", true},
        {"deny\r\nall", "8.8.8.8", false},
        {"deny 8.8.8.8 allow 8.8.8.8", "8.8.8.8", true},
        // prefixes outside 0..32 match nothing; one that is not a number reads 0
        {"deny 10.0.0.0/33", "10.0.0.0", true},
        {"deny 10.0.0.0/-1", "10.0.0.0", true},
        {"deny 10.0.0.0/99999999999999999999", "10.0.0.0", true},
        {"deny 10.0.0.5/x", "10.0.0.4", true},
        {"deny 10.0.0.5/x", "200.0.0.1", false},
        {"deny nonsense deny 10.0.0", "10.0.0.0", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tovuCGIAclAccepts(c.acl, ip(c.client)) != 0, c.accept)
            << "'" << c.acl << "' for " << c.client;
}

TEST_F(CgiServer, AclAtEveryConnection)
{
    install(doc("\"ipACL\": \"deny all allow 127.0.0.0/30\""));
    start();
    EXPECT_EQ(get("/", "", "127.0.0.2").status, 200);
    EXPECT_EQ(get("/", "", "127.0.0.9").status, -1);

    // an upload takes effect at the next connection, without a restart
    install(doc("\"ipACL\": \"allow all deny 127.0.0.5\""));
    EXPECT_EQ(get("/", "", "127.0.0.9").status, 200);
    EXPECT_EQ(get("/", "", "127.0.0.5").status, -1);

    install(doc("\"ipACL\": \"deny 0.0.0.0/0\""));
    EXPECT_EQ(get("/", "", "127.0.0.1").status, -1);
}

TEST_F(CgiServer, PortFromSettings)
{
    struct Case {
        const char *json;
        uint16_t port;
    } cases[] = {
        {"{\"channels\": []}", 9527},
        {"{\"global\": {\"httpPort\": 0}}", 9527},
        {"{\"global\": {\"httpPort\": {}}}", 9527},
        {"{\"global\": {\"httpPort\": \"8080\"}}", 8080},
        {"{\"global\": {\"httpPort\": true}}", 1},
    };
    for (const Case &c : cases) {
        install(c.json);
        start();
        EXPECT_EQ(get("/", "", "127.0.0.1", c.port).status, 200) << c.json;
        tovuStopCGI();
        EXPECT_EQ(get("/", "", "127.0.0.1", c.port).status, -1) << c.json;
    }
}

TEST_F(CgiServer, RequestLog)
{
    const std::string log = dir / "tovul_cgi.log";
    install(doc("\"log\": 1"));
    start();
    ASSERT_EQ(get("/index.html").status, 200);
    get("/status");
    get("/STATUS");
    std::vector<std::string> got = lines(cfgtest::readFile(log));
    ASSERT_EQ(got.size(), 2u) << cfgtest::readFile(log);
    std::regex line(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] GET /index\.html from 127\.0\.0\.1:\d+)");
    for (const std::string &l : got)
        EXPECT_TRUE(std::regex_match(l, line)) << l;

    unlink(log.c_str());
    install(doc("\"log\": 0"));
    get("/index.html");
    EXPECT_EQ(access(log.c_str(), F_OK), -1);
}

TEST_F(CgiServer, OnlyGetAndPostAreAnswered)
{
    install(doc(""));
    start();
    for (const char *method : {"HEAD", "PUT", "DELETE", "OPTIONS"})
        EXPECT_EQ(request(method, "/").status, -1) << method;
    EXPECT_EQ(request("get", "/").status, 200);
    // a body sent with a GET is read and ignored
    std::string body(5000, 'x');
    EXPECT_EQ(request("GET", "/", "", &body).status, 200);
}

// The login form shows exactly which body the router was handed: its
// first field becomes the cookie as it is.
TEST_F(CgiServer, PostBodyHandedToRouter)
{
    install(doc("\"loginPass\": \"pw\""));
    start();
    const std::string part = "auth=fromthepart";
    struct Case {
        const char *what;
        std::string headers;
        std::string body;
        const char *cookie;
    } cases[] = {
        {"multipart: first part only, without its headers or the closing line break",
         "Content-Type: multipart/form-data; boundary=XyZ\r\n",
         "--XyZ\r\nContent-Disposition: form-data; name=\"auth\"\r\n\r\n" + part +
             "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\nauth=second\r\n--XyZ--\r\n",
         "auth=fromthepart"},
        {"multipart without a part header end: from the start", "Content-Type: MULTIPART/FORM-DATA\r\n",
         "auth=plain\r\n--end", "auth=plain"},
        {"no content type: the whole body", "", "&auth=whole&x=1", "auth=whole"},
        {"form encoding", "Content-Type: application/x-www-form-urlencoded\r\n", "auth=a%40b+c",
         "auth=a%40b+c"},
    };
    for (const Case &c : cases) {
        Reply r = post("/login", c.body, c.headers);
        EXPECT_EQ(r.status, 301) << c.what;
        EXPECT_EQ(r.header("set-cookie"), c.cookie) << c.what;
    }
}

// An upload longer than the intake holds is refused whole, naming the limit,
// whether its length is told before the body or found only by reading it;
// nothing of it is applied. One at the limit is taken.
TEST_F(CgiServer, OversizedUploadsAreRefusedWhole)
{
    install(doc(""));
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    const std::string file = cfgtest::readFile(configFile());
    start();
    const std::string tooLarge = "the change was not applied: the configuration is larger than "
                                 "99999 bytes, the most an upload may be";
    const std::string json = doc("\"memo\": \"big\"");
    const size_t limit = TOVU_CGI_POST_SIZE - 1;

    // a document in front, then blanks past the limit: not a part of it either
    std::string over = json + std::string(limit + 1 - json.size(), ' ');
    Reply r = post("/config", over);
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.body, tooLarge);
    EXPECT_EQ(post("/config", std::string(300000, '{')).status, 413);

    // chunked: the length is known only once the limit is passed
    std::string chunked = "POST /config HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n";
    for (size_t sent = 0; sent < over.size(); sent += 4096) {
        std::string piece = over.substr(sent, 4096);
        std::ostringstream size;
        size << std::hex << piece.size();
        chunked += size.str() + "\r\n" + piece + "\r\n";
    }
    chunked += "0\r\n\r\n";
    r = raw(chunked);
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.body, tooLarge);
    {
        TovuConfigLock lock;
        EXPECT_EQ(tovuGlobalItem("memo"), nullptr);
    }
    EXPECT_EQ(cfgtest::readFile(configFile()), file);

    r = post("/config", json + std::string(limit - json.size(), ' '));
    EXPECT_EQ(r.status, 200) << r.body;
    TovuConfigLock lock;
    EXPECT_STREQ(jsonGetText(tovuGlobalItem("memo")), "big");
}


TEST_F(CgiServer, StopCutsOffAPostAndFreesTheBuffer)
{
    install(doc("\"log\": 1"));
    start();
    int a = connectFrom("127.0.0.2", kPort);
    ASSERT_GE(a, 0);
    ASSERT_TRUE(sendAll(a, "POST /config HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{"));
    ASSERT_TRUE(waitUntil([&] {
        return cfgtest::readFile(dir / "tovul_cgi.log").find("POST /config") != std::string::npos;
    }));
    tovuStopCGI();
    close(a);
    start();
    std::string body = doc("");
    EXPECT_EQ(post("/config", body).status, 200);
}

/* ---------------------------------------------------------------- HTTPS */

namespace {

bool run(const std::string &cmd)
{
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// a self-signed certificate and its key, made with certtool
bool makeCertificate(const std::string &dir, const std::string &name)
{
    std::string key = dir + "/" + name + ".key", cert = dir + "/" + name + ".crt";
    std::string tpl = dir + "/" + name + ".tpl";
    cfgtest::writeFile(tpl, "cn = localhost\nexpiration_days = 30\ntls_www_server\nencryption_key\nsigning_key\n");
    return run("certtool --generate-privkey --key-type=ecdsa --outfile '" + key + "'") &&
           run("certtool --generate-self-signed --load-privkey '" + key + "' --template '" + tpl +
               "' --outfile '" + cert + "'");
}

int httpsStatus(uint16_t port = kPort)
{
    std::string cmd = "curl -sk --max-time 20 -o /dev/null -w '%{http_code}' https://127.0.0.1:" +
                      std::to_string(port) + "/ 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[16] = "";
    size_t n = fread(buf, 1, sizeof buf - 1, p);
    buf[n] = '\0';
    pclose(p);
    return atoi(buf);
}

bool sslEnableInDocument()
{
    TovuConfigLock lock;
    return jsonGetBool(tovuGlobalItem("sslEnable"));
}

} // namespace

TEST_F(CgiServer, HttpsAndItsFallBack)
{
    ASSERT_TRUE(makeCertificate(dir.path(), "a"));
    ASSERT_TRUE(makeCertificate(dir.path(), "b"));
    auto settings = [&](const std::string &cert, const std::string &key) {
        return doc("\"sslEnable\": true, \"sslCert\": \"" + cert + "\", \"sslKey\": \"" + key + "\"");
    };

    install(settings(dir / "a.crt", dir / "a.key"));
    start();
    EXPECT_EQ(httpsStatus(), 200);
    EXPECT_EQ(get("/").status, -1);   // plain HTTP is not spoken on an HTTPS port
    tovuStopCGI();

    // a missing or empty file: plain HTTP, said in one line, and the setting stays on
    cfgtest::writeFile(dir / "empty.crt", "");
    const std::string plain = ": the web interface is served over plain HTTP on port 9527";
    struct Case {
        std::string cert;
        std::string why;
    } cases[] = {
        {dir / "missing.crt", "the certificate file \"" + (dir / "missing.crt") + "\" is missing"},
        {dir / "empty.crt", "the certificate file \"" + (dir / "empty.crt") + "\" is empty"},
        {dir.path(), "the certificate file \"" + dir.path() + "\" is not a regular file"},
        {"", "no certificate file is set (\"sslCert\" is empty)"},
    };
    cfgtest::TempDir outDir;
    for (const Case &c : cases) {
        StdoutCapture out(outDir / "stdout");
        install(settings(c.cert, dir / "a.key"));
        start();
        EXPECT_EQ(get("/").status, 200) << c.cert;
        EXPECT_TRUE(sslEnableInDocument()) << c.cert;
        EXPECT_EQ(out.text(), "TOVUL: HTTPS is on, but " + c.why + plain + "\n") << c.cert;
        tovuStopCGI();
    }

    // a certificate and a key that do not belong together: plain HTTP, and
    // the next save turns HTTPS off in the file
    StdoutCapture out(outDir / "stdout");
    install(settings(dir / "a.crt", dir / "b.key"));
    start();
    EXPECT_EQ(get("/").status, 200);
    EXPECT_EQ(out.text(), "TOVUL: HTTPS is on, but the TLS library refuses the certificate file \"" +
                              (dir / "a.crt") + "\" with the key file \"" + (dir / "b.key") +
                              "\" (not a certificate and its private key in PEM form, or not a "
                              "pair)" + plain + "\n");
    EXPECT_FALSE(sslEnableInDocument());
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    EXPECT_NE(cfgtest::readFile(configFile()).find("\"sslEnable\":\tfalse"), std::string::npos)
        << cfgtest::readFile(configFile());
}

// An upload that asks for HTTPS that cannot start is refused, naming the
// file and why; one whose files work is taken. A document that keeps its
// HTTPS settings as they were is not looked at again.
TEST_F(CgiServer, UploadOfHttpsThatCannotStartIsRefused)
{
    ASSERT_TRUE(makeCertificate(dir.path(), "a"));
    ASSERT_TRUE(makeCertificate(dir.path(), "b"));
    cfgtest::writeFile(dir / "empty.key", "");
    cfgtest::writeFile(dir / "junk.crt", "not a certificate");
    auto settings = [&](const std::string &cert, const std::string &key) {
        return doc("\"sslEnable\": true, \"sslCert\": \"" + cert + "\", \"sslKey\": \"" + key + "\"");
    };
    install(doc(""));
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    const std::string file = cfgtest::readFile(configFile());
    start();
    const std::string refusedPair = "the TLS library refuses the certificate file \"";
    struct Case {
        std::string cert, key;
        std::string why;
    } cases[] = {
        {dir / "none.crt", dir / "a.key", "the certificate file \"" + (dir / "none.crt") + "\" is missing"},
        {dir / "a.crt", dir / "empty.key", "the key file \"" + (dir / "empty.key") + "\" is empty"},
        {dir / "a.crt", dir.path(), "the key file \"" + dir.path() + "\" is not a regular file"},
        {dir / "a.crt", "", "no key file is set (\"sslKey\" is empty)"},
        {dir / "a.crt", dir / "b.key", refusedPair + (dir / "a.crt") + "\" with the key file \"" + (dir / "b.key") + "\""},
        {dir / "junk.crt", dir / "a.key", refusedPair + (dir / "junk.crt") + "\""},
    };
    for (const Case &c : cases) {
        Reply r = post("/config", settings(c.cert, c.key));
        EXPECT_EQ(r.status, 400) << c.why;
        EXPECT_EQ(r.body.rfind("the change was not applied: " + c.why, 0), 0u) << r.body;
        EXPECT_FALSE(sslEnableInDocument()) << c.why;
    }
    EXPECT_EQ(cfgtest::readFile(configFile()), file);
    EXPECT_FALSE(_tovuCGIRestartAhead());

    EXPECT_EQ(post("/config", settings(dir / "a.crt", dir / "a.key")).status, 200);
    EXPECT_TRUE(sslEnableInDocument());
    EXPECT_TRUE(waitUntil([] { return httpsStatus() == 200; }));
}

/* ---------------------------------------------------------------- restart */

TEST_F(CgiServer, UploadWithoutServerChangeKeepsTheServer)
{
    install(doc("\"httpPort\": 9527"));
    start();
    int idle = connectFrom("127.0.0.2", kPort);
    ASSERT_GE(idle, 0);
    std::string body = doc("\"httpPort\": 9527, \"loginPass\": \"new\"");
    ASSERT_EQ(post("/config", body).status, 200);
    EXPECT_TRUE(waitUntil([] { return !_tovuCGIRestartAhead(); }));
    EXPECT_TRUE(stillOpen(idle));
    close(idle);
}

TEST_F(CgiServer, PortChangeRestartsOnceWithTheLatestSettings)
{
    install(doc("\"httpPort\": 9527"));
    start();
    int idle = connectFrom("127.0.0.2", kPort);
    ASSERT_GE(idle, 0);

    // two uploads within a second; both answers come from the old port
    std::string first = doc("\"httpPort\": 9600"), second = doc("\"httpPort\": 9601");
    EXPECT_EQ(post("/config", first).status, 200);
    EXPECT_EQ(post("/config", second).status, 200);

    EXPECT_TRUE(waitUntil([] { return get("/", "", "127.0.0.1", 9601).status == 200; }));
    EXPECT_FALSE(stillOpen(idle));
    close(idle);
    EXPECT_EQ(get("/", "", "127.0.0.1", 9527).status, -1);
    EXPECT_EQ(get("/", "", "127.0.0.1", 9600).status, -1);
    // the second timer was dropped with the first restart: the server stays put
    int again = connectFrom("127.0.0.2", 9601);
    EXPECT_TRUE(waitUntil([] { return !_tovuCGIRestartAhead(); }));
    EXPECT_TRUE(stillOpen(again));
    close(again);
}

TEST_F(CgiServer, CancelledRestartNeverFires)
{
    install(doc("\"httpPort\": 9527"));
    start();
    std::string body = doc("\"httpPort\": 9600");
    ASSERT_EQ(post("/config", body).status, 200);
    tovuCancelCGIRestart();
    EXPECT_TRUE(waitUntil([] { return !_tovuCGIRestartAhead(); }));
    EXPECT_EQ(get("/").status, 200);
    EXPECT_EQ(get("/", "", "127.0.0.1", 9600).status, -1);
    // requests during the shutdown arm nothing
    tovuCGICallback(TRUE);
    EXPECT_TRUE(waitUntil([] { return !_tovuCGIRestartAhead(); }));
    EXPECT_EQ(get("/").status, 200);
}

namespace {

// a listening socket on the port, as another program would hold it; -1 on failure
int holdPort(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

} // namespace

// A port that cannot work is refused before the answer, naming the port and
// why: outside 1 to 65535 once read (0 and a text that does not read still
// mean 9527), or held by another program. Nothing of such an upload is
// taken, and no restart comes.
TEST_F(CgiServer, UploadOfAPortThatCannotWorkIsRefused)
{
    install(doc("\"httpPort\": 9527, \"memo\": \"old\""));
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    const std::string file = cfgtest::readFile(configFile());
    int taken = holdPort(9600);
    ASSERT_GE(taken, 0);
    start();
    struct Case {
        const char *port;   // as JSON
        std::string answer;
    } refused[] = {
        {"70000", "\"httpPort\" 70000 is not a port from 1 to 65535"},
        {"65536", "\"httpPort\" 65536 is not a port from 1 to 65535"},
        {"-5", "\"httpPort\" -5 is not a port from 1 to 65535"},
        {"\"70000\"", "\"httpPort\" 70000 is not a port from 1 to 65535"},
        {"9600", "port 9600 cannot be served: Address already in use"},
    };
    for (const Case &c : refused) {
        Reply r = post("/config", doc(std::string("\"memo\": \"new\", \"httpPort\": ") + c.port));
        EXPECT_EQ(r.status, 400) << c.port;
        EXPECT_EQ(r.body, "the change was not applied: " + c.answer) << c.port;
        TovuConfigLock lock;
        EXPECT_STREQ(jsonGetText(tovuGlobalItem("memo")), "old") << c.port;
    }
    EXPECT_EQ(cfgtest::readFile(configFile()), file);
    EXPECT_FALSE(_tovuCGIRestartAhead());

    // what reads as 0 is the default, the port served: taken, no restart
    for (const char *port : {"0", "\"abc\"", "null", "9527"}) {
        Reply r = post("/config", doc(std::string("\"httpPort\": ") + port));
        EXPECT_EQ(r.status, 200) << port << " " << r.body;
        EXPECT_FALSE(_tovuCGIRestartAhead()) << port;
    }
    close(taken);
}

// A port out of range in the file is not taken modulo 65536: the server
// does not start (the daemon then names the port), and says why.
TEST_F(CgiServer, PortOutOfRangeAtStartIsNotWrapped)
{
    cfgtest::TempDir outDir;
    StdoutCapture out(outDir / "stdout");
    install(doc("\"httpPort\": 70000"));
    EXPECT_FALSE(tovuStartCGI());
    EXPECT_EQ(get("/", "", "127.0.0.1", 70000 % 65536).status, -1);
    EXPECT_EQ(out.text(), "TOVUL: the web server cannot start: \"httpPort\" 70000 is not a port from "
                          "1 to 65535\n");
}

// A port free at the upload but taken before the restart brings the server
// back on the port it had, over HTTPS when it served HTTPS, and says so; the
// document and the file go back to that port, so the next start works. The
// HTTPS setting stays on.
TEST_F(CgiServer, PortTakenBeforeTheRestartBringsTheServerBackOnItsPort)
{
    ASSERT_TRUE(makeCertificate(dir.path(), "a"));
    cfgtest::TempDir outDir;
    StdoutCapture out(outDir / "stdout");
    const std::string back =
        "TOVUL: the web server's restart on port 9600 failed, the web interface is back on "
        "port 9527";
    auto portInFile = [&] {
        cJSON *saved = cJSON_Parse(cfgtest::readFile(configFile()).c_str());
        int port = jsonGetInt(tovuDocGlobalItem(saved, "httpPort"));
        cJSON_Delete(saved);
        return port;
    };

    // room to take the port between the upload's check and the restart,
    // also on a loaded machine
    _tovuCGISetRestartDelay(3000);
    install(doc("\"httpPort\": 9527"));
    start();
    ASSERT_EQ(post("/config", doc("\"httpPort\": 9600")).status, 200);
    int taken = holdPort(9600);   // before the restart
    ASSERT_GE(taken, 0);
    EXPECT_TRUE(waitUntil([&] { return out.text().find(back) != std::string::npos; })) << out.text();
    // (the port is put back after the line is printed)
    EXPECT_TRUE(waitUntil([] { return !_tovuCGIRestartAhead(); }));
    EXPECT_EQ(out.text().find("stays down"), std::string::npos) << out.text();
    EXPECT_EQ(get("/").status, 200);
    {
        TovuConfigLock lock;
        EXPECT_EQ(tovuHttpPort(), 9527);
    }
    EXPECT_EQ(portInFile(), 9527);
    close(taken);
    tovuStopCGI();

    const std::string https = "\"sslEnable\": true, \"sslCert\": \"" + (dir / "a.crt") +
                              "\", \"sslKey\": \"" + (dir / "a.key") + "\"";
    install(doc("\"httpPort\": 9527, " + https));
    start();
    ASSERT_EQ(httpsStatus(), 200);
    cfgtest::writeFile(dir / "upload.json", doc("\"httpPort\": 9600, " + https));
    std::string cmd = "curl -sk --max-time 20 -o /dev/null -w '%{http_code}' --data-binary @'" +
                      (dir / "upload.json") + "' https://127.0.0.1:9527/config 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char code[16] = "";
    code[fread(code, 1, sizeof code - 1, p)] = '\0';
    pclose(p);
    EXPECT_STREQ(code, "200");
    taken = holdPort(9600);
    ASSERT_GE(taken, 0);
    EXPECT_TRUE(waitUntil([&] {
        size_t first = out.text().find(back);
        return first != std::string::npos && out.text().find(back, first + 1) != std::string::npos;
    })) << out.text();
    EXPECT_TRUE(waitUntil([] { return !_tovuCGIRestartAhead(); }));
    EXPECT_EQ(httpsStatus(), 200);
    EXPECT_TRUE(sslEnableInDocument());
    EXPECT_EQ(portInFile(), 9527);
    close(taken);
    tovuStopCGI();

    // a free port is taken
    install(doc("\"httpPort\": 9527"));
    start();
    ASSERT_EQ(post("/config", doc("\"httpPort\": 9601")).status, 200);
    EXPECT_TRUE(waitUntil([] { return get("/", "", "127.0.0.1", 9601).status == 200; }));
    EXPECT_EQ(get("/").status, -1);
}

/* ---------------------------------------------------------------- joiner */

TEST(CgiJoiner, JoinsAndCuts)
{
    char text[TOVU_CGI_KV_SIZE] = "";
    mhdKeyValueIterator(text, MHD_GET_ARGUMENT_KIND, "a", "1");
    mhdKeyValueIterator(text, MHD_GET_ARGUMENT_KIND, "b", nullptr);
    mhdKeyValueIterator(text, MHD_GET_ARGUMENT_KIND, "c", "");
    EXPECT_STREQ(text, "a=1&b&c=");

    char cut[TOVU_CGI_KV_SIZE];
    memset(cut, 0, sizeof cut);
    std::string big(2000, 'v');
    mhdKeyValueIterator(cut, MHD_COOKIE_KIND, "k", big.c_str());
    mhdKeyValueIterator(cut, MHD_COOKIE_KIND, "more", "x");
    EXPECT_EQ(strlen(cut), 998u);
    EXPECT_EQ(std::string(cut, 2), "k=");
}
