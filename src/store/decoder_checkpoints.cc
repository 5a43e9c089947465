#include "store/decoder_checkpoints.h"

#include <cstring>

#include "store/block_codec.h"
#include "base/memory.h"
#include "store/store.h"

namespace varnfile {

namespace {

struct Checkpoint {
  uint32_t position;  // the record whose reading needs this state
  uint8_t* state;     // DecoderStateSize(method) bytes
};

// A sorted run of checkpoints, ascending positions.
struct CheckpointSet {
  Checkpoint* slots;
  uint32_t count;
  uint32_t capacity;
};

}  // namespace

struct DecoderCheckpoints {
  uint32_t method;         // the method the copies were taken under
  uint32_t stateSize;
  CheckpointSet spine;
  CheckpointSet local;
  uint32_t spineInterval;  // records between spine copies
  uint32_t sinceSpine;     // records decoded since the last spine copy or anchor
  uint32_t localEvery;     // records between local copies of this replay; 0: none
  uint32_t replayIndex;    // records decoded since the replay began
  uint32_t trusted;        // 0: the decoder may be out of step with the chain
  uint8_t** spare;         // state buffers not in use
  uint32_t spareCount;
  uint32_t buffers;        // state buffers allocated
};

namespace {

// Index of the last checkpoint at or before position, or -1.
int32_t FloorIndex(const CheckpointSet& set, uint32_t position) {
  int32_t lo = 0;
  int32_t hi = static_cast<int32_t>(set.count) - 1;
  int32_t found = -1;
  while (lo <= hi) {
    int32_t mid = lo + (hi - lo) / 2;
    if (set.slots[mid].position <= position) {
      found = mid;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return found;
}

bool Holds(const CheckpointSet& set, uint32_t position) {
  int32_t i = FloorIndex(set, position);
  return i >= 0 && set.slots[i].position == position;
}

void Recycle(DecoderCheckpoints* cp, uint8_t* state) { cp->spare[cp->spareCount++] = state; }

uint8_t* TakeBuffer(DecoderCheckpoints* cp) {
  if (cp->spareCount > 0) return cp->spare[--cp->spareCount];
  if (cp->buffers >= cp->spine.capacity + cp->local.capacity) return nullptr;
  auto* state = static_cast<uint8_t*>(MemAlloc(cp->stateSize));
  if (state != nullptr) cp->buffers++;
  return state;
}

void ClearSet(DecoderCheckpoints* cp, CheckpointSet* set) {
  for (uint32_t i = 0; i < set->count; ++i) Recycle(cp, set->slots[i].state);
  set->count = 0;
}

// Copies the decoder's state into a new checkpoint at position (the set
// has room and holds nothing at position).
void Save(DecoderCheckpoints* cp, const Store* store, CheckpointSet* set, uint32_t position) {
  uint8_t* state = TakeBuffer(cp);
  if (state == nullptr) return;
  if (!SaveDecoderState(store, state)) {
    Recycle(cp, state);
    return;
  }
  int32_t at = FloorIndex(*set, position) + 1;
  std::memmove(set->slots + at + 1, set->slots + at, (set->count - at) * sizeof(Checkpoint));
  set->slots[at] = Checkpoint{position, state};
  set->count++;
}

// Keeps every other spine copy (the first, third, ...) and doubles the
// interval, so the copies stay evenly spread over a longer file.
void ThinSpine(DecoderCheckpoints* cp) {
  CheckpointSet& spine = cp->spine;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < spine.count; ++i) {
    if (i % 2 == 0) {
      spine.slots[kept++] = spine.slots[i];
    } else {
      Recycle(cp, spine.slots[i].state);
    }
  }
  spine.count = kept;
  cp->spineInterval *= 2;
}

// The checkpoints of the store for its current method, made on first need.
DecoderCheckpoints* Ensure(Store* store) {
  DecoderCheckpoints* cp = store->checkpoints;
  if (cp != nullptr && cp->method == store->method) return cp;
  DropDecoderCheckpoints(store);
  uint32_t stateSize = DecoderStateSize(store->method);
  if (stateSize == 0) return nullptr;
  uint32_t slots = CheckpointBudget / stateSize;
  if (slots < MinCheckpoints) slots = MinCheckpoints;
  uint32_t spineSlots = slots / 2;
  uint32_t localSlots = slots - spineSlots;
  size_t bytes = sizeof(DecoderCheckpoints) + slots * sizeof(Checkpoint) + slots * sizeof(uint8_t*);
  auto* block = static_cast<uint8_t*>(MemAllocZero(bytes));
  if (block == nullptr) return nullptr;
  cp = reinterpret_cast<DecoderCheckpoints*>(block);
  auto* slotArea = reinterpret_cast<Checkpoint*>(block + sizeof(DecoderCheckpoints));
  cp->method = store->method;
  cp->stateSize = stateSize;
  cp->spine = CheckpointSet{slotArea, 0, spineSlots};
  cp->local = CheckpointSet{slotArea + spineSlots, 0, localSlots};
  cp->spare = reinterpret_cast<uint8_t**>(slotArea + slots);
  cp->spineInterval = FirstSpineInterval;
  cp->trusted = 1;
  store->checkpoints = cp;
  return cp;
}

const DecoderCheckpoints* Current(const Store* store) {
  const DecoderCheckpoints* cp = store->checkpoints;
  return cp != nullptr && cp->method == store->method ? cp : nullptr;
}

}  // namespace

uint32_t FindCheckpoint(const Store* store, uint32_t position, bool* isLocal) {
  if (isLocal != nullptr) *isLocal = false;
  const DecoderCheckpoints* cp = Current(store);
  if (cp == nullptr) return 0;
  int32_t s = FloorIndex(cp->spine, position);
  int32_t l = FloorIndex(cp->local, position);
  uint32_t spineAt = s >= 0 ? cp->spine.slots[s].position : 0;
  uint32_t localAt = l >= 0 ? cp->local.slots[l].position : 0;
  if (localAt > spineAt) {
    if (isLocal != nullptr) *isLocal = true;
    return localAt;
  }
  return spineAt;
}

ResultCode RestoreCheckpoint(Store* store, uint32_t position) {
  DecoderCheckpoints* cp = store->checkpoints;
  if (cp == nullptr || cp->method != store->method) return ResultInvalidArgument;
  const uint8_t* state = nullptr;
  int32_t l = FloorIndex(cp->local, position);
  if (l >= 0 && cp->local.slots[l].position == position) state = cp->local.slots[l].state;
  int32_t s = FloorIndex(cp->spine, position);
  if (s >= 0 && cp->spine.slots[s].position == position) state = cp->spine.slots[s].state;
  if (state == nullptr) return ResultInvalidArgument;
  ResultCode rc = RestoreDecoderState(store, state);
  if (rc != ResultOk) return rc;
  cp->trusted = 1;
  cp->sinceSpine = 0;
  return ResultOk;
}

void CheckpointsBeginReplay(Store* store, uint32_t records, bool makeLocal) {
  DecoderCheckpoints* cp = Ensure(store);
  if (cp == nullptr) return;
  cp->replayIndex = 0;
  cp->localEvery = 0;
  if (!makeLocal || records < 2 * MinLocalInterval) return;
  // A new stretch walked backwards: spread the local copies over it.
  ClearSet(cp, &cp->local);
  uint32_t every = (records + cp->local.capacity - 1) / cp->local.capacity;
  cp->localEvery = every < MinLocalInterval ? MinLocalInterval : every;
}

void CheckpointsBeforeDecode(Store* store, uint32_t position, bool replay) {
  if (!IsChainedMethod(store->method)) return;
  DecoderCheckpoints* cp = Ensure(store);
  if (cp == nullptr || cp->trusted == 0) return;
  if (replay && cp->localEvery != 0) {
    uint32_t index = cp->replayIndex++;
    if (index != 0 && index % cp->localEvery == 0 && cp->local.count < cp->local.capacity &&
        !Holds(cp->local, position)) {
      Save(cp, store, &cp->local, position);
    }
  }
  if (Holds(cp->spine, position)) {
    cp->sinceSpine = 1;
    return;
  }
  if (cp->sinceSpine >= cp->spineInterval) {
    if (cp->spine.count == cp->spine.capacity) ThinSpine(cp);
    if (cp->sinceSpine >= cp->spineInterval) {
      Save(cp, store, &cp->spine, position);
      cp->sinceSpine = 0;
    }
  }
  cp->sinceSpine++;
}

void CheckpointsAfterReset(Store* store) {
  DecoderCheckpoints* cp = store->checkpoints;
  if (cp == nullptr) return;
  cp->trusted = 1;
  cp->sinceSpine = 0;
}

void CheckpointsChainEnded(Store* store, uint32_t recordPosition) {
  DecoderCheckpoints* cp = Ensure(store);
  if (cp == nullptr) return;
  CheckpointSet* sets[] = {&cp->spine, &cp->local};
  for (CheckpointSet* set : sets) {
    while (set->count > 0 && set->slots[set->count - 1].position > recordPosition) {
      Recycle(cp, set->slots[--set->count].state);
    }
  }
  if (store->readCursor > recordPosition) cp->trusted = 0;
}

void DropDecoderCheckpoints(Store* store) {
  DecoderCheckpoints* cp = store->checkpoints;
  if (cp == nullptr) return;
  ClearSet(cp, &cp->spine);
  ClearSet(cp, &cp->local);
  for (uint32_t i = 0; i < cp->spareCount; ++i) MemFree(cp->spare[i]);
  MemFree(cp);
  store->checkpoints = nullptr;
}

void GetCheckpointStats(const Store* store, CheckpointStats* out) {
  std::memset(out, 0, sizeof *out);
  const DecoderCheckpoints* cp = Current(store);
  if (cp == nullptr) return;
  out->spineCount = cp->spine.count;
  out->spineCapacity = cp->spine.capacity;
  out->spineInterval = cp->spineInterval;
  out->localCount = cp->local.count;
  out->localCapacity = cp->local.capacity;
  out->stateBytes = cp->buffers * cp->stateSize;
}

}  // namespace varnfile
