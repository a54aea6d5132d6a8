/*
 * PlayOrder.h - where a run of insertions into a list puts each item.
 *
 * A shuffled playlist places each new file before a randomly drawn index of
 * its linked list. Walking the list to each index makes a build quadratic in
 * the folder's size. The playlist therefore notes each drawn index while it
 * walks the folder and places the whole run at once with placeInsertions,
 * in O(n log n): the last insertion's index is its final place, and each
 * earlier one takes the place of that index among the places still free.
 *
 * A sorted playlist is put in order by sortPaths, which compares short keys
 * held side by side rather than strings scattered over the heap.
 */
#ifndef TOVU_PLAYORDER_H
#define TOVU_PLAYORDER_H

#include <stddef.h>

#include <list>
#include <string>
#include <vector>

// A list holds `listed` items; then item j of a run was inserted at index
// at[j] (0 <= at[j] <= listed + j) of the list as it was then. Returns, for
// each place of the final list in order, which item stands there: i < listed
// for the i-th item listed before the run, listed + j for the run's item j.
// An index past the end of its list counts as the end.
std::vector<size_t> placeInsertions(size_t listed, const std::vector<size_t> &at);

// Sorts the list as std::string compares (unsigned bytes, a prefix first) by
// relinking its nodes, as std::list::sort does: iterators stay valid.
void sortPaths(std::list<std::string> &items);

#endif /* TOVU_PLAYORDER_H */
