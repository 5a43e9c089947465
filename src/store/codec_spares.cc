#include "store/codec_spares.h"

#include "base/memory.h"
#include "codec/codec_state.h"
#include "codec/deflate.h"
#include "codec/inflate.h"
#include "codec/predictor.h"

namespace varnfile {

namespace {

void FreeDeflate(DeflateContext* context) {
  DeflateEnd(context);
  MemFree(context);
}

void FreeInflate(InflateContext* context) {
  InflateEnd(context);
  MemFree(context);
}

void FreePredictorTable(uint8_t* table) {
  PredictorState owner{};
  owner.table = table;
  PredictorFree(&owner);
}

// Places for up to N kept objects of one kind. Keep releases the object
// instead when every place is taken; Drop releases all of them. An
// aggregate without constructor or destructor: zero at load, and still
// usable by the release at unload whatever the order in which statics go.
template <typename T, uint32_t N, void (*Release)(T*)>
struct Shelf {
  T* kept[N];

  T* Take() {
    for (T*& place : kept) {
      if (place == nullptr) continue;
      T* object = place;
      place = nullptr;
      return object;
    }
    return nullptr;
  }

  void Keep(T* object) {
    if (object == nullptr) return;
    for (T*& place : kept) {
      if (place != nullptr) continue;
      place = object;
      return;
    }
    Release(object);
  }

  void Drop() {
    for (T*& place : kept) {
      if (place != nullptr) Release(place);
      place = nullptr;
    }
  }
};

void FreeBlock(uint8_t* block) { MemFree(block); }

// Kept checkpoint copies' blocks, each with its size: enough places for the
// copies of one file (a copy is 4 KB or more), at most KeptStateBytes in
// all. Zero at load, like Shelf.
constexpr uint32_t KeptStateBlocks = KeptStateBytes / 4096;

struct StateBlocks {
  uint8_t* block[KeptStateBlocks];
  uint32_t capacity[KeptStateBlocks];
  uint32_t count;
  uint32_t bytes;

  // A block of at least size bytes and at most a quarter more.
  uint8_t* Take(uint32_t size, uint32_t* capacityOut) {
    for (uint32_t i = 0; i < count; ++i) {
      if (capacity[i] < size || capacity[i] - size > size / 4) continue;
      uint8_t* taken = block[i];
      *capacityOut = capacity[i];
      bytes -= capacity[i];
      --count;
      block[i] = block[count];
      capacity[i] = capacity[count];
      return taken;
    }
    return nullptr;
  }

  void Keep(uint8_t* object, uint32_t size) {
    if (object == nullptr) return;
    if (count == KeptStateBlocks || bytes + size > KeptStateBytes) {
      MemFree(object);
      return;
    }
    block[count] = object;
    capacity[count] = size;
    bytes += size;
    ++count;
  }

  void Drop() {
    for (uint32_t i = 0; i < count; ++i) MemFree(block[i]);
    count = 0;
    bytes = 0;
  }
};

// Guarded by the library lock. Two tables: a file under a predictor method
// has one per direction.
Shelf<DeflateContext, 1, FreeDeflate> deflates;
Shelf<InflateContext, 1, FreeInflate> inflates;
Shelf<uint8_t, 2, FreePredictorTable> predictorTables;
Shelf<uint8_t, 1, FreeBlock> replayAreas;
StateBlocks stateBlocks;

}  // namespace

DeflateContext* TakeSpareDeflate(uint32_t level) {
  DeflateContext* context = deflates.Take();
  if (context != nullptr) DeflateInit(context, level, 1);
  return context;
}

InflateContext* TakeSpareInflate() {
  InflateContext* context = inflates.Take();
  if (context != nullptr) InflateClear(context);
  return context;
}

uint8_t* TakeSparePredictorTable() { return predictorTables.Take(); }

void KeepDeflate(DeflateContext* context) { deflates.Keep(context); }

void KeepInflate(InflateContext* context) { inflates.Keep(context); }

void KeepPredictorTable(uint8_t* table) { predictorTables.Keep(table); }

uint8_t* TakeStateBlock(uint32_t size, uint32_t* capacity) {
  return stateBlocks.Take(size, capacity);
}

void KeepStateBlock(uint8_t* block, uint32_t capacity) { stateBlocks.Keep(block, capacity); }

uint8_t* TakeReplayArea() { return replayAreas.Take(); }

void KeepReplayArea(uint8_t* area) { replayAreas.Keep(area); }

void DropCodecSpares() {
  deflates.Drop();
  inflates.Drop();
  predictorTables.Drop();
  replayAreas.Drop();
  stateBlocks.Drop();
}

}  // namespace varnfile
