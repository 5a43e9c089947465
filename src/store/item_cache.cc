#include "store/item_cache.h"

#include <cstring>

#include "base/memory.h"
#include "base/prefetch.h"
#include "base/test_hooks.h"
#include "store/block_codec.h"
#include "store/buffered_io.h"
#include "store/decoder_checkpoints.h"
#include "store/store.h"

namespace varnfile {

namespace {

constexpr uint32_t WindowCapacity = MaxWindowBack + 1;

bool IsCompressed(const OpenFile* file) { return file->fileMethod != VARNFILE_METHOD_NONE; }

uint8_t* ItemData(CachedItem* item) { return reinterpret_cast<uint8_t*>(item + 1); }

ResultCode CountedReadRecord(Store* store, RecordView* view) {
  TestHookCount(TestCounter::CacheRecordReads);
  return ReadRecord(store, view);
}

void Unlink(OpenFile* file, CachedItem* item) {
  if (item->newer != nullptr) {
    item->newer->older = item->older;
  } else if (file->mruItem == item) {
    file->mruItem = item->older;
  }
  if (item->older != nullptr) {
    item->older->newer = item->newer;
  } else if (file->lruItem == item) {
    file->lruItem = item->newer;
  }
  item->older = nullptr;
  item->newer = nullptr;
}

// Unlinks a cached item and takes it out of the counts.
void DetachCachedItem(OpenFile* file, CachedItem* item) {
  Unlink(file, item);
  ItemIndexRemove(&file->itemIndex, item);
  file->cachedBytes -= item->view.header.length;
  file->cachedItems -= 1;
}

void RemoveCachedItem(OpenFile* file, CachedItem* item) {
  DetachCachedItem(file, item);
  MemFree(item);
}

// Gives a lent item room for `length` bytes of its own, so that its data
// can change without touching the file's bytes. The room is left for the
// caller to fill. A new allocation takes the old one's place in the list and
// the index. False (nothing changed) when it cannot be had.
bool GiveOwnRoom(OpenFile* file, CachedItem** itemInOut, uint32_t length) {
  CachedItem* item = *itemInOut;
  if (item->capacity < length) {
    auto* grown = static_cast<CachedItem*>(MemAlloc(sizeof(CachedItem) + length));
    if (grown == nullptr) return false;
    *grown = *item;
    grown->capacity = length;
    if (grown->older != nullptr) grown->older->newer = grown;
    if (grown->newer != nullptr) grown->newer->older = grown;
    if (file->lruItem == item) file->lruItem = grown;
    if (file->mruItem == item) file->mruItem = grown;
    ItemIndexRemove(&file->itemIndex, item);
    ItemIndexInsert(&file->itemIndex, grown);
    MemFree(item);
    item = grown;
  }
  item->view.data = ItemData(item);
  item->lent = false;
  *itemInOut = item;
  return true;
}

// An evicted item's allocation may take the next item when it has room for
// the bytes the item copies (none for a lent item) and is at most about
// twice as large as the item, so that the memory held stays within twice
// the byte limit. A walk over items of mixed sizes then mostly reuses blocks
// instead of freeing one and allocating another per step.
bool CanReuse(const CachedItem* item, uint32_t room, uint32_t length) {
  return item->capacity >= room && item->capacity <= 2 * length + 256;
}

bool NeedsRoom(const OpenFile* file, uint32_t length) {
  if (file->cachedItems >= file->maxCachedItems) return true;
  return file->cachedBytes != 0 &&
         static_cast<uint64_t>(file->cachedBytes) + length > file->maxCachedBytes;
}

// Scratch space for a window pass that re-reads records the cache already
// holds: the decoder must see them to stay in step with the read cursor, but
// the cached copies may carry changes not yet written back.
struct Scratch {
  uint8_t* data = nullptr;
  uint32_t size = 0;
  ~Scratch() { MemFree(data); }
};

ResultCode ReReadCachedRecord(Store* store, const CachedItem* item, Scratch* scratch) {
  uint32_t length = item->view.header.length;
  if (length > scratch->size) {
    MemFree(scratch->data);
    scratch->size = 0;
    scratch->data = static_cast<uint8_t*>(MemAlloc(length));
    if (scratch->data == nullptr) return ResultNoMemory;
    scratch->size = length;
  }
  RecordView copy;
  std::memset(&copy, 0, sizeof(copy));
  copy.data = scratch->data;
  return CountedReadRecord(store, &copy);
}

// One pass over a window's records, in file order.
struct WindowWalk {
  OpenFile* file;
  uint32_t position;  // the target
  bool chained;
  bool walkingBack;
  bool started = false;  // the read cursor follows the records read
  bool full = false;     // the byte limit ended the window
  CachedItem* target = nullptr;
  uint64_t budget = 0;
  Scratch scratch;
};

// Reads the record at p, next in the window, into the cache unless it is
// there already. Sets walk->full instead when the records after the target
// reach the byte limit.
ResultCode ReadWindowRecord(WindowWalk* walk, uint32_t p, uint32_t nextInWindow) {
  OpenFile* file = walk->file;
  Store* store = &file->store;
  CachedItem* cached = FindCachedItem(file, p);
  if (cached != nullptr && !walk->started) return ResultOk;
  RecordView head;
  std::memset(&head, 0, sizeof(head));
  const uint8_t* kept = nullptr;
  ResultCode rc = ResultOk;
  if (cached == nullptr && walk->chained) {
    // Before the target only what the replay kept is taken: a position
    // that a damaged trailer listed, which reads as no record, is left out
    // like any other the replay did not keep.
    rc = ReadRecordHeaderAt(store, p, &head);
    if (rc != ResultOk && p < walk->position && rc != ResultNoMemory) return ResultOk;
    if (rc != ResultOk) return rc;
    kept = FindKeptRecord(store, p, head.header);
    if (kept == nullptr && p < walk->position) return ResultOk;
  }
  if (kept != nullptr) {
    // Taken from the replay: the read cursor does not follow, so the next
    // record read seeks.
    walk->started = false;
  } else if (!walk->started) {
    walk->started = true;
    rc = SeekRecordRead(store, p);
    if (rc != ResultOk) return rc;
  } else if (store->readCursor != p) {
    // The record before does not end where the trailers put this one:
    // its length and the links behind disagree. Reading on would file
    // another record under this position. Without a chain this one is read
    // where the trailers put it; under a chain its decoder input is lost.
    if (walk->chained) return ResultReadFailed;
    rc = SeekRecordRead(store, p);
    if (rc != ResultOk) return rc;
  }
  if (cached != nullptr) {
    // Already held: under a chained method the decoder still has to pass
    // through the record; otherwise the cursor just skips it.
    if (walk->chained) return ReReadCachedRecord(store, cached, &walk->scratch);
    return nextInWindow != 0 ? SeekRecordRead(store, nextInWindow) : ResultOk;
  }
  if (kept == nullptr) {
    rc = ReadRecordHeader(store, &head);
    if (rc != ResultOk) return rc;
  }
  if (walk->target != nullptr) {
    walk->budget += head.header.length;
    if (walk->budget > file->maxCachedBytes) {
      walk->full = true;
      return ResultOk;
    }
  }
  // An uncompressed memory file's record is read in place, not copied.
  const uint8_t* inPlace = kept == nullptr ? RecordDataInPlace(store, p, &head) : nullptr;
  CachedItem* added = nullptr;
  rc = AddCachedItem(file, p, head.previousPosition, &head.header,
                     kept != nullptr ? kept : inPlace, false, &added, inPlace != nullptr);
  if (rc != ResultOk) return rc;
  if (kept != nullptr) {
    added->view.nextPosition = head.nextPosition;
  } else if (inPlace != nullptr) {
    // The data is copied out later, when the caller reads the item: ask
    // for it now, so that the records of a backward window arrive
    // together instead of one cache miss after another, unless the window
    // before in a walk backwards asked for them already.
    if (!walk->walkingBack) {
      for (uint32_t at = 0; at < head.header.length; at += 64) Prefetch(inPlace + at);
    }
    TestHookCount(TestCounter::CacheRecordReads);
    added->view.nextPosition = head.nextPosition;
    rc = SeekRecordRead(store, head.nextPosition);
    if (rc != ResultOk) return rc;
  } else {
    rc = CountedReadRecord(store, &added->view);
    if (rc != ResultOk) {
      // Never leave a zeroed placeholder behind: a later read of this
      // position must fail the same way.
      RemoveCachedItem(file, added);
      return rc;
    }
  }
  if (p == walk->position) {
    walk->target = added;
    walk->budget = head.header.length;
  }
  return ResultOk;
}

// Under a method whose records stand alone, the index of the first record
// before the target (window[before]) that reading the window would leave
// cached. The records are added in file order, and the cache never holds
// two or more whose bytes pass its limit: when a record's bytes, those of
// the records after it and the target's pass it, that record is pushed out
// again before the window ends, and with it everything cached before the
// window, which is older. Decoding it would be for nothing. When that is
// so, the cache is emptied here, as those evictions would empty it, and the
// walk starts at the returned index. 0, with nothing changed, when no record
// would go, when one of them is cached already or its header does not read,
// or when a cached item waits to be written back (its write-back, and how a
// failure of it ends the window, stay as they are). The headers before the
// target are read only when the window's records, if they were all as large
// as the target, would not fit.
int32_t SkipRecordsPushedOut(OpenFile* file, const uint32_t* window, int32_t before) {
  Store* store = &file->store;
  RecordView head;
  std::memset(&head, 0, sizeof(head));
  if (ReadRecordHeaderAt(store, window[before], &head) != ResultOk) return 0;
  uint64_t bytes = head.header.length;
  // Records like the target would all fit: the usual window of small items
  // reads no more headers for nothing.
  if (bytes * static_cast<uint32_t>(before + 1) <= file->maxCachedBytes) return 0;
  int32_t first = before;
  for (;; --first) {
    if (first == 0) return 0;
    if (FindCachedItem(file, window[first - 1]) != nullptr) return 0;
    if (ReadRecordHeaderAt(store, window[first - 1], &head) != ResultOk) return 0;
    bytes += head.header.length;
    if (bytes > file->maxCachedBytes) break;
  }
  for (CachedItem* item = file->lruItem; item != nullptr; item = item->newer) {
    if (item->changed) return 0;
  }
  while (file->lruItem != nullptr) RemoveCachedItem(file, file->lruItem);
  return first;
}

// Reads the window around position (which is not cached) and hands back the
// cached target. Moving forwards the window is the target alone; moving
// backwards (the most recent item lies behind position) it holds up to
// `back` records before the target, the target, and the rest after it.
// Records behind the target stop once their bytes and the target's would
// exceed the byte limit.
ResultCode ReadWindow(OpenFile* file, uint32_t position, CachedItem** targetOut) {
  Store* store = &file->store;
  int32_t back = 0;
  if (file->mruItem != nullptr && file->mruItem->position > position) {
    back = file->maxCachedItems / 2;
    if (back > MaxWindowBack) back = MaxWindowBack;
  }

  WindowWalk walk;
  walk.file = file;
  walk.position = position;
  walk.chained = IsChainedMethod(file->fileMethod);

  // Under a chained method the records before the target are those the
  // replay to the target decodes: bring the decoder there first and take
  // them from what the replay kept (a walk backwards finds them kept by an
  // earlier replay and decodes nothing). Those it did not pass, lying
  // before its checkpoint or in an earlier chain, are left out rather than
  // replayed again, so the window lists no more of them than it kept:
  // listing a record costs a read of its trailer, which for large records
  // is a read of the buffer's size. A window cut short this way reads no
  // records after the target either (walking backwards, those are cached).
  int32_t listBack = back;
  bool cutShort = false;
  if (walk.chained) {
    RecordView head;
    std::memset(&head, 0, sizeof(head));
    ResultCode rc = ReadRecordHeaderAt(store, position, &head);
    if (rc != ResultOk) return rc;
    if (FindKeptRecord(store, position, head.header) == nullptr) {
      rc = SeekRecordRead(store, position);
      if (rc != ResultOk) return rc;
    }
    const uint32_t kept = KeptRecordsBefore(store, position);
    if (kept < static_cast<uint32_t>(back)) {
      listBack = static_cast<int32_t>(kept);
      cutShort = true;
    }
  }

  // A link that cannot be followed only ends a listing: the window keeps
  // the records listed before it. The target's own failures come from
  // reading it.
  uint32_t window[WindowCapacity];
  int32_t before = 0;
  ListRecords(store, ListBackward, position, listBack, &before, window);
  if (before < 0 || before > listBack) before = 0;
  window[before] = position;
  int32_t after = 0;
  const int32_t ahead = cutShort ? 0 : back - before;
  ListRecords(store, ListForward, position, ahead, &after, window + before + 1);
  if (after < 0 || after > ahead) after = 0;
  int32_t count = before + 1 + after;
  // Stepping back from the most recent item, a walk backwards reads the
  // records before this window next, starting with their trailers, each of
  // which names the one before it: one cache miss after another unless their
  // bytes are asked for now. As many bytes as this window spans bring in the
  // next window's records, data included, while this one's are read.
  walk.walkingBack = back != 0 && file->mruItem->view.previousPosition == position;
  if (walk.walkingBack && before != 0) {
    uint32_t span = position - window[0];
    if (span > file->maxCachedBytes) span = file->maxCachedBytes;
    BufferedPrefetchBefore(store, window[0], span);
  }

  // Where each record read is decoded or copied (all but the chained
  // methods and uncompressed memory files, whose records are lent in
  // place), records that would not stay are left out.
  int32_t first = 0;
  if (!walk.chained && (IsCompressed(file) || !store->isMemory) && before > 0) {
    first = SkipRecordsPushedOut(file, window, before);
  }

  for (int32_t i = first; i < count && !walk.full; ++i) {
    uint32_t p = window[i];
    ResultCode rc = ReadWindowRecord(&walk, p, i + 1 < count ? window[i + 1] : 0);
    if (rc == ResultOk) continue;
    // Under an unchained method every record stands alone, and the others
    // in the window are only read ahead: a damaged one is left out (it
    // fails when it is itself read) rather than failing the target, so
    // that a walk backwards reaches the intact items behind the damage.
    // Under a chained method the records before the target feed its
    // decoder, and their failure is the target's; those after it are read
    // ahead only, and a failed one ends the window (the decoder, lost in
    // it, starts afresh at the next seek).
    if ((walk.chained && p < position) || p == position || rc == ResultNoMemory) return rc;
    if (walk.target != nullptr) break;
    walk.started = false;  // the next record is sought afresh
  }
  if (walk.target == nullptr) return ResultReadFailed;
  *targetOut = walk.target;
  return ResultOk;
}

}  // namespace

CachedItem* FindCachedItem(OpenFile* file, uint32_t position) {
  // An operation mostly comes back to the item the one before it used.
  if (file->mruItem != nullptr && file->mruItem->position == position) return file->mruItem;
  return ItemIndexFind(&file->itemIndex, position);
}

void MakeMostRecent(OpenFile* file, CachedItem* item) {
  if (file->mruItem == item) return;  // already there (and linked)
  Unlink(file, item);
  item->older = file->mruItem;
  if (file->mruItem != nullptr) file->mruItem->newer = item;
  file->mruItem = item;
  if (file->lruItem == nullptr) file->lruItem = item;
}

ResultCode LoadItem(OpenFile* file, uint32_t position, ItemHeader* headerOut,
                    uint32_t* previousOut, uint32_t* nextOut, uint8_t* dataOut) {
  // No record starts behind the last one: bytes there that read as one (a
  // tail of zeros that a reader's open found no whole record in) are no
  // item, though a window may have listed them. The end of data itself is
  // the record layer's to report.
  if (position > file->lastItemPosition) {
    uint32_t end = 0;
    StoreEndOfData(&file->store, &end);
    if (position < end) return ResultReadFailed;
  }
  CachedItem* item = FindCachedItem(file, position);
  if (item == nullptr) {
    ResultCode rc = ReadWindow(file, position, &item);
    if (rc != ResultOk) return rc;
  }
  MakeMostRecent(file, item);
  if (headerOut != nullptr) *headerOut = item->view.header;
  if (previousOut != nullptr) *previousOut = item->view.previousPosition;
  if (nextOut != nullptr) *nextOut = item->view.nextPosition;
  if (dataOut != nullptr && item->view.header.length != 0) {
    std::memcpy(dataOut, item->view.data, item->view.header.length);
  }
  return ResultOk;
}

ResultCode ReadItemAt(OpenFile* file, uint32_t position, ItemHeader* headerOut,
                      uint8_t* dataOut) {
  return LoadItem(file, position, headerOut, nullptr, nullptr, dataOut);
}

ResultCode AddCachedItem(OpenFile* file, uint32_t position, uint32_t previousPosition,
                         const ItemHeader* header, const uint8_t* data, bool write,
                         CachedItem** out, bool lend) {
  uint32_t length = header->length;
  if (data == nullptr) lend = false;
  uint32_t room = lend ? 0 : length;
  // Room in the index first, so that running out of memory leaves the cache
  // as it was.
  ResultCode reserved =
      ItemIndexReserve(&file->itemIndex, static_cast<uint32_t>(file->cachedItems) + 1);
  if (reserved != ResultOk) return reserved;
  CachedItem* item = nullptr;  // an evicted item's allocation to reuse
  while (NeedsRoom(file, length)) {
    CachedItem* victim = file->lruItem;
    if (victim == nullptr) break;
    if (victim->changed) {
      // A failed write-back keeps the changed item cached.
      ResultCode rc = WriteBackItem(file, victim);
      if (rc != ResultOk) {
        MemFree(item);
        return rc;
      }
    }
    DetachCachedItem(file, victim);
    if (item == nullptr && CanReuse(victim, room, length)) {
      item = victim;
    } else {
      MemFree(victim);
    }
  }

  if (item == nullptr) {
    item = static_cast<CachedItem*>(MemAlloc(sizeof(CachedItem) + room));
    if (item == nullptr) return ResultNoMemory;
    item->capacity = room;
  }
  // Data left to a decoder to fill in starts zero-filled, in a fresh block
  // and in a reused one alike: bytes a damaged record leaves unwritten must
  // never be those of an evicted item or of freed memory. Stored bytes are
  // copied in whole or the read fails and the item goes.
  if (data == nullptr && length != 0 && IsCompressed(file)) std::memset(ItemData(item), 0, length);
  item->older = nullptr;
  item->newer = nullptr;
  item->position = position;
  item->changed = false;
  item->lent = lend;
  item->view.header = *header;
  item->view.previousPosition = previousPosition;
  item->view.nextPosition = 0;
  item->view.data = lend ? const_cast<uint8_t*>(data) : ItemData(item);
  if (!lend && data != nullptr && length != 0) std::memcpy(ItemData(item), data, length);

  if (write) {
    ResultCode rc = SetWriteCursor(&file->store, position);
    if (rc == ResultOk) rc = WriteRecord(&file->store, &item->view);
    if (rc != ResultOk) {
      MemFree(item);
      return rc;
    }
  }

  MakeMostRecent(file, item);
  ItemIndexInsert(&file->itemIndex, item);
  file->cachedBytes += length;
  file->cachedItems += 1;
  if (out != nullptr) *out = item;
  return ResultOk;
}

ResultCode UpdateCachedItem(OpenFile* file, CachedItem* item, const ItemHeader* header,
                            const uint8_t* data) {
  if (data != nullptr &&
      (item->view.header.length != header->length || IsCompressed(file))) {
    return ResultCannotReplace;
  }
  // New data goes into the item's own room, never into the file's bytes.
  if (data != nullptr && item->lent && !GiveOwnRoom(file, &item, header->length)) {
    return ResultNoMemory;
  }
  item->view.header.commandId = header->commandId;
  item->view.header.extraId = header->extraId;
  item->view.header.extraValue = header->extraValue;
  item->changed = true;
  if (data != nullptr) {
    item->view.header.crc = header->crc;
    if (header->length != 0) std::memcpy(item->view.data, data, header->length);
  }
  MakeMostRecent(file, item);
  return ResultOk;
}

ResultCode WriteItemAt(OpenFile* file, uint32_t position, const ItemHeader* header,
                       const uint8_t* data) {
  uint32_t end = 0;
  StoreEndOfData(&file->store, &end);
  // Every cached item lies before the end of data: an append looks none up.
  CachedItem* item = position < end ? FindCachedItem(file, position) : nullptr;
  if (item == nullptr) {
    if (position > end) return ResultEndOfFile;
    if (position == end) {
      ResultCode rc =
          AddCachedItem(file, position, file->lastItemPosition, header, data, true, &item);
      if (rc != ResultOk) return rc;
      file->lastItemPosition = position;
      return ResultOk;
    }
    ResultCode rc = ReadItemAt(file, position, nullptr, nullptr);
    if (rc != ResultOk) return rc;
    item = FindCachedItem(file, position);
    if (item == nullptr) return ResultReadFailed;
  }
  return UpdateCachedItem(file, item, header, data);
}

ResultCode WriteBackItem(OpenFile* file, CachedItem* item) {
  Store* store = &file->store;
  ResultCode rc = SetWriteCursor(store, item->position);
  if (rc != ResultOk) return rc;
  if (IsCompressed(file)) return RewriteRecordHeader(store, &item->view.header);
  // The record keeps its place and size; a failed write must not leave the
  // cached view with the record layer's half-updated fields.
  RecordView saved = item->view;
  rc = WriteRecord(store, &item->view);
  if (rc != ResultOk) item->view = saved;
  return rc;
}

ResultCode FlushItemCache(OpenFile* file) {
  for (CachedItem* item = file->mruItem; item != nullptr; item = item->older) {
    if (!item->changed) continue;
    ResultCode rc = WriteBackItem(file, item);
    if (rc != ResultOk) return rc;
    item->changed = false;
  }
  return ResultOk;
}

void DropAllCachedItems(OpenFile* file) {
  CachedItem* item = file->mruItem;
  while (item != nullptr) {
    CachedItem* older = item->older;
    MemFree(item);
    item = older;
  }
  ItemIndexFree(&file->itemIndex);
  file->mruItem = nullptr;
  file->lruItem = nullptr;
  file->cachedItems = 0;
  file->cachedBytes = 0;
}

}  // namespace varnfile
