#include "io/memory_stream.h"

#include <cstring>

#include "base/memory.h"

namespace varnfile {

namespace {

constexpr uint32_t TableGrowth = 4;

// A chunk for [start, start + length), zero-filled so that a chunk left
// behind by a failed write never exposes stale heap bytes. Its bytes follow
// the record in the same allocation: one allocation per chunk, and a reader
// that looks a chunk up finds its bytes next to it in memory.
MemoryChunk* NewChunk(int64_t start, int64_t length) {
  auto* chunk =
      static_cast<MemoryChunk*>(MemAllocZero(sizeof(MemoryChunk) + static_cast<size_t>(length)));
  if (chunk == nullptr) return nullptr;
  chunk->data = reinterpret_cast<uint8_t*>(chunk + 1);
  chunk->start = static_cast<int32_t>(start);
  chunk->length = static_cast<int32_t>(length);
  return chunk;
}

int64_t ChunkEnd(const MemoryChunk* chunk) { return int64_t{chunk->start} + chunk->length; }

// The slot of the index that holds chunk (which is in it).
uint32_t IndexOf(const MemoryStream* stream, const MemoryChunk* chunk) {
  // Appends add above the highest chunk: no search.
  if (stream->indexCount != 0 && stream->index[stream->indexCount - 1] == chunk) {
    return stream->indexCount - 1;
  }
  uint32_t lo = 0;
  uint32_t hi = stream->indexCount;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (stream->index[mid]->start < chunk->start) {
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
  auto* grown = static_cast<MemoryChunk**>(MemAlloc(capacity * sizeof(MemoryChunk*)));
  if (grown == nullptr) return false;
  if (stream->indexCount != 0) {
    std::memcpy(grown, stream->index, stream->indexCount * sizeof(MemoryChunk*));
  }
  MemFree(stream->index);
  stream->index = grown;
  stream->indexCapacity = static_cast<uint32_t>(capacity);
  return true;
}

// Puts chunk into the index at slot (a slot was reserved).
void IndexInsert(MemoryStream* stream, uint32_t slot, MemoryChunk* chunk) {
  std::memmove(stream->index + slot + 1, stream->index + slot,
               (stream->indexCount - slot) * sizeof(MemoryChunk*));
  stream->index[slot] = chunk;
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

// The highest chunk that starts at or below offset, or null when every
// chunk starts above it. Access near the hint, in either direction, walks
// the few chunks from it, which were touched lately; anything else is a
// binary search of the index.
MemoryChunk* ChunkAtOrBelow(MemoryStream* stream, int64_t offset) {
  constexpr int NearbyChunks = 16;
  MemoryChunk* chunk = stream->hint;
  if (chunk != nullptr && chunk->start <= offset) {
    for (int i = 0; i < NearbyChunks; ++i, chunk = chunk->higher) {
      if (chunk->higher == nullptr || chunk->higher->start > offset) return chunk;
    }
  } else if (chunk != nullptr) {
    for (int i = 0; i < NearbyChunks && chunk->lower != nullptr; ++i) {
      chunk = chunk->lower;
      if (chunk->start <= offset) return chunk;
    }
  }
  uint32_t lo = 0;
  uint32_t hi = stream->indexCount;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (stream->index[mid]->start <= offset) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo == 0 ? nullptr : stream->index[lo - 1];
}

void FreeStream(MemoryStream* stream) {
  MemoryChunk* chunk = stream->lowest;
  while (chunk != nullptr) {
    MemoryChunk* higher = chunk->higher;
    MemFree(chunk);
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
// the still uncovered upper end, and r, the bytes still to cover: every
// range between existing chunks (or below the lowest) that the write needs
// gets a chunk of exactly its size.
MemoryChunk* CoverRange(MemoryStream* stream, int64_t p, int64_t count) {
  int64_t e = p + count;
  int64_t r = count;
  // Chunks that start at or above e play no part: begin below them.
  MemoryChunk* chunk = stream->highest == nullptr ? nullptr : ChunkAtOrBelow(stream, e - 1);
  for (;;) {
    if (chunk == nullptr) {
      // Below the lowest chunk: one chunk for what is left.
      if (!ReserveIndexSlot(stream)) return nullptr;
      MemoryChunk* fresh = NewChunk(p, r);
      if (fresh == nullptr) return nullptr;
      LinkBelowAll(stream, fresh);
      return fresh;
    }
    if (chunk->start >= e) {
      chunk = chunk->lower;
      continue;
    }
    if (ChunkEnd(chunk) < e) {
      int64_t k = e - ChunkEnd(chunk) < r ? e - ChunkEnd(chunk) : r;
      if (!ReserveIndexSlot(stream)) return nullptr;
      MemoryChunk* fresh = NewChunk(e - k, k);
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
      MemoryChunk* fresh = NewChunk(e - k, k);
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
  state->memStreams[slot] = stream;
  ++state->memCount;
  *handle = static_cast<int32_t>(slot + 1);
  return ResultOk;
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
  MemoryChunk* chunk = stream->lowest == nullptr ? nullptr : ChunkAtOrBelow(stream, position);
  if (chunk == nullptr) chunk = stream->lowest;
  for (; chunk != nullptr && remaining > 0; chunk = chunk->higher) {
    if (ChunkEnd(chunk) <= position) continue;
    if (chunk->start > position) break;  // a range never written
    stream->hint = chunk;
    int64_t available = ChunkEnd(chunk) - position;
    int64_t n = remaining < available ? remaining : available;
    std::memcpy(buffer, chunk->data + (position - chunk->start), static_cast<size_t>(n));
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
  MemoryChunk* chunk = stream->lowest == nullptr ? nullptr : ChunkAtOrBelow(stream, offset);
  if (chunk == nullptr || ChunkEnd(chunk) <= offset) return nullptr;
  stream->hint = chunk;
  *start = chunk->start;
  *length = chunk->length;
  return chunk->data;
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
    stream->hint = chunk;
    chunk = chunk->higher;
  }
  stream->position = position;
  if (stream->size < stream->position) stream->size = stream->position;
  return ResultOk;
}

}  // namespace varnfile
