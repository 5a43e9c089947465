// Creating, opening, closing, abandoning and deleting files through the C
// API: what happens to the caller's handle variable on every failure, how
// handles share a file, and what is left on disk.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "api/handle_table.h"
#include "io/scratch_dir.h"
#include "platform/memory.h"
#include "platform/posix_file.h"
#include "varnfile.h"

namespace varnfile {
namespace {

constexpr uint32_t Untouched = 0xABCD1234;

uint32_t OpenFileCount() {
  uint32_t n = LockLibrary()->fileCount;
  UnlockLibrary();
  return n;
}

// True when another thread can take the library lock: no call left it held.
bool LockIsFree() {
  auto other = std::async(std::launch::async, [] { LockLibrary(), UnlockLibrary(); });
  return other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

uint16_t Create(uint32_t* h, const std::string& name) {
  return VARNFileCreateEx(h, 0, name.c_str(), nullptr, nullptr, nullptr, 0);
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OpenFileCount(), 0u) << "a test left a file open"; }
  void TearDown() override {
    MemSetFailure(0);
    EXPECT_EQ(OpenFileCount(), 0u);
    EXPECT_TRUE(LockIsFree());
  }
  // Creates a closed, empty transaction file.
  std::string MakeFile(const char* base) {
    std::string name = dir_ / base;
    uint32_t h = 0;
    EXPECT_EQ(Create(&h, name), 0);
    EXPECT_EQ(VARNFileClose(h), 0);
    return name;
  }
  // Runs `call` with the n-th allocation (kind -1) or file call of `kind`
  // failing, for n = 1, 2, ... until it succeeds. Out of memory the handle
  // stays untouched while the handle itself cannot be had (the first two
  // allocations), else it is 0; `unchanged` checks the file.
  void FaultLoop(int kind, const std::function<uint16_t(uint32_t*)>& call,
                 const std::function<void()>& unchanged) {
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE("kind " + std::to_string(kind) + " call " + std::to_string(n));
      uint32_t h = Untouched;
      if (kind < 0) MemSetFailure(n);
      else FileSetFault(static_cast<FileCallKind>(kind), FileFault{n, false, EIO, false});
      uint16_t rc = call(&h);
      MemSetFailure(0);
      FileClearFaults();
      if (rc == 0) {
        ASSERT_EQ(VARNFileClose(h), 0);
        return;
      }
      EXPECT_TRUE(kind >= 0 || rc == 272) << rc;
      EXPECT_EQ(h, kind < 0 && n <= 2 ? Untouched : 0u);
      unchanged();
      EXPECT_EQ(OpenFileCount(), 0u);
      ASSERT_LT(n, 50u);
    }
  }
  ScratchDir dir_;
};

TEST_F(LifecycleTest, TheCallersHandleOnFailure) {
  // Argument checks leave it untouched; failed opens set it to 0.
  uint32_t h = Untouched;
  EXPECT_EQ(VARNFileCreateEx(nullptr, 0, "x", nullptr, nullptr, nullptr, 0), 260);
  EXPECT_EQ(VARNFileCreateEx(&h, 0, nullptr, nullptr, nullptr, nullptr, 0), 260);
  EXPECT_EQ(VARNFileCreate(nullptr, dir_.path().c_str(), "TRN"), 260);
  EXPECT_EQ(VARNFileOpenEx(&h, 1, nullptr, 0), 260);
  EXPECT_EQ(VARNFileOpen(nullptr, "x", 0), 260);
  EXPECT_EQ(h, Untouched);
  std::string missing = dir_ / "missing.trn", shortFile = dir_ / "short.trn", blocker = dir_ / "plain";
  EXPECT_EQ(VARNFileOpen(&h, missing.c_str(), 0), 274);
  EXPECT_EQ(h, 0u);
  EXPECT_FALSE(Exists(missing));
  WriteFile(shortFile, "KVRW too short");
  h = Untouched;
  EXPECT_EQ(VARNFileOpenEx(&h, 0, shortFile.c_str(), 0), 263);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(ReadFile(shortFile), "KVRW too short");
  h = Untouched;
  EXPECT_EQ(VARNFileOpen(&h, "MEMORY$", 0), 263);  // a memory file can only be created
  EXPECT_EQ(h, 0u);
  WriteFile(blocker, "not a directory");
  h = Untouched;
  EXPECT_EQ(Create(&h, blocker + "/sub/x.trn"), 282);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(ReadFile(blocker), "not a directory");
}

// A failed create leaves no new file behind, a failed open the file as it
// was.
TEST_F(LifecycleTest, AllocationAndIoFaultLoops) {
  std::string name = dir_ / "fault.trn";
  auto create = [&](uint32_t* h) { return Create(h, name); };
  for (int kind : {-1, int{FileCallOpen}, int{FileCallWrite}, int{FileCallSeek}}) {
    FaultLoop(kind, create, [&] { EXPECT_FALSE(Exists(name)); });
    if (kind < 0) {
      EXPECT_EQ(VARNFileDelete(name.c_str(), 0), 0);
    }
  }
  const std::string bytes = ReadFile(name);
  ASSERT_EQ(bytes.size(), 174u);
  for (int kind : {-1, int{FileCallOpen}, int{FileCallRead}, int{FileCallSeek}}) {
    FaultLoop(kind, [&](uint32_t* h) { return VARNFileOpenEx(h, 0, name.c_str(), 0); },
              [&] { EXPECT_EQ(ReadFile(name), bytes); });
  }
}

TEST_F(LifecycleTest, HandlesAndSharing) {
  uint32_t h[4] = {};
  for (auto& x : h) ASSERT_EQ(Create(&x, "MEMORY$"), 0);
  EXPECT_EQ(h[3], 4u);
  EXPECT_EQ(VARNFileClose(2), 0);
  EXPECT_EQ(VARNFileClose(2), 273);
  EXPECT_EQ(VARNFileAbort(2), 273);
  ASSERT_EQ(Create(&h[1], "memory$"), 0);
  EXPECT_EQ(h[1], 2u);
  // A full table (it grows by four) that cannot grow keeps the files open.
  uint32_t fifth = Untouched;
  MemSetFailure(1);
  EXPECT_EQ(Create(&fifth, "MEMORY$"), 272);
  MemSetFailure(0);
  EXPECT_EQ(fifth, Untouched);
  for (uint32_t x : {1u, 2u, 3u, 4u}) EXPECT_EQ(VARNFileClose(x), 0);
  EXPECT_EQ(VARNFileClose(0), 273);
  EXPECT_EQ(VARNFileClose(0x80000001u), 273);

  // Readers share (any access but 1 reads); a writer excludes everyone.
  std::string name = MakeFile("shared.trn");
  const std::string bytes = ReadFile(name);
  uint32_t r1 = 0, r2 = 0, w = Untouched;
  ASSERT_EQ(VARNFileOpenEx(&r1, 0, name.c_str(), 0), 0);
  ASSERT_EQ(VARNFileOpenEx(&r2, 7, name.c_str(), 0), 0);
  EXPECT_EQ(VARNFileOpen(&w, name.c_str(), 0), 274);
  EXPECT_EQ(w, 0u);
  w = Untouched;
  EXPECT_EQ(Create(&w, name), 275);
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(ReadFile(name), bytes) << "a failed create must not cut a file held elsewhere";
  // Abort of a file held elsewhere gives 279 and still frees the handle.
  EXPECT_EQ(VARNFileAbort(r1), 279);
  EXPECT_EQ(VARNFileClose(r1), 273);
  EXPECT_EQ(VARNFileClose(r2), 0);
  ASSERT_EQ(VARNFileOpen(&w, name.c_str(), 0), 0);
  EXPECT_EQ(VARNFileOpenEx(&r1, 0, name.c_str(), 0), 274);
  EXPECT_EQ(VARNFileDelete(name.c_str(), 0), 0);
  EXPECT_TRUE(Exists(name)) << "a file open elsewhere is not removed";
  EXPECT_EQ(VARNFileClose(w), 0);
  EXPECT_EQ(ReadFile(name), bytes);
}

// A failed close still frees the handle; the file was never closed.
TEST_F(LifecycleTest, AFailedCloseFreesTheHandle) {
  std::string name = dir_ / "unclosed.trn";
  uint32_t h = 0;
  ASSERT_EQ(Create(&h, name), 0);
  ASSERT_EQ(VARNFileAddItem(h, 1, 0, 0, 3, reinterpret_cast<const uint8_t*>("abc")), 0);
  FileSetFault(FileCallWrite, FileFault{1, true, ENOSPC, false});
  EXPECT_EQ(VARNFileClose(h), 278);
  FileClearFaults();
  EXPECT_EQ(VARNFileClose(h), 273);
  EXPECT_EQ(VARNFileOpen(&h, name.c_str(), 0), 264);
  EXPECT_EQ(h, 0u);
}

TEST_F(LifecycleTest, AbortAndDelete) {
  uint32_t h = 0;
  std::string created = dir_ / "a/b";
  ASSERT_EQ(VARNFileCreate(&h, created.c_str(), "TRN"), 0);  // an invented name
  char name[300];
  ASSERT_EQ(VARNFileGetFileName(h, name, sizeof name), 0);
  created = name;
  EXPECT_TRUE(Exists(created));
  EXPECT_EQ(VARNFileAbort(h), 0);
  std::string opened = MakeFile("opened.trn");
  ASSERT_EQ(VARNFileOpenEx(&h, 0, opened.c_str(), 0), 0);
  EXPECT_EQ(VARNFileAbort(h), 0);
  EXPECT_FALSE(Exists(created) || Exists(opened));
  ASSERT_EQ(Create(&h, "MEMORY$"), 0);
  EXPECT_EQ(VARNFileAbort(h), 0);
  EXPECT_EQ(VARNFileClose(h), 273);

  // Delete reports success for missing, read-only and foreign files.
  std::string readOnly = MakeFile("readonly.trn"), plain = dir_ / "plain.txt";
  ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
  WriteFile(plain, "x");
  for (const std::string& n : {created, readOnly, plain, std::string("MEMORY$"), std::string(), dir_ / "a"}) {
    EXPECT_EQ(VARNFileDelete(n.c_str(), 0), 0) << n;
  }
  EXPECT_FALSE(Exists(readOnly) || Exists(plain));
  EXPECT_TRUE(Exists(dir_ / "a")) << "directories are not removed";
  EXPECT_EQ(VARNFileDelete(nullptr, 0), 260);
  MemSetFailure(1);
  EXPECT_EQ(VARNFileDelete(created.c_str(), 0), 272);
  MemSetFailure(0);
}

}  // namespace
}  // namespace varnfile
