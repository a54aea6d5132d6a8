// The older line-based configuration: reading it into the legacy model and
// generating the JSON configuration text from that model.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "fixtures/comma_locale.h"
#include "fixtures/strict_json.h"
#include "fixtures/temp_dir.h"
#include "tovu_config_legacy.h"
#include "tovu_helpers.h"

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string fixture(const char *name)
{
    return std::string(TOVU_TEST_DATA_DIR) + "/legacy/" + name;
}

// the legacy model as it is before any older file was read
void initialModel()
{
    memset(&g_globalSettings, 0, sizeof g_globalSettings);
    g_globalSettings.nPortHTTP = 9527;
    g_globalSettings.bAutoRun = 1;
    memset(g_tovuChannels, 0, sizeof g_tovuChannels);
}

std::string generated()
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    tovuExportConfigFromXML(fp);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    return s;
}

struct Json {
    cJSON *root = nullptr;
    explicit Json(const std::string &text) : root(cJSON_Parse(text.c_str())) {}
    ~Json() { cJSON_Delete(root); }
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;
};

// a member by a path such as "global/log" or "channels/0/input/sources/1/url"
cJSON *at(cJSON *item, const std::string &path)
{
    std::stringstream ss(path);
    std::string part;
    while (item && std::getline(ss, part, '/')) {
        if (cJSON_IsArray(item))
            item = cJSON_GetArrayItem(item, atoi(part.c_str()));
        else
            item = cJSON_GetObjectItemCaseSensitive(item, part.c_str());
    }
    return item;
}

std::string str(cJSON *root, const std::string &path)
{
    cJSON *i = at(root, path);
    return cJSON_IsString(i) ? i->valuestring : "<not a string: " + path + ">";
}

double number(cJSON *root, const std::string &path)
{
    cJSON *i = at(root, path);
    return cJSON_IsNumber(i) ? i->valuedouble : -99999;
}

// 1 for true, 0 for false, -1 for anything else
int boolean(cJSON *root, const std::string &path)
{
    cJSON *i = at(root, path);
    return cJSON_IsTrue(i) ? 1 : cJSON_IsFalse(i) ? 0 : -1;
}

int size(cJSON *root, const std::string &path)
{
    cJSON *i = at(root, path);
    return cJSON_IsArray(i) || cJSON_IsObject(i) ? cJSON_GetArraySize(i) : -1;
}

class LegacyConfig : public ::testing::Test {
protected:
    tovutest::TempDir scratch{"tovu_legacy"};
    std::string dir = scratch.path();

    void SetUp() override
    {
        ASSERT_FALSE(dir.empty());
        initialModel();
    }

    // writes text as an older file and reads it into the model
    void load(const std::string &text)
    {
        std::string path = dir + "/tovul.conf";
        std::ofstream(path, std::ios::binary) << text;
        ASSERT_EQ(tovuImportConfigXML(path.c_str()), 0);
    }
    void loadFixture(const char *name)
    {
        ASSERT_EQ(tovuImportConfigXML(fixture(name).c_str()), 0) << name;
    }

    // the generated text; it must parse as JSON
    std::string text()
    {
        std::string t = generated();
        Json j(t);
        EXPECT_NE(j.root, nullptr) << t;
        return t;
    }
};

} // namespace

TEST_F(LegacyConfig, NoOlderFileKeepsInitialValues)
{
    EXPECT_EQ(tovuImportConfigXML((dir + "/missing.conf").c_str()), -1);
    EXPECT_EQ(tovuImportConfigXML(dir.c_str()), -1); // a folder
    ASSERT_EQ(mkfifo((dir + "/pipe.conf").c_str(), 0600), 0);
    EXPECT_EQ(tovuImportConfigXML((dir + "/pipe.conf").c_str()), -1); // never waits for a writer
    const std::string t = text();
    Json j(t);
    EXPECT_EQ(number(j.root, "global/log"), 0);
    EXPECT_EQ(number(j.root, "global/httpPort"), 9527);
    EXPECT_EQ(boolean(j.root, "global/sslEnable"), 0);
    EXPECT_EQ(str(j.root, "global/ipACL"), "");
    EXPECT_EQ(boolean(j.root, "global/autoRun"), 1);
    EXPECT_EQ(number(j.root, "global/autoRestart"), 0);
    EXPECT_EQ(str(j.root, "global/altInput"), "");
    EXPECT_EQ(boolean(j.root, "global/folderRecur"), 0);
    EXPECT_EQ(boolean(j.root, "global/folderShuffle"), 0);
    EXPECT_EQ(str(j.root, "global/loginPass"), "");
    EXPECT_EQ(str(j.root, "name"), "Tovumedia Configuration File");
    EXPECT_NE(t.find("  \"channels\": [\n  ]\n}\n"), std::string::npos) << t;
}

TEST_F(LegacyConfig, EmptyFileGivesResetValues)
{
    g_tovuChannels[0].nSources = g_tovuChannels[0].nTargets = 1; // replaced by the reset
    loadFixture("empty.conf");
    EXPECT_EQ(g_globalSettings.nPortRTSP, 5544);
    Json j(text());
    EXPECT_EQ(boolean(j.root, "global/autoRun"), 0);
    EXPECT_EQ(number(j.root, "global/autoRestart"), 1);
    EXPECT_EQ(number(j.root, "global/httpPort"), 9527);
    EXPECT_EQ(size(j.root, "channels"), 0);
}

TEST_F(LegacyConfig, Globals)
{
    loadFixture("globals.conf");
    const GLOBAL_SETTINGS &g = g_globalSettings;
    EXPECT_EQ(g.nLogLevel, 32);
    EXPECT_EQ(g.nPortHTTP, 8080);     // after a tab, any case
    EXPECT_EQ(g.nPortRTSP, 6000);
    EXPECT_EQ(g.bAutoRun, 1);
    EXPECT_EQ(g.nAutoRestart, 7);     // "AutoRestart<tab>9" is no key
    EXPECT_EQ(g.nStreamTimeLimit, 60);
    EXPECT_EQ(g.bFolderRecur, 1);
    EXPECT_EQ(g.bFolderShuffle, 1);
    EXPECT_STREQ(g.szLoginPass, "se\"cr\\et"); // a word

    const std::string t = text();
    EXPECT_NE(t.find("\"loginPass\": \"se\\\"cr\\\\et\""), std::string::npos) << t;
    Json j(t);
    EXPECT_EQ(number(j.root, "global/log"), 32);
    EXPECT_EQ(number(j.root, "global/httpPort"), 8080);
    EXPECT_EQ(number(j.root, "global/autoRestart"), 7);
    EXPECT_EQ(boolean(j.root, "global/autoRun"), 1);
    EXPECT_EQ(boolean(j.root, "global/folderRecur"), 1);
    EXPECT_EQ(boolean(j.root, "global/folderShuffle"), 0); // never carried
    EXPECT_EQ(str(j.root, "global/loginPass"), "se\"cr\\et");
    EXPECT_EQ(at(j.root, "global/RTSPPort"), nullptr);
}

// The whole text of one channel, byte for byte.
TEST_F(LegacyConfig, OneChannelLayout)
{
    loadFixture("one_channel.conf");
    EXPECT_EQ(text(), readFile(fixture("one_channel.json")));
}

TEST_F(LegacyConfig, OneChannelMembers)
{
    loadFixture("one_channel.conf");
    const TOVU_CHANNEL_TARGET &t = g_tovuChannels[0].targets[0];
    EXPECT_EQ(t.target.url, t.szfnTarget);
    EXPECT_EQ(t.target.video.quality, 0); // bit rate wins over quality
    EXPECT_STREQ(t.tszVideoParam, "-preset fast ");

    Json j(text());
    cJSON *ch = at(j.root, "channels/0");
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(boolean(ch, "enable"), 1);
    EXPECT_EQ(str(ch, "input/sources/0/format"), "file");
    EXPECT_EQ(str(ch, "input/sources/0/url"), "/media/clip one.mp4");
    EXPECT_EQ(str(ch, "input/sources/0/video/options/0"), "-re");
    EXPECT_EQ(size(ch, "input/sources/0/audio"), 0);
    EXPECT_EQ(str(ch, "input/customOptions"), "-fflags +genpts");
    EXPECT_EQ(size(ch, "input/formatOptions"), 0);
    EXPECT_EQ(size(ch, "input/map"), 2);
    EXPECT_EQ(str(ch, "input/map/1"), "0:a:1");
    cJSON *o = at(ch, "output/targets/0");
    EXPECT_EQ(boolean(o, "video/enable"), 1); // JSON true: readers take nothing else as on
    EXPECT_EQ(boolean(o, "audio/enable"), 1);
    EXPECT_EQ(str(o, "video/codec"), "h264");
    EXPECT_EQ(number(o, "video/frameRate"), 29.97);
    EXPECT_EQ(str(o, "video/globalHeader"), "outOfBand");
    EXPECT_EQ(str(o, "video/IP"), "10.0.0.2");
    EXPECT_EQ(number(o, "video/port"), 5004);
    EXPECT_EQ(str(o, "audio/globalHeader"), "inBand");
    EXPECT_EQ(str(o, "rtmp/passwd"), "pa\\ss");
    EXPECT_EQ(boolean(o, "mux/cbr"), 0);
    EXPECT_EQ(str(ch, "output/formatOptions/0"), "-f mpegts");
    EXPECT_EQ(str(ch, "output/customOptions"), "-muxdelay 0");
    EXPECT_EQ(str(ch, "memo"), "studio \\");
}

// Windows line ends read exactly like Unix ones.
TEST_F(LegacyConfig, WindowsLineEnds)
{
    std::string unix = readFile(fixture("one_channel.conf")), dos;
    for (char c : unix)
        dos += c == '\n' ? std::string("\r\n") : std::string(1, c);
    load(dos);
    EXPECT_EQ(text(), readFile(fixture("one_channel.json")));
}

TEST_F(LegacyConfig, NumberedSubBlocks)
{
    loadFixture("sub_blocks.conf");
    const TOVU_CHANNEL &c = g_tovuChannels[0];
    EXPECT_EQ(c.nSources, 2);
    EXPECT_EQ(c.nTargets, 3);
    Json j(text());
    cJSON *ch = at(j.root, "channels/0");
    EXPECT_EQ(boolean(ch, "enable"), 0);
    EXPECT_EQ(size(ch, "input/sources"), 2);
    EXPECT_EQ(str(ch, "input/sources/0/url"), "/media/a.mp4");
    EXPECT_EQ(str(ch, "input/sources/1/format"), "device");
    EXPECT_EQ(str(ch, "input/sources/1/url"), "/dev/video0"); // rest of line
    EXPECT_EQ(str(ch, "input/sources/1/video/options/0"), "-re"); // the channel's input options
    EXPECT_EQ(size(ch, "output/targets"), 3);
    EXPECT_EQ(str(ch, "output/targets/1/format"), "rtmp");
    EXPECT_EQ(str(ch, "output/targets/1/video/codec"), "copy");
    EXPECT_EQ(str(ch, "output/targets/2/audio/codec"), "g711u"); // no codec line: id 0
    EXPECT_EQ(str(ch, "output/formatOptions/0"), "-y");
}

TEST_F(LegacyConfig, RtpNativeInput)
{
    loadFixture("rtp_native.conf");
    EXPECT_STREQ(g_tovuChannels[0].sources[0].szfnSource, "/ignored/for/rtp");
    Json j(text());
    cJSON *s = at(j.root, "channels/0/input/sources/0");
    EXPECT_EQ(at(s, "url"), nullptr);
    EXPECT_EQ(str(s, "format"), "rtp_native");
    EXPECT_EQ(str(s, "video/codec"), "h264");
    EXPECT_EQ(str(s, "video/IP"), "239.1.1.1");
    EXPECT_EQ(number(s, "video/port"), 5000);
    EXPECT_EQ(str(s, "video/fmtp"), "packetization-mode=1; profile-level-id=42e01f");
    EXPECT_EQ(boolean(s, "video/enable"), 0);
    EXPECT_EQ(str(s, "audio/codec"), "aac");
    EXPECT_EQ(number(s, "audio/sampleRate"), 44100);
    EXPECT_EQ(number(s, "audio/channels"), 2);
    EXPECT_EQ(str(s, "audio/IP"), "239.1.1.2");
    EXPECT_EQ(number(s, "audio/port"), 5002);
    EXPECT_EQ(str(s, "audio/fmtp"), "config=1210");
    EXPECT_EQ(boolean(s, "audio/enable"), 0);
}

TEST_F(LegacyConfig, FiltersAndTimeShift)
{
    loadFixture("filters.conf");
    const TOVU_CHANNEL &c = g_tovuChannels[0];
    EXPECT_EQ(c.nFilters, 10);
    EXPECT_EQ(c.nTimeShiftSec, 120);
    EXPECT_STREQ(c.tszTimeShiftCacheFolder, "/tmp/cache/");
    EXPECT_STREQ(c.sources[0].szfnSource, "udp://0.0.0.0:1234?fifo_size=100000");
    Json j(text());
    cJSON *ch = at(j.root, "channels/0");
    EXPECT_EQ(size(ch, "input/filters"), 10);
    EXPECT_EQ(str(ch, "input/filters/0"), "yadif"); // the line before "Filters " is ignored
    EXPECT_EQ(str(ch, "input/filters/9"), "f10");
    EXPECT_EQ(at(ch, "input/sources/0/url"), nullptr); // udp: no url
    EXPECT_EQ(number(ch, "output/targets/0/video/quality"), 30);
    EXPECT_EQ(at(ch, "output/timeShift"), nullptr);
}

TEST_F(LegacyConfig, QuotedAndRestOfLineValues)
{
    loadFixture("quoted.conf");
    const TOVU_CHANNEL &c = g_tovuChannels[0];
    // "File " before "Format " is quoted; after "Format srt" it takes the rest of the line
    EXPECT_STREQ(c.sources[0].szfnSource, "srt://host:9000?mode=caller&passphrase=\"x y\"   ");
    EXPECT_STREQ(c.targets[0].szfnTarget, "/out/no closing quote");
    EXPECT_STREQ(c.tszMemo, "");                // no quote: unchanged
    EXPECT_STREQ(c.targets[0].tszVideoParam, ""); // empty value: unchanged
    EXPECT_STREQ(c.tszFormatParam, "-f  mp4");
    EXPECT_STREQ(c.tszCustomTargetParam, "-movflags +faststart");
    EXPECT_EQ(g_tovuChannels[1].targets[0].target.url, g_tovuChannels[1].targets[0].szfnTarget);

    Json j(text());
    EXPECT_EQ(size(j.root, "channels"), 2);
    EXPECT_EQ(str(j.root, "channels/1/input/sources/0/url"), "/in/second.ts");
    EXPECT_EQ(str(j.root, "channels/1/output/targets/0/url"), "");
    EXPECT_EQ(str(j.root, "channels/0/output/formatOptions/0"), "-f  mp4");
}

namespace {
// a channel block n with one input and one output
std::string block(int n, const char *open = "Slot", const char *close = "Slot", const char *extra = "")
{
    return "<" + std::string(open) + std::to_string(n) + ">\n<Input>\nFile \"/in/" + std::to_string(n) +
           ".ts\"\n</Input>\n<Output>\nFormat udp\nVideoCodec h264\n" + extra + "</Output>\n</" + close +
           std::to_string(n) + ">\n";
}
} // namespace

// Channel blocks count only in the order 1, 2, 3...; either closing tag closes either opening one.
TEST_F(LegacyConfig, ChannelBlockOrder)
{
    load("<Slot2>\nAutoRestart 42\n<Input>\nFile \"/in/x.ts\"\n</Input>\n</Slot2>\n" +
         block(1, "Slot", "Channel") + block(2, "Channel", "Slot") + block(4) + block(3));
    EXPECT_EQ(g_globalSettings.nAutoRestart, 42); // read as a top-level line
    EXPECT_STREQ(g_tovuChannels[0].sources[0].szfnSource, "/in/1.ts");
    EXPECT_STREQ(g_tovuChannels[1].sources[0].szfnSource, "/in/2.ts");
    EXPECT_STREQ(g_tovuChannels[2].sources[0].szfnSource, "/in/3.ts");
    EXPECT_EQ(g_tovuChannels[3].nSources, 0);
    Json j(text());
    EXPECT_EQ(size(j.root, "channels"), 3);
}

TEST_F(LegacyConfig, UnclosedBlockRunsToTheEnd)
{
    load("<Slot1>\n<Input>\nFile \"/in/1.ts\"\n</Input>\n<Output>\nVideoCodec h264\n</Output>\n"
         "log 5\n<Slot2>\n");
    EXPECT_EQ(g_globalSettings.nLogLevel, 0); // global keys are not read inside a block
    EXPECT_EQ(g_tovuChannels[1].nSources, 0);
    Json j(text());
    EXPECT_EQ(size(j.root, "channels"), 1);
}

TEST_F(LegacyConfig, NothingIsReadAfterTheSixteenthChannel)
{
    std::string t;
    for (int n = 1; n <= 17; n++)
        t += block(n);
    load(t + "log 9\n");
    EXPECT_EQ(g_globalSettings.nLogLevel, 0);
    Json j(text());
    EXPECT_EQ(size(j.root, "channels"), 16);
    EXPECT_EQ(str(j.root, "channels/15/input/sources/0/url"), "/in/16.ts");
}

// A channel without inputs or outputs (or with a count of 0) ends the written list;
// a negative count writes an empty list but does not end it.
TEST_F(LegacyConfig, EmptyChannelEndsTheList)
{
    struct Case {
        const char *second;
        int channels;
    };
    const Case cases[] = {
        {"<Slot2>\n<Input>\nFile \"/a\"\n</Input>\n</Slot2>\n", 1},
        {"<Slot2>\n<Output>\nVideoCodec h264\n</Output>\n</Slot2>\n", 1},
        {"<Slot2>\n<Input>\nNumInputs 0\n</Input>\n<Output>\n</Output>\n</Slot2>\n", 1},
        {"<Slot2>\n<Input>\nNumInputs -1\n</Input>\n<Output>\n</Output>\n</Slot2>\n", 3},
        {"<Slot2>\n<Input>\n</Input>\n<Output>\nNumOutputs -2\n</Output>\n</Slot2>\n", 3},
    };
    for (const Case &c : cases) {
        load(block(1) + c.second + block(3));
        Json j(text());
        EXPECT_EQ(size(j.root, "channels"), c.channels) << c.second;
        if (c.channels == 3) {
            EXPECT_EQ(size(at(j.root, "channels/1"), "input/sources") *
                          size(at(j.root, "channels/1"), "output/targets"), 0) << c.second;
        }
    }
}

TEST_F(LegacyConfig, InputCounts)
{
    struct Case {
        const char *count;
        int sources;
    };
    const Case cases[] = {{"NumInputs 3", 3}, {"NumInputs 25", 20}, {"NumInputs x", 1}};
    for (const Case &c : cases) {
        load(std::string("<Slot1>\n<Input>\n") + c.count + "\n</Input>\n<Output>\n</Output>\n</Slot1>\n");
        EXPECT_EQ(g_tovuChannels[0].nSources, c.sources) << c.count;
    }
    load("<Slot1>\n<Output>\nNumOutputs 9\n</Output>\n</Slot1>\n");
    EXPECT_EQ(g_tovuChannels[0].nTargets, 5);
}

// A stray line where "<Input2>" was expected: input 2 gets nothing, and the
// lines of the sub-block that follows go to input 1.
TEST_F(LegacyConfig, StrayLineBetweenSubBlocks)
{
    load("<Slot1>\n<Input>\nNumInputs 2\n<Input1>\nFile \"/in/a\"\n</Input1>\nstray\n"
         "<Input2>\nFormat device\nFile /dev/video1\n</Input2>\n</Input>\n</Slot1>\n");
    const TOVU_CHANNEL &c = g_tovuChannels[0];
    EXPECT_EQ(c.nSources, 2);
    EXPECT_EQ(c.sources[0].source.format, TOVU_FORMAT_DEVICE);
    EXPECT_STREQ(c.sources[0].szfnSource, "/dev/video1");
    EXPECT_EQ(c.sources[1].source.url, nullptr);
}

TEST_F(LegacyConfig, OutputLineRules)
{
    struct Case {
        const char *lines;
        const char *videoParam;
        int quality;
    };
    const Case cases[] = {
        {"VideoParam \"-map 0:v -g 50 -map 0:a\"", "-g 50 ", 0},
        {"VideoParam \"-b:v 1M -map 0:1 -map 0:2 -bf 0\"", "-b:v 1M -bf 0", 0},
        {"VideoParam \"-map 0:v\"", "", 0},
        {"VideoQuality 20\nVideoBitRate 900", "", 0},
        {"VideoBitRate 900\nVideoQuality 20", "", 0},
        {"VideoBitRate 0\nVideoQuality 20", "", 20},
    };
    for (const Case &c : cases) {
        load(std::string("<Slot1>\n<Output>\n") + c.lines + "\n</Output>\n</Slot1>\n");
        EXPECT_STREQ(g_tovuChannels[0].targets[0].tszVideoParam, c.videoParam) << c.lines;
        EXPECT_EQ(g_tovuChannels[0].targets[0].target.video.quality, c.quality) << c.lines;
    }
}

TEST_F(LegacyConfig, MapWords)
{
    struct Case {
        const char *map;
        const char *json;
    };
    const Case cases[] = {
        {"", "[]"},
        {"-map 0:v", "[\"0:v\"]"},
        {"-map   0:v -c copy -map 0:a", "[\"0:v\", \"0:a\"]"},
        {"-map    ", "[\"\"]"},
        {"-map 1 -map ", "[\"1\"]"},
        {"-map a\"b", "[\"a\\\"b\"]"},
    };
    for (const Case &c : cases) {
        initialModel();
        TOVU_CHANNEL &ch = g_tovuChannels[0];
        ch.nSources = ch.nTargets = 1;
        snprintf(ch.tszMapParam, sizeof ch.tszMapParam, "%s", c.map);
        const std::string t = text();
        EXPECT_NE(t.find(std::string("\"map\": ") + c.json + ",\n"), std::string::npos) << c.map << "\n" << t;
    }
}

// Ids without a name are written as a text that reads back as no format and no codec.
TEST_F(LegacyConfig, UnnamedIds)
{
    load("<Slot1>\n<Input>\nFormat bogus\n</Input>\n<Output>\nFormat\nVideoCodec x265\n</Output>\n</Slot1>\n");
    const TOVU_CHANNEL &c = g_tovuChannels[0];
    EXPECT_EQ(c.sources[0].source.format, TOVU_FORMAT_NULL);
    EXPECT_EQ(c.targets[0].target.video.codec, TOVU_CODEC_NULL);
    Json j(text());
    EXPECT_EQ(tovuGetFormatId(str(j.root, "channels/0/input/sources/0/format").c_str()), TOVU_FORMAT_NULL);
    EXPECT_EQ(tovu_get_codec_id(str(j.root, "channels/0/output/targets/0/video/codec").c_str()),
              TOVU_CODEC_NULL);
}

// Urls escape to at most 999 characters, cut before a character that would pass
// that; other texts are written whole, and every text reads back unchanged.
TEST_F(LegacyConfig, EscapingKeepsFieldsAndJson)
{
    TOVU_CHANNEL &ch = g_tovuChannels[0];
    ch.nSources = ch.nTargets = 1;
    std::string url(998, 'a');
    url += '"';
    snprintf(ch.sources[0].szfnSource, sizeof ch.sources[0].szfnSource, "%s", url.c_str());
    std::string quotes(999, '"');
    snprintf(ch.targets[0].szfnTarget, sizeof ch.targets[0].szfnTarget, "%s", quotes.c_str());
    snprintf(ch.tszMemo, sizeof ch.tszMemo, "%s", std::string(999, '\\').c_str());
    snprintf(g_globalSettings.szLoginPass, sizeof g_globalSettings.szLoginPass, "%s", "p\"w\\");

    Json j(text());
    EXPECT_EQ(str(j.root, "channels/0/input/sources/0/url"), std::string(998, 'a'));
    EXPECT_EQ(str(j.root, "channels/0/output/targets/0/url"), std::string(499, '"'));
    EXPECT_EQ(str(j.root, "channels/0/memo"), std::string(999, '\\'));
    EXPECT_EQ(str(j.root, "global/loginPass"), "p\"w\\");

    char buf[8] = "a\"b\\cd";
    _jsonUnescape(buf, sizeof buf);
    EXPECT_STREQ(buf, "a\\\"b\\\\c"); // 7 characters and the NUL
    char small[4] = "\"\"\"";
    _jsonUnescape(small, sizeof small);
    EXPECT_STREQ(small, "\\\"");
}

// Control characters from the older file (a tab in a quoted path, others in
// words) are written as JSON escapes, so a strict reader takes the text; every
// byte, those above 0x7f included, reads back as it was.
TEST_F(LegacyConfig, ControlCharactersEscapedBytesKept)
{
    const std::string path = "/media/a\tb\x01" "c\x1f\x7f\xc3\xa4\xff.ts";
    load("LoginPass p\x02w\n<Slot1>\n<Input>\nFile \"" + path +
         "\"\n</Input>\n<Output>\nFormat udp\nVideoCodec h264\nFile \"udp://h:1\"\n"
         "Memo \"m\tm\\\"\n</Output>\n</Slot1>\n");
    ASSERT_STREQ(g_tovuChannels[0].sources[0].szfnSource, path.c_str());

    std::string t = text();
    size_t where = 0;
    EXPECT_TRUE(tovutest::StrictJson::valid(t, &where)) << t.substr(where, 40);
    Json j(t);
    EXPECT_EQ(str(j.root, "channels/0/input/sources/0/url"), path);
    EXPECT_EQ(str(j.root, "global/loginPass"), "p\x02w");
    EXPECT_EQ(str(j.root, "channels/0/memo"), "m\tm\\");

    // the escaped forms count against the limit: a "\u0001" that would pass it is cut
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"\x01", "\\u0001"}, {"\x1f\f", "\\u001f"}, {"\r\n\b", "\\r\\n\\b"},
        {"a\tb", "a\\tb"}, {"ab\x01", "ab"}, // "ab\u0001" would take 8 characters and the NUL
    };
    for (const Case &c : cases) {
        char buf[8] = "";
        memcpy(buf, c.in.data(), c.in.size());
        _jsonUnescape(buf, sizeof buf);
        EXPECT_EQ(std::string(buf), c.out) << c.in;
    }
}

TEST_F(LegacyConfig, FrameRateWithFullStop)
{
    CommaLocale comma;   // when no such locale can be had, only "C" is tried
    for (const char *loc : {"C", CommaLocale::kName}) {
        if (!setlocale(LC_ALL, loc))
            continue;
        initialModel();
        TOVU_CHANNEL &ch = g_tovuChannels[0];
        ch.nSources = ch.nTargets = 1;
        ch.targets[0].target.video.fps = 29.97f;
        ch.targets[1].target.video.fps = 25.0f;
        ch.nTargets = 2;
        const std::string t = text();
        EXPECT_NE(t.find("\"frameRate\": 29.97,"), std::string::npos) << loc;
        EXPECT_NE(t.find("\"frameRate\": 25,"), std::string::npos) << loc;
    }
    setlocale(LC_ALL, "C");
}

// Damaged files are read as far as the rules allow, without overrunning a field.
TEST_F(LegacyConfig, DamagedFiles)
{
    std::string longLine = "File \"" + std::string(3000, 'x') + "\"\n";
    std::string tooMany = "<Slot1>\n<Input>\nNumInputs 99\n";
    for (int i = 1; i <= 30; i++)
        tooMany += "<Input" + std::to_string(i) + ">\nFile \"/" + std::to_string(i) + "\"\n</Input" +
                   std::to_string(i) + ">\n";
    tooMany += "</Input>\n<Output>\nFilters 99\nFilter[11] \"x\"\nNumOutputs 9\n</Output>\n</Slot1>\n";
    const std::string cases[] = {
        "<Slot1>\n<Input>\n" + longLine + "</Input>\n<Output>\n" + longLine + "</Output>\n</Slot1>\n",
        tooMany,
        "<Slot1>\n<Output>\n<Input>\n</Input>\n</Slot1>\n<Slot2>\n",
        "<Slot1>\n<Input>\nNumInputs 2\n<Input1>\nFormat rtp_native\nVideoIP " + std::string(500, '1') +
            "\nVideoPort 99999999999\nTimeShift 999999999\n",
        std::string("log 1\0\0\xff\xfe<Slot1>\n\0\n", 14),
        "<Output>\n</Output>\n</Input>\n</Slot1>\nEnable 1\n",
    };
    for (const std::string &c : cases) {
        load(c);
        text();
    }
    load(tooMany);
    EXPECT_EQ(g_tovuChannels[0].nSources, 20);
    EXPECT_STREQ(g_tovuChannels[0].sources[19].szfnSource, "/20");
    EXPECT_EQ(g_tovuChannels[0].nFilters, 10);

    // random bytes mixed with keys and tags
    const char *words[] = {"<Slot1>", "<Input>", "</Input>", "<Output>", "</Output>", "NumInputs 7",
                           "NumOutputs 4", "<Input1>", "</Input1>", "<Output2>", "Filters 10",
                           "Filter[3] \"", "File \"", "File ", "Format rtp_native", "VideoParam \"-map ",
                           "MapParam \"-map ", "TimeShiftCacheFolder \"", "</Slot1>", "<Slot2>", "\r\n",
                           "\n", "\"", "\\", "\t", " "};
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; round++) {
        std::string t;
        int n = rng() % 200;
        for (int i = 0; i < n; i++) {
            if (rng() % 3)
                t += words[rng() % (sizeof words / sizeof *words)];
            else
                t += std::string(rng() % 40, (char)(rng() % 256));
        }
        load(t);
        text();
    }
}
