#include "store/store_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/block_codec.h"
#include "io/clock.h"
#include "io/scratch_dir.h"
#include "platform/memory.h"
#include "platform/posix_clock.h"
#include "platform/posix_file.h"
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

std::string Trailer(uint8_t recordStart, uint8_t flag) { return std::string({char(recordStart), 0, 0, 0, char(flag), 0, 0, 0}); }

uint32_t NoNumbers(uint32_t, uint32_t) { return 0; }

class StoreOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    PlatformSetClockOverride(March1Noon, 0);
    state_ = LibraryState{};
    store_.reset(new Store());
    store_->streamHandle = -1;
  }
  void TearDown() override {
    if (store_->streamHandle != -1) StoreClose(store_.get(), 0);
    EXPECT_EQ(state_.memCount, 0u);
    PlatformClearClockOverride();
    FileClearFaults();
    MemSetFailure(0);
  }
  ResultCode Open(const std::string& name, OpenMode mode, Store* store = nullptr, uint32_t method = 2,
                  const char* extension = nullptr, NameSequenceProc proc = nullptr) {
    return StoreOpen(&state_, store != nullptr ? store : store_.get(), extension, nullptr, name.c_str(), proc,
                     0, mode, method, &method_);
  }
  ResultCode Close(uint32_t discard = 0) { return StoreClose(store_.get(), discard); }
  // Appends a record holding the given stored bytes, with the trailer's
  // recordStart as given (-1: the right one).
  void Append(const std::string& stored, int64_t recordStart = -1) {
    Store* s = store_.get();
    uint32_t position = s->endOfData;
    uint16_t n = static_cast<uint16_t>(stored.size());
    uint8_t header[ItemHeaderSize], trailer[ItemTrailerSize];
    EncodeItemHeader(ItemHeader{1, 2, 3, n, n, 0}, header);
    EncodeItemTrailer(ItemTrailer{recordStart >= 0 ? static_cast<uint32_t>(recordStart) : position, 0}, trailer);
    ASSERT_EQ(BufferedWrite(s, header, position, ItemHeaderSize), ResultOk);
    ASSERT_EQ(BufferedWrite(s, reinterpret_cast<const uint8_t*>(stored.data()), position + ItemHeaderSize, n),
              ResultOk);
    ASSERT_EQ(BufferedWrite(s, trailer, position + ItemHeaderSize + n, ItemTrailerSize), ResultOk);
    s->endOfData = s->writeCursor = position + RecordOverhead + n;
  }
  void ExpectCleared() {
    EXPECT_EQ(store_->streamHandle, -1);
    EXPECT_EQ(store_->opened, 0u);
    EXPECT_EQ(store_->fileName[0], '\0');
    EXPECT_EQ(store_->readBuffer, nullptr);
    EXPECT_EQ(store_->writeBuffer, nullptr);
  }
  ScratchDir dir_;
  std::string path_ = dir_ / "FILE.TRN";
  LibraryState state_;
  std::unique_ptr<Store> store_;
  uint32_t method_ = 99;
};

TEST_F(StoreOpenTest, NewHeaderBytes) {
  FileHeader header;
  memset(header.bytes, 0xAA, sizeof header.bytes);
  BuildNewHeader(&header, 2, "/some/dir/FILE.TRN", &state_);
  EXPECT_EQ(std::string(header.bytes, header.bytes + 174), GoldenHeader(false));
  // The base name is cut to fifteen characters.
  BuildNewHeader(&header, 4, "d/ABCDEFGHIJKLMNOPQRST", &state_);
  EXPECT_EQ(memcmp(header.bytes + 20, "ABCDEFGHIJKLMNO\0\x03", 17), 0);
  EXPECT_EQ(header.bytes[47], 4);
  BuildNewHeader(&header, 0, "dir/", &state_);
  EXPECT_EQ(header.bytes[20], 0);
}

// The header is on disk at once, marked closed at the close; an existing
// file is replaced and two missing directory levels are made.
TEST_F(StoreOpenTest, CreateCloseReopen) {
  std::string path = dir_ / "one/two/FILE.TRN";
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(Open(path, CreateNamed), ResultOk);
    EXPECT_EQ(method_, 2u);
    EXPECT_EQ(store_->endOfData, 174u);
    EXPECT_EQ(ReadFile(path), GoldenHeader(false));
    ASSERT_EQ(Close(), ResultOk);
    ExpectCleared();
    EXPECT_EQ(ReadFile(path), GoldenHeader(true));
    WriteFile(path, std::string(500, 7));
  }
  WriteFile(path, GoldenHeader(true));
  ASSERT_EQ(Open(path, OpenReadOnly), ResultOk);
  EXPECT_EQ(method_, 2u);
  EXPECT_EQ(store_->endAtOpen, 174u);
  EXPECT_EQ(std::string(store_->header.bytes, store_->header.bytes + 174), GoldenHeader(true));
  ASSERT_EQ(Close(), ResultOk);

}

TEST_F(StoreOpenTest, HeaderChecksInTheirOrder) {
  struct Refusal {
    const char* what;
    size_t offset;
    std::string bytes;
    ResultCode expected;
    bool neverClosed = false;
  };
  const Refusal refusals[] = {
      {"magic", 0, "KVRX", ResultNotTransactionFile},
      {"magic before version", 0, "XVRW\x07\x01", ResultNotTransactionFile},
      {"version 263", 4, "\x07\x01", ResultBadVersion},
      {"version 273", 4, "\x11\x01", ResultBadVersion},
      {"version 0", 4, std::string(2, '\0'), ResultBadVersion},
      {"never closed", 142, std::string(2, '\0'), ResultNotTransactionFile},
      {"closed marker high byte counts", 142, std::string("\0\x01", 2), ResultOk},
      {"version 264", 4, "\x08\x01", ResultOk},
      // 2020-01-31 12:00:00, exactly 30 days before the clock.
      {"aged", 36, std::string("\x01\x1F\x78\x0C\0\0", 6), ResultAged},
      {"not yet aged", 36, std::string("\x01\x1F\x78\x0C\0\x01", 6), ResultOk},
      {"zero limit, a second ago", 36, std::string("\x03\x01\x78\x0B\x3B\x3B\0\0\0\0\0", 11), ResultAged},
      {"future stamp", 36, std::string("\x03\x01\x79\0\0\0\0\0\0\0\0", 11), ResultOk},
      // Version before the closed marker, the closed marker before aging.
      {"version, never closed", 4, "\x11\x01", ResultBadVersion, true},
      {"never closed, stamped in 2000", 38, "\x64", ResultNotTransactionFile, true},
  };
  const std::string good = GoldenHeader(true);
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    std::string bytes = good;
    bytes.replace(r.offset, r.bytes.size(), r.bytes);
    if (r.neverClosed) bytes[142] = 0;
    WriteFile(path_, bytes);
    for (OpenMode mode : {OpenReadOnly, OpenReadWrite}) {
      EXPECT_EQ(Open(path_, mode), r.expected);
      if (r.expected == ResultOk) {
        EXPECT_EQ(Close(), ResultOk);
      } else {
        ExpectCleared();
      }
      EXPECT_EQ(ReadFile(path_), bytes);  // a refused file is never touched
    }
  }
  for (size_t length : {0, 1, 173}) {
    WriteFile(path_, good.substr(0, length));
    EXPECT_EQ(Open(path_, OpenReadOnly), ResultHeaderUnreadable) << length;
    EXPECT_EQ(ReadFile(path_).size(), length);
  }
  EXPECT_EQ(Open(dir_ / "absent", OpenReadOnly), ResultOpenFailed);
  EXPECT_EQ(Open(dir_ / "absent", OpenReadWrite), ResultOpenFailed);
  EXPECT_FALSE(Exists(dir_ / "absent"));
}

// Failed opens and creates leave the store cleared and remove only what
// they made.
TEST_F(StoreOpenTest, RefusalsAndFaults) {
  std::string longName = dir_.path().string() + "/" + std::string(260, 'n');
  for (OpenMode mode : {OpenReadOnly, OpenReadWrite, CreateNamed, CreateUnique, DeleteByName}) {
    EXPECT_EQ(Open(longName, mode), ResultInvalidArgument) << mode;
  }
  EXPECT_EQ(StoreOpen(&state_, store_.get(), nullptr, nullptr, nullptr, nullptr, 0, CreateNamed, 2, nullptr),
            ResultInvalidArgument);
  MemSetFailure(1, true);
  EXPECT_EQ(Open("MEMORY$", CreateNamed), ResultNoMemory);
  MemSetFailure(0);
  FileSetFault(FileCallWrite, FileFault{1, false, ENOSPC, false});
  EXPECT_EQ(Open(path_, CreateNamed), ResultWriteFailed);
  ExpectCleared();
  EXPECT_TRUE(dir_.List().empty());

  ASSERT_EQ(Open(path_, CreateNamed), ResultOk);
  FileSetFault(FileCallWrite, FileFault{1, true, EIO, false});
  EXPECT_EQ(Close(), ResultWriteFailed);
  FileClearFaults();
  ExpectCleared();
  EXPECT_EQ(ReadFile(path_), GoldenHeader(false));
  WriteFile(path_, GoldenHeader(true));
  FileSetFault(FileCallSeek, FileFault{1, false, EIO, false});
  EXPECT_EQ(Open(path_, OpenReadWrite), ResultSeekFailed);
  FileClearFaults();
  ExpectCleared();
  Store holder;
  ASSERT_EQ(Open(path_, OpenReadWrite, &holder), ResultOk);
  EXPECT_EQ(Open(path_, CreateNamed), ResultCreateFailed);
  ASSERT_EQ(StoreClose(&holder, 0), ResultOk);
  EXPECT_EQ(ReadFile(path_), GoldenHeader(true));

  WriteFile(dir_ / "blocker", "b");
  EXPECT_EQ(Open(dir_ / "blocker/sub/FILE.TRN", CreateNamed), ResultMkdirFailed);
  EXPECT_EQ(Open(dir_ / "blocker/sub", CreateUnique, nullptr, 2, "T"), ResultMkdirFailed);
  EXPECT_EQ(ReadFile(dir_ / "blocker"), "b");
  for (std::string folder : {dir_ / "", dir_.path().string()}) {
    EXPECT_EQ(Open(folder, CreateUnique, nullptr, 2, "T", NoNumbers), ResultNoUniqueName);
    ExpectCleared();
  }
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"FILE.TRN", "blocker"}));
}

TEST_F(StoreOpenTest, ClosingAFileOnlyReadWritesNothing) {
  ASSERT_EQ(Open(path_, CreateNamed), ResultOk);
  Append("abc");
  ASSERT_EQ(Close(), ResultOk);
  const std::string before = ReadFile(path_);
  struct timespec times[2] = {{1000000, 0}, {1000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  for (OpenMode mode : {OpenReadOnly, OpenReadWrite}) {
    ASSERT_EQ(Open(path_, mode), ResultOk);
    uint8_t data[3];
    ASSERT_EQ(BufferedRead(store_.get(), data, 188, 3, 0), ResultOk);
    EXPECT_EQ(memcmp(data, "abc", 3), 0);
    ASSERT_EQ(Close(), ResultOk);
    EXPECT_EQ(ReadFile(path_), before);
    struct stat info;
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1000000);
    EXPECT_EQ(info.st_mtim.tv_nsec, 0);
  }
}

// The close marks the last record of a session under a chained method as a
// reset point; unchained methods set no flag.
TEST_F(StoreOpenTest, CommitMarksTheLastRecordAsResetPoint) {
  ASSERT_EQ(Open(path_, CreateNamed), ResultOk);
  Append("abc");
  Append("");
  ASSERT_EQ(Close(), ResultOk);
  std::string bytes = ReadFile(path_);
  ASSERT_EQ(bytes.size(), 174u + 25 + 22);
  EXPECT_EQ(bytes.substr(191), Trailer(174, 0) + bytes.substr(199, 14) + Trailer(199, 1));
  EXPECT_EQ(bytes[142], 1);
  ASSERT_EQ(Open(path_, OpenReadWrite), ResultOk);
  EXPECT_EQ(store_->endAtOpen, 221u);
  Append("xy");
  ASSERT_EQ(Close(), ResultOk);
  bytes = ReadFile(path_);
  ASSERT_EQ(bytes.size(), 221u + 24);
  EXPECT_EQ(bytes.substr(237), Trailer(221, 1));
  for (uint32_t method : {0u, 1u, 4u}) {
    ASSERT_EQ(Open(path_, CreateNamed, nullptr, method), ResultOk);
    EXPECT_EQ(method_, method);
    Append("abc");
    ASSERT_EQ(Close(), ResultOk);
    bytes = ReadFile(path_);
    ASSERT_EQ(bytes.size(), 199u);
    EXPECT_EQ(bytes[47], static_cast<char>(method));
    EXPECT_EQ(bytes.substr(191), Trailer(174, 0));
  }
}

TEST_F(StoreOpenTest, EndThatDoesNotMatchGives261AndWritesNothing) {
  ASSERT_EQ(Open(path_, CreateNamed), ResultOk);
  Append("abc");
  ASSERT_EQ(Close(), ResultOk);
  const std::string before = ReadFile(path_);
  // The real start is 199; 174 names the first record (which ends at
  // 199), 0 and 300 lie outside the records, and at 200 the bytes read as
  // a header give a stored length of 0.
  for (int64_t recordStart : {174, 0, 300, 200}) {
    SCOPED_TRACE(recordStart);
    ASSERT_EQ(Open(path_, OpenReadWrite), ResultOk);
    Append("zz", recordStart);
    FileHeader same = store_->header;
    StorePutHeader(store_.get(), &same);  // even a changed header stays
    EXPECT_EQ(Close(), ResultEndInconsistent);
    ExpectCleared();
    EXPECT_EQ(ReadFile(path_), before);
  }
}

}  // namespace
}  // namespace varnfile
