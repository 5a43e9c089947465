#include "store/decoder_checkpoints.h"

#include <cstring>

#include "store/block_codec.h"
#include "base/memory.h"
#include "store/store.h"

namespace varnfile {

namespace {

struct Checkpoint {
  uint32_t position;  // the record whose reading needs this state
  uint32_t size;      // bytes at state
  uint8_t* state;     // what SaveDecoderState wrote, in its own allocation
};

// A sorted run of checkpoints, ascending positions, and the state bytes
// they hold.
struct CheckpointSet {
  Checkpoint* slots;
  uint32_t count;
  uint32_t capacity;
  uint32_t bytes;
  uint32_t byteLimit;
};

// Bytes of saved state the spine may hold; the local set gets the rest of
// the budget less the bookkeeping. The spine serves every seek, the local
// set only a walk backwards, which needs few copies.
constexpr uint32_t SpineBudget = CheckpointBudget / 4 * 3;
// The smallest state expected (a mostly fresh prediction table is a little
// over 4 KB): it sets how many slots the sets have.
constexpr uint32_t SmallState = 4096;
constexpr uint32_t SpineSlots = SpineBudget / SmallState;
constexpr uint32_t LocalSlots = (CheckpointBudget - SpineBudget) / SmallState;

}  // namespace

struct DecoderCheckpoints {
  uint32_t method;         // the method the copies were taken under
  uint32_t stateSize;      // the most bytes one copy takes
  CheckpointSet spine;
  CheckpointSet local;
  uint32_t spineInterval;  // records between spine copies
  uint32_t sinceSpine;     // records decoded since the last spine copy or anchor
  uint32_t localEvery;     // records between local copies of this replay; 0: none
  uint32_t replayIndex;    // records decoded since the replay began
  uint32_t trusted;        // 0: the decoder may be out of step with the chain
  uint32_t lastSize;       // bytes of the latest copy taken
  uint8_t* scratch;        // stateSize bytes: a copy is taken here, then sized
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

void Release(CheckpointSet* set, const Checkpoint& c) {
  set->bytes -= c.size;
  MemFree(c.state);
}

void ClearSet(CheckpointSet* set) {
  for (uint32_t i = 0; i < set->count; ++i) Release(set, set->slots[i]);
  set->count = 0;
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
      Release(&spine, spine.slots[i]);
    }
  }
  spine.count = kept;
  cp->spineInterval *= 2;
}

// Copies the decoder's state into a new checkpoint at position (the set
// has a free slot and holds nothing at position). A spine without room for
// its bytes is thinned; a local set without room takes no copy.
void Save(DecoderCheckpoints* cp, const Store* store, CheckpointSet* set, uint32_t position) {
  // A local copy the size of the last would not fit: do not take it.
  if (set != &cp->spine && set->bytes + cp->lastSize > set->byteLimit) return;
  uint32_t size = SaveDecoderState(store, cp->scratch);
  if (size == 0) return;
  while (set->bytes + size > set->byteLimit) {
    if (set != &cp->spine || set->count < 2) return;
    ThinSpine(cp);
  }
  auto* state = static_cast<uint8_t*>(MemAlloc(size));
  if (state == nullptr) return;
  std::memcpy(state, cp->scratch, size);
  int32_t at = FloorIndex(*set, position) + 1;
  std::memmove(set->slots + at + 1, set->slots + at, (set->count - at) * sizeof(Checkpoint));
  set->slots[at] = Checkpoint{position, size, state};
  set->count++;
  set->bytes += size;
  cp->lastSize = size;
}

// The checkpoints of the store for its current method, made on first need.
DecoderCheckpoints* Ensure(Store* store) {
  DecoderCheckpoints* cp = store->checkpoints;
  if (cp != nullptr && cp->method == store->method) return cp;
  DropDecoderCheckpoints(store);
  uint32_t stateSize = DecoderStateSize(store->method);
  if (stateSize == 0) return nullptr;
  constexpr uint32_t slots = SpineSlots + LocalSlots;
  size_t bookkeeping = sizeof(DecoderCheckpoints) + slots * sizeof(Checkpoint);
  auto* block = static_cast<uint8_t*>(MemAllocZero(bookkeeping + stateSize));
  if (block == nullptr) return nullptr;
  cp = reinterpret_cast<DecoderCheckpoints*>(block);
  auto* slotArea = reinterpret_cast<Checkpoint*>(block + sizeof(DecoderCheckpoints));
  cp->method = store->method;
  cp->stateSize = stateSize;
  cp->lastSize = stateSize;
  uint32_t localBytes = CheckpointBudget - SpineBudget - static_cast<uint32_t>(bookkeeping) -
                        stateSize;
  cp->spine = CheckpointSet{slotArea, 0, SpineSlots, 0, SpineBudget};
  cp->local = CheckpointSet{slotArea + SpineSlots, 0, LocalSlots, 0, localBytes};
  cp->scratch = block + bookkeeping;
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
  ClearSet(&cp->local);
  // As many copies as the set has bytes for, judged by the last copy.
  uint32_t room = cp->local.byteLimit / cp->lastSize;
  if (room > cp->local.capacity) room = cp->local.capacity;
  if (room == 0) return;
  uint32_t every = (records + room - 1) / room;
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
      Release(set, set->slots[--set->count]);
    }
  }
  if (store->readCursor > recordPosition) cp->trusted = 0;
}

void DropDecoderCheckpoints(Store* store) {
  DecoderCheckpoints* cp = store->checkpoints;
  if (cp == nullptr) return;
  ClearSet(&cp->spine);
  ClearSet(&cp->local);
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
  out->stateBytes = cp->spine.bytes + cp->local.bytes;
}

}  // namespace varnfile
