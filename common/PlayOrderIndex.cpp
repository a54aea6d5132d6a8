// Positions in a playlist by index: an implicit treap over list positions.
#include "PlayOrderIndex.h"

#include <assert.h>

namespace {

// any fixed non-zero seed: the tree's shape depends on it, the order never
const uint64_t kPrioritySeed = 0x9e3779b97f4a7c15ull;

} // namespace

CPlayOrderIndex::CPlayOrderIndex() : m_root(kNil), m_rng(kPrioritySeed)
{
    m_nodes.push_back(Node{Position(), kNil, kNil, 0, 0});
}

void CPlayOrderIndex::clear()
{
    m_nodes.resize(1);
    m_root = kNil;
}

void CPlayOrderIndex::assign(const std::list<std::string> &items)
{
    clear();
    m_nodes.reserve(items.size() + 1);
    size_t i = 0;
    for (auto it = items.cbegin(); it != items.cend(); ++it)
        insert(i++, it);
}

uint32_t CPlayOrderIndex::nextPriority()
{
    // xorshift64*: fast, and independent of the program's rand()
    m_rng ^= m_rng >> 12;
    m_rng ^= m_rng << 25;
    m_rng ^= m_rng >> 27;
    return (uint32_t)((m_rng * 0x2545f4914f6cdd1dull) >> 32);
}

void CPlayOrderIndex::update(uint32_t t)
{
    Node &n = m_nodes[t];
    n.size = m_nodes[n.left].size + m_nodes[n.right].size + 1;
}

CPlayOrderIndex::Position CPlayOrderIndex::at(size_t i) const
{
    assert(i < size());
    uint32_t t = m_root;
    for (;;) {
        const Node &n = m_nodes[t];
        size_t leftSize = m_nodes[n.left].size;
        if (i < leftSize) {
            t = n.left;
        } else if (i == leftSize) {
            return n.pos;
        } else {
            i -= leftSize + 1;
            t = n.right;
        }
    }
}

void CPlayOrderIndex::split(uint32_t t, size_t n, uint32_t &left, uint32_t &right)
{
    if (t == kNil) {
        left = right = kNil;
        return;
    }
    size_t leftSize = m_nodes[m_nodes[t].left].size;
    if (n <= leftSize) {
        uint32_t l, r;
        split(m_nodes[t].left, n, l, r);
        m_nodes[t].left = r;
        left = l;
        right = t;
    } else {
        uint32_t l, r;
        split(m_nodes[t].right, n - leftSize - 1, l, r);
        m_nodes[t].right = l;
        left = t;
        right = r;
    }
    update(t);
}

uint32_t CPlayOrderIndex::insertAt(uint32_t t, size_t i, uint32_t node)
{
    if (t == kNil)
        return node;
    if (m_nodes[node].priority > m_nodes[t].priority) {
        uint32_t l, r;
        split(t, i, l, r);
        m_nodes[node].left = l;
        m_nodes[node].right = r;
        update(node);
        return node;
    }
    size_t leftSize = m_nodes[m_nodes[t].left].size;
    if (i <= leftSize) {
        uint32_t l = insertAt(m_nodes[t].left, i, node);
        m_nodes[t].left = l;
    } else {
        uint32_t r = insertAt(m_nodes[t].right, i - leftSize - 1, node);
        m_nodes[t].right = r;
    }
    update(t);
    return t;
}

void CPlayOrderIndex::insert(size_t i, Position pos)
{
    assert(i <= size());
    m_nodes.push_back(Node{pos, kNil, kNil, 1, nextPriority()});
    m_root = insertAt(m_root, i, (uint32_t)(m_nodes.size() - 1));
}
