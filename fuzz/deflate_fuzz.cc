// Compresses arbitrary bytes as a sequence of records, with arbitrary output
// room per call and input fed in pieces, and checks that
//  - every record's stream decodes with zlib (raw, 8 KB window), given the
//    earlier records of a chain as its dictionary, and with our decoder
//    carried along the same chain;
//  - the stream is the one a single call with ample room gives;
//  - a record after an independent one (mode 3) is the stream a fresh
//    context gives for it;
//  - a stream is at most 80 bytes longer than its record (the room the
//    block codec gives for records up to 65,535 bytes).
//
// Input layout: byte 0 and 1 choose the output room (8..4103), byte 2 the
// input piece size for flush mode 0 (0 = everything at once), byte 3 the
// record count (1..4) and per record the mode; the rest is the data.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/deflate.h"
#include "codec/inflate.h"
#include "platform/memory.h"

namespace {

using varnfile::DeflateCompress;
using varnfile::DeflateContext;
using Bytes = std::vector<uint8_t>;

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Decoder {
  varnfile::InflateContext* context;
  Decoder() {
    context = static_cast<varnfile::InflateContext*>(
        varnfile::MemAlloc(varnfile::InflateContextSize()));
    Check(context != nullptr && varnfile::InflateInit(context, 0) == 0);
  }
  ~Decoder() {
    varnfile::InflateEnd(context);
    varnfile::MemFree(context);
  }
  void Verify(const Bytes& stream, const uint8_t* data, size_t size, uint32_t mode) {
    Bytes input(stream);
    input.resize(stream.size() + 3);
    Bytes out(size + 1);
    uint32_t in = static_cast<uint32_t>(stream.size());
    uint32_t room = static_cast<uint32_t>(out.size());
    Check(varnfile::Inflate(input.data(), &in, out.data(), &room, context, mode) == 1);
    Check(room == size && (size == 0 || std::memcmp(out.data(), data, size) == 0));
  }
};

struct Context {
  DeflateContext* context;
  Context() {
    context = static_cast<DeflateContext*>(varnfile::MemAlloc(varnfile::DeflateContextSize()));
    Check(context != nullptr && varnfile::DeflateInit(context, 0, 0) == 0);
  }
  ~Context() {
    varnfile::DeflateEnd(context);
    varnfile::MemFree(context);
  }
};

Bytes CompressWhole(DeflateContext* context, const uint8_t* data, size_t size, uint32_t mode) {
  Bytes out(size + size / 4 + 1024);
  uint32_t in = static_cast<uint32_t>(size);
  uint32_t room = static_cast<uint32_t>(out.size());
  Check(DeflateCompress(data, &in, out.data(), &room, context, mode) == 1);
  Check(in == size);
  out.resize(room);
  return out;
}

Bytes CompressInPieces(DeflateContext* context, const uint8_t* data, size_t size, uint32_t mode,
                       uint32_t room, uint32_t piece) {
  Bytes stream;
  Bytes out(room);
  size_t consumed = 0;
  size_t received = piece == 0 ? size : 0;
  long budget = 64 + static_cast<long>(size) * 4 + static_cast<long>(size / room + 1) * 64;
  // Input arrives `piece` bytes at a time under flush mode 0; a call that
  // makes no progress asks for more.
  while (received < size) {
    received = received + piece < size ? received + piece : size;
    for (;;) {
      Check(--budget > 0);
      uint32_t in = static_cast<uint32_t>(received - consumed);
      uint32_t written = room;
      Check(DeflateCompress(data + consumed, &in, out.data(), &written, context, 0) == 0);
      Check(written <= room && in <= received - consumed);
      consumed += in;
      stream.insert(stream.end(), out.begin(), out.begin() + written);
      if (in == 0 && written == 0) break;
    }
  }
  for (;;) {
    Check(--budget > 0);
    uint32_t in = static_cast<uint32_t>(size - consumed);
    uint32_t written = room;
    uint32_t done = DeflateCompress(data + consumed, &in, out.data(), &written, context, mode);
    Check(written <= room);
    consumed += in;
    stream.insert(stream.end(), out.begin(), out.begin() + written);
    if (done) break;
  }
  Check(consumed == size);
  return stream;
}

void CheckInflates(const Bytes& stream, const uint8_t* data, size_t size, const Bytes& history) {
  z_stream z;
  std::memset(&z, 0, sizeof(z));
  Check(inflateInit2(&z, -13) == Z_OK);
  if (!history.empty()) {
    size_t keep = history.size() > 8192 ? 8192 : history.size();
    Check(inflateSetDictionary(&z, history.data() + history.size() - keep,
                               static_cast<uInt>(keep)) == Z_OK);
  }
  Bytes out(size + 1);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  Check(inflate(&z, Z_FINISH) == Z_STREAM_END);
  Check(z.avail_in == 0 && z.total_out == size);
  Check(size == 0 || std::memcmp(out.data(), data, size) == 0);
  inflateEnd(&z);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > 300000) return 0;
  const uint32_t room = 8 + ((data[0] | (data[1] << 8)) % 4096);
  const uint32_t piece = data[2] < 128 ? 0 : 1 + (data[2] - 128) * 37;
  const uint32_t records = 1 + (data[3] & 3);
  const uint8_t* payload = data + 4;
  const size_t payloadSize = size - 4;

  Context pieces, whole;
  Decoder decoder;
  Bytes history;  // the chain so far
  size_t offset = 0;
  for (uint32_t r = 0; r < records; ++r) {
    size_t length = r + 1 == records ? payloadSize - offset : (payloadSize - offset) / 2;
    const uint8_t* record = payload + offset;
    offset += length;
    const uint32_t mode = (data[3] >> (2 + r)) & 1 ? 3 : 2;

    Bytes stream = CompressInPieces(pieces.context, record, length, mode, room, piece);
    Bytes expected = CompressWhole(whole.context, record, length, mode);
    Check(stream == expected);
    Check(stream.size() <= length + 80);
    CheckInflates(stream, record, length, history);
    decoder.Verify(stream, record, length, mode);
    if (history.empty()) {
      // Nothing to refer back to: the stream of a fresh context.
      Context fresh;
      Check(CompressWhole(fresh.context, record, length, mode) == stream);
    }
    if (mode == 3) {
      history.clear();
    } else {
      history.insert(history.end(), record, record + length);
    }
  }
  return 0;
}
