#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PlayList.h"
#include "fixtures/temp_dir.h"
#include "tovu_helpers.h"

namespace {

// exposes the protected operations and members for inspection
class TestPlayList : public CPlayList
{
public:
    using CPlayList::insertFile;
    using CPlayList::populate;
    using CPlayList::Save;

    std::vector<std::string> items() const { return {m_lstPlayItems.begin(), m_lstPlayItems.end()}; }
    const std::string &root() const { return m_strRoot; }
    void setShuffle(BOOL b) { m_bShuffle = b; }
    void setRecursive(BOOL b) { m_bRecursive = b; }
};

std::string cur(const CPlayList &pl)
{
    LPCTSTR p = pl.GetCurFile();
    return p ? p : "(none)";
}

class PlayListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(scratch.path().empty());
        base = scratch.path();
        folder = base + "/media";
        pls = base + "/tovu_001.pls";
        mkdirs("media");
    }

    std::string at(const std::string &rel) const { return base + "/" + rel; }
    void mkdirs(const std::string &rel) { std::filesystem::create_directories(at(rel)); }
    void touch(const std::string &rel, const std::string &text = "")
    {
        std::ofstream(at(rel), std::ios::binary) << text;
    }
    void touchAll(std::initializer_list<const char *> rels)
    {
        for (const char *r : rels)
            touch(r);
    }
    std::string read(const std::string &path) const
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool exists(const std::string &path) const { return access(path.c_str(), F_OK) == 0; }
    void writePls(const std::string &text) { std::ofstream(pls, std::ios::binary) << text; }
    std::vector<std::string> media(std::initializer_list<const char *> names) const
    {
        std::vector<std::string> v;
        for (const char *n : names)
            v.push_back(folder + "/" + n);
        return v;
    }

    tovutest::TempDir scratch{"tovu_playlist"};
    std::string base, folder, pls;
};

} // namespace

TEST(PlayListGlobal, SixteenUnboundPlaylists)
{
    static_assert(std::size(g_tovuPlaylists) == 16);
    for (const CPlayList &pl : g_tovuPlaylists) {
        EXPECT_EQ(pl.GetCount(), 0u);
        EXPECT_EQ(pl.GetCurFile(), nullptr);
    }
}

TEST_F(PlayListTest, BuildSortsAndWritesFile)
{
    touchAll({"media/b", "media/a", "media/c"});
    {
        TestPlayList pl;
        pl.init(pls.c_str());
        EXPECT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 3);
        EXPECT_EQ(pl.items(), media({"a", "b", "c"}));
        EXPECT_EQ(cur(pl), folder + "/a");
        EXPECT_EQ(read(pls), "current " + folder + "/a\n" + folder + "/a\n" + folder + "/b\n" +
                                 folder + "/c\n");

        // one trailing "/" is dropped: the same paths, and the stored root has none
        EXPECT_EQ(pl.build((folder + "/").c_str(), FALSE, FALSE, TRUE), 3);
        EXPECT_EQ(pl.items(), media({"a", "b", "c"}));
        EXPECT_EQ(pl.root(), folder);
    }
    // the destructor saved: the folder still holds files
    EXPECT_TRUE(exists(pls));
}

// A path that no argument string can carry (a line break or a double quote
// in it) is passed by: never listed, never current, never a line of the
// file; the build tells which, up to a bound, and how many.
TEST_F(PlayListTest, NamesWithLineBreaksOrQuotesAreSkipped)
{
    mkdirs("media/q\"d");
    touchAll({"media/a", "media/b\ncurrent x", "media/c\r", "media/quo\"te.ts", "media/q\"d/in", "media/z"});
    TestPlayList pl;
    pl.init(pls.c_str());
    ASSERT_EQ(pl.build(folder.c_str(), TRUE, FALSE, TRUE), 2);
    EXPECT_EQ(pl.items(), media({"a", "z"}));
    EXPECT_EQ(read(pls), "current " + folder + "/a\n" + folder + "/a\n" + folder + "/z\n");
    CPlayList::Skipped skipped = pl.GetSkipped();
    std::sort(skipped.paths.begin(), skipped.paths.end());
    EXPECT_EQ(skipped.paths, media({"b\ncurrent x", "c\r", "q\"d/in", "quo\"te.ts"}));
    EXPECT_EQ(skipped.count, 4u);
    EXPECT_EQ(pl.MoveNext(FALSE), folder + "/z");
    EXPECT_EQ(pl.MoveNext(FALSE), nullptr);

    // shuffled alike; and many: the first paths, and the count of all
    for (int i = 0; i < 30; i++)
        touch("media/n\"" + std::to_string(i));
    ASSERT_EQ(pl.build(folder.c_str(), FALSE, TRUE, TRUE), 2);
    EXPECT_EQ(pl.GetSkipped().paths.size(), CPlayList::kMaxSkippedKept);
    EXPECT_EQ(pl.GetSkipped().count, 33u);
    // a build without them forgets them
    ASSERT_EQ(pl.build((folder + "/none").c_str(), FALSE, FALSE, TRUE), 0);
    EXPECT_EQ(pl.GetSkipped().count, 0u);
}

TEST_F(PlayListTest, SortsAsUnsignedBytesPrefixFirst)
{
    touchAll({"media/\xc3\xa9t\xc3\xa9", "media/Zulu", "media/ab.ts", "media/ab", "media/a b", "media/_x"});
    TestPlayList pl;
    ASSERT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 6);
    EXPECT_EQ(pl.items(), media({"Zulu", "_x", "a b", "ab", "ab.ts", "\xc3\xa9t\xc3\xa9"}));
}

TEST_F(PlayListTest, SecondBuildKeepsCurrentOrFallsBackToFirst)
{
    touchAll({"media/a", "media/b", "media/c"});
    TestPlayList pl;
    pl.init(pls.c_str());
    ASSERT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 3);
    ASSERT_EQ(cur(pl), folder + "/a");
    ASSERT_STREQ(pl.MoveNext(FALSE), (folder + "/b").c_str());

    touch("media/0new");
    EXPECT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 4);
    EXPECT_EQ(cur(pl), folder + "/b");

    unlink(at("media/b").c_str());
    EXPECT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 3);
    EXPECT_EQ(cur(pl), folder + "/0new");
    EXPECT_EQ(read(pls).rfind("current " + folder + "/0new\n", 0), 0u);
}

TEST_F(PlayListTest, MoveNextAndPrev)
{
    touchAll({"media/a", "media/b", "media/c"});
    const std::string a = folder + "/a", b = folder + "/b", c = folder + "/c";
    TestPlayList pl;
    pl.init(pls.c_str());
    ASSERT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 3);

    EXPECT_EQ(pl.MoveNext(FALSE), b);
    EXPECT_EQ(pl.MoveNext(FALSE), c);
    const std::string saved = read(pls);
    EXPECT_EQ(saved.rfind("current " + c + "\n", 0), 0u);

    // at the end: refused without loop, nothing saved; to the front with loop
    EXPECT_EQ(pl.MoveNext(FALSE), nullptr);
    EXPECT_EQ(cur(pl), c);
    unlink(pls.c_str());
    EXPECT_EQ(pl.MoveNext(FALSE), nullptr);
    EXPECT_FALSE(exists(pls));
    EXPECT_EQ(pl.MoveNext(TRUE), a);
    EXPECT_EQ(read(pls).rfind("current " + a + "\n", 0), 0u);

    // the mirror image
    EXPECT_EQ(pl.MovePrev(FALSE), nullptr);
    EXPECT_EQ(cur(pl), a);
    EXPECT_EQ(pl.MovePrev(TRUE), c);
    EXPECT_EQ(pl.MovePrev(FALSE), b);
}

TEST_F(PlayListTest, MovesWithoutCurrentFileOrItems)
{
    touchAll({"media/a", "media/b"});
    // a current name that matches nothing leaves no file current
    writePls("current " + folder + "/gone\n" + folder + "/a\n" + folder + "/b\n");
    {
        TestPlayList pl;
        pl.init(pls.c_str());
        EXPECT_EQ(pl.GetCount(), 2u);
        EXPECT_EQ(pl.GetCurFile(), nullptr);
        EXPECT_EQ(pl.GetCurFileCopy(), "");
        EXPECT_EQ(pl.MoveNext(FALSE), folder + "/a");
    }
    {
        TestPlayList pl;
        pl.init((base + "/missing.pls").c_str());
        writePls("current " + folder + "/gone\n" + folder + "/a\n" + folder + "/b\n");
        pl.init(pls.c_str());
        EXPECT_STREQ(pl.MovePrev(FALSE), (folder + "/b").c_str());
    }
    {
        TestPlayList pl;
        for (BOOL loop : {FALSE, TRUE}) {
            EXPECT_EQ(pl.MoveNext(loop), nullptr);
            EXPECT_EQ(pl.MovePrev(loop), nullptr);
        }
        EXPECT_EQ(pl.GetCount(), 0u);
    }
}

TEST_F(PlayListTest, LoadReadsCurrentLineAndItems)
{
    const std::string longName = "/x/" + std::string(600, 'n');
    const std::string longItem = "/x/" + std::string(1500, 'i');
    struct Case {
        const char *what;
        std::string text;
        std::vector<std::string> items;
        std::string current;
    };
    const Case cases[] = {
        {"crlf", "current /x/b\r\n/x/a\r\n/x/b\r\n", {"/x/a", "/x/b"}, "/x/b"},
        {"any case, any line", "/x/a\nCuRReNT /x/b\n/x/b\n", {"/x/a", "/x/b"}, "/x/b"},
        {"later line wins", "current /x/a\ncurrent /x/b\n/x/a\n/x/b\n", {"/x/a", "/x/b"}, "/x/b"},
        {"empty name keeps", "current /x/a\ncurrent \n/x/a\n/x/b\n", {"/x/a", "/x/b"}, "/x/a"},
        {"no current line", "/x/b\n/x/a\n", {"/x/b", "/x/a"}, "/x/b"},
        {"unmatched", "current /x/zz\n/x/a\n", {"/x/a"}, "(none)"},
        {"name not trimmed", "current /x/a \n/x/a \n", {"/x/a"}, "(none)"},
        {"trim, duplicates, blank lines, no final newline",
         "/x/a  \r\n/x/a\n\n  \n/x/b", {"/x/a", "/x/b"}, "/x/a"},
        {"empty file", "", {}, "(none)"},
        {"current only", "current /x/a\n", {}, "(none)"},
        {"long names held whole", "current " + longName + "\n/x/a\n" + longItem + "\n" + longName + "\n",
         {"/x/a", longItem, longName}, longName},
    };
    for (const Case &c : cases) {
        writePls(c.text);
        TestPlayList pl;
        pl.init(pls.c_str());
        EXPECT_EQ(pl.items(), c.items) << c.what;
        EXPECT_EQ(cur(pl), c.current) << c.what;
    }

    TestPlayList missing;
    missing.init((base + "/nothing.pls").c_str());
    EXPECT_EQ(missing.GetCount(), 0u);
    EXPECT_EQ(missing.GetCurFile(), nullptr);
}

// a pipe where the playlist file should be is passed by, not waited on
TEST_F(PlayListTest, LoadPassesByAPipe)
{
    ASSERT_EQ(mkfifo(pls.c_str(), 0600), 0);
    TestPlayList pl;
    auto done = std::async(std::launch::async, [&] { pl.init(pls.c_str()); });
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
            int fd = open(pls.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                close(fd);
        }
        FAIL() << "init waited on the pipe";
    }
    EXPECT_EQ(pl.GetCount(), 0u);
    EXPECT_EQ(pl.GetCurFile(), nullptr);
}

TEST_F(PlayListTest, BuildAfterUnmatchedLoadStartsAtFirst)
{
    touchAll({"media/a", "media/b"});
    writePls("current " + folder + "/gone\n" + folder + "/b\n");
    TestPlayList pl;
    pl.init(pls.c_str());
    ASSERT_EQ(pl.GetCurFile(), nullptr);
    EXPECT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 2);
    EXPECT_EQ(cur(pl), folder + "/a");
}

TEST_F(PlayListTest, RecursionOffAndOn)
{
    mkdirs("media/sub/deeper");
    mkdirs("media/one");
    mkdirs("media/two");
    touchAll({"media/a", "media/z", "media/sub/y", "media/sub/x", "media/sub/deeper/w",
              "media/one/clip", "media/two/clip"});
    TestPlayList pl;
    EXPECT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 2);
    EXPECT_EQ(pl.items(), media({"a", "z"}));

    // same names in two sub-folders are two items, each with its folder's full path
    EXPECT_EQ(pl.build(folder.c_str(), TRUE, FALSE, TRUE), 7);
    EXPECT_EQ(pl.items(), media({"a", "one/clip", "sub/deeper/w", "sub/x", "sub/y", "two/clip", "z"}));
}

TEST_F(PlayListTest, WalkIsDepthFirstInListingOrder)
{
    mkdirs("media/sub/deeper");
    touchAll({"media/a", "media/z", "media/m", "media/sub/y", "media/sub/x", "media/sub/deeper/w"});

    // what the walk must give: each sub-folder's files where its entry comes
    std::vector<std::string> expected;
    std::function<void(const std::string &)> model = [&](const std::string &dir) {
        DIR *d = opendir(dir.c_str());
        ASSERT_NE(d, nullptr);
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name, full = dir + "/" + name;
            if (name == "." || name == "..")
                continue;
            if (isDirectory(full.c_str()))
                model(full);
            else
                expected.push_back(full);
        }
        closedir(d);
    };
    model(folder);

    TestPlayList pl;
    pl.setRecursive(TRUE);
    EXPECT_EQ(pl.populate(folder.c_str()), 6u);
    EXPECT_EQ(pl.items(), expected);
    // the count is that of the whole list, not of what was added
    EXPECT_EQ(pl.populate((folder + "/sub").c_str()), 6u);
    EXPECT_EQ(pl.populate((folder + "/none").c_str()), 0u);
    EXPECT_EQ(pl.GetCount(), 6u);
}

TEST_F(PlayListTest, SymbolicLinkCyclesAndDepthBound)
{
    mkdirs("media/sub");
    touchAll({"media/a", "media/sub/b"});
    ASSERT_EQ(symlink(folder.c_str(), at("media/sub/up").c_str()), 0);
    ASSERT_EQ(symlink(".", at("media/sub/self").c_str()), 0);
    TestPlayList pl;
    EXPECT_EQ(pl.build(folder.c_str(), TRUE, FALSE, TRUE), 2);
    EXPECT_EQ(pl.items(), media({"a", "sub/b"}));

    // a nest of 70 real folders with one file in each: the walk stops 64 levels down
    std::string rel = "media";
    for (int i = 1; i <= 70; i++) {
        rel += "/d";
        mkdirs(rel);
        touch(rel + "/f");
    }
    EXPECT_EQ(pl.build(folder.c_str(), TRUE, FALSE, TRUE), 2 + 64);
}

// A link is played only as the file it leads to: a link to a folder is
// walked (once along any path) or passed by, never listed; one that leads
// nowhere or round in a loop is no file either.
TEST_F(PlayListTest, LinksThatLoopOrLeadNowhereAreNoFiles)
{
    mkdirs("media/loop/sub");
    touchAll({"media/a.ts", "media/loop/sub/b.ts"});
    const std::pair<const char *, const char *> links[] = {
        {"media/loop/sub/again", "../loop"},     // media/loop/loop: nothing there
        {"media/loop/sub/back", "../../loop"},   // media/loop, above itself
        {"media/self", "self"},                  // a loop of one link
        {"media/ping", "pong"},                  // and of two
        {"media/pong", "ping"},
        {"media/gone.ts", "nothing.ts"},
        {"media/c.ts", "a.ts"},                  // a link to a file plays it
    };
    for (const auto &[at_, target] : links)
        ASSERT_EQ(symlink(target, at(at_).c_str()), 0) << at_;
    for (BOOL recursive : {TRUE, FALSE}) {
        SCOPED_TRACE(recursive);
        TestPlayList pl;
        std::vector<std::string> want = recursive ? media({"a.ts", "c.ts", "loop/sub/b.ts"}) : media({"a.ts", "c.ts"});
        EXPECT_EQ(pl.build(folder.c_str(), recursive, FALSE, TRUE), (int)want.size());
        EXPECT_EQ(pl.items(), want);
    }
    // the looping folder given as the root itself
    TestPlayList pl;
    EXPECT_EQ(pl.build(at("media/loop").c_str(), TRUE, FALSE, TRUE), 1);
    EXPECT_EQ(pl.items(), std::vector<std::string>{at("media/loop/sub/b.ts")});
}

// Only regular files play: a pipe, a device or a socket in the folder, or a
// link to one, is passed by. A link that leads out above the root (its
// parent, "/") is not walked, while one to a folder beside the root is.
TEST_F(PlayListTest, OnlyRegularFilesAndNoLinkAboveTheRoot)
{
    mkdirs("media/sub");
    mkdirs("beside");
    touchAll({"media/a.ts", "media/sub/b.ts", "beside/c.ts", "outside.ts"});
    ASSERT_EQ(mkfifo(at("media/pipe.ts").c_str(), 0600), 0);
    const std::pair<const char *, const char *> links[] = {
        {"media/null.ts", "/dev/null"},      // a device
        {"media/tofifo.ts", "pipe.ts"},      // the pipe again
        {"media/sub/parent", "../.."},       // the root's parent, from below
        {"media/up", ".."},                  // and from the root
        {"media/top", "/"},
        {"media/beside", "../beside"},       // a folder beside the root: walked
    };
    for (const auto &[at_, target] : links)
        ASSERT_EQ(symlink(target, at(at_).c_str()), 0) << at_;
    for (BOOL recursive : {TRUE, FALSE}) {
        SCOPED_TRACE(recursive);
        TestPlayList pl;
        std::vector<std::string> want = recursive ? media({"a.ts", "beside/c.ts", "sub/b.ts"}) : media({"a.ts"});
        EXPECT_EQ(pl.build(folder.c_str(), recursive, FALSE, TRUE), (int)want.size());
        EXPECT_EQ(pl.items(), want);
    }
}

// a folder reached through several paths is walked under each; only a link
// to a folder on the path down to it (its own ancestor) is passed by
TEST_F(PlayListTest, LinkedFolderWalkedUnderEveryPathButNotBelowItself)
{
    mkdirs("media/sub");
    mkdirs("media/other");
    mkdirs("media/loop/inner");
    mkdirs("shared");
    touchAll({"media/a", "media/sub/b", "media/loop/inner/c", "shared/s"});
    const std::pair<const char *, const char *> links[] = {
        {"media/sub/up", ".."},            // the root, from below it
        {"media/alias", "sub"},            // a second path to sub
        {"media/other/tosub", "../sub"},   // a third one, one level down
        {"media/loop/inner/back", ".."},   // its parent, not the root
        {"media/x1", "../shared"},         // one folder outside, twice
        {"media/x2", "../shared"},
    };
    for (const auto &[at_, target] : links)
        ASSERT_EQ(symlink(target, at(at_).c_str()), 0) << at_;

    TestPlayList pl;
    EXPECT_EQ(pl.build(folder.c_str(), TRUE, FALSE, TRUE), 7);
    EXPECT_EQ(pl.items(), media({"a", "alias/b", "loop/inner/c", "other/tosub/b", "sub/b", "x1/s", "x2/s"}));
}

// links that reach one folder by two paths at every level: 2^18 paths, yet
// the build ends, having walked its bound of sub-folders
TEST_F(PlayListTest, MultiplyingLinksEndAtTheFolderBound)
{
    const int levels = 18;
    for (int i = 0; i <= levels; i++) {
        const std::string d = "media/l" + std::to_string(i);
        mkdirs(d);
        touch(d + "/f");
        if (i < levels) {
            const std::string next = "../l" + std::to_string(i + 1);
            ASSERT_EQ(symlink(next.c_str(), at(d + "/a").c_str()), 0);
            ASSERT_EQ(symlink(next.c_str(), at(d + "/b").c_str()), 0);
        }
    }
    TestPlayList pl;
    // one file in each folder walked: l0 and the sub-folders below it
    int n = pl.build((folder + "/l0").c_str(), TRUE, FALSE, TRUE);
    EXPECT_EQ(n, 1 + 100000);
}

TEST_F(PlayListTest, ShuffledInsertion)
{
    TestPlayList pl;
    pl.setShuffle(TRUE);
    // one or two items: always the front
    for (int i = 0; i < 20; i++) {
        TestPlayList one;
        one.setShuffle(TRUE);
        one.insertFile("/d", "first");
        one.insertFile("/d", "second");
        EXPECT_EQ(one.items(), (std::vector<std::string>{"/d/second", "/d/first"}));
        one.insertFile("/d", "third");
        EXPECT_EQ(one.items().front(), "/d/third");
    }

    // against the rule: before index k - 1 of k = rand() % n, the front when k - 1 <= 0
    const unsigned seed = 12345;
    std::vector<std::string> model;
    srand(seed);
    for (int i = 0; i < 200; i++) {
        std::string path = "/d/" + std::to_string(i % 150); // the last 50 are duplicates
        if (std::find(model.begin(), model.end(), path) != model.end())
            continue;
        if (model.empty()) {
            model.push_back(path);
            continue;
        }
        long k = rand() % (long)model.size();
        model.insert(model.begin() + std::max(0L, k - 1), path);
    }
    srand(seed);
    for (int i = 0; i < 200; i++)
        pl.insertFile("/d", std::to_string(i % 150).c_str());
    EXPECT_EQ(pl.items(), model);
    EXPECT_NE(pl.items().back(), "/d/149");
}

TEST_F(PlayListTest, ShuffledBuildIsNotSorted)
{
    for (int i = 0; i < 30; i++)
        touch("media/f" + std::to_string(100 + i));
    TestPlayList pl;
    ASSERT_EQ(pl.build(folder.c_str(), FALSE, TRUE, TRUE), 30);
    std::vector<std::string> items = pl.items();
    EXPECT_FALSE(std::is_sorted(items.begin(), items.end()));
    EXPECT_EQ(cur(pl), items.front());
}

TEST_F(PlayListTest, ExitSavesOrDeletes)
{
    touchAll({"media/a", "media/b"});
    const std::string loaded = "current " + folder + "/b\n" + folder + "/a\n" + folder + "/b\n";

    // loaded at start-up but never built: the file goes at exit
    writePls(loaded);
    {
        TestPlayList pl;
        pl.init(pls.c_str());
        EXPECT_EQ(cur(pl), folder + "/b");
    }
    EXPECT_FALSE(exists(pls));

    // a build that finds nothing leaves the file until the next save
    mkdirs("empty");
    for (const std::string &root : {at("empty"), at("missing")}) {
        writePls(loaded);
        {
            TestPlayList pl;
            pl.init(pls.c_str());
            EXPECT_EQ(pl.build(root.c_str(), FALSE, FALSE, TRUE), 0) << root;
            EXPECT_EQ(pl.GetCount(), 0u);
            EXPECT_EQ(read(pls), loaded) << root;
        }
        EXPECT_FALSE(exists(pls)) << root;
    }

    // built, then the folder went away before exit
    {
        TestPlayList pl;
        pl.init(pls.c_str());
        ASSERT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 2);
        EXPECT_TRUE(exists(pls));
        tovutest::removeTree(folder);
    }
    EXPECT_FALSE(exists(pls));

    // a playlist bound to no file writes nothing anywhere
    mkdirs("media");
    touch("media/a");
    {
        TestPlayList pl;
        ASSERT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 1);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base), {}), 2); // media, empty
}

TEST_F(PlayListTest, FailedSaveKeepsOldFileWhole)
{
    for (int i = 0; i < 50; i++)
        touch("media/clip" + std::to_string(i));
    TestPlayList pl;
    pl.init(pls.c_str());
    ASSERT_EQ(pl.build(folder.c_str(), FALSE, FALSE, TRUE), 50);
    const std::string before = read(pls);
    ASSERT_GT(before.size(), 1000u);

    // writes beyond 100 bytes fail for the moment
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    sighandler_t oldSig = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    LPCTSTR next = pl.MoveNext(FALSE);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldSig);

    ASSERT_NE(next, nullptr);
    EXPECT_EQ(read(pls), before);
    for (const auto &e : std::filesystem::directory_iterator(base))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();

    // and the next save goes through
    pl.MoveNext(FALSE);
    EXPECT_NE(read(pls), before);
    EXPECT_EQ(read(pls).rfind("current " + pl.GetCurFileCopy() + "\n", 0), 0u);
}

TEST_F(PlayListTest, ConcurrentBuildsMovesAndReads)
{
    for (int i = 0; i < 20; i++)
        touch("media/clip" + std::to_string(i));
    TestPlayList pl;
    pl.init(pls.c_str());
    std::thread builder([&] {
        for (int i = 0; i < 100; i++)
            pl.build(folder.c_str(), i % 2, FALSE, TRUE);
    });
    std::thread mover([&] {
        for (int i = 0; i < 100; i++)
            pl.MoveNext(TRUE);
    });
    for (int i = 0; i < 1000; i++) {
        std::string f = pl.GetCurFileCopy();
        if (!f.empty()) {
            EXPECT_EQ(f.rfind(folder + "/clip", 0), 0u) << f;
        }
        EXPECT_LE(pl.GetCount(), 20u);
    }
    builder.join();
    mover.join();
    EXPECT_EQ(pl.GetCount(), 20u);
    ASSERT_NE(pl.GetCurFile(), nullptr);
    EXPECT_EQ(read(pls).rfind("current " + pl.GetCurFileCopy() + "\n", 0), 0u);
}

TEST_F(PlayListTest, BenchmarkTenThousandFiles)
{
    const int count = 10000;
    char name[32];
    for (int i = 0; i < count; i++) {
        snprintf(name, sizeof name, "/clip_%05d.ts", (i * 7919) % count);
        int fd = open((folder + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    TestPlayList pl;
    pl.init(pls.c_str());

    auto t0 = std::chrono::steady_clock::now();
    int n = pl.build(folder.c_str(), FALSE, FALSE, TRUE);
    auto t1 = std::chrono::steady_clock::now();
    int again = pl.build(folder.c_str(), FALSE, FALSE, TRUE);
    auto t2 = std::chrono::steady_clock::now();

    auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
    printf("[ playlist ] build of %d files: %.1f ms (rebuild %.1f ms)\n", count, ms(t1 - t0), ms(t2 - t1));
    EXPECT_EQ(n, count);
    EXPECT_EQ(again, count);
    EXPECT_EQ(cur(pl), folder + "/clip_00000.ts");
    EXPECT_LT(ms(t1 - t0), 5000.0);
}
