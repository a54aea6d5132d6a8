// Play orders against plain models: shuffled playlists against the insertion
// rule (for the same rand() sequence the build gives the same order, folder
// size by size), and the sorted order against std::string's own comparison.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <list>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "PlayList.h"
#include "PlayOrder.h"
#include "fixtures/temp_dir.h"

namespace {

class ShufflePlayList : public CPlayList
{
public:
    std::vector<std::string> items() const { return {m_lstPlayItems.begin(), m_lstPlayItems.end()}; }
};

// The rule, plainly: each path not yet listed goes before index k - 1 of
// k = rand() % n, or to the front when k - 1 <= 0; into an empty list it is
// appended. Works on indices into names so that 20,000 files stay quick.
std::vector<std::string> modelOrder(const std::vector<std::string> &start,
                                    const std::vector<std::string> &listing)
{
    std::vector<std::string> names = start;
    std::vector<size_t> order(start.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::unordered_set<std::string> listed(start.begin(), start.end());
    for (const std::string &path : listing) {
        if (!listed.insert(path).second)
            continue;
        names.push_back(path);
        if (order.empty()) {
            order.push_back(names.size() - 1);
            continue;
        }
        long k = rand() % (long)order.size();
        order.insert(order.begin() + std::max(0L, k - 1), names.size() - 1);
    }
    std::vector<std::string> out;
    out.reserve(order.size());
    for (size_t i : order)
        out.push_back(names[i]);
    return out;
}

// the folder's files in the order the directory listing gives them
std::vector<std::string> listing(const std::string &dir)
{
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            out.push_back(dir + "/" + name);
    }
    closedir(d);
    return out;
}

void makeFiles(const std::string &dir, int from, int to)
{
    char name[32];
    for (int i = from; i < to; i++) {
        snprintf(name, sizeof name, "/clip_%05d.ts", i);
        int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0) << name;
        close(fd);
    }
}

} // namespace

TEST(PlayListShuffle, SameOrderAsTheRuleForEverySizeAndSeed)
{
    tovutest::TempDir scratch("tovu_shuffle");
    ASSERT_FALSE(scratch.path().empty());
    const std::string base = scratch.path();
    const unsigned seeds[] = {1, 42, 20261210};

    for (int size : {0, 1, 2, 3, 10, 1000, 20000}) {
        SCOPED_TRACE("files: " + std::to_string(size));
        const std::string folder = base + "/f" + std::to_string(size);
        ASSERT_TRUE(std::filesystem::create_directory(folder));
        makeFiles(folder, 0, size);
        const std::vector<std::string> files = listing(folder);

        // not bound to a file: nothing is saved at each move
        ShufflePlayList pl;
        std::string current;
        for (unsigned seed : seeds) {
            SCOPED_TRACE("seed: " + std::to_string(seed));
            srand(seed);
            EXPECT_EQ(pl.build(folder.c_str(), FALSE, TRUE, TRUE), size);
            srand(seed);
            const std::vector<std::string> first = modelOrder({}, files);
            ASSERT_EQ(pl.items(), first);
            // the first build starts at the front, a later one keeps its file
            if (current.empty() && size)
                current = first.front();
            ASSERT_EQ(pl.GetCurFileCopy(), current);

            // a rebuild draws a new order and keeps the current file
            for (int i = 0; i < size / 2; i++)
                pl.MoveNext(FALSE);
            current = pl.GetCurFileCopy();
            srand(seed + 1);
            EXPECT_EQ(pl.build(folder.c_str(), FALSE, TRUE, TRUE), size);
            srand(seed + 1);
            ASSERT_EQ(pl.items(), modelOrder({}, files));
            EXPECT_EQ(pl.GetCurFileCopy(), current);
        }

        // a refresh keeps the listed order and places only the new files
        const std::vector<std::string> before = pl.items();
        makeFiles(folder, size, size + 3);
        srand(7);
        EXPECT_EQ(pl.refresh(), size + 3);
        srand(7);
        EXPECT_EQ(pl.items(), modelOrder(before, listing(folder)));
    }
}

// The sort keys on eight bytes past the shared prefix: the cases put the
// differences before, inside and after those bytes, at the ends of short
// strings, on zero bytes (the key's padding) and on bytes above 0x7f.
TEST(PlayOrder, SortsAsStringsCompare)
{
    struct Case {
        const char *what;
        std::string prefix;
        size_t maxTail;
        std::string alphabet;
    };
    const Case cases[] = {
        {"no shared prefix", "", 12, std::string("ab\x7f\x80\xff", 5)},
        {"a folder's prefix", "/media/library/", 20, "ab/._"},
        {"zero bytes, short tails", "/m/", 10, std::string("\0a\0b", 4)},
        {"ties past the key", "/m/clip_", 14, "0"},
    };
    std::mt19937 gen(20261210);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::uniform_int_distribution<size_t> len(0, c.maxTail), pick(0, c.alphabet.size() - 1);
        for (size_t count : {0, 1, 2, 3, 50, 2000}) {
            std::list<std::string> items;
            for (size_t i = 0; i < count; i++) {
                std::string s = c.prefix;
                // the last case differs only in its last bytes, past the key
                size_t n = len(gen);
                for (size_t j = 0; j < n; j++)
                    s.push_back(j + 3 >= n ? "0123456789"[gen() % 10] : c.alphabet[pick(gen)]);
                items.push_back(s);
            }
            std::vector<std::string> expected(items.begin(), items.end());
            std::sort(expected.begin(), expected.end());
            std::vector<std::list<std::string>::iterator> nodes;
            for (auto it = items.begin(); it != items.end(); ++it)
                nodes.push_back(it);
            std::vector<std::string> values(items.begin(), items.end());

            sortPaths(items);
            ASSERT_EQ(std::vector<std::string>(items.begin(), items.end()), expected) << count << " items";
            // the nodes are relinked, not copied: each iterator holds its string
            for (size_t i = 0; i < nodes.size(); i++)
                ASSERT_EQ(*nodes[i], values[i]);
        }
    }
}
