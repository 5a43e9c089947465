// The record behind one open file: the cursor, the item cache and the store.
// The API's handle table owns one per handle.
#ifndef VARNFILE_STORE_OPEN_FILE_H_
#define VARNFILE_STORE_OPEN_FILE_H_

#include <cstdint>

#include "store/item_index.h"
#include "store/store.h"

namespace varnfile {

struct CachedItem;

// One per handle; allocated zero-filled, owned by its table slot.
struct OpenFile {
  uint32_t position;  // the cursor: position of the current item
  // Item cache.
  CachedItem* mruItem;
  CachedItem* lruItem;
  ItemIndex itemIndex;  // the cached items by position
  bool isOpen;
  uint32_t fileMethod;
  int32_t maxCachedItems;
  int32_t cachedItems;
  uint32_t maxCachedBytes;
  uint32_t cachedBytes;
  uint32_t lastItemPosition;  // 0: the file holds no record
  Store store;
};

}  // namespace varnfile

#endif  // VARNFILE_STORE_OPEN_FILE_H_
