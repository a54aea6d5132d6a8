/*
 * PlayList.h - the playlist of one channel's folder source.
 *
 * A playlist holds the full paths of a folder's files in play order and the
 * current position, and keeps both in a small text file so that the file
 * being played is found again after a restart:
 *
 *     current /media/a.ts        (only when a file is current)
 *     /media/a.ts
 *     /media/b.ts
 *
 * Every operation takes the playlist's own lock, so one playlist may be used
 * from the main, web-server and timer threads at once (the lock's place among
 * the others: docs/threads.md). GetCurFile, MoveNext
 * and MovePrev return a pointer into the list that stays valid only until the
 * item leaves it (the next build with bClear); a caller on a thread other
 * than the one that builds should take its copy with GetCurFileCopy.
 */
#ifndef TOVU_PLAYLIST_H
#define TOVU_PLAYLIST_H

#include <stddef.h>

#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tovu_base.h"
#include "tovu_tchar.h"
#include "tovu_thread_safety.h"

class CPlayList
{
public:
    CPlayList();
    virtual ~CPlayList();

    CPlayList(const CPlayList &) = delete;
    CPlayList &operator=(const CPlayList &) = delete;

    // binds the playlist to its file and loads it
    void init(LPCTSTR tszfnPlayList);
    // (re)builds the list from a folder; returns the number of items, 0 when no file was found
    int build(LPCTSTR tszRoot, BOOL bRecursive, BOOL bShuffle, BOOL bClear);
    // build again from the last folder and flags, keeping the listed items
    int refresh();

    size_t GetCount() const;
    // the current file's full path, or null when the list is empty or no file is current
    LPCTSTR GetCurFile() const;
    // the same as a copy taken under the lock; empty when no file is current
    std::string GetCurFileCopy() const;
    LPCTSTR MoveNext(BOOL bLoop);
    LPCTSTR MovePrev(BOOL bLoop);

    // The files that the last build passed by because no argument string can
    // carry their paths: a line break or a double quote in them. The first
    // kMaxSkippedKept paths, and how many there were in all.
    static constexpr size_t kMaxSkippedKept = 20;
    struct Skipped {
        std::vector<std::string> paths;
        size_t count = 0;
    };
    Skipped GetSkipped() const;

protected:
    void Load();
    void Save() const;
    void insertFile(LPCTSTR tszDir, LPCTSTR tszfn);
    size_t populate(LPCTSTR tszRoot);

    std::string m_strfnPlayList TOVU_GUARDED_BY(m_lock);
    std::string m_strRoot TOVU_GUARDED_BY(m_lock);
    BOOL m_bRecursive TOVU_GUARDED_BY(m_lock);
    BOOL m_bShuffle TOVU_GUARDED_BY(m_lock);
    std::list<std::string> m_lstPlayItems TOVU_GUARDED_BY(m_lock);
    std::list<std::string>::const_iterator m_posCurItem TOVU_GUARDED_BY(m_lock);

private:
    struct WalkState;

    void appendItem(std::string path) TOVU_REQUIRES(m_lock);
    void placePending() TOVU_REQUIRES(m_lock);
    void clearItems() TOVU_REQUIRES(m_lock);
    std::list<std::string>::const_iterator findItem(const std::string &path) const TOVU_REQUIRES(m_lock);
    bool walk(const std::string &dir, WalkState &state) TOVU_REQUIRES(m_lock);

    // taken by every operation; recursive because the public ones call the protected ones
    mutable TovuRecursiveMutex m_lock;
    // the listed paths, for the duplicate test; views into the list's own strings
    std::unordered_set<std::string_view> m_setItems TOVU_GUARDED_BY(m_lock);
    // Shuffled insertions of the walk under way, not yet in the list: the
    // paths in the order they came (listed in m_setItems) and the index each
    // was drawn to go to. The walk places them all when it ends; outside a
    // walk both are empty.
    std::list<std::string> m_lstPending TOVU_GUARDED_BY(m_lock);
    std::vector<size_t> m_vecPendingAt TOVU_GUARDED_BY(m_lock);
    bool m_bWalking TOVU_GUARDED_BY(m_lock) = false;
    Skipped m_skipped TOVU_GUARDED_BY(m_lock);
};

// one playlist per channel, index = channel index
extern CPlayList g_tovuPlaylists[TOVU_MAX_CHANNELS];

#endif /* TOVU_PLAYLIST_H */
