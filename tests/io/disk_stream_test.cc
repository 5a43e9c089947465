#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "api/handle_table.h"
#include "io/disk_stream.h"
#include "io/stream.h"
#include "platform/posix_file.h"
#include "store/store.h"

namespace varnfile {
namespace {

std::string ScratchDir() {
  const char* env = std::getenv("VARNFILE_TEST_TMP");
  std::string dir = env != nullptr ? env : "/tmp";
  ::mkdir(dir.c_str(), 0777);
  return dir;
}

std::string UniqueName(const char* tag) {
  static int counter = 0;
  return ScratchDir() + "/disk_" + tag + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

void WriteFile(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& name) { return ::access(name.c_str(), F_OK) == 0; }

ResultCode Open(const std::string& name, StreamAccess access, int32_t* fd) {
  *fd = -1;
  return OpenDiskFile(name.c_str(), access, fd);
}

// A store with a disk stream, as the store layer drives it.
struct DiskStore {
  explicit DiskStore(const std::string& name) : store(std::make_unique<Store>()) {
    store->state = LockLibrary();
    UnlockLibrary();
    store->streamHandle = -1;
    std::snprintf(store->fileName, sizeof store->fileName, "%s", name.c_str());
  }
  ~DiskStore() { StreamClose(store.get(), 0); }
  std::unique_ptr<Store> store;
};

class DiskStreamTest : public ::testing::Test {
 protected:
  void TearDown() override {
    FileClearFaults();
    for (int fd : held_) ::close(fd);
    for (const auto& name : names_) ::unlink(name.c_str());
  }
  std::string Name(const char* tag) {
    names_.push_back(UniqueName(tag));
    return names_.back();
  }
  int32_t Hold(const std::string& name, StreamAccess access) {
    int32_t fd = -1;
    EXPECT_EQ(Open(name, access, &fd), ResultOk);
    held_.push_back(fd);
    return fd;
  }
  std::vector<std::string> names_;
  std::vector<int> held_;
};

// ---- reading and writing ----

TEST_F(DiskStreamTest, WriteSeekReadRoundTrip) {
  std::string name = Name("rw");
  DiskStore ds(name);
  Store* s = ds.store.get();
  ASSERT_EQ(StreamOpen(s, name.c_str(), StreamCreate), ResultOk);
  ASSERT_GE(s->streamHandle, 0);
  const uint8_t bytes[] = "0123456789";
  ASSERT_EQ(StreamWriteBytes(s, bytes, 10), ResultOk);
  uint32_t at = 0;
  ASSERT_EQ(StreamSeek(s, -4, 2, &at), ResultOk);
  EXPECT_EQ(at, 6u);
  uint8_t got[16] = {};
  uint32_t n = 0;
  ASSERT_EQ(StreamReadBytes(s, got, 16, &n), ResultOk);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(0, std::memcmp(got, "6789", 4));
  ASSERT_EQ(StreamSeek(s, 2, 0, nullptr), ResultOk);
  EXPECT_EQ(StreamReadBytes(s, got, 9, nullptr), ResultReadFailed);  // only 8 remain
  ASSERT_EQ(StreamSeek(s, 2, 0, nullptr), ResultOk);
  ASSERT_EQ(StreamReadBytes(s, got, 8, nullptr), ResultOk);
  EXPECT_EQ(0, std::memcmp(got, "23456789", 8));
  EXPECT_EQ(StreamSeek(s, -1, 0, nullptr), ResultSeekFailed);
  ASSERT_EQ(StreamClose(s, 0), ResultOk);
  EXPECT_EQ(s->streamHandle, -1);
  EXPECT_EQ(ReadFile(name), "0123456789");
}

TEST_F(DiskStreamTest, WritesAreSynchronous) {
  std::string name = Name("dsync");
  for (StreamAccess access : {StreamCreate, StreamUpdate, StreamRead}) {
    int32_t fd = -1;
    ASSERT_EQ(Open(name, access, &fd), ResultOk);
    int flags = ::fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_DSYNC, O_DSYNC) << "access " << access;
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(DiskClose(fd), ResultOk);
  }
}

TEST_F(DiskStreamTest, RefusedSynchronousWritesAreRetriedWithout) {
  std::string name = Name("einval");
  FileSetFault(FileCallOpen, FileFault{1, false, EINVAL, false});
  int32_t fd = -1;
  ASSERT_EQ(Open(name, StreamCreate, &fd), ResultOk);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_DSYNC, 0);
  const uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(DiskWrite(fd, bytes, 3), ResultOk);
  EXPECT_EQ(DiskClose(fd), ResultOk);
  FileSetFault(FileCallOpen, FileFault{1, false, EINVAL, false});
  ASSERT_EQ(Open(name, StreamRead, &fd), ResultOk);
  EXPECT_EQ(DiskClose(fd), ResultOk);
  // Any other error ends the open.
  FileSetFault(FileCallOpen, FileFault{1, false, EIO, false});
  EXPECT_EQ(Open(name, StreamRead, &fd), ResultOpenFailed);
}

TEST_F(DiskStreamTest, OpenFailures) {
  std::string missing = Name("missing");
  int32_t fd = 99;
  EXPECT_EQ(Open(missing, StreamRead, &fd), ResultOpenFailed);
  EXPECT_EQ(Open(missing, StreamUpdate, &fd), ResultOpenFailed);
  EXPECT_FALSE(Exists(missing));
  EXPECT_EQ(Open(missing + "/x", StreamCreate, &fd), ResultCreateFailed);
  EXPECT_EQ(Open(ScratchDir(), StreamRead, &fd), ResultOpenFailed);  // a directory
  EXPECT_EQ(Open(ScratchDir(), StreamCreate, &fd), ResultCreateFailed);
  EXPECT_EQ(Open("", StreamRead, &fd), ResultOpenFailed);
  EXPECT_EQ(OpenDiskFile(nullptr, StreamCreate, &fd), ResultCreateFailed);
}

TEST_F(DiskStreamTest, CreateTruncatesAFileNobodyHolds) {
  std::string name = Name("trunc");
  WriteFile(name, "old contents");
  int32_t fd = Hold(name, StreamCreate);
  struct stat st;
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 0);
}

// ---- sharing ----

TEST_F(DiskStreamTest, SharingWithinOneProcess) {
  std::string name = Name("share");
  WriteFile(name, "precious bytes");
  int32_t fd = -1;
  {
    Hold(name, StreamRead);
    Hold(name, StreamRead);  // readers share
    EXPECT_EQ(Open(name, StreamUpdate, &fd), ResultOpenFailed);
    EXPECT_EQ(Open(name, StreamCreate, &fd), ResultCreateFailed);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(ReadFile(name), "precious bytes");
    for (int h : held_) ::close(h);
    held_.clear();
  }
  Hold(name, StreamUpdate);
  EXPECT_EQ(Open(name, StreamRead, &fd), ResultOpenFailed);
  EXPECT_EQ(Open(name, StreamUpdate, &fd), ResultOpenFailed);
  EXPECT_EQ(Open(name, StreamCreate, &fd), ResultCreateFailed);
  EXPECT_EQ(RemoveFileByName(name.c_str()), ResultRemoveFailed);
  EXPECT_EQ(ReadFile(name), "precious bytes");
}

// A child process holds the file with the given access until told to let go.
class Holder {
 public:
  Holder(const std::string& name, StreamAccess access) {
    int ready[2], release[2];
    EXPECT_EQ(::pipe(ready), 0);
    EXPECT_EQ(::pipe(release), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      int32_t fd = -1;
      char ok = OpenDiskFile(name.c_str(), access, &fd) == ResultOk ? 'y' : 'n';
      ssize_t unused = ::write(ready[1], &ok, 1);
      char c;
      unused = ::read(release[0], &c, 1);
      (void)unused;
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char ok = 'n';
    EXPECT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    ::close(ready[0]);
    release_ = release[1];
  }
  ~Holder() {
    ::close(release_);  // end of file wakes the child
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_;
  int release_;
};

TEST_F(DiskStreamTest, SharingAcrossProcesses) {
  std::string name = Name("xproc");
  WriteFile(name, "held elsewhere");
  int32_t fd = -1;
  {
    Holder writer(name, StreamUpdate);
    EXPECT_EQ(Open(name, StreamRead, &fd), ResultOpenFailed);
    EXPECT_EQ(Open(name, StreamUpdate, &fd), ResultOpenFailed);
    EXPECT_EQ(Open(name, StreamCreate, &fd), ResultCreateFailed);
    EXPECT_EQ(RemoveFileByName(name.c_str()), ResultRemoveFailed);
    EXPECT_EQ(ReadFile(name), "held elsewhere");
  }
  {
    Holder reader(name, StreamRead);
    Hold(name, StreamRead);
    EXPECT_EQ(Open(name, StreamUpdate, &fd), ResultOpenFailed);
    EXPECT_EQ(Open(name, StreamCreate, &fd), ResultCreateFailed);
    EXPECT_EQ(ReadFile(name), "held elsewhere");
    for (int h : held_) ::close(h);
    held_.clear();
  }
  Hold(name, StreamUpdate);  // free again once the child is gone
}

// ---- removal ----

TEST_F(DiskStreamTest, RemoveByName) {
  std::string name = Name("remove");
  WriteFile(name, "x");
  ASSERT_EQ(::chmod(name.c_str(), 0444), 0);
  EXPECT_EQ(RemoveFileByName(name.c_str()), ResultOk);
  EXPECT_FALSE(Exists(name));
  EXPECT_EQ(RemoveFileByName(name.c_str()), ResultRemoveFailed);  // missing
  EXPECT_EQ(RemoveFileByName(ScratchDir().c_str()), ResultRemoveFailed);
  EXPECT_TRUE(Exists(ScratchDir()));
  EXPECT_EQ(RemoveFileByName(""), ResultRemoveFailed);
}

TEST_F(DiskStreamTest, HeldFileKeepsItsMode) {
  std::string name = Name("mode");
  WriteFile(name, "x");
  ASSERT_EQ(::chmod(name.c_str(), 0640), 0);
  Hold(name, StreamRead);
  EXPECT_EQ(RemoveFileByName(name.c_str()), ResultRemoveFailed);
  struct stat st;
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(DiskStreamTest, DiscardingCloseRemovesTheFile) {
  std::string name = Name("discard");
  DiskStore ds(name);
  ASSERT_EQ(StreamOpen(ds.store.get(), name.c_str(), StreamCreate), ResultOk);
  EXPECT_TRUE(Exists(name));
  EXPECT_EQ(StreamClose(ds.store.get(), 1), ResultOk);
  EXPECT_FALSE(Exists(name));
}

TEST_F(DiskStreamTest, DiscardingCloseOfAFileHeldElsewhereGives279) {
  std::string name = Name("discard_held");
  WriteFile(name, "x");
  DiskStore ds(name);
  ASSERT_EQ(StreamOpen(ds.store.get(), name.c_str(), StreamRead), ResultOk);
  Hold(name, StreamRead);
  EXPECT_EQ(StreamClose(ds.store.get(), 1), ResultRemoveFailed);
  EXPECT_TRUE(Exists(name));
}

TEST_F(DiskStreamTest, CloseFailureWinsOverRemovalFailure) {
  std::string name = Name("closefail");
  WriteFile(name, "x");
  DiskStore ds(name);
  ASSERT_EQ(StreamOpen(ds.store.get(), name.c_str(), StreamRead), ResultOk);
  Hold(name, StreamRead);  // the removal will fail as well
  FileSetFault(FileCallClose, FileFault{1, false, EIO, false});
  EXPECT_EQ(StreamClose(ds.store.get(), 1), ResultWriteFailed);
  EXPECT_EQ(ds.store->streamHandle, -1);
  EXPECT_TRUE(Exists(name));
}

// ---- injected faults ----

TEST_F(DiskStreamTest, InjectedFaultsMapToTheirCodes) {
  std::string name = Name("faults");
  DiskStore ds(name);
  Store* s = ds.store.get();
  FileSetFault(FileCallOpen, FileFault{1, false, EACCES, false});
  EXPECT_EQ(StreamOpen(s, name.c_str(), StreamCreate), ResultCreateFailed);
  EXPECT_EQ(s->streamHandle, -1);
  ASSERT_EQ(StreamOpen(s, name.c_str(), StreamCreate), ResultOk);  // only the first failed

  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  FileResetCallCounts();
  FileSetFault(FileCallWrite, FileFault{2, false, ENOSPC, false});
  EXPECT_EQ(StreamWriteBytes(s, bytes, 8), ResultOk);
  EXPECT_EQ(StreamWriteBytes(s, bytes, 8), ResultWriteFailed);
  EXPECT_EQ(StreamWriteBytes(s, bytes, 8), ResultOk);
  EXPECT_EQ(FileCallCount(FileCallWrite), 3u);

  // A short write puts half the bytes down and still fails.
  FileSetFault(FileCallWrite, FileFault{1, false, ENOSPC, true});
  EXPECT_EQ(StreamWriteBytes(s, bytes, 8), ResultWriteFailed);
  EXPECT_EQ(ReadFile(name).size(), 20u);

  FileSetFault(FileCallSeek, FileFault{1, true, EIO, false});
  EXPECT_EQ(StreamSeek(s, 0, 0, nullptr), ResultSeekFailed);
  EXPECT_EQ(StreamSeek(s, 0, 0, nullptr), ResultSeekFailed);
  FileClearFaults();
  ASSERT_EQ(StreamSeek(s, 0, 0, nullptr), ResultOk);

  uint8_t got[8];
  uint32_t n = 0;
  FileSetFault(FileCallRead, FileFault{1, false, 0, true});
  ASSERT_EQ(StreamReadBytes(s, got, 8, &n), ResultOk);
  EXPECT_EQ(n, 4u);
  FileSetFault(FileCallRead, FileFault{1, false, 0, true});
  EXPECT_EQ(StreamReadBytes(s, got, 8, nullptr), ResultReadFailed);
  FileSetFault(FileCallRead, FileFault{1, false, EIO, false});
  EXPECT_EQ(StreamReadBytes(s, got, 8, &n), ResultReadFailed);
}

TEST_F(DiskStreamTest, ExclusiveCreateNeverOpensAnExistingFile) {
  std::string name = Name("excl");
  WriteFile(name, "taken");
  int32_t fd = -1;
  bool exists = false;
  EXPECT_EQ(CreateNewDiskFile(name.c_str(), &fd, &exists), ResultCreateFailed);
  EXPECT_TRUE(exists);
  EXPECT_EQ(ReadFile(name), "taken");
  std::string fresh = Name("excl_new");
  ASSERT_EQ(CreateNewDiskFile(fresh.c_str(), &fd, &exists), ResultOk);
  EXPECT_FALSE(exists);
  EXPECT_EQ(DiskClose(fd), ResultOk);
  EXPECT_EQ(CreateNewDiskFile((fresh + "/sub").c_str(), &fd, &exists), ResultCreateFailed);
  EXPECT_FALSE(exists);
}

}  // namespace
}  // namespace varnfile
