// The one library-wide record, the library lock, the open-file table and the
// record behind each handle.
#ifndef VARNFILE_API_LIBRARY_STATE_H_
#define VARNFILE_API_LIBRARY_STATE_H_

#include <cstdint>

#include "api/result_code.h"
#include "store/store.h"

namespace varnfile {

struct CachedItem;
struct MemoryStream;

// One per handle; allocated zero-filled, owned by its table slot.
struct OpenFile {
  uint32_t position;  // the cursor: position of the current item
  // Item cache.
  CachedItem* mruItem;
  CachedItem* lruItem;
  uint32_t isOpen;
  uint32_t fileMethod;
  int32_t maxCachedItems;
  int32_t cachedItems;
  uint32_t maxCachedBytes;
  uint32_t cachedBytes;
  uint32_t lastItemPosition;  // 0: the file holds no record
  Store store;
};

struct LibraryState {
  OpenFile** files;      // fileCapacity slots; null when no file is open
  uint32_t fileCapacity;  // a multiple of 4
  uint32_t fileCount;
  MemoryStream** memStreams;
  uint32_t memCapacity;
  uint32_t memCount;
  uint32_t dateTimeMode;   // 1: server clock
  uint32_t dateTimeParam;  // handed to the server clock
};

}  // namespace varnfile

#endif  // VARNFILE_API_LIBRARY_STATE_H_
