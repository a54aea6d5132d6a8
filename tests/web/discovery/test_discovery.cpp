// Text handling shared by the discovery answers: fitting a library's text
// into a fixed field, and JSON string escaping of hostile names.
#include <gtest/gtest.h>

#include <limits.h>

#include <string>

#include "tovu_cgi_json.h"
#include "tovu_ndi.h"

namespace {

TEST(DiscoveryText, CopyCutsAtACharacterBoundary)
{
    const std::string a998(998, 'a');
    struct Case {
        const char *what;
        std::string src;
        std::string expected;
    } cases[] = {
        {"fits", "Card 1", "Card 1"},
        {"exactly the room", std::string(999, 'x'), std::string(999, 'x')},
        {"one byte too long", std::string(1000, 'x'), std::string(999, 'x')},
        {"two-byte character across the end", a998 + "\xc3\xa9", a998},
        {"two-byte character just fits", a998.substr(1) + "\xc3\xa9" + "z", a998.substr(1) + "\xc3\xa9"},
        {"four-byte character across the end", std::string(997, 'a') + "\xf0\x9f\x8e\xa5", std::string(997, 'a')},
    };
    for (const Case &c : cases) {
        char field[1000];
        memset(field, 0x5a, sizeof field);
        tovuCopyText(field, sizeof field, c.src.c_str());
        EXPECT_EQ(std::string(field), c.expected) << c.what;
    }
    char field[8] = "old";
    tovuCopyText(field, sizeof field, nullptr);
    EXPECT_STREQ(field, "");
}

TEST(DiscoveryText, JsonEscapingKeepsTheAnswerValid)
{
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"Studio \"A\"", "Studio \\\"A\\\""},
        {"C:\\cards\\1", "C:\\\\cards\\\\1"},
        {"<script>alert(1)</script>", "<script>alert(1)</script>"},
        {"line\nbreak\ttab\r", "line\\nbreak\\ttab\\r"},
        {"bell\x07", "bell\\u0007"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5"},
        {"bad \xff byte", "bad \\ufffd byte"},
        {"cut \xe2\x82", "cut \\ufffd\\ufffd"},
        {"overlong \xc0\xaf", "overlong \\ufffd\\ufffd"},
        {"surrogate \xed\xa0\x80", "surrogate \\ufffd\\ufffd\\ufffd"},
    };
    for (const Case &c : cases) {
        std::string out;
        tovuAppendJsonText(out, c.in);
        EXPECT_EQ(out, c.out) << c.in;
    }
    char field[4] = {'a', 'b', 'c', 'd'}; // no NUL: read no further than the field
    std::string out;
    tovuAppendJsonText(out, field, sizeof field);
    EXPECT_EQ(out, "abcd");
}

TEST(DiscoveryText, NdiWaitIsBoundedToOneMinute)
{
    struct Case {
        int secs;
        uint32_t ms;
    } cases[] = {
        {1, 1000}, {5, 5000}, {60, 60000}, {61, 60000}, {INT_MAX, 60000},
        {0, 1000}, {-1, 1000}, {INT_MIN, 1000},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tovuNDIWaitMs(c.secs), c.ms) << c.secs;
}

} // namespace
