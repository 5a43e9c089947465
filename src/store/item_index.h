// An open-addressing table from record position to cached item, so that the
// item cache finds an item in constant time however many it holds (callers
// may let it hold up to 65,535). Linear probing; a removal shifts the
// entries behind it back, so the table never holds tombstones.
//
// The table grows to keep at most half of its slots in use and is only
// released by ItemIndexFree. Used under the library lock.
#ifndef VARNFILE_STORE_ITEM_INDEX_H_
#define VARNFILE_STORE_ITEM_INDEX_H_

#include <cstdint>

#include "base/result_code.h"

namespace varnfile {

struct CachedItem;

struct ItemIndexSlot {
  uint32_t position;
  CachedItem* item;  // null: the slot is free
};

struct ItemIndex {
  ItemIndexSlot* slots;  // null until the first reservation
  uint32_t mask;         // slot count - 1; the slot count is a power of two
};

// Makes room for `count` entries in all, so that the inserts up to that
// count cannot fail. Out of memory leaves the index as it was.
ResultCode ItemIndexGrow(ItemIndex* index, uint32_t count);
// ItemIndexGrow, checked inline first: the room is nearly always there.
inline ResultCode ItemIndexReserve(ItemIndex* index, uint32_t count) {
  if (index->slots != nullptr && uint64_t{count} * 2 <= uint64_t{index->mask} + 1) return ResultOk;
  return ItemIndexGrow(index, count);
}

// The item at position; null when the index holds none.
CachedItem* ItemIndexFind(const ItemIndex* index, uint32_t position);

// Files item under position, which the index must not hold yet; room must
// have been reserved.
void ItemIndexInsert(ItemIndex* index, uint32_t position, CachedItem* item);

// Takes position out; nothing happens when the index does not hold it.
void ItemIndexRemove(ItemIndex* index, uint32_t position);

// Releases the table and leaves the index empty.
void ItemIndexFree(ItemIndex* index);

}  // namespace varnfile

#endif  // VARNFILE_STORE_ITEM_INDEX_H_
