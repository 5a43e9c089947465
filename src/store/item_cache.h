// The per-file cache of whole items. Every item operation goes through it:
// it keeps decoded items in most-recently-used order, reads a window of
// earlier records in one forward pass when the caller moves backwards (one
// chain replay per window instead of one per item under the chained
// methods), holds updates and deletes until the item leaves the cache or the
// file is closed, and bounds its memory by an item count and a byte count.
// New items are handed to the record layer at once.
//
// All functions run under the library lock, on an open file.
#ifndef VARNFILE_STORE_ITEM_CACHE_H_
#define VARNFILE_STORE_ITEM_CACHE_H_

#include <cstdint>

#include "store/open_file.h"
#include "base/result_code.h"
#include "store/file_format.h"
#include "store/record_io.h"

namespace varnfile {

// Defaults set when a file is opened; VARNFileSetParameters changes them.
constexpr int32_t DefaultMaxCachedItems = 16;
constexpr uint32_t DefaultMaxCachedBytes = 65536;
// A backward window reads at most this many records before its target.
constexpr int32_t MaxWindowBack = 127;

// One cached item: a single allocation of this record followed by room for
// `capacity` data bytes. view.data points at that room, or, for an item
// lent its data (an uncompressed memory file's record read in place), at
// the record's bytes in the stream. A lent item takes a copy of its own
// before its data is changed, so the file's bytes change only when the item
// is written back.
struct CachedItem {
  CachedItem* older;      // towards lruItem; null for the least recently used
  CachedItem* newer;      // towards mruItem; null for the most recently used
  CachedItem* indexNext;  // next item in its bucket of the position index
  uint32_t position;      // position of the record
  uint32_t capacity;      // data bytes the allocation holds
  bool changed;           // header or data differ from the file
  bool lent;              // view.data points into the stream, not at the room
  RecordView view;        // header, neighbour positions, decoded data
};

// The cached item at position; null when the cache does not hold it.
CachedItem* FindCachedItem(OpenFile* file, uint32_t position);

// Makes the item at position the most recently used cached item, reading it
// (and, when the caller moves backwards, a window of records around it) if
// it is not cached, and copies out what is asked for: its header, the
// positions of the records before and after it, and its `length` data
// bytes. Every out-pointer may be null. 262 when position is the end of
// data; otherwise the record layer's codes.
ResultCode LoadItem(OpenFile* file, uint32_t position, ItemHeader* headerOut,
                    uint32_t* previousOut, uint32_t* nextOut, uint8_t* dataOut);

// LoadItem without the neighbour positions.
ResultCode ReadItemAt(OpenFile* file, uint32_t position, ItemHeader* headerOut,
                      uint8_t* dataOut);

// Changes the item at position in the cache (written back later); at the
// end of data appends a new record there at once, which becomes the last
// record. A null data changes commandId, extraId and extraValue only; with
// data, its length must equal the item's and the file must be uncompressed
// (else 268), and data and crc are replaced too. A position behind the end
// of data gives 262: a record there would leave a gap in the chain.
ResultCode WriteItemAt(OpenFile* file, uint32_t position, const ItemHeader* header,
                       const uint8_t* data);

// Writes every changed item back, most recently used first, and stops at
// the first failure.
ResultCode FlushItemCache(OpenFile* file);

// Frees every cached item without writing anything.
void DropAllCachedItems(OpenFile* file);

// ---- internal steps, exposed for the tests ----

// Makes room under both limits (evicting the least recently used items,
// writing back changed ones), then caches a new item with the given header,
// previous position and optional data. With write set the record is also
// written at position through the record layer. An item larger than the
// byte limit is still cached once the cache is empty. With lend set the
// item points at data (the record's bytes in the stream, which outlive it)
// instead of holding a copy.
ResultCode AddCachedItem(OpenFile* file, uint32_t position, uint32_t previousPosition,
                         const ItemHeader* header, const uint8_t* data, bool write,
                         CachedItem** out, bool lend = false);

// Applies an update to a cached item; 268 (nothing changed) for data of
// another length or any data under a compression method, 272 when a lent
// item cannot get room for a copy of its own.
ResultCode UpdateCachedItem(OpenFile* file, CachedItem* item, const ItemHeader* header,
                            const uint8_t* data);

// Writes a cached item back in place: under a compression method only its
// header (the stored data never changes), else the whole record.
ResultCode WriteBackItem(OpenFile* file, CachedItem* item);

// Links the item (unlinking it first if linked) in front of mruItem.
void MakeMostRecent(OpenFile* file, CachedItem* item);

}  // namespace varnfile

#endif  // VARNFILE_STORE_ITEM_CACHE_H_
