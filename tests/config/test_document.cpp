// The document's shape: the readers of channels and globals, the folder and
// time-shift tests, a member set in place, and the installed document freed.
#include "fixtures/test_config_util.h"
#include "tovu_document.h"

using namespace cfgtest;

namespace {

class Document : public ConfigTest {
protected:
    void install(const std::string &text) { ASSERT_NE(tovuSetConfig(text.c_str()), nullptr) << text; }
};

cJSON *parse(const char *text)
{
    return cJSON_Parse(text);
}

// a channel that passes the check, with members of its own and of its output
std::string channelWith(const std::string &memo, const std::string &members, const std::string &url,
                        const std::string &outputMembers = "")
{
    return R"({"memo":")" + memo + "\"," + members + R"("input":{"sources":[{"format":"udp","url":")" +
           url + R"("}]},"output":{)" + outputMembers +
           R"("targets":[{"format":"udp","url":"udp://239.0.0.2:1234","video":{"codec":"h264"}}]}})";
}

} // namespace

TEST_F(Document, ChannelsAndGlobalsOfTheInstalledDocument)
{
    TempDir dir;
    install(R"({"GLOBAL":{"autoRestart":3},"global":{"autoRestart":9},"channels":[)" +
            channelWith("a", R"("Enable":true,)", "udp://239.0.0.1:1234", R"("timeShift":"2",)") + "," +
            channelWith("b", R"("enable":1,)", "udp://239.0.0.1:1234") + "," +
            channelWith("c", "", dir.path()) + "]}");

    TovuConfigLock lock;
    EXPECT_EQ(jsonGetInt(tovuGlobalItem("autoRestart")), 3) << "the first of equal names";
    EXPECT_EQ(tovuChannelCount(), 3);
    EXPECT_EQ(tovuChannelItem(-1), nullptr);
    EXPECT_EQ(tovuChannelItem(3), nullptr);
    EXPECT_EQ(jsonGetText(jsonGetItem(tovuChannelItem(1), "memo")), std::string("b"));

    // "enable" is on only as JSON true; a text "timeShift" reads as its number
    EXPECT_TRUE(tovuChannelEnabled(0));
    EXPECT_FALSE(tovuChannelEnabled(1));
    EXPECT_FALSE(tovuChannelEnabled(3));
    EXPECT_TRUE(tovuChannelTimeShift(0));
    EXPECT_FALSE(tovuChannelTimeShift(1));

    EXPECT_FALSE(tovuIsFolderSource(0));
    EXPECT_TRUE(tovuIsFolderSource(2));
    EXPECT_FALSE(tovuIsFolderSource(3));
    EXPECT_TRUE(tovuIsFolderUrl(dir.path().c_str()));
    EXPECT_FALSE(tovuIsFolderUrl((dir / "none").c_str()));
    EXPECT_FALSE(tovuIsFolderUrl(""));
    EXPECT_FALSE(tovuIsFolderUrl(nullptr));
}

TEST_F(Document, ReadersOfADocumentOfTheCallersOwn)
{
    cJSON *doc = parse(R"({"global":{"ipACL":"deny all"},"channels":[{"memo":"x"}]})");
    EXPECT_EQ(jsonGetText(tovuDocGlobalItem(doc, "IPACL")), std::string("deny all"));
    EXPECT_EQ(tovuDocChannelCount(doc), 1);
    EXPECT_EQ(jsonGetText(jsonGetItem(tovuDocChannel(doc, 0), "memo")), std::string("x"));
    cJSON_Delete(doc);

    // nothing on the way reads as absent
    for (const char *text : {"null", "[]", R"({"global":3,"channels":{"0":{}}})"}) {
        cJSON *other = parse(text);
        EXPECT_EQ(tovuDocGlobalItem(other, "log"), nullptr) << text;
        EXPECT_EQ(tovuDocChannelCount(other), 0) << text;
        EXPECT_EQ(tovuDocChannel(other, 0), nullptr) << text;
        cJSON_Delete(other);
    }
    EXPECT_EQ(tovuDocGlobal(nullptr), nullptr);
}

TEST_F(Document, SettingAMemberKeepsItsNameAndPlace)
{
    cJSON *object = parse(R"({"a":1,"ENABLE":true,"enable":"second","z":0})");
    ASSERT_TRUE(tovuSetMemberBool(object, "enable", false));
    EXPECT_EQ(compact(object), R"({"a":1,"ENABLE":false,"enable":"second","z":0})");
    ASSERT_TRUE(tovuSetMemberNumber(object, "new", 5));
    EXPECT_EQ(compact(object), R"({"a":1,"ENABLE":false,"enable":"second","z":0,"new":5})");
    cJSON_Delete(object);

    // a name the document does not own moves to the new value as it is
    object = cJSON_CreateObject();
    cJSON_AddItemToObjectCS(object, "sslEnable", cJSON_CreateTrue());
    ASSERT_TRUE(tovuSetMemberBool(object, "SSLENABLE", false));
    EXPECT_EQ(compact(object), R"({"sslEnable":false})");
    cJSON_Delete(object);

    // nowhere to set it: nothing changes and the value is not kept
    cJSON *array = parse("[1]");
    EXPECT_FALSE(tovuSetMemberBool(array, "enable", true));
    EXPECT_EQ(compact(array), "[1]");
    EXPECT_FALSE(tovuSetMemberBool(nullptr, "enable", true));
    EXPECT_FALSE(tovuSetMember(array, nullptr, cJSON_CreateTrue()));
    EXPECT_FALSE(tovuSetMember(array, "enable", nullptr));
    cJSON_Delete(array);
}

TEST_F(Document, FreeingTheDocumentLeavesNone)
{
    install(R"({"channels":[)" + channel("a") + "]}");
    tovuFreeConfig();
    TovuConfigLock lock;
    EXPECT_EQ(g_jsonConfig, nullptr);
    EXPECT_EQ(tovuChannelCount(), 0);
    tovuFreeConfig(); // with none installed, and with the lock held
}
