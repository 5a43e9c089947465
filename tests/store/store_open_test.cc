// Opening and closing a store: the exact header bytes written, the checks
// on an existing header in their order, the close's end check, and refusals
// that leave every file as it was. (Names too long and directories that
// cannot be made: the API's lifecycle tests.)
#include "store/store_open.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/memory_stream.h"
#include "io/scratch_dir.h"
#include "os_util.h"
#include "platform/system_clock.h"
#include "platform/file.h"
#include "store/buffered_io.h"

namespace varnfile {
namespace {

constexpr int64_t March1Noon = 1583064000;  // 2020-03-01 12:00:00 UTC, every test's clock

// The header this library writes for "FILE.TRN" at March1Noon under method
// 2, closed or not, spelled out byte by byte.
std::string GoldenHeader(bool closed) {
  std::string h(174, '\0');
  h.replace(0, 6, "KVRW\x10\x01");  // version 272
  h.replace(20, 8, "FILE.TRN");
  h.replace(36, 13, std::string("\x03\x01\x78\x0C\0\0\x1E\0\0\0\0\x02\0", 13));
  h[142] = closed ? 1 : 0;
  return h;
}

class StoreOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    varnfile_test::UseUtc();
    PlatformSetClockOverride(March1Noon, 0);
    store_.streamHandle = -1;
  }
  void TearDown() override {
    if (store_.streamHandle != -1) StoreClose(&store_, false);
    MemoryStreamDropSpares(&state_);
    PlatformClearClockOverride();
    FileClearFaults();
  }
  ResultCode Open(const std::string& name, OpenMode mode, uint32_t method = 2,
                  const char* extension = nullptr, NameSequenceProc proc = nullptr) {
    return StoreOpen(&state_, &store_, extension, nullptr, name.c_str(), proc, 0, mode, method,
                     &method_);
  }
  ResultCode Close() { return StoreClose(&store_, false); }
  // Appends a record holding the given stored bytes, with the trailer's
  // recordStart as given (-1: the right one).
  void Append(const std::string& stored, int64_t recordStart = -1) {
    uint32_t position = store_.endOfData, n = static_cast<uint32_t>(stored.size());
    uint8_t record[RecordOverhead + 8];
    EncodeItemHeader(ItemHeader{1, 2, 3, uint16_t(n), uint16_t(n), 0}, record);
    memcpy(record + ItemHeaderSize, stored.data(), n);
    EncodeItemTrailer(ItemTrailer{recordStart >= 0 ? uint32_t(recordStart) : position, 0},
                      record + ItemHeaderSize + n);
    ASSERT_EQ(BufferedWrite(&store_, record, position, RecordOverhead + n), ResultOk);
    store_.endOfData = store_.writeCursor = position + RecordOverhead + n;
  }
  void ExpectCleared() {
    EXPECT_EQ(store_.streamHandle, -1);
    EXPECT_FALSE(store_.opened);
    EXPECT_EQ(store_.fileName[0], '\0');
    EXPECT_TRUE(store_.readBuffer == nullptr && store_.writeBuffer == nullptr);
  }
  ScratchDir dir_;
  std::string path_ = dir_ / "FILE.TRN";
  IoState state_{};
  Store store_{};
  uint32_t method_ = 99;
};

// The header is on disk at once and marked closed at the close; an existing
// file is replaced and missing directory levels are made. The base name is
// cut to fifteen characters.
TEST_F(StoreOpenTest, NewHeaderBytes) {
  std::string path = dir_ / "one/two/FILE.TRN";
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(Open(path, OpenMode::CreateNamed), ResultOk);
    EXPECT_EQ(method_, 2u);
    EXPECT_EQ(store_.endOfData, 174u);
    EXPECT_EQ(ReadFile(path), GoldenHeader(false));
    ASSERT_EQ(Close(), ResultOk);
    ExpectCleared();
    EXPECT_EQ(ReadFile(path), GoldenHeader(true));
    WriteFile(path, std::string(500, 7));
  }
  FileHeader header;
  BuildNewHeader(&header, 4, "d/ABCDEFGHIJKLMNOPQRST", &state_);
  EXPECT_EQ(memcmp(header.bytes + 20, "ABCDEFGHIJKLMNO\0\x03", 17), 0);
  EXPECT_EQ(header.bytes[47], 4);
  BuildNewHeader(&header, 0, "dir/", &state_);
  EXPECT_EQ(header.bytes[20], 0);
}

TEST_F(StoreOpenTest, HeaderChecksInTheirOrder) {
  const struct {
    const char* what; size_t offset; std::string bytes; ResultCode expected; bool neverClosed;
  } cases[] = {
      {"good", 0, "", ResultOk, false},
      {"magic before version", 0, "XVRW\x07\x01", ResultNotTransactionFile, false},
      {"version 263", 4, "\x07\x01", ResultBadVersion, false},
      {"version 273", 4, "\x11\x01", ResultBadVersion, false},
      {"never closed", 142, std::string(2, '\0'), ResultNotTransactionFile, false},
      {"closed marker high byte counts", 142, std::string("\0\x01", 2), ResultOk, false},
      {"version 264", 4, "\x08\x01", ResultOk, false},
      // 2020-01-31 12:00:00, exactly 30 days before the clock.
      {"aged", 36, std::string("\x01\x1F\x78\x0C\0\0", 6), ResultAged, false},
      {"not yet aged", 36, std::string("\x01\x1F\x78\x0C\0\x01", 6), ResultOk, false},
      // Version before the closed marker, the closed marker before aging.
      {"version, never closed", 4, "\x11\x01", ResultBadVersion, true},
      {"never closed, stamped in 2000", 38, "\x64", ResultNotTransactionFile, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = GoldenHeader(!c.neverClosed);
    bytes.replace(c.offset, c.bytes.size(), c.bytes);
    WriteFile(path_, bytes);
    ASSERT_EQ(varnfile_test::SetModifiedTime(path_, 1000000), 0);
    for (OpenMode mode : {OpenMode::OpenReadOnly, OpenMode::OpenReadWrite}) {
      EXPECT_EQ(Open(path_, mode), c.expected);
      if (c.expected == ResultOk) {
        EXPECT_EQ(method_, 2u);
        EXPECT_EQ(store_.endAtOpen, 174u);
        EXPECT_EQ(std::string(store_.header.bytes, store_.header.bytes + 174), bytes);
        EXPECT_EQ(Close(), ResultOk);
      }
      ExpectCleared();
      // A file opened and closed or refused is never written, not even its
      // modification time.
      EXPECT_EQ(ReadFile(path_), bytes);
      EXPECT_EQ(varnfile_test::ModifiedTime(path_), 1000000);
    }
  }
  for (size_t length : {0, 1, 173}) {
    WriteFile(path_, GoldenHeader(true).substr(0, length));
    EXPECT_EQ(Open(path_, OpenMode::OpenReadOnly), ResultHeaderUnreadable) << length;
    EXPECT_EQ(ReadFile(path_).size(), length);
  }
  EXPECT_EQ(Open(dir_ / "absent", OpenMode::OpenReadWrite), ResultOpenFailed);
  EXPECT_FALSE(Exists(dir_ / "absent"));
}

// Stamps reach the year 2155 (a byte of years since 1900): a clock past
// January 2038 stamps its own date, and aging is judged across 2^31
// seconds as anywhere else.
TEST_F(StoreOpenTest, StampsAndAgingPast2038) {
  constexpr int64_t March1Noon2040 = 2214216000;  // 2040-03-01 12:00:00 UTC
  constexpr int64_t Past31Bits = int64_t{1} << 31;  // 2038-01-19 03:14:08 UTC
  constexpr int64_t ThirtyDays = 30 * 86400;
  PlatformSetClockOverride(March1Noon2040, 0);
  ASSERT_EQ(Open(path_, OpenMode::CreateNamed), ResultOk);
  ASSERT_EQ(Close(), ResultOk);
  std::string stamped = GoldenHeader(true);
  stamped[38] = static_cast<char>(140);
  EXPECT_EQ(ReadFile(path_), stamped);
  const struct {
    const char* what; int64_t now; std::string stamp; ResultCode expected;
  } cases[] = {
      {"2040-01-31 12:00:00, 30 days before", March1Noon2040, std::string("\x01\x1F\x8C\x0C\0\0", 6), ResultAged},
      {"a second later", March1Noon2040, std::string("\x01\x1F\x8C\x0C\0\x01", 6), ResultOk},
      {"2037-12-31", March1Noon2040, std::string("\x0C\x1F\x89\0\0\0", 6), ResultAged},
      {"2^31 s, 30 days less a second", Past31Bits + ThirtyDays - 1, "\x01\x13\x8A\x03\x0E\x08", ResultOk},
      {"2^31 s, 30 days", Past31Bits + ThirtyDays, "\x01\x13\x8A\x03\x0E\x08", ResultAged},
      {"2155-12-31 23:59:59, from 2020", March1Noon, "\x0C\x1F\xFF\x17\x3B\x3B", ResultOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PlatformSetClockOverride(c.now, 0);
    std::string bytes = GoldenHeader(true);
    bytes.replace(36, 6, c.stamp);
    WriteFile(path_, bytes);
    EXPECT_EQ(Open(path_, OpenMode::OpenReadOnly), c.expected);
    if (c.expected == ResultOk) {
      EXPECT_EQ(Close(), ResultOk);
    }
  }
}

// A last trailer that does not lead back to the record it ends gives 261,
// and the file stays as it was, header included.
TEST_F(StoreOpenTest, EndThatDoesNotMatchGives261AndWritesNothing) {
  ASSERT_EQ(Open(path_, OpenMode::CreateNamed), ResultOk);
  Append("abc");
  ASSERT_EQ(Close(), ResultOk);
  const std::string before = ReadFile(path_);
  // The real start is 199; 174 names the first record (which ends at
  // 199), 0 and 300 lie outside the records, and at 200 the bytes read as
  // a header give a stored length of 0.
  for (int64_t recordStart : {174, 0, 300, 200}) {
    SCOPED_TRACE(recordStart);
    ASSERT_EQ(Open(path_, OpenMode::OpenReadWrite), ResultOk);
    Append("zz", recordStart);
    FileHeader same = store_.header;
    StorePutHeader(&store_, &same);  // even a changed header stays
    EXPECT_EQ(Close(), ResultEndInconsistent);
    ExpectCleared();
    EXPECT_EQ(ReadFile(path_), before);
  }
}

}  // namespace
}  // namespace varnfile
