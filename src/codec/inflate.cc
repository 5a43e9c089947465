#include "codec/inflate.h"

#include <cstring>

#include "platform/memory.h"

namespace varnfile {

uint32_t InflateContextSize() { return sizeof(InflateContext); }

uint32_t InflateInit(InflateContext* context, uint32_t resetOnly) {
  uint8_t* window = nullptr;
  TableArea* tables = nullptr;
  if (resetOnly) {
    window = context->window;
    tables = context->tables;
  } else {
    window = static_cast<uint8_t*>(MemAllocZero(WindowSize));
    tables = static_cast<TableArea*>(MemAllocZero(sizeof(TableArea)));
    if (window == nullptr || tables == nullptr) {
      MemFree(window);
      MemFree(tables);
      std::memset(context, 0, sizeof *context);
      return 1;
    }
  }
  std::memset(context, 0, sizeof *context);
  context->window = window;
  context->windowEnd = window + WindowSize;
  context->tables = tables;
  context->windowCursor = window;
  context->bitReader.usedBits = 32;
  return 0;
}

uint32_t InflateEnd(InflateContext* context) {
  MemFree(context->tables);
  MemFree(context->window);
  std::memset(context, 0, sizeof *context);
  return 0;
}

// Placeholder until the decoder lands: every stream ends as invalid data.
uint32_t Inflate(const uint8_t*, uint32_t* inputLength, uint8_t*, uint32_t* outputLength,
                 InflateContext* context, uint32_t mode) {
  *inputLength = 0;
  *outputLength = 0;
  context->state = InflateStopped;
  if (mode & 1) InflateInit(context, 1);
  return 1;
}

}  // namespace varnfile
