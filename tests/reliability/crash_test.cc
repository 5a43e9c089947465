// Crash consistency: a child process appends items, telling the parent
// through a pipe about every add that returned 0, and is killed with SIGKILL
// at a random moment, on fresh files and on closed files reopened for
// appending. Afterwards the library must refuse a never-closed file (264),
// `varnfile verify` and `varnfile recover` must run, the recovered file must
// pass verify, and its items must be a prefix of what the child attempted,
// in order and unaltered: with a write buffer of 0 the prefix holds every
// reported add, with the default buffer it lacks at most the reported items
// whose bytes were still in the buffer.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reliability_util.h"

#ifndef VARNFILE_TOOL_PATH
#define VARNFILE_TOOL_PATH ""
#endif

namespace varnfile_reliability {
namespace {

constexpr uint32_t Seed = 77;
constexpr uint32_t PriorItems = 25;    // in a file that is reopened for appending
constexpr uint32_t ChildLimit = 2500;  // items a child attempts at most
constexpr uint32_t MaxLength = 160;

// Runs the tool with its output thrown away; the exit status, or -1 when
// it did not exit normally (a signal, a sanitizer abort).
int RunTool(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    std::string tool = VARNFILE_TOOL_PATH;
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

[[noreturn]] void Child(const std::string& path, bool fresh, uint16_t method, uint32_t writeBuffer,
                        int report) {
  uint32_t handle = 0;
  uint16_t rc = fresh ? VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, path.c_str(), nullptr,
                                         nullptr, nullptr, 0)
                      : VARNFileOpen(&handle, path.c_str(), 0);
  if (rc == 0 && fresh) rc = VARNFileSetCompression(handle, method);
  if (rc == 0) rc = VARNFileSetParameters(handle, 16, 65536, 1024, writeBuffer);
  if (rc != 0) _exit(10);
  uint32_t first = fresh ? 0 : PriorItems;
  for (uint32_t n = first; n < first + ChildLimit; ++n) {
    if (AddItem(handle, MakeItem(Seed, n, MaxLength)) != 0) _exit(11);
    if (write(report, &n, sizeof n) != sizeof n) _exit(12);
  }
  _exit(VARNFileClose(handle) == 0 ? 0 : 13);
}

bool MakePriorFile(const std::string& path, uint16_t method) {
  uint32_t handle = 0;
  if (VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, path.c_str(), nullptr, nullptr, nullptr, 0) != 0)
    return false;
  bool ok = VARNFileSetCompression(handle, method) == 0;
  for (uint32_t n = 0; n < PriorItems && ok; ++n) ok = AddItem(handle, MakeItem(Seed, n, MaxLength)) == 0;
  return VARNFileClose(handle) == 0 && ok;
}

uint32_t RecordSize(uint32_t n) { return 22 + static_cast<uint32_t>(MakeItem(Seed, n, MaxLength).data.size()); }

struct Totals {
  int kills = 0;
  int refusedNeverClosed = 0;  // fresh files refused with 264
  int finished = 0;            // the child finished before the kill
  uint64_t reported = 0;
  uint64_t recovered = 0;
  uint64_t lostFromBuffer = 0;
};

TEST(CrashConsistency, KilledWritersLeaveRecoverablePrefixes) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the varnfile tool is not built";
  // VARNFILE_CRASH_KILLS overrides the number of kills (for longer runs).
  const char* env = std::getenv("VARNFILE_CRASH_KILLS");
  const int kills = env != nullptr ? std::atoi(env) : 200;
  const uint16_t methods[] = {VARNFILE_METHOD_NONE, VARNFILE_METHOD_CHAINED_DEFLATE,
                              VARNFILE_METHOD_PREDICTOR, VARNFILE_METHOD_CHAINED_PREDICTOR,
                              VARNFILE_METHOD_DEFLATE};
  std::mt19937 rng(12345);
  Totals totals;
  for (int k = 0; k < kills && !HasFailure(); ++k) {
    bool fresh = k % 2 == 0;
    uint32_t writeBuffer = (k / 2) % 2 == 0 ? 0 : 1024;
    uint16_t method = methods[(k / 4) % 5];
    std::string where = "kill " + std::to_string(k) + (fresh ? " fresh" : " append") + " method " +
                        std::to_string(method) + " buffer " + std::to_string(writeBuffer);
    std::string path = ScratchFile("crash.trn");
    std::string recovered = ScratchFile("crash_recovered.trn");
    if (!fresh) {
      ASSERT_TRUE(MakePriorFile(path, method)) << where;
    }

    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      Child(path, fresh, method, writeBuffer, fds[1]);
    }
    close(fds[1]);
    // The moment of the kill: sometimes during the create or open, mostly
    // once the child has reported a chosen number of adds (so that the
    // moments do not depend on the machine's speed), then a little later.
    uint32_t first = fresh ? 0 : PriorItems;
    uint32_t reported = 0, n = 0;
    uint32_t target = rng() % 10 == 0 ? 0 : 1 + rng() % 200;
    uint32_t extraDelay = rng() % 3000;
    if (target == 0) usleep(extraDelay / 4);
    while (reported < target && read(fds[0], &n, sizeof n) == sizeof n) {
      ASSERT_EQ(first + reported, n) << where;
      ++reported;
    }
    if (target != 0) usleep(extraDelay);
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    bool finished = WIFEXITED(status);
    if (finished) {
      EXPECT_EQ(0, WEXITSTATUS(status)) << where;
      ++totals.finished;
    }
    ++totals.kills;
    while (read(fds[0], &n, sizeof n) == sizeof n) {
      ASSERT_EQ(first + reported, n) << where;
      ++reported;
    }
    close(fds[0]);
    totals.reported += reported;

    // The library: a fresh file that was never closed is refused.
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    uint32_t handle = 0;
    uint16_t rc = VARNFileOpenEx(&handle, 0, path.c_str(), 0);
    if (!exists) {
      EXPECT_EQ(VARNFILE_E_OPEN, rc) << where;
    } else if (finished || !fresh) {
      // A reopened file keeps its closed mark; a torn last record may make
      // the search for the last item fail.
      EXPECT_TRUE(rc == 0 || rc == VARNFILE_E_READ) << where << ": open gave " << rc;
    } else if (st.st_size < VARNFILE_HEADER_SIZE) {
      EXPECT_EQ(VARNFILE_E_HEADER_UNREADABLE, rc) << where;
    } else {
      // Never closed: refused. The kill can also land after the writer's
      // close completed but before it exited; that file is properly closed.
      EXPECT_TRUE(rc == VARNFILE_E_NOT_TRANSACTION_FILE || rc == 0) << where << ": open gave " << rc;
      if (rc == VARNFILE_E_NOT_TRANSACTION_FILE) ++totals.refusedNeverClosed;
    }
    if (rc == 0) VARNFileClose(handle);
    if (!exists || st.st_size < VARNFILE_HEADER_SIZE) {
      EXPECT_EQ(0u, reported) << where;
      continue;
    }

    // The tool: verify runs (it may report problems), recover succeeds and
    // its result verifies clean.
    int verify = RunTool({"verify", path});
    EXPECT_TRUE(verify == 0 || verify == 1) << where << ": verify exited " << verify;
    ASSERT_EQ(0, RunTool({"recover", path, recovered, "--force"})) << where;
    ASSERT_EQ(0, RunTool({"verify", recovered})) << where;

    ASSERT_EQ(0, VARNFileOpenEx(&handle, 0, recovered.c_str(), 0)) << where;
    std::vector<Item> items;
    EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadAllForwards(handle, &items)) << where;
    EXPECT_EQ(0, VARNFileClose(handle));
    // A prefix of the attempted items, in order, unaltered.
    for (size_t i = 0; i < items.size(); ++i) {
      if (!SameItem(items[i], MakeItem(Seed, static_cast<uint32_t>(i), MaxLength))) {
        ADD_FAILURE() << where << ": recovered item " << i << " is not the item attempted";
        break;
      }
    }
    ASSERT_GE(items.size(), first) << where << ": items of the closed file were lost";
    uint32_t got = static_cast<uint32_t>(items.size()) - first;
    totals.recovered += got;
    EXPECT_LE(got, reported + 1) << where << ": more items than were attempted";
    if (writeBuffer == 0 || finished) {
      EXPECT_GE(got, reported) << where << ": a reported add is lost";
    } else if (got < reported) {
      // What is lost must have fit in the write buffer; the first lost
      // record may have been written in part.
      uint32_t bytes = 0;
      for (uint32_t m = first + got + 1; m < first + reported; ++m) {
        bytes += method == VARNFILE_METHOD_NONE ? RecordSize(m) : 22;
      }
      EXPECT_LE(bytes, writeBuffer) << where << ": " << reported - got << " reported adds lost";
      totals.lostFromBuffer += reported - got;
    }
    unlink(path.c_str());
    unlink(recovered.c_str());
  }
  std::printf("crash test: %d kills (%d finished first), %d never-closed files refused; "
              "%llu adds reported, %llu recovered, %llu lost from the write buffer\n",
              totals.kills, totals.finished, totals.refusedNeverClosed,
              static_cast<unsigned long long>(totals.reported),
              static_cast<unsigned long long>(totals.recovered),
              static_cast<unsigned long long>(totals.lostFromBuffer));
  RecordProperty("kills", totals.kills);
  RecordProperty("reported", static_cast<int>(totals.reported));
  RecordProperty("recovered", static_cast<int>(totals.recovered));
}

}  // namespace
}  // namespace varnfile_reliability
