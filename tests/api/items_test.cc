// What the model test does not reach: argument and handle checks, damaged
// data, copies into a file that holds records, and files that another
// writer made as the format allows. (Positions that are no record start are
// the file walk fuzz target's.)
#include <zlib.h>

#include <algorithm>

#include "codec/codec_test_util.h"
#include "item_test_util.h"
#include "store/codec_spares.h"

namespace varnfile_test {
namespace {

TEST(Items, ArgumentChecksComeBeforeTheHandle) {
  uint16_t c, e, length = 4;
  uint32_t v, p, h = CreateFileWith("MEMORY$");
  uint8_t buffer[4];
  for (uint32_t bad : {0u, 77u, 0x80000001u}) {
    for (uint16_t rc : {VARNFileReadCmdID(bad, nullptr, &e, &v),
                        VARNFileReadCmdIDEx(bad, &c, nullptr, &v, nullptr),
                        VARNFileReadCmdIDEx(bad, &c, &e, nullptr, &length),
                        VARNFileReadItem(bad, &c, &e, &v, nullptr, buffer),
                        VARNFileReadItem(bad, &c, &e, &v, &length, nullptr),
                        VARNFileAddItem(bad, 1, 0, 0, 3, nullptr), VARNFileUpdateItem(bad, 1, 0, 0, 3, nullptr)}) {
      EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, rc) << bad;
    }
    // A reserved id is checked on a resolved handle only.
    for (uint16_t rc : {VARNFileReadCmdID(bad, &c, &e, &v), VARNFileReadItem(bad, &c, &e, &v, &length, buffer),
                        VARNFileAddItem(bad, 0xFF00, 0, 0, 0, nullptr), VARNFileDeleteItem(bad),
                        VARNFileUpdateItem(bad, 1, 0, 0, 0, nullptr), VARNFileDuplicate(bad, h),
                        VARNFileDuplicate(h, bad), VARNFileGetPosition(bad, &p), VARNFileSetPosition(bad, 200),
                        VARNFileSeekToEnd(bad, &p), VARNFileSkipNext(bad), VARNFileSkipPrev(bad)}) {
      EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, rc) << bad;
    }
  }
  EXPECT_EQ(0, VARNFileClose(h));
}

// A flipped data byte gives 267 with the data as stored, and the cursor
// moves on; the ids alone and a stored crc of 0 are not checked. A copy
// stops at the damaged item with what came before it.
TEST(Items, FlippedDataByteGives267) {
  std::string path = ScratchFile("crc.trn");
  uint32_t h = CreateFileWith(path);
  for (const char* text : {"first", "second", "third"}) ASSERT_EQ(0, AddText(h, text[0], text));
  ASSERT_EQ(0, VARNFileClose(h));
  std::string bytes = varnfile::ReadFile(path);
  const uint32_t second = First + 27;
  bytes[second + 14 + 2] ^= 0x20;  // "seCond"
  varnfile::WriteFile(path, bytes);

  ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
  ASSERT_EQ(0, VARNFileSetPosition(h, second));
  EXPECT_EQ('s', CurrentCommand(h));
  ReadResult bad = ReadNext(h);
  EXPECT_EQ(VARNFILE_E_CRC, bad.rc);
  EXPECT_EQ("seCond", bad.data);
  EXPECT_EQ(second + 28, Position(h));
  EXPECT_EQ("third", ReadNext(h).data);

  uint32_t target = CreateFileWith("MEMORY$");
  EXPECT_EQ(VARNFILE_E_CRC, VARNFileDuplicate(target, h));
  EXPECT_EQ(second, EndOfData(target));
  EXPECT_EQ(second, Position(target));
  ASSERT_EQ(0, VARNFileSetPosition(target, First));
  EXPECT_EQ("first", ReadNext(target).data);
  EXPECT_EQ(0, VARNFileClose(target));
  EXPECT_EQ(0, VARNFileClose(h));

  bytes[second + 12] = bytes[second + 13] = 0;
  varnfile::WriteFile(path, bytes);
  ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
  ASSERT_EQ(0, VARNFileSetPosition(h, second));
  EXPECT_EQ(0, ReadNext(h).rc);
  EXPECT_EQ(0, VARNFileClose(h));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

// A copy into a file that holds records overwrites them in place, which
// records of another length cannot be (268).
TEST(Items, DuplicateOverwritesTheTargetInPlace) {
  uint32_t source = CreateFileWith("MEMORY$"), target = CreateFileWith("MEMORY$");
  ASSERT_EQ(0, AddText(target, 'X', "xx"));
  ASSERT_EQ(0, AddText(source, 'A', "aa"));
  ASSERT_EQ(0, AddText(source, 'B', "bbb"));
  EXPECT_EQ(0, VARNFileDuplicate(target, source));
  std::vector<Item> copied;
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadAllForwards(target, &copied));
  EXPECT_EQ((std::vector<Item>{{'A', 0, 0, "aa"}, {'B', 0, 0, "bbb"}}), copied);

  uint32_t other = CreateFileWith("MEMORY$");
  ASSERT_EQ(0, AddText(other, 'Y', "yyyy"));
  EXPECT_EQ(VARNFILE_E_CANNOT_REPLACE, VARNFileDuplicate(other, source));
  for (uint32_t h : {source, target, other}) EXPECT_EQ(0, VARNFileClose(h));
}

// Damaged records under every method: a read that gives 0 delivers exactly
// the item written there, and no read delivers a byte the file never held.
// Each damaged copy is read right after another file of other text was read
// and closed, so freed memory holds that text, and through a cache of two
// items, so evicted blocks are reused: a decoder stopped early by the damage
// must hand on neither.
TEST(Items, DamagedRecordsDeliverOnlyTheirOwnBytes) {
  const std::string secret = "SECRET-OF-ANOTHER-FILE ";
  std::vector<Item> items, foreign;
  for (uint32_t n = 0; n < 8; ++n) {
    items.push_back(MakeItem(15, n, 900));
    foreign.push_back(items.back());
    std::string& text = foreign.back().data;
    for (size_t i = 0; i < text.size(); ++i) text[i] = secret[i % secret.size()];
  }
  const std::string path = ScratchFile("damaged.trn"), other = ScratchFile("other.trn");
  uint32_t cases = 0, delivered = 0;
  for (uint16_t method = 0; method <= VARNFILE_METHOD_DEFLATE; ++method) {
    std::vector<uint32_t> at = MakeFile(path, method, items);
    ASSERT_EQ(items.size(), at.size());
    ASSERT_EQ(items.size(), MakeFile(other, method, foreign).size());
    const std::string good = varnfile::ReadFile(path);
    auto readHere = [&](uint32_t h, const std::string& what) {
      uint16_t c, e;
      uint32_t v;
      uint16_t rc = VARNFileReadCmdID(h, &c, &e, &v);
      uint32_t here = Position(h);
      Item got;
      if (rc == 0) rc = ReadOne(h, &got);
      if (rc != 0 && rc != VARNFILE_E_CRC) return rc;
      ++delivered;
      EXPECT_EQ(std::string::npos, got.data.find("SECRET")) << what << ", item at " << here;
      if (rc == 0) {
        // An empty item's CRC is 0, which the format reads as "unchecked":
        // a damaged length there reads as zeros, its stored length 0 as
        // the format's "nothing stored".
        auto i = std::find(at.begin(), at.end(), here) - at.begin();
        bool zeros = got.data == std::string(got.data.size(), '\0');
        EXPECT_TRUE(i < static_cast<ptrdiff_t>(at.size()) &&
                    (items[i].data == got.data || (items[i].data.empty() && zeros)))
            << what << ": 0 for bytes never written at " << here;
      }
      return rc;
    };
    auto check = [&](const std::string& bytes, const std::string& what) {
      ++cases;
      varnfile::WriteFile(path, bytes);
      EXPECT_EQ(foreign, ReadFile(other));
      uint32_t h = 0;
      if (VARNFileOpenEx(&h, VARNFILE_ACCESS_READ, path.c_str(), 0) != 0) return;
      ASSERT_EQ(0, VARNFileSetParameters(h, 2, 65536, 4096, 0));
      ASSERT_EQ(0, VARNFileSetPosition(h, First));
      for (int n = 0; n < 12 && readHere(h, what + " forwards") != VARNFILE_E_END_OF_FILE; ++n) {}
      for (size_t i = at.size(); i-- > 0;) {
        if (VARNFileSetPosition(h, at[i]) == 0) readHere(h, what + " backwards");
      }
      EXPECT_EQ(0, VARNFileClose(h));
    };
    for (size_t i = 0; i < at.size(); ++i) {
      // A record's stored bytes zeroed whole, then each of its bytes flipped.
      std::string bytes = good;
      uint32_t end = i + 1 < at.size() ? at[i + 1] : static_cast<uint32_t>(good.size());
      std::fill(bytes.begin() + at[i] + 14, bytes.begin() + end - 8, '\0');
      check(bytes, "method " + std::to_string(method) + ", record " + std::to_string(i) + " zeroed");
      for (uint32_t b = at[i]; b < end; b += 1 + Mix(b) % 2) {
        bytes = good;
        bytes[b] = static_cast<char>(bytes[b] ^ 0x5A);
        check(bytes, "method " + std::to_string(method) + ", byte " + std::to_string(b) + " flipped");
      }
    }
  }
  EXPECT_GT(delivered, cases);
}

// One item's stream from zlib (8 KB window, the chain's last 8 KB as its
// dictionary): the first half cut by `flush`, then a final block.
Bytes ZlibItem(const Bytes& data, const Bytes& chain, int level, int strategy, int flush) {
  z_stream z{};
  EXPECT_EQ(Z_OK, deflateInit2(&z, level, Z_DEFLATED, -13, 8, strategy));
  size_t keep = std::min<size_t>(chain.size(), 8192);
  if (keep != 0) deflateSetDictionary(&z, chain.data() + chain.size() - keep, uInt(keep));
  Bytes in(data), out(data.size() + 1024);
  z.next_in = in.data();
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  z.avail_in = uInt(in.size() / 2);
  deflate(&z, flush);
  z.avail_in += uInt(in.size() - in.size() / 2);
  EXPECT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Appends a record laid out by hand: the item's header with `stored` as its
// stored bytes, then the trailer with the record's start and reset flag.
void AppendRecord(Bytes* file, const Item& item, const Bytes& stored, uint32_t reset) {
  const uint32_t at = uint32_t(file->size());
  auto put = [file](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) file->push_back(uint8_t(value >> (8 * i)));
  };
  put(item.commandId, 2), put(item.extraId, 2), put(item.extraValue, 4), put(uint32_t(item.data.size()), 2);
  put(uint32_t(stored.size()), 2), put(ReferenceCrc(item.data), 2);
  file->insert(file->end(), stored.begin(), stored.end());
  put(at, 4), put(reset, 4);
}

// A closed file leaves its codec state to the next file, which must behave
// as if it were new: under every method a file written after another one
// holds the bytes a first file would, and a stream that reaches back before
// its start (another writer's, with a dictionary of zeros) reads zeros, not
// the last bytes another file decoded.
TEST(Items, AFileTakesOverCodecStateAsNew) {
  const std::string path = ScratchFile("first.trn"), other = ScratchFile("other.trn");
  std::vector<Item> items, secrets;
  for (uint32_t n = 0; n < 12; ++n) {
    items.push_back(MakeItem(5, n, 3000));
    secrets.push_back(Item{1, 0, n, std::string(4000 + n, static_cast<char>('S' + n % 3))});
  }
  for (uint16_t method = 1; method <= VARNFILE_METHOD_DEFLATE; ++method) {
    SCOPED_TRACE(method);
    varnfile::DropCodecSpares();
    ASSERT_EQ(items.size(), MakeFile(path, method, items).size());
    const Bytes first = FileBytes(path);
    ASSERT_EQ(secrets.size(), MakeFile(other, method, secrets).size());
    EXPECT_EQ(secrets, ReadFile(other));
    ASSERT_EQ(items.size(), MakeFile(path, method, items).size());
    const Bytes again = FileBytes(path);
    ASSERT_EQ(first.size(), again.size());
    EXPECT_TRUE(std::equal(first.begin() + First, first.end(), again.begin() + First));
    EXPECT_EQ(items, ReadFile(path));
  }
  for (uint16_t method : {VARNFILE_METHOD_CHAINED_DEFLATE, VARNFILE_METHOD_DEFLATE}) {
    SCOPED_TRACE(method);
    ASSERT_TRUE(MakeFile(path, method, {}).empty());
    Bytes file = FileBytes(path);
    // The stream copies its dictionary (distances up to 8,192: all of the
    // window); what it must read as is zlib's decoding with 8 KB of zeros
    // before it.
    const Bytes dictionary = varnfile::Sample(varnfile::TextData, 8192, 0);
    const Bytes stored = ZlibItem(dictionary, dictionary, 6, Z_DEFAULT_STRATEGY, Z_NO_FLUSH);
    Bytes decoded(8192);
    z_stream z{};
    ASSERT_EQ(Z_OK, inflateInit2(&z, -13));
    const Bytes blank(8192, 0);
    ASSERT_EQ(Z_OK, inflateSetDictionary(&z, blank.data(), uInt(blank.size())));
    z.next_in = const_cast<Bytef*>(stored.data());
    z.avail_in = uInt(stored.size());
    z.next_out = decoded.data();
    z.avail_out = uInt(decoded.size());
    EXPECT_EQ(Z_STREAM_END, inflate(&z, Z_FINISH));
    inflateEnd(&z);
    const Item expected{7, 0, 0, std::string(decoded.begin(), decoded.end())};
    ASSERT_GT(std::count(expected.data.begin(), expected.data.end(), '\0'), 4096) << "reaches back";
    AppendRecord(&file, expected, stored, 0);
    varnfile::WriteFile(path, std::string(file.begin(), file.end()));
    EXPECT_EQ(secrets, ReadFile(other));
    EXPECT_EQ(std::vector<Item>{expected}, ReadFile(path));
  }
}

// Every live item from the first on, passing over end markers.
std::vector<Item> ReadPastEndMarkers(uint32_t h) {
  std::vector<Item> items;
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadAllForwards(h, &items));
  for (int guard = 0; guard < 10 && Position(h) < EndOfData(h); ++guard) {
    VARNFileSkipNext(h);
    for (Item item; ReadOne(h, &item) == 0;) items.push_back(item);
  }
  return items;
}

// Files another writer made as the format allows, which ours never writes:
// zlib's streams at several levels and strategies, each item cut inside by
// a flush and ended by a final block (stored blocks longer than the window
// included); a chain that runs through a deleted item and an end marker,
// with a reset point in its middle and none behind its last record, and a
// record that stores nothing for its data (as zeros, under the CRC). They
// read forwards, and by position backwards through a cache of one item,
// and an item appended behind them reads back too.
TEST(Items, ZlibStreamsFromAnotherWriter) {
  const struct {
    uint16_t commandId; uint32_t length; int level, strategy, flush; bool resetAfter;
  } records[] = {
      {1, 3000, 9, Z_DEFAULT_STRATEGY, Z_NO_FLUSH, false},
      {VARNFILE_CMD_DELETED, 2000, 6, Z_FIXED, Z_SYNC_FLUSH, false}, {2, 5000, 1, Z_RLE, Z_FULL_FLUSH, false},
      {3, 700, 6, Z_HUFFMAN_ONLY, Z_PARTIAL_FLUSH, true}, {4, 20000, 0, Z_DEFAULT_STRATEGY, Z_BLOCK, false},
      {VARNFILE_CMD_END_MARKER, 300, 6, Z_FILTERED, Z_SYNC_FLUSH, false},
      {5, 0, 6, Z_DEFAULT_STRATEGY, Z_NO_FLUSH, false}, {6, 4000, 9, Z_DEFAULT_STRATEGY, Z_BLOCK, false},
      // Level -1: a record that stores nothing for its 40 bytes, which read
      // as zeros (their CRC checked) and leave the chain as it was.
      {7, 40, -1, Z_DEFAULT_STRATEGY, Z_NO_FLUSH, false}, {8, 900, 6, Z_DEFAULT_STRATEGY, Z_SYNC_FLUSH, false},
  };
  const std::string path = ScratchFile("zlib.trn");
  for (uint16_t method : {VARNFILE_METHOD_CHAINED_DEFLATE, VARNFILE_METHOD_DEFLATE}) {
    SCOPED_TRACE(method);
    ASSERT_TRUE(MakeFile(path, method, {}).empty() && FileBytes(path).size() == First);
    Bytes file = FileBytes(path), chain;
    std::vector<std::pair<uint32_t, Item>> live;
    for (const auto& r : records) {
      const uint32_t at = uint32_t(file.size()), n = uint32_t(live.size());
      const bool nothing = r.level < 0;
      Bytes data = nothing ? Bytes(r.length, 0) : varnfile::Sample(varnfile::TextData, r.length, n % 2);
      Bytes stored = data.empty() || nothing ? Bytes() : ZlibItem(data, chain, r.level, r.strategy, r.flush);
      if (!nothing) chain.insert(chain.end(), data.begin(), data.end());
      bool reset = r.resetAfter && method == VARNFILE_METHOD_CHAINED_DEFLATE;
      if (reset || method == VARNFILE_METHOD_DEFLATE) chain.clear();
      Item item{r.commandId, uint16_t(n), n * 7, std::string(data.begin(), data.end())};
      AppendRecord(&file, item, stored, reset);
      if (r.commandId < 0xFF00) live.push_back({at, item});
    }
    varnfile::WriteFile(path, std::string(file.begin(), file.end()));
    std::vector<Item> want;
    for (const auto& l : live) want.push_back(l.second);
    uint32_t h = 0;
    ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
    EXPECT_EQ(want, ReadPastEndMarkers(h));
    ASSERT_EQ(0, VARNFileSetParameters(h, 1, 0, 1024, 1024));
    for (size_t i = live.size(); i-- > 0;) {
      Item item;
      EXPECT_EQ(0, VARNFileSetPosition(h, live[i].first));
      EXPECT_EQ(0, ReadOne(h, &item));
      EXPECT_EQ(live[i].second, item) << live[i].first;
    }
    want.push_back(MakeItem(3, 9, 3000));
    EXPECT_EQ(0, AddItem(h, want.back()));
    EXPECT_EQ(0, VARNFileClose(h));
    ASSERT_EQ(0, VARNFileOpenEx(&h, VARNFILE_ACCESS_READ, path.c_str(), 0));
    EXPECT_EQ(want, ReadPastEndMarkers(h));
    EXPECT_EQ(0, VARNFileClose(h));
  }
}

}  // namespace
}  // namespace varnfile_test
