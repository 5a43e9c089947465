// Decoder checkpoints for the chained methods. Reading a record of a chain
// needs the decoder state that decoding every record since the last reset
// point leaves behind, so stepping back in a chain used to mean decoding the
// chain again from its reset point: a backward walk cost time quadratic in
// the chain's length. The record layer therefore keeps, per open file,
// copies of the decoder's carried state (the DEFLATE window and cursor, or
// the prediction table) taken at record positions it has decoded through,
// and a seek starts from the nearest copy at or before its target.
//
// Two sets share a fixed memory budget per file (CheckpointBudget):
//  - the spine: copies of the states met while decoding, at least
//    FirstSpineInterval records apart and, while the spine has room, far
//    enough apart that the copies it has room for would cover the data
//    the file holds (one walk through a file fills it evenly). When the
//    spine is full, a new copy is taken only where it lies the average
//    distance between copies from both neighbours, and the copy whose
//    neighbours lie closest together makes room, so the copies stay
//    evenly spread however long the file grows;
//  - the local set: made while a seek replays backwards from a spine copy
//    (or a reset point) to its target, a copy every few records of that
//    stretch, so that the next steps back (the item cache reads windows of
//    records walking backwards) replay only a few records each.
// A copy is the state that reading the record at its position needs, so
// restoring it gives exactly what replaying would: results, positions and
// file bytes do not depend on the checkpoints, only the time does.
//
// Besides the copies, the latest replay keeps the data it decoded (up to
// KeptBytes, the records nearest its target). The item cache takes the
// records of a backward window from there instead of decoding them again:
// walking backwards, the replay that reaches a record has already decoded
// the records the next windows want, so each record is decoded about once.
//
// Nothing here fails: a copy that cannot be allocated is simply not taken.
// The copies are dropped when the method changes and when the file closes
// (SetCompressionMethod); their memory is kept for later copies, of this
// file or the next (TakeStateBlock in codec_spares.h).
#ifndef VARNFILE_STORE_DECODER_CHECKPOINTS_H_
#define VARNFILE_STORE_DECODER_CHECKPOINTS_H_

#include <cstdint>

#include "base/result_code.h"
#include "store/file_format.h"

namespace varnfile {

struct Store;

// Memory the checkpoints of one open file may take, bookkeeping included:
// thirteen sixteenths of it for the spine, the rest for the kept records
// and the local set. A DEFLATE
// state is its 8 KB window and cursor; a prediction table is kept as the
// slots that differ from a fresh table (a few KB for text) or whole (32 KB).
constexpr uint32_t CheckpointBudget = 2u << 20;
// Fewest records decoded in sequence between two spine copies.
constexpr uint32_t FirstSpineInterval = 8;
// Fewest records between two local copies.
constexpr uint32_t MinLocalInterval = 4;
// Decoded bytes and records a replay keeps at most.
constexpr uint32_t KeptBytes = 192u << 10;
constexpr uint32_t KeptSlots = 2048;

// The nearest checkpoint at or before position: its position, or 0 when
// there is none. *isLocal (if given) tells which set it belongs to.
uint32_t FindCheckpoint(const Store* store, uint32_t position, bool* isLocal);

// Puts the decoder into the state saved at `position` (a position that
// FindCheckpoint returned). 272 when the decoder cannot be created.
ResultCode RestoreCheckpoint(Store* store, uint32_t position);

// A seek is about to replay `records` records (known when going backwards,
// else 0) from a reset point or checkpoint; `makeLocal` asks for local
// copies along the way (a backward seek that did not start from one).
void CheckpointsBeginReplay(Store* store, uint32_t records, bool makeLocal);

// The decoder, in step with the chain, is about to decode the record at
// `position`: during a seek's replay (`replay`) or a sequential read. May
// take a copy of its state.
void CheckpointsBeforeDecode(Store* store, uint32_t position, bool replay);

// Where a replay may decode the record it is about to pass, `length` bytes,
// to keep it; null when it cannot be kept. KeepDecodedRecord then files it.
uint8_t* KeptRecordArea(Store* store, uint32_t length);
void KeepDecodedRecord(Store* store, uint32_t position, const ItemHeader& header);

// The decoded data of the record at position, when the latest replay kept
// it and its lengths are those of header; else null.
const uint8_t* FindKeptRecord(const Store* store, uint32_t position, const ItemHeader& header);

// How many of the records just before position the latest replay kept: the
// length of the run of kept records, one after the other in the file, that
// ends where position begins. 0 when the record before it was not kept.
uint32_t KeptRecordsBefore(const Store* store, uint32_t position);

// The decoder was reset at a reset point.
void CheckpointsAfterReset(Store* store);

// The record at `recordPosition` (the last of the file) has just become a
// reset point. Copies taken behind it are dropped, and if the decoder had
// already decoded past it without a reset, no copies are taken until the
// decoder is next reset or restored.
void CheckpointsChainEnded(Store* store, uint32_t recordPosition);

// Frees every copy; the store keeps none until the next decode.
void DropDecoderCheckpoints(Store* store);

// What the checkpoints of a store hold (for tests and measurements).
struct CheckpointStats {
  uint32_t spineCount;
  uint32_t spineCapacity;
  uint32_t spineEvictions;  // copies dropped to make room
  uint32_t localCount;
  uint32_t localCapacity;
  uint32_t stateBytes;  // bytes of saved state held, free copies included
  uint32_t keptRecords;
  uint32_t keptBytes;   // bytes the kept records take (their area is KeptBytes)
};
void GetCheckpointStats(const Store* store, CheckpointStats* out);

}  // namespace varnfile

#endif  // VARNFILE_STORE_DECODER_CHECKPOINTS_H_
