// Crash consistency: a child process appends items, telling the parent
// through a pipe about every add that returned 0, and is killed with SIGKILL
// at a random moment, on fresh files and on closed files reopened for
// appending. The library must refuse a never-closed file (264); `varnfile
// recover` must salvage it into a file that verifies clean and holds a
// prefix of what the child attempted, unaltered: with a write buffer of 0
// every reported add, with a buffer at most the reported items that fitted
// in it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/file.h"
#include "reliability/reliability_util.h"
#include "windows/child_process.h"

namespace varnfile_test {
namespace {

constexpr uint32_t Seed = 77, PriorItems = 25, MaxLength = 160;
#if defined(_WIN32)
// Each kill starts a process and runs the tool three times, which costs
// over a second under Wine.
constexpr uint32_t Kills = 24;
#else
constexpr uint32_t Kills = 200;
#endif

Item Attempted(uint32_t n) { return MakeItem(Seed, n, MaxLength); }

[[noreturn]] void Child(const std::string& path, bool fresh, uint16_t method, uint32_t buffer,
                        int report) {
  uint32_t h = 0;
  uint16_t rc = fresh ? VARNFileCreateEx(&h, 0, path.c_str(), nullptr, nullptr, nullptr, 0)
                      : VARNFileOpen(&h, path.c_str(), 0);
  if (rc == 0 && fresh) rc = VARNFileSetCompression(h, method);
  if (rc == 0) rc = VARNFileSetParameters(h, 16, 65536, 1024, buffer);
  for (uint32_t n = fresh ? 0 : PriorItems; rc == 0 && n < PriorItems + 2500; ++n)
    if (AddItem(h, Attempted(n)) != 0 || write(report, &n, sizeof n) != sizeof n) _exit(11);
  _exit(rc == 0 && VARNFileClose(h) == 0 ? 0 : 10);
}

constexpr int Killed = 99;  // the exit code of a child that its fault ended

// The work of a child process, named by a line of words: "append FRESH
// METHOD BUFFER PATH" adds items (Child); "session N METHOD BUFFER PATH" runs
// the write session of the fault sweeps and ends at its N-th write call,
// reporting every step.
[[noreturn]] void RunChild(const std::string& job, int report) {
  std::istringstream in(job);
  std::string kind, path;
  uint64_t n = 0; uint16_t method = 0; uint32_t buffer = 0;
  in >> kind >> n >> method >> buffer;
  std::getline(in >> std::ws, path);
  if (kind == "append") Child(path, n != 0, method, buffer, report);
  varnfile::FileSetFault(varnfile::FileCallWrite, {n, false, Killed, false, true});
  RunWriteSession(path, method, buffer, [&](SessionStep step, uint32_t i, uint16_t rc) {
    uint32_t note[3] = {step, i, rc};
    if (write(report, note, sizeof note) != sizeof note) _exit(1);
  });
  _exit(0);
}

#if defined(_WIN32)
// Windows: the child is this program again, in the role "writer", and the
// kill is TerminateProcess.

void WriterRole(const std::string& job, ChildPipes pipes) { RunChild(job, pipes.report); }
ChildRole writerRole("writer", WriterRole);

class Writer {
 public:
  explicit Writer(const std::string& job) : child_("writer", job) { EXPECT_TRUE(child_.started()); }
  int report() const { return child_.report(); }
  // The exit code once the child has ended.
  int Wait() { return child_.Wait(); }
  // Kills the child unless it has ended; true when it ended by itself
  // with 0.
  bool KillAndWait() {
    child_.Kill();
    int code = child_.Wait();
    EXPECT_TRUE(code == ChildProcess::KilledExitCode || code == 0) << code;
    return code == 0;
  }

 private:
  ChildProcess child_;
};
#else
class Writer {
 public:
  explicit Writer(const std::string& job) {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    pid_ = fork();
    EXPECT_GE(pid_, 0);
    if (pid_ == 0) {
      close(fds[0]);
      RunChild(job, fds[1]);
    }
    close(fds[1]);
    report_ = fds[0];
  }
  ~Writer() { close(report_); }
  int report() const { return report_; }
  // The exit code once the child has ended (-1: it did not exit).
  int Wait() {
    int status = 0;
    EXPECT_EQ(pid_, waitpid(pid_, &status, 0));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Kills the child with SIGKILL unless it has exited; true when it exited
  // by itself (with 0).
  bool KillAndWait() {
    kill(pid_, SIGKILL);
    int code = Wait();
    EXPECT_TRUE(code == -1 || code == 0) << code;
    return code != -1;
  }

 private:
  pid_t pid_ = -1;
  int report_ = -1;
};
#endif

TEST(CrashConsistency, KilledWritersLeaveRecoverablePrefixes) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the varnfile tool is not built";
  std::mt19937 rng(12345);
  int refused = 0;
  for (uint32_t k = 0; k < Kills && !HasFailure(); ++k) {
    bool fresh = k % 2 == 0;
    uint32_t buffer = (k / 2) % 2 == 0 ? 0 : 1024;
    uint16_t method = static_cast<uint16_t>((k / 4) % 5);
    SCOPED_TRACE("kill " + std::to_string(k) + (fresh ? " fresh" : " append") + " method " +
                 std::to_string(method) + " buffer " + std::to_string(buffer));
    std::string path = ScratchFile("crash.trn"), recovered = ScratchFile("recovered.trn");
    const uint32_t first = fresh ? 0 : PriorItems;
    std::vector<Item> prior;
    for (uint32_t n = 0; n < first; ++n) prior.push_back(Attempted(n));
    ASSERT_EQ(first, fresh ? 0 : MakeFile(path, method, prior).size());

    Writer writer("append " + std::to_string(fresh) + " " + std::to_string(method) + " " +
                  std::to_string(buffer) + " " + path);
    // The moment of the kill: sometimes during the create or open, mostly
    // once the child reported a chosen number of adds (so that the moments
    // do not depend on the machine's speed), then a little later.
    uint32_t reported = 0, target = rng() % 10 == 0 ? 0 : 1 + rng() % 200;
    uint32_t delay = rng() % 3000;  // microseconds
    auto drain = [&](uint32_t limit) {  // the reports, which must count up
      for (uint32_t n = 0; reported < limit && read(writer.report(), &n, sizeof n) == sizeof n;
           ++reported)
        EXPECT_EQ(first + reported, n);
    };
    drain(target);
    std::this_thread::sleep_for(std::chrono::microseconds(target == 0 ? delay / 4 : delay));
    bool finished = writer.KillAndWait();
    drain(UINT32_MAX);

    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    uint32_t h = 0;
    uint16_t rc = VARNFileOpenEx(&h, 0, path.c_str(), 0);
    if (!exists || st.st_size < VARNFILE_HEADER_SIZE) {
      EXPECT_EQ(exists ? VARNFILE_E_HEADER_UNREADABLE : VARNFILE_E_OPEN, rc);
      EXPECT_EQ(0u, reported);
      continue;
    }
    // A reopened file keeps its closed mark; a torn last record may make the
    // search for the last item fail. A file never closed is refused, unless
    // the kill came after the close.
    uint16_t otherwise = finished || !fresh ? VARNFILE_E_READ : VARNFILE_E_NOT_TRANSACTION_FILE;
    EXPECT_TRUE(rc == 0 || rc == otherwise) << rc;
    refused += rc == VARNFILE_E_NOT_TRANSACTION_FILE;
    if (rc == 0) VARNFileClose(h);

    int verify = RunTool("verify " + path).status;  // 65: it found the damage
    EXPECT_TRUE(verify == 0 || verify == 65) << "verify failed to run: " << verify;
    ASSERT_EQ(0, RunTool("recover " + path + " " + recovered + " --force").status);
    ASSERT_EQ(0, RunTool("verify " + recovered).status);
    std::vector<Item> items = ReadFile(recovered);
    for (uint32_t i = 0; i < items.size(); ++i) ASSERT_EQ(Attempted(i), items[i]) << "item " << i;
    ASSERT_GE(items.size(), first) << "items of the closed file were lost";
    uint32_t got = static_cast<uint32_t>(items.size()) - first;
    EXPECT_LE(got, reported + 1) << "more items than were attempted";
    if (buffer == 0 || finished) {
      EXPECT_GE(got, reported) << "a reported add is lost";
    } else if (got < reported) {
      // What is lost must have fitted in the write buffer; the first lost
      // record may have been written in part.
      uint32_t bytes = 0;
      for (uint32_t m = first + got + 1; m < first + reported; ++m)
        bytes += method == VARNFILE_METHOD_NONE ? 22 + Attempted(m).data.size() : 22;
      EXPECT_LE(bytes, buffer) << reported - got << " reported adds lost";
    }
  }
  EXPECT_GT(refused, int{Kills / 8}) << "too few kills left a never-closed file";
}

// A kill at every write call: a child runs a session that appends, updates
// and deletes, and a fault seam ends it (_exit) just before its n-th write,
// for every n. `varnfile recover` must then salvage a file in which every
// item acknowledged and written out before the kill is there, old or new
// version, and no item is invented.
TEST(CrashConsistency, KillAtEveryWrite) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the varnfile tool is not built";
  uint32_t cases = 0, kills = 0, checked = 0, lost = 0;
  for (uint16_t method = 0; method < 5; ++method) {
    for (uint32_t buffer : {0u, 1024u}) {
      std::string path = ScratchFile("kill.trn");
      uint64_t writes = SessionWrites(path, method, buffer);
      for (uint64_t n = 1; n <= writes && !HasFailure(); n += ToolSweepStride * WineSweepStride) {
        SCOPED_TRACE("method " + std::to_string(method) + " buffer " + std::to_string(buffer) +
                     " killed at write " + std::to_string(n));
        unlink(path.c_str());
        Writer writer("session " + std::to_string(n) + " " + std::to_string(method) + " " +
                      std::to_string(buffer) + " " + path);
        Ledger ledger(method, buffer);
        for (uint32_t note[3]; read(writer.report(), note, sizeof note) == sizeof note;)
          ledger.Note(SessionStep(note[0]), note[1], static_cast<uint16_t>(note[2]));
        int code = writer.Wait();
        ++cases;
        kills += code == Killed;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || st.st_size < VARNFILE_HEADER_SIZE) {
          EXPECT_EQ(0u, ledger.nextAdd);
          continue;
        }
        std::vector<Item> items = Recovered(path);
        std::string problem;
        lost += ledger.Check(items, true, &problem);
        checked += static_cast<uint32_t>(items.size());
        EXPECT_EQ("", problem) << "closed " << ledger.closed << ", written out " << ledger.writtenOut;
      }
      unlink(path.c_str());
    }
  }
  std::printf("kills at every write: %u cases run, %u kills, %u items checked, lost: %u\n",
              cases, kills, checked, lost);
}

}  // namespace
}  // namespace varnfile_test
