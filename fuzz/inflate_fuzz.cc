// Decodes arbitrary bytes as DEFLATE streams in every mode, with arbitrary
// output room and input pieces, and checks the results against each other
// and against zlib wherever zlib accepts the stream.
//
// Input layout: byte 0 selects the scenario, byte 1 the output room per
// call, byte 2 the input piece size, byte 3 where a second stream starts;
// the rest is the stream data.
#include "codec_fuzz.h"

using namespace codec_fuzz;

namespace {

// One call over the whole stream, as the block codec makes it.
Decoded Whole(InflateContext* context, const Bytes& stream, uint32_t mode) {
  return Decode(context, stream, stream.size() + 1, 1 << 16, mode, 1);
}

bool Finished(const Decoded& run) { return run.result == 1 && run.state == InflateBetweenBlocks; }
bool SameAs(const Decoded& run, const Decoded& zlib) {
  return Finished(run) && run.out == zlib.out && run.consumed == zlib.consumed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  static const uint32_t kRooms[16] = {1,   2,   3,   7,    8,    64,   257,   258,
                                      259, 300, 999, 4096, 8191, 8193, 30000, 1 << 16};
  const uint8_t scenario = data[0] % 4;
  const uint32_t room = kRooms[data[1] % 16];
  const size_t piece = data[2] < 128 ? 4 * (1 + static_cast<size_t>(data[2] % 32)) : 1 << 20;
  Bytes stream(data + 4, data + size);

  // The reference: one call in mode 2, equal to zlib wherever zlib accepts.
  Engines whole;
  Decoded one = Whole(whole.inflate, stream, 2);
  Decoded viaZlib = Zlib(stream, 1 << 16);
  if (viaZlib.result == 1) Check(SameAs(one, viaZlib));

  if (scenario != 2) {
    // Resumed decoding, the last piece in mode 2, 3 or 0, gives a prefix of
    // the one-call result on every stream this decoder accepts, and all of
    // it when it finishes (a call given no input in the middle of a stored
    // block ends the stream: its chunk is 0 bytes). In mode 3 the reset
    // hides how the stream ended.
    Engines pieces;
    const uint32_t finalMode = scenario == 0 ? 2 : scenario == 1 ? 3 : 0;
    Decoded run = Decode(pieces.inflate, stream, piece, room, finalMode, 4000);
    if (Finished(one)) {
      Check(run.out.size() <= one.out.size() &&
            std::equal(run.out.begin(), run.out.end(), one.out.begin()));
      // Bytes an earlier call loaded past the stream's end stay counted:
      // only a call's own loads can be given back at the end.
      if (Finished(run) && run.lastMode != 3)
        Check(run.out == one.out && run.consumed >= one.consumed && run.consumed <= one.consumed + 3);
    }
    InflateContext* c = pieces.inflate;
    if (run.lastMode == 3 && run.result == 1)
      Check(run.state == InflateBetweenBlocks && c->windowCursor == c->window);
  } else {
    // Two streams on one context (chained items): the second may reach into
    // the first one's output, as zlib with a dictionary does.
    size_t split = stream.size() * data[3] / 256;
    Bytes first(stream.begin(), stream.begin() + split), second(stream.begin() + split, stream.end());
    Engines chained;
    Decoded a = Whole(chained.inflate, first, 2), b = Whole(chained.inflate, second, 2);
    Decoded firstZlib = Zlib(first, 1 << 16);
    if (firstZlib.result == 1 && firstZlib.consumed == first.size()) {
      Check(a.out == firstZlib.out);
      Decoded secondZlib = Zlib(second, 1 << 16, firstZlib.out);
      if (secondZlib.result == 1) Check(SameAs(b, secondZlib));
    }
  }
  return 0;
}
