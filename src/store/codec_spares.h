// The codec state a closed file leaves for the next one: one DEFLATE
// compressor context, one decompressor context, two prediction tables and
// the memory of its decoder checkpoints, kept until the library is
// unloaded. A compressor context holds about 200 KB of tables; freed at
// every close and allocated again at the next file's first item, its pages
// went back to the system and were faulted in anew, which cost a small
// compressed file most of its time.
//
// Taken state behaves as new: a compressor context is reset (its output
// depends only on the input since), a decompressor context is cleared
// (nothing decoded for another file shows through a damaged stream), a
// prediction table is refilled; a checkpoint block is written over before
// it is read. Like every store call, these run under the library lock.
#ifndef VARNFILE_STORE_CODEC_SPARES_H_
#define VARNFILE_STORE_CODEC_SPARES_H_

#include <cstdint>

namespace varnfile {

struct DeflateContext;
struct InflateContext;

// A kept context or table, ready for use; null when none is kept (the
// caller allocates one).
DeflateContext* TakeSpareDeflate(uint32_t level);
InflateContext* TakeSpareInflate();
uint8_t* TakeSparePredictorTable();

// Keeps a context or table that a file no longer needs, or releases it when
// the places are taken. Null is ignored.
void KeepDeflate(DeflateContext* context);
void KeepInflate(InflateContext* context);
void KeepPredictorTable(uint8_t* table);

// The memory of decoder checkpoints (copies of a chained decoder's state,
// and the area a replay keeps decoded records in) that closed files or
// dropped copies left: taken by the next copies, they spare them an
// allocation and the faults of fresh pages, which cost a first walk
// through a chained file about a third of its time. At most
// KeptStateBytes of copies are kept, and one area.
// TakeStateBlock: a kept block of at least size bytes and at most a
// quarter more (its size in *capacity), or null.
// KeepStateBlock: keeps the block of capacity bytes, or releases it when
// the kept ones would then exceed KeptStateBytes.
constexpr uint32_t KeptStateBytes = 2u << 20;
uint8_t* TakeStateBlock(uint32_t size, uint32_t* capacity);
void KeepStateBlock(uint8_t* block, uint32_t capacity);
uint8_t* TakeReplayArea();
void KeepReplayArea(uint8_t* area);

// Releases everything kept: when the library is unloaded, and for tests
// that count allocations.
void DropCodecSpares();

}  // namespace varnfile

#endif  // VARNFILE_STORE_CODEC_SPARES_H_
