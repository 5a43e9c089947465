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
constexpr int MaxCalls = 4000;

#define CHECK(condition)                                                  \
  do {                                                                    \
    if (!(condition)) {                                                   \
      __builtin_trap();                                                   \
    }                                                                     \
  } while (0)

struct Context {
  Context() {
    context = static_cast<InflateContext*>(varnfile::MemAlloc(varnfile::InflateContextSize()));
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
  uint32_t result = 0;
  uint32_t state = 0;
  size_t consumed = 0;
  uint32_t lastMode = 0;
};

// One call over the whole stream, as the block codec makes it.
Run DecodeWhole(InflateContext* context, const Bytes& stream, uint32_t mode) {
  Bytes in(stream);
  in.insert(in.end(), 3, 0);
  Run run;
  run.out.assign(OutputCap, 0);
  uint32_t inputLength = static_cast<uint32_t>(stream.size());
  uint32_t outputLength = static_cast<uint32_t>(OutputCap);
  run.result = Inflate(in.data(), &inputLength, run.out.data(), &outputLength, context, mode);
  CHECK(inputLength <= stream.size());
  CHECK(outputLength <= OutputCap);
  run.out.resize(outputLength);
  run.state = context->state;
  run.consumed = inputLength;
  return run;
}

// Many calls: input in pieces (mode 0, the last piece in finalMode) and
// `room` bytes of output each. A call without progress gets room for any
// step next time, and so does every call once the input is used up: a call
// in a nonzero mode that is given no input and writes nothing counts as the
// end of the stream.
Run DecodePieces(InflateContext* context, const Bytes& stream, size_t piece, uint32_t room,
                 uint32_t finalMode) {
  Bytes in(stream);
  in.insert(in.end(), 3, 0);
  Run run;
  run.out.assign(OutputCap + 1, 0);
  size_t written = 0;
  size_t offset = 0;
  uint32_t roomNow = room;
  for (int call = 0; call < MaxCalls; ++call) {
    size_t left = stream.size() - offset;
    size_t give = left < piece ? left : piece;
    uint32_t mode = give == left ? finalMode : 0;
    if (left == 0) roomNow = 1 << 16;
    size_t capLeft = OutputCap - written;
    uint32_t thisRoom = roomNow < capLeft ? roomNow : static_cast<uint32_t>(capLeft);
    run.out[written + thisRoom] = 0xEE;
    uint32_t inputLength = static_cast<uint32_t>(give);
    uint32_t outputLength = thisRoom;
    uint32_t result = Inflate(in.data() + offset, &inputLength, run.out.data() + written,
                              &outputLength, context, mode);
    CHECK(inputLength <= give);
    CHECK(outputLength <= thisRoom);
    CHECK(run.out[written + thisRoom] == 0xEE);
    written += outputLength;
    offset += inputLength;
    run.result = result;
    run.state = context->state;
    run.lastMode = mode;
    if (result == 1) {
      // Only a real end of stream counts; not an empty call.
      if (give == 0 && outputLength == 0 && run.state > varnfile::InflateStopped) run.result = 0;
      break;
    }
    if (written == OutputCap) break;
    roomNow = (inputLength == 0 && outputLength == 0) ? 1 << 16 : room;
  }
  run.out.resize(written);
  run.consumed = offset;
  return run;
}

// zlib's raw decoder with an 8 KB window; false unless the stream ends.
bool Zlib(const Bytes& stream, const Bytes* dictionary, Bytes* out, size_t* consumed) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -13) != Z_OK) return false;
  if (dictionary != nullptr && !dictionary->empty()) {
    inflateSetDictionary(&z, dictionary->data(), static_cast<uInt>(dictionary->size()));
  }
  out->assign(OutputCap, 0);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out->data();
  z.avail_out = static_cast<uInt>(OutputCap);
  int rc = inflate(&z, Z_FINISH);
  out->resize(z.total_out);
  *consumed = z.total_in;
  inflateEnd(&z);
  return rc == Z_STREAM_END;
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

  // The reference: one call in mode 2, then zlib.
  Context whole;
  Run one = DecodeWhole(whole.context, stream, 2);
  Bytes viaZlib;
  size_t zlibConsumed = 0;
  bool zlibAccepts = Zlib(stream, nullptr, &viaZlib, &zlibConsumed);
  if (zlibAccepts) {
    CHECK(one.result == 1 && one.state == varnfile::InflateBetweenBlocks);
    CHECK(one.out == viaZlib);
    CHECK(one.consumed == zlibConsumed);
  }

  switch (scenario) {
    case 0:
    case 1: {
      // Resumed decoding gives a prefix of the one-call result on every
      // stream this decoder accepts, and all of it when it finishes (a call
      // given no input in the middle of a stored block ends the stream: its
      // chunk is 0 bytes).
      Context pieces;
      Run run = DecodePieces(pieces.context, stream, piece, room, scenario == 0 ? 2 : 3);
      if (one.state == varnfile::InflateBetweenBlocks && one.result == 1) {
        CHECK(run.out.size() <= one.out.size());
        CHECK(std::equal(run.out.begin(), run.out.end(), one.out.begin()));
        // In mode 3 the reset hides how the stream ended (a stored chunk of 0
        // bytes, when a last call's input was used up, ends it early).
        if (run.result == 1 && run.state == varnfile::InflateBetweenBlocks &&
            run.lastMode != 3) {
          CHECK(run.out == one.out);
          // Bytes an earlier call loaded past the stream's end stay counted:
          // only a call's own loads can be given back at the end.
          CHECK(run.consumed >= one.consumed && run.consumed <= one.consumed + 3);
        }
      }
      if (run.lastMode == 3 && run.result == 1) {
        CHECK(pieces.context->state == varnfile::InflateBetweenBlocks);
        CHECK(pieces.context->windowCursor == pieces.context->window);
      }
      break;
    }
    case 2: {
      // Two streams on one context (chained items): the second may reach
      // into the first one's output, as zlib with a dictionary does.
      size_t split = stream.size() * data[3] / 256;
      Bytes first(stream.begin(), stream.begin() + split);
      Bytes second(stream.begin() + split, stream.end());
      Context chained;
      Run a = DecodeWhole(chained.context, first, 2);
      Run b = DecodeWhole(chained.context, second, 2);
      Bytes firstZlib;
      size_t firstConsumed = 0;
      if (Zlib(first, nullptr, &firstZlib, &firstConsumed) && firstConsumed == first.size()) {
        CHECK(a.out == firstZlib);
        size_t keep = firstZlib.size() < varnfile::WindowSize ? firstZlib.size()
                                                              : varnfile::WindowSize;
        Bytes dictionary(firstZlib.end() - keep, firstZlib.end());
        Bytes secondZlib;
        size_t secondConsumed = 0;
        if (Zlib(second, &dictionary, &secondZlib, &secondConsumed)) {
          CHECK(b.result == 1 && b.state == varnfile::InflateBetweenBlocks);
          CHECK(b.out == secondZlib);
          CHECK(b.consumed == secondConsumed);
        }
      }
      break;
    }
    default: {
      // Mode 3 calls over the input one after another, each resetting the
      // context at its stream's end; and mode 0 with the same pieces.
      Context repeated;
      size_t offset = 0;
      for (int call = 0; call < 64 && offset < stream.size(); ++call) {
        Bytes rest(stream.begin() + offset, stream.end());
        Run run = DecodeWhole(repeated.context, rest, 3);
        if (run.result == 1) {
          CHECK(repeated.context->state == varnfile::InflateBetweenBlocks);
          CHECK(repeated.context->windowCursor == repeated.context->window);
        }
        if (run.consumed == 0) break;
        offset += run.consumed;
      }
      Context modeZero;
      DecodePieces(modeZero.context, stream, piece, room, 0);
      break;
    }
  }
  return 0;
}
