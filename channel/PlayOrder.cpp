// Where a run of insertions into a list puts each item: the run is placed
// backwards over a Fenwick tree of free places.
#include "PlayOrder.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>

namespace {

// counts of free places; finds the k-th free place in O(log n)
class FreePlaces
{
public:
    explicit FreePlaces(size_t n) : m_tree(n + 1, 0), m_top(1)
    {
        // every place free: built in O(n)
        for (size_t i = 1; i <= n; i++) {
            m_tree[i] += 1;
            size_t parent = i + (i & (~i + 1));
            if (parent <= n)
                m_tree[parent] += m_tree[i];
        }
        while (m_top * 2 <= n)
            m_top *= 2;
    }

    // takes the k-th free place (0-based) and returns it (0-based)
    size_t take(size_t k)
    {
        size_t pos = 0;
        for (size_t step = m_top; step > 0; step /= 2) {
            size_t next = pos + step;
            if (next < m_tree.size() && m_tree[next] <= k) {
                pos = next;
                k -= m_tree[next];
            }
        }
        // pos + 1 is the 1-based place
        for (size_t i = pos + 1; i < m_tree.size(); i += i & (~i + 1))
            m_tree[i]--;
        return pos;
    }

private:
    std::vector<size_t> m_tree;
    size_t m_top;
};

} // namespace

std::vector<size_t> placeInsertions(size_t listed, const std::vector<size_t> &at)
{
    const size_t total = listed + at.size();
    const size_t kFree = (size_t)-1;
    std::vector<size_t> order(total, kFree);
    FreePlaces places(total);
    for (size_t j = at.size(); j-- > 0;) {
        // listed + j items stood in the list when item j came: at most that index
        size_t k = at[j] < listed + j ? at[j] : listed + j;
        order[places.take(k)] = listed + j;
    }
    // the items listed before the run keep their order in the places left
    size_t next = 0;
    for (size_t &slot : order)
        if (slot == kFree)
            slot = next++;
    return order;
}

void sortPaths(std::list<std::string> &items)
{
    if (items.size() < 2)
        return;
    // the prefix all items share (the folder, in a walk) decides nothing
    const std::string &first = items.front();
    size_t common = first.size();
    for (const std::string &item : items) {
        size_t n = std::min(common, item.size());
        common = (size_t)(std::mismatch(first.data(), first.data() + n, item.data()).first - first.data());
    }

    // each node with the eight bytes past that prefix, big-endian, a short
    // string padded with zero bytes: where two keys differ they order as
    // their strings do, and only where they tie are the strings compared
    struct Entry {
        uint64_t key;
        std::list<std::string>::iterator node;
    };
    std::vector<Entry> entries;
    entries.reserve(items.size());
    for (auto it = items.begin(); it != items.end(); ++it) {
        unsigned char bytes[8] = {0};
        if (it->size() > common)
            memcpy(bytes, it->data() + common, std::min<size_t>(8, it->size() - common));
        uint64_t key = 0;
        for (unsigned char b : bytes)
            key = key << 8 | b;
        entries.push_back({key, it});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.key != b.key ? a.key < b.key : *a.node < *b.node;
    });
    for (const Entry &e : entries)
        items.splice(items.end(), items, e.node);
}
