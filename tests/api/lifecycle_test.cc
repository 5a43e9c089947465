// Creating, opening, closing, abandoning and deleting files through the C
// API: what happens to the caller's handle variable on every failure, how
// handles share a file, and what is left on disk.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

#include "api/handle_table.h"
#include "io/scratch_dir.h"
#include "platform/memory.h"
#include "platform/posix_file.h"
#include "varnfile.h"

namespace varnfile {
namespace {

constexpr uint32_t Untouched = 0xABCD1234;

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool Exists(const std::string& name) { return ::access(name.c_str(), F_OK) == 0; }

uint32_t OpenFileCount() {
  LibraryState* state = LockLibrary();
  uint32_t n = state->fileCount;
  UnlockLibrary();
  return n;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OpenFileCount(), 0u) << "a test left a file open"; }
  void TearDown() override {
    MemSetFailure(0);
    EXPECT_EQ(OpenFileCount(), 0u);
  }
  // Creates a closed, empty transaction file.
  std::string MakeFile(const char* base) {
    std::string name = dir_ / base;
    uint32_t h = 0;
    EXPECT_EQ(VARNFileCreateEx(&h, 0, name.c_str(), nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(VARNFileClose(h), 0);
    return name;
  }
  ScratchDir dir_;
};

// ---- the caller's handle variable ----

TEST_F(LifecycleTest, ArgumentChecksLeaveTheHandleUntouched) {
  uint32_t h = Untouched;
  EXPECT_EQ(VARNFileCreateEx(nullptr, 0, "x", nullptr, nullptr, nullptr, 0), 260);
  EXPECT_EQ(VARNFileCreateEx(&h, 0, nullptr, nullptr, nullptr, nullptr, 0), 260);
  EXPECT_EQ(VARNFileCreate(nullptr, dir_.path().c_str(), "TRN"), 260);
  EXPECT_EQ(VARNFileOpenEx(&h, 1, nullptr, 0), 260);
  EXPECT_EQ(VARNFileOpen(nullptr, "x", 0), 260);
  EXPECT_EQ(h, Untouched);
}

TEST_F(LifecycleTest, FailedOpensSetTheHandleToZeroAndTouchNothing) {
  uint32_t h = Untouched;
  std::string missing = dir_ / "missing.trn";
  EXPECT_EQ(VARNFileOpen(&h, missing.c_str(), 0), 274);
  EXPECT_EQ(h, 0u);
  EXPECT_FALSE(Exists(missing));

  std::string shortFile = dir_ / "short.trn";
  WriteFile(shortFile, "KVRW too short");
  h = Untouched;
  EXPECT_EQ(VARNFileOpenEx(&h, 0, shortFile.c_str(), 0), 263);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(ReadFile(shortFile), "KVRW too short");

  h = Untouched;
  EXPECT_EQ(VARNFileOpen(&h, "MEMORY$", 0), 263);  // a memory file can only be created
  EXPECT_EQ(h, 0u);

  std::string blocker = dir_ / "plain";
  WriteFile(blocker, "not a directory");
  h = Untouched;
  EXPECT_NE(VARNFileCreateEx(&h, 0, (blocker + "/sub/x.trn").c_str(), nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(ReadFile(blocker), "not a directory");
}

TEST_F(LifecycleTest, OutOfMemoryLeavesTheHandleUntouchedOrZeroAndNoFileBehind) {
  std::string name = dir_ / "oom.trn";
  for (uint64_t n = 1;; ++n) {
    uint32_t h = Untouched;
    MemSetFailure(n);
    uint16_t rc = VARNFileCreateEx(&h, 0, name.c_str(), nullptr, nullptr, nullptr, 0);
    MemSetFailure(0);
    if (rc == 0) {
      EXPECT_EQ(h, 1u);
      EXPECT_EQ(VARNFileClose(h), 0);
      break;
    }
    ASSERT_EQ(rc, 272) << "allocation " << n;
    // The first two allocations are the handle's; later ones fail the open.
    EXPECT_EQ(h, n <= 2 ? Untouched : 0u) << "allocation " << n;
    EXPECT_FALSE(Exists(name)) << "allocation " << n;
    EXPECT_EQ(OpenFileCount(), 0u);
    ASSERT_LT(n, 50u);
  }
  for (uint64_t n = 1;; ++n) {
    uint32_t h = Untouched;
    MemSetFailure(n);
    uint16_t rc = VARNFileOpenEx(&h, 0, name.c_str(), 0);
    MemSetFailure(0);
    if (rc == 0) {
      EXPECT_EQ(VARNFileClose(h), 0);
      break;
    }
    ASSERT_EQ(rc, 272) << "allocation " << n;
    EXPECT_EQ(h, n <= 2 ? Untouched : 0u);
    ASSERT_EQ(ReadFile(name).size(), 174u) << "an existing file stays";
    ASSERT_LT(n, 50u);
  }
}

TEST_F(LifecycleTest, IoFailuresDuringCreateAndOpenLeaveNothingBehind) {
  std::string name = dir_ / "io.trn";
  for (FileCallKind kind : {FileCallOpen, FileCallWrite, FileCallSeek}) {
    for (uint64_t n = 1;; ++n) {
      uint32_t h = Untouched;
      FileSetFault(kind, FileFault{n, false, EIO, false});
      uint16_t rc = VARNFileCreateEx(&h, 0, name.c_str(), nullptr, nullptr, nullptr, 0);
      FileClearFaults();
      if (rc == 0) {
        ASSERT_EQ(VARNFileClose(h), 0);
        break;
      }
      EXPECT_EQ(h, 0u) << "kind " << kind << " call " << n;
      EXPECT_FALSE(Exists(name)) << "kind " << kind << " call " << n;
      ASSERT_LT(n, 20u);
    }
  }
  std::string bytes = ReadFile(name);
  ASSERT_EQ(bytes.size(), 174u);
  for (FileCallKind kind : {FileCallOpen, FileCallRead, FileCallSeek}) {
    for (uint64_t n = 1;; ++n) {
      uint32_t h = Untouched;
      FileSetFault(kind, FileFault{n, false, EIO, false});
      uint16_t rc = VARNFileOpen(&h, name.c_str(), 0);
      FileClearFaults();
      if (rc == 0) {
        ASSERT_EQ(VARNFileClose(h), 0);
        break;
      }
      EXPECT_EQ(h, 0u);
      EXPECT_EQ(ReadFile(name), bytes) << "an existing file stays as it was";
      ASSERT_LT(n, 20u);
    }
  }
}

// ---- handles ----

TEST_F(LifecycleTest, HandlesAreReusedAndDieWithTheirClose) {
  uint32_t h[4] = {};
  for (auto& x : h) ASSERT_EQ(VARNFileCreateEx(&x, 0, "MEMORY$", nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(h[0], 1u);
  EXPECT_EQ(h[3], 4u);
  EXPECT_EQ(VARNFileClose(2), 0);
  EXPECT_EQ(VARNFileClose(2), 273);
  EXPECT_EQ(VARNFileAbort(2), 273);
  uint32_t again = 0;
  ASSERT_EQ(VARNFileCreateEx(&again, 0, "memory$", nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(again, 2u);
  for (uint32_t x : {1u, 2u, 3u, 4u}) EXPECT_EQ(VARNFileClose(x), 0);
  EXPECT_EQ(VARNFileClose(0), 273);
  EXPECT_EQ(VARNFileClose(0x80000001u), 273);
}

TEST_F(LifecycleTest, SharingBetweenHandles) {
  std::string name = MakeFile("shared.trn");
  std::string bytes = ReadFile(name);
  uint32_t r1 = 0, r2 = 0, w = Untouched;
  ASSERT_EQ(VARNFileOpenEx(&r1, 0, name.c_str(), 0), 0);
  ASSERT_EQ(VARNFileOpenEx(&r2, 7, name.c_str(), 0), 0);  // any access but 1 reads
  EXPECT_EQ(VARNFileOpen(&w, name.c_str(), 0), 274);
  EXPECT_EQ(w, 0u);
  w = Untouched;
  EXPECT_EQ(VARNFileCreateEx(&w, 0, name.c_str(), nullptr, nullptr, nullptr, 0), 275);
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(ReadFile(name), bytes) << "a failed create must not cut a file held elsewhere";
  EXPECT_EQ(VARNFileClose(r1), 0);
  EXPECT_EQ(VARNFileClose(r2), 0);

  ASSERT_EQ(VARNFileOpen(&w, name.c_str(), 0), 0);
  uint32_t other = Untouched;
  EXPECT_EQ(VARNFileOpenEx(&other, 0, name.c_str(), 0), 274);
  EXPECT_EQ(VARNFileOpen(&other, name.c_str(), 0), 274);
  EXPECT_EQ(VARNFileDelete(name.c_str(), 0), 0);
  EXPECT_TRUE(Exists(name)) << "a file open elsewhere is not removed";
  EXPECT_EQ(VARNFileClose(w), 0);
  EXPECT_EQ(ReadFile(name), bytes);
}

// ---- close, abort, delete ----

TEST_F(LifecycleTest, CloseFinishesTheFile) {
  std::string name = dir_ / "closed.trn";
  uint32_t h = 0;
  ASSERT_EQ(VARNFileCreateEx(&h, 0, name.c_str(), nullptr, nullptr, nullptr, 0), 0);
  std::string open = ReadFile(name);
  ASSERT_EQ(open.size(), 174u);
  EXPECT_EQ(open.substr(0, 4), "KVRW");
  EXPECT_EQ(open[142], 0) << "not closed yet";
  EXPECT_EQ(VARNFileClose(h), 0);
  std::string closed = ReadFile(name);
  ASSERT_EQ(closed.size(), 174u);
  EXPECT_EQ(closed[142], 1);
  EXPECT_EQ(closed[47], 2) << "new files are chained DEFLATE";
  ASSERT_EQ(VARNFileOpen(&h, name.c_str(), 0), 0);
  EXPECT_EQ(h, 1u);
  uint32_t position = 0;
  EXPECT_EQ(VARNFileGetPosition(h, &position), 0);
  EXPECT_EQ(position, 174u);
  EXPECT_EQ(VARNFileClose(h), 0);
}

TEST_F(LifecycleTest, ReopenFindsTheLastRecord) {
  std::string name = dir_ / "last.trn";
  uint32_t h = 0;
  ASSERT_EQ(VARNFileCreateEx(&h, 0, name.c_str(), nullptr, nullptr, nullptr, 0), 0);
  ASSERT_EQ(VARNFileSetCompression(h, 0), 0);
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(VARNFileAddItem(h, 1, 0, 0, 3, data), 0);
  ASSERT_EQ(VARNFileAddItem(h, 2, 0, 0, 5, data), 0);
  ASSERT_EQ(VARNFileClose(h), 0);
  ASSERT_EQ(VARNFileOpen(&h, name.c_str(), 0), 0);
  LibraryState* state = LockLibrary();
  OpenFile* file = nullptr;
  ASSERT_EQ(ResolveHandle(state, h, &file), 0);
  EXPECT_EQ(file->lastItemPosition, 199u);
  EXPECT_EQ(file->maxCachedItems, 16);
  EXPECT_EQ(file->maxCachedBytes, 65536u);
  EXPECT_EQ(file->fileMethod, 0u);
  UnlockLibrary();
  ASSERT_EQ(VARNFileAddItem(h, 3, 0, 0, 0, nullptr), 0);
  ASSERT_EQ(VARNFileClose(h), 0);
  std::string bytes = ReadFile(name);
  ASSERT_EQ(bytes.size(), 226u + 22u);
  EXPECT_EQ(static_cast<uint8_t>(bytes[226]), 3);
}

TEST_F(LifecycleTest, FailedCloseStillFreesTheHandle) {
  std::string name = dir_ / "failclose.trn";
  uint32_t h = 0;
  ASSERT_EQ(VARNFileCreateEx(&h, 0, name.c_str(), nullptr, nullptr, nullptr, 0), 0);
  ASSERT_EQ(VARNFileSetCompression(h, 0), 0);
  ASSERT_EQ(VARNFileAddItem(h, 1, 0, 0, 3, reinterpret_cast<const uint8_t*>("abc")), 0);
  FileSetFault(FileCallWrite, FileFault{1, true, ENOSPC, false});
  EXPECT_EQ(VARNFileClose(h), 278);
  FileClearFaults();
  EXPECT_EQ(VARNFileClose(h), 273);
  EXPECT_EQ(OpenFileCount(), 0u);
  uint32_t again = 0;
  EXPECT_EQ(VARNFileOpen(&again, name.c_str(), 0), 264) << "never closed properly";
  EXPECT_EQ(again, 0u);
}

TEST_F(LifecycleTest, AbortRemovesCreatedAndOpenedFiles) {
  std::string created = dir_ / "created.trn";
  uint32_t h = 0;
  ASSERT_EQ(VARNFileCreateEx(&h, 0, created.c_str(), nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(VARNFileAbort(h), 0);
  EXPECT_FALSE(Exists(created));

  std::string opened = MakeFile("opened.trn");
  ASSERT_EQ(VARNFileOpenEx(&h, 0, opened.c_str(), 0), 0);
  EXPECT_EQ(VARNFileAbort(h), 0);
  EXPECT_FALSE(Exists(opened));

  ASSERT_EQ(VARNFileCreateEx(&h, 0, "MEMORY$", nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(VARNFileAbort(h), 0);
  EXPECT_EQ(VARNFileClose(h), 273);
}

TEST_F(LifecycleTest, AbortOfAFileHeldElsewhereGives279AndFreesTheHandle) {
  std::string name = MakeFile("held.trn");
  uint32_t a = 0, b = 0;
  ASSERT_EQ(VARNFileOpenEx(&a, 0, name.c_str(), 0), 0);
  ASSERT_EQ(VARNFileOpenEx(&b, 0, name.c_str(), 0), 0);
  EXPECT_EQ(VARNFileAbort(a), 279);
  EXPECT_EQ(VARNFileClose(a), 273);
  EXPECT_TRUE(Exists(name));
  EXPECT_EQ(VARNFileClose(b), 0);
}

TEST_F(LifecycleTest, DeleteReportsSuccessForMissingAndReadOnlyFiles) {
  std::string missing = dir_ / "never.trn";
  EXPECT_EQ(VARNFileDelete(missing.c_str(), 0), 0);

  std::string readOnly = MakeFile("readonly.trn");
  ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
  EXPECT_EQ(VARNFileDelete(readOnly.c_str(), 0), 0);
  EXPECT_FALSE(Exists(readOnly));

  // Any file goes, transaction file or not.
  std::string plain = dir_ / "plain.txt";
  WriteFile(plain, "x");
  EXPECT_EQ(VARNFileDelete(plain.c_str(), 0), 0);
  EXPECT_FALSE(Exists(plain));

  EXPECT_EQ(VARNFileDelete("MEMORY$", 0), 0);
  EXPECT_EQ(VARNFileDelete("", 0), 0);
  EXPECT_EQ(VARNFileDelete(nullptr, 0), 260);
  EXPECT_EQ(VARNFileDelete(dir_.path().c_str(), 0), 0);
  EXPECT_TRUE(Exists(dir_.path().string())) << "directories are not removed";

  MemSetFailure(1);
  EXPECT_EQ(VARNFileDelete(missing.c_str(), 0), 272);
  MemSetFailure(0);
}

TEST_F(LifecycleTest, MemoryFileVanishesAtClose) {
  uint32_t h = 0;
  ASSERT_EQ(VARNFileCreateEx(&h, 0, "Memory$", nullptr, nullptr, nullptr, 0), 0);
  ASSERT_EQ(VARNFileSetCompression(h, 0), 0);
  const uint8_t data[3] = {7, 8, 9};
  ASSERT_EQ(VARNFileAddItem(h, 1, 2, 3, 3, data), 0);
  char name[16];
  ASSERT_EQ(VARNFileGetFileName(h, name, sizeof name), 0);
  EXPECT_STREQ(name, "Memory$");
  EXPECT_FALSE(Exists("Memory$"));
  EXPECT_EQ(VARNFileClose(h), 0);
  LibraryState* state = LockLibrary();
  EXPECT_EQ(state->memCount, 0u);
  EXPECT_EQ(state->memStreams, nullptr);
  UnlockLibrary();
}

TEST_F(LifecycleTest, CreateWithInventedName) {
  std::string sub = dir_ / "a/b";
  uint32_t h = 0;
  ASSERT_EQ(VARNFileCreate(&h, sub.c_str(), "TRN"), 0);
  char name[300];
  ASSERT_EQ(VARNFileGetFileName(h, name, sizeof name), 0);
  std::string got = name;
  ASSERT_EQ(got.size(), sub.size() + 1 + 12);
  EXPECT_EQ(got.substr(0, sub.size() + 1), sub + "/");
  EXPECT_EQ(got.substr(got.size() - 4), ".TRN");
  EXPECT_EQ(got.find_first_not_of("0123456789ABCDEF", sub.size() + 1), got.size() - 4);
  EXPECT_TRUE(Exists(got));
  EXPECT_EQ(VARNFileAbort(h), 0);
  EXPECT_FALSE(Exists(got));
}

TEST_F(LifecycleTest, CreateNamedTruncatesAnExistingFile) {
  std::string name = dir_ / "new/dir/old.trn";
  ASSERT_EQ(VARNFileDelete(name.c_str(), 0), 0);
  uint32_t h = 0;
  ASSERT_EQ(VARNFileCreateEx(&h, 0, name.c_str(), nullptr, nullptr, nullptr, 0), 0);
  ASSERT_EQ(VARNFileSetCompression(h, 0), 0);
  const uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_EQ(VARNFileAddItem(h, 1, 0, 0, 4, data), 0);
  ASSERT_EQ(VARNFileClose(h), 0);
  ASSERT_GT(ReadFile(name).size(), 174u);
  ASSERT_EQ(VARNFileCreateEx(&h, 0, name.c_str(), nullptr, nullptr, nullptr, 0), 0);
  ASSERT_EQ(VARNFileClose(h), 0);
  EXPECT_EQ(ReadFile(name).size(), 174u);
}

}  // namespace
}  // namespace varnfile
