// Folder playlists: the play order and current file of one channel's folder
// source, kept in a small text file.
#include "PlayList.h"
#include "PlayOrder.h"
#include "tovu_config.h"
#include "tovu_helpers.h"
#include "tovu_base.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

CPlayList g_tovuPlaylists[TOVU_MAX_CHANNELS];

namespace {

// sub-folders deeper than this below the root are not walked
const int kMaxWalkDepth = 64;
// at most this many sub-folders are walked in one build: links that reach
// one folder through many paths would otherwise multiply the walk beyond
// any end, though no link leads back up the path
const size_t kMaxWalkFolders = 100000;

using Guard = TovuScopedLock<TovuRecursiveMutex>;

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

// the state of one recursive walk. A folder is walked under every path that
// reaches it, except that it is not entered again below itself, and a link
// never leads the walk out above the root: the path holds, by device and
// inode, the folders above the root up to "/" and those from the root down
// to the one being walked, and any of them ends a descent that would loop or
// leave the root's tree.
struct CPlayList::WalkState {
    using Id = std::pair<dev_t, ino_t>;
    std::vector<Id> path;
    int depth = 0;
    size_t folders = 0;

    bool notToEnter(const struct stat &st) const
    {
        const Id id{st.st_dev, st.st_ino};
        return std::find(path.begin(), path.end(), id) != path.end();
    }
};

namespace {

// the folders above dir (its parent, up to "/"), by device and inode
std::vector<std::pair<dev_t, ino_t>> foldersAbove(const std::string &dir)
{
    std::vector<std::pair<dev_t, ino_t>> ids;
    char *real = realpath(dir.c_str(), nullptr);
    if (!real)
        return ids;
    std::string at = real;
    free(real);
    while (at.size() > 1) {
        std::string::size_type slash = at.rfind('/');
        at.resize(slash == 0 ? 1 : slash);
        struct stat st;
        if (stat(at.c_str(), &st) == 0)
            ids.push_back({st.st_dev, st.st_ino});
    }
    return ids;
}

} // namespace

CPlayList::CPlayList()
    : m_bRecursive(FALSE), m_bShuffle(FALSE), m_posCurItem(m_lstPlayItems.cend())
{
}

CPlayList::~CPlayList()
{
    Guard g(m_lock);
    if (!m_strfnPlayList.empty())
        Save();
}

void CPlayList::init(LPCTSTR tszfnPlayList)
{
    Guard g(m_lock);
    m_strfnPlayList = tszfnPlayList ? tszfnPlayList : "";
    // what a save killed half-way left beside the file
    tovuRemoveStaleSaves(m_strfnPlayList.c_str());
    Load();
}

void CPlayList::appendItem(std::string path)
{
    m_lstPlayItems.push_back(std::move(path));
    m_setItems.insert(m_lstPlayItems.back());
}

// Moves the pending shuffled insertions into the list at their places. The
// list's nodes are only relinked, so iterators (the current file) and the
// duplicate set's views stay valid.
void CPlayList::placePending()
{
    if (m_lstPending.empty())
        return;
    using Node = std::list<std::string>::iterator;
    const size_t listed = m_lstPlayItems.size();
    std::vector<Node> nodes;
    nodes.reserve(listed + m_lstPending.size());
    for (Node it = m_lstPlayItems.begin(); it != m_lstPlayItems.end(); ++it)
        nodes.push_back(it);
    for (Node it = m_lstPending.begin(); it != m_lstPending.end(); ++it)
        nodes.push_back(it);

    std::list<std::string> before;
    before.splice(before.end(), m_lstPlayItems);
    for (size_t i : placeInsertions(listed, m_vecPendingAt))
        m_lstPlayItems.splice(m_lstPlayItems.end(), i < listed ? before : m_lstPending, nodes[i]);
    m_vecPendingAt.clear();
}

void CPlayList::clearItems()
{
    m_setItems.clear();
    m_lstPlayItems.clear();
    m_posCurItem = m_lstPlayItems.cend();
    m_lstPending.clear();
    m_vecPendingAt.clear();
}

std::list<std::string>::const_iterator CPlayList::findItem(const std::string &path) const
{
    auto hit = m_setItems.find(std::string_view(path));
    if (hit == m_setItems.end())
        return m_lstPlayItems.cend();
    // the set's view is of the listed string itself: its node is the one
    // whose string starts there, found without reading the strings
    const char *data = hit->data();
    return std::find_if(m_lstPlayItems.cbegin(), m_lstPlayItems.cend(),
                        [data](const std::string &item) { return item.data() == data; });
}

void CPlayList::Load()
{
    Guard g(m_lock);
    if (m_strfnPlayList.empty())
        return;
    // only a regular file is read: a pipe in its place would hold the
    // start-up until someone wrote to it
    int fd = tovu_open_regular(m_strfnPlayList.c_str(), nullptr);
    if (fd < 0)
        return;
    FILE *fp = fdopen(fd, "r");
    if (!fp) {
        close(fd);
        return;
    }

    // whole lines of any length: a long path is never cut into two items,
    // and a long current name never into a wrong one
    std::string current;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t got;
    while ((got = getline(&line, &cap, fp)) != -1) {
        std::string_view text(line, strnlen(line, (size_t)got));
        if (text.size() >= 8 && tovu_strncasecmp(line, "current ", 8) == 0) {
            std::string_view name = text.substr(8);
            name = name.substr(0, name.find_first_of("\r\n"));
            if (!name.empty())
                current.assign(name);
            continue;
        }
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
            text.remove_suffix(1);
        // a blank line names no file
        if (text.empty())
            continue;
        if (m_setItems.find(text) == m_setItems.end())
            appendItem(std::string(text));
    }
    free(line);
    fclose(fp);

    if (m_lstPlayItems.empty())
        return;
    m_posCurItem = current.empty() ? m_lstPlayItems.cbegin() : findItem(current);
}

void CPlayList::Save() const
{
    Guard g(m_lock);
    if (m_strfnPlayList.empty())
        return;
    const char *path = m_strfnPlayList.c_str();
    if (!isDirectory(m_strRoot.c_str()) || m_lstPlayItems.empty()) {
        unlink(path);
        return;
    }
    // a file that may not be written stays as it is
    if (access(path, F_OK) == 0 && access(path, W_OK) != 0)
        return;

    // a name with a line break in it cannot be read back: it gets no line,
    // rather than breaking the file into wrong items
    auto writable = [](const std::string &item) {
        return !memchr(item.data(), '\n', item.size()) && !memchr(item.data(), '\r', item.size());
    };
    std::string text;
    // most paths are the folder and a short name: one allocation, mostly
    text.reserve((m_lstPlayItems.size() + 1) * (m_strRoot.size() + 32));
    if (m_posCurItem != m_lstPlayItems.cend() && writable(*m_posCurItem))
        text.append("current ").append(*m_posCurItem).push_back('\n');
    for (const std::string &item : m_lstPlayItems)
        if (writable(item))
            text.append(item).push_back('\n');
    // a failed save leaves the old file whole
    tovuWriteFileAtomic(path, text);
}

int CPlayList::build(LPCTSTR tszRoot, BOOL bRecursive, BOOL bShuffle, BOOL bClear)
{
    Guard g(m_lock);
    // copied first: tszRoot may point into m_strRoot (refresh)
    std::string root = tszRoot ? tszRoot : "";
    bool remembered = m_posCurItem != m_lstPlayItems.cend();
    std::string rememberedPath = remembered ? *m_posCurItem : std::string();

    if (bClear)
        clearItems();
    m_skipped = Skipped();
    if (!root.empty() && root.back() == '/')
        root.pop_back();
    m_strRoot = std::move(root);
    m_bRecursive = bRecursive;
    m_bShuffle = bShuffle;

    if (populate(m_strRoot.c_str()) == 0)
        return 0;
    if (!m_bShuffle)
        sortPaths(m_lstPlayItems);

    m_posCurItem = remembered ? findItem(rememberedPath) : m_lstPlayItems.cend();
    if (m_posCurItem == m_lstPlayItems.cend())
        m_posCurItem = m_lstPlayItems.cbegin();
    if (!m_strfnPlayList.empty())
        Save();
    return (int)m_lstPlayItems.size();
}

int CPlayList::refresh()
{
    Guard g(m_lock);
    std::string root = m_strRoot;
    return build(root.c_str(), m_bRecursive, m_bShuffle, FALSE);
}

size_t CPlayList::populate(LPCTSTR tszRoot)
{
    Guard g(m_lock);
    std::string root = tszRoot ? tszRoot : "";
    WalkState state;
    if (m_bRecursive)
        state.path = foldersAbove(root);
    struct stat st;
    if (stat(root.c_str(), &st) == 0)
        state.path.push_back({st.st_dev, st.st_ino});
    bool opened;
    {
        struct Walking {
            bool &flag;
            explicit Walking(bool &f) : flag(f) { flag = true; }
            ~Walking() { flag = false; }
        } walking(m_bWalking);
        opened = walk(root, state);
    }
    placePending();
    return opened ? m_lstPlayItems.size() : 0;
}

bool CPlayList::walk(const std::string &dirPath, WalkState &state)
{
    DIR *dir = opendir(dirPath.c_str());
    if (!dir)
        return false;
    std::string full;
    while (struct dirent *ent = readdir(dir)) {
        const char *name = ent->d_name;
        if (isDotOrDotDot(name))
            continue;
        full.assign(dirPath).append("/").append(name);

        // Only regular files are played: a pipe or a device in the folder
        // (or a link to one) would hold or feed the transcoder with what is
        // no media file. A plain file needs no stat; links and unknown types
        // are followed. A link that leads nowhere, or round and round, is
        // nothing to play.
        if (ent->d_type == DT_FIFO || ent->d_type == DT_CHR || ent->d_type == DT_BLK ||
            ent->d_type == DT_SOCK)
            continue;
        struct stat st = {};
        if (ent->d_type != DT_REG) {
            if (stat(full.c_str(), &st) != 0)
                continue;
            if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
                continue;
        }
        if (ent->d_type == DT_REG || S_ISREG(st.st_mode)) {
            insertFile(dirPath.c_str(), name);
            continue;
        }
        if (!m_bRecursive || state.depth >= kMaxWalkDepth || state.folders >= kMaxWalkFolders)
            continue;
        if (state.notToEnter(st))
            continue;
        state.folders++;
        state.depth++;
        state.path.push_back({st.st_dev, st.st_ino});
        walk(full, state);
        state.path.pop_back();
        state.depth--;
    }
    closedir(dir);
    return true;
}

void CPlayList::insertFile(LPCTSTR tszDir, LPCTSTR tszfn)
{
    Guard g(m_lock);
    std::string path = tszDir ? tszDir : "";
    path.append("/").append(tszfn ? tszfn : "");
    // the transcoder gets the path in double quotes, on one line
    if (path.find_first_of("\r\n\"") != std::string::npos) {
        if (m_skipped.paths.size() < kMaxSkippedKept)
            m_skipped.paths.push_back(std::move(path));
        m_skipped.count++;
        return;
    }

    size_t n = m_lstPlayItems.size() + m_lstPending.size();
    bool shuffled = m_bShuffle && n > 0;
    if (!shuffled)
        placePending();
    // listed first, so that the set holds a view of the listed string; one
    // look-up then both tests for a duplicate and notes the path
    std::list<std::string> &into = shuffled ? m_lstPending : m_lstPlayItems;
    into.push_back(std::move(path));
    if (!m_setItems.insert(into.back()).second) {
        into.pop_back();
        return;
    }
    if (!shuffled)
        return;
    // before the item at k - 1, the front for k of 0 or 1: never the end.
    // The place is noted now and taken when the walk ends (at once outside
    // a walk), so that no insertion walks the list.
    size_t k = (size_t)rand() % n;
    m_vecPendingAt.push_back(k <= 1 ? 0 : k - 1);
    if (!m_bWalking)
        placePending();
}

CPlayList::Skipped CPlayList::GetSkipped() const
{
    Guard g(m_lock);
    return m_skipped;
}

size_t CPlayList::GetCount() const
{
    Guard g(m_lock);
    return m_lstPlayItems.size();
}

LPCTSTR CPlayList::GetCurFile() const
{
    Guard g(m_lock);
    return m_posCurItem == m_lstPlayItems.cend() ? nullptr : m_posCurItem->c_str();
}

std::string CPlayList::GetCurFileCopy() const
{
    Guard g(m_lock);
    return m_posCurItem == m_lstPlayItems.cend() ? std::string() : *m_posCurItem;
}

LPCTSTR CPlayList::MoveNext(BOOL bLoop)
{
    Guard g(m_lock);
    auto next = m_posCurItem == m_lstPlayItems.cend() ? m_lstPlayItems.cbegin()
                                                      : std::next(m_posCurItem);
    if (next == m_lstPlayItems.cend()) {
        if (!bLoop)
            return nullptr;
        next = m_lstPlayItems.cbegin();
    }
    m_posCurItem = next;
    if (!m_strfnPlayList.empty())
        Save();
    return GetCurFile();
}

LPCTSTR CPlayList::MovePrev(BOOL bLoop)
{
    Guard g(m_lock);
    if (m_lstPlayItems.empty() || m_posCurItem == m_lstPlayItems.cbegin()) {
        if (!bLoop)
            return nullptr;
        m_posCurItem = m_lstPlayItems.empty() ? m_lstPlayItems.cend()
                                              : std::prev(m_lstPlayItems.cend());
    } else {
        m_posCurItem = std::prev(m_posCurItem);
    }
    if (!m_strfnPlayList.empty())
        Save();
    return GetCurFile();
}
