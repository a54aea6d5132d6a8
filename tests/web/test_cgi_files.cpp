// The embedded web files, the branding image and the configuration download,
// spoken to over HTTP on a loopback libmicrohttpd server.
#include "fixtures/test_config_util.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "fixtures/http_client.h"
#include "fixtures/web_server.h"
#include "tovu_cgi_internal.h"

using namespace cfgtest;

namespace {

const std::string kWebBuild = TOVU_WEB_BUILD_DIR;
const std::string kWebSource = std::string(TOVU_SOURCE_DIR) + "/web/client";

class CgiFilesTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        ASSERT_TRUE(server.ok());
        _tovuOEMLogoReset();
    }
    void TearDown() override
    {
        _tovuOEMLogoReset();
        ConfigTest::TearDown();
    }

    HttpAnswer get(const std::string &target)
    {
        HttpAnswer ans;
        EXPECT_TRUE(client.get(target, ans)) << target;
        return ans;
    }

    TestWebServer server;
    HttpClient client{server.port(), true};
};

// the built file each row serves
struct Row {
    const char *name;
    const char *built;
};
const Row kRows[] = {
    {"index.html", "index.html"},
    {"style.css", "style.css"},
    {"main.js", "main.min.js"},
    {"colResizable-1.6.js", "colResizable-1.6.min.js"},
    {"running.png", "running.png"},
    {"idle.png", "idle.png"},
    {"stopping.png", "stopping.png"},
    {"start.png", "start.png"},
    {"preview.png", "preview.png"},
    {"stop.png", "stop.png"},
    {"settings.png", "settings.png"},
    {"help.png", "help.png"},
    {"create.png", "create.png"},
    {"remove.png", "remove.png"},
    {"edit.png", "edit.png"},
    {"apply.png", "apply.png"},
    {"cancel.png", "cancel.png"},
    {"jquery-3.7.1.min.js", "jquery-3.7.1.min.js"},
};

} // namespace

TEST(CgiFileTable, RowsInOrderWithTheBuiltBytes)
{
    ASSERT_EQ(sizeof kRows / sizeof kRows[0], (size_t)TOVU_CGI_FILES);
    for (int i = 0; i < TOVU_CGI_FILES; i++) {
        SCOPED_TRACE(kRows[i].name);
        ASSERT_NE(g_cgiFiles[i].szFile, nullptr);
        EXPECT_STREQ(g_cgiFiles[i].szFile, kRows[i].name);
        std::string built = readFile(kWebBuild + "/" + kRows[i].built);
        ASSERT_FALSE(built.empty());
        ASSERT_EQ(g_cgiFiles[i].nSize, (int)built.size());
        EXPECT_EQ(std::string((const char *)g_cgiFiles[i].buf, (size_t)g_cgiFiles[i].nSize), built);
    }
    EXPECT_EQ(g_cgiFiles[TOVU_CGI_FILES].szFile, nullptr);
    EXPECT_EQ(g_cgiFiles[TOVU_CGI_FILES].nSize, 0);
    // the page and the style sheet are served exactly as written, jQuery as
    // the npm package ships it (the page checks it against the CDN's hash)
    EXPECT_EQ(readFile(kWebBuild + "/index.html"), readFile(kWebSource + "/index.html"));
    EXPECT_EQ(readFile(kWebBuild + "/style.css"), readFile(kWebSource + "/style.css"));
    EXPECT_EQ(readFile(kWebBuild + "/jquery-3.7.1.min.js"),
              readFile(std::string(TOVU_SOURCE_DIR) + "/node_modules/jquery/dist/jquery.min.js"));
}

TEST(CgiFileTable, ContentTypeByTheLastDot)
{
    const struct {
        const char *name, *type;
    } cases[] = {
        {"main.js", "text/javascript"},     {"style.css", "text/css"},
        {"a.b.png", "image/png"},           {"index.html", "text/html"},
        {"x.JS", "text/html"},              {"x.png.js", "text/javascript"},
        {"noext", "text/html"},             {"", "text/html"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(tovuCGIDownloadExt(c.name), c.type) << c.name;
}

TEST_F(CgiFilesTest, ServesEmbeddedFilesByNameIgnoringCase)
{
    // the page is asked for anew at every load (an ended login then reaches
    // the login page); what it loads is kept for a day
    const char *page = "no-cache", *day = "max-age=86400";
    const struct {
        const char *target;
        int row;
        const char *type, *cache;
    } cases[] = {
        {"/index.html", 0, "text/html", page},
        {"/INDEX.HTML", 0, "text/html", page},
        {"/Main.JS", 2, "text/javascript", day},
        {"/style.css", 1, "text/css", day},
        {"/colresizable-1.6.JS", 3, "text/javascript", day},
        {"/Cancel.PNG", 16, "image/png", day},
        {"/jquery-3.7.1.min.js", 17, "text/javascript", day},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.target);
        HttpAnswer a = get(c.target);
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(a.header("Content-Type"), c.type);
        EXPECT_EQ(a.header("Cache-Control"), c.cache);
        EXPECT_EQ(a.header("Connection"), "Keep-Alive");
        EXPECT_FALSE(a.has("Content-Disposition"));
        EXPECT_EQ(a.body, std::string((const char *)g_cgiFiles[c.row].buf,
                                      (size_t)g_cgiFiles[c.row].nSize));
        // our headers come in their fixed order
        EXPECT_LT(a.indexOf("Connection"), a.indexOf("Content-Type"));
        EXPECT_LT(a.indexOf("Content-Type"), a.indexOf("Cache-Control"));
    }
}

TEST_F(CgiFilesTest, UnknownNamesAndFoldersGiveAnEmpty404)
{
    for (const char *target : {"/main.min.js", "/web/index.html", "/colResizable-1.6.min.js",
                               "/index.htm", "/nothing", "/index.html/", "//index.html"}) {
        SCOPED_TRACE(target);
        HttpAnswer a = get(target);
        EXPECT_EQ(a.status, 404);
        EXPECT_EQ(a.body, "");
        EXPECT_FALSE(a.has("Content-Type"));
        EXPECT_FALSE(a.has("Cache-Control"));
    }
}

TEST_F(CgiFilesTest, DlOneAnywhereInTheArgumentsAddsTheDisposition)
{
    const struct {
        const char *query;
        bool attached;
    } cases[] = {
        {"?dl=1", true},   {"?xdl=1", true}, {"?dl=10", true}, {"?a=b&dl=1", true},
        {"?dl=0", false},  {"?DL=1", false}, {"?dl", false},   {"", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.query);
        HttpAnswer a = get(std::string("/style.css") + c.query);
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(a.has("Content-Disposition"), c.attached);
        if (c.attached) {
            EXPECT_EQ(a.header("Content-Disposition"), "attachment");
            EXPECT_LT(a.indexOf("Cache-Control"), a.indexOf("Content-Disposition"));
        }
    }
}

namespace {

// a full decode of a PNG: size, and whether it draws anything
struct Decoded {
    bool ok = false;
    unsigned width = 0, height = 0;
    size_t colours = 0, opaque = 0;
};

Decoded decodePng(const std::string &bytes)
{
    Decoded d;
    png_image img;
    memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&img, bytes.data(), bytes.size()))
        return d;
    img.format = PNG_FORMAT_RGBA;
    std::vector<unsigned char> px(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, px.data(), 0, nullptr)) {
        png_image_free(&img);
        return d;
    }
    d.ok = true;
    d.width = img.width;
    d.height = img.height;
    std::set<uint32_t> seen;
    for (size_t i = 0; i + 3 < px.size(); i += 4) {
        if (px[i + 3] == 255)
            d.opaque++;
        if (px[i + 3] > 0)
            seen.insert((uint32_t)px[i] << 16 | (uint32_t)px[i + 1] << 8 | px[i + 2]);
    }
    d.colours = seen.size();
    return d;
}

} // namespace

TEST_F(CgiFilesTest, EveryIconDecodesAtItsSizeAndDrawsSomething)
{
    // the state icons sit beside status texts, the others on buttons
    const struct {
        const char *name;
        unsigned size;
    } icons[] = {
        {"running", 16}, {"idle", 16},     {"stopping", 16}, {"preview", 16}, {"start", 20},
        {"stop", 20},    {"settings", 20}, {"help", 20},     {"create", 20},  {"remove", 20},
        {"edit", 20},    {"apply", 20},    {"cancel", 20},
    };
    for (const auto &icon : icons) {
        SCOPED_TRACE(icon.name);
        HttpAnswer a = get(std::string("/") + icon.name + ".png");
        ASSERT_EQ(a.status, 200);
        EXPECT_EQ(a.header("Content-Type"), "image/png");
        Decoded d = decodePng(a.body);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, icon.size);
        EXPECT_EQ(d.height, icon.size);
        EXPECT_GE(d.colours, 2u);                        // a drawing, not a flat tile
        EXPECT_GE(d.opaque, icon.size * icon.size / 8);  // and a visible one
    }
}

TEST_F(CgiFilesTest, BrandingImagePresentMissingEmptyOrNotAFile)
{
    TempDir dir;
    const std::string logo = dir / "tovuoem.png";
    // larger than several of the reader's blocks, so the stream is pulled in pieces
    std::string bytes;
    for (int i = 0; i < 50000; i++)
        bytes += (char)(i * 7 + i / 251);

    const struct {
        const char *what;
        int kind; // 0 missing, 1 empty, 2 folder, 3 file
        int status;
    } cases[] = {{"missing", 0, 404}, {"empty", 1, 404}, {"folder", 2, 404}, {"file", 3, 200}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(tovutest::removeTree(logo));
        if (c.kind == 1) {
            writeFile(logo, "");
        } else if (c.kind == 2) {
            ASSERT_EQ(mkdir(logo.c_str(), 0755), 0);
        } else if (c.kind == 3) {
            writeFile(logo, bytes);
        }
        _tovuOEMLogoReset();
        EXPECT_EQ(std::string(_tovuOEMLogoFileNameFrom(dir.path().c_str())), logo);
        HttpAnswer a = get("/TovuOEM.png?dl=1");
        EXPECT_EQ(a.status, c.status);
        if (c.status == 404) {
            EXPECT_EQ(a.body, "");
            EXPECT_FALSE(a.has("Content-Type"));
        } else {
            EXPECT_EQ(a.body, bytes);
            EXPECT_EQ(a.header("Content-Type"), "image/png");
            EXPECT_EQ(a.header("Cache-Control"), "max-age=86400");
            EXPECT_EQ(a.header("Content-Disposition"), "attachment");
        }
    }
}

TEST_F(CgiFilesTest, BrandingImagePathTooLongForItsBufferGetsNoImage)
{
    std::string dir = "/tmp/" + std::string(200, 'd');
    EXPECT_STREQ(_tovuOEMLogoFileNameFrom(dir.c_str()), "");
    EXPECT_EQ(get("/tovuoem.png").status, 404);
}

TEST(CgiFileReader, ReadsInBlocksThenEndsOrFails)
{
    TempDir dir;
    const std::string path = dir / "f";
    writeFile(path, std::string(40000, 'x'));
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<char> buf(16384);
    std::vector<ssize_t> got;
    for (int i = 0; i < 4; i++)
        got.push_back(fileReader((void *)(intptr_t)fd, 0, buf.data(), buf.size()));
    EXPECT_EQ(got, (std::vector<ssize_t>{16384, 16384, 40000 - 2 * 16384,
                                         MHD_CONTENT_READER_END_OF_STREAM}));
    fileReaderFree((void *)(intptr_t)fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1); // closed
    // a descriptor that cannot be read ends the stream with an error
    int wfd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(wfd, 0);
    EXPECT_EQ(fileReader((void *)(intptr_t)wfd, 0, buf.data(), buf.size()),
              MHD_CONTENT_READER_END_WITH_ERROR);
    close(wfd);
}

TEST_F(CgiFilesTest, ConfigDownloadWithAndWithoutDl)
{
    ASSERT_NE(tovuSetConfig(("{\"name\":\"t\",\"global\":{\"httpPort\":9527},\"channels\":[" +
                             channel("a \\\"quoted\\\" memo") + "]}").c_str()),
              nullptr);
    const std::string doc = printed(g_jsonConfig);
    for (const char *target : {"/config", "/CONFIG?dl=1"}) {
        SCOPED_TRACE(target);
        bool dl = strstr(target, "dl=1") != nullptr;
        HttpAnswer a = get(target);
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(a.body, doc);
        EXPECT_EQ(a.header("Content-Type"), "application/json");
        EXPECT_EQ(a.header("Cache-Control"), "no-cache");
        EXPECT_EQ(a.has("Content-Disposition"), dl);
        if (dl) {
            EXPECT_EQ(a.header("Content-Disposition"), "attachment; filename=tovul.json");
        }
    }
    // the answer is a copy: the document may change right after it was made
    dropConfig();
    HttpAnswer none = get("/config?dl=1");
    EXPECT_EQ(none.status, 404);
    EXPECT_EQ(none.body, "");
}

TEST_F(CgiFilesTest, ScriptIsTheMinifiedBuildAndRunsInTheBrowser)
{
    // the script's modules, all bundled into the one served script
    size_t source = 0;
    for (const auto &e : std::filesystem::recursive_directory_iterator(kWebSource + "/js")) {
        if (e.is_regular_file() && e.path().extension() == ".js")
            source += readFile(e.path().string()).size();
    }
    HttpAnswer a = get("/main.js");
    ASSERT_EQ(a.status, 200);
    EXPECT_EQ(a.body, readFile(kWebBuild + "/main.min.js"));
    EXPECT_LT(a.body.size(), source);
    EXPECT_EQ(a.body.find("\n    "), std::string::npos); // no source indentation left

    std::string cmd = "node '" + std::string(TOVU_SOURCE_DIR) +
                      "/tests/fixtures/page_runs.js' http://127.0.0.1:" +
                      std::to_string(server.port()) + "/index.html 2>&1";
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char line[4096];
        while (fgets(line, sizeof line, p))
            out += line;
        EXPECT_EQ(pclose(p), 0) << out;
    }
    // the page loaded its script and style sheet and raised no script error
    EXPECT_NE(out.find("\"errors\":[]"), std::string::npos) << out;
    EXPECT_NE(out.find("\"/main.js\":200"), std::string::npos) << out;
    EXPECT_NE(out.find("\"/style.css\":200"), std::string::npos) << out;
}
