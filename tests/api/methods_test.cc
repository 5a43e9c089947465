// Every compression method end to end through the C API: files written in
// several open-append-close sessions, read back forwards, backwards and at
// random positions (with small caches, so that chained decoders replay from
// reset points), changed by deletes and identifier updates, copied between
// every pair of methods, with refused oversize items in between. Each file's
// bytes are then decoded by decoders that are not the library's: zlib (with
// the chain's history as dictionary) for the DEFLATE methods, and a small
// predictor decoder of this file's own for the predictor methods.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "varnfile.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t Methods[] = {0, 1, 2, 3, 4};
constexpr uint32_t HeaderSize = 174;

bool IsChained(uint16_t method) { return method == 2 || method == 3; }

// ---- data ----

Bytes RandomBytes(size_t n, std::mt19937& rng) {
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

Bytes TextRecords(size_t n, std::mt19937& rng) {
  static const char* const words[] = {"DEBIT", "CREDIT", "TRANSFER", "FEE", "REFUND"};
  std::string s;
  while (s.size() < n) {
    s += "TX;" + std::string(words[rng() % 5]) + ";ACCT=" + std::to_string(40000 + rng() % 40) +
         ";AMT=" + std::to_string(rng() % 100000) + ".00;CUR=EUR;\n";
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

// Text with spaces: a fresh predictor table (all spaces) predicts some of
// it, so a decoder whose table is not fresh gets it wrong.
Bytes SpacedText(size_t n, std::mt19937& rng) {
  std::string s;
  while (s.size() < n) s += "pay  " + std::to_string(rng() % 1000) + "  to  account  " + std::to_string(rng() % 50) + " \n";
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

// Fixed-size binary records with counters: structured, partly predictable.
Bytes BinaryRecords(size_t n, std::mt19937& rng) {
  Bytes b;
  uint32_t counter = rng() % 1000;
  while (b.size() < n) {
    uint8_t rec[16] = {0xA5, 0x01, 0, 0, 0, 0, 0, 0, 0x10, 0x27, 0, 0, 0, 0, 0x5A, 0xFF};
    std::memcpy(rec + 2, &counter, 4);
    rec[10] = static_cast<uint8_t>(rng() % 4);
    b.insert(b.end(), rec, rec + 16);
    ++counter;
  }
  b.resize(n);
  return b;
}

// The items a workload appends: sizes 0, 1, small, medium and up to 65,535,
// text, binary, runs and noise. Noise stays well below the sizes at which
// compression could push an item past 65,535 stored bytes.
Bytes WorkloadData(int i, std::mt19937& rng) {
  switch (i % 11) {
    case 0: return Bytes();
    case 1: return Bytes(1, static_cast<uint8_t>(rng()));
    case 2: return TextRecords(10 + rng() % 200, rng);
    case 3: return RandomBytes(1 + rng() % 300, rng);
    case 4: return Bytes(i % 33 == 4 ? 65535 : rng() % 9000, static_cast<uint8_t>(rng()));
    case 5: return RandomBytes(rng() % 20000, rng);
    case 6: return TextRecords(500 + rng() % 8000, rng);
    case 7: return TextRecords(i % 22 == 7 ? 65535 : 20000 + rng() % 45535, rng);
    case 8: return BinaryRecords(rng() % 30000, rng);
    case 9: return TextRecords(2000, rng);
    default: return Bytes(3, 'a');
  }
}

// ---- the expected contents of a file ----

struct Item {
  uint16_t commandId;
  uint16_t extraId;
  uint32_t extraValue;
  Bytes data;
};

// Every record of the file in order (deleted ones included), and for each
// whether its trailer must carry the reset-point bit.
struct Model {
  std::vector<Item> records;
  std::vector<bool> resetAfter;
};

bool IsLive(const Item& item) { return item.commandId != VARNFILE_CMD_DELETED; }

// ---- files ----

std::string TempDir() {
  const char* base = std::getenv("VARNFILE_TEST_TMP");
  std::string dir = std::string(base != nullptr ? base : "/tmp") + "/methods_" +
                    std::to_string(getpid());
  std::filesystem::create_directories(dir);
  return dir;
}

std::string TempPath(const std::string& name) { return TempDir() + "/" + name + ".trn"; }

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t U32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

struct RawRecord {
  uint32_t position;
  uint16_t commandId, extraId;
  uint32_t extraValue;
  uint16_t length, storedLength;
  Bytes stored;
  uint32_t trailerFlags;
};

// Splits a file into its records, checking the framing as it goes.
std::vector<RawRecord> ParseRecords(const Bytes& file) {
  std::vector<RawRecord> records;
  EXPECT_GE(file.size(), HeaderSize);
  size_t at = HeaderSize;
  while (at < file.size()) {
    if (at + 22 > file.size()) {
      ADD_FAILURE() << "record header past the end at " << at;
      break;
    }
    RawRecord r;
    r.position = static_cast<uint32_t>(at);
    r.commandId = U16(file, at);
    r.extraId = U16(file, at + 2);
    r.extraValue = U32(file, at + 4);
    r.length = U16(file, at + 8);
    r.storedLength = U16(file, at + 10);
    size_t end = at + 22 + r.storedLength;
    if (end > file.size()) {
      ADD_FAILURE() << "record data past the end at " << at;
      break;
    }
    r.stored.assign(file.begin() + at + 14, file.begin() + at + 14 + r.storedLength);
    EXPECT_EQ(U32(file, end - 8), at) << "trailer points at its record";
    r.trailerFlags = U32(file, end - 4);
    records.push_back(r);
    at = end;
  }
  return records;
}

// The predictor format, decoded the plain way.
Bytes PredictorDecode(const Bytes& stored, size_t length, std::vector<uint8_t>& table) {
  Bytes out;
  size_t in = 0;
  unsigned b1 = 0, b2 = 0;
  while (in < stored.size() && out.size() < length) {
    unsigned flags = stored[in++];
    for (int bit = 0; bit < 8 && out.size() < length; ++bit) {
      unsigned slot = (b2 << 7) ^ b1;
      uint8_t c;
      if (flags & (1u << bit)) {
        c = table[slot];
      } else {
        if (in == stored.size()) break;
        c = stored[in++];
        table[slot] = c;
      }
      out.push_back(c);
      b2 = b1;
      b1 = c;
    }
  }
  return out;
}

// A raw DEFLATE item through zlib; the last 8,192 bytes of `history` (the
// chain's data since its reset point) are the dictionary.
Bytes ZlibInflate(const Bytes& stored, size_t length, const Bytes& history) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  if (!history.empty()) {
    size_t take = std::min<size_t>(history.size(), 8192);
    inflateSetDictionary(&z, history.data() + history.size() - take, static_cast<uInt>(take));
  }
  Bytes in(stored), out(length + 1);
  z.next_in = in.data();
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  EXPECT_EQ(rc, Z_STREAM_END) << (z.msg != nullptr ? z.msg : "");
  EXPECT_EQ(z.avail_in, 0u);
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

// Checks the file's bytes against the model: header method, record fields,
// reset-point bits, and every item's data decoded independently.
void CheckFileBytes(const std::string& path, uint16_t method, const Model& model) {
  Bytes file = FileBytes(path);
  ASSERT_GE(file.size(), HeaderSize);
  EXPECT_EQ(U16(file, 47), method) << "compression field";
  EXPECT_EQ(U16(file, 142), 1) << "closed mark";
  std::vector<RawRecord> records = ParseRecords(file);
  ASSERT_EQ(records.size(), model.records.size());
  std::vector<uint8_t> table(32768, 0x20);
  Bytes history;
  for (size_t i = 0; i < records.size(); ++i) {
    const RawRecord& r = records[i];
    const Item& item = model.records[i];
    SCOPED_TRACE("record " + std::to_string(i) + " at " + std::to_string(r.position));
    EXPECT_EQ(r.commandId, item.commandId);
    EXPECT_EQ(r.extraId, item.extraId);
    EXPECT_EQ(r.extraValue, item.extraValue);
    ASSERT_EQ(r.length, item.data.size());
    EXPECT_EQ(r.trailerFlags, model.resetAfter[i] ? 1u : 0u);
    if (r.length == 0) {
      EXPECT_EQ(r.storedLength, 0);
    }
    Bytes data;
    switch (method) {
      case 0:
        EXPECT_EQ(r.storedLength, r.length);
        data = r.stored;
        break;
      case 1:
        table.assign(32768, 0x20);
        data = PredictorDecode(r.stored, r.length, table);
        break;
      case 3:
        data = PredictorDecode(r.stored, r.length, table);
        break;
      case 4:
        data = r.length == 0 ? Bytes() : ZlibInflate(r.stored, r.length, Bytes());
        break;
      case 2:
        data = r.length == 0 ? Bytes() : ZlibInflate(r.stored, r.length, history);
        history.insert(history.end(), data.begin(), data.end());
        if (history.size() > 16384) history.erase(history.begin(), history.end() - 8192);
        break;
    }
    EXPECT_TRUE(data == item.data) << "stored bytes decode to the item";
    if (r.trailerFlags & 1) {
      table.assign(32768, 0x20);
      history.clear();
    }
  }
}

// ---- the API side ----

class File {
 public:
  File() = default;
  ~File() {
    if (handle_ != 0) VARNFileClose(handle_);
  }
  uint16_t Create(const std::string& path, uint16_t method) {
    uint16_t rc = VARNFileCreateEx(&handle_, VARNFILE_NAME_EXACT, path.c_str(), nullptr, nullptr,
                                   nullptr, 0);
    if (rc != 0) return rc;
    return VARNFileSetCompression(handle_, method);
  }
  uint16_t Open(const std::string& path) { return VARNFileOpen(&handle_, path.c_str(), 0); }
  uint16_t OpenRead(const std::string& path) {
    return VARNFileOpenEx(&handle_, VARNFILE_ACCESS_READ, path.c_str(), 0);
  }
  uint16_t Close() {
    uint16_t rc = VARNFileClose(handle_);
    handle_ = 0;
    return rc;
  }
  uint16_t Add(const Item& item) {
    return VARNFileAddItem(handle_, item.commandId, item.extraId, item.extraValue,
                           static_cast<uint16_t>(item.data.size()),
                           item.data.empty() ? nullptr : item.data.data());
  }
  uint16_t Read(Item* item) {
    uint16_t length = 65535;
    Bytes buffer(65535);
    uint16_t rc = VARNFileReadItem(handle_, &item->commandId, &item->extraId, &item->extraValue,
                                   &length, buffer.data());
    buffer.resize(length);
    item->data = buffer;
    return rc;
  }
  uint32_t Position() {
    uint32_t p = 0;
    EXPECT_EQ(VARNFileGetPosition(handle_, &p), 0);
    return p;
  }
  uint32_t handle() const { return handle_; }

 private:
  uint32_t handle_ = 0;
};

void SmallCaches(uint32_t handle) {
  ASSERT_EQ(VARNFileSetParameters(handle, 3, 24000, 512, 700), 0);
}

::testing::AssertionResult SameItem(const Item& got, const Item& want) {
  if (got.commandId != want.commandId || got.extraId != want.extraId ||
      got.extraValue != want.extraValue) {
    return ::testing::AssertionFailure() << "ids differ: " << got.commandId << "/" << got.extraId
                                         << "/" << got.extraValue << " vs " << want.commandId
                                         << "/" << want.extraId << "/" << want.extraValue;
  }
  if (got.data != want.data) {
    return ::testing::AssertionFailure() << "data differs (" << got.data.size() << " vs "
                                         << want.data.size() << " bytes)";
  }
  return ::testing::AssertionSuccess();
}

std::vector<Item> LiveItems(const Model& model) {
  std::vector<Item> live;
  for (const Item& item : model.records) {
    if (IsLive(item)) live.push_back(item);
  }
  return live;
}

// Reads every live item forwards, returning their positions.
std::vector<uint32_t> ReadForwards(File& file, const std::vector<Item>& live) {
  std::vector<uint32_t> positions;
  EXPECT_EQ(VARNFileSetPosition(file.handle(), 0), 0);
  for (size_t i = 0; i < live.size(); ++i) {
    uint16_t commandId, extraId;
    uint32_t extraValue;
    if (VARNFileReadCmdID(file.handle(), &commandId, &extraId, &extraValue) != 0) {
      ADD_FAILURE() << "forwards: no item " << i;
      return positions;
    }
    positions.push_back(file.Position());
    Item got;
    EXPECT_EQ(file.Read(&got), 0) << "forwards item " << i;
    EXPECT_TRUE(SameItem(got, live[i])) << "forwards item " << i;
  }
  Item extra;
  EXPECT_EQ(file.Read(&extra), VARNFILE_E_END_OF_FILE);
  return positions;
}

void ReadBackwards(File& file, const std::vector<Item>& live) {
  uint32_t end = 0;
  EXPECT_EQ(VARNFileSeekToEnd(file.handle(), &end), 0);
  for (size_t n = live.size(); n-- > 0;) {
    ASSERT_EQ(VARNFileSkipPrev(file.handle()), 0) << "backwards item " << n;
    uint32_t at = file.Position();
    Item got;
    EXPECT_EQ(file.Read(&got), 0) << "backwards item " << n;
    EXPECT_TRUE(SameItem(got, live[n])) << "backwards item " << n;
    ASSERT_EQ(VARNFileSetPosition(file.handle(), at), 0);
  }
  EXPECT_EQ(VARNFileSkipPrev(file.handle()), VARNFILE_E_NO_PREVIOUS);
}

void ReadAtRandom(File& file, const std::vector<Item>& live, const std::vector<uint32_t>& positions,
                  uint32_t seed) {
  ASSERT_EQ(positions.size(), live.size());
  std::vector<size_t> order(live.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::mt19937 rng(seed);
  std::shuffle(order.begin(), order.end(), rng);
  for (size_t k = 0; k < order.size() && k < 120; ++k) {
    size_t i = order[k];
    ASSERT_EQ(VARNFileSetPosition(file.handle(), positions[i]), 0);
    Item got;
    EXPECT_EQ(file.Read(&got), 0) << "random item " << i;
    EXPECT_TRUE(SameItem(got, live[i])) << "random item " << i;
  }
}

// Opens the file for reading and reads it forwards, backwards and at random
// positions; closing it must not change a byte.
void ReadAllWays(const std::string& path, const Model& model, uint32_t seed, bool smallCaches) {
  Bytes before = FileBytes(path);
  std::vector<Item> live = LiveItems(model);
  {
    File file;
    ASSERT_EQ(file.OpenRead(path), 0);
    if (smallCaches) SmallCaches(file.handle());
    std::vector<uint32_t> positions = ReadForwards(file, live);
    ReadBackwards(file, live);
    ReadAtRandom(file, live, positions, seed);
    ASSERT_EQ(file.Close(), 0);
  }
  EXPECT_TRUE(FileBytes(path) == before) << "a close after reading writes nothing";
}

// Appends `count` workload items, recording them in the model. Every
// seventh item is preceded by a noise item too large to be stored under a
// compression method: it must be refused with 260 and change nothing but
// the reset point of a chained method.
void AppendSession(File& file, uint16_t method, Model& model, int first, int count,
                   std::mt19937& rng) {
  for (int i = first; i < first + count; ++i) {
    if (method != 0 && i % 7 == 3) {
      Item big{0x0100, 1, 2, RandomBytes(65535, rng)};
      ASSERT_EQ(file.Add(big), VARNFILE_E_INVALID_ARGUMENT) << "oversize item " << i;
      if (IsChained(method) && !model.records.empty()) model.resetAfter.back() = true;
    }
    Item item{static_cast<uint16_t>(i % 0xFF00), static_cast<uint16_t>(rng()),
              static_cast<uint32_t>(rng()), WorkloadData(i, rng)};
    ASSERT_EQ(file.Add(item), 0) << "item " << i << " of " << item.data.size() << " bytes";
    model.records.push_back(item);
    model.resetAfter.push_back(false);
  }
}

// What a close does to the model: under a chained method the session's
// last record becomes a reset point.
void Closed(uint16_t method, Model& model, bool appended) {
  if (appended && IsChained(method) && !model.records.empty()) model.resetAfter.back() = true;
}

class MethodsTest : public ::testing::TestWithParam<uint16_t> {};

// ---- sessions, reading in every direction, stored bytes ----

TEST_P(MethodsTest, SessionsOfAppendsReadBackEveryWay) {
  const uint16_t method = GetParam();
  const std::string path = TempPath("sessions_" + std::to_string(method));
  std::mt19937 rng(1000 + method);
  Model model;
  {
    File file;
    ASSERT_EQ(file.Create(path, method), 0);
    AppendSession(file, method, model, 0, 120, rng);
    // Read back in the same session, before anything has been closed.
    std::vector<Item> live = LiveItems(model);
    SmallCaches(file.handle());
    std::vector<uint32_t> positions = ReadForwards(file, live);
    ReadBackwards(file, live);
    ReadAtRandom(file, live, positions, 1);
    ASSERT_EQ(file.Close(), 0);
    Closed(method, model, true);
  }
  CheckFileBytes(path, method, model);
  ReadAllWays(path, model, 2, true);

  for (int session = 1; session <= 3; ++session) {
    File file;
    ASSERT_EQ(file.Open(path), 0);
    if (session == 2) SmallCaches(file.handle());
    // Read a little first, so the decoder is mid-chain when appends start.
    Item first;
    ASSERT_EQ(file.Read(&first), 0);
    AppendSession(file, method, model, session * 1000, 60, rng);
    ASSERT_EQ(file.Close(), 0);
    Closed(method, model, true);
    CheckFileBytes(path, method, model);
  }
  ReadAllWays(path, model, 3, true);
  ReadAllWays(path, model, 4, false);
  std::remove(path.c_str());
}

// A session that only reads changes nothing, and its close sets no bit.
TEST_P(MethodsTest, CloseWithoutAppendsLeavesTheFileAlone) {
  const uint16_t method = GetParam();
  const std::string path = TempPath("readonly_" + std::to_string(method));
  std::mt19937 rng(7);
  Model model;
  {
    File file;
    ASSERT_EQ(file.Create(path, method), 0);
    AppendSession(file, method, model, 0, 12, rng);
    ASSERT_EQ(file.Close(), 0);
    Closed(method, model, true);
  }
  Bytes before = FileBytes(path);
  {
    File file;
    ASSERT_EQ(file.Open(path), 0);  // update access, nothing appended
    Item item;
    ASSERT_EQ(file.Read(&item), 0);
    ASSERT_EQ(file.Close(), 0);
  }
  EXPECT_TRUE(FileBytes(path) == before);
  CheckFileBytes(path, method, model);
  std::remove(path.c_str());
}

// ---- refused items in the middle of a chain ----

TEST_P(MethodsTest, RefusedOversizeItemsLeaveTheFileReadable) {
  const uint16_t method = GetParam();
  const std::string path = TempPath("oversize_" + std::to_string(method));
  std::mt19937 rng(55);
  Model model;
  File file;
  ASSERT_EQ(file.Create(path, method), 0);
  SmallCaches(file.handle());
  const uint16_t refused = method == 0 ? 0 : VARNFILE_E_INVALID_ARGUMENT;
  // A refusal before any record exists, then in the middle of a chain,
  // twice in a row, and at the end of a session. The cursor follows the
  // appends: each item is read back right after it was added, so the
  // reader's decoder has to follow the encoder across every refusal.
  auto addNoise = [&](size_t length) {
    Item noise{7, 7, 7, RandomBytes(length, rng)};
    ASSERT_EQ(file.Add(noise), refused);
    if (method == 0) {
      model.records.push_back(noise);
      model.resetAfter.push_back(false);
      Item got;
      ASSERT_EQ(file.Read(&got), 0);
      EXPECT_TRUE(SameItem(got, noise));
    } else if (IsChained(method) && !model.records.empty()) {
      model.resetAfter.back() = true;
    }
  };
  addNoise(65535);
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 5; ++i) {
      Item item{static_cast<uint16_t>(round * 10 + i), 0, 0, TextRecords(3000 + i * 100, rng)};
      ASSERT_EQ(file.Add(item), 0);
      model.records.push_back(item);
      model.resetAfter.push_back(false);
      Item got;
      ASSERT_EQ(file.Read(&got), 0) << "round " << round << " item " << i;
      EXPECT_TRUE(SameItem(got, item)) << "round " << round << " item " << i;
    }
    for (int k = 0; k < (round == 1 ? 2 : 1); ++k) addNoise(65535 - k);
    uint32_t cursor = file.Position();
    std::vector<Item> live = LiveItems(model);
    std::vector<uint32_t> positions = ReadForwards(file, live);
    ReadBackwards(file, live);
    ReadAtRandom(file, live, positions, round);
    ASSERT_EQ(VARNFileSetPosition(file.handle(), cursor), 0);
  }
  ASSERT_EQ(file.Close(), 0);
  Closed(method, model, true);
  CheckFileBytes(path, method, model);
  ReadAllWays(path, model, 9, true);
  std::remove(path.c_str());
}

// The reader has decoded the last record from the file when a refusal
// turns that record into a reset point; the items appended after it must
// still read back once they have left the cache. A cache of one item makes
// every read a decode from the file.
TEST_P(MethodsTest, ReaderAtTheEndFollowsARefusal) {
  const uint16_t method = GetParam();
  std::mt19937 rng(66);
  File file;
  ASSERT_EQ(file.Create("MEMORY$", method), 0);
  ASSERT_EQ(VARNFileSetParameters(file.handle(), 1, 0, 1024, 1024), 0);
  std::vector<Item> items;
  for (int i = 0; i < 2; ++i) {
    items.push_back(Item{1, 0, 0, SpacedText(3000, rng)});
    ASSERT_EQ(file.Add(items.back()), 0);
  }
  for (int i = 0; i < 2; ++i) {
    Item got;
    ASSERT_EQ(file.Read(&got), 0);
    EXPECT_TRUE(SameItem(got, items[i])) << "item " << i;
  }
  Item noise{2, 0, 0, RandomBytes(65535, rng)};
  ASSERT_EQ(file.Add(noise), method == 0 ? 0 : VARNFILE_E_INVALID_ARGUMENT);
  if (method == 0) items.push_back(noise);
  for (int i = 0; i < 3; ++i) {
    items.push_back(Item{3, 0, 0, SpacedText(3000, rng)});
    ASSERT_EQ(file.Add(items.back()), 0);
  }
  for (size_t i = 2; i < items.size(); ++i) {
    Item got;
    ASSERT_EQ(file.Read(&got), 0) << "item " << i;
    EXPECT_TRUE(SameItem(got, items[i])) << "item " << i;
  }
}

// ---- deletes and identifier updates ----

TEST_P(MethodsTest, DeletesAndIdUpdatesUnderCompression) {
  const uint16_t method = GetParam();
  const std::string path = TempPath("changes_" + std::to_string(method));
  std::mt19937 rng(77);
  Model model;
  {
    File file;
    ASSERT_EQ(file.Create(path, method), 0);
    AppendSession(file, method, model, 0, 40, rng);
    ASSERT_EQ(file.Close(), 0);
    Closed(method, model, true);
  }
  {
    File file;
    ASSERT_EQ(file.Open(path), 0);
    SmallCaches(file.handle());
    std::vector<uint32_t> positions;
    for (const RawRecord& r : ParseRecords(FileBytes(path))) positions.push_back(r.position);
    ASSERT_EQ(positions.size(), model.records.size());
    // Walk backwards, deleting every fifth record and renaming every third.
    for (size_t n = positions.size(); n-- > 0;) {
      ASSERT_EQ(VARNFileSetPosition(file.handle(), positions[n]), 0);
      Item& item = model.records[n];
      if (n % 5 == 2) {
        ASSERT_EQ(VARNFileDeleteItem(file.handle()), 0) << n;
        item.commandId = VARNFILE_CMD_DELETED;
      } else if (n % 3 == 1) {
        item.commandId = static_cast<uint16_t>(0x4000 + n);
        item.extraId = 0xBEEF;
        item.extraValue = 0xC0FFEE00u + static_cast<uint32_t>(n);
        // No data: only the identifiers and the value change.
        ASSERT_EQ(VARNFileUpdateItem(file.handle(), item.commandId, item.extraId, item.extraValue,
                                     0, nullptr),
                  0)
            << n;
      }
      if (n == 10 && method != 0 && !item.data.empty()) {
        // Data cannot be replaced in a compressed file, even at its length.
        EXPECT_EQ(VARNFileUpdateItem(file.handle(), 1, 1, 1,
                                     static_cast<uint16_t>(item.data.size()), item.data.data()),
                  VARNFILE_E_CANNOT_REPLACE);
      }
    }
    // Still readable in this session, through the cached changes.
    std::vector<Item> live = LiveItems(model);
    ReadForwards(file, live);
    ReadBackwards(file, live);
    AppendSession(file, method, model, 500, 10, rng);
    ASSERT_EQ(file.Close(), 0);
    Closed(method, model, true);
  }
  CheckFileBytes(path, method, model);
  ReadAllWays(path, model, 5, true);
  std::remove(path.c_str());
}

// ---- duplicate between every pair of methods ----

TEST_P(MethodsTest, DuplicateIntoEveryMethod) {
  const uint16_t sourceMethod = GetParam();
  const std::string sourcePath = TempPath("dup_source_" + std::to_string(sourceMethod));
  std::mt19937 rng(88 + sourceMethod);
  Model source;
  {
    File file;
    ASSERT_EQ(file.Create(sourcePath, sourceMethod), 0);
    AppendSession(file, sourceMethod, source, 0, 30, rng);
    ASSERT_EQ(VARNFileSetPosition(file.handle(), 174), 0);
    ASSERT_EQ(VARNFileSkipNext(file.handle()), 0);
    ASSERT_EQ(VARNFileDeleteItem(file.handle()), 0);  // the second record
    source.records[1].commandId = VARNFILE_CMD_DELETED;
    ASSERT_EQ(file.Close(), 0);
    Closed(sourceMethod, source, true);
  }
  for (uint16_t targetMethod : Methods) {
    SCOPED_TRACE("target method " + std::to_string(targetMethod));
    const std::string targetPath = TempPath("dup_target_" + std::to_string(sourceMethod) + "_" +
                                            std::to_string(targetMethod));
    {
      File from, to;
      ASSERT_EQ(from.OpenRead(sourcePath), 0);
      SmallCaches(from.handle());
      ASSERT_EQ(to.Create(targetPath, targetMethod), 0);
      ASSERT_EQ(VARNFileDuplicate(to.handle(), from.handle()), 0);
      uint32_t at = to.Position(), end = 0;
      ASSERT_EQ(VARNFileSeekToEnd(to.handle(), &end), 0);
      EXPECT_EQ(at, end);
      ASSERT_EQ(to.Close(), 0);
      ASSERT_EQ(from.Close(), 0);
    }
    Model target;
    target.records = source.records;
    target.resetAfter.assign(source.records.size(), false);
    Closed(targetMethod, target, true);
    CheckFileBytes(targetPath, targetMethod, target);
    ReadAllWays(targetPath, target, 6, true);
    std::remove(targetPath.c_str());
  }
  std::remove(sourcePath.c_str());
}

// ---- allocation failures ----

// Fails the n-th allocation of an append and of a read for n = 1, 2, ...:
// each failure is 272, the next call works, and the file holds each item
// exactly once. (A disk file: a memory file's own growth reports 278.)
TEST_P(MethodsTest, AllocationFailuresGive272AndTheNextCallWorks) {
  const uint16_t method = GetParam();
  const std::string path = TempPath("nomem_" + std::to_string(method));
  std::mt19937 rng(99);
  File file;
  ASSERT_EQ(file.Create(path, method), 0);
  std::vector<Item> items;
  for (int i = 0; i < 3; ++i) {
    Item item{static_cast<uint16_t>(i + 1), 0, 0, TextRecords(5000, rng)};
    int failures = 0;
    for (uint64_t n = 1; n < 200; ++n) {
      varnfile::MemSetFailure(n);
      uint16_t rc = file.Add(item);
      varnfile::MemSetFailure(0);
      if (rc == 0) break;
      ASSERT_EQ(rc, VARNFILE_E_NO_MEMORY) << "append, allocation " << n;
      ++failures;
    }
    if (i == 0 && method != 0) {
      EXPECT_GE(failures, 1);
    }
    items.push_back(item);
  }
  // Reads with a cold cache: shrink it to push the items out first.
  ASSERT_EQ(VARNFileSetParameters(file.handle(), 1, 0, 1024, 1024), 0);
  for (size_t i = 0; i < items.size(); ++i) {
    ASSERT_EQ(VARNFileSetPosition(file.handle(), 174), 0);
    for (size_t k = 0; k < i; ++k) ASSERT_EQ(VARNFileSkipNext(file.handle()), 0);
    Item got;
    for (uint64_t n = 1; n < 200; ++n) {
      uint32_t at = file.Position();
      varnfile::MemSetFailure(n);
      uint16_t rc = file.Read(&got);
      varnfile::MemSetFailure(0);
      if (rc == 0) break;
      ASSERT_EQ(rc, VARNFILE_E_NO_MEMORY) << "read, allocation " << n;
      ASSERT_EQ(VARNFileSetPosition(file.handle(), at), 0);
    }
    EXPECT_TRUE(SameItem(got, items[i])) << "item " << i;
  }
  std::vector<Item> all;
  for (const Item& item : items) all.push_back(item);
  ReadForwards(file, all);
  ReadBackwards(file, all);
  ASSERT_EQ(file.Close(), 0);
  Model model;
  model.records = items;
  model.resetAfter.assign(items.size(), false);
  Closed(method, model, true);
  CheckFileBytes(path, method, model);
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, MethodsTest, ::testing::ValuesIn(Methods),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return "Method" + std::to_string(info.param);
                         });

}  // namespace
