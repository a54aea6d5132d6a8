#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/temp_dir.h"
#include "tovu_engine_internal.h"

namespace fs = std::filesystem;

namespace {

const std::string kBom = "\xEF\xBB\xBF";
const off_t kThreshold = 5000000;

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// a file of the given size without writing it: the logger only looks at the size
void make_sized(const std::string &path, off_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

std::string stamp_regex()
{
    return R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] )";
}

class Log : public ::testing::Test {
protected:
    tovutest::TempDir scratch{"tovu_log"};
    std::string dir = scratch.path();

    void SetUp() override
    {
        ASSERT_FALSE(dir.empty());
        TovuLock lock;
        memset(&g_cfg, 0, sizeof g_cfg);
        g_cfg.b_init = 1;
        g_cfg.log_level = 32;
        snprintf(g_cfg.log_path, sizeof g_cfg.log_path, "%s/", dir.c_str());
    }
    void TearDown() override
    {
        TovuLock lock;
        memset(&g_cfg, 0, sizeof g_cfg);
    }

    std::string current(int slot = 0)
    {
        char name[32];
        snprintf(name, sizeof name, "/tovu_%03d.log", slot + 1);
        return dir + name;
    }
    std::string archive(int n)
    {
        return dir + "/tovu_001-" + std::to_string(n) + ".log";
    }
};

TEST_F(Log, NewFileGetsMarkAndTimestampPrefix)
{
    time_t before = time(nullptr);
    ASSERT_EQ(tovu_log(4, 1, "hello"), 0);
    time_t after = time(nullptr);
    std::string text = read_file(current(4));  // slot 4 writes tovu_005.log
    ASSERT_TRUE(std::regex_match(text, std::regex(kBom + stamp_regex() + "hello\n"))) << text;

    // the stamp is local time of this moment
    bool matched = false;
    for (time_t t = before; t <= after && !matched; t++) {
        struct tm tm;
        char stamp[64];
        localtime_r(&t, &tm);
        strftime(stamp, sizeof stamp, "[%Y/%m/%d %H:%M:%S] ", &tm);
        matched = text.compare(3, strlen(stamp), stamp) == 0;
    }
    EXPECT_TRUE(matched) << text;

    // later entries: no mark; raw text as it is; a text holding a line feed
    // anywhere gets none added
    ASSERT_EQ(tovu_log(4, 0, "frame=1 time=00:00:01"), 0);
    ASSERT_EQ(tovu_log(4, 1, "a\nb"), 0);
    ASSERT_EQ(tovu_log(4, 1, "line\n"), 0);
    text = read_file(current(4));
    std::string rest = text.substr(text.find("hello\n") + 6);
    EXPECT_TRUE(std::regex_match(
        rest, std::regex("frame=1 time=00:00:01" + stamp_regex() + "a\nb" + stamp_regex() + "line\n")))
        << rest;
}

// The logs hold the argument strings (addresses, stream keys): a new one is
// its owner's alone, whatever the umask, and an older one that others could
// read loses their bits at its next entry, keeping the owner's.
TEST_F(Log, FilesAreTheOwnersAlone)
{
    mode_t old = umask(0);
    ASSERT_EQ(tovu_log(0, 1, "new"), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(current(0).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    make_sized(current(1), 10);
    ASSERT_EQ(chmod(current(1).c_str(), 0764), 0);
    ASSERT_EQ(tovu_log(1, 0, "older"), 0);
    ASSERT_EQ(stat(current(1).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(Log, EmptyExistingFileGetsMark)
{
    write_file(current(), "");
    ASSERT_EQ(tovu_log(0, 0, "x"), 0);
    EXPECT_EQ(read_file(current()), kBom + "x");
}

TEST_F(Log, LevelZeroWritesNothing)
{
    g_cfg.log_level = 0;
    EXPECT_EQ(tovu_log(0, 1, "x"), 0);
    EXPECT_EQ(tovu_logf(0, 1, "%s", "x"), 0);
    EXPECT_FALSE(fs::exists(current()));
}

TEST_F(Log, UnwritableOrOverlongNameFails)
{
    snprintf(g_cfg.log_path, sizeof g_cfg.log_path, "%s/missing/", dir.c_str());
    EXPECT_EQ(tovu_log(0, 1, "x"), -1);
    EXPECT_EQ(tovu_logf(0, 1, "x"), -1);

    // a folder that leaves no room for the file name is refused, not cut
    // (the folder exists, so only the name's length stands in the way)
    std::string deep = dir + "/" + std::string(230, 'd') + "/";
    ASSERT_LT(deep.size(), sizeof g_cfg.log_path);
    ASSERT_GT(deep.size() + strlen("tovu_001.log"), 255u);
    ASSERT_TRUE(fs::create_directory(deep));
    snprintf(g_cfg.log_path, sizeof g_cfg.log_path, "%s", deep.c_str());
    EXPECT_EQ(tovu_log(0, 1, "x"), -1);
    EXPECT_EQ(fs::directory_iterator(deep), fs::directory_iterator());
}

// A write that fails (here past the file size limit, as on a full disk)
// is not an open failure: the caller goes on (0), nothing of the entry is
// left in the file, and the failure is printed once until a write succeeds.
TEST_F(Log, FailedWriteLeavesNoPartAndIsPrintedOnce)
{
    write_file(current(), "earlier\n");
    // standard output into a pipe: the size limit holds for files only
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {12, RLIM_INFINITY};   // room for 4 bytes more
        setrlimit(RLIMIT_FSIZE, &lim);
        int fails = (tovu_log(0, 0, "cut off") == 0) + (tovu_logf(0, 1, "a stamped %s", "entry") == 0);
        lim.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &lim);
        int ok = tovu_log(0, 0, "fits\n") == 0;
        lim.rlim_cur = 4;
        setrlimit(RLIMIT_FSIZE, &lim);
        fails += tovu_log(0, 0, "again") == 0;
        _exit(fails == 3 && ok ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    close(out[1]);
    std::string printed;
    char buf[512];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        printed.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_file(current()), "earlier\nfits\n");
    std::string failed = "TOVUL: channel log " + current() + " could not be written: File too large\n";
    EXPECT_EQ(printed, failed + "TOVUL: channel log " + current() + " is written again\n" + failed);
}

TEST_F(Log, FormattedTextIsCutTo999Bytes)
{
    std::string big(2000, 'z');
    ASSERT_EQ(tovu_logf(0, 0, "%s", big.c_str()), 0);
    EXPECT_EQ(read_file(current()), kBom + std::string(999, 'z'));
}

TEST_F(Log, FormattedLogNeedsInitialisedEngine)
{
    g_cfg.b_init = 0;  // before set-up, or after release: the folder is still set
    EXPECT_EQ(tovu_logf(0, 1, "stopped %d", 3), -1);
    EXPECT_FALSE(fs::exists(current()));
}

TEST_F(Log, RotationNumbering)
{
    struct Case {
        const char *name;
        std::vector<int> present;   // archives there before, holding "A<n>"
        int moved_to;               // archive that receives the full file
        std::vector<std::pair<int, std::string>> after;  // archive -> content
        std::vector<int> gone;
    };
    const Case cases[] = {
        {"none", {}, 1, {}, {2}},
        {"1 to 8", {1, 2, 3, 4, 5, 6, 7, 8}, 9, {{1, "A1"}, {8, "A8"}}, {10}},
        {"1 to 9", {1, 2, 3, 4, 5, 6, 7, 8, 9}, 9,
         {{1, "A2"}, {2, "A3"}, {7, "A8"}, {8, "A9"}}, {10}},
        {"only 3 missing", {1, 2, 4, 5, 6, 7, 8, 9}, 3,
         {{1, "A1"}, {2, "A2"}, {4, "A4"}, {9, "A9"}}, {10}},
        {"1 to 11", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 9,
         {{1, "A4"}, {8, "A11"}}, {10, 11}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(tovutest::removeTree(dir));
        fs::create_directory(dir);
        for (int n : c.present)
            write_file(archive(n), "A" + std::to_string(n));
        make_sized(current(), kThreshold + 1);

        ASSERT_EQ(tovu_log(0, 1, "after"), 0);

        EXPECT_EQ(fs::file_size(archive(c.moved_to)), (uintmax_t)kThreshold + 1);
        for (const auto &a : c.after)
            EXPECT_EQ(read_file(archive(a.first)), a.second) << a.first;
        for (int n : c.gone)
            EXPECT_FALSE(fs::exists(archive(n))) << n;
        // the file begun after a rotation has no mark
        std::string text = read_file(current());
        EXPECT_TRUE(std::regex_match(text, std::regex(stamp_regex() + "after\n"))) << text;
    }
}

TEST_F(Log, CheckComesBeforeTheWrite)
{
    make_sized(current(), kThreshold);  // exactly at the limit: kept
    ASSERT_EQ(tovu_log(0, 0, "grow"), 0);
    EXPECT_FALSE(fs::exists(archive(1)));
    EXPECT_EQ(fs::file_size(current()), (uintmax_t)kThreshold + 4);

    ASSERT_EQ(tovu_log(0, 0, "next"), 0);  // now above it: rotated
    EXPECT_EQ(fs::file_size(archive(1)), (uintmax_t)kThreshold + 4);
    EXPECT_EQ(read_file(current()), "next");
}

// An "error N" entry and its cause are written together: a file that the
// first of the two would take past the limit is not rotated between them.
TEST_F(Log, ErrorAndItsCauseStayInOneFile)
{
    const std::string log = current(40), first_archive = dir + "/tovu_041-1.log";
    const std::string entries = stamp_regex() + "error -2\n" + stamp_regex() +
                                "start refused: slot 40 is not one of the engine's 0 slots\n";
    // exactly at the limit: not rotated, and both entries take it past
    make_sized(log, kThreshold);
    ASSERT_EQ(tovu_transcode(40, nullptr, 0, nullptr, 0, 0, 0), TOVU_ERR_INVALID_SLOT);
    EXPECT_FALSE(fs::exists(first_archive));
    std::string tail = read_file(log).substr(kThreshold);
    EXPECT_TRUE(std::regex_match(tail, std::regex(entries))) << tail;
    // past it: rotated once, before both
    ASSERT_EQ(tovu_transcode(40, nullptr, 0, nullptr, 0, 0, 0), TOVU_ERR_INVALID_SLOT);
    EXPECT_EQ(read_file(first_archive).substr(kThreshold), tail);
    std::string text = read_file(log);
    EXPECT_TRUE(std::regex_match(text, std::regex(entries))) << text;
}

} // namespace
