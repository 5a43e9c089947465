#include "store/store_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
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

using Bytes = std::vector<uint8_t>;

// 2020-03-01 12:00:00 UTC, the clock of every test here.
constexpr int64_t March1Noon = 1583064000;
constexpr int64_t Day = 86400;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// The header this library writes for "FILE.TRN" at March1Noon under method
// 2, closed or not, spelled out byte by byte.
Bytes GoldenHeader(bool closed) {
  Bytes h(174, 0);
  const uint8_t magic[] = {'K', 'V', 'R', 'W', 0x10, 0x01};  // version 272
  memcpy(h.data(), magic, sizeof magic);
  memcpy(h.data() + 20, "FILE.TRN", 8);
  const uint8_t stamp[] = {3, 1, 120, 12, 0, 0, 30, 0, 0, 0, 0, 2, 0};
  memcpy(h.data() + 36, stamp, sizeof stamp);
  if (closed) h[142] = 1;
  return h;
}

// Sets a file's modification time far into the past, so that any write
// shows.
void AgeModificationTime(const std::string& path) {
  struct timespec times[2] = {{1000000, 0}, {1000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

int64_t ModificationTime(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

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

  ResultCode Open(const std::string& name, OpenMode mode, Store* store = nullptr) {
    return StoreOpen(&state_, store != nullptr ? store : store_.get(), nullptr, nullptr,
                     name.c_str(), nullptr, 0, mode, MethodChainedDeflate, &method_);
  }
  ResultCode Close(uint32_t discard = 0) { return StoreClose(store_.get(), discard); }

  // Makes a properly closed, empty file at path.
  void MakeFile(const std::string& path) {
    ASSERT_EQ(Open(path, CreateNamed), ResultOk);
    ASSERT_EQ(Close(), ResultOk);
  }

  // Appends a record holding the given stored bytes, with the trailer's
  // recordStart as given (-1: the right one).
  void Append(const std::string& stored, int64_t recordStart = -1) {
    Store* s = store_.get();
    uint32_t position = s->endOfData;
    uint16_t n = static_cast<uint16_t>(stored.size());
    uint8_t header[ItemHeaderSize];
    EncodeItemHeader(ItemHeader{1, 2, 3, n, n, 0}, header);
    uint8_t trailer[ItemTrailerSize];
    uint32_t start = recordStart >= 0 ? static_cast<uint32_t>(recordStart) : position;
    EncodeItemTrailer(ItemTrailer{start, 0}, trailer);
    ASSERT_EQ(BufferedWrite(s, header, position, ItemHeaderSize), ResultOk);
    ASSERT_EQ(BufferedWrite(s, reinterpret_cast<const uint8_t*>(stored.data()),
                            position + ItemHeaderSize, n),
              ResultOk);
    ASSERT_EQ(BufferedWrite(s, trailer, position + ItemHeaderSize + n, ItemTrailerSize),
              ResultOk);
    s->endOfData = position + RecordOverhead + n;
    s->writeCursor = s->endOfData;
  }

  void ExpectCleared() {
    EXPECT_EQ(store_->streamHandle, -1);
    EXPECT_EQ(store_->opened, 0u);
    EXPECT_EQ(store_->fileName[0], '\0');
    EXPECT_EQ(store_->readBuffer, nullptr);
    EXPECT_EQ(store_->writeBuffer, nullptr);
  }

  ScratchDir dir_;
  LibraryState state_;
  std::unique_ptr<Store> store_;
  uint32_t method_ = 99;
};

// ---- the new header ----

TEST_F(StoreOpenTest, NewHeaderFieldByField) {
  FileHeader header;
  memset(header.bytes, 0xAA, sizeof header.bytes);
  BuildNewHeader(&header, 2, "/some/dir/FILE.TRN", &state_);
  EXPECT_EQ(Bytes(header.bytes, header.bytes + 174), GoldenHeader(false));
}

TEST_F(StoreOpenTest, NewHeaderBaseNameIsCutToFifteen) {
  FileHeader header;
  BuildNewHeader(&header, 4, "d/ABCDEFGHIJKLMNOPQRST", &state_);
  EXPECT_EQ(memcmp(header.bytes + 20, "ABCDEFGHIJKLMNO\0", 16), 0);
  EXPECT_EQ(header.bytes[36], 3);  // the stamp behind it is intact
  EXPECT_EQ(header.bytes[47], 4);
  BuildNewHeader(&header, 0, "PLAIN", &state_);
  EXPECT_EQ(memcmp(header.bytes + 20, "PLAIN\0", 6), 0);
  BuildNewHeader(&header, 0, "dir/", &state_);
  EXPECT_EQ(header.bytes[20], 0);
}

// ---- create, close, reopen ----

TEST_F(StoreOpenTest, CreateNamedWritesHeaderThenClosesIt) {
  std::string path = dir_ / "FILE.TRN";
  ASSERT_EQ(Open(path, CreateNamed), ResultOk);
  EXPECT_EQ(method_, 2u);
  EXPECT_EQ(store_->opened, 1u);
  EXPECT_EQ(store_->endAtOpen, 174u);
  EXPECT_EQ(store_->endOfData, 174u);
  EXPECT_EQ(store_->readCursor, 174u);
  EXPECT_EQ(store_->writeCursor, 174u);
  EXPECT_STREQ(store_->fileName, path.c_str());
  // On disk at once, not yet marked closed.
  EXPECT_EQ(ReadFile(path), GoldenHeader(false));
  ASSERT_EQ(Close(), ResultOk);
  ExpectCleared();
  EXPECT_EQ(ReadFile(path), GoldenHeader(true));

  ASSERT_EQ(Open(path, OpenReadOnly), ResultOk);
  EXPECT_EQ(method_, 2u);
  EXPECT_EQ(store_->endAtOpen, 174u);
  EXPECT_EQ(Bytes(store_->header.bytes, store_->header.bytes + 174), GoldenHeader(true));
}

TEST_F(StoreOpenTest, CreateNamedReplacesAnExistingFile) {
  std::string path = dir_ / "FILE.TRN";
  WriteFile(path, Bytes(500, 7));
  ASSERT_EQ(Open(path, CreateNamed), ResultOk);
  ASSERT_EQ(Close(), ResultOk);
  EXPECT_EQ(ReadFile(path), GoldenHeader(true));
}

TEST_F(StoreOpenTest, CreateNamedMakesTwoDirectoryLevels) {
  std::string path = dir_ / "one/two/FILE.TRN";
  ASSERT_EQ(Open(path, CreateNamed), ResultOk);
  ASSERT_EQ(Close(), ResultOk);
  EXPECT_EQ(ReadFile(path), GoldenHeader(true));
}

TEST_F(StoreOpenTest, CreateUniqueInventsNameAndMakesDirectory) {
  std::string folder = dir_ / "made/here/";
  ASSERT_EQ(StoreOpen(&state_, store_.get(), "trn", nullptr, folder.c_str(), nullptr, 0,
                      CreateUnique, MethodChainedDeflate, &method_),
            ResultOk);
  std::string path = store_->fileName;
  ASSERT_EQ(path.rfind(dir_ / "made/here/", 0), 0u) << path;
  std::string name = path.substr(path.rfind('/') + 1);
  EXPECT_EQ(name.size(), 12u);
  EXPECT_EQ(name.substr(8), ".TRN");
  EXPECT_EQ(memcmp(store_->header.bytes + 20, name.c_str(), name.size() + 1), 0);
  ASSERT_EQ(Close(), ResultOk);
  Bytes bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 174u);
  EXPECT_EQ(bytes[142], 1);
}

TEST_F(StoreOpenTest, MemoryFileIsCreatedNeverOpened) {
  ASSERT_EQ(Open("Memory$", CreateNamed), ResultOk);
  EXPECT_EQ(store_->isMemory, 1u);
  EXPECT_STREQ(store_->fileName, "Memory$");
  EXPECT_EQ(state_.memCount, 1u);
  ASSERT_EQ(Close(), ResultOk);
  EXPECT_EQ(state_.memCount, 0u);
  EXPECT_EQ(Open("MEMORY$", OpenReadOnly), ResultHeaderUnreadable);
  EXPECT_EQ(Open("memory$", OpenReadWrite), ResultHeaderUnreadable);
  ExpectCleared();
}

// ---- refusals when opening ----

TEST_F(StoreOpenTest, MissingFileGives274) {
  EXPECT_EQ(Open(dir_ / "absent", OpenReadOnly), ResultOpenFailed);
  EXPECT_EQ(Open(dir_ / "absent", OpenReadWrite), ResultOpenFailed);
  ExpectCleared();
  EXPECT_FALSE(Exists(dir_ / "absent"));
}

struct Refusal {
  const char* what;
  size_t offset;
  std::vector<uint8_t> bytes;
  ResultCode expected;
};

TEST_F(StoreOpenTest, HeaderChecksInTheirOrder) {
  std::string path = dir_ / "FILE.TRN";
  const Refusal refusals[] = {
      {"magic", 0, {'K', 'V', 'R', 'X'}, ResultNotTransactionFile},
      {"magic before version", 0, {'X', 'V', 'R', 'W', 0x07, 0x01}, ResultNotTransactionFile},
      {"version 263", 4, {0x07, 0x01}, ResultBadVersion},
      {"version 273", 4, {0x11, 0x01}, ResultBadVersion},
      {"version 0", 4, {0x00, 0x00}, ResultBadVersion},
      {"never closed", 142, {0, 0}, ResultNotTransactionFile},
      {"closed marker high byte counts", 142, {0, 1}, ResultOk},
      {"version 264", 4, {0x08, 0x01}, ResultOk},
      // 2020-01-31 12:00:00, exactly 30 days before the clock.
      {"aged", 36, {1, 31, 120, 12, 0, 0}, ResultAged},
      {"not yet aged", 36, {1, 31, 120, 12, 0, 1}, ResultOk},
      {"zero limit, stamped a second ago", 36, {3, 1, 120, 11, 59, 59, 0, 0, 0, 0, 0}, ResultAged},
      {"future stamp", 36, {3, 1, 121, 0, 0, 0, 0, 0, 0, 0, 0}, ResultOk},
  };
  MakeFile(path);
  const Bytes good = ReadFile(path);
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    Bytes bytes = good;
    memcpy(bytes.data() + r.offset, r.bytes.data(), r.bytes.size());
    WriteFile(path, bytes);
    for (OpenMode mode : {OpenReadOnly, OpenReadWrite}) {
      EXPECT_EQ(Open(path, mode), r.expected);
      if (r.expected == ResultOk) {
        EXPECT_EQ(Close(), ResultOk);
      } else {
        ExpectCleared();
      }
      EXPECT_EQ(ReadFile(path), bytes);  // a refused file is never touched
    }
  }
  // Later checks win only when the earlier ones pass: version before the
  // closed marker, the closed marker before aging.
  Bytes bytes = good;
  bytes[4] = 0x11;
  bytes[142] = 0;
  WriteFile(path, bytes);
  EXPECT_EQ(Open(path, OpenReadOnly), ResultBadVersion);
  bytes = good;
  bytes[142] = 0;
  bytes[38] = 100;  // stamped in 2000
  WriteFile(path, bytes);
  EXPECT_EQ(Open(path, OpenReadOnly), ResultNotTransactionFile);
}

TEST_F(StoreOpenTest, ShortFileGives263) {
  std::string path = dir_ / "SHORT";
  MakeFile(path);
  Bytes good = ReadFile(path);
  for (size_t length : {size_t{0}, size_t{1}, size_t{173}}) {
    WriteFile(path, Bytes(good.begin(), good.begin() + static_cast<long>(length)));
    EXPECT_EQ(Open(path, OpenReadOnly), ResultHeaderUnreadable) << length;
    EXPECT_EQ(ReadFile(path).size(), length);
  }
}

TEST_F(StoreOpenTest, AgingFollowsTheClock) {
  std::string path = dir_ / "FILE.TRN";
  MakeFile(path);
  PlatformSetClockOverride(March1Noon + 30 * Day - 1, 0);
  ASSERT_EQ(Open(path, OpenReadOnly), ResultOk);
  ASSERT_EQ(Close(), ResultOk);
  PlatformSetClockOverride(March1Noon + 30 * Day, 0);
  EXPECT_EQ(Open(path, OpenReadOnly), ResultAged);
  EXPECT_TRUE(Exists(path));
}

TEST_F(StoreOpenTest, NeverClosedFileIsRefused) {
  std::string path = dir_ / "FILE.TRN";
  std::string lost = dir_ / "LOST.TRN";
  ASSERT_EQ(Open(path, CreateNamed), ResultOk);
  // What a crash before the close leaves behind.
  WriteFile(lost, ReadFile(path));
  ASSERT_EQ(Close(), ResultOk);
  EXPECT_EQ(Open(lost, OpenReadWrite), ResultNotTransactionFile);
  EXPECT_EQ(ReadFile(lost), GoldenHeader(false));
}

TEST_F(StoreOpenTest, FailedOpenLeavesNoStreamOpen) {
  std::string path = dir_ / "FILE.TRN";
  MakeFile(path);
  Bytes bytes = ReadFile(path);
  bytes[4] = 0;
  WriteFile(path, bytes);
  EXPECT_EQ(Open(path, OpenReadWrite), ResultBadVersion);
  bytes[4] = 0x10;
  WriteFile(path, bytes);
  // The exclusive lock of the failed open is gone.
  EXPECT_EQ(Open(path, OpenReadWrite), ResultOk);
}

TEST_F(StoreOpenTest, SeekFailureAfterTheChecks) {
  std::string path = dir_ / "FILE.TRN";
  MakeFile(path);
  FileSetFault(FileCallSeek, FileFault{1, false, EIO, false});
  EXPECT_EQ(Open(path, OpenReadWrite), ResultSeekFailed);
  FileClearFaults();
  ExpectCleared();
  EXPECT_EQ(ReadFile(path), GoldenHeader(true));
  EXPECT_EQ(Open(path, OpenReadWrite), ResultOk);
}

TEST_F(StoreOpenTest, NamesOverTheLimitAreRefused) {
  std::string longName = dir_.path().string() + "/" + std::string(260, 'n');
  for (OpenMode mode : {OpenReadOnly, OpenReadWrite, CreateNamed, CreateUnique, DeleteByName}) {
    EXPECT_EQ(Open(longName, mode), ResultInvalidArgument) << mode;
  }
  EXPECT_EQ(StoreOpen(&state_, store_.get(), nullptr, nullptr, nullptr, nullptr, 0, CreateNamed,
                      2, nullptr),
            ResultInvalidArgument);
  EXPECT_TRUE(dir_.List().empty());
}

TEST_F(StoreOpenTest, MemoryStreamOutOfMemory) {
  MemSetFailure(1, true);
  EXPECT_EQ(Open("MEMORY$", CreateNamed), ResultNoMemory);
  MemSetFailure(0);
  ExpectCleared();
}

// ---- failed creates remove only what they made ----

TEST_F(StoreOpenTest, HeaderWriteFailureRemovesTheNewFile) {
  std::string path = dir_ / "FILE.TRN";
  FileSetFault(FileCallWrite, FileFault{1, false, ENOSPC, false});
  EXPECT_EQ(Open(path, CreateNamed), ResultWriteFailed);
  FileClearFaults();
  ExpectCleared();
  EXPECT_FALSE(Exists(path));
}

TEST_F(StoreOpenTest, CreateOverAFileHeldElsewhereKeepsIt) {
  std::string path = dir_ / "FILE.TRN";
  MakeFile(path);
  Store holder;
  ASSERT_EQ(Open(path, OpenReadWrite, &holder), ResultOk);
  EXPECT_EQ(Open(path, CreateNamed), ResultCreateFailed);
  ASSERT_EQ(StoreClose(&holder, 0), ResultOk);
  EXPECT_EQ(ReadFile(path), GoldenHeader(true));
}

TEST_F(StoreOpenTest, DirectoryThatCannotBeMadeGives282) {
  WriteFile(dir_ / "blocker", Bytes{1});
  EXPECT_EQ(Open(dir_ / "blocker/sub/FILE.TRN", CreateNamed), ResultMkdirFailed);
  EXPECT_EQ(StoreOpen(&state_, store_.get(), "T", nullptr, (dir_ / "blocker/sub").c_str(), nullptr,
                      0, CreateUnique, 2, nullptr),
            ResultMkdirFailed);
  EXPECT_EQ(ReadFile(dir_ / "blocker"), Bytes{1});
}

uint32_t NoNumbers(uint32_t, uint32_t) { return 0; }

TEST_F(StoreOpenTest, FailedUniqueSearchKeepsTheDirectory) {
  std::string folder = dir_ / "keep";
  ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
  WriteFile(folder + "/other", Bytes{9});
  EXPECT_EQ(StoreOpen(&state_, store_.get(), "T", nullptr, folder.c_str(), NoNumbers, 0,
                      CreateUnique, 2, nullptr),
            ResultNoUniqueName);
  ExpectCleared();
  EXPECT_EQ(ReadFile(folder + "/other"), Bytes{9});
  // Named with a trailing separator, too.
  EXPECT_EQ(StoreOpen(&state_, store_.get(), "T", nullptr, (folder + "/").c_str(), NoNumbers, 0,
                      CreateUnique, 2, nullptr),
            ResultNoUniqueName);
  EXPECT_TRUE(Exists(folder + "/other"));
}

// ---- delete by name ----

TEST_F(StoreOpenTest, DeleteByNameAlwaysReports274) {
  std::string path = dir_ / "FILE.TRN";
  MakeFile(path);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(Open(path, DeleteByName), ResultOpenFailed);
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(Open(path, DeleteByName), ResultOpenFailed);
  EXPECT_EQ(Open("MEMORY$", DeleteByName), ResultOpenFailed);
  EXPECT_EQ(Open("", DeleteByName), ResultOpenFailed);
  ExpectCleared();
}

TEST_F(StoreOpenTest, DeleteByNameLeavesDirectoriesAndHeldFiles) {
  std::string path = dir_ / "FILE.TRN";
  MakeFile(path);
  Store holder;
  ASSERT_EQ(Open(path, OpenReadOnly, &holder), ResultOk);
  EXPECT_EQ(Open(path, DeleteByName), ResultOpenFailed);
  EXPECT_TRUE(Exists(path));
  ASSERT_EQ(StoreClose(&holder, 0), ResultOk);
  EXPECT_EQ(Open(dir_.path().string(), DeleteByName), ResultOpenFailed);
  EXPECT_TRUE(Exists(dir_.path().string()));
}

// ---- closing ----

TEST_F(StoreOpenTest, ClosingAFileOnlyReadWritesNothing) {
  std::string path = dir_ / "FILE.TRN";
  ASSERT_EQ(Open(path, CreateNamed), ResultOk);
  Append("abc");
  ASSERT_EQ(Close(), ResultOk);
  const Bytes before = ReadFile(path);
  AgeModificationTime(path);
  const int64_t mtime = ModificationTime(path);
  for (OpenMode mode : {OpenReadOnly, OpenReadWrite}) {
    ASSERT_EQ(Open(path, mode), ResultOk);
    uint8_t data[3];
    ASSERT_EQ(BufferedRead(store_.get(), data, 188, 3, 0), ResultOk);
    EXPECT_EQ(memcmp(data, "abc", 3), 0);
    ASSERT_EQ(Close(), ResultOk);
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(ModificationTime(path), mtime);
  }
}

TEST_F(StoreOpenTest, CommitMarksTheLastRecordAsResetPoint) {
  std::string path = dir_ / "FILE.TRN";
  ASSERT_EQ(Open(path, CreateNamed), ResultOk);
  Append("abc");
  Append("");
  ASSERT_EQ(Close(), ResultOk);
  Bytes bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 174u + 25 + 22);
  // First trailer at 191: recordStart 174, no flag; last at 213: 199, flag.
  EXPECT_EQ(Bytes(bytes.begin() + 191, bytes.begin() + 199), (Bytes{174, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(bytes.begin() + 213, bytes.end()), (Bytes{199, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(bytes[142], 1);

  // A later session's appends end at a reset point of their own.
  ASSERT_EQ(Open(path, OpenReadWrite), ResultOk);
  EXPECT_EQ(store_->endAtOpen, 221u);
  Append("xy");
  ASSERT_EQ(Close(), ResultOk);
  bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 221u + 24);
  EXPECT_EQ(Bytes(bytes.end() - 8, bytes.end()), (Bytes{221, 0, 0, 0, 1, 0, 0, 0}));
}

TEST_F(StoreOpenTest, UnchainedMethodsSetNoFlag) {
  std::string path = dir_ / "FILE.TRN";
  for (uint32_t method : {0u, 1u, 4u}) {
    ASSERT_EQ(StoreOpen(&state_, store_.get(), nullptr, nullptr, path.c_str(), nullptr, 0,
                        CreateNamed, method, &method_),
              ResultOk);
    EXPECT_EQ(method_, method);
    Append("abc");
    ASSERT_EQ(Close(), ResultOk);
    Bytes bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 199u);
    EXPECT_EQ(bytes[47], method);
    EXPECT_EQ(Bytes(bytes.end() - 8, bytes.end()), (Bytes{174, 0, 0, 0, 0, 0, 0, 0}));
  }
}

TEST_F(StoreOpenTest, EndThatDoesNotMatchGives261AndWritesNothing) {
  std::string path = dir_ / "FILE.TRN";
  ASSERT_EQ(Open(path, CreateNamed), ResultOk);
  Append("abc");
  ASSERT_EQ(Close(), ResultOk);
  const Bytes before = ReadFile(path);

  struct Case {
    const char* what;
    int64_t recordStart;
  };
  // The real start is 199; 174 names the first record (which ends at
  // 199), 0 and 300 lie outside the records, and at 200 the bytes read as
  // a header give a stored length of 0.
  for (const Case& c : {Case{"earlier record", 174}, Case{"in the header", 0},
                        Case{"past the end", 300}, Case{"inside the record", 200}}) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Open(path, OpenReadWrite), ResultOk);
    Append("zz", c.recordStart);
    FileHeader same = store_->header;
    StorePutHeader(store_.get(), &same);  // even a changed header stays
    EXPECT_EQ(Close(), ResultEndInconsistent);
    ExpectCleared();
    EXPECT_EQ(ReadFile(path), before);
  }
}

TEST_F(StoreOpenTest, HeaderRewrittenOnlyWhenNeeded) {
  std::string path = dir_ / "FILE.TRN";
  MakeFile(path);

  // A changed header goes out at close, its version repaired.
  ASSERT_EQ(Open(path, OpenReadWrite), ResultOk);
  FileHeader header = store_->header;
  StoreU32(header.bytes + 73, 0xDEADBEEF);
  StoreU16(header.bytes + 4, 273);
  header.bytes[10] = 0x55;  // reserved bytes are kept
  StorePutHeader(store_.get(), &header);
  ASSERT_EQ(Close(), ResultOk);
  Bytes bytes = ReadFile(path);
  EXPECT_EQ(LoadU32(bytes.data() + 73), 0xDEADBEEFu);
  EXPECT_EQ(LoadU16(bytes.data() + 4), 272);
  EXPECT_EQ(bytes[10], 0x55);

  // A different method in force is recorded.
  ASSERT_EQ(Open(path, OpenReadWrite), ResultOk);
  SetCompressionMethod(store_.get(), MethodNone);
  ASSERT_EQ(Close(), ResultOk);
  bytes = ReadFile(path);
  EXPECT_EQ(LoadU16(bytes.data() + 47), 0);
  ASSERT_EQ(Open(path, OpenReadOnly), ResultOk);
  EXPECT_EQ(method_, 0u);
  ASSERT_EQ(Close(), ResultOk);

  // A header changed in a read-only open cannot be written.
  ASSERT_EQ(Open(path, OpenReadOnly), ResultOk);
  FileHeader same = store_->header;
  StorePutHeader(store_.get(), &same);
  EXPECT_EQ(Close(), ResultWriteFailed);
  ExpectCleared();
  EXPECT_EQ(ReadFile(path), bytes);
}

TEST_F(StoreOpenTest, DiscardingCloseRemovesTheFile) {
  std::string path = dir_ / "FILE.TRN";
  MakeFile(path);
  ASSERT_EQ(Open(path, OpenReadWrite), ResultOk);
  Append("abc");
  ASSERT_EQ(Close(1), ResultOk);
  ExpectCleared();
  EXPECT_FALSE(Exists(path));

  ASSERT_EQ(Open(path, CreateNamed), ResultOk);
  ASSERT_EQ(Close(1), ResultOk);
  EXPECT_FALSE(Exists(path));

  ASSERT_EQ(Open("MEMORY$", CreateNamed), ResultOk);
  ASSERT_EQ(Close(1), ResultOk);
  EXPECT_TRUE(dir_.List().empty());
}

TEST_F(StoreOpenTest, CloseOfAClosedStoreDoesNothing) {
  EXPECT_EQ(Close(0), ResultOk);
  EXPECT_EQ(Close(1), ResultOk);
  ExpectCleared();
}

TEST_F(StoreOpenTest, CommitWriteFailureIsReported) {
  std::string path = dir_ / "FILE.TRN";
  ASSERT_EQ(Open(path, CreateNamed), ResultOk);
  FileSetFault(FileCallWrite, FileFault{1, true, EIO, false});
  EXPECT_EQ(Close(), ResultWriteFailed);
  FileClearFaults();
  ExpectCleared();
  EXPECT_EQ(ReadFile(path), GoldenHeader(false));
}

TEST_F(StoreOpenTest, ServerClockStampsNewHeadersWhenMissingFallsBack) {
  // No sibling library here: the local clock stamps.
  SetDateTimeOptions(&state_, ServerClock, 1);
  FileHeader header;
  BuildNewHeader(&header, 2, "FILE.TRN", &state_);
  EXPECT_EQ(Bytes(header.bytes, header.bytes + 174), GoldenHeader(false));
}

}  // namespace
}  // namespace varnfile
