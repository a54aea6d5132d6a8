// Playlist files from outside (left from an earlier run, or edited by hand)
// with folder operations on a fixed folder tree, through the playlist's
// public operations. The current file is always one of the list's, a build
// from the folder lists exactly the folder's files, and what one playlist
// saves another loads back: the same count and the same current file (names
// with a line break in them are not saved).
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "PlayList.h"
#include "fuzz_util.h"

namespace {

struct Tree {
    std::string root;
    std::set<std::string> top, all; // the files without and with sub-folders
};

const Tree &tree()
{
    static Tree t = [] {
        Tree t;
        t.root = tovufuzz::scratch() + "/media";
        mkdir(t.root.c_str(), 0755);
        mkdir((t.root + "/sub").c_str(), 0755);
        mkdir((t.root + "/sub/deeper").c_str(), 0755);
        for (const char *name : {"b.ts", "a.ts", "c d.mp4", "sub/x.ts", "sub/deeper/a.ts"}) {
            std::string path = t.root + "/" + name;
            tovufuzz::writeFile(path, "", 0);
            t.all.insert(path);
            if (!strchr(name, '/'))
                t.top.insert(path);
        }
        return t;
    }();
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Tree &t = tree();
    static const std::string pls = tovufuzz::scratch() + "/tovu_001.pls";
    // the first bytes choose the operations, the rest is the playlist file
    size_t nops = size < 16 ? size : 16;
    FUZZ_CHECK(tovufuzz::writeFile(pls, data + nops, size - nops), "cannot write the playlist");

    std::string cur;
    size_t count = 0;
    bool built = false;
    {
        CPlayList list;
        list.init(pls.c_str());
        std::set<std::string> listed; // what the list is known to hold, when known
        for (size_t k = 0; k < nops; k++) {
            const uint8_t op = data[k];
            const BOOL flag = (op >> 4) & 1, rec = (op >> 5) & 1, shuffle = (op >> 6) & 1;
            switch (op & 7) {
            case 0:
            case 1: {
                // a clean build lists exactly the folder's files
                std::string root = t.root + ((op & 1) ? "/" : "");
                int n = list.build(root.c_str(), rec, shuffle, TRUE);
                const std::set<std::string> &want = rec ? t.all : t.top;
                FUZZ_CHECK(n == (int)want.size(), "clean build listed %d of %zu", n, want.size());
                listed = want;
                built = true;
                break;
            }
            case 2:
                list.build(t.root.c_str(), rec, shuffle, FALSE);
                listed.clear();
                built = true;
                break;
            case 3:
                list.refresh();
                listed.clear();
                break;
            case 4:
            case 5:
                list.MoveNext(flag);
                break;
            default:
                list.MovePrev(flag);
                break;
            }
            LPCTSTR file = list.GetCurFile();
            std::string copy = list.GetCurFileCopy();
            FUZZ_CHECK(file ? copy == file : copy.empty(), "the current file and its copy differ");
            FUZZ_CHECK(!file || list.GetCount() > 0, "a current file in an empty list");
            if (file && !listed.empty())
                FUZZ_CHECK(listed.count(file), "current file %s is not listed", file);
        }
        cur = list.GetCurFileCopy();
        count = list.GetCount();
    } // saves here

    // a list built from a folder that still exists and holds files is saved,
    // and the next playlist finds it as it was left
    CPlayList again;
    again.init(pls.c_str());
    // (a name with a line break in it, which only a playlist file can hold,
    // is left out of the saved file on purpose)
    const bool breaks = memchr(data + nops, '\r', size - nops) != nullptr;
    if (built && count > 0) {
        FUZZ_CHECK(breaks ? again.GetCount() <= count : again.GetCount() == count,
                   "saved %zu items, loaded %zu", count, again.GetCount());
        if (!cur.empty() && cur.find('\r') == std::string::npos)
            FUZZ_CHECK(again.GetCurFileCopy() == cur, "current file %s came back as %s", cur.c_str(),
                       again.GetCurFileCopy().c_str());
    }
    return 0;
}
