// The codec state a closed file leaves for the next one: one DEFLATE
// compressor context, one decompressor context and two prediction tables,
// kept until the library is unloaded. A compressor context holds about 200 KB
// of tables; freed at every close and allocated again at the next file's
// first item, its pages went back to the system and were faulted in anew,
// which cost a small compressed file most of its time.
//
// Taken state behaves as new: a compressor context is reset (its output
// depends only on the input since), a decompressor context is cleared
// (nothing decoded for another file shows through a damaged stream), a
// prediction table is refilled. Like every store call, these run under the
// library lock.
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

// Releases everything kept (for tests that count allocations).
void DropCodecSpares();

}  // namespace varnfile

#endif  // VARNFILE_STORE_CODEC_SPARES_H_
