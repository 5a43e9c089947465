// Decodes arbitrary bytes as DEFLATE streams in every mode, with arbitrary
// output room and input pieces, and checks the results against each other
// and against zlib (raw, 8 KB window) wherever zlib accepts the stream.
//
// Input layout: byte 0 selects the scenario, byte 1 the output room per
// call, byte 2 the input piece size, byte 3 where a second stream starts;
// the rest is the stream data.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/inflate.h"
#include "platform/memory.h"

namespace {

using varnfile::Inflate;
using varnfile::InflateContext;
using Bytes = std::vector<uint8_t>;

constexpr size_t OutputCap = 1 << 16;

#define CHECK(condition) \
  do {                     \
    if (!(condition)) __builtin_trap(); \
  } while (0)

struct Context {
  Context() : context(static_cast<InflateContext*>(varnfile::MemAlloc(varnfile::InflateContextSize()))) {
    CHECK(context != nullptr && varnfile::InflateInit(context, 0) == 0);
  }
  ~Context() {
    varnfile::InflateEnd(context);
    varnfile::MemFree(context);
  }
  InflateContext* context;
};

struct Run {
  Bytes out;
  uint32_t result = 0, state = 0, lastMode = 0;
  size_t consumed = 0;
};

// Input in pieces (mode 0, the last piece in finalMode) and `room` bytes of
// output per call, at most `maxCalls` calls. A call without progress gets
// room for any step next time, and so does every call once the input is
// used up: a call in a nonzero mode that is given no input and writes
// nothing counts as the end of the stream only in a finished state.
Run Decode(InflateContext* context, const Bytes& stream, size_t piece, uint32_t room,
           uint32_t finalMode, int maxCalls = 4000) {
  Bytes in(stream);
  in.insert(in.end(), 3, 0);
  Run run;
  run.out.assign(OutputCap + 1, 0);
  size_t written = 0, offset = 0;
  uint32_t roomNow = room;
  for (int call = 0; call < maxCalls && written < OutputCap; ++call) {
    size_t left = stream.size() - offset, give = std::min(left, piece);
    uint32_t mode = give == left ? finalMode : 0;
    if (left == 0) roomNow = 1 << 16;
    uint32_t thisRoom = static_cast<uint32_t>(std::min<size_t>(roomNow, OutputCap - written));
    run.out[written + thisRoom] = 0xEE;
    uint32_t inputLength = static_cast<uint32_t>(give), outputLength = thisRoom;
    run.result = Inflate(in.data() + offset, &inputLength, run.out.data() + written, &outputLength,
                         context, mode);
    CHECK(inputLength <= give && outputLength <= thisRoom && run.out[written + thisRoom] == 0xEE);
    written += outputLength;
    offset += inputLength;
    run.state = context->state;
    run.lastMode = mode;
    if (run.result == 1) {
      if (give == 0 && outputLength == 0 && run.state > varnfile::InflateStopped) run.result = 0;
      break;
    }
    roomNow = (inputLength == 0 && outputLength == 0) ? 1 << 16 : room;
  }
  run.out.resize(written);
  run.consumed = offset;
  return run;
}

// One call over the whole stream, as the block codec makes it.
Run DecodeWhole(InflateContext* context, const Bytes& stream, uint32_t mode) {
  return Decode(context, stream, stream.size() + 1, OutputCap, mode, 1);
}

// zlib's raw decoder with an 8 KB window: the run it gives, result 1 only
// if the stream ends.
Run Zlib(const Bytes& stream, const Bytes& dictionary = Bytes()) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  Run run;
  if (inflateInit2(&z, -13) != Z_OK) return run;
  if (!dictionary.empty()) {
    inflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size()));
  }
  run.out.assign(OutputCap, 0);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = run.out.data();
  z.avail_out = static_cast<uInt>(OutputCap);
  run.result = inflate(&z, Z_FINISH) == Z_STREAM_END ? 1 : 0;
  run.out.resize(z.total_out);
  run.consumed = z.total_in;
  inflateEnd(&z);
  return run;
}

bool Finished(const Run& run) { return run.result == 1 && run.state == varnfile::InflateBetweenBlocks; }
bool SameAs(const Run& run, const Run& zlib) {
  return Finished(run) && run.out == zlib.out && run.consumed == zlib.consumed;
}
bool WasReset(InflateContext* c) {
  return c->state == varnfile::InflateBetweenBlocks && c->windowCursor == c->window;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  static const uint32_t kRooms[16] = {1,   2,   3,   7,    8,    64,   257,  258,
                                      259, 300, 999, 4096, 8191, 8193, 30000, 1 << 16};
  const uint8_t scenario = data[0] % 4;
  const uint32_t room = kRooms[data[1] % 16];
  const size_t piece = data[2] < 128 ? 4 * (1 + static_cast<size_t>(data[2] % 32)) : 1 << 20;
  Bytes stream(data + 4, data + size);

  // The reference: one call in mode 2, equal to zlib wherever zlib accepts.
  Context whole;
  Run one = DecodeWhole(whole.context, stream, 2);
  Run viaZlib = Zlib(stream);
  if (viaZlib.result == 1) CHECK(SameAs(one, viaZlib));

  if (scenario <= 1) {
    // Resumed decoding gives a prefix of the one-call result on every stream
    // this decoder accepts, and all of it when it finishes (a call given no
    // input in the middle of a stored block ends the stream: its chunk is 0
    // bytes). In mode 3 the reset hides how the stream ended.
    Context pieces;
    Run run = Decode(pieces.context, stream, piece, room, scenario == 0 ? 2 : 3);
    if (Finished(one)) {
      CHECK(run.out.size() <= one.out.size() &&
            std::equal(run.out.begin(), run.out.end(), one.out.begin()));
      // Bytes an earlier call loaded past the stream's end stay counted:
      // only a call's own loads can be given back at the end.
      if (Finished(run) && run.lastMode != 3) {
        CHECK(run.out == one.out && run.consumed >= one.consumed && run.consumed <= one.consumed + 3);
      }
    }
    if (run.lastMode == 3 && run.result == 1) CHECK(WasReset(pieces.context));
  } else if (scenario == 2) {
    // Two streams on one context (chained items): the second may reach into
    // the first one's output, as zlib with a dictionary does.
    size_t split = stream.size() * data[3] / 256;
    Bytes first(stream.begin(), stream.begin() + split), second(stream.begin() + split, stream.end());
    Context chained;
    Run a = DecodeWhole(chained.context, first, 2);
    Run b = DecodeWhole(chained.context, second, 2);
    Run firstZlib = Zlib(first);
    if (firstZlib.result == 1 && firstZlib.consumed == first.size()) {
      CHECK(a.out == firstZlib.out);
      size_t keep = std::min<size_t>(firstZlib.out.size(), varnfile::WindowSize);
      Run secondZlib = Zlib(second, Bytes(firstZlib.out.end() - keep, firstZlib.out.end()));
      if (secondZlib.result == 1) CHECK(SameAs(b, secondZlib));
    }
  } else {
    // Mode 3 calls over the input one after another, each resetting the
    // context at its stream's end; and mode 0 with the same pieces.
    Context repeated;
    size_t offset = 0;
    for (int call = 0; call < 64 && offset < stream.size(); ++call) {
      Run run = DecodeWhole(repeated.context, Bytes(stream.begin() + offset, stream.end()), 3);
      if (run.result == 1) CHECK(WasReset(repeated.context));
      if (run.consumed == 0) break;
      offset += run.consumed;
    }
    Context modeZero;
    Decode(modeZero.context, stream, piece, room, 0);
  }
  return 0;
}
