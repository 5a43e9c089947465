// Helpers shared by the codec fuzz targets and the codec tests: a check
// that traps, DEFLATE contexts that free themselves, our decoder called
// once or resumed over input pieces and output rooms, and zlib's raw
// decoder (8 KB window) as the independent oracle.
#ifndef VARNFILE_FUZZ_CODEC_FUZZ_H_
#define VARNFILE_FUZZ_CODEC_FUZZ_H_

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec/deflate.h"
#include "codec/inflate.h"
#include "base/memory.h"

namespace codec_fuzz {

using Bytes = std::vector<uint8_t>;
using namespace varnfile;

inline void Check(bool ok) { if (!ok) __builtin_trap(); }

struct Engines {
  DeflateContext* deflate = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
  InflateContext* inflate = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
  Engines() { Check(DeflateInit(deflate, 0, 0) == 0 && InflateInit(inflate, 0) == 0); }
  ~Engines() { DeflateEnd(deflate), InflateEnd(inflate), MemFree(deflate), MemFree(inflate); }
};

// result 1: the stream ended; state: our decoder's after its last call,
// made in lastMode.
struct Decoded {
  Bytes out;
  size_t consumed = 0;
  uint32_t result = 0, state = 0, lastMode = 0;
};

// One call of our decoder over `stream` with `room` bytes of output; never
// writes past the room. The 3 readable bytes behind the stream are not zero,
// so that a decoder taking them for stream bits shows it.
inline Decoded InflateOnce(InflateContext* context, const Bytes& stream, size_t room,
                           uint32_t mode) {
  Bytes in(stream);
  in.insert(in.end(), 3, 0xA5);
  Decoded run;
  run.out.assign(room + 1, 0xEE);
  uint32_t inputLength = static_cast<uint32_t>(stream.size()), outputLength = static_cast<uint32_t>(room);
  run.result = Inflate(in.data(), &inputLength, run.out.data(), &outputLength, context, mode);
  Check(inputLength <= stream.size() && outputLength <= room && run.out[room] == 0xEE);
  run.out.resize(outputLength);
  run.consumed = inputLength, run.state = context->state, run.lastMode = mode;
  return run;
}

// Input in pieces (mode 0, the last piece in finalMode) and `room` bytes of
// output per call, at most `maxCalls` calls and 64 KB. A call without
// progress gets room for any step next time, and so does every call once
// the input is used up. A call without input that writes nothing ends the
// run; in a nonzero mode it counts as the stream's end only in a finished
// state.
inline Decoded Decode(InflateContext* context, const Bytes& stream, size_t piece, size_t room,
                  uint32_t finalMode, int maxCalls = 100000) {
  Decoded run;
  size_t roomNow = room;
  for (int call = 0; call < maxCalls && run.out.size() < (1 << 16); ++call) {
    size_t left = stream.size() - run.consumed, give = std::min(left, piece);
    if (left == 0) roomNow = 258;
    Bytes input(stream.begin() + run.consumed, stream.begin() + run.consumed + give);
    roomNow = std::min<size_t>(roomNow, (1 << 16) - run.out.size());
    Decoded step = InflateOnce(context, input, roomNow, give == left ? finalMode : 0);
    run.out.insert(run.out.end(), step.out.begin(), step.out.end());
    run.consumed += step.consumed;
    run.result = step.result, run.state = step.state, run.lastMode = step.lastMode;
    bool stuck = give == 0 && step.out.empty();
    if (run.result == 1 && stuck && run.state > InflateStopped) run.result = 0;
    if (run.result == 1 || stuck) break;
    roomNow = (step.consumed == 0 && step.out.empty()) ? 258 : room;
  }
  return run;
}

// Compresses `data` as one stream into `room` bytes of output per call (0:
// ample room). Input arrives `piece` bytes at a time (0: all at once) under
// flush mode 0, a call that makes no progress asking for more, then the
// rest with `mode`. *calls counts the DeflateCompress calls.
inline Bytes Compress(DeflateContext* context, const Bytes& data, uint32_t mode, size_t room = 0,
                      size_t piece = 0, int* calls = nullptr) {
  if (room == 0) room = data.size() + data.size() / 4 + 1024;
  Bytes stream, out(room);
  size_t consumed = 0, received = piece == 0 ? data.size() : 0;
  long budget = 64 + static_cast<long>(data.size() * 4 + (data.size() / room + 1) * 64);
  int count = 0;
  for (uint32_t done = 0; !done;) {
    Check(--budget > 0);
    const bool more = received < data.size();
    if (more) received = std::min(received + piece, data.size());
    for (uint32_t in = 1, written = 1; !done && (in != 0 || written != 0);) {
      in = static_cast<uint32_t>(received - consumed);
      written = static_cast<uint32_t>(room);
      ++count;
      done = DeflateCompress(data.data() + consumed, &in, out.data(), &written, context,
                             more ? 0 : mode);
      Check(--budget > 0 && written <= room && (done == 0 || !more));
      consumed += in;
      stream.insert(stream.end(), out.begin(), out.begin() + written);
      if (!more && !done) in = 1;  // finishing: keep calling until done
    }
  }
  Check(consumed == data.size());
  if (calls != nullptr) *calls = count;
  return stream;
}

// zlib's raw decoder with up to `room` bytes of output and the last 8 KB of
// `history` as its dictionary.
inline Decoded Zlib(const Bytes& stream, size_t room, const Bytes& history = Bytes()) {
  z_stream z{};
  Decoded run;
  Check(inflateInit2(&z, -13) == Z_OK);
  size_t keep = std::min<size_t>(history.size(), WindowSize);
  if (keep != 0) inflateSetDictionary(&z, history.data() + history.size() - keep, uInt(keep));
  Bytes in(stream);
  run.out.assign(room, 0);
  z.next_in = in.data(), z.avail_in = static_cast<uInt>(in.size());
  z.next_out = run.out.data(), z.avail_out = static_cast<uInt>(room);
  run.result = inflate(&z, Z_FINISH) == Z_STREAM_END ? 1 : 0;
  run.out.resize(z.total_out);
  run.consumed = z.total_in;
  inflateEnd(&z);
  return run;
}

// zlib decodes `stream` to exactly `data`, ending at its last byte.
inline bool ZlibGives(const Bytes& stream, const Bytes& data, const Bytes& history = Bytes()) {
  Decoded run = Zlib(stream, data.size() + 1, history);
  return run.result == 1 && run.consumed == stream.size() && run.out == data;
}

}  // namespace codec_fuzz

#endif  // VARNFILE_FUZZ_CODEC_FUZZ_H_
