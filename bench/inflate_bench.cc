// Decoding speed of our Inflate against zlib's inflate on the same raw
// DEFLATE streams (zlib level 6, 8 KB window), in MB/s of output:
//  - whole buffers: about 1 MB of text and of binary records, one stream;
//  - items: streams of 70 to 2,000 bytes of data each, decoded one after
//    another: in mode 3 (our context reset per item, as unchained items
//    are read) and in mode 2 (the context carried from item to item, as
//    chained items are read, so consecutive fixed blocks share their
//    tables). zlib is reset per stream in both.
// Every run checks its output once before timing.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_data.h"
#include "codec/inflate.h"
#include "base/memory.h"

namespace {

using varnfile::InflateContext;
using Bytes = std::vector<uint8_t>;

Bytes Compress(const Bytes& data) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (deflateInit2(&z, 6, Z_DEFLATED, -13, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  Bytes out(deflateBound(&z, data.size()) + 16);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Workload {
  std::vector<Bytes> items;    // the data
  std::vector<Bytes> streams;  // each with 3 readable bytes behind it
  size_t totalBytes = 0;
};

Workload MakeWhole(bool text) {
  Workload w;
  w.items.push_back(bench_data::Whole(text));
  w.streams.push_back(Compress(w.items[0]));
  w.streams[0].insert(w.streams[0].end(), 3, 0);
  w.totalBytes = w.items[0].size();
  return w;
}

Workload MakeItems(bool text) {
  Workload w;
  w.items = bench_data::Items(text);
  for (const Bytes& item : w.items) {
    Bytes stream = Compress(item);
    stream.insert(stream.end(), 3, 0);
    w.totalBytes += item.size();
    w.streams.push_back(std::move(stream));
  }
  return w;
}

const Workload& Get(int which) {
  static const Workload workloads[4] = {MakeWhole(true), MakeWhole(false), MakeItems(true),
                                        MakeItems(false)};
  return workloads[which];
}

const char* const kNames[4] = {"whole/text", "whole/binary", "items/text", "items/binary"};

void BM_Inflate(benchmark::State& state) {
  const Workload& w = Get(static_cast<int>(state.range(0)));
  const uint32_t mode = static_cast<uint32_t>(state.range(1));
  auto* context = static_cast<InflateContext*>(varnfile::MemAlloc(varnfile::InflateContextSize()));
  if (context == nullptr || varnfile::InflateInit(context, 0) != 0) std::abort();
  Bytes out(1 << 20);
  bool checked = false;
  for (auto _ : state) {
    for (size_t i = 0; i < w.streams.size(); ++i) {
      uint32_t inputLength = static_cast<uint32_t>(w.streams[i].size() - 3);
      uint32_t outputLength = static_cast<uint32_t>(w.items[i].size());
      // The whole stream in one call.
      uint32_t done = varnfile::Inflate(w.streams[i].data(), &inputLength, out.data(),
                                        &outputLength, context, mode);
      if (!checked && (done != 1 || outputLength != w.items[i].size() ||
                       std::memcmp(out.data(), w.items[i].data(), outputLength) != 0)) {
        state.SkipWithError("wrong output");
        break;
      }
      benchmark::DoNotOptimize(out.data());
    }
    checked = true;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.totalBytes));
  state.SetLabel(std::string(kNames[state.range(0)]) + (mode == 2 ? " mode 2" : " mode 3"));
  varnfile::InflateEnd(context);
  varnfile::MemFree(context);
}

void BM_Zlib(benchmark::State& state) {
  const Workload& w = Get(static_cast<int>(state.range(0)));
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -13) != Z_OK) std::abort();
  Bytes out(1 << 20);
  bool checked = false;
  for (auto _ : state) {
    for (size_t i = 0; i < w.streams.size(); ++i) {
      inflateReset(&z);
      z.next_in = const_cast<Bytef*>(w.streams[i].data());
      z.avail_in = static_cast<uInt>(w.streams[i].size() - 3);
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(w.items[i].size());
      int rc = inflate(&z, Z_FINISH);
      if (!checked && (rc != Z_STREAM_END ||
                       std::memcmp(out.data(), w.items[i].data(), w.items[i].size()) != 0)) {
        state.SkipWithError("wrong output");
        break;
      }
      benchmark::DoNotOptimize(out.data());
    }
    checked = true;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.totalBytes));
  state.SetLabel(kNames[state.range(0)]);
  inflateEnd(&z);
}

BENCHMARK(BM_Inflate)
    ->Args({0, 3})
    ->Args({1, 3})
    ->Args({2, 3})
    ->Args({3, 3})
    ->Args({2, 2})
    ->Args({3, 2})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Zlib)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
