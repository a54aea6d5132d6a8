// Channel stop, state and status text: which slots a channel number reaches
// (time shift, binding) and the rules of the status text.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "fixtures/channel_docs.h"
#include "fixtures/channel_fixture.h"

using namespace chantest;

namespace {

class ChannelState : public ChannelTest {
protected:
    void SetUp() override
    {
        ChannelTest::SetUp();
        ASSERT_EQ(init(1), 0);
    }
    void TearDown() override
    {
        _tovu_idle_slots();
        ChannelTest::TearDown();
    }
    // puts a slot into a state with figures, no process behind it
    void slot(int i, TOVU_CHANNEL_STATE st, int t = -1, int fps = -1, int kbps = -1)
    {
        ASSERT_EQ(_tovu_set_slot(i, st, t, fps, kbps), 0);
    }
    std::string status(int ch, const char *initial = "RUNNING")
    {
        char buf[TOVU_STATUS_TEXT_SIZE];
        memset(buf, 'x', sizeof buf);
        strcpy(buf, initial);
        tovuGetChannelStatus(ch, buf);
        EXPECT_NE(memchr(buf, '\0', sizeof buf), nullptr);
        return buf;
    }
    // four plain channels, channel index 3 with the given channel members and output extra
    void channels(const std::string &members, const std::string &outputExtra = "")
    {
        std::string c3 = chan(src("file", "/media/c.ts"), tgt("udp", "udp://127.0.0.1:1"), "", outputExtra);
        c3.insert(1, members.empty() ? "" : members + ",");
        config(doc("", plainChan("a") + "," + plainChan("b") + "," + plainChan("c") + "," + c3));
    }
};

TEST_F(ChannelState, TimeShiftReadsAndStopsSlotPlusSixteen)
{
    for (const char *shift : {"\"1\"", "true", "1"}) {
        SCOPED_TRACE(shift);
        channels("", std::string(",\"timeShift\":") + shift);
        slot(3, TOVU_STATE_RUNNING);
        slot(19, TOVU_STATE_NOSIGNAL);
        EXPECT_EQ(tovuGetChannelState(3), TOVU_STATE_NOSIGNAL);
        tovuStopChannel(3, 0);
        EXPECT_EQ(tovu_get_state(19), TOVU_STATE_STOPPING);
        EXPECT_EQ(tovu_get_state(3), TOVU_STATE_STOPPING);
        slot(3, TOVU_STATE_IDLE);
        slot(19, TOVU_STATE_IDLE);
    }
    // the stop mode goes through unchanged
    channels("", ",\"timeShift\":1");
    slot(3, TOVU_STATE_RUNNING);
    slot(19, TOVU_STATE_RUNNING);
    tovuStopChannel(3, 1);
    EXPECT_NE(log_text(19).find("stop transcoding forcedly"), std::string::npos);
    EXPECT_NE(log_text(3).find("stop transcoding forcedly"), std::string::npos);
}

// the time-shift channel's transcoder runs in its own slot, N + 16 stays idle
TEST_F(ChannelState, TimeShiftChannelStreamingInItsOwnSlotReadsAsItsSlot)
{
    channels("", ",\"timeShift\":1");
    EXPECT_EQ(tovuGetChannelState(3), TOVU_STATE_IDLE);
    for (TOVU_CHANNEL_STATE st : {TOVU_STATE_RUNNING, TOVU_STATE_EXTRACT, TOVU_STATE_NOSIGNAL, TOVU_STATE_STOPPING}) {
        slot(3, st);
        EXPECT_EQ(tovuGetChannelState(3), st);
    }
    // what does run in slot N + 16 comes first
    slot(3, TOVU_STATE_RUNNING);
    slot(19, TOVU_STATE_NOSIGNAL);
    EXPECT_EQ(tovuGetChannelState(3), TOVU_STATE_NOSIGNAL);
}

TEST_F(ChannelState, WithoutTimeShiftOnlyOwnSlot)
{
    channels("", ",\"timeShift\":0");
    slot(3, TOVU_STATE_RUNNING);
    slot(19, TOVU_STATE_RUNNING);
    EXPECT_EQ(tovuGetChannelState(3), TOVU_STATE_RUNNING);
    tovuStopChannel(3, 0);
    EXPECT_EQ(tovu_get_state(3), TOVU_STATE_STOPPING);
    EXPECT_EQ(tovu_get_state(19), TOVU_STATE_RUNNING);
}

TEST_F(ChannelState, BindingReportsHostWhileIdle)
{
    slot(2, TOVU_STATE_PREVIEW);
    struct Case {
        const char *bind;
        TOVU_CHANNEL_STATE expected;
    } cases[] = {
        {"3", TOVU_STATE_PREVIEW}, {"\"3\"", TOVU_STATE_PREVIEW}, {"0", TOVU_STATE_IDLE},
        {"-1", TOVU_STATE_IDLE},   {"\"abc\"", TOVU_STATE_IDLE},  {"false", TOVU_STATE_IDLE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bind);
        channels(std::string("\"bind\":") + c.bind);
        EXPECT_EQ(tovuGetChannelState(3), c.expected);
    }
    // its own running slot wins over the host's
    channels("\"bind\":3");
    slot(3, TOVU_STATE_RUNNING);
    EXPECT_EQ(tovuGetChannelState(3), TOVU_STATE_RUNNING);
    // a time-shift channel whose slot N + 16 is idle reports as one without
    // time shift: its own running slot, else the host
    channels("\"bind\":3", ",\"timeShift\":true");
    EXPECT_EQ(tovuGetChannelState(3), TOVU_STATE_RUNNING);
    slot(3, TOVU_STATE_IDLE);
    EXPECT_EQ(tovuGetChannelState(3), TOVU_STATE_PREVIEW);
    // beyond the configured channels: no time shift, no binding
    slot(9, TOVU_STATE_EXTRACT);
    EXPECT_EQ(tovuGetChannelState(9), TOVU_STATE_EXTRACT);
    EXPECT_EQ(tovuGetChannelState(10), TOVU_STATE_IDLE);
}

TEST_F(ChannelState, StatusTextFromFigures)
{
    channels("");
    struct Case {
        int t, fps, kbps;
        const char *expected;
    } cases[] = {
        {3725, 25, 3000, "01:02:05   25fps@3000Kbps"},
        {0, 30, -1, "00:00:00   30fps"},
        {0, -1, -1, "00:00:00   "},
        {360000, -1, 500, "100:00:00   @500Kbps"},
        {-1, 25, -1, "RUNNING25fps"},
        {-1, -1, -1, "RUNNING"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        slot(3, TOVU_STATE_RUNNING, c.t, c.fps, c.kbps);
        EXPECT_EQ(status(3), c.expected);
    }
}

TEST_F(ChannelState, StatusOfBoundChannelIsHostTime)
{
    channels("\"bind\":3");
    slot(2, TOVU_STATE_RUNNING, 61, 25, 1000);
    EXPECT_EQ(status(3), "00:01:01   ");
    slot(2, TOVU_STATE_RUNNING, -1, 25, 1000);
    EXPECT_EQ(status(3), "RUNNING");
    // with its own slot busy, its own figures count
    slot(3, TOVU_STATE_RUNNING, 5, 10, -1);
    EXPECT_EQ(status(3), "00:00:05   10fps");
}

TEST_F(ChannelState, StatusOfFolderChannelIsCurrentFileName)
{
    std::string media = path("media");
    ASSERT_EQ(mkdir(media.c_str(), 0755), 0);
    tovutest::write_file(media + "/b.ts", "x");
    tovutest::write_file(media + "/a.ts", "x");
    config(doc("", plainChan("a") + "," + chan(src("file", media), tgt("udp", "udp://127.0.0.1:1"))));
    slot(1, TOVU_STATE_RUNNING, 10, 25, 100);
    // no current file yet: the caller's text stays
    EXPECT_EQ(status(1), "RUNNING");
    ASSERT_EQ(g_tovuPlaylists[1].build(media.c_str(), FALSE, FALSE, TRUE), 2);
    EXPECT_EQ(status(1), "a.ts");
}

TEST_F(ChannelState, StatusStaysInBufferOnCharacterBoundary)
{
    // a caller's text of 95 bytes and two-byte characters: the figures cut where a character starts
    channels("");
    std::string initial(93, 'r');
    initial += "\xc3\xa9"; // 95 bytes
    slot(3, TOVU_STATE_RUNNING, -1, 25, 3000);
    std::string s = status(3, initial.c_str());
    EXPECT_EQ(s, initial + "25fp");

    // a folder's file name of 120 bytes, two-byte characters throughout
    std::string media = path("m");
    ASSERT_EQ(mkdir(media.c_str(), 0755), 0);
    std::string name;
    for (int i = 0; i < 60; i++)
        name += "\xc3\xa9";
    tovutest::write_file(media + "/" + name, "x");
    config(doc("", plainChan("a") + "," + chan(src("file", media), tgt("udp", "udp://127.0.0.1:1"))));
    ASSERT_EQ(g_tovuPlaylists[1].build(media.c_str(), FALSE, FALSE, TRUE), 1);
    EXPECT_EQ(status(1), name.substr(0, 98));
}

} // namespace
