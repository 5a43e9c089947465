#include "store/item_index.h"

#include "base/memory.h"
#include "store/item_cache.h"

namespace varnfile {

namespace {

constexpr uint32_t MinBuckets = 32;

// Positions are byte offsets with little entropy in their low bits: spread
// them with a multiplicative hash.
uint32_t Bucket(const ItemIndex* index, uint32_t position) {
  uint32_t h = position * 0x9E3779B1u;
  return (h ^ h >> 16) & index->mask;
}

}  // namespace

ResultCode ItemIndexGrow(ItemIndex* index, uint32_t count) {
  uint32_t buckets = index->buckets == nullptr ? 0 : index->mask + 1;
  if (static_cast<uint64_t>(count) * 2 <= buckets) return ResultOk;
  uint32_t grown = buckets < MinBuckets ? MinBuckets : buckets;
  while (static_cast<uint64_t>(count) * 2 > grown) grown *= 2;
  auto* table = static_cast<CachedItem**>(MemAllocZero(sizeof(CachedItem*) * grown));
  if (table == nullptr) return ResultNoMemory;
  ItemIndex old = *index;
  index->buckets = table;
  index->mask = grown - 1;
  for (uint32_t i = 0; i < buckets; ++i) {
    CachedItem* item = old.buckets[i];
    while (item != nullptr) {
      CachedItem* next = item->indexNext;
      ItemIndexInsert(index, item);
      item = next;
    }
  }
  MemFree(old.buckets);
  return ResultOk;
}

CachedItem* ItemIndexFind(const ItemIndex* index, uint32_t position) {
  if (index->buckets == nullptr) return nullptr;
  CachedItem* item = index->buckets[Bucket(index, position)];
  while (item != nullptr && item->position != position) item = item->indexNext;
  return item;
}

void ItemIndexInsert(ItemIndex* index, CachedItem* item) {
  CachedItem** head = &index->buckets[Bucket(index, item->position)];
  item->indexNext = *head;
  *head = item;
}

void ItemIndexRemove(ItemIndex* index, CachedItem* item) {
  if (index->buckets == nullptr) return;
  CachedItem** link = &index->buckets[Bucket(index, item->position)];
  while (*link != nullptr && *link != item) link = &(*link)->indexNext;
  if (*link != nullptr) *link = item->indexNext;
}

void ItemIndexFree(ItemIndex* index) {
  MemFree(index->buckets);
  index->buckets = nullptr;
  index->mask = 0;
}

}  // namespace varnfile
