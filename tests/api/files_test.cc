// The file exports through the C API. Creating, opening, closing,
// abandoning and deleting files: what happens to the caller's handle
// variable on every failure, how handles share a file, and what is left on
// disk. Then the property exports (below).
#if defined(_WIN32)
#define NOMINMAX
#include <windows.h>
#include <process.h>
#else
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "api/handle_table.h"
#include "io/scratch_dir.h"
#include "item_model.h"
#include "platform/file.h"
#include "base/memory.h"
#include "varnfile.h"

namespace varnfile {
namespace {

constexpr uint32_t Untouched = 0xABCD1234;

LibraryState Library() {
  LibraryState state = *LockLibrary();
  UnlockLibrary();
  return state;
}

uint32_t OpenFileCount() { return Library().fileCount; }

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
  ScratchDir dir_;
};

TEST_F(LifecycleTest, TheCallersHandleOnFailure) {
  // Argument checks leave it untouched; failed opens set it to 0.
  uint32_t h = Untouched;
  EXPECT_EQ(VARNFileCreateEx(nullptr, 0, "x", nullptr, nullptr, nullptr, 0), 260);
  EXPECT_EQ(VARNFileCreateEx(&h, 0, nullptr, nullptr, nullptr, nullptr, 0), 260);
  EXPECT_EQ(VARNFileCreate(nullptr, dir_.path().string().c_str(), "TRN"), 260);
  EXPECT_EQ(VARNFileOpenEx(&h, 1, nullptr, 0), 260);
  EXPECT_EQ(VARNFileOpen(nullptr, "x", 0), 260);
  EXPECT_EQ(h, Untouched);
  std::string missing = dir_ / "missing.trn", shortFile = dir_ / "short.trn", blocker = dir_ / "plain";
  WriteFile(shortFile, "KVRW too short");
  WriteFile(blocker, "not a directory");
  const std::pair<uint16_t, std::function<uint16_t(uint32_t*)>> failures[] = {
      {274, [&](uint32_t* x) { return VARNFileOpen(x, missing.c_str(), 0); }},
      {263, [&](uint32_t* x) { return VARNFileOpenEx(x, 0, shortFile.c_str(), 0); }},
      {263, [&](uint32_t* x) { return VARNFileOpen(x, "MEMORY$", 0); }},  // memory files are only created
      {282, [&](uint32_t* x) { return Create(x, blocker + "/sub/x.trn"); }}};
  for (const auto& f : failures) {
    h = Untouched;
    EXPECT_EQ(f.second(&h), f.first);
    EXPECT_EQ(h, 0u);
  }
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"plain", "short.trn"}));
  EXPECT_EQ(ReadFile(shortFile) + ReadFile(blocker), "KVRW too shortnot a directory");
}

// Every length is checked before anything reaches the disk: a refused
// name makes no directory and leaves the caller's variable alone. Each limit
// is tried just at it (accepted) and one over (260).
TEST_F(LifecycleTest, NameLimitsBeforeTheDisk) {
  const std::string base = dir_ / "new";
  // A path of exactly n characters below base, in components short enough
  // for any file system and never empty (the scratch directory's length
  // varies with the process id).
  auto pathOf = [&](size_t n) {
    std::string p = base;
    for (size_t left; p.size() < n;) {
      left = n - p.size() - 1;
      p += "/" + std::string(left == 61 ? 59 : std::min<size_t>(60, left), 'd');
    }
    return p;
  };
  // Invented names: 8 hex digits or prefix + 5 digits, then "." extension;
  // at most 15 characters, the whole path at most 259.
  const struct { uint16_t mode; std::string name; const char *extension, *prefix; uint16_t rc; } cases[] = {
      {1, base, "123456", nullptr, 0},   {1, base, "1234567", nullptr, 260},
      {1, base, nullptr, "ABCDEFGHIJ", 0}, {1, base, nullptr, "ABCDEFGHIJK", 260},
      {1, base, "ABCDE", "ABCD", 0},     {1, base, "ABCDEF", "ABCD", 260},
      {1, pathOf(246), "TRN", nullptr, 0}, {1, pathOf(247), "TRN", nullptr, 260},
      {1, pathOf(246) + "/", "TRN", nullptr, 0}, {1, pathOf(259), nullptr, nullptr, 260},
      {1, pathOf(260), nullptr, nullptr, 260},
      {0, pathOf(259), nullptr, nullptr, 0}, {0, pathOf(260), nullptr, nullptr, 260},
      // Doubled separators name the same directories as single ones.
      {1, base + "/a//", "TRN", nullptr, 0}, {0, base + "//b//f", nullptr, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.size());
    uint32_t h = Untouched;
    ASSERT_EQ(VARNFileCreateEx(&h, c.mode, c.name.c_str(), c.extension, c.prefix, nullptr, 0), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(VARNFileAbort(h), 0);
    } else {
      EXPECT_EQ(h, Untouched);
      EXPECT_TRUE(dir_.List().empty()) << "a refused name made " << dir_.List()[0];
    }
    std::filesystem::remove_all(base);
    if (c.mode == 0 && c.rc != 0) {
      EXPECT_EQ(VARNFileOpenEx(&h, 0, c.name.c_str(), 0), 260);
      EXPECT_EQ(h, Untouched);
    }
  }
}

// Only regular files are opened; anything else is refused at once, never
// waited on (a FIFO without a writer would block an ordinary open; Windows
// has a named pipe and the NUL device instead). (A socket is left out: the
// system refuses to open one anyway.)
TEST_F(LifecycleTest, NonRegularFilesAreRefused) {
#if defined(_WIN32)
  std::string fifo = "\\\\.\\pipe\\varnfile_test_" + std::to_string(_getpid()), null = "NUL";
  HANDLE pipe = CreateNamedPipeA(fifo.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_NOWAIT,
                                 8, 512, 512, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
#else
  std::string fifo = dir_ / "fifo", null = "/dev/null";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
#endif
  for (const std::string& name : {fifo, dir_.path().string(), null}) {
    for (uint16_t access : {0, 1, 2}) {  // read, update, create
      SCOPED_TRACE(name + " access " + std::to_string(access));
      uint32_t h = Untouched;
      auto open = std::async(std::launch::async, [&] {
        return access == 2 ? Create(&h, name) : VARNFileOpenEx(&h, access, name.c_str(), 0);
      });
      if (open.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the open blocked";
        WriteFile(fifo, std::string(400, 'x'));  // a writer and bytes, so that the test ends
      }
      EXPECT_EQ(open.get(), access == 2 ? 275 : 274);
      EXPECT_EQ(h, 0u);
    }
  }
#if defined(_WIN32)
  CloseHandle(pipe);
#else
  EXPECT_TRUE(std::filesystem::is_fifo(fifo)) << "the refused create must leave the FIFO";
#endif
}

// (Allocation and file call failures in creates and opens: the fault
// sweeps, which check every code, leak and item, and the torn-record and
// abort tests below, which check the handle and the files left.)
TEST_F(LifecycleTest, HandlesAndSharing) {
  uint32_t h[4] = {};
  for (auto& x : h) ASSERT_EQ(Create(&x, "MEMORY$"), 0);
  EXPECT_EQ(h[3], 4u);
  EXPECT_EQ(VARNFileClose(2), 0);
  EXPECT_EQ(VARNFileAbort(2), 273);
  ASSERT_EQ(Create(&h[1], "memory$"), 0);
  EXPECT_EQ(h[1], 2u);
  // A full table (it grows by four) that cannot grow keeps the files open.
  uint32_t fifth = Untouched;
  MemSetFailure(1);
  EXPECT_EQ(Create(&fifth, "MEMORY$"), 272);
  MemSetFailure(0);
  EXPECT_EQ(fifth, Untouched);
  ASSERT_EQ(Create(&fifth, "MEMORY$"), 0);
  EXPECT_EQ(fifth, 5u);
  EXPECT_EQ(Library().fileCapacity, 8u);
  for (uint32_t x : {1u, 2u, 3u, 4u, 5u}) EXPECT_EQ(VARNFileClose(x), 0);
  EXPECT_TRUE(Library().files == nullptr && Library().fileCapacity == 0) << "the last close frees it";
  for (uint32_t bad : {0u, 0x80000001u}) EXPECT_EQ(VARNFileClose(bad), 273);
  EXPECT_EQ(VARNFileCreateFromFileHandle(1, 2, 3, 4), 264);  // files are opened by name only
  // The exports that touch no file answer fixed values.
  EXPECT_EQ(VARNFileVersion(), 272u);
  EXPECT_EQ(VARNFileRegister(), 1u);

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

#if !defined(_WIN32)
// Between an open and its lock another process may rename the file away
// from the name, or put another file under it (Windows refuses to rename an
// open file). The open must take the file the name reaches at the lock: a
// create used to cut a finished file that was meanwhile renamed into place,
// and an update to add to a file that no name reached any more, reporting
// success both times.
std::pair<std::string, std::string> renameAtOpen;

void RenameAtOpen(const char*) {
  FileSetOpenHook(nullptr);
  std::filesystem::rename(renameAtOpen.first, renameAtOpen.second);
}

TEST_F(LifecycleTest, AnOpenTakesTheFileItsNameReachesAtTheLock) {
  uint32_t h = 0;
  uint8_t byte = 'z';
  const std::string scratch = MakeFile("scratch.trn"), target = dir_ / "target.trn";
  ASSERT_EQ(VARNFileOpen(&h, scratch.c_str(), 0), 0);
  ASSERT_EQ(VARNFileAddItem(h, 9, 0, 0, 1, &byte), 0);
  ASSERT_EQ(VARNFileClose(h), 0);
  const std::string finished = ReadFile(scratch);
  renameAtOpen = {scratch, target};
  FileSetOpenHook(RenameAtOpen);
  ASSERT_EQ(Create(&h, scratch), 0);
  EXPECT_EQ(VARNFileClose(h), 0);
  EXPECT_EQ(ReadFile(target), finished) << "the create cut the file renamed into place";
  EXPECT_TRUE(Exists(scratch));

  const std::string replacement = MakeFile("new.trn"), replaced = ReadFile(replacement);
  renameAtOpen = {replacement, target};
  FileSetOpenHook(RenameAtOpen);
  ASSERT_EQ(VARNFileOpen(&h, target.c_str(), 0), 0);
  ASSERT_EQ(VARNFileAddItem(h, 9, 0, 0, 1, &byte), 0);
  EXPECT_EQ(VARNFileClose(h), 0);
  EXPECT_GT(ReadFile(target).size(), replaced.size()) << "the item went to a file no name reaches";
  FileSetOpenHook(nullptr);
}

// Where a new file has its name a moment before its lock (no nameless
// files), another process may open it in between. A reader lets go at
// once, and the create goes on; a create that still cannot have its lock
// removes the empty file it made, unless an open that holds it exclusively
// took it over.
struct Holder {
  int lock = LOCK_SH;
  int fd = -1;
  std::chrono::milliseconds until{0};  // 0: until the test lets go
  std::thread releaser;
} holder;

void HoldAtOpen(const char* name) {
  FileSetOpenHook(nullptr);
  holder.fd = ::open(name, O_RDONLY | O_CLOEXEC);
  ::flock(holder.fd, holder.lock | LOCK_NB);
  if (holder.until.count() > 0) {
    holder.releaser = std::thread([] {
      std::this_thread::sleep_for(holder.until);
      ::close(holder.fd);
      holder.fd = -1;
    });
  }
}

void LetGo() {
  if (holder.releaser.joinable()) holder.releaser.join();
  if (holder.fd >= 0) ::close(holder.fd);
  holder.fd = -1;
}

TEST_F(LifecycleTest, ACreateThatCannotLockItsNewFileLeavesNothing) {
  const std::string name = dir_ / "new.trn", scratch = dir_ / "scratch";
  uint32_t h = 0;
  FileSetNamelessCreate(false);
  holder.lock = LOCK_SH;
  holder.until = std::chrono::milliseconds(2);
  FileSetOpenHook(HoldAtOpen);
  EXPECT_EQ(Create(&h, name), 0) << "a reader's moment failed the create";
  LetGo();
  if (h != 0) {
    EXPECT_EQ(VARNFileClose(h), 0);
  }
  EXPECT_EQ(VARNFileDelete(name.c_str(), 0), 0);

  holder.until = std::chrono::milliseconds(0);
  FileSetOpenHook(HoldAtOpen);
  EXPECT_EQ(Create(&h, name), 275);
  LetGo();
  EXPECT_FALSE(Exists(name)) << "the empty file was left";
  int fd = -1;
  FileSetOpenHook(HoldAtOpen);
  EXPECT_EQ(FileCreateExclusive(scratch.c_str(), &fd), EWOULDBLOCK);
  LetGo();
  EXPECT_FALSE(Exists(scratch)) << "the empty scratch file was left";

  holder.lock = LOCK_EX;
  FileSetOpenHook(HoldAtOpen);
  EXPECT_EQ(Create(&h, name), 275);
  EXPECT_TRUE(Exists(name)) << "a file that another open holds was removed";
  LetGo();
  FileSetOpenHook(nullptr);
  FileSetNamelessCreate(true);
}

// One process deletes and creates a name over and over, another opens it
// for reading meanwhile. A new file appears under its name already locked:
// the reader finds a whole file or one in use (274), never an empty one
// (263). Where the file has its name before its lock, the reader may find
// it empty, but a create that cannot lock it leaves no empty file behind.
TEST_F(LifecycleTest, ANewFileIsLockedWhenItGetsItsName) {
  const std::string name = dir_ / "race.trn";
  for (bool nameless : {true, false}) {
    SCOPED_TRACE(nameless ? "nameless" : "by name");
    FileSetNamelessCreate(nameless);
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    const pid_t reader = fork();
    if (reader == 0) {
      ::close(stop[1]);
      ::fcntl(stop[0], F_SETFL, O_NONBLOCK);
      int seen = 0;
      char c;
      while (::read(stop[0], &c, 1) < 0 && errno == EAGAIN) {
        uint32_t r = 0;
        const uint16_t rc = VARNFileOpenEx(&r, 0, name.c_str(), 0);
        if (rc == 0) VARNFileClose(r);
        if (rc == 263) seen |= 1;
        if (rc != 0 && rc != 263 && rc != 274) seen |= 2;
      }
      _exit(seen);
    }
    ::close(stop[0]);
    int created = 0, leftEmpty = 0, other = 0;
    for (int round = 0; round < 300; ++round) {
      VARNFileDelete(name.c_str(), 0);
      uint32_t h = 0;
      const uint16_t rc = Create(&h, name);
      if (rc == 0) {
        ++created;
        EXPECT_EQ(VARNFileClose(h), 0);
      } else if (rc == 275) {
        std::error_code ignored;
        leftEmpty += std::filesystem::file_size(name, ignored) == 0 && !ignored;
      } else {
        ++other;
      }
    }
    ::close(stop[1]);
    int status = -1;
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "the reader got another code than 0, 263 or 274";
    if (nameless) {
      EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "the reader found an empty file (263)";
    }
    EXPECT_EQ(leftEmpty, 0) << "failed creates left an empty file";
    EXPECT_EQ(other, 0);
    EXPECT_GT(created, 0);
  }
  FileSetNamelessCreate(true);
}

// The command ids of a file's items, in order.
std::vector<uint16_t> Commands(const std::string& name) {
  std::vector<uint16_t> commands;
  uint32_t h = 0;
  if (VARNFileOpenEx(&h, 0, name.c_str(), 0) != 0) return {0xFFFF};
  uint16_t command = 0, extra = 0, length = 0;
  uint32_t value = 0;
  uint8_t data[16];
  while (length = sizeof data, VARNFileReadItem(h, &command, &extra, &value, &length, data) == 0) {
    commands.push_back(command);
  }
  VARNFileClose(h);
  return commands;
}

// A child made with fork() shares the open files of its parent, and with
// them their locks (Python's multiprocessing forks so). It holds none of
// them: the parent's close lets go of the file while the child lives, and
// the handles the child inherited fail there without reaching the parent's
// file or a file the child opened since.
TEST_F(LifecycleTest, AForkedChildHoldsNoneOfItsParentsFiles) {
  const std::string updated = MakeFile("updated.trn"), read = MakeFile("read.trn");
  const std::string childs = dir_ / "childs.trn";
  uint32_t h = 0, r = 0;
  uint8_t byte = 'p';
  ASSERT_EQ(VARNFileOpen(&h, updated.c_str(), 0), 0);
  ASSERT_EQ(VARNFileAddItem(h, 1, 0, 0, 1, &byte), 0);
  ASSERT_EQ(VARNFileOpenEx(&r, 0, read.c_str(), 0), 0);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  if (child == 0) {
    char c;
    if (::read(go[0], &c, 1) != 1) _exit(9);
    uint32_t mine = 0;
    int status = 0;
    if (Create(&mine, childs) != 0 || VARNFileAddItem(mine, 2, 0, 0, 1, &byte) != 0) status |= 1;
    const uint16_t added = VARNFileAddItem(h, 3, 0, 0, 1, &byte), closed = VARNFileClose(h);
    if (added == 0 && closed == 0) status |= 2;
    if (VARNFileClose(mine) != 0) status |= 4;
    VARNFileClose(r);
    _exit(status);
  }
  ::close(go[0]);
  ASSERT_GT(child, 0);
  EXPECT_EQ(VARNFileClose(h), 0);
  EXPECT_EQ(VARNFileClose(r), 0);
  uint32_t again = 0;
  EXPECT_EQ(VARNFileOpen(&again, updated.c_str(), 0), 0) << "the child holds the lock";
  if (again != 0) {
    EXPECT_EQ(VARNFileClose(again), 0);
  }
  EXPECT_EQ(VARNFileDelete(read.c_str(), 0), 0);
  EXPECT_FALSE(Exists(read));
  EXPECT_EQ(::write(go[1], "g", 1), 1);
  ::close(go[1]);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the child's own file, 2: its inherited handle wrote, "
                                       "4: its own file's close";
  EXPECT_EQ(Commands(updated), std::vector<uint16_t>{1}) << "the child reached the parent's file";
  EXPECT_EQ(Commands(childs), std::vector<uint16_t>{2});
}
#endif

// A name callback runs while the new handle already sits in the caller's
// variable but its file is not open yet: every export must refuse that
// handle (273) rather than close or write a half-made file under the
// creator (the callback's calls are the table below).
uint32_t* creatingHandle = nullptr;
std::vector<uint16_t> callbackResults;

uint32_t VARNFILE_CALL UseTheHandleBeingCreated(uint32_t previous, uint32_t) {
  const uint32_t h = *creatingHandle;
  uint8_t byte = 'x';
  uint16_t c = 0, e = 0, length = 1;
  uint32_t v = 0;
  char text[64];
  for (uint16_t rc : {VARNFileAddItem(h, 1, 2, 3, 1, &byte), VARNFileReadItem(h, &c, &e, &v, &length, &byte),
                      VARNFileSetDescription(h, "x"), VARNFileGetFileName(h, text, sizeof text),
                      VARNFileSetPosition(h, 174), VARNFileSetCompression(h, 0), VARNFileGetFlags(h, &v),
                      VARNFileSetFlags(h, 1), VARNFileGetDescription(h, text, 8), VARNFileResetAging(h),
                      VARNFileReadHeader(h, &byte, 1), VARNFileWriteHeader(h, &byte, 1),
                      VARNFileDuplicate(h, h), VARNFileAbort(h), VARNFileClose(h)}) {
    callbackResults.push_back(rc);
  }
  return previous + 1;
}

TEST_F(LifecycleTest, ANameCallbackCannotReachTheHandleBeingCreated) {
  uint32_t h = Untouched;
  creatingHandle = &h;
  callbackResults.clear();
  ASSERT_EQ(VARNFileCreateEx(&h, VARNFILE_NAME_UNIQUE, dir_.path().string().c_str(), "TRN", "CB",
                             UseTheHandleBeingCreated, 0), 0);
  ASSERT_FALSE(callbackResults.empty());
  for (uint16_t rc : callbackResults) EXPECT_EQ(rc, 273);
  // The create finished and the file works.
  EXPECT_EQ(VARNFileAddItem(h, 1, 2, 3, 1, reinterpret_cast<const uint8_t*>("y")), 0);
  EXPECT_EQ(VARNFileClose(h), 0);
}

// What a process killed while appending, or a file system that lost a
// write, leaves behind a header that says closed: a torn last record, or
// bytes after the last record that merely read as a record header (a tail
// of zeros). Opening it for update must fail (277) rather than link new
// items behind the damage. A reader takes it as it is, under every method:
// both walks read the items before the damage, the damaged record fails
// where it is read (277), and no read hands out an item nobody wrote.
TEST_F(LifecycleTest, ADamagedTailIsReadUpToTheDamage) {
  const std::string name = dir_ / "tail.trn";
  for (uint16_t method = 0; method <= 4; ++method) {
    uint32_t h = 0;
    ASSERT_EQ(Create(&h, name), 0);
    ASSERT_EQ(VARNFileSetCompression(h, method), 0);
    for (uint32_t i = 0; i < 3; ++i)
      ASSERT_EQ(VARNFileAddItem(h, 7, 1, i, 11, reinterpret_cast<const uint8_t*>("item of the")), 0);
    ASSERT_EQ(VARNFileClose(h), 0);
    const std::string whole = ReadFile(name);
    // Cut 1, 9 or 15 bytes short, or inside the first record; or 22 to 300
    // zeros after the end.
    for (long change : {-1L, -9L, -15L, 180L - long(whole.size()), 22L, 23L, 44L, 300L}) {
      SCOPED_TRACE("method " + std::to_string(method) + ", change " + std::to_string(change));
      const std::string bytes = change < 0 ? whole.substr(0, whole.size() + change) : whole + std::string(change, '\0');
      const uint32_t intact = change > 0 ? 3 : whole.size() + change <= 180 ? 0 : 2;
      WriteFile(name, bytes);
      h = Untouched;
      EXPECT_EQ(VARNFileOpenEx(&h, 1, name.c_str(), 0), 277);
      EXPECT_EQ(h, 0u);
      ASSERT_EQ(VARNFileOpenEx(&h, 0, name.c_str(), 0), 0);
      uint16_t command = 0, extra = 0, length = 0;
      uint32_t value = 0;
      uint8_t data[16];
      for (uint32_t i = 0; i < intact; ++i) {
        length = sizeof data;
        ASSERT_EQ(VARNFileReadItem(h, &command, &extra, &value, &length, data), 0);
        EXPECT_EQ(value, i);
      }
      length = sizeof data;
      EXPECT_EQ(VARNFileReadItem(h, &command, &extra, &value, &length, data), 277);
      EXPECT_EQ(VARNFileReadCmdID(h, &command, &extra, &value), 277);
      // Backwards from the end, the last item is the last one written whole.
      ASSERT_EQ(VARNFileSeekToEnd(h, nullptr), 0);
      uint32_t back = 0;
      for (; back < 4 && VARNFileSkipPrev(h) == 0; ++back) {
        ASSERT_EQ(VARNFileReadCmdID(h, &command, &extra, &value), 0);
        EXPECT_EQ(value, intact - 1 - back);
      }
      EXPECT_EQ(back, intact);
      EXPECT_EQ(VARNFileClose(h), 0);
      EXPECT_EQ(ReadFile(name), bytes);
    }
  }
}

// Finding the last whole record of a torn file walks every record from the
// first; it reads the file in large pieces, not a kilobyte at a time.
TEST_F(LifecycleTest, AReaderFindsTheTornRecordOfALargeFileInFewReads) {
  std::string name = MakeFile("torn-large.trn");
  uint32_t h = 0;
  ASSERT_EQ(VARNFileOpenEx(&h, 1, name.c_str(), 0), 0);
  ASSERT_EQ(VARNFileSetCompression(h, VARNFILE_METHOD_NONE), 0);
  const std::string text(300, 'x');
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(VARNFileAddItem(h, 1, 0, static_cast<uint32_t>(i), 300,
                              reinterpret_cast<const uint8_t*>(text.data())), 0);
  }
  ASSERT_EQ(VARNFileClose(h), 0);
  const std::string whole = ReadFile(name);
  WriteFile(name, whole.substr(0, whole.size() - 1));
  const uint64_t reads = varnfile::FileCallCount(varnfile::FileCallRead);
  ASSERT_EQ(VARNFileOpenEx(&h, 0, name.c_str(), 0), 0);
  EXPECT_LT(varnfile::FileCallCount(varnfile::FileCallRead) - reads, whole.size() / 16384);
  ASSERT_EQ(VARNFileSeekToEnd(h, nullptr), 0);
  ASSERT_EQ(VARNFileSkipPrev(h), 0);
  uint16_t commandId = 0, extraId = 0;
  uint32_t value = 0;
  ASSERT_EQ(VARNFileReadCmdID(h, &commandId, &extraId, &value), 0);
  EXPECT_EQ(value, 1998u);
  EXPECT_EQ(VARNFileClose(h), 0);
  ::unlink(name.c_str());
}

#if !defined(_WIN32)
// Delete removes the name it is given and changes nothing that other names
// reach: a symbolic link goes as a link, its target (a transaction file or
// not) keeps its permissions, and so does a file that another hard link
// still names.
TEST_F(LifecycleTest, DeleteChangesNothingOtherNamesReach) {
  const std::string target = dir_ / "real.txt", link = dir_ / "link", kept = MakeFile("kept.trn"),
                    hard = dir_ / "hard.trn", dangling = dir_ / "dangling";
  WriteFile(target, "not a transaction file");
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(::link(kept.c_str(), hard.c_str()), 0);
  ASSERT_EQ(::symlink((dir_ / "nowhere").c_str(), dangling.c_str()), 0);
  auto mode = [](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  };
  auto present = [](const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  };
  EXPECT_EQ(VARNFileDelete(link.c_str(), 0), 0);
  EXPECT_FALSE(present(link));
  EXPECT_EQ(mode(target), 0644u);
  EXPECT_EQ(ReadFile(target), "not a transaction file");
  EXPECT_EQ(VARNFileDelete(hard.c_str(), 0), 0);
  EXPECT_FALSE(present(hard));
  EXPECT_EQ(mode(kept), 0640u);
  EXPECT_EQ(VARNFileDelete(dangling.c_str(), 0), 0);
  EXPECT_FALSE(present(dangling));
  // The last name of a file without read permission still goes.
  ASSERT_EQ(::chmod(kept.c_str(), 0), 0);
  EXPECT_EQ(VARNFileDelete(kept.c_str(), 0), 0);
  EXPECT_FALSE(present(kept));
}
#endif

TEST_F(LifecycleTest, AbortAndDelete) {
  uint32_t h = 0;
  std::string created = dir_ / "a/b";
  ASSERT_EQ(VARNFileCreate(&h, created.c_str(), "TRN"), 0);  // an invented name
  char name[300];
  ASSERT_EQ(VARNFileGetFileName(h, name, sizeof name), 0);
  created = name;
  EXPECT_TRUE(Exists(created));
  EXPECT_EQ(VARNFileAbort(h), 0);
  // A null or empty directory is the current one.
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  for (const char* here : {static_cast<const char*>(nullptr), ""}) {
    ASSERT_EQ(VARNFileCreate(&h, here, "TRN"), 0);
    ASSERT_EQ(VARNFileGetFileName(h, name, sizeof name), 0);
    EXPECT_TRUE(std::strlen(name) == 12 && Exists(dir_ / name)) << name;
    EXPECT_EQ(VARNFileAbort(h), 0);
  }
  std::filesystem::current_path(cwd);
  std::string opened = MakeFile("opened.trn");
  ASSERT_EQ(VARNFileOpenEx(&h, 0, opened.c_str(), 0), 0);
  EXPECT_EQ(VARNFileAbort(h), 0);
  EXPECT_FALSE(Exists(created) || Exists(opened));
  ASSERT_EQ(Create(&h, "MEMORY$"), 0);
  EXPECT_EQ(VARNFileAbort(h), 0);
  EXPECT_EQ(VARNFileClose(h), 273);
  // Abort removes only the file its handle holds: not one renamed over the
  // name (its own file, now unlinked, goes with the handle), nor one moved
  // away from it (279).
  for (bool moved : {false, true}) {
    std::string held = MakeFile("held.trn"), other = dir_ / "other";
    ASSERT_EQ(VARNFileOpen(&h, held.c_str(), 0), 0);
    WriteFile(other, "someone else's file");
#if defined(_WIN32)
    // Windows moves no held file and puts nothing over its name: the abort
    // removes its own file and nothing else.
    EXPECT_NE(moved ? ::rename(held.c_str(), other.c_str()) : ::rename(other.c_str(), held.c_str()), 0);
    EXPECT_EQ(VARNFileAbort(h), 0);
    EXPECT_FALSE(Exists(held));
    EXPECT_EQ(ReadFile(other).size(), 19u);
#else
    ASSERT_EQ(moved ? ::rename(held.c_str(), other.c_str()) : ::rename(other.c_str(), held.c_str()), 0);
    EXPECT_EQ(VARNFileAbort(h), moved ? 279 : 0);
    EXPECT_EQ(Exists(held), !moved);
    EXPECT_EQ(moved ? ReadFile(other).size() : ReadFile(held).size(), moved ? 174u : 19u);
#endif
    ::unlink(held.c_str()), ::unlink(other.c_str());
  }
#if !defined(_WIN32)
  // The lock binds only the library: another program may cut, extend,
  // replace or remove a file that a handle writes. A file cut or extended
  // fails the next write (no zeros where records were); one that no name
  // leads to fails the close (what was written is lost with it). What the
  // other program left stays as it is.
  for (int change = 0; change < 4; ++change) {
    std::string held = MakeFile("held.trn"), other = dir_ / "other";
    WriteFile(other, "someone else's file");
    ASSERT_EQ(VARNFileOpen(&h, held.c_str(), 0), 0);
    ASSERT_EQ(VARNFileSetParameters(h, 16, 65536, 4096, 0), 0);  // written through
    ASSERT_EQ(change < 2 ? ::truncate(held.c_str(), change == 0 ? 100 : 4096)
                         : change == 2 ? ::rename(other.c_str(), held.c_str()) : ::unlink(held.c_str()), 0);
    const std::string left = Exists(held) ? ReadFile(held) : "";
    EXPECT_EQ(VARNFileAddItem(h, 1, 2, 3, 1, reinterpret_cast<const uint8_t*>("x")), change < 2 ? 278 : 0);
    EXPECT_EQ(VARNFileClose(h), change < 2 ? 0 : 278) << change;
    EXPECT_EQ(Exists(held) ? ReadFile(held) : "", left) << change;
    ::unlink(held.c_str()), ::unlink(other.c_str());
  }
#endif

  // Delete reports success for missing, read-only and foreign files.
  std::string readOnly = MakeFile("readonly.trn"), plain = dir_ / "plain.txt";
  ASSERT_EQ(varnfile_test::MakeReadOnly(readOnly), 0);
  WriteFile(plain, "x");
  for (const std::string& n : {created, readOnly, plain, std::string("MEMORY$"), std::string(), dir_ / "a"})
    EXPECT_EQ(VARNFileDelete(n.c_str(), 0), 0) << n;
  EXPECT_FALSE(Exists(readOnly) || Exists(plain));
  EXPECT_TRUE(Exists(dir_ / "a")) << "directories are not removed";
  EXPECT_EQ(VARNFileDelete(nullptr, 0), 260);
  MemSetFailure(1);
  EXPECT_EQ(VARNFileDelete(created.c_str(), 0), 272);
  MemSetFailure(0);
}

// ---- the property exports: argument checks before the handle, exact
// string-buffer boundaries, the header image and its fields in the file
// bytes, and calls that fail changing nothing. (The method byte: the model
// test's disk bytes; 283 once items exist: the C++ API test; aging reset:
// the tool's rows; an aged file refused: the store open and sibling
// tests.) ----

constexpr uint32_t NoHandle = 77;

std::string Header(uint32_t h) {
  std::string header(174, '\0');
  EXPECT_EQ(VARNFileReadHeader(h, reinterpret_cast<uint8_t*>(&header[0]), 174), 0);
  return header;
}

ResultCode WriteHeader(uint32_t h, const std::string& header) {
  return VARNFileWriteHeader(h, reinterpret_cast<const uint8_t*>(header.data()),
                             static_cast<uint16_t>(header.size()));
}

class PropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VARNFileCreateEx(&h_, 0, name_.c_str(), nullptr, nullptr, nullptr, 0), 0);
  }
  void TearDown() override {
    if (h_ != 0) VARNFileAbort(h_);
  }
  void Reopen(uint16_t access) {
    ASSERT_EQ(VARNFileClose(h_), 0);
    ASSERT_EQ(VARNFileOpenEx(&h_, access, name_.c_str(), 0), 0);
  }
  ScratchDir dir_;
  std::string name_ = dir_ / "props.trn";
  uint32_t h_ = 0;
};

TEST_F(PropertiesTest, ArgumentChecksBeforeTheHandleCheck) {
  uint8_t buffer[8];
  std::string long65(65, 'x');
  for (uint16_t rc : {VARNFileSetCompression(NoHandle, 5), VARNFileSetDescription(NoHandle, long65.c_str()),
                      VARNFileSetDescription(NoHandle, nullptr), VARNFileReadHeader(NoHandle, nullptr, 8),
                      VARNFileReadHeader(NoHandle, buffer, 0), VARNFileWriteHeader(NoHandle, nullptr, 8),
                      VARNFileWriteHeader(NoHandle, buffer, 0)}) {
    EXPECT_EQ(rc, 260);
  }
  // SetParameters checks its buffer sizes only after the handle; valid
  // arguments on a bad handle give 273 (the name callback's table). (The
  // accepted ranges, down to 0, are the model test's.)
  EXPECT_EQ(VARNFileSetParameters(NoHandle, 1, 1, 0x80000000u, 0), 273);
  EXPECT_EQ(VARNFileSetParameters(h_, 3, 3, 0x80000000u, 512), 260);
  EXPECT_EQ(VARNFileSetParameters(h_, 3, 3, 512, 0xFFFFFFFFu), 260);
}

// Strings need room for their terminator (258, nothing copied otherwise);
// a description of 64 characters fits, 65 do not, and one that fills its
// field unterminated ends with the field.
TEST_F(PropertiesTest, StringBuffersAndTheirBytes) {
  // A string of n characters and a buffer of n (or none), of n + 1, or null.
  auto fits = [](const std::string& want, auto get) {
    std::vector<char> buffer(want.size() + 2, '#');
    const uint16_t exact = static_cast<uint16_t>(want.size());
    EXPECT_EQ(get(buffer.data(), exact), 258);
    EXPECT_EQ(get(buffer.data(), 0), 258);
    EXPECT_EQ(buffer[0], '#');
    ASSERT_EQ(get(buffer.data(), exact + 1), 0);
    EXPECT_EQ(std::string(buffer.data()), want);
    EXPECT_EQ(buffer[exact + 1], '#');
    EXPECT_EQ(get(nullptr, 0), 0);
  };
  auto description = [&](char* buffer, uint16_t size) { return VARNFileGetDescription(h_, buffer, size); };
  fits(name_, [&](char* buffer, uint16_t size) { return VARNFileGetFileName(h_, buffer, size); });
  std::string text64(64, 'd');
  std::string before = Header(h_);
  EXPECT_EQ(VARNFileSetDescription(h_, (text64 + "e").c_str()), 260);
  EXPECT_EQ(Header(h_), before) << "a failed call changes nothing";
  ASSERT_EQ(VARNFileSetDescription(h_, text64.c_str()), 0);
  fits(text64, description);
  ASSERT_EQ(VARNFileSetFlags(h_, 0xDEADBEEF), 0);
  Reopen(0);
  EXPECT_EQ(ReadFile(name_).substr(73, 4 + 65), "\xEF\xBE\xAD\xDE" + text64 + std::string(1, '\0'));
  uint32_t flags = 0;
  ASSERT_EQ(VARNFileGetFlags(h_, &flags), 0);
  EXPECT_EQ(flags, 0xDEADBEEFu);
  EXPECT_EQ(VARNFileGetFlags(h_, nullptr), 0);
  Reopen(1);
  // A shorter description leaves the old tail behind its terminator.
  ASSERT_EQ(VARNFileSetDescription(h_, "abcdef"), 0);
  ASSERT_EQ(VARNFileSetDescription(h_, "xy"), 0);
  EXPECT_EQ(Header(h_).substr(77, 7), std::string("xy\0def\0", 7));
  fits("xy", description);
  std::string header = Header(h_);
  header.replace(77, 65, std::string(65, 'A'));
  ASSERT_EQ(WriteHeader(h_, header), 0);
  fits(std::string(65, 'A'), description);
}

TEST_F(PropertiesTest, HeaderImageReadAndWritten) {
  std::vector<uint8_t> buffer(400, 0xEE);
  ASSERT_EQ(VARNFileReadHeader(h_, buffer.data(), 4), 0);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "KVRW\xEE");
  ASSERT_EQ(VARNFileReadHeader(h_, buffer.data(), 400), 0);
  EXPECT_EQ(buffer[174], 0xEE) << "at most 174 bytes";
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 174), ReadFile(name_));
  // Writing replaces the first size bytes of the image; they reach the
  // disk at close, reserved bytes included, and a version outside 264 to
  // 272 goes back to 272.
  std::string header = Header(h_);
  header[150] = 0x5A;
  header[4] = 0x11;
  ASSERT_EQ(WriteHeader(h_, header), 0);
  EXPECT_EQ(ReadFile(name_)[150], 0) << "nothing reaches the disk before close";
  ASSERT_EQ(WriteHeader(h_, "QZ"), 0);
  EXPECT_EQ(Header(h_).substr(0, 4), "QZRW");
  ASSERT_EQ(WriteHeader(h_, header), 0);  // put the magic back
  Reopen(0);
  header[142] = 1;
  header[4] = 0x10;
  EXPECT_EQ(ReadFile(name_), header);
  // Any header change, the same bytes or the method included, is written at
  // close; for a file opened to read that write fails (278), the handle
  // goes all the same and the file stays as it was.
  const std::function<uint16_t()> changes[] = {
      [&] { return VARNFileResetAging(h_); }, [&] { return WriteHeader(h_, Header(h_)); },
      [&] { return VARNFileSetFlags(h_, 0); }, [&] { return VARNFileSetCompression(h_, 0); }};
  for (const auto& change : changes) {
    ASSERT_EQ(change(), 0);
    EXPECT_EQ(VARNFileClose(h_), 278);
    EXPECT_EQ(VARNFileClose(h_), 273);
    EXPECT_EQ(ReadFile(name_), header);
    ASSERT_EQ(VARNFileOpenEx(&h_, 0, name_.c_str(), 0), 0);
  }
}

}  // namespace
}  // namespace varnfile
