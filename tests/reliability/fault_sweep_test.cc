// Fault sweeps: one scripted scenario per compression method (create, fill,
// walk both ways, update, delete, change parameters, duplicate, close,
// reopen, walk again) runs once to count its allocations and file calls,
// then again with the n-th allocation, or the n-th open, read, write, seek,
// close or remove failing. Every export must answer with success, the code
// of the failure, or a code the failure legitimately leads to; the scenario
// goes on; nothing leaks; and a file closed with 0 afterwards holds every
// item whose add returned 0, readable forwards and backwards.
#include <cerrno>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "api/handle_table.h"
#include "platform/memory.h"
#include "platform/posix_file.h"
#include "reliability_util.h"

namespace varnfile_reliability {
namespace {

using varnfile::FileCallKind;

// Under the chained methods a read that misses the cache replays the chain
// from its last reset point, so their scenarios are shorter.
uint32_t ItemsFor(uint16_t method) {
  return method == VARNFILE_METHOD_CHAINED_DEFLATE || method == VARNFILE_METHOD_CHAINED_PREDICTOR
             ? 60
             : 200;
}

// What the scenario believes about each attempted item.
struct Expected {
  Item original;
  Item updated;
  bool addOk = false;           // the add returned 0
  bool updateOk = false;        // an update returned 0
  bool updateTried = false;     // an update was attempted (and failed)
  bool deleteOk = false;
  bool deleteTried = false;
};

enum class Fault { None, Alloc, Io };

struct CallSpan {
  std::string name;
  uint64_t allocBegin, allocEnd;
  uint64_t ioBegin[varnfile::FileCallKinds], ioEnd[varnfile::FileCallKinds];
};

struct ExportStats {
  uint64_t calls = 0;
  uint64_t faulted = 0;  // returned the code of an injected fault
};

class Scenario {
 public:
  Scenario(uint16_t method, Fault fault, std::map<std::string, ExportStats>* stats)
      : method_(method), fault_(fault), stats_(stats), itemCount_(ItemsFor(method)) {}

  std::vector<CallSpan> spans;  // filled when recording
  bool record = false;
  int storedDespiteFailure = 0;  // adds that failed but whose item is in the file

  void Run(const std::string& tag) {
    path_ = ScratchFile("sweep_" + tag + ".trn");
    handle_ = CreateWithRetry();
    if (handle_ == 0) return;
    Retry("VARNFileSetCompression", [&] { return VARNFileSetCompression(handle_, method_); });
    Retry("VARNFileSetParameters", [&] { return VARNFileSetParameters(handle_, 6, 6000, 300, 700); });
    Call("VARNFileSetDescription", [&] { return VARNFileSetDescription(handle_, "sweep"); });
    Call("VARNFileSetFlags", [&] { return VARNFileSetFlags(handle_, 0x5A5A); });

    for (uint32_t n = 0; n < itemCount_; ++n) {
      Expected e;
      e.original = MakeItem(method_ + 1, n);
      e.updated = e.original;
      uint16_t rc = Call("VARNFileAddItem", [&] { return AddItem(handle_, e.original); });
      e.addOk = rc == 0;
      items_.push_back(e);
    }
    Walk("after adds", /*strict=*/false);

    UpdateAndDelete();
    Retry("VARNFileSetParameters", [&] { return VARNFileSetParameters(handle_, 2, 0, 0, 64); });
    Walk("after updates", false);
    Duplicate();
    Retry("VARNFileSetParameters", [&] { return VARNFileSetParameters(handle_, 40, 1 << 20, 4096, 0); });

    uint16_t closeRc = Call("VARNFileClose", [&] { return VARNFileClose(handle_); });
    handle_ = 0;
    bool closedOk = closeRc == 0;

    // Reopen: a file whose close failed may be refused as never closed.
    uint16_t rc = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      rc = Call("VARNFileOpenEx", [&] { return VARNFileOpenEx(&handle_, 1, path_.c_str(), 0); },
                {VARNFILE_E_NOT_TRANSACTION_FILE, VARNFILE_E_HEADER_UNREADABLE,
                 VARNFILE_E_END_INCONSISTENT});
      if (rc == 0 || rc == VARNFILE_E_NOT_TRANSACTION_FILE) break;
    }
    if (closedOk && fault_ == Fault::Alloc) {
      EXPECT_EQ(0, rc) << "a file closed with 0 cannot be reopened";
    }
    if (rc == 0) {
      Walk("after reopen", closedOk);
      Call("VARNFileClose", [&] { return VARNFileClose(handle_); });
    }
    handle_ = 0;
    unlink(path_.c_str());
  }

 private:
  bool IsFaultCode(uint16_t rc) const {
    if (fault_ == Fault::Alloc) return rc == VARNFILE_E_NO_MEMORY;
    if (fault_ == Fault::Io) return rc >= VARNFILE_E_OPEN && rc <= VARNFILE_E_REMOVE;
    return false;
  }

  // Runs one export and checks its code: 0, one of `alsoOk`, or the code of
  // the injected fault.
  uint16_t Call(const char* name, const std::function<uint16_t()>& f,
                std::initializer_list<uint16_t> alsoOk = {}) {
    CallSpan span;
    if (record) Snapshot(&span.allocBegin, span.ioBegin);
    uint16_t rc = f();
    if (record) {
      Snapshot(&span.allocEnd, span.ioEnd);
      span.name = name;
      spans.push_back(span);
    }
    ExportStats& s = (*stats_)[name];
    ++s.calls;
    if (rc == 0) return rc;
    for (uint16_t ok : alsoOk) {
      if (rc == ok) return rc;
    }
    if (IsFaultCode(rc)) {
      ++s.faulted;
      ++faults_;
      return rc;
    }
    ADD_FAILURE() << name << " returned " << rc << " (method " << method_ << ")";
    return rc;
  }

  // Calls that must succeed once the (one-shot) fault has passed.
  void Retry(const char* name, const std::function<uint16_t()>& f) {
    uint16_t rc = Call(name, f);
    if (rc != 0) rc = Call(name, f);
    if (fault_ == Fault::Alloc) {
      EXPECT_EQ(0, rc) << name << " failed twice";
    }
  }

  static void Snapshot(uint64_t* alloc, uint64_t* io) {
    *alloc = varnfile::MemAllocCount();
    for (uint32_t k = 0; k < varnfile::FileCallKinds; ++k) {
      io[k] = varnfile::FileCallCount(static_cast<FileCallKind>(k));
    }
  }

  uint32_t CreateWithRetry() {
    for (int attempt = 0; attempt < 2; ++attempt) {
      uint32_t handle = 0;
      uint16_t rc = Call("VARNFileCreateEx", [&] {
        return VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, path_.c_str(), nullptr, nullptr,
                                nullptr, 0);
      });
      if (rc == 0) return handle;
      EXPECT_EQ(0u, handle) << "a failed create left a handle";
    }
    ADD_FAILURE() << "create failed twice";
    return 0;
  }

  // Walks the file forwards and backwards. Every item read must be an
  // attempted one, in order, with the right content; with `strict` every
  // item whose add returned 0 (and not deleted) must be there.
  void Walk(const char* when, bool strict) {
    std::vector<Item> forwards, backwards;
    uint16_t rcF = WalkForwards(&forwards);
    uint16_t rcB = WalkBackwards(&backwards);
    bool complete = rcF == VARNFILE_E_END_OF_FILE && rcB == VARNFILE_E_NO_PREVIOUS;
    if (fault_ == Fault::Alloc || strict) {
      EXPECT_EQ(VARNFILE_E_END_OF_FILE, rcF) << when;
      EXPECT_EQ(VARNFILE_E_NO_PREVIOUS, rcB) << when;
    }
    Check(forwards, when, strict && complete);
    if (complete) {
      Check(backwards, when, strict);
      EXPECT_EQ(forwards.size(), backwards.size()) << when;
    }
    // With allocation faults only, every item whose add returned 0 is there
    // at every stage, not only after a reopen.
    if (fault_ == Fault::Alloc && complete) Check(forwards, when, true);
  }

  // Forwards from the first item; a faulted read is retried from the
  // position it started at.
  uint16_t WalkForwards(std::vector<Item>* out) {
    uint16_t rc = Call("VARNFileSetPosition",
                       [&] { return VARNFileSetPosition(handle_, VARNFILE_FIRST_ITEM_POSITION); });
    if (rc != 0) return rc;
    int retries = 0;
    for (size_t step = 0; step < 4 * itemCount_; ++step) {
      uint32_t at = 0;
      VARNFileGetPosition(handle_, &at);
      Item item;
      rc = Call("VARNFileReadItem", [&] { return ReadOne(handle_, &item); },
                {VARNFILE_E_END_OF_FILE});
      if (rc == VARNFILE_E_END_OF_FILE) return rc;
      if (rc != 0) {
        if (++retries > 3) return rc;
        if (VARNFileSetPosition(handle_, at) != 0) return rc;
        continue;
      }
      out->push_back(item);
    }
    return 0;
  }

  uint16_t WalkBackwards(std::vector<Item>* out) {
    std::vector<Item> reversed;
    uint32_t end = 0;
    uint16_t rc = Call("VARNFileSeekToEnd", [&] { return VARNFileSeekToEnd(handle_, &end); });
    if (rc != 0) return rc;
    int retries = 0;
    for (size_t step = 0; step < 4 * itemCount_; ++step) {
      uint32_t from = 0;
      VARNFileGetPosition(handle_, &from);
      rc = Call("VARNFileSkipPrev", [&] { return VARNFileSkipPrev(handle_); },
                {VARNFILE_E_NO_PREVIOUS});
      if (rc == VARNFILE_E_NO_PREVIOUS) break;
      uint32_t at = 0;
      if (rc == 0) VARNFileGetPosition(handle_, &at);
      Item item;
      if (rc == 0) {
        // Alternate between the whole item and only its identifiers.
        if (step % 3 == 2) {
          uint16_t length = 0;
          rc = Call("VARNFileReadCmdIDEx", [&] {
            return VARNFileReadCmdIDEx(handle_, &item.commandId, &item.extraId, &item.extraValue,
                                       &length);
          });
          if (rc == 0) {
            // Identifiers only: take the data from what was attempted.
            item.data.clear();
            if (item.extraValue < items_.size()) {
              const Expected& e = items_[item.extraValue];
              item.data = (e.updateOk || e.updateTried) && e.updated.data.size() == length &&
                                  item.commandId == e.updated.commandId
                              ? e.updated.data
                              : e.original.data;
            }
            if (item.data.size() != length) ADD_FAILURE() << "length " << length << " read back";
          }
        } else {
          rc = Call("VARNFileReadItem", [&] { return ReadOne(handle_, &item); });
        }
      }
      if (rc == 0) rc = VARNFileSetPosition(handle_, at);
      if (rc != 0) {
        if (++retries > 3) {
          reversed.clear();
          return rc;
        }
        VARNFileSetPosition(handle_, from);
        continue;
      }
      reversed.push_back(item);
    }
    out->assign(reversed.rbegin(), reversed.rend());
    return rc;
  }

  // Every item read is an attempted item, in order, in one of the states
  // it may be in; with `complete`, no item that must be there is missing.
  void Check(const std::vector<Item>& got, const char* when, bool complete) {
    size_t next = 0;
    auto mustBeThere = [&](size_t k) {
      const Expected& e = items_[k];
      return e.addOk && !e.deleteOk && !e.deleteTried;
    };
    for (const Item& item : got) {
      size_t k = item.extraValue;
      if (k >= items_.size() || k < next) {
        ADD_FAILURE() << when << ": an item that was never added, or out of order (" << k << ")";
        return;
      }
      for (size_t m = next; m < k && complete; ++m) {
        if (mustBeThere(m)) {
          ADD_FAILURE() << when << ": item " << m << " is lost (method " << method_ << ")";
          return;
        }
      }
      const Expected& e = items_[k];
      if (e.deleteOk) ADD_FAILURE() << when << ": deleted item " << k << " is still there";
      bool asOriginal = SameItem(item, e.original) && !e.updateOk;
      bool asUpdated = SameItem(item, e.updated) && (e.updateOk || e.updateTried);
      if (!asOriginal && !asUpdated) {
        ADD_FAILURE() << when << ": item " << k << " altered (method " << method_ << ")";
        return;
      }
      if (!e.addOk) ++storedDespiteFailure;
      next = k + 1;
    }
    for (size_t m = next; m < items_.size() && complete; ++m) {
      if (mustBeThere(m)) {
        ADD_FAILURE() << when << ": item " << m << " is lost at the end (method " << method_ << ")";
        return;
      }
    }
  }

  // Positions of the live items, from a plain walk without checks.
  std::vector<std::pair<uint32_t, size_t>> LivePositions() {
    std::vector<std::pair<uint32_t, size_t>> live;
    if (VARNFileSetPosition(handle_, VARNFILE_FIRST_ITEM_POSITION) != 0) return live;
    for (size_t step = 0; step < 2 * itemCount_; ++step) {
      uint16_t c = 0, x = 0;
      uint32_t v = 0;
      if (VARNFileReadCmdID(handle_, &c, &x, &v) != 0) break;
      uint32_t at = 0;
      VARNFileGetPosition(handle_, &at);
      live.push_back({at, v});
      if (VARNFileSkipNext(handle_) != 0) break;
    }
    return live;
  }

  void UpdateAndDelete() {
    std::vector<std::pair<uint32_t, size_t>> live = LivePositions();
    for (size_t i = 0; i < live.size(); ++i) {
      uint32_t at = live[i].first;
      size_t k = live[i].second;
      if (k >= items_.size()) continue;
      Expected& e = items_[k];
      if (i % 7 == 3) {
        if (VARNFileSetPosition(handle_, at) != 0) continue;
        Item u = e.original;
        u.commandId = static_cast<uint16_t>(0x7000 + k);
        u.extraId = static_cast<uint16_t>(k ^ 0x55);
        bool withData = method_ == VARNFILE_METHOD_NONE && i % 2 == 1;
        if (withData) {
          for (char& ch : u.data) ch = static_cast<char>(ch ^ 0x21);
        }
        uint16_t rc = Call("VARNFileUpdateItem", [&] {
          return VARNFileUpdateItem(handle_, u.commandId, u.extraId, u.extraValue,
                                    static_cast<uint16_t>(withData ? u.data.size() : 0),
                                    withData && !u.data.empty()
                                        ? reinterpret_cast<const uint8_t*>(u.data.data())
                                        : nullptr);
        });
        e.updated = u;
        if (rc == 0) e.updateOk = true;
        else e.updateTried = true;
      } else if (i % 11 == 5) {
        if (VARNFileSetPosition(handle_, at) != 0) continue;
        uint16_t rc = Call("VARNFileDeleteItem", [&] { return VARNFileDeleteItem(handle_); });
        if (rc == 0) e.deleteOk = true;
        else e.deleteTried = true;
      }
    }
  }

  // Copies the file into a memory file; a copy that returned 0 holds every
  // live item; a failed one holds attempted items in order.
  void Duplicate() {
    uint32_t target = 0;
    uint16_t rc = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      // A memory file's bytes live in allocated chunks: a chunk that cannot
      // be allocated fails the write (278).
      rc = Call("VARNFileCreateEx", [&] {
        return VARNFileCreateEx(&target, VARNFILE_NAME_EXACT, "MEMORY$", nullptr, nullptr, nullptr,
                                0);
      }, {MemoryWriteCode()});
      if (rc == 0) break;
    }
    if (rc != 0) return;
    Retry("VARNFileSetCompression", [&] { return VARNFileSetCompression(target, method_); });
    rc = Call("VARNFileDuplicate", [&] { return VARNFileDuplicate(target, handle_); },
              {MemoryWriteCode()});
    uint32_t saved = handle_;
    handle_ = target;
    std::vector<Item> copy;
    uint16_t walk = WalkForwards(&copy);
    handle_ = saved;
    if (walk == VARNFILE_E_END_OF_FILE) Check(copy, "copy", rc == 0 && fault_ == Fault::Alloc);
    Call("VARNFileClose", [&] { return VARNFileClose(target); }, {MemoryWriteCode()});
  }

  uint16_t MemoryWriteCode() const { return fault_ == Fault::Alloc ? VARNFILE_E_WRITE : 0; }

  uint16_t method_;
  Fault fault_;
  std::map<std::string, ExportStats>* stats_;
  std::string path_;
  uint32_t handle_ = 0;
  std::vector<Expected> items_;
  uint64_t faults_ = 0;
  uint32_t itemCount_;
};

bool NoFileOpen() {
  varnfile::LibraryState* state = varnfile::LockLibrary();
  bool none = state->fileCount == 0 && state->memCount == 0 && state->files == nullptr &&
              state->memStreams == nullptr;
  varnfile::UnlockLibrary();
  return none;
}

// Failure points to try out of 1..count: every point of the first calls of
// each export (so that each export's own failure points are covered), and
// an even stride over the rest within the budget.
std::set<uint64_t> ChoosePoints(const std::vector<CallSpan>& spans, uint64_t count, size_t budget,
                                const std::function<std::pair<uint64_t, uint64_t>(const CallSpan&)>& range) {
  std::set<uint64_t> points;
  std::map<std::string, int> seen;
  for (const CallSpan& s : spans) {
    auto r = range(s);
    if (r.second <= r.first) continue;
    if (seen[s.name]++ >= 2) continue;
    for (uint64_t n = r.first + 1; n <= r.second && n <= r.first + 12; ++n) points.insert(n);
  }
  uint64_t stride = count / (budget > points.size() ? budget - points.size() : 1) + 1;
  for (uint64_t n = 1; n <= count; n += stride) points.insert(n);
  if (count > 0) points.insert(count);
  return points;
}

class FaultSweep : public ::testing::TestWithParam<uint16_t> {};

void Report(const char* what, uint16_t method, uint64_t points,
            const std::map<std::string, ExportStats>& stats, int stored) {
  int failedExports = 0;
  std::ostringstream names;
  for (const auto& [name, s] : stats) {
    if (s.faulted > 0) {
      ++failedExports;
      names << " " << name.substr(8) << "(" << s.faulted << ")";
    }
  }
  std::printf("%s sweep, method %u: %llu fault points; %d exports failed:%s\n", what, method,
              static_cast<unsigned long long>(points), failedExports, names.str().c_str());
  if (stored > 0) std::printf("  %d items stored although their add failed\n", stored);
  ::testing::Test::RecordProperty("faultPoints", static_cast<int>(points));
  ::testing::Test::RecordProperty("exportsFailed", failedExports);
}

TEST_P(FaultSweep, AllocationFailures) {
  uint16_t method = GetParam();
  std::map<std::string, ExportStats> stats;
  // A first run settles anything that is set up once per process.
  {
    Scenario warm(method, Fault::None, &stats);
    warm.Run("warm");
  }
  ASSERT_FALSE(HasFailure());
  Scenario counting(method, Fault::None, &stats);
  counting.record = true;
  varnfile::MemSetFailure(0);
  counting.Run("count");
  uint64_t count = varnfile::MemAllocCount();
  ASSERT_FALSE(HasFailure());
  ASSERT_GT(count, 0u);
  std::set<uint64_t> points = ChoosePoints(counting.spans, count, 200, [](const CallSpan& s) {
    return std::make_pair(s.allocBegin, s.allocEnd);
  });
  stats.clear();
  int stored = 0;
  for (uint64_t n : points) {
    Scenario run(method, Fault::Alloc, &stats);
    varnfile::MemSetFailure(n);
    run.Run("alloc");
    varnfile::MemSetFailure(0);
    stored += run.storedDespiteFailure;
    EXPECT_TRUE(NoFileOpen()) << "allocation " << n;
    if (HasFailure()) {
      ADD_FAILURE() << "with allocation " << n << " of " << count << " failing";
      break;
    }
  }
#ifdef VARNFILE_TEST_LSAN
  EXPECT_EQ(0, __lsan_do_recoverable_leak_check()) << "leaks in the allocation sweep";
#endif
  std::printf("allocations per scenario: %llu\n", static_cast<unsigned long long>(count));
  Report("allocation", method, points.size(), stats, stored);
}

TEST_P(FaultSweep, FileCallFailures) {
  uint16_t method = GetParam();
  std::map<std::string, ExportStats> stats;
  {
    Scenario warm(method, Fault::None, &stats);
    warm.Run("warm");
  }
  ASSERT_FALSE(HasFailure());
  Scenario counting(method, Fault::None, &stats);
  counting.record = true;
  varnfile::FileClearFaults();
  varnfile::FileResetCallCounts();
  varnfile::MemSetFailure(0);
  counting.Run("count");
  ASSERT_FALSE(HasFailure());
  uint64_t counts[varnfile::FileCallKinds];
  for (uint32_t k = 0; k < varnfile::FileCallKinds; ++k) {
    counts[k] = varnfile::FileCallCount(static_cast<FileCallKind>(k));
  }
  stats.clear();
  uint64_t total = 0;
  int stored = 0;
  struct Variant {
    FileCallKind kind;
    bool shortTransfer;
    int error;
    size_t budget;
  };
  const Variant variants[] = {
      {varnfile::FileCallOpen, false, EACCES, 10},   {varnfile::FileCallRead, false, EIO, 60},
      {varnfile::FileCallRead, true, EIO, 40},       {varnfile::FileCallWrite, false, ENOSPC, 60},
      {varnfile::FileCallWrite, true, ENOSPC, 40},   {varnfile::FileCallSeek, false, EIO, 40},
      {varnfile::FileCallClose, false, EIO, 10},     {varnfile::FileCallRemove, false, EACCES, 6},
  };
  for (const Variant& v : variants) {
    uint64_t count = counts[v.kind];
    if (count == 0) continue;
    std::set<uint64_t> points =
        ChoosePoints(counting.spans, count, v.budget, [&](const CallSpan& s) {
          return std::make_pair(s.ioBegin[v.kind], s.ioEnd[v.kind]);
        });
    for (uint64_t n : points) {
      Scenario run(method, Fault::Io, &stats);
      varnfile::FileSetFault(v.kind, {n, false, v.error, v.shortTransfer});
      run.Run("io");
      varnfile::FileClearFaults();
      stored += run.storedDespiteFailure;
      ++total;
      EXPECT_TRUE(NoFileOpen());
      if (HasFailure()) {
        ADD_FAILURE() << "with file call " << n << " of kind " << v.kind << " failing"
                      << (v.shortTransfer ? " (short)" : "");
        break;
      }
    }
    if (HasFailure()) break;
  }
#ifdef VARNFILE_TEST_LSAN
  EXPECT_EQ(0, __lsan_do_recoverable_leak_check()) << "leaks in the file call sweep";
#endif
  std::printf("file calls per scenario: open %llu read %llu write %llu seek %llu close %llu\n",
              static_cast<unsigned long long>(counts[0]), static_cast<unsigned long long>(counts[1]),
              static_cast<unsigned long long>(counts[2]), static_cast<unsigned long long>(counts[3]),
              static_cast<unsigned long long>(counts[4]));
  Report("file call", method, total, stats, stored);
}

INSTANTIATE_TEST_SUITE_P(Methods, FaultSweep, ::testing::Values(0, 1, 2, 3, 4),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return "method" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace varnfile_reliability
