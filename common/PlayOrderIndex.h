/*
 * PlayOrderIndex.h - positions in a playlist by index, in logarithmic time.
 *
 * A shuffled playlist places each new file before a randomly drawn index of
 * its linked list. Walking the list to that index makes a build quadratic in
 * the folder's size; this index finds the list position of any index, and
 * takes a new position at any index, in O(log n) expected time, so a build
 * stays O(n log n).
 *
 * It is an implicit treap: a binary tree in list order whose nodes know the
 * size of their subtree, balanced by random priorities. The priorities come
 * from a private generator, never from rand(), so using the index leaves the
 * program's rand() sequence, and with it the shuffled order, as it was.
 *
 * The index does not own the list and is not told of its changes: its owner
 * drops it (clear) whenever the list changes other than through insert, and
 * rebuilds it (assign) before the next use. It has no lock of its own; the
 * owning playlist's lock covers it.
 */
#ifndef TOVU_PLAYORDERINDEX_H
#define TOVU_PLAYORDERINDEX_H

#include <stddef.h>
#include <stdint.h>

#include <list>
#include <string>
#include <vector>

class CPlayOrderIndex
{
public:
    using Position = std::list<std::string>::const_iterator;

    CPlayOrderIndex();

    // the number of positions held
    size_t size() const { return m_nodes[m_root].size; }
    // forgets every position
    void clear();
    // holds every position of the list, in list order
    void assign(const std::list<std::string> &items);
    // the position at index i (0 <= i < size())
    Position at(size_t i) const;
    // puts pos at index i (0 <= i <= size()); the positions from i on move up by one
    void insert(size_t i, Position pos);

private:
    // node 0 is the empty tree: size 0, its links unused
    static constexpr uint32_t kNil = 0;

    struct Node {
        Position pos;
        uint32_t left;
        uint32_t right;
        uint32_t size;
        uint32_t priority;
    };

    uint32_t nextPriority();
    void update(uint32_t t);
    // splits tree t into its first n positions (left) and the rest (right)
    void split(uint32_t t, size_t n, uint32_t &left, uint32_t &right);
    uint32_t insertAt(uint32_t t, size_t i, uint32_t node);

    std::vector<Node> m_nodes;
    uint32_t m_root;
    uint64_t m_rng;
};

#endif /* TOVU_PLAYORDERINDEX_H */
