#include "io/memory_stream.h"

#include <cstring>
#include <initializer_list>

#include "base/memory.h"
#include "platform/pages.h"

namespace varnfile {

namespace {

constexpr uint32_t TableGrowth = 4;

// The bytes of a chunk, which follow its record in the same allocation.
inline uint8_t* ChunkBytes(MemoryChunk* chunk) { return reinterpret_cast<uint8_t*>(chunk + 1); }

// Room for a chunk added at the top: about as many bytes as the stream
// holds below it, at least 4 KiB and at most 64 KiB, and never past
// MemoryStreamLimit. The cap keeps each allocation below the size from which
// common allocators map pages of its own for it (128 KiB in glibc), pages
// that every new file would fault in afresh.
constexpr int64_t MinTopRoom = 4096;
constexpr int64_t MaxTopRoom = 65536;

// Chunks of MaxTopRoom kept from closed streams for new ones (16 MiB).
constexpr uint32_t MaxSpareChunks = 256;

// Past its first BlockFrom bytes, a stream's top chunks are page blocks,
// each holding its record and BlockRoom bytes; up to MaxSpareBlocks of them
// (16 MiB) are kept from closed streams.
constexpr int64_t BlockFrom = PageBlockBytes;
constexpr int64_t BlockRoom = static_cast<int64_t>(PageBlockBytes - sizeof(MemoryChunk));
constexpr uint32_t MaxSpareBlocks = 8;

// True when a top chunk for [start, start + length) is a page block.
bool InBlock(int64_t start, int64_t length) {
  return start >= BlockFrom && length <= BlockRoom && start + BlockRoom <= MemoryStreamLimit;
}

// Takes a chunk from a list of spares; null when the list is empty.
MemoryChunk* TakeSpare(MemoryChunk** list, uint32_t* count) {
  MemoryChunk* chunk = *list;
  if (chunk == nullptr) return nullptr;
  *list = chunk->higher;
  --*count;
  return chunk;
}

// Puts a chunk on a list of spares unless it holds `limit` already; false
// when the chunk was not kept.
bool KeepSpare(MemoryChunk** list, uint32_t* count, uint32_t limit, MemoryChunk* chunk) {
  if (*count >= limit) return false;
  chunk->higher = *list;
  *list = chunk;
  ++*count;
  return true;
}

int64_t TopChunkCapacity(int64_t start, int64_t length) {
  int64_t room = start < MinTopRoom ? MinTopRoom : start > MaxTopRoom ? MaxTopRoom : start;
  if (room < length) room = length;
  if (start + room > MemoryStreamLimit) room = MemoryStreamLimit - start;
  return room < length ? length : room;
}

// A chunk for [start, start + length) with room for capacity bytes. Its
// length bytes start zero-filled, so that a chunk left behind by a failed
// write never exposes stale heap bytes; the room above them is never read
// before a write has filled it (GrowTopChunk). Its bytes follow the record
// in the same allocation: one allocation per chunk (or a spare of that size
// from a closed stream), and a reader that looks a chunk up finds its bytes
// next to it in memory. With inBlock the chunk is a page block (capacity
// BlockRoom), a spare one or a new one.
MemoryChunk* NewChunk(MemoryStream* stream, int64_t start, int64_t length, int64_t capacity,
                      bool inBlock) {
  IoState* state = stream->state;
  MemoryChunk* chunk = nullptr;
  if (inBlock) {
    chunk = TakeSpare(&state->spareBlocks, &state->spareBlockCount);
    if (chunk == nullptr && MemAllocAllowed()) {
      chunk = static_cast<MemoryChunk*>(PlatformMapPageBlock());
    }
  } else {
    if (capacity == MaxTopRoom) chunk = TakeSpare(&state->spareChunks, &state->spareCount);
    if (chunk == nullptr) {
      chunk = static_cast<MemoryChunk*>(
          MemAlloc(sizeof(MemoryChunk) + static_cast<size_t>(capacity)));
    }
  }
  if (chunk == nullptr) return nullptr;
  chunk->higher = nullptr;
  chunk->lower = nullptr;
  chunk->data = ChunkBytes(chunk);
  chunk->start = static_cast<int32_t>(start);
  chunk->length = static_cast<int32_t>(length);
  chunk->capacity = static_cast<int32_t>(capacity);
  chunk->inBlock = inBlock ? 1 : 0;
  std::memset(chunk->data, 0, static_cast<size_t>(length));
  return chunk;
}

MemoryChunk* NewChunk(MemoryStream* stream, int64_t start, int64_t length) {
  return NewChunk(stream, start, length, length, false);
}

// A chunk that will be the highest.
MemoryChunk* NewTopChunk(MemoryStream* stream, int64_t start, int64_t length) {
  if (InBlock(start, length)) return NewChunk(stream, start, length, BlockRoom, true);
  return NewChunk(stream, start, length, TopChunkCapacity(start, length), false);
}

// Releases a chunk that is not kept.
void FreeChunk(MemoryChunk* chunk) {
  if (chunk->inBlock != 0) {
    PlatformUnmapPageBlock(chunk);
  } else {
    MemFree(chunk);
  }
}

int64_t ChunkEnd(const MemoryChunk* chunk) { return int64_t{chunk->start} + chunk->length; }

// Lets the highest chunk cover up to e from its room when a write starting
// at p continues its bytes (p at or below its end: a write beyond it would
// turn the gap in between into zeros). False when it has not the room. The
// bytes it gains are zero-filled when the write reaches below the chunk,
// since an allocation for that part may still fail and leave them
// unwritten; a write that starts within the chunk has nothing left to
// allocate and fills them at once.
bool GrowTopChunk(MemoryStream* stream, MemoryChunk* chunk, int64_t p, int64_t e) {
  if (chunk != stream->highest || p > ChunkEnd(chunk) || e - chunk->start > chunk->capacity) {
    return false;
  }
  if (p < chunk->start) {
    std::memset(chunk->data + chunk->length, 0, static_cast<size_t>(e - ChunkEnd(chunk)));
  }
  chunk->length = static_cast<int32_t>(e - chunk->start);
  stream->index[stream->indexCount - 1].length = chunk->length;
  return true;
}

// The slot of the index that holds chunk (which is in it).
uint32_t IndexOf(const MemoryStream* stream, const MemoryChunk* chunk) {
  // Appends add above the highest chunk: no search.
  if (stream->indexCount != 0 && stream->index[stream->indexCount - 1].chunk == chunk) {
    return stream->indexCount - 1;
  }
  uint32_t lo = 0;
  uint32_t hi = stream->indexCount;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (stream->index[mid].start < chunk->start) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// Makes room in the index for one more chunk; false when it cannot grow.
bool ReserveIndexSlot(MemoryStream* stream) {
  if (stream->indexCount < stream->indexCapacity) return true;
  uint64_t capacity = stream->indexCapacity == 0 ? 16 : uint64_t{stream->indexCapacity} * 2;
  if (capacity > 0x7FFFFFFF) return false;
  auto* grown = static_cast<ChunkSlot*>(MemAlloc(capacity * sizeof(ChunkSlot)));
  if (grown == nullptr) return false;
  if (stream->indexCount != 0) {
    std::memcpy(grown, stream->index, stream->indexCount * sizeof(ChunkSlot));
  }
  MemFree(stream->index);
  stream->index = grown;
  stream->indexCapacity = static_cast<uint32_t>(capacity);
  return true;
}

// Puts chunk into the index at slot (a slot was reserved). The hint keeps
// naming the chunk it named.
void IndexInsert(MemoryStream* stream, uint32_t slot, MemoryChunk* chunk) {
  std::memmove(stream->index + slot + 1, stream->index + slot,
               (stream->indexCount - slot) * sizeof(ChunkSlot));
  stream->index[slot] = ChunkSlot{chunk->start, chunk->length, chunk};
  if (stream->indexCount != 0 && slot <= stream->hint) stream->hint++;
  stream->indexCount++;
}

void LinkAbove(MemoryStream* stream, MemoryChunk* below, MemoryChunk* chunk) {
  chunk->lower = below;
  chunk->higher = below->higher;
  if (below->higher != nullptr) {
    below->higher->lower = chunk;
  } else {
    stream->highest = chunk;
  }
  below->higher = chunk;
  IndexInsert(stream, IndexOf(stream, below) + 1, chunk);
}

void LinkBelowAll(MemoryStream* stream, MemoryChunk* chunk) {
  chunk->lower = nullptr;
  chunk->higher = stream->lowest;
  if (stream->lowest != nullptr) {
    stream->lowest->lower = chunk;
  } else {
    stream->highest = chunk;
  }
  stream->lowest = chunk;
  IndexInsert(stream, 0, chunk);
}

// The slot of the highest chunk that starts at or below offset, or -1 when
// every chunk starts above it. Access near the hint, in either direction,
// scans the few slots from it; anything else is a binary search. Only the
// index is read. The slot found becomes the hint.
int64_t SlotAtOrBelow(MemoryStream* stream, int64_t offset) {
  constexpr uint32_t NearbySlots = 16;
  const ChunkSlot* slots = stream->index;
  uint32_t count = stream->indexCount;
  if (count == 0) return -1;
  uint32_t i = stream->hint < count ? stream->hint : count - 1;
  uint32_t found = count;  // none yet
  if (slots[i].start <= offset) {
    for (uint32_t n = 0; n < NearbySlots; ++n, ++i) {
      if (i + 1 == count || slots[i + 1].start > offset) {
        found = i;
        break;
      }
    }
  } else {
    for (uint32_t n = 0; n < NearbySlots && i > 0; ++n) {
      if (slots[--i].start <= offset) {
        found = i;
        break;
      }
    }
  }
  if (found == count) {
    uint32_t lo = 0;
    uint32_t hi = count;
    while (lo < hi) {
      uint32_t mid = lo + (hi - lo) / 2;
      if (slots[mid].start <= offset) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo == 0) return -1;
    found = lo - 1;
  }
  stream->hint = found;
  return found;
}

// Frees the stream and its chunks, keeping growth chunks as spares.
void FreeStream(MemoryStream* stream) {
  IoState* state = stream->state;
  MemoryChunk* chunk = stream->lowest;
  while (chunk != nullptr) {
    MemoryChunk* higher = chunk->higher;
    const bool kept =
        chunk->inBlock != 0
            ? KeepSpare(&state->spareBlocks, &state->spareBlockCount, MaxSpareBlocks, chunk)
            : chunk->capacity == MaxTopRoom &&
                  KeepSpare(&state->spareChunks, &state->spareCount, MaxSpareChunks, chunk);
    if (!kept) FreeChunk(chunk);
    chunk = higher;
  }
  MemFree(stream->index);
  MemFree(stream);
}

void FreeTable(IoState* state) {
  MemFree(state->memStreams);
  state->memStreams = nullptr;
  state->memCapacity = 0;
}

// Makes chunks cover [p, p + count) and returns the chunk that holds p, or
// null when an allocation fails. Walks down from the highest chunk with e,
// the still uncovered upper end, and r, the bytes still to cover: the
// highest chunk grows into its room where the write continues it, and every
// other range between existing chunks (or below the lowest) that the write
// needs gets a chunk of its own, with room when it becomes the highest.
MemoryChunk* CoverRange(MemoryStream* stream, int64_t p, int64_t count) {
  int64_t e = p + count;
  int64_t r = count;
  // Chunks that start at or above e play no part: begin below them.
  int64_t top = SlotAtOrBelow(stream, e - 1);
  MemoryChunk* chunk = top < 0 ? nullptr : stream->index[top].chunk;
  for (;;) {
    if (chunk == nullptr) {
      // Below the lowest chunk: one chunk for what is left.
      if (!ReserveIndexSlot(stream)) return nullptr;
      MemoryChunk* fresh =
          stream->highest == nullptr ? NewTopChunk(stream, p, r) : NewChunk(stream, p, r);
      if (fresh == nullptr) return nullptr;
      LinkBelowAll(stream, fresh);
      return fresh;
    }
    if (chunk->start >= e) {
      chunk = chunk->lower;
      continue;
    }
    if (ChunkEnd(chunk) < e && !GrowTopChunk(stream, chunk, p, e)) {
      int64_t k = e - ChunkEnd(chunk) < r ? e - ChunkEnd(chunk) : r;
      if (!ReserveIndexSlot(stream)) return nullptr;
      MemoryChunk* fresh =
          chunk == stream->highest ? NewTopChunk(stream, e - k, k) : NewChunk(stream, e - k, k);
      if (fresh == nullptr) return nullptr;
      LinkAbove(stream, chunk, fresh);
      chunk = fresh;
    }
    // The chunk reaches e: it covers the top of what is left.
    int64_t m = e - chunk->start < r ? e - chunk->start : r;
    e -= m;
    r -= m;
    if (r == 0) return chunk;
    MemoryChunk* lower = chunk->lower;
    if (lower != nullptr && ChunkEnd(lower) < chunk->start) {
      int64_t gap = chunk->start - ChunkEnd(lower);
      int64_t k = gap < r ? gap : r;
      if (!ReserveIndexSlot(stream)) return nullptr;
      MemoryChunk* fresh = NewChunk(stream, e - k, k);
      if (fresh == nullptr) return nullptr;
      LinkAbove(stream, lower, fresh);
      chunk = fresh;
    } else {
      chunk = lower;
    }
  }
}

}  // namespace

ResultCode MemoryStreamOpen(IoState* state, int32_t* handle) {
  uint32_t slot = 0;
  while (slot < state->memCapacity && state->memStreams[slot] != nullptr) ++slot;
  if (slot == state->memCapacity) {
    uint32_t capacity = state->memCapacity - state->memCapacity % TableGrowth + TableGrowth;
    auto* grown = static_cast<MemoryStream**>(MemAllocZero(capacity * sizeof(MemoryStream*)));
    if (grown == nullptr) return ResultNoMemory;
    if (state->memCapacity != 0) {
      std::memcpy(grown, state->memStreams, state->memCapacity * sizeof(MemoryStream*));
    }
    MemFree(state->memStreams);
    state->memStreams = grown;
    state->memCapacity = capacity;
  }
  auto* stream = static_cast<MemoryStream*>(MemAllocZero(sizeof(MemoryStream)));
  if (stream == nullptr) {
    if (state->memCount == 0) FreeTable(state);
    return ResultNoMemory;
  }
  stream->state = state;
  state->memStreams[slot] = stream;
  ++state->memCount;
  *handle = static_cast<int32_t>(slot + 1);
  return ResultOk;
}

void MemoryStreamDropSpares(IoState* state) {
  for (MemoryChunk** list : {&state->spareChunks, &state->spareBlocks}) {
    while (*list != nullptr) {
      MemoryChunk* next = (*list)->higher;
      FreeChunk(*list);
      *list = next;
    }
  }
  state->spareCount = 0;
  state->spareBlockCount = 0;
}

ResultCode MemoryStreamResolve(IoState* state, int32_t handle, MemoryStream** stream) {
  int64_t index = int64_t{handle} - 1;
  if (index < 0 || index >= state->memCapacity || state->memStreams[index] == nullptr) {
    return ResultNotTransactionFile;
  }
  *stream = state->memStreams[index];
  return ResultOk;
}

ResultCode MemoryStreamClose(IoState* state, int32_t handle) {
  MemoryStream* stream = nullptr;
  ResultCode rc = MemoryStreamResolve(state, handle, &stream);
  if (rc != ResultOk) return rc;
  FreeStream(stream);
  state->memStreams[handle - 1] = nullptr;
  if (--state->memCount == 0) FreeTable(state);
  return ResultOk;
}

int64_t MemoryStreamSeek(MemoryStream* stream, int64_t offset, uint32_t whence) {
  // Position and size stay far inside 64 bits (a seek adds at most a 32-bit
  // position to either), so nothing overflows; reads and writes refuse what
  // lies outside the stream.
  switch (whence) {
    case 0:
      stream->position = offset;
      break;
    case 1:
      stream->position += offset;
      break;
    case 2:
      stream->position = stream->size + offset;
      break;
    default:
      break;
  }
  return stream->position;
}

void MemoryStreamTruncate(MemoryStream* stream, uint32_t length) {
  if (static_cast<int64_t>(length) < stream->size) stream->size = static_cast<int32_t>(length);
}

uint32_t MemoryStreamRead(MemoryStream* stream, uint8_t* buffer, uint32_t count) {
  int64_t position = stream->position;
  int64_t remaining = count;
  // Chunks below the one that starts at or below the position end before
  // it; a walk from the lowest chunk would skip them all.
  int64_t first = SlotAtOrBelow(stream, position);
  for (uint32_t i = first < 0 ? 0 : static_cast<uint32_t>(first);
       i < stream->indexCount && remaining > 0; ++i) {
    const ChunkSlot& slot = stream->index[i];
    int64_t end = int64_t{slot.start} + slot.length;
    if (end <= position) continue;
    if (slot.start > position) break;  // a range never written
    stream->hint = i;
    int64_t available = end - position;
    int64_t n = remaining < available ? remaining : available;
    std::memcpy(buffer, ChunkBytes(slot.chunk) + (position - slot.start), static_cast<size_t>(n));
    buffer += n;
    position += n;
    remaining -= n;
  }
  uint32_t copied = count - static_cast<uint32_t>(remaining);
  stream->position = position;
  return copied;
}

const uint8_t* MemoryStreamChunkAt(MemoryStream* stream, int64_t offset, int64_t* start,
                                   int64_t* length) {
  int64_t found = SlotAtOrBelow(stream, offset);
  if (found < 0) return nullptr;
  const ChunkSlot& slot = stream->index[found];
  if (int64_t{slot.start} + slot.length <= offset) return nullptr;
  *start = slot.start;
  *length = slot.length;
  return ChunkBytes(slot.chunk);
}

ResultCode MemoryStreamWrite(MemoryStream* stream, const uint8_t* buffer, uint32_t count) {
  if (count == 0) return ResultOk;
  int64_t p = stream->position;
  if (p < 0 || p + count > MemoryStreamLimit) return ResultWriteFailed;
  MemoryChunk* chunk = CoverRange(stream, p, count);
  if (chunk == nullptr) return ResultWriteFailed;
  int64_t position = p;
  int64_t remaining = count;
  while (remaining > 0) {
    // CoverRange left consecutive chunks over the whole range.
    int64_t available = ChunkEnd(chunk) - position;
    int64_t n = remaining < available ? remaining : available;
    std::memcpy(chunk->data + (position - chunk->start), buffer, static_cast<size_t>(n));
    buffer += n;
    position += n;
    remaining -= n;
    chunk = chunk->higher;
  }
  stream->position = position;
  if (stream->size < stream->position) stream->size = stream->position;
  return ResultOk;
}

}  // namespace varnfile
