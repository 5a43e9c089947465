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

// Guarded by the library lock. Two tables: a file under a predictor method
// has one per direction.
Shelf<DeflateContext, 1, FreeDeflate> deflates;
Shelf<InflateContext, 1, FreeInflate> inflates;
Shelf<uint8_t, 2, FreePredictorTable> predictorTables;

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

void DropCodecSpares() {
  deflates.Drop();
  inflates.Drop();
  predictorTables.Drop();
}

}  // namespace varnfile
