#include "store/decoder_checkpoints.h"

#include <cstring>

#include "store/block_codec.h"
#include "store/codec_spares.h"
#include "base/memory.h"
#include "store/store.h"

namespace varnfile {

namespace {

struct Checkpoint {
  uint32_t position;  // the record whose reading needs this state
  uint32_t size;      // bytes of the block at state (what the copy holds, or a little more)
  uint8_t* state;     // what SaveDecoderState wrote, in a block of its own
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

// Bytes of saved state the spine may hold; the kept records and the local
// set get the rest of the budget less the bookkeeping. The spine serves
// every seek, the local set only a walk backwards over a stretch longer than
// the kept records cover, which needs few copies.
constexpr uint32_t SpineBudget = CheckpointBudget / 16 * 13;
// The smallest state expected (a mostly fresh prediction table is a little
// over 4 KB): it sets how many slots the sets have.
constexpr uint32_t SmallState = 4096;
constexpr uint32_t SpineSlots = SpineBudget / SmallState;
constexpr uint32_t LocalSlots = (CheckpointBudget - SpineBudget) / SmallState;

// A record the latest replay decoded into the kept area.
struct KeptRecord {
  uint32_t position;
  uint32_t offset;  // of its data in the kept area
  uint16_t length;
  uint16_t storedLength;
};

// What is left of the budget after the spine must hold the kept records,
// the bookkeeping and a whole state (a prediction table is 32 KB) with
// room to spare for the local set.
static_assert(CheckpointBudget - SpineBudget >=
                  KeptBytes + (SpineSlots + LocalSlots) * sizeof(Checkpoint) +
                      KeptSlots * sizeof(KeptRecord) + (64u << 10) + (64u << 10),
              "the checkpoint budget does not cover its parts");

}  // namespace

struct DecoderCheckpoints {
  uint32_t method;         // the method the copies were taken under
  uint32_t stateSize;      // the most bytes one copy takes
  CheckpointSet spine;
  CheckpointSet local;
  uint32_t spineEvictions; // spine copies dropped to make room
  uint32_t sinceSpine;     // records decoded since the last spine copy or anchor
  uint32_t localEvery;     // records between local copies of this replay; 0: none
  uint32_t localUntil;     // records of this replay that get local copies
  uint32_t replayIndex;    // records decoded since the replay began
  uint32_t trusted;        // 0: the decoder may be out of step with the chain
  uint32_t lastSize;       // bytes of the latest copy taken
  uint8_t* scratch;        // stateSize bytes: a copy is taken here, then sized
  KeptRecord* kept;        // KeptSlots entries, ascending positions
  uint32_t keptCount;
  uint32_t keptUsed;       // bytes of keptData in use
  uint8_t* keptData;       // KeptBytes, allocated by the first replay that keeps
  uint32_t keptReplaced;   // 1: the next record kept replaces those kept
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

// The copy's block goes to the blocks kept for later copies.
void Release(CheckpointSet* set, const Checkpoint& c) {
  set->bytes -= c.size;
  KeepStateBlock(c.state, c.size);
}

void ClearSet(CheckpointSet* set) {
  for (uint32_t i = 0; i < set->count; ++i) Release(set, set->slots[i]);
  set->count = 0;
}

bool SpineFull(const DecoderCheckpoints* cp) {
  const CheckpointSet& spine = cp->spine;
  return spine.count == spine.capacity || spine.bytes + cp->lastSize > spine.byteLimit;
}

// Drops the spine copy whose neighbours lie closest together (the file's
// first record, a reset point, stands left of the first copy), so that
// the copies stay evenly spread however long the file grows. The last copy
// stays: a walk forwards goes on from it.
void EvictSpineCopy(DecoderCheckpoints* cp) {
  CheckpointSet& spine = cp->spine;
  if (spine.count < 2) return;
  uint32_t best = 0;
  uint32_t bestSpan = UINT32_MAX;
  for (uint32_t i = 0; i + 1 < spine.count; ++i) {
    uint32_t left = i == 0 ? FirstItemPosition : spine.slots[i - 1].position;
    uint32_t span = spine.slots[i + 1].position - left;
    if (span < bestSpan) {
      bestSpan = span;
      best = i;
    }
  }
  Release(&spine, spine.slots[best]);
  std::memmove(spine.slots + best, spine.slots + best + 1,
               (spine.count - best - 1) * sizeof(Checkpoint));
  spine.count--;
  cp->spineEvictions++;
}

// Once the spine is full, a new copy is worth taking only where it lies at
// least the average distance between copies from both its neighbours.
bool SpineGapAt(const DecoderCheckpoints* cp, uint32_t position) {
  const CheckpointSet& spine = cp->spine;
  if (spine.count < 2) return true;
  uint32_t average = (spine.slots[spine.count - 1].position - spine.slots[0].position) /
                     (spine.count - 1);
  int32_t f = FloorIndex(spine, position);
  uint32_t left = f >= 0 ? spine.slots[f].position : FirstItemPosition;
  bool last = static_cast<uint32_t>(f + 1) >= spine.count;
  return position - left >= average && (last || spine.slots[f + 1].position - position >= average);
}

// While the spine has room, a new copy lies at least the spacing that
// spreads as many copies as it has room for over the data the file holds
// now. A first walk through the file then fills the spine evenly once,
// instead of filling it densely over the file's start and dropping most of
// those copies again as the walk goes on: each copy taken costs a state's
// worth of copying, more than decoding a few short records does.
bool SpineSpacingAt(const DecoderCheckpoints* cp, const Store* store, uint32_t position) {
  const CheckpointSet& spine = cp->spine;
  uint32_t room = (spine.byteLimit - spine.bytes) / cp->lastSize;
  if (room > spine.capacity - spine.count) room = spine.capacity - spine.count;
  if (room == 0) return true;
  int32_t f = FloorIndex(spine, position);
  uint32_t left = f >= 0 ? spine.slots[f].position : FirstItemPosition;
  uint32_t end = store->endOfData > position ? store->endOfData : position;
  return position - left >= (end - left) / (room + 1);
}

// Copies the decoder's state into a new checkpoint at position (the set
// holds nothing at position). A full spine drops a copy to make room; a
// local set without room takes no copy.
void Save(DecoderCheckpoints* cp, const Store* store, CheckpointSet* set, uint32_t position) {
  // A local copy the size of the last would not fit: do not take it.
  if (set != &cp->spine && set->bytes + cp->lastSize > set->byteLimit) return;
  if (set->count == set->capacity) {
    if (set != &cp->spine) return;
    EvictSpineCopy(cp);
  }
  const uint32_t saved = SaveDecoderState(store, cp->scratch);
  if (saved == 0) return;
  uint32_t size = saved;
  uint8_t* state = TakeStateBlock(saved, &size);
  if (state == nullptr) {
    state = static_cast<uint8_t*>(MemAlloc(saved));
    if (state == nullptr) return;
  }
  while (set->bytes + size > set->byteLimit) {
    if (set != &cp->spine || set->count < 2) {
      KeepStateBlock(state, size);
      return;
    }
    EvictSpineCopy(cp);
  }
  std::memcpy(state, cp->scratch, saved);
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
  size_t bookkeeping = sizeof(DecoderCheckpoints) + slots * sizeof(Checkpoint) +
                       KeptSlots * sizeof(KeptRecord);
  auto* block = static_cast<uint8_t*>(MemAllocZero(bookkeeping + stateSize));
  if (block == nullptr) return nullptr;
  cp = reinterpret_cast<DecoderCheckpoints*>(block);
  auto* slotArea = reinterpret_cast<Checkpoint*>(block + sizeof(DecoderCheckpoints));
  cp->kept = reinterpret_cast<KeptRecord*>(slotArea + slots);
  cp->method = store->method;
  cp->stateSize = stateSize;
  cp->lastSize = stateSize;
  uint32_t localBytes = CheckpointBudget - SpineBudget - static_cast<uint32_t>(bookkeeping) -
                        stateSize - KeptBytes;
  cp->spine = CheckpointSet{slotArea, 0, SpineSlots, 0, SpineBudget};
  cp->local = CheckpointSet{slotArea + SpineSlots, 0, LocalSlots, 0, localBytes};
  cp->scratch = block + bookkeeping;
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
  // The records the replay will keep, the last ones before its target,
  // need no copies: judged by the records the last replay kept, a quarter
  // of the kept area's worth.
  uint32_t averageLength = cp->keptCount != 0 ? cp->keptUsed / cp->keptCount : 1024;
  uint32_t keepable = KeptBytes / 4 / (averageLength != 0 ? averageLength : 1);
  if (keepable > KeptSlots / 2) keepable = KeptSlots / 2;
  // The records kept are those of this replay alone, once it keeps one.
  cp->keptReplaced = 1;
  if (!makeLocal || records < keepable + 2 * MinLocalInterval) return;
  // A new stretch walked backwards, longer than what is kept: spread the
  // local copies over the part before it.
  cp->localUntil = records - keepable;
  ClearSet(&cp->local);
  // As many copies as the set has bytes for, judged by the last copy.
  uint32_t room = cp->local.byteLimit / cp->lastSize;
  if (room > cp->local.capacity) room = cp->local.capacity;
  if (room == 0) return;
  uint32_t every = (cp->localUntil + room - 1) / room;
  cp->localEvery = every < MinLocalInterval ? MinLocalInterval : every;
}

void CheckpointsBeforeDecode(Store* store, uint32_t position, bool replay) {
  if (!IsChainedMethod(store->method)) return;
  DecoderCheckpoints* cp = Ensure(store);
  if (cp == nullptr || cp->trusted == 0) return;
  if (replay && cp->localEvery != 0) {
    uint32_t index = cp->replayIndex++;
    if (index != 0 && index % cp->localEvery == 0 && index < cp->localUntil &&
        cp->local.count < cp->local.capacity &&
        !Holds(cp->local, position)) {
      Save(cp, store, &cp->local, position);
    }
  }
  if (Holds(cp->spine, position)) {
    cp->sinceSpine = 1;
    return;
  }
  if (cp->sinceSpine >= FirstSpineInterval &&
      (SpineFull(cp) ? SpineGapAt(cp, position) : SpineSpacingAt(cp, store, position))) {
    Save(cp, store, &cp->spine, position);
    cp->sinceSpine = 0;
  }
  cp->sinceSpine++;
}

uint8_t* KeptRecordArea(Store* store, uint32_t length) {
  DecoderCheckpoints* cp = store->checkpoints;
  if (cp == nullptr || cp->method != store->method || length > KeptBytes / 2) return nullptr;
  if (cp->keptData == nullptr) {
    cp->keptData = TakeReplayArea();
    if (cp->keptData == nullptr) cp->keptData = static_cast<uint8_t*>(MemAlloc(KeptBytes));
    if (cp->keptData == nullptr) return nullptr;
  }
  if (cp->keptReplaced != 0) {
    cp->keptReplaced = 0;
    cp->keptCount = 0;
    cp->keptUsed = 0;
  }
  if (cp->keptCount == KeptSlots || cp->keptUsed + length > KeptBytes) {
    // Full: drop the records farthest from the target so that the newest
    // half stays, and move them to the front.
    uint32_t drop = 0;
    while (drop < cp->keptCount && (cp->keptCount - drop > KeptSlots / 2 ||
                                    cp->keptUsed - cp->kept[drop].offset + length > KeptBytes / 2)) {
      drop++;
    }
    uint32_t from = drop < cp->keptCount ? cp->kept[drop].offset : cp->keptUsed;
    std::memmove(cp->keptData, cp->keptData + from, cp->keptUsed - from);
    cp->keptUsed -= from;
    cp->keptCount -= drop;
    for (uint32_t i = 0; i < cp->keptCount; ++i) {
      cp->kept[i] = cp->kept[i + drop];
      cp->kept[i].offset -= from;
    }
  }
  return cp->keptData + cp->keptUsed;
}

void KeepDecodedRecord(Store* store, uint32_t position, const ItemHeader& header) {
  DecoderCheckpoints* cp = store->checkpoints;
  if (cp == nullptr || cp->keptData == nullptr || cp->keptCount == KeptSlots) return;
  // A replay moves forwards only: anything not below position is stale.
  if (cp->keptCount > 0 && cp->kept[cp->keptCount - 1].position >= position) {
    cp->keptCount = 0;
    cp->keptUsed = 0;
    return;
  }
  cp->kept[cp->keptCount++] = KeptRecord{position, cp->keptUsed, header.length, header.storedLength};
  cp->keptUsed += header.length;
}

namespace {

// The index of the first kept record at or after position; keptCount when
// there is none.
uint32_t FirstKeptFrom(const DecoderCheckpoints* cp, uint32_t position) {
  uint32_t lo = 0, hi = cp->keptCount;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (cp->kept[mid].position < position) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace

uint32_t KeptRecordsBefore(const Store* store, uint32_t position) {
  const DecoderCheckpoints* cp = Current(store);
  if (cp == nullptr) return 0;
  const uint32_t lo = FirstKeptFrom(cp, position);
  uint32_t count = 0;
  uint64_t end = position;
  for (uint32_t i = lo; i > 0; --i) {
    const KeptRecord& k = cp->kept[i - 1];
    if (uint64_t{k.position} + RecordOverhead + k.storedLength != end) break;
    end = k.position;
    ++count;
  }
  return count;
}

const uint8_t* FindKeptRecord(const Store* store, uint32_t position, const ItemHeader& header) {
  const DecoderCheckpoints* cp = Current(store);
  if (cp == nullptr || cp->keptCount == 0) return nullptr;
  const uint32_t lo = FirstKeptFrom(cp, position);
  if (lo == cp->keptCount) return nullptr;
  const KeptRecord& k = cp->kept[lo];
  if (k.position != position || k.length != header.length ||
      k.storedLength != header.storedLength) {
    return nullptr;
  }
  return cp->keptData + k.offset;
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
  KeepReplayArea(cp->keptData);
  MemFree(cp);
  store->checkpoints = nullptr;
}

void GetCheckpointStats(const Store* store, CheckpointStats* out) {
  std::memset(out, 0, sizeof *out);
  const DecoderCheckpoints* cp = Current(store);
  if (cp == nullptr) return;
  out->spineCount = cp->spine.count;
  out->spineCapacity = cp->spine.capacity;
  out->spineEvictions = cp->spineEvictions;
  out->localCount = cp->local.count;
  out->localCapacity = cp->local.capacity;
  out->stateBytes = cp->spine.bytes + cp->local.bytes;
  out->keptRecords = cp->keptCount;
  out->keptBytes = cp->keptUsed;
}

}  // namespace varnfile
