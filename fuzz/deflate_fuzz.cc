// Compresses arbitrary bytes as a sequence of records, with arbitrary output
// room per call and input fed in pieces, and checks that every record's
// stream is the one a single call with ample room gives (and a fresh
// context's, when nothing precedes it), fits the block codec's area, and
// decodes with zlib (the chain's earlier records as dictionary) and with
// our decoder carried along the same chain.
//
// Input: bytes 0 and 1 choose the output room (8..4103), byte 2 the input
// piece size for flush mode 0 (< 128: everything at once), byte 3 the record
// count (1..4) and per record the mode; the rest is the data.
#include "store/block_codec.h"
#include "codec_fuzz.h"

using namespace codec_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > 300000) return 0;
  const size_t room = 8 + ((data[0] | (data[1] << 8)) % 4096);
  const size_t piece = data[2] < 128 ? 0 : 1 + (data[2] - 128) * 37;
  const uint32_t records = 1 + (data[3] & 3);
  Engines pieces, whole;
  Bytes history;  // the chain so far
  for (size_t r = 0, offset = 4; r < records; ++r) {
    size_t length = r + 1 == records ? size - offset : (size - offset) / 2;
    Bytes record(data + offset, data + offset + length);
    offset += length;
    const uint32_t mode = (data[3] >> (2 + r)) & 1 ? DeflateFlushReset : DeflateFlushChained;
    int calls = 0;
    Bytes stream = Compress(pieces.deflate, record, mode, room, piece);
    Check(stream == Compress(whole.deflate, record, mode, 0, 0, &calls) && calls == 1);
    Check(stream.size() <= CompressedCapacity(MethodDeflate, static_cast<uint32_t>(length)));
    Check(ZlibGives(stream, record, history));
    Decoded ours = InflateOnce(pieces.inflate, stream, length + 1, mode);
    Check(ours.result == 1 && ours.out == record);
    // Nothing to refer back to: the stream of a fresh context.
    if (history.empty()) Check(Compress(Engines().deflate, record, mode) == stream);
    if (mode == DeflateFlushReset) history.clear();
    else history.insert(history.end(), record.begin(), record.end());
  }
  return 0;
}
