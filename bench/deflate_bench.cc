// Compression speed and size of the library's DEFLATE against zlib levels 1
// and 6 (raw streams, 8 KB window, as our items are), measured in one run:
//  - whole: the whole data set as one stream;
//  - independent: every item its own stream (flush mode 3; zlib deflateReset);
//  - chained: every item its own complete stream that may refer back into
//    the items before it (flush mode 2), against zlib with Z_SYNC_FLUSH
//    after each item of one stream, and against zlib with deflateReset plus
//    deflateSetDictionary (the last 8 KB) per item.
// Data sets are generated from fixed seeds. Every stream of ours is checked
// with zlib's inflate once, outside the timing. After the runs a table gives
// the size and speed of each case relative to zlib.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_data.h"
#include "codec/deflate.h"
#include "base/memory.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace varnfile;

struct DataSet {
  std::string name;
  std::vector<Bytes> items;
  Bytes whole;          // the items end to end (the history of chained items)
  Bytes separateWhole;  // if not empty, the buffer of the "whole" case
  const Bytes& WholeCase() const { return separateWhole.empty() ? whole : separateWhole; }
};

size_t ItemSize(std::mt19937& rng) {
  // Mostly small items with a tail of large ones.
  uint32_t r = rng() % 100;
  if (r < 60) return 60 + rng() % 400;
  if (r < 90) return 400 + rng() % 2000;
  return 2000 + rng() % 10000;
}

Bytes Transactions(std::mt19937& rng, size_t n) {
  static const char* currencies[] = {"EUR", "USD", "CHF", "GBP"};
  static const char* kinds[] = {"SALE", "REFUND", "VOID", "TRANSFER", "FEE"};
  static const char* names[] = {"Mueller GmbH", "Smith & Sons", "ACME Corp", "Varn Retail",
                                "Northwind", "Contoso Ltd", "Initech", "Globex"};
  std::string s;
  while (s.size() < n) {
    char line[256];
    std::snprintf(line, sizeof(line),
                  "TX=%08u;DATE=2026-%02u-%02u;TIME=%02u:%02u:%02u;KIND=%s;AMOUNT=%u.%02u;"
                  "CUR=%s;PARTY=%s;TERM=T%03u;STATUS=OK\n",
                  static_cast<unsigned>(rng() % 100000000), static_cast<unsigned>(1 + rng() % 12),
                  static_cast<unsigned>(1 + rng() % 28),
                  static_cast<unsigned>(rng() % 24), static_cast<unsigned>(rng() % 60),
                  static_cast<unsigned>(rng() % 60), kinds[rng() % 5],
                  static_cast<unsigned>(rng() % 5000), static_cast<unsigned>(rng() % 100),
                  currencies[rng() % 4], names[rng() % 8], static_cast<unsigned>(rng() % 40));
    s += line;
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

Bytes Source(std::mt19937& rng, size_t n) {
  static const char* lines[] = {
      "  if (context == nullptr) return ResultInvalidArgument;\n",
      "  for (uint32_t i = 0; i < count; ++i) {\n",
      "    total += entries[i].length;\n",
      "  }\n",
      "  ResultCode rc = StoreRead(store, position, &header);\n",
      "  if (rc != ResultOk) return rc;\n",
      "static uint32_t Checksum(const uint8_t* data, size_t length) {\n",
      "  // Walk the chain until the budget runs out.\n",
      "  memcpy(buffer + offset, source, length);\n",
      "}\n\n",
      "  uint32_t value = DecodeFixed32(bytes + 4);\n",
      "  std::vector<std::string> names;\n"};
  std::string s;
  while (s.size() < n) {
    s += lines[rng() % 12];
    if (rng() % 5 == 0) s += "  int local" + std::to_string(rng() % 1000) + " = 0;\n";
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

Bytes Binary(std::mt19937& rng, size_t n) {
  Bytes out;
  uint32_t stamp = 1700000000, counter = 0;
  while (out.size() < n) {
    stamp += rng() % 5;
    ++counter;
    uint32_t amount = rng() % 100000;
    uint8_t record[24] = {static_cast<uint8_t>(stamp), static_cast<uint8_t>(stamp >> 8),
                          static_cast<uint8_t>(stamp >> 16), static_cast<uint8_t>(stamp >> 24),
                          static_cast<uint8_t>(counter), static_cast<uint8_t>(counter >> 8), 0, 0,
                          static_cast<uint8_t>(amount), static_cast<uint8_t>(amount >> 8),
                          static_cast<uint8_t>(amount >> 16), 0,
                          static_cast<uint8_t>(rng() % 8), 0x01, 0x00, 0xFF,
                          static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                          0, 0, 0, 0, 0x7F, static_cast<uint8_t>(rng() % 3)};
    out.insert(out.end(), record, record + sizeof(record));
  }
  out.resize(n);
  return out;
}

Bytes Noise(std::mt19937& rng, size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// The data of the decompressor's benchmark (same generators and seeds): the
// 1 MB whole and the items, each compressed on its own.
DataSet MakeInflateBenchSet(bool text) {
  DataSet set;
  set.name = text ? "ib-text" : "ib-binary";
  set.items = bench_data::Items(text);
  set.separateWhole = bench_data::Whole(text);
  for (const Bytes& item : set.items) set.whole.insert(set.whole.end(), item.begin(), item.end());
  return set;
}

DataSet MakeDataSet(const std::string& name, Bytes (*make)(std::mt19937&, size_t),
                    size_t total, uint32_t seed) {
  std::mt19937 rng(seed);
  DataSet set;
  set.name = name;
  size_t sum = 0;
  while (sum < total) {
    Bytes item = make(rng, ItemSize(rng));
    sum += item.size();
    set.whole.insert(set.whole.end(), item.begin(), item.end());
    set.items.push_back(std::move(item));
  }
  return set;
}

const std::vector<DataSet>& DataSets() {
  static const std::vector<DataSet> sets = {
      MakeDataSet("transactions", Transactions, 1 << 20, 1),
      MakeDataSet("source", Source, 1 << 20, 2),
      MakeDataSet("binary", Binary, 1 << 20, 3),
      MakeDataSet("noise", Noise, 1 << 19, 4),
      MakeInflateBenchSet(true),
      MakeInflateBenchSet(false),
  };
  return sets;
}

// ---------------------------------------------------------------------------
// Engines. Each compresses the whole data set under one scenario and returns
// the total compressed size.

enum Scenario { Whole, Independent, Chained, ChainedSync, ChainedDictionary };
const char* ScenarioName(Scenario s) {
  switch (s) {
    case Whole: return "whole";
    case Independent: return "independent";
    case Chained: return "chained";
    case ChainedSync: return "chained/sync";
    case ChainedDictionary: return "chained/dict";
  }
  return "?";
}

struct Ours {
  DeflateContext* context;
  Bytes out;
  Ours() {
    context = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
    if (context == nullptr || DeflateInit(context, 0, 0) != 0) std::abort();
    out.resize(4 << 20);
  }
  ~Ours() {
    DeflateEnd(context);
    MemFree(context);
  }
  size_t One(const Bytes& data, uint32_t mode) {
    uint32_t in = static_cast<uint32_t>(data.size());
    uint32_t room = static_cast<uint32_t>(out.size());
    if (DeflateCompress(data.data(), &in, out.data(), &room, context, mode) != 1) std::abort();
    return room;
  }
  size_t Run(const DataSet& set, Scenario s) {
    if (s == Whole) return One(set.WholeCase(), DeflateFlushReset);
    size_t total = 0;
    for (const Bytes& item : set.items) {
      total += One(item, s == Independent ? DeflateFlushReset : DeflateFlushChained);
    }
    if (s != Independent) DeflateInit(context, 0, 1);
    return total;
  }
};

struct Zlib {
  z_stream z;
  Bytes out;
  explicit Zlib(int level) {
    std::memset(&z, 0, sizeof(z));
    if (deflateInit2(&z, level, Z_DEFLATED, -13, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    out.resize(4 << 20);
  }
  ~Zlib() { deflateEnd(&z); }
  size_t Push(const Bytes& data, int flush) {
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, flush);
    if (rc != Z_OK && rc != Z_STREAM_END) std::abort();
    return out.size() - z.avail_out;
  }
  size_t Run(const DataSet& set, Scenario s) {
    deflateReset(&z);
    if (s == Whole) return Push(set.WholeCase(), Z_FINISH);
    size_t total = 0;
    size_t history = 0;
    for (const Bytes& item : set.items) {
      if (s == Independent) {
        deflateReset(&z);
        total += Push(item, Z_FINISH);
      } else if (s == ChainedSync) {
        total += Push(item, Z_SYNC_FLUSH);
      } else {
        deflateReset(&z);
        size_t keep = history > 8192 ? 8192 : history;
        if (keep > 0) deflateSetDictionary(&z, set.whole.data() + history - keep,
                                           static_cast<uInt>(keep));
        total += Push(item, Z_FINISH);
        history += item.size();
      }
    }
    return total;
  }
};

void VerifyOurs(const DataSet& set) {
  Ours ours;
  size_t history = 0;
  Bytes decoded(70000 + set.whole.size());
  for (int pass = 0; pass < 3; ++pass) {
    history = 0;
    const std::vector<Bytes> single = {set.WholeCase()};
    const std::vector<Bytes>& items = pass == 0 ? single : set.items;
    for (const Bytes& item : items) {
      uint32_t mode = pass == 2 ? DeflateFlushChained : DeflateFlushReset;
      size_t n = ours.One(item, mode);
      z_stream z;
      std::memset(&z, 0, sizeof(z));
      inflateInit2(&z, -13);
      size_t keep = pass == 2 ? (history > 8192 ? 8192 : history) : 0;
      if (keep > 0) inflateSetDictionary(&z, set.whole.data() + history - keep,
                                         static_cast<uInt>(keep));
      z.next_in = ours.out.data();
      z.avail_in = static_cast<uInt>(n);
      z.next_out = decoded.data();
      z.avail_out = static_cast<uInt>(decoded.size());
      if (inflate(&z, Z_FINISH) != Z_STREAM_END || z.total_out != item.size() ||
          std::memcmp(decoded.data(), item.data(), item.size()) != 0) {
        std::fprintf(stderr, "round trip failed: %s\n", set.name.c_str());
        std::abort();
      }
      inflateEnd(&z);
      history += item.size();
    }
  }
}

struct Result {
  size_t input = 0;
  size_t output = 0;
  double seconds = 0;
  uint64_t runs = 0;
};
std::map<std::string, Result>& Results() {
  static std::map<std::string, Result> results;
  return results;
}

std::string Key(const std::string& set, Scenario s, const std::string& engine) {
  return set + "|" + ScenarioName(s) + "|" + engine;
}

template <typename Engine>
void Measure(benchmark::State& state, const DataSet& set, Scenario s, Engine& engine,
             const std::string& name) {
  size_t size = 0;
  // Processor time: the machine is shared, so wall time would measure the
  // neighbours too.
  std::clock_t start = std::clock();
  uint64_t runs = 0;
  for (auto _ : state) {
    size = engine.Run(set, s);
    benchmark::DoNotOptimize(size);
    ++runs;
  }
  double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  const size_t input = s == Whole ? set.WholeCase().size() : set.whole.size();
  state.SetBytesProcessed(static_cast<int64_t>(runs * input));
  state.counters["size"] = static_cast<double>(size);
  state.counters["ratio%"] = 100.0 * static_cast<double>(size) / input;
  Result& r = Results()[Key(set.name, s, name)];
  r.input = input;
  r.output = size;
  r.seconds = seconds;
  r.runs = runs;
}

void RegisterAll() {
  for (size_t i = 0; i < DataSets().size(); ++i) {
    const DataSet* set = &DataSets()[i];
    VerifyOurs(*set);
    for (Scenario s : {Whole, Independent, Chained, ChainedSync, ChainedDictionary}) {
      std::string prefix = set->name + "/" + ScenarioName(s) + "/";
      if (s != ChainedSync && s != ChainedDictionary) {
        benchmark::RegisterBenchmark((prefix + "varnfile").c_str(),
                                     [set, s](benchmark::State& state) {
                                       Ours ours;
                                       Measure(state, *set, s, ours, "varnfile");
                                     })
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
      }
      if (s == Chained) continue;  // zlib's chained variants are the next two
      for (int level : {1, 6}) {
        benchmark::RegisterBenchmark((prefix + "zlib" + std::to_string(level)).c_str(),
                                     [set, s, level](benchmark::State& state) {
                                       Zlib zlib(level);
                                       Measure(state, *set, s, zlib,
                                               "zlib" + std::to_string(level));
                                     })
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
      }
    }
  }
}

void PrintTable() {
  std::printf("\n%-13s %-12s %10s %8s %9s | %-13s %8s %8s | %8s %8s\n", "data", "case",
              "ours B", "ours MB/s", "", "against", "size", "speed", "zlib B", "zlib MB/s");
  for (const DataSet& set : DataSets()) {
    for (Scenario s : {Whole, Independent, Chained}) {
      auto it = Results().find(Key(set.name, s, "varnfile"));
      if (it == Results().end()) continue;
      const Result& ours = it->second;
      double ourSpeed = ours.input * ours.runs / ours.seconds / 1e6;
      std::vector<std::pair<Scenario, std::string>> against;
      if (s == Chained) {
        against = {{ChainedSync, "zlib1"}, {ChainedSync, "zlib6"},
                   {ChainedDictionary, "zlib1"}, {ChainedDictionary, "zlib6"}};
      } else {
        against = {{s, "zlib1"}, {s, "zlib6"}};
      }
      for (const auto& [zs, engine] : against) {
        auto z = Results().find(Key(set.name, zs, engine));
        if (z == Results().end()) continue;
        double zSpeed = z->second.input * z->second.runs / z->second.seconds / 1e6;
        std::string label = engine + (s == Chained ? (zs == ChainedSync ? " sync" : " dict") : "");
        std::printf("%-13s %-12s %10zu %8.1f %9s | %-13s %7.3fx %7.2fx | %8zu %8.1f\n",
                    set.name.c_str(), ScenarioName(s), ours.output, ourSpeed, "",
                    label.c_str(), static_cast<double>(ours.output) / z->second.output,
                    ourSpeed / zSpeed, z->second.output, zSpeed);
      }
    }
  }
  std::printf("size = our bytes / zlib bytes (below 1 is smaller); speed = our MB/s / zlib MB/s\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  PrintTable();
  benchmark::Shutdown();
  return 0;
}
