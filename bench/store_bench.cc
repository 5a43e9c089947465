// The store as a whole against SQLite 3, in one run on the same items.
//
//   store_bench            full run (10,000 transaction records, 20,000 log lines)
//   store_bench --quick    small run (1,000 and 5,000) for a smoke test
//   store_bench --only=txn|log   one workload; --reps=N repetitions (best of N)
//   store_bench --method=M --memory-only --no-sqlite   a slice of the run
//               (for profiling one method under callgrind or perf)
//
// Workloads (fixed seeds, every read is checked against what was written):
//  - txn: text-like transaction records of 100 to 2,000 bytes;
//  - log: short log lines of about 70 bytes.
// For each compression method 0..4, on a memory file ("MEMORY$"), on a disk
// file with the default parameters (1 KB write-through buffer) and on a disk
// file with 64 KB read and write buffers, through the C API:
//  - append: N items appended, then the file closed;
//  - fwd: the reopened file read from start to end (VARNFileReadItem);
//  - bwd: read from the end to the start (VARNFileSkipPrev, read, restore);
//  - rand: reads at saved positions restored in a shuffled order (at most
//    2,000 of them);
//  - bytes: stored file size per item data byte.
// SQLite (a table of id, command, extra id, value, blob) runs the same items:
// ":memory:" against our memory file, a disk database (synchronous FULL, all
// inserts in one transaction) against our disk files; reads are by id
// ascending, descending and in the same shuffled order. The ratio column is
// ours / SQLite's (rates: higher is better for us; bytes: lower is).
// The run also measures this machine's rate of 1 KB O_DSYNC writes and the
// bare throughput of our compressors and decompressors on the same items
// (each item handed to the engine in file order, as the store does), so the
// store's own overhead shows as a ratio.
//
// Disk files go to $VARNFILE_BENCH_TMP, else the current directory.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/deflate.h"
#include "codec/inflate.h"
#include "codec/predictor.h"
#include "base/memory.h"
#include "varnfile.h"

#if VARNFILE_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

// Selections of the command line.
int OnlyMethod = -1;
bool MemoryOnly = false;
bool NoSqlite = false;

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

struct Item {
  uint16_t commandId;
  uint16_t extraId;
  uint32_t extraValue;
  Bytes data;
};

struct Workload {
  const char* name;
  std::vector<Item> items;
  uint64_t dataBytes = 0;
};

[[noreturn]] void Fail(const char* what, long code) {
  std::fprintf(stderr, "store_bench: %s failed (%ld)\n", what, code);
  std::exit(1);
}

void Check(uint16_t rc, const char* what) {
  if (rc != VARNFILE_OK) Fail(what, rc);
}

uint32_t Next(uint32_t& state) {
  state = state * 1103515245u + 12345u;
  return state >> 8;
}

void AppendText(std::string& out, const char* text) { out += text; }

// A transaction record as an application would log it: key=value text with
// recurring names, amounts, dates and a free-text note.
Workload TransactionRecords(uint32_t count, uint32_t seed) {
  static const char* const Names[] = {"Miller", "Garcia", "Nguyen", "Schmidt", "Rossi",
                                      "Dubois", "Kowalski", "Tanaka", "Olsen", "Silva"};
  static const char* const Kinds[] = {"SALE", "REFUND", "TRANSFER", "FEE", "DEPOSIT"};
  static const char* const Words[] = {"order ", "shipped ", "customer ", "requested ", "the ",
                                      "invoice ", "paid ", "by ", "card ", "bank ",
                                      "account ", "reference ", "delivery ", "address ",
                                      "changed ", "note: ", "item ", "returned ", "and ",
                                      "approved ", "pending ", "review ", "for ", "branch "};
  Workload w;
  w.name = "txn";
  uint32_t state = seed;
  char buf[160];
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t target = 100 + Next(state) % 1901;
    std::string s;
    std::snprintf(buf, sizeof buf,
                  "txn=%08u;date=2026-%02u-%02uT%02u:%02u:%02u;kind=%s;account=DE%02u%010u;",
                  1000000 + i * 3 + Next(state) % 3, 1 + Next(state) % 12, 1 + Next(state) % 28,
                  Next(state) % 24, Next(state) % 60, Next(state) % 60, Kinds[Next(state) % 5],
                  Next(state) % 100, Next(state) % 1000000000u);
    AppendText(s, buf);
    while (s.size() < target) {
      switch (Next(state) % 4) {
        case 0:
          std::snprintf(buf, sizeof buf, "amount=%u.%02u EUR;", Next(state) % 100000,
                        Next(state) % 100);
          break;
        case 1:
          std::snprintf(buf, sizeof buf, "name=%s, %c.;", Names[Next(state) % 10],
                        static_cast<char>('A' + Next(state) % 26));
          break;
        case 2:
          std::snprintf(buf, sizeof buf, "line=%u;sku=%06u;qty=%u;", Next(state) % 40,
                        Next(state) % 1000000, 1 + Next(state) % 9);
          break;
        default: {
          std::string note = "text=";
          uint32_t words = 3 + Next(state) % 10;
          for (uint32_t k = 0; k < words; ++k) note += Words[Next(state) % 24];
          note += ";";
          std::snprintf(buf, sizeof buf, "%s", note.c_str());
        }
      }
      AppendText(s, buf);
    }
    s.resize(target);
    Item item;
    item.commandId = static_cast<uint16_t>(1 + Next(state) % 20);
    item.extraId = static_cast<uint16_t>(Next(state));
    item.extraValue = i;
    item.data.assign(s.begin(), s.end());
    w.dataBytes += item.data.size();
    w.items.push_back(std::move(item));
  }
  return w;
}

Workload LogLines(uint32_t count, uint32_t seed) {
  static const char* const Levels[] = {"INFO ", "INFO ", "INFO ", "DEBUG", "WARN ", "ERROR"};
  static const char* const Messages[] = {"request served", "cache miss", "user logged in",
                                         "retrying upstream", "queue drained", "slow query",
                                         "session expired", "config reloaded"};
  Workload w;
  w.name = "log";
  uint32_t state = seed;
  char buf[160];
  for (uint32_t i = 0; i < count; ++i) {
    int n = std::snprintf(buf, sizeof buf,
                          "2026-12-05 %02u:%02u:%02u.%03u %s app%02u[w%u] %s id=%u ms=%u",
                          (i / 3600000) % 24, (i / 60000) % 60, (i / 1000) % 60, i % 1000,
                          Levels[Next(state) % 6], Next(state) % 16, Next(state) % 8,
                          Messages[Next(state) % 8], Next(state) % 1000000, Next(state) % 900);
    Item item;
    item.commandId = 1;
    item.extraId = static_cast<uint16_t>(i);
    item.extraValue = i;
    item.data.assign(buf, buf + n);
    w.dataBytes += item.data.size();
    w.items.push_back(std::move(item));
  }
  return w;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A shuffled visiting order, the same for us and for SQLite.
std::vector<uint32_t> Shuffled(uint32_t count, uint32_t seed) {
  std::vector<uint32_t> order(count);
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  uint32_t state = seed;
  for (uint32_t i = count; i > 1; --i) std::swap(order[i - 1], order[Next(state) % i]);
  return order;
}

void Verify(const Item& item, uint16_t c, uint16_t e, uint32_t v, uint16_t length,
            const uint8_t* data, const char* what) {
  if (c != item.commandId || e != item.extraId || v != item.extraValue ||
      length != item.data.size() || std::memcmp(data, item.data.data(), length) != 0) {
    Fail(what, static_cast<long>(v));
  }
}

// ---------------------------------------------------------------------------
// Our store through the C API

enum FileKind { MemoryFile, DiskDefault, Disk64K };
const char* const FileKindNames[] = {"memory", "disk", "disk64K"};

struct StoreFigures {
  double append = 0, forward = 0, backward = 0, random = 0;  // seconds (best)
  double bytesPerByte = 0;
};

std::string TempDir() {
  const char* dir = std::getenv("VARNFILE_BENCH_TMP");
  return dir != nullptr && *dir != 0 ? dir : ".";
}

void ApplyParameters(uint32_t handle, FileKind kind) {
  if (kind == Disk64K) Check(VARNFileSetParameters(handle, 16, 65536, 65536, 65536), "params");
}

// Appends every item to a fresh disk file and closes it; returns the seconds.
double StoreAppend(const Workload& w, uint32_t method, FileKind kind, const std::string& path) {
  uint32_t handle = 0;
  auto start = Clock::now();
  Check(VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, path.c_str(), nullptr, nullptr, nullptr,
                         0),
        "create");
  Check(VARNFileSetCompression(handle, static_cast<uint16_t>(method)), "set compression");
  ApplyParameters(handle, kind);
  for (const Item& item : w.items) {
    Check(VARNFileAddItem(handle, item.commandId, item.extraId, item.extraValue,
                          static_cast<uint16_t>(item.data.size()), item.data.data()),
          "add");
  }
  Check(VARNFileClose(handle), "close");
  return Seconds(start);
}

// Reads of an open file; returns seconds per pass.
struct Reader {
  uint32_t handle;
  const Workload& w;
  Bytes buffer = Bytes(65536);

  uint32_t ReadAt(uint32_t index, const char* what) {
    uint16_t c, e, length = 65535;
    uint32_t v;
    Check(VARNFileReadItem(handle, &c, &e, &v, &length, buffer.data()), what);
    Verify(w.items[index], c, e, v, length, buffer.data(), what);
    return v;
  }

  double Forward(std::vector<uint32_t>* positions) {
    auto start = Clock::now();
    Check(VARNFileSetPosition(handle, VARNFILE_FIRST_ITEM_POSITION), "rewind");
    for (uint32_t i = 0; i < w.items.size(); ++i) {
      if (positions != nullptr) Check(VARNFileGetPosition(handle, &(*positions)[i]), "get pos");
      ReadAt(i, "forward read");
    }
    uint16_t c, e, length = 65535;
    uint32_t v;
    if (VARNFileReadItem(handle, &c, &e, &v, &length, buffer.data()) != VARNFILE_E_END_OF_FILE) {
      Fail("forward end", 0);
    }
    return Seconds(start);
  }

  double Backward() {
    auto start = Clock::now();
    uint32_t end = 0;
    Check(VARNFileSeekToEnd(handle, &end), "seek end");
    for (uint32_t i = static_cast<uint32_t>(w.items.size()); i-- > 0;) {
      Check(VARNFileSkipPrev(handle), "skip prev");
      uint32_t at = 0;
      Check(VARNFileGetPosition(handle, &at), "get pos");
      ReadAt(i, "backward read");
      Check(VARNFileSetPosition(handle, at), "set pos");
    }
    if (VARNFileSkipPrev(handle) != VARNFILE_E_NO_PREVIOUS) Fail("backward end", 0);
    return Seconds(start);
  }

  double Random(const std::vector<uint32_t>& positions, const std::vector<uint32_t>& order) {
    auto start = Clock::now();
    for (uint32_t index : order) {
      Check(VARNFileSetPosition(handle, positions[index]), "set pos");
      ReadAt(index, "random read");
    }
    return Seconds(start);
  }
};

uint32_t OpenForReading(FileKind kind, const std::string& path, uint32_t memoryHandle) {
  if (kind == MemoryFile) return memoryHandle;
  uint32_t handle = 0;
  Check(VARNFileOpenEx(&handle, VARNFILE_ACCESS_READ, path.c_str(), 0), "open");
  ApplyParameters(handle, kind);
  return handle;
}

long FileSize(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::fseek(f, 0, SEEK_END);
  long size = std::ftell(f);
  std::fclose(f);
  return size;
}

StoreFigures RunStore(const Workload& w, uint32_t method, FileKind kind, int reps,
                      const std::vector<uint32_t>& order) {
  StoreFigures f;
  std::string path = TempDir() + "/store_bench_" + std::to_string(getpid()) + ".vf";
  f.append = 1e30;
  f.forward = f.backward = f.random = 1e30;
  for (int r = 0; r < reps; ++r) {
    if (kind != MemoryFile) std::remove(path.c_str());
    uint32_t memoryHandle = 0;
    if (kind == MemoryFile) {
      // The memory file lives while its handle is open: time the appends,
      // then read through the same handle.
      auto start = Clock::now();
      Check(VARNFileCreateEx(&memoryHandle, VARNFILE_NAME_EXACT, "MEMORY$", nullptr, nullptr,
                             nullptr, 0),
            "create");
      Check(VARNFileSetCompression(memoryHandle, static_cast<uint16_t>(method)), "set method");
      for (const Item& item : w.items) {
        Check(VARNFileAddItem(memoryHandle, item.commandId, item.extraId, item.extraValue,
                              static_cast<uint16_t>(item.data.size()), item.data.data()),
              "add");
      }
      f.append = std::min(f.append, Seconds(start));
    } else {
      f.append = std::min(f.append, StoreAppend(w, method, kind, path));
    }
    uint32_t handle = OpenForReading(kind, path, memoryHandle);
    Reader reader{handle, w};
    std::vector<uint32_t> positions(w.items.size());
    f.forward = std::min(f.forward, reader.Forward(&positions));
    f.backward = std::min(f.backward, reader.Backward());
    f.random = std::min(f.random, reader.Random(positions, order));
    if (kind == MemoryFile) {
      uint32_t end = 0;
      Check(VARNFileSeekToEnd(handle, &end), "seek end");
      f.bytesPerByte = static_cast<double>(end) / static_cast<double>(w.dataBytes);
      Check(VARNFileAbort(handle), "abort");
    } else {
      Check(VARNFileClose(handle), "close");
      f.bytesPerByte = static_cast<double>(FileSize(path)) / static_cast<double>(w.dataBytes);
    }
  }
  std::remove(path.c_str());
  return f;
}

// ---------------------------------------------------------------------------
// SQLite

struct SqlFigures {
  double insert = 0, ascending = 0, descending = 0, random = 0;
  double bytesPerByte = 0;
  bool present = false;
};

#if VARNFILE_HAVE_SQLITE
void SqlCheck(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void SqlExec(sqlite3* db, const char* sql) {
  SqlCheck(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

double SqlRead(sqlite3* db, const Workload& w, const char* sql, const std::vector<uint32_t>* ids,
               bool descending) {
  sqlite3_stmt* stmt = nullptr;
  SqlCheck(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), db, "prepare read");
  auto start = Clock::now();
  auto check = [&](uint32_t index) {
    const void* blob = sqlite3_column_blob(stmt, 4);
    Verify(w.items[index], static_cast<uint16_t>(sqlite3_column_int(stmt, 1)),
           static_cast<uint16_t>(sqlite3_column_int(stmt, 2)),
           static_cast<uint32_t>(sqlite3_column_int64(stmt, 3)),
           static_cast<uint16_t>(sqlite3_column_bytes(stmt, 4)),
           static_cast<const uint8_t*>(blob != nullptr ? blob : ""), "sqlite read");
  };
  if (ids == nullptr) {
    uint32_t n = 0;
    uint32_t count = static_cast<uint32_t>(w.items.size());
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      uint32_t index = descending ? count - 1 - n : n;
      check(index);
      ++n;
    }
    if (n != count) Fail("sqlite row count", n);
  } else {
    for (uint32_t index : *ids) {
      sqlite3_bind_int64(stmt, 1, index + 1);
      if (sqlite3_step(stmt) != SQLITE_ROW) Fail("sqlite row", index);
      check(index);
      sqlite3_reset(stmt);
    }
  }
  double seconds = Seconds(start);
  sqlite3_finalize(stmt);
  return seconds;
}

SqlFigures RunSqlite(const Workload& w, bool disk, int reps, const std::vector<uint32_t>& order) {
  SqlFigures f;
  f.present = true;
  f.insert = f.ascending = f.descending = f.random = 1e30;
  std::string path = TempDir() + "/store_bench_" + std::to_string(getpid()) + ".sqlite";
  for (int r = 0; r < reps; ++r) {
    if (disk) {
      std::remove(path.c_str());
      std::remove((path + "-journal").c_str());
    }
    sqlite3* db = nullptr;
    auto start = Clock::now();
    if (sqlite3_open(disk ? path.c_str() : ":memory:", &db) != SQLITE_OK) Fail("sqlite open", 0);
    if (disk) SqlExec(db, "PRAGMA synchronous=FULL");
    SqlExec(db,
            "CREATE TABLE items(id INTEGER PRIMARY KEY, command INTEGER, extra INTEGER, "
            "value INTEGER, data BLOB)");
    sqlite3_stmt* insert = nullptr;
    SqlCheck(sqlite3_prepare_v2(db, "INSERT INTO items VALUES(?,?,?,?,?)", -1, &insert, nullptr),
             db, "prepare insert");
    SqlExec(db, "BEGIN");
    int64_t id = 1;
    for (const Item& item : w.items) {
      sqlite3_bind_int64(insert, 1, id++);
      sqlite3_bind_int(insert, 2, item.commandId);
      sqlite3_bind_int(insert, 3, item.extraId);
      sqlite3_bind_int64(insert, 4, item.extraValue);
      sqlite3_bind_blob(insert, 5, item.data.data(), static_cast<int>(item.data.size()),
                        SQLITE_STATIC);
      SqlCheck(sqlite3_step(insert), db, "insert");
      sqlite3_reset(insert);
    }
    SqlExec(db, "COMMIT");
    sqlite3_finalize(insert);
    if (disk) {
      SqlCheck(sqlite3_close(db), nullptr, "close");
      f.insert = std::min(f.insert, Seconds(start));
      if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Fail("sqlite reopen", 0);
      f.bytesPerByte = static_cast<double>(FileSize(path)) / static_cast<double>(w.dataBytes);
    } else {
      f.insert = std::min(f.insert, Seconds(start));
      sqlite3_stmt* pages = nullptr;
      sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &pages, nullptr);
      sqlite3_step(pages);
      double size = static_cast<double>(sqlite3_column_int64(pages, 0));
      sqlite3_finalize(pages);
      sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &pages, nullptr);
      sqlite3_step(pages);
      size *= static_cast<double>(sqlite3_column_int64(pages, 0));
      sqlite3_finalize(pages);
      f.bytesPerByte = size / static_cast<double>(w.dataBytes);
    }
    const char* columns = "SELECT id, command, extra, value, data FROM items ";
    f.ascending = std::min(
        f.ascending, SqlRead(db, w, (std::string(columns) + "ORDER BY id").c_str(), nullptr, false));
    f.descending = std::min(
        f.descending,
        SqlRead(db, w, (std::string(columns) + "ORDER BY id DESC").c_str(), nullptr, true));
    f.random = std::min(
        f.random, SqlRead(db, w, (std::string(columns) + "WHERE id = ?").c_str(), &order, false));
    sqlite3_close(db);
  }
  if (disk) std::remove(path.c_str());
  return f;
}
#else
SqlFigures RunSqlite(const Workload&, bool, int, const std::vector<uint32_t>&) { return {}; }
#endif

// ---------------------------------------------------------------------------
// The machine and the bare engines

// 1 KB writes with O_DSYNC, one after another, as the default write-through
// buffer issues them. Returns writes per second.
double SyncWriteRate(uint32_t writes) {
  std::string path = TempDir() + "/store_bench_" + std::to_string(getpid()) + ".sync";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DSYNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("open sync file", errno);
  char block[1024];
  std::memset(block, 'x', sizeof block);
  auto start = Clock::now();
  for (uint32_t i = 0; i < writes; ++i) {
    if (write(fd, block, sizeof block) != static_cast<ssize_t>(sizeof block)) Fail("write", errno);
  }
  double seconds = Seconds(start);
  close(fd);
  std::remove(path.c_str());
  return writes / seconds;
}

struct EngineFigures {
  double compress = 0, decompress = 0;  // seconds (best) over all items
};

// Our engines alone on the items in file order: chained (history carried)
// or reset per item, exactly as the block codec drives them.
EngineFigures RunEngines(const Workload& w, uint32_t method, int reps) {
  using namespace varnfile;
  EngineFigures f;
  f.compress = f.decompress = 1e30;
  bool chained = (method & 2) != 0;
  bool predictor = method == 1 || method == 3;
  std::vector<Bytes> stored(w.items.size());
  Bytes out(65536 + 65536 / 8 + 128);
  for (int r = 0; r < reps; ++r) {
    auto start = Clock::now();
    if (predictor) {
      PredictorState state{};
      if (PredictorInit(&state, 0) != 0) Fail("predictor init", 0);
      for (size_t i = 0; i < w.items.size(); ++i) {
        state.flags = chained ? 1 : 0;
        state.input = w.items[i].data.data();
        state.inputLength = static_cast<uint32_t>(w.items[i].data.size());
        state.output = out.data();
        PredictorEncode(&state);
        stored[i].assign(out.data(), out.data() + state.outputLength);
      }
      PredictorFree(&state);
    } else {
      auto* context = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
      if (context == nullptr || DeflateInit(context, 0, 0) != 0) Fail("deflate init", 0);
      for (size_t i = 0; i < w.items.size(); ++i) {
        uint32_t in = static_cast<uint32_t>(w.items[i].data.size());
        uint32_t room = static_cast<uint32_t>(out.size());
        if (DeflateCompress(w.items[i].data.data(), &in, out.data(), &room, context,
                            chained ? DeflateFlushChained : DeflateFlushReset) != 1) {
          Fail("deflate", static_cast<long>(i));
        }
        stored[i].assign(out.data(), out.data() + room);
      }
      DeflateEnd(context);
      MemFree(context);
    }
    f.compress = std::min(f.compress, Seconds(start));
    for (Bytes& s : stored) s.resize(s.size() + 4, 0);  // readable past the end
    start = Clock::now();
    if (predictor) {
      PredictorState state{};
      if (PredictorInit(&state, 0) != 0) Fail("predictor init", 0);
      for (size_t i = 0; i < w.items.size(); ++i) {
        state.flags = chained ? 1 : 0;
        state.input = stored[i].data();
        state.inputLength = static_cast<uint32_t>(stored[i].size() - 4);
        state.output = out.data();
        state.outputLength = static_cast<uint32_t>(w.items[i].data.size());
        PredictorDecode(&state);
        if (std::memcmp(out.data(), w.items[i].data.data(), w.items[i].data.size()) != 0) {
          Fail("predictor decode", static_cast<long>(i));
        }
      }
      PredictorFree(&state);
    } else {
      auto* context = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
      if (context == nullptr || InflateInit(context, 0) != 0) Fail("inflate init", 0);
      for (size_t i = 0; i < w.items.size(); ++i) {
        uint32_t in = static_cast<uint32_t>(stored[i].size() - 4);
        uint32_t room = static_cast<uint32_t>(w.items[i].data.size());
        Inflate(stored[i].data(), &in, out.data(), &room, context, chained ? 2 : 3);
        if (room != w.items[i].data.size() ||
            std::memcmp(out.data(), w.items[i].data.data(), room) != 0) {
          Fail("inflate", static_cast<long>(i));
        }
      }
      InflateEnd(context);
      MemFree(context);
    }
    f.decompress = std::min(f.decompress, Seconds(start));
  }
  return f;
}

// ---------------------------------------------------------------------------
// The table

void Row(const char* workload, const char* file, int method, const char* op, double ours,
         double oursMB, const char* peer, double theirs, bool lowerIsBetter = false) {
  char theirsText[32] = "-";
  char ratioText[32] = "-";
  if (theirs > 0) {
    std::snprintf(theirsText, sizeof theirsText, lowerIsBetter ? "%.3f" : "%.0f", theirs);
    std::snprintf(ratioText, sizeof ratioText, "%.2fx", ours / theirs);
  }
  char oursText[32];
  std::snprintf(oursText, sizeof oursText, lowerIsBetter ? "%.3f" : "%.0f", ours);
  char mbText[32] = "";
  if (oursMB > 0) std::snprintf(mbText, sizeof mbText, "%.1f", oursMB);
  std::printf("%-4s %-8s %-2d %-6s %12s %8s | %-16s %12s %8s\n", workload, file, method, op,
              oursText, mbText, peer, theirsText, ratioText);
}

void RunWorkload(const Workload& w, int reps) {
  uint32_t n = static_cast<uint32_t>(w.items.size());
  double mb = static_cast<double>(w.dataBytes) / 1e6;
  std::printf("\n== %s: %u items, %.2f MB of data, %.0f bytes per item ==\n", w.name, n, mb,
              static_cast<double>(w.dataBytes) / n);
  std::printf("%-4s %-8s %-2s %-6s %12s %8s | %-16s %12s %8s\n", "load", "file", "m", "op",
              "ours/s", "MB/s", "peer", "peer/s", "ratio");
  std::vector<uint32_t> order = Shuffled(n, 0x5EED1234u);
  if (order.size() > 2000) order.resize(2000);
  uint32_t randomReads = static_cast<uint32_t>(order.size());
  SqlFigures sqlMemory, sqlDisk;
  if (!NoSqlite) sqlMemory = RunSqlite(w, false, reps, order);
  if (!NoSqlite && !MemoryOnly) sqlDisk = RunSqlite(w, true, reps, order);
  const char* sqlMemName = sqlMemory.present ? "sqlite :memory:" : "(no sqlite)";
  const char* sqlDiskName = sqlDisk.present ? "sqlite FULL" : "(no sqlite)";
  auto rate = [n](double seconds) { return seconds > 0 && seconds < 1e29 ? n / seconds : 0.0; };
  auto randomRate = [randomReads](double seconds) {
    return seconds > 0 && seconds < 1e29 ? randomReads / seconds : 0.0;
  };
  for (uint32_t method = 0; method <= 4; ++method) {
    if (OnlyMethod >= 0 && method != static_cast<uint32_t>(OnlyMethod)) continue;
    EngineFigures engines{};
    if (method != 0) engines = RunEngines(w, method, reps);
    for (FileKind kind : {MemoryFile, DiskDefault, Disk64K}) {
      if (MemoryOnly && kind != MemoryFile) continue;
      StoreFigures f = RunStore(w, method, kind, reps, order);
      const SqlFigures& sql = kind == MemoryFile ? sqlMemory : sqlDisk;
      const char* peer = kind == MemoryFile ? sqlMemName : sqlDiskName;
      const char* file = FileKindNames[kind];
      int m = static_cast<int>(method);
      Row(w.name, file, m, "append", rate(f.append), mb / f.append, peer, rate(sql.insert));
      Row(w.name, file, m, "fwd", rate(f.forward), mb / f.forward, peer, rate(sql.ascending));
      Row(w.name, file, m, "bwd", rate(f.backward), mb / f.backward, peer, rate(sql.descending));
      Row(w.name, file, m, "rand", randomRate(f.random), 0, peer, randomRate(sql.random));
      Row(w.name, file, m, "bytes", f.bytesPerByte, 0, peer, sql.bytesPerByte, true);
      Row(w.name, file, m, "bwd/fw", f.backward / f.forward, 0, "(time ratio)", 0, true);
      if (kind == MemoryFile && method != 0) {
        Row(w.name, file, m, "append", rate(f.append), mb / f.append, "bare compressor",
            rate(engines.compress));
        Row(w.name, file, m, "fwd", rate(f.forward), mb / f.forward, "bare decompress",
            rate(engines.decompress));
      }
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  int reps = 0;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg.rfind("--reps=", 0) == 0) {
      reps = std::atoi(arg.c_str() + 7);
    } else if (arg.rfind("--method=", 0) == 0) {
      OnlyMethod = std::atoi(arg.c_str() + 9);
    } else if (arg == "--memory-only") {
      MemoryOnly = true;
    } else if (arg == "--no-sqlite") {
      NoSqlite = true;
    } else if (arg.rfind("--only=", 0) == 0) {
      only = arg.substr(7);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--reps=N] [--only=txn|log] [--method=M] "
                   "[--memory-only] [--no-sqlite]\n",
                   argv[0]);
      return 2;
    }
  }
  if (reps <= 0) reps = quick ? 1 : 3;
  uint32_t txnCount = quick ? 1000 : 10000;
  uint32_t logCount = quick ? 5000 : 20000;
  std::printf("store_bench: %s run, best of %d; disk files in %s\n", quick ? "quick" : "full",
              reps, TempDir().c_str());
  if (!MemoryOnly) {
    std::printf("1 KB O_DSYNC writes: %.0f per second\n", SyncWriteRate(quick ? 200 : 1000));
  }
  if (only.empty() || only == "txn") RunWorkload(TransactionRecords(txnCount, 0xC0FFEEu), reps);
  if (only.empty() || only == "log") RunWorkload(LogLines(logCount, 0xBADC0DEu), reps);
  return 0;
}
