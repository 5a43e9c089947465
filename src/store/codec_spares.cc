#include "store/codec_spares.h"

#include "base/memory.h"
#include "codec/codec_state.h"
#include "codec/deflate.h"
#include "codec/inflate.h"
#include "codec/predictor.h"

namespace varnfile {

namespace {

// Two tables: a file under a predictor method has one per direction.
constexpr uint32_t KeptTables = 2;

struct CodecSpares {
  DeflateContext* deflate;
  InflateContext* inflate;
  uint8_t* tables[KeptTables];
};

// Zero at load. Guarded by the library lock.
CodecSpares spares;

void FreeDeflate(DeflateContext* context) {
  DeflateEnd(context);
  MemFree(context);
}

void FreeInflate(InflateContext* context) {
  InflateEnd(context);
  MemFree(context);
}

void FreeTable(uint8_t* table) {
  PredictorState owner{};
  owner.table = table;
  PredictorFree(&owner);
}

}  // namespace

DeflateContext* TakeSpareDeflate(uint32_t level) {
  DeflateContext* context = spares.deflate;
  spares.deflate = nullptr;
  if (context != nullptr) DeflateInit(context, level, 1);
  return context;
}

InflateContext* TakeSpareInflate() {
  InflateContext* context = spares.inflate;
  spares.inflate = nullptr;
  if (context != nullptr) InflateClear(context);
  return context;
}

uint8_t* TakeSparePredictorTable() {
  for (uint8_t*& kept : spares.tables) {
    if (kept == nullptr) continue;
    uint8_t* table = kept;
    kept = nullptr;
    return table;
  }
  return nullptr;
}

void KeepDeflate(DeflateContext* context) {
  if (context == nullptr) return;
  if (spares.deflate == nullptr) {
    spares.deflate = context;
  } else {
    FreeDeflate(context);
  }
}

void KeepInflate(InflateContext* context) {
  if (context == nullptr) return;
  if (spares.inflate == nullptr) {
    spares.inflate = context;
  } else {
    FreeInflate(context);
  }
}

void KeepPredictorTable(uint8_t* table) {
  if (table == nullptr) return;
  for (uint8_t*& kept : spares.tables) {
    if (kept != nullptr) continue;
    kept = table;
    return;
  }
  FreeTable(table);
}

void DropCodecSpares() {
  if (spares.deflate != nullptr) FreeDeflate(spares.deflate);
  if (spares.inflate != nullptr) FreeInflate(spares.inflate);
  for (uint8_t* table : spares.tables) {
    if (table != nullptr) FreeTable(table);
  }
  spares = CodecSpares{};
}

}  // namespace varnfile
