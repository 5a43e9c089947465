// Buffered byte access to a store's file: a sliding read window and a
// coalescing write buffer, kept coherent with each other.
//
// Coherence rules, which every function here keeps:
//  - The write buffer holds writeBufferLength bytes at writeBufferStart that
//    are newer than the stream; a read takes those bytes from it, never from
//    the stream or the read window.
//  - The read window may hold stale copies of bytes that are still in the
//    write buffer (they are never served from it). Whenever buffered bytes
//    reach the stream, the window is brought up to date with them first.
//  - streamEnd is the length of the file on the stream. A failed stream
//    write that reached past it is cut back to it (tailDirty until done),
//    so a failure never leaves part of a record behind the data, and the
//    bytes it replaced within the file are written back. Every stream
//    write first finds the file still that long: the lock binds only the
//    library, and another program may have cut or extended it.
//  - streamPos mirrors the stream position. After a stream failure the
//    position is unknown; streamPos is then set to UnknownStreamPos so that
//    the next access seeks.
#include "store/buffered_io.h"

#include <cstring>

#include "base/prefetch.h"
#include "io/stream.h"
#include "base/memory.h"

namespace varnfile {

namespace {

constexpr uint32_t UnknownStreamPos = 0xFFFFFFFFu;
constexpr uint32_t ScratchGranule = 256;
// The window never centres itself into the file header.
constexpr uint32_t HeaderEnd = FirstItemPosition;

inline uint32_t Min32(uint32_t a, uint32_t b) { return a < b ? a : b; }

// Moves the stream to position unless it is there already.
ResultCode SeekTo(Store* store, uint32_t position) {
  if (store->streamPos == position) return ResultOk;
  uint32_t newPosition = 0;
  ResultCode rc = StreamSeek(store, static_cast<int64_t>(position), 0, &newPosition);
  if (rc != ResultOk) {
    store->streamPos = UnknownStreamPos;
    return rc;
  }
  store->streamPos = position;
  return ResultOk;
}

// Reads up to count bytes at position into dst; *got = bytes that came.
// A short read is not an error here. One positioned read, with no seek
// before it: afterwards the stream position is not known (the next write
// finds the end first anyway).
ResultCode ReadSome(Store* store, uint8_t* dst, uint32_t position, uint32_t count,
                    uint32_t* got) {
  *got = 0;
  ResultCode rc = StreamReadAt(store, dst, count, position, got);
  store->streamPos = UnknownStreamPos;
  if (rc != ResultOk) return rc;
  if (*got > count) *got = count;  // never trust more than was asked for
  return ResultOk;
}

bool InMemoryView(const Store* store, uint32_t position) {
  return store->memoryView != nullptr && position >= store->memoryViewStart &&
         position - store->memoryViewStart < store->memoryViewLength;
}

// Points the store's memory view at the chunk holding position; false where
// the stream holds nothing there.
bool ViewMemoryAt(Store* store, uint32_t position) {
  if (InMemoryView(store, position)) return true;
  const uint8_t* view =
      StreamMemoryView(store, position, &store->memoryViewStart, &store->memoryViewLength);
  if (view == nullptr) return false;
  store->memoryView = view;
  return true;
}

// True when none of the count bytes at position lies in the write buffer.
bool ClearOfWriteBuffer(const Store* store, uint32_t position, uint32_t count) {
  return store->writeBufferLength == 0 ||
         static_cast<uint64_t>(position) + count <= store->writeBufferStart ||
         position >= static_cast<uint64_t>(store->writeBufferStart) + store->writeBufferLength;
}

// Cuts off what a failed write left on the stream behind its data.
ResultCode CutTail(Store* store) {
  if (!store->tailDirty) return ResultOk;
  ResultCode rc = StreamTruncate(store, store->streamEnd);
  if (rc != ResultOk) return rc;
  store->tailDirty = false;
  return ResultOk;
}

// 278 when the file is no longer streamEnd bytes long. Writing on would
// leave zeros where records were cut off, or records behind bytes that are
// none. An append is written at the end, so this seek costs it no other.
ResultCode CheckStreamEnd(Store* store) {
  uint32_t end = 0;
  ResultCode rc = StreamSeek(store, 0, 2, &end);
  store->streamPos = rc == ResultOk ? end : UnknownStreamPos;
  if (rc != ResultOk) return rc;
  return end == store->streamEnd ? ResultOk : ResultWriteFailed;
}

// The bytes of a disk file that a write is about to replace, read before
// it: a write that fails part-way through them (a short write, then an
// error) is undone by writing them back, so that a failed rewrite in place
// leaves the old record rather than a mix of old and new. Small ranges (a
// file header, item headers) stay on the stack.
class ReplacedBytes {
 public:
  ReplacedBytes() = default;
  ReplacedBytes(const ReplacedBytes&) = delete;
  ReplacedBytes& operator=(const ReplacedBytes&) = delete;
  ~ReplacedBytes() {
    if (bytes_ != local_) MemFree(bytes_);
  }

  // Keeps the count bytes at position; 0 or the read's failure.
  ResultCode Keep(Store* store, uint32_t position, uint32_t count) {
    if (count > sizeof local_) {
      bytes_ = static_cast<uint8_t*>(MemAlloc(count));
      if (bytes_ == nullptr) return ResultNoMemory;
    }
    uint32_t got = 0;
    ResultCode rc = ReadSome(store, bytes_, position, count, &got);
    if (rc == ResultOk && got != count) rc = ResultReadFailed;
    if (rc != ResultOk) return rc;
    position_ = position;
    count_ = count;
    return ResultOk;
  }

  // Writes them back after a failed write; best effort, as the stream has
  // just failed: a restore that fails too leaves what the failure left.
  void Restore(Store* store) {
    if (count_ == 0) return;
    if (SeekTo(store, position_) == ResultOk) StreamWriteBytes(store, bytes_, count_);
    store->streamPos = UnknownStreamPos;
  }

 private:
  uint8_t local_[512];
  uint8_t* bytes_ = local_;
  uint32_t position_ = 0;
  uint32_t count_ = 0;
};

// Writes all count bytes at position straight to the stream, in one stream
// write. When it fails, the bytes it replaced are written back and the part
// of it that went behind the old end of the stream is cut off again, so
// that the file holds what it held before (unless the stream refuses those
// repairs too: then, at worst, a torn copy of the bytes within it).
ResultCode WriteAll(Store* store, const uint8_t* src, uint32_t position, uint32_t count) {
  ResultCode rc = CutTail(store);
  if (rc == ResultOk) rc = CheckStreamEnd(store);
  if (rc != ResultOk) return rc;
  ReplacedBytes replaced;
  if (!store->isMemory && position < store->streamEnd) {
    // A memory file's write within its bytes cannot fail part-way.
    rc = replaced.Keep(store, position, Min32(count, store->streamEnd - position));
    if (rc != ResultOk) return rc;
  }
  rc = SeekTo(store, position);
  if (rc != ResultOk) return rc;
  rc = StreamWriteBytes(store, src, count);
  uint32_t end = position + count;
  if (rc != ResultOk) {
    store->streamPos = UnknownStreamPos;
    replaced.Restore(store);
    if (end > store->streamEnd) {
      store->tailDirty = true;
      CutTail(store);  // if this fails too, the next write or the commit tries again
    }
    return rc;
  }
  store->streamPos = end;
  if (end > store->streamEnd) store->streamEnd = end;
  store->streamWritten = true;
  return ResultOk;
}

// Brings the read window up to date with count bytes about to reach the
// stream at position: overlapping bytes are copied in; a range that covers
// the whole window empties it instead.
void RefreshReadWindow(Store* store, const uint8_t* src, uint32_t position, uint32_t count) {
  if (store->readBufferLength == 0 || count == 0) return;
  uint64_t winStart = store->readBufferStart;
  uint64_t winEnd = winStart + store->readBufferLength;
  uint64_t wStart = position;
  uint64_t wEnd = wStart + count;
  if (wEnd <= winStart || wStart >= winEnd) return;
  if (wStart <= winStart && wEnd >= winEnd) {
    store->readBufferLength = 0;
    return;
  }
  uint64_t from = wStart > winStart ? wStart : winStart;
  uint64_t to = wEnd < winEnd ? wEnd : winEnd;
  std::memcpy(store->readBuffer + (from - winStart), src + (from - wStart),
              static_cast<size_t>(to - from));
}

void FreeReadBuffer(Store* store) {
  MemFree(store->readBuffer);
  store->readBuffer = nullptr;
  store->readBufferCapacity = 0;
  store->readBufferLength = 0;
  store->readBufferStart = 0;
}

void FreeWriteBuffer(Store* store) {
  MemFree(store->writeBuffer);
  store->writeBuffer = nullptr;
  store->writeBufferCapacity = 0;
  store->writeBufferLength = 0;
  store->writeBufferStart = 0;
}

void FreeScratchA(Store* store) {
  MemFree(store->scratchA);
  store->scratchA = nullptr;
  store->scratchSizeA = 0;
}

void FreeScratchB(Store* store) {
  MemFree(store->scratchB);
  store->scratchB = nullptr;
  store->scratchSizeB = 0;
}

// Makes *buffer hold at least size bytes (rounded up to the granule),
// reallocating only when it must grow.
ResultCode EnsureScratch(uint8_t** buffer, uint32_t* bufferSize, uint32_t size) {
  uint64_t rounded = (static_cast<uint64_t>(size) + ScratchGranule - 1) / ScratchGranule *
                     ScratchGranule;
  if (rounded > 0xFFFFFFFFu) return ResultNoMemory;
  if (*buffer != nullptr && rounded <= *bufferSize) return ResultOk;
  MemFree(*buffer);
  *buffer = nullptr;
  *bufferSize = 0;
  *buffer = static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(rounded)));
  if (*buffer == nullptr) return ResultNoMemory;
  *bufferSize = static_cast<uint32_t>(rounded);
  return ResultOk;
}

}  // namespace

ResultCode BufferedRead(Store* store, uint8_t* dst, uint32_t position, uint32_t count,
                        uint32_t direct) {
  if (count == 0) return ResultOk;
  // A request that runs past the largest possible position cannot be met.
  if (static_cast<uint64_t>(position) + count > 0xFFFFFFFFu) return ResultReadFailed;

  // Most reads lie inside the read window and clear of the write buffer:
  // the steps below would serve them from the window unchanged.
  uint64_t requestEnd = static_cast<uint64_t>(position) + count;
  bool clearOfWriteBuffer = ClearOfWriteBuffer(store, position, count);
  if (clearOfWriteBuffer && store->readBufferLength != 0 && position >= store->readBufferStart &&
      requestEnd <= static_cast<uint64_t>(store->readBufferStart) + store->readBufferLength) {
    std::memcpy(dst, store->readBuffer + (position - store->readBufferStart), count);
    return ResultOk;
  }

  // A memory file's bytes are in memory already: they are copied straight
  // from its stream's chunks, never through the window, which would only add
  // a copy. A range never written ends the read as the stream would.
  if (clearOfWriteBuffer && store->isMemory) {
    while (count != 0) {
      if (!ViewMemoryAt(store, position)) return ResultReadFailed;
      uint32_t offset = position - store->memoryViewStart;
      uint32_t n = Min32(count, store->memoryViewLength - offset);
      std::memcpy(dst, store->memoryView + offset, n);
      position += n;
      dst += n;
      count -= n;
    }
    return ResultOk;
  }

  // Head from the write buffer: its bytes are newer than anything else.
  uint32_t wbStart = store->writeBufferStart;
  uint32_t wbLength = store->writeBufferLength;
  uint64_t wbEnd = static_cast<uint64_t>(wbStart) + wbLength;
  if (wbLength != 0 && position >= wbStart && position < wbEnd) {
    uint32_t n = Min32(count, static_cast<uint32_t>(wbEnd - position));
    std::memcpy(dst, store->writeBuffer + (position - wbStart), n);
    position += n;
    dst += n;
    count -= n;
    if (count == 0) return ResultOk;
  }

  // Tail from the write buffer: set aside, copied last.
  uint32_t tailCount = 0;
  uint8_t* tailDst = nullptr;
  uint64_t end = static_cast<uint64_t>(position) + count;
  if (wbLength != 0 && end > wbStart && end <= wbEnd && position < wbStart) {
    tailCount = static_cast<uint32_t>(end - wbStart);
    tailDst = dst + (wbStart - position);
    count -= tailCount;
  }

  // A request that spans the whole write buffer needs it on the stream.
  if (store->writeBufferLength != 0 && position <= store->writeBufferStart &&
      static_cast<uint64_t>(position) + count >=
          static_cast<uint64_t>(store->writeBufferStart) + store->writeBufferLength) {
    ResultCode rc = FlushWriteBuffer(store, 0);
    if (rc != ResultOk) return rc;
  }

  if (store->isMemory || store->readBufferSize == 0 || count > store->readBufferSize ||
      (store->readBuffer != nullptr && count > store->readBufferCapacity)) {
    // Unbuffered: straight from the stream.
    uint32_t got = 0;
    ResultCode rc = ReadSome(store, dst, position, count, &got);
    if (rc != ResultOk) return rc;
    if (got < count) return ResultReadFailed;
  } else {
    if (store->readBuffer == nullptr) {
      store->readBuffer = static_cast<uint8_t*>(MemAlloc(store->readBufferSize));
      if (store->readBuffer == nullptr) return ResultNoMemory;
      store->readBufferCapacity = store->readBufferSize;
      store->readBufferLength = 0;
      store->readBufferStart = 0;
    }
    uint32_t winStart = store->readBufferStart;
    uint32_t winLength = store->readBufferLength;
    uint32_t served = 0;  // bytes taken from the old window
    uint32_t off = 0;     // window offset of position after the slide
    if (winLength != 0 && position >= winStart &&
        static_cast<uint64_t>(position) < static_cast<uint64_t>(winStart) + winLength) {
      off = position - winStart;
      served = Min32(count, winLength - off);
      std::memcpy(dst, store->readBuffer + off, served);
    }
    if (served < count) {
      uint32_t remaining = count - served;
      uint32_t back = 0;
      if (served != 0) {
        // The request runs past the window's end: keep up to half of what
        // the window can spare as look-behind, and slide the rest out.
        int64_t spare = static_cast<int64_t>(winLength) - served - remaining;
        uint32_t keep = spare > 0 ? static_cast<uint32_t>(spare / 2) : 0;
        if (off > keep) {
          std::memmove(store->readBuffer, store->readBuffer + (off - keep), keep + served);
          off = keep;
        }
        store->readBufferStart = position - off;
        store->readBufferLength = off + served;
      } else {
        off = 0;
        if (winStart > position && direct == 0) {
          // Reading backwards: centre the new window on the request, but
          // never reach into the file header.
          back = (store->readBufferCapacity - remaining) / 2;
          if (back > position) back = position;
          uint32_t maxBack = position > HeaderEnd ? position - HeaderEnd : 0;
          if (back > maxBack) back = maxBack;
        }
        store->readBufferStart = position - back;
        store->readBufferLength = 0;
      }
      uint32_t fillAt = store->readBufferStart + store->readBufferLength;
      uint32_t fillCount = store->readBufferCapacity - store->readBufferLength;
      if (tailCount != 0 || direct != 0) fillCount = Min32(fillCount, back + remaining);
      uint32_t got = 0;
      ResultCode rc =
          ReadSome(store, store->readBuffer + store->readBufferLength, fillAt, fillCount, &got);
      if (rc != ResultOk) {
        store->readBufferLength = 0;
        return rc;
      }
      store->readBufferLength += got;
      if (got < back + remaining) return ResultReadFailed;
      std::memcpy(dst + served, store->readBuffer + off + served + back, remaining);
    }
  }

  if (tailCount != 0) {
    std::memcpy(tailDst, store->writeBuffer, tailCount);
  }
  return ResultOk;
}

const uint8_t* BufferedPeek(Store* store, uint32_t position, uint32_t count) {
  if (!store->isMemory || count == 0 || !ClearOfWriteBuffer(store, position, count)) return nullptr;
  if (!ViewMemoryAt(store, position)) return nullptr;
  uint32_t offset = position - store->memoryViewStart;
  if (count > store->memoryViewLength - offset) return nullptr;
  return store->memoryView + offset;
}

void BufferedPrefetchBefore(Store* store, uint32_t position, uint32_t count) {
  if (!store->isMemory) return;
  uint32_t low = position > uint64_t{HeaderEnd} + count ? position - count : HeaderEnd;
  while (position > low) {
    if (!ViewMemoryAt(store, position - 1)) return;
    const uint8_t* chunk = store->memoryView;
    uint32_t chunkStart = store->memoryViewStart;
    uint32_t start = chunkStart > low ? chunkStart : low;
    for (uint32_t at = position; at > start;) {
      at = at - start > 64 ? at - 64 : start;
      Prefetch(chunk + (at - chunkStart));
    }
    position = start;
  }
}

namespace {

// Extends the write buffer's bytes up to position with what the file holds
// there, so that a write a little past them joins them instead of sending
// them to the file first. Item headers rewritten one after another (a
// delete or an update in a compressed file changes the header alone) then
// reach the file in one synchronous write, not one each. The bytes in
// between go back unchanged, so a crash in that write leaves them as they
// were. Only on disk files, and only over bytes the file already holds
// behind the header: the read window has them fresh (it may be stale only
// for bytes in the write buffer), else one read brings them. The window
// itself stays where it is (BufferedRead would move it, and the reads of
// the walk that makes these changes would then fetch it again). False,
// with nothing changed, when the bytes cannot be had.
bool FillGapBefore(Store* store, uint32_t position) {
  const uint32_t gapStart = store->writeBufferStart + store->writeBufferLength;
  if (store->isMemory || store->writeBufferLength == 0 || gapStart < HeaderEnd ||
      position > store->streamEnd || position <= gapStart) {
    return false;
  }
  const uint32_t gap = position - gapStart;
  uint8_t* dst = store->writeBuffer + store->writeBufferLength;
  const uint64_t winEnd = static_cast<uint64_t>(store->readBufferStart) + store->readBufferLength;
  if (store->readBufferLength != 0 && gapStart >= store->readBufferStart && position <= winEnd) {
    std::memcpy(dst, store->readBuffer + (gapStart - store->readBufferStart), gap);
  } else {
    uint32_t got = 0;
    if (ReadSome(store, dst, gapStart, gap, &got) != ResultOk || got != gap) return false;
  }
  store->writeBufferLength += gap;
  return true;
}

}  // namespace

ResultCode BufferedWrite(Store* store, const uint8_t* src, uint32_t position, uint32_t count) {
  if (count == 0) return ResultOk;
  if (static_cast<uint64_t>(position) + count > 0xFFFFFFFFu) return ResultWriteFailed;

  // The bytes of one request reach the stream together, in one stream
  // write (a whole record, when the record layer writes one): either they
  // all fit into the write buffer without a gap, or the buffer is flushed
  // and they are buffered afresh or written straight through.
  uint32_t capacity = store->writeBuffer != nullptr ? store->writeBufferCapacity : 0;
  uint32_t wbStart = store->writeBufferStart;
  uint64_t end = static_cast<uint64_t>(position) + count;
  if (capacity != 0 && position >= wbStart && end <= static_cast<uint64_t>(wbStart) + capacity &&
      (position - wbStart <= store->writeBufferLength || FillGapBefore(store, position))) {
    uint32_t off = position - wbStart;
    std::memcpy(store->writeBuffer + off, src, count);
    if (off + count > store->writeBufferLength) store->writeBufferLength = off + count;
    return ResultOk;
  }

  ResultCode rc = FlushWriteBuffer(store, 0);
  if (rc != ResultOk) return rc;
  if (store->writeBufferSize != 0 && count <= store->writeBufferSize) {
    if (store->writeBuffer == nullptr) {
      store->writeBuffer = static_cast<uint8_t*>(MemAlloc(store->writeBufferSize));
      if (store->writeBuffer == nullptr) return ResultNoMemory;
      store->writeBufferCapacity = store->writeBufferSize;
    }
    std::memcpy(store->writeBuffer, src, count);
    store->writeBufferStart = position;
    store->writeBufferLength = count;
    return ResultOk;
  }
  rc = WriteAll(store, src, position, count);
  if (rc != ResultOk) return rc;
  RefreshReadWindow(store, src, position, count);
  return ResultOk;
}

ResultCode FlushWriteBuffer(Store* store, uint32_t keepReadBuffer) {
  if (store->writeBufferLength == 0) return ResultOk;
  if (keepReadBuffer == 0) {
    RefreshReadWindow(store, store->writeBuffer, store->writeBufferStart,
                      store->writeBufferLength);
  }
  ResultCode rc =
      WriteAll(store, store->writeBuffer, store->writeBufferStart, store->writeBufferLength);
  if (rc != ResultOk) return rc;
  store->writeBufferStart = 0;
  store->writeBufferLength = 0;
  return ResultOk;
}

ResultCode CutStreamTail(Store* store) { return CutTail(store); }

ResultCode WriteThrough(Store* store, const uint8_t* src, uint32_t position, uint32_t count) {
  return WriteAll(store, src, position, count);
}

ResultCode GetScratchBuffers(Store* store, uint32_t sizeA, uint32_t sizeB, uint8_t** a,
                             uint8_t** b) {
  if (sizeB == 0 || sizeB > store->scratchSizeB) FreeScratchB(store);
  if (sizeA == 0 || sizeA > store->scratchSizeA) FreeScratchA(store);
  if (sizeA != 0) {
    ResultCode rc = EnsureScratch(&store->scratchA, &store->scratchSizeA, sizeA);
    if (rc != ResultOk) return rc;
  }
  if (sizeB != 0) {
    ResultCode rc = EnsureScratch(&store->scratchB, &store->scratchSizeB, sizeB);
    if (rc != ResultOk) {
      FreeScratchA(store);
      FreeScratchB(store);
      return rc;
    }
  }
  if (a != nullptr) *a = store->scratchA;
  if (b != nullptr) *b = store->scratchB;
  return ResultOk;
}

ResultCode StoreSetParameters(Store* store, uint32_t readBufferSize, uint32_t writeBufferSize) {
  ResultCode rc = FlushWriteBuffer(store, 0);
  if (rc != ResultOk) return rc;
  store->readBufferStart = 0;
  store->readBufferLength = 0;
  // Sizes with the top bit set come from callers that passed a negative
  // value: treated as "no buffering".
  uint32_t newRead = (readBufferSize & 0x80000000u) != 0 ? 0 : readBufferSize;
  uint32_t newWrite = (writeBufferSize & 0x80000000u) != 0 ? 0 : writeBufferSize;
  if (newRead != store->readBufferSize) {
    FreeReadBuffer(store);
    store->readBufferSize = newRead;
  }
  if (newWrite != store->writeBufferSize) {
    FreeWriteBuffer(store);
    store->writeBufferSize = newWrite;
  }
  return ResultOk;
}

ResultCode ReleaseBuffers(Store* store) {
  store->memoryView = nullptr;
  FreeReadBuffer(store);
  FreeWriteBuffer(store);
  FreeScratchA(store);
  FreeScratchB(store);
  store->readBufferSize = 0;
  store->writeBufferSize = 0;
  return ResultOk;
}

}  // namespace varnfile
