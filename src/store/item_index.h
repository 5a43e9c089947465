// A hash table from record position to cached item, so that the item cache
// finds an item in constant time however many it holds (callers may let it
// hold up to 65,535). Each bucket heads a chain linked through the items'
// indexNext fields, so filing and removing an item never allocates.
//
// The table grows to keep at most one item per two buckets and is only
// released by ItemIndexFree. Used under the library lock.
#ifndef VARNFILE_STORE_ITEM_INDEX_H_
#define VARNFILE_STORE_ITEM_INDEX_H_

#include <cstdint>

#include "base/result_code.h"

namespace varnfile {

struct CachedItem;

struct ItemIndex {
  CachedItem** buckets;  // null until the first reservation
  uint32_t mask;         // bucket count - 1; the bucket count is a power of two
};

// Makes room for `count` items in all. Out of memory leaves the index as it
// was.
ResultCode ItemIndexGrow(ItemIndex* index, uint32_t count);
// ItemIndexGrow, checked inline first: the room is nearly always there.
inline ResultCode ItemIndexReserve(ItemIndex* index, uint32_t count) {
  if (index->buckets != nullptr && uint64_t{count} * 2 <= uint64_t{index->mask} + 1) {
    return ResultOk;
  }
  return ItemIndexGrow(index, count);
}

// The item at position; null when the index holds none.
CachedItem* ItemIndexFind(const ItemIndex* index, uint32_t position);

// Files item under its position, which the index must not hold yet; a
// reservation must have succeeded once.
void ItemIndexInsert(ItemIndex* index, CachedItem* item);

// Takes item out; nothing happens when the index does not hold it.
void ItemIndexRemove(ItemIndex* index, CachedItem* item);

// Releases the table and leaves the index empty.
void ItemIndexFree(ItemIndex* index);

}  // namespace varnfile

#endif  // VARNFILE_STORE_ITEM_INDEX_H_
