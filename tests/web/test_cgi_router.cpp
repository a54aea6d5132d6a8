// The API router: output redirect, login check, login form and page, the
// route table, the configuration upload and the channel request's checks.
#include "tovu_helpers.h"
#include "fixtures/cgi_test_util.h"
#include "fixtures/http_client.h"

using namespace cgitest;

namespace {

std::string withGlobal(const std::string &global, const std::string &channels = "")
{
    return "{\"name\": \"t\", \"global\": {" + global + "}, \"channels\": [" + channels + "]}";
}

// a channel that passes the channel check, with its first output as given
std::string channel(const std::string &format = "udp", const std::string &url = "udp://127.0.0.1:5000")
{
    return "{\"enable\": false, \"input\": {\"sources\": [{\"format\": \"udp\", \"url\": "
           "\"udp://127.0.0.1:4000\"}]}, \"output\": {\"targets\": [{\"format\": \"" + format +
           "\", \"url\": \"" + url + "\", \"video\": {\"codec\": \"h264\"}, \"audio\": {\"codec\": \"aac\"}}]}}";
}

std::string channels(int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += (i ? ", " : "") + channel();
    return out;
}

const std::string kLoginPage =
    "<html>\n<head>\n<title>" + std::string(tovuAppTitle()) + "</title>\n</head>\n"
    "<body>\n<div style=\"width: 100%; position: absolute; top: 30%; text-align: center\">\n"
    "<h2>TOVUL Login Authentication</h2>\n"
    "<form action=\"login\" method=\"post\">\n <input type=\"password\" name=\"auth\" required>\n"
    " <input type=\"submit\" value=\"Login\">\n</form></div>\n</body>\n</html>";

bool isLoginPage(const Reply &r)
{
    return r.status == 200 && r.header("content-type") == "text/html" && r.body == kLoginPage;
}

std::string cookie(const std::string &value)
{
    return "Cookie: " + value + "\r\n";
}

} // namespace

class CgiRouter : public CgiServer {};

TEST_F(CgiRouter, DecodeAndEncode)
{
    EXPECT_EQ(_urlDecode("a+b%40c%2bd%2Be"), "a b@c+d+e");
    EXPECT_EQ(_urlDecode("50%"), "50%");
    EXPECT_EQ(_urlDecode("%zz%4"), "%zz%4");
    const char *secrets[] = {"a+b", "100% sure", "x;y=z", "line\r\nbreak", "caf\xc3\xa9", "\"q\"\\,"};
    for (const char *s : secrets) {
        std::string enc = tovuCGICookieEncode(s);
        EXPECT_EQ(_urlDecode(enc.c_str()), s);
        EXPECT_EQ(enc.find_first_of(" ;,\"\\\r\n+"), std::string::npos) << enc;
    }
}

TEST_F(CgiRouter, AuthChecksTheCookie)
{
    install(withGlobal("\"loginPass\": \"a@b c\""));
    struct Case {
        const char *cookies;
        bool ok;
    } cases[] = {
        {"auth=a%40b+c", true},
        {"x=1&auth=a%40b%20c", true},
        {"x=1; auth=a@b+c", true},
        {"Auth=a%40b+c", false},     // the name is case sensitive
        {"xauth=a%40b+c", false},
        {"auth=a%40b", false},
        {"auth=a%40b+cd", false},
        {"auth=", false},
        {"", false},
        {"auth=wrong&auth=a%40b+c", false},   // the first "auth=" decides
    };
    for (const Case &c : cases)
        EXPECT_EQ(tovuCGIAuth(c.cookies) != 0, c.ok) << c.cookies;

    install(withGlobal("\"loginPass\": \"50%\""));
    EXPECT_TRUE(tovuCGIAuth("auth=50%"));   // a lone "%" is kept
    for (const char *none : {"\"loginPass\": \"\"", "\"loginPass\": 5", ""}) {
        install(withGlobal(none));
        EXPECT_TRUE(tovuCGIAuth("")) << none;
    }
}

TEST_F(CgiRouter, RedirectLocations)
{
    install(withGlobal("\"httpPort\": 9527",
                       channel("udp", "udp://10.0.0.1:5000/tovu_ch1") + ", " +
                           channel("html5", "http://192.168.1.5/tovu_ch2") + ", " +
                           channel("http", "http://192.168.1.5:9527/tovu_ch3") + ", " +
                           channel("httpts", "http://other:80/tovu_ch3") + ", " +
                           channel("http", "http://[fe80::1]:8000/v6")));
    struct Case {
        const char *path;
        const char *location;   // null: no redirect
    } cases[] = {
        {"/tovu_ch1", nullptr},                         // not an HTTP output
        {"/tovu_ch2", "http://192.168.1.5:9529"},       // no port of its own: cut at the path
        {"/TOVU_CH3", "http://192.168.1.5:9530"},       // the first match wins
        {"/v6", "http://[fe80::1]:9532"},
        {"/tovu_ch", nullptr},
        {"/", nullptr},
    };
    for (const Case &c : cases) {
        std::string loc;
        EXPECT_EQ(tovuCGIRedirectLocation(c.path, loc) != 0, c.location != nullptr) << c.path;
        if (c.location) {
            EXPECT_EQ(loc, c.location) << c.path;
        }
    }
}

TEST_F(CgiRouter, RedirectComesBeforeTheLogin)
{
    install(withGlobal("\"httpPort\": 9527, \"loginPass\": \"pw\"",
                       channel("html5", "http://127.0.0.1:9527/live")));
    start();
    Reply r = get("/LIVE");
    EXPECT_EQ(r.status, 301);
    EXPECT_EQ(r.header("location"), "http://127.0.0.1:9528");
    EXPECT_EQ(r.body, "");
}

TEST_F(CgiRouter, WithoutPasswordEverythingIsServed)
{
    install(withGlobal(""));
    start();
    Reply r = get("/status");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(get("/").status, 200);
}

TEST_F(CgiRouter, LoginPageAndForm)
{
    install(withGlobal("\"loginPass\": \"a@b c\""));
    start();
    for (const char *path : {"/status", "/", "/config", "/channel1?start", "/logix", "/nothing"})
        EXPECT_TRUE(isLoginPage(get(path))) << path;
    EXPECT_TRUE(isLoginPage(post("/logix", "auth=a%40b+c")));

    // the form: the posted value becomes the cookie as it was encoded
    for (const char *path : {"/login", "/LOGIN", "/login/x"}) {
        Reply r = post(path, "auth=a%40b+c", "Content-Type: application/x-www-form-urlencoded\r\n");
        EXPECT_EQ(r.status, 301) << path;
        EXPECT_EQ(r.header("location"), "/") << path;
        EXPECT_EQ(r.header("set-cookie"), "auth=a%40b+c") << path;
    }
    // no first "auth" field, or no body: back to "/" without a cookie
    for (const char *body : {"", "user=x&auth=y", "&&"}) {
        Reply r = post("/login", body);
        EXPECT_EQ(r.status, 301) << body;
        EXPECT_FALSE(r.has("set-cookie")) << body;
    }
    Reply g = get("/login");
    EXPECT_EQ(g.status, 301);
    EXPECT_FALSE(g.has("set-cookie"));
    // raw bytes a cookie cannot carry are re-encoded, to the same password
    Reply raw = post("/login", "auth=a@b c;");
    EXPECT_EQ(raw.header("set-cookie"), "auth=a%40b%20c%3B");

    // with the form's cookie every path is served
    Reply s = get("/status", cookie("auth=a%40b+c"));
    EXPECT_EQ(s.status, 200);
    EXPECT_EQ(s.header("content-type"), "application/json");
    EXPECT_TRUE(isLoginPage(get("/status", cookie("Auth=a%40b+c"))));
}

TEST_F(CgiRouter, UploadedPasswordKeepsTheUploaderLoggedIn)
{
    for (const char *pass : {"plain", "a+b", "50%", "x;y", "two words", "line\\nbreak", "caf\\u00e9"}) {
        install(withGlobal(""));
        start();
        std::string body = withGlobal(std::string("\"loginPass\": \"") + pass + "\"");
        Reply r = post("/config", body);
        ASSERT_EQ(r.status, 200) << pass;
        std::string set = r.header("set-cookie");
        ASSERT_EQ(set.compare(0, 5, "auth="), 0) << set;
        Reply s = get("/status", cookie(set));
        EXPECT_EQ(s.header("content-type"), "application/json") << pass << " -> " << set;
        tovuStopCGI();
    }
}

TEST_F(CgiRouter, RoutesIgnoreTheMethodExceptForConfig)
{
    install(withGlobal(""));
    start();
    Reply r = post("/STATUS", "ignored");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(get("/web/index.html").status, 404);
}

TEST_F(CgiRouter, ConfigurationUpload)
{
    install(withGlobal("\"memo\": \"old\""));
    ASSERT_EQ(tovuExportConfig(nullptr), 0);
    const std::string before = cfgtest::readFile(configFile());
    start();

    // not JSON: 400 that says so, the document and the file stay
    for (const char *target : {"/config", "/config?import"}) {
        Reply bad = post(target, "{\"global\": ");
        EXPECT_EQ(bad.status, 400) << target;
        EXPECT_EQ(bad.body, "the change was not applied: the configuration is not JSON") << target;
        EXPECT_EQ(cfgtest::readFile(configFile()), before) << target;
    }
    EXPECT_NE(cfgtest::compact(g_jsonConfig).find("old"), std::string::npos);

    // an upload answers the normalised document and saves it
    Reply ok = post("/config", withGlobal("\"memo\": \"new\"", channel()));
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.header("content-type"), "application/json");
    EXPECT_FALSE(ok.has("set-cookie"));
    EXPECT_EQ(ok.body, cfgtest::printed(g_jsonConfig));
    EXPECT_EQ(cfgtest::readFile(configFile()), ok.body);

    // an import answers 301 to "/" with an empty body
    Reply imp = post("/config?IMPORT", withGlobal("\"memo\": \"imported\""));
    EXPECT_EQ(imp.status, 301);
    EXPECT_EQ(imp.header("location"), "/");
    EXPECT_EQ(imp.header("content-type"), "application/json");
    EXPECT_EQ(imp.body, "");
    EXPECT_NE(cfgtest::readFile(configFile()).find("imported"), std::string::npos);
}

TEST_F(CgiRouter, ChannelNumbersOutOfRange)
{
    install(withGlobal("", channels(16)));
    start();
    for (const char *target : {"/channel0?start", "/channel17?start", "/channels", "/channel-1?start",
                               "/channel99999999999999?start", "/CHANNEL?stop"}) {
        Reply r = get(target);
        EXPECT_EQ(r.status, 404) << target;
        EXPECT_EQ(r.body, "") << target;
    }
}

TEST_F(CgiRouter, AnswersSayKeepAliveFirstOnHttp11)
{
    // browsers ask in HTTP/1.1, where the library drops an ordinary
    // "Connection" header: the router's own answers must still name it first
    install(withGlobal("\"loginPass\": \"pw\"", channels(1)));
    start();
    HttpClient http11(kPort);
    for (const char *target : {"/", "/status"}) { // the login page, whatever the path
        SCOPED_TRACE(target);
        HttpAnswer a;
        ASSERT_TRUE(http11.get(target, a));
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(a.header("Connection"), "Keep-Alive");
        EXPECT_LT(a.indexOf("Connection"), a.indexOf("Content-Type"));
    }
    install(withGlobal("", channels(1)));
    HttpAnswer a;
    ASSERT_TRUE(http11.get("/channel1?nothing", a)); // a channel answer: no action, "OK"
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.header("Connection"), "Keep-Alive");
}
