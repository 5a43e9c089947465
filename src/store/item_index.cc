#include "store/item_index.h"

#include "base/memory.h"

namespace varnfile {

namespace {

constexpr uint32_t MinSlots = 32;

// Positions are byte offsets with little entropy in their low bits: spread
// them with a multiplicative hash.
uint32_t Home(const ItemIndex* index, uint32_t position) {
  uint32_t h = position * 0x9E3779B1u;
  return (h ^ h >> 16) & index->mask;
}

}  // namespace

ResultCode ItemIndexGrow(ItemIndex* index, uint32_t count) {
  uint32_t slots = index->slots == nullptr ? 0 : index->mask + 1;
  if (static_cast<uint64_t>(count) * 2 <= slots) return ResultOk;
  uint32_t grown = slots < MinSlots ? MinSlots : slots;
  while (static_cast<uint64_t>(count) * 2 > grown) grown *= 2;
  auto* table = static_cast<ItemIndexSlot*>(MemAllocZero(sizeof(ItemIndexSlot) * grown));
  if (table == nullptr) return ResultNoMemory;
  ItemIndex old = *index;
  index->slots = table;
  index->mask = grown - 1;
  for (uint32_t i = 0; i < slots; ++i) {
    if (old.slots[i].item != nullptr) ItemIndexInsert(index, old.slots[i].position, old.slots[i].item);
  }
  MemFree(old.slots);
  return ResultOk;
}

CachedItem* ItemIndexFind(const ItemIndex* index, uint32_t position) {
  if (index->slots == nullptr) return nullptr;
  for (uint32_t i = Home(index, position);; i = (i + 1) & index->mask) {
    const ItemIndexSlot& slot = index->slots[i];
    if (slot.item == nullptr) return nullptr;
    if (slot.position == position) return slot.item;
  }
}

void ItemIndexInsert(ItemIndex* index, uint32_t position, CachedItem* item) {
  uint32_t i = Home(index, position);
  while (index->slots[i].item != nullptr) i = (i + 1) & index->mask;
  index->slots[i] = {position, item};
}

void ItemIndexRemove(ItemIndex* index, uint32_t position) {
  if (index->slots == nullptr) return;
  uint32_t i = Home(index, position);
  while (index->slots[i].position != position || index->slots[i].item == nullptr) {
    if (index->slots[i].item == nullptr) return;
    i = (i + 1) & index->mask;
  }
  // Close the gap: move back every entry of the run behind it whose home
  // does not lie between the gap and the entry itself.
  uint32_t gap = i;
  for (uint32_t j = (i + 1) & index->mask; index->slots[j].item != nullptr;
       j = (j + 1) & index->mask) {
    uint32_t home = Home(index, index->slots[j].position);
    bool reachable = ((j - home) & index->mask) >= ((j - gap) & index->mask);
    if (reachable) {
      index->slots[gap] = index->slots[j];
      gap = j;
    }
  }
  index->slots[gap].item = nullptr;
}

void ItemIndexFree(ItemIndex* index) {
  MemFree(index->slots);
  index->slots = nullptr;
  index->mask = 0;
}

}  // namespace varnfile
