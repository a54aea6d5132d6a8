#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "fixtures/temp_dir.h"
#include "tovu_helpers.h"
#include "tovu_config_testing.h"

TEST(FormatNames, Lookups)
{
    struct Case { const char *name; int id; };
    const Case cases[] = {
        {"UDPTS", 2}, {"mpegts", 2}, {"udp", 2}, {"rtp", 6}, {"RTPTS", 6}, {"rtp_native", 12},
        {"ftp", 0}, {"File", 0}, {"httpts", 3}, {"httpmjpg", 16}, {"ndi", 15}, {"", 255},
        {"mp4", 255}, {"udp ", 255},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tovuGetFormatId(c.name), c.id) << c.name;
    EXPECT_EQ(tovuGetFormatId(nullptr), TOVU_FORMAT_NULL);

    // every canonical name maps back to its own id
    for (int id = 0; id <= 16; id++) {
        ASSERT_NE(tovuGetFormatName((TOVU_FORMAT)id), nullptr) << id;
        EXPECT_EQ(tovuGetFormatId(tovuGetFormatName((TOVU_FORMAT)id)), id);
    }
    EXPECT_STREQ(tovuGetFormatName(TOVU_FORMAT_RTP), "rtp_native");
    EXPECT_EQ(tovuGetFormatName((TOVU_FORMAT)17), nullptr);
    EXPECT_EQ(tovuGetFormatName(TOVU_FORMAT_NULL), nullptr);
}

TEST(Helpers, ParseOptInteger)
{
    struct Case { const char *line, *opt; int found, value; };
    const Case cases[] = {
        {"output=1", "output=", 1, 1},
        {"timeout=0x10", "timeout=", 1, 16},
        {"a xoutput=7", "output=", 1, 7},
        {"output=abc", "output=", 1, 0},
        {"output= -3", "output=", 1, -3},
        {"output=010", "output=", 1, 8},
        {"nothing here", "output=", 0, 42},
    };
    for (const Case &c : cases) {
        int v = 42;
        EXPECT_EQ(parseOpt(c.line, c.opt, &v), c.found) << c.line;
        EXPECT_EQ(v, c.value) << c.line;
    }
    int v = 5;
    EXPECT_EQ(parseOpt(L"timeout=0x10", L"timeout=", &v), 1);
    EXPECT_EQ(v, 16);
    EXPECT_EQ(parseOpt(L"none", L"timeout=", &v), 0);
    EXPECT_EQ(v, 16);
}

TEST(Helpers, ParseOptText)
{
    char val[64] = "";
    EXPECT_EQ(parseOpt("name=abc def", "name=", val, nullptr), 1);
    EXPECT_STREQ(val, "abc");
    EXPECT_EQ(parseOpt("n=12;rest", "n=", val, "%[0-9]"), 1);
    EXPECT_STREQ(val, "12");
    EXPECT_EQ(parseOpt("name=", "name=", val, nullptr), EOF);
    EXPECT_EQ(parseOpt("other", "name=", val, nullptr), 0);
}

TEST(Helpers, TextCopiesAndAddress)
{
    char buf[8] = "keep";
    utf8totcs(nullptr, buf);
    EXPECT_STREQ(buf, "keep");
    utf8totcs("abc", buf);
    EXPECT_STREQ(buf, "abc");

    char small[4];
    tcstoutf8("abcdef", small, sizeof small);
    EXPECT_STREQ(small, "abc");
    tcstoutf8(nullptr, small, sizeof small);
    EXPECT_STREQ(small, "abc");

    EXPECT_EQ(Inet_addr("1.2.3.4"), (unsigned long)htonl(0x01020304));
    EXPECT_EQ(Inet_addr("not an address"), 0xffffffffUL);
}

TEST(Helpers, FoldersAndTitle)
{
    tovutest::TempDir scratch("tovu_helpers");
    ASSERT_FALSE(scratch.path().empty());
    std::string root = scratch.path();

    EXPECT_TRUE(isDirectory("/"));
    EXPECT_TRUE(isDirectory(root.c_str()));
    EXPECT_FALSE(isDirectory(""));
    EXPECT_FALSE(isDirectory(nullptr));
    EXPECT_FALSE(isDirectory("/dev/null"));
    EXPECT_FALSE(isDirectory((root + "/missing").c_str()));
    std::string file = root + "/f";
    FILE *fp = fopen(file.c_str(), "w");
    ASSERT_TRUE(fp);
    fclose(fp);
    EXPECT_FALSE(isDirectory(file.c_str()));

    // parent first, both made; a second call on the existing folder changes nothing
    std::string deep = root + "/var/tovul/log";
    CreateFolder(deep.c_str());
    EXPECT_TRUE(isDirectory((root + "/var/tovul").c_str()));
    EXPECT_TRUE(isDirectory(deep.c_str()));
    CreateFolder(deep.c_str());
    EXPECT_TRUE(isDirectory(deep.c_str()));

    EXPECT_STREQ(tovuAppTitle(), "Tovumedia Live!");
    EXPECT_EQ(tovuAppTitle(), tovuAppTitle());
}

// The display name is read once per process, so each case runs in a child.
static std::string app_name_in_child(const char *dir)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "<pipe>";
    pid_t pid = fork();
    if (pid == 0) {
        LPCTSTR name = _tovuAppNameFrom(dir);
        ssize_t n = write(fds[1], name, strlen(name));
        _exit(n < 0);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, n);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return out;
}

TEST(Helpers, AppNameFromBrandingFile)
{
    tovutest::TempDir scratch("tovu_oem");
    ASSERT_FALSE(scratch.path().empty());
    std::string dir = scratch.path(), file = dir + "/tovuoem.txt";

    EXPECT_EQ(app_name_in_child(dir.c_str()), "Tovumedia Live!");   // no file

    FILE *fp = fopen(file.c_str(), "w");
    fputs("Acme Live\nsecond line\n", fp);
    fclose(fp);
    EXPECT_EQ(app_name_in_child(dir.c_str()), "Acme Live\n");       // the line break is kept

    fp = fopen(file.c_str(), "w");
    fclose(fp);
    EXPECT_EQ(app_name_in_child(dir.c_str()), "Tovumedia Live!");   // empty file

    fp = fopen(file.c_str(), "w");
    fputs(std::string(300, 'n').c_str(), fp);
    fclose(fp);
    EXPECT_EQ(app_name_in_child(dir.c_str()), std::string(98, 'n')); // long line: 98 characters
}
