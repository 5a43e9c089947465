#include "api/open_file_object.h"

#include <cstring>

#include "store/buffered_io.h"
#include "store/file_format.h"
#include "store/item_cache.h"
#include "store/record_io.h"
#include "store/store_open.h"

namespace varnfile {

namespace {

void ClearCacheFields(OpenFile* file) {
  file->mruItem = nullptr;
  file->lruItem = nullptr;
  file->itemIndex = ItemIndex{};
  file->isOpen = false;
  file->fileMethod = 0;
  file->maxCachedItems = 0;
  file->cachedItems = 0;
  file->maxCachedBytes = 0;
  file->cachedBytes = 0;
  file->lastItemPosition = 0;
}

// Read buffer of the scan below. The walk reads a header and a trailer per
// record through the whole file; with the 1 KB buffer of a fresh open, a
// file of gigabytes takes millions of reads.
constexpr uint32_t ScanReadBufferSize = 64u << 10;

// The last record of a damaged file that a walk from the first reaches
// whole, each record's trailer pointing back at it; 0 when there is none.
// The read buffer is enlarged for the walk and then put back as it was.
uint32_t LastIntactRecord(Store* store, uint32_t end) {
  const uint32_t readSize = store->readBufferSize, writeSize = store->writeBufferSize;
  const bool enlarged =
      readSize < ScanReadBufferSize && StoreSetParameters(store, ScanReadBufferSize, writeSize) == ResultOk;
  uint32_t last = 0;
  for (uint64_t p = FirstItemPosition; p + RecordOverhead <= end;) {
    uint8_t headerBytes[ItemHeaderSize];
    const uint32_t at = static_cast<uint32_t>(p);
    if (BufferedRead(store, headerBytes, at, ItemHeaderSize, 0) != ResultOk) break;
    const uint64_t next = p + RecordOverhead + DecodeItemHeader(headerBytes).storedLength;
    uint8_t trailerBytes[ItemTrailerSize];
    if (next > end ||
        BufferedRead(store, trailerBytes, static_cast<uint32_t>(next - ItemTrailerSize), ItemTrailerSize,
                     0) != ResultOk ||
        DecodeItemTrailer(trailerBytes).recordStart != at) {
      break;
    }
    last = at;
    p = next;
  }
  if (enlarged) StoreSetParameters(store, readSize, writeSize);
  return last;
}

// The position of the last record, 0 when the file holds none. The last
// record must end exactly at the end of data. A process killed while
// appending to a file that had been closed before leaves a torn record
// behind a header that still says closed; opened for update anyway, new
// items would be linked behind the torn record, where no forward walk
// reaches them. Such a file is refused to a writer (277) and goes to
// recovery. A reader takes it as it is: the last record is then the last
// one a walk from the first reaches whole, so that both walks read every
// item before the damage, and the damaged record fails (277) where it is
// read.
ResultCode FindLastRecord(Store* store, bool writer, uint32_t* last) {
  uint32_t end = 0;
  ResultCode rc = StoreEndOfData(store, &end);
  if (rc != ResultOk) return rc;
  int32_t found = 0;
  uint32_t position = 0;
  *last = 0;
  rc = ListRecords(store, ListBackward, end, 1, &found, &position);
  bool intact;
  if (rc == ResultOk && found == 0) {
    // Bytes behind the header that hold no record are a torn first record.
    intact = end == FirstItemPosition;
  } else if (rc == ResultOk) {
    uint8_t headerBytes[ItemHeaderSize];
    rc = BufferedRead(store, headerBytes, position, ItemHeaderSize, 1);
    if (rc != ResultOk) return rc;
    ItemHeader header = DecodeItemHeader(headerBytes);
    intact = static_cast<uint64_t>(position) + header.storedLength + RecordOverhead == end;
  } else if (rc == ResultReadFailed) {
    intact = false;  // the trailer at the end does not link back
  } else {
    return rc;
  }
  if (intact) {
    *last = found != 0 ? position : 0;
    return ResultOk;
  }
  if (writer) return ResultReadFailed;
  *last = LastIntactRecord(store, end);
  return ResultOk;
}

}  // namespace

ResultCode OpenFileObject(LibraryState* state, OpenFile* file, const char* extension,
                          const char* prefix, const char* name, NameSequenceProc proc,
                          uint32_t procParam, OpenMode mode, uint32_t method) {
  ClearCacheFields(file);
  file->maxCachedItems = DefaultMaxCachedItems;
  file->maxCachedBytes = DefaultMaxCachedBytes;

  uint32_t methodInForce = method;
  ResultCode rc = StoreOpen(&state->io, &file->store, extension, prefix, name, proc, procParam, mode,
                            method, &methodInForce);
  if (rc == ResultOk) {
    file->fileMethod = methodInForce;
    file->isOpen = true;
    rc = FindLastRecord(&file->store, mode != OpenMode::OpenReadOnly, &file->lastItemPosition);
  }
  if (rc != ResultOk) {
    // A file this call was making goes; an existing file stays as it was.
    bool discard = mode == OpenMode::CreateNamed || mode == OpenMode::CreateUnique ||
                   mode == OpenMode::DeleteByName;
    CloseFileObject(file, discard);
  }
  return rc;
}

ResultCode CloseFileObject(OpenFile* file, bool discard) {
  ResultCode rc = ResultOk;
  if (file->isOpen) {
    // Changed items are written back even when the file is discarded: the
    // store decides what reaches the disk.
    rc = FlushItemCache(file);
    ResultCode closed = StoreClose(&file->store, discard);
    if (rc == ResultOk) rc = closed;
    DropAllCachedItems(file);
  }
  ClearCacheFields(file);
  IoState* state = file->store.state;
  std::memset(&file->store, 0, sizeof file->store);
  file->store.state = state;
  file->store.streamHandle = -1;
  return rc;
}

}  // namespace varnfile
