// Compresses arbitrary bytes as a sequence of records, with arbitrary output
// room per call and input fed in pieces, and checks that every record's
// stream decodes with zlib (raw, 8 KB window, the earlier records of a chain
// as dictionary) and with our decoder carried along the same chain; that it
// is the stream a single call with ample room gives (and a fresh context,
// when nothing precedes it); and that it is at most 80 bytes longer than
// the record (the room the block codec gives).
//
// Input: bytes 0 and 1 choose the output room (8..4103), byte 2 the input
// piece size for flush mode 0 (< 128: everything at once), byte 3 the record
// count (1..4) and per record the mode; the rest is the data.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/deflate.h"
#include "codec/inflate.h"
#include "platform/memory.h"

namespace {

using namespace varnfile;
using Bytes = std::vector<uint8_t>;

int calls = 0;  // DeflateCompress calls of the last Compress

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Contexts {
  DeflateContext* deflate = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
  InflateContext* inflate = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
  Contexts() { Check(deflate && inflate && DeflateInit(deflate, 0, 0) == 0 && InflateInit(inflate, 0) == 0); }
  ~Contexts() {
    DeflateEnd(deflate);
    InflateEnd(inflate);
    MemFree(deflate);
    MemFree(inflate);
  }
};

// Input arrives `piece` bytes at a time under flush mode 0 (a call that
// makes no progress asks for more), then the rest with `mode`.
Bytes Compress(DeflateContext* context, const uint8_t* data, size_t size, uint32_t mode, uint32_t room,
               size_t piece) {
  Bytes stream, out(room);
  size_t consumed = 0, received = piece == 0 ? size : 0;
  calls = 0;
  long budget = 64 + static_cast<long>(size) * 4 + static_cast<long>(size / room + 1) * 64;
  for (uint32_t done = 0; !done;) {
    Check(--budget > 0);
    const bool more = received < size;
    if (more) received = received + piece < size ? received + piece : size;
    for (uint32_t in = 1, written = 1; !done && (in != 0 || written != 0);) {
      in = static_cast<uint32_t>((more ? received : size) - consumed);
      written = room;
      ++calls;
      done = DeflateCompress(data + consumed, &in, out.data(), &written, context, more ? 0 : mode);
      Check(--budget > 0 && written <= room && (done == 0 || !more));
      consumed += in;
      stream.insert(stream.end(), out.begin(), out.begin() + written);
      if (!more && !done) in = 1;  // finishing: keep calling until done
    }
  }
  Check(consumed == size);
  return stream;
}

void CheckZlib(const Bytes& stream, const uint8_t* data, size_t size, const Bytes& history) {
  z_stream z;
  std::memset(&z, 0, sizeof(z));
  Check(inflateInit2(&z, -13) == Z_OK);
  size_t keep = history.size() > 8192 ? 8192 : history.size();
  if (keep != 0) {
    Check(inflateSetDictionary(&z, history.data() + history.size() - keep, static_cast<uInt>(keep)) == Z_OK);
  }
  Bytes out(size + 1);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  Check(inflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_in == 0 && z.total_out == size);
  Check(size == 0 || std::memcmp(out.data(), data, size) == 0);
  inflateEnd(&z);
}

void CheckInflate(InflateContext* context, const Bytes& stream, const uint8_t* data, size_t size,
                  uint32_t mode) {
  Bytes input(stream), out(size + 1);
  input.resize(stream.size() + 3);  // the decoder reads 32 bits at a time
  uint32_t in = static_cast<uint32_t>(stream.size()), room = static_cast<uint32_t>(out.size());
  Check(Inflate(input.data(), &in, out.data(), &room, context, mode) == 1);
  Check(room == size && (size == 0 || std::memcmp(out.data(), data, size) == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > 300000) return 0;
  const uint32_t room = 8 + ((data[0] | (data[1] << 8)) % 4096);
  const size_t piece = data[2] < 128 ? 0 : 1 + (data[2] - 128) * 37;
  const uint32_t records = 1 + (data[3] & 3);
  const uint8_t* payload = data + 4;
  const size_t payloadSize = size - 4;
  Contexts pieces, whole;
  Bytes history;  // the chain so far
  for (size_t r = 0, offset = 0; r < records; ++r) {
    size_t length = r + 1 == records ? payloadSize - offset : (payloadSize - offset) / 2;
    const uint8_t* record = payload + offset;
    offset += length;
    const uint32_t mode = (data[3] >> (2 + r)) & 1 ? 3 : 2;
    Bytes stream = Compress(pieces.deflate, record, length, mode, room, piece);
    Check(stream == Compress(whole.deflate, record, length, mode, static_cast<uint32_t>(length + length / 4 + 1024), 0) &&
          calls == 1);
    Check(stream.size() <= length + 80);
    CheckZlib(stream, record, length, history);
    CheckInflate(pieces.inflate, stream, record, length, mode);
    if (history.empty()) {
      Contexts fresh;  // nothing to refer back to: the stream of a fresh context
      Check(Compress(fresh.deflate, record, length, mode, static_cast<uint32_t>(length + 1024), 0) == stream);
    }
    if (mode == 3) history.clear();
    else history.insert(history.end(), record, record + length);
  }
  return 0;
}
