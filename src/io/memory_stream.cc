#include "io/memory_stream.h"

#include <cstring>

#include "platform/memory.h"

namespace varnfile {

namespace {

constexpr uint32_t TableGrowth = 4;
constexpr int64_t MaxStreamOffset = INT32_MAX;

// A chunk for [start, start + length), zero-filled so that a chunk left
// behind by a failed write never exposes stale heap bytes.
MemoryChunk* NewChunk(int64_t start, int64_t length) {
  auto* chunk = static_cast<MemoryChunk*>(MemAllocZero(sizeof(MemoryChunk)));
  if (chunk == nullptr) return nullptr;
  chunk->data = static_cast<uint8_t*>(MemAllocZero(static_cast<size_t>(length)));
  if (chunk->data == nullptr) {
    MemFree(chunk);
    return nullptr;
  }
  chunk->start = static_cast<int32_t>(start);
  chunk->length = static_cast<int32_t>(length);
  return chunk;
}

int64_t ChunkEnd(const MemoryChunk* chunk) { return int64_t{chunk->start} + chunk->length; }

void LinkAbove(MemoryStream* stream, MemoryChunk* below, MemoryChunk* chunk) {
  chunk->lower = below;
  chunk->higher = below->higher;
  if (below->higher != nullptr) {
    below->higher->lower = chunk;
  } else {
    stream->highest = chunk;
  }
  below->higher = chunk;
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
}

// The highest chunk that starts at or below offset, or null when every
// chunk starts above it. Walks from the hint, or from the nearer end.
MemoryChunk* ChunkAtOrBelow(MemoryStream* stream, int64_t offset) {
  MemoryChunk* chunk = stream->hint;
  if (chunk == nullptr || stream->highest->start <= offset) chunk = stream->highest;
  while (chunk != nullptr && chunk->start > offset) chunk = chunk->lower;
  if (chunk == nullptr) return nullptr;
  while (chunk->higher != nullptr && chunk->higher->start <= offset) chunk = chunk->higher;
  return chunk;
}

void FreeStream(MemoryStream* stream) {
  MemoryChunk* chunk = stream->lowest;
  while (chunk != nullptr) {
    MemoryChunk* higher = chunk->higher;
    MemFree(chunk->data);
    MemFree(chunk);
    chunk = higher;
  }
  MemFree(stream);
}

void FreeTable(LibraryState* state) {
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

ResultCode MemoryStreamOpen(LibraryState* state, int32_t* handle) {
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

ResultCode MemoryStreamResolve(LibraryState* state, int32_t handle, MemoryStream** stream) {
  int64_t index = int64_t{handle} - 1;
  if (index < 0 || index >= state->memCapacity || state->memStreams[index] == nullptr) {
    return ResultNotTransactionFile;
  }
  *stream = state->memStreams[index];
  return ResultOk;
}

ResultCode MemoryStreamClose(LibraryState* state, int32_t handle) {
  MemoryStream* stream = nullptr;
  ResultCode rc = MemoryStreamResolve(state, handle, &stream);
  if (rc != ResultOk) return rc;
  FreeStream(stream);
  state->memStreams[handle - 1] = nullptr;
  if (--state->memCount == 0) FreeTable(state);
  return ResultOk;
}

int32_t MemoryStreamSeek(MemoryStream* stream, int32_t offset, uint32_t whence) {
  // Positions wrap like the 32-bit arithmetic they model instead of
  // overflowing; reads and writes refuse what lies outside.
  switch (whence) {
    case 0:
      stream->position = offset;
      break;
    case 1:
      stream->position = static_cast<int32_t>(static_cast<uint32_t>(stream->position) + static_cast<uint32_t>(offset));
      break;
    case 2:
      stream->position = static_cast<int32_t>(static_cast<uint32_t>(stream->size) + static_cast<uint32_t>(offset));
      break;
    default:
      break;
  }
  return stream->position;
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
  stream->position = static_cast<int32_t>(position);
  return copied;
}

ResultCode MemoryStreamWrite(MemoryStream* stream, const uint8_t* buffer, uint32_t count) {
  if (count == 0) return ResultOk;
  int64_t p = stream->position;
  if (p < 0 || p + count > MaxStreamOffset) return ResultWriteFailed;
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
  stream->position = static_cast<int32_t>(position);
  if (stream->size < stream->position) stream->size = stream->position;
  return ResultOk;
}

}  // namespace varnfile
