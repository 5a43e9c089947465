#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "api/handle_table.h"
#include "io/disk_stream.h"
#include "io/scratch_dir.h"
#include "io/stream.h"
#include "platform/posix_file.h"
#include "store/store.h"

namespace varnfile {
namespace {

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
    Release();
  }
  int32_t Hold(const std::string& name, StreamAccess access) {
    int32_t fd = -1;
    EXPECT_EQ(Open(name, access, &fd), ResultOk);
    held_.push_back(fd);
    return fd;
  }
  void Release() {
    for (int fd : held_) ::close(fd);
    held_.clear();
  }
  ScratchDir dir_;
  std::vector<int> held_;
};

TEST_F(DiskStreamTest, WriteSeekReadRoundTrip) {
  std::string name = dir_ / "rw";
  DiskStore ds(name);
  Store* s = ds.store.get();
  ASSERT_EQ(StreamOpen(s, name.c_str(), StreamCreate), ResultOk);
  ASSERT_EQ(StreamWriteBytes(s, reinterpret_cast<const uint8_t*>("0123456789"), 10), ResultOk);
  uint32_t at = 0, n = 0;
  ASSERT_EQ(StreamSeek(s, -4, 2, &at), ResultOk);
  EXPECT_EQ(at, 6u);
  char got[16] = {};
  ASSERT_EQ(StreamReadBytes(s, reinterpret_cast<uint8_t*>(got), 16, &n), ResultOk);
  EXPECT_EQ(std::string(got, n), "6789");
  ASSERT_EQ(StreamSeek(s, 2, 0, nullptr), ResultOk);
  EXPECT_EQ(StreamReadBytes(s, reinterpret_cast<uint8_t*>(got), 9, nullptr), ResultReadFailed);  // 8 remain
  EXPECT_EQ(StreamSeek(s, -1, 0, nullptr), ResultSeekFailed);
  ASSERT_EQ(StreamClose(s, 0), ResultOk);
  EXPECT_EQ(s->streamHandle, -1);
  EXPECT_EQ(ReadFile(name), "0123456789");
}

// Descriptors are synchronous and close-on-exec; a file system that refuses
// O_DSYNC (EINVAL) is opened without it, any other error ends the open.
TEST_F(DiskStreamTest, OpenFlagsAndCodes) {
  std::string name = dir_ / "open", missing = dir_ / "missing", folder = dir_.path().string();
  int32_t fd = Hold(name, StreamCreate);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_DSYNC, O_DSYNC);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  Release();
  FileSetFault(FileCallOpen, FileFault{1, false, EINVAL, false});
  EXPECT_EQ(::fcntl(Hold(name, StreamUpdate), F_GETFL) & O_DSYNC, 0);
  EXPECT_EQ(DiskWrite(held_.back(), reinterpret_cast<const uint8_t*>("abc"), 3), ResultOk);
  Release();
  FileSetFault(FileCallOpen, FileFault{1, false, EIO, false});
  EXPECT_EQ(Open(name, StreamRead, &fd), ResultOpenFailed);
  const std::pair<std::string, StreamAccess> refused[] = {
      {missing, StreamRead}, {missing, StreamUpdate}, {folder, StreamRead}, {"", StreamRead}};
  for (const auto& r : refused) EXPECT_EQ(Open(r.first, r.second, &fd), ResultOpenFailed) << r.first;
  EXPECT_EQ(Open(missing + "/x", StreamCreate, &fd), ResultCreateFailed);
  EXPECT_EQ(Open(folder, StreamCreate, &fd), ResultCreateFailed);
  EXPECT_EQ(OpenDiskFile(nullptr, StreamCreate, &fd), ResultCreateFailed);
  EXPECT_EQ(dir_.List(), std::vector<std::string>{"open"});
  EXPECT_EQ(ReadFile(name), "abc");
}

// A child process that holds the file with the given access until the
// returned pipe is closed.
int HoldInChild(const std::string& name, StreamAccess access) {
  int ready[2], release[2];
  EXPECT_EQ(::pipe(ready), 0);
  EXPECT_EQ(::pipe(release), 0);
  if (::fork() == 0) {
    ::close(release[1]);
    int32_t fd = -1;
    char ok = OpenDiskFile(name.c_str(), access, &fd) == ResultOk ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) == 1) ok = static_cast<char>(::read(release[0], &ok, 1));
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char ok = 'n';
  EXPECT_EQ(::read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  ::close(ready[0]);
  return release[1];
}

// Readers share; a writer excludes everyone, in this process or another,
// and a refused open or removal never changes the file.
TEST_F(DiskStreamTest, SharingWithinAndAcrossProcesses) {
  std::string name = dir_ / "share";
  WriteFile(name, "precious bytes");
  for (bool child : {false, true}) {
    for (StreamAccess held : {StreamRead, StreamUpdate}) {
      SCOPED_TRACE(std::string(child ? "child " : "here ") + std::to_string(held));
      int release = child ? HoldInChild(name, held) : Hold(name, held);
      int32_t fd = -1;
      if (held == StreamRead) Hold(name, StreamRead);
      else EXPECT_EQ(Open(name, StreamRead, &fd), ResultOpenFailed);
      EXPECT_EQ(Open(name, StreamUpdate, &fd), ResultOpenFailed);
      EXPECT_EQ(Open(name, StreamCreate, &fd), ResultCreateFailed);
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(RemoveFileByName(name.c_str()), ResultRemoveFailed);
      EXPECT_EQ(ReadFile(name), "precious bytes");
      Release();
      if (child) {
        ::close(release);  // end of file lets the child go
        ::wait(nullptr);
      }
    }
  }
  ASSERT_EQ(::chmod(name.c_str(), 0640), 0);
  Hold(name, StreamUpdate);  // free again once the child is gone
  struct stat st;
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "a held file keeps its mode";
  Release();
  ASSERT_EQ(::chmod(name.c_str(), 0444), 0);
  EXPECT_EQ(RemoveFileByName(name.c_str()), ResultOk);
  EXPECT_FALSE(Exists(name));
  for (const char* bad : {name.c_str(), dir_.path().c_str(), ""}) {  // missing, a directory, empty
    EXPECT_EQ(RemoveFileByName(bad), ResultRemoveFailed) << bad;
  }
  EXPECT_TRUE(Exists(dir_.path().string()));
}

TEST_F(DiskStreamTest, InjectedFaultsMapToTheirCodes) {
  std::string name = dir_ / "faults";
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

}  // namespace
}  // namespace varnfile
