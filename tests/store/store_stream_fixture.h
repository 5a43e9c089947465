// A bare Store over a memory stream or a fresh disk file, for the tests of
// the buffered byte layer and the record layer (no file header handling).
#ifndef VARNFILE_TESTS_STORE_STORE_STREAM_FIXTURE_H_
#define VARNFILE_TESTS_STORE_STORE_STREAM_FIXTURE_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/library_state.h"
#include "io/stream.h"
#include "store/buffered_io.h"
#include "store/store.h"

namespace varnfile {
namespace testing_support {

enum class Backend { Memory, Disk };

// Owns one Store with an open stream at the default buffer sizes; closes
// (and for disk removes) it at the end.
class StoreUnderTest {
 public:
  explicit StoreUnderTest(Backend backend) {
    std::memset(&state_, 0, sizeof(state_));
    std::memset(&store_, 0, sizeof(store_));
    store_.state = &state_;
    store_.streamHandle = -1;
    store_.readBufferSize = store_.writeBufferSize = DefaultBufferSize;
    store_.isMemory = backend == Backend::Memory;
    std::string name = "MEMORY$";
    if (backend == Backend::Disk) {
      const char* dir = std::getenv("VARNFILE_TEST_TMP");
      std::string base = dir != nullptr ? dir : "/tmp";
      if (std::system(("mkdir -p '" + base + "'").c_str()) != 0) base = "/tmp";
      static int serial = 0;
      name = base + "/store_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    }
    std::snprintf(store_.fileName, sizeof(store_.fileName), "%s", name.c_str());
    openResult_ = StreamOpen(&store_, store_.fileName, StreamCreate);
  }
  ~StoreUnderTest() {
    if (store_.streamHandle == -1) return;
    ReleaseBuffers(&store_);
    StreamClose(&store_, store_.isMemory ? 0 : 1);
  }

  ResultCode openResult() const { return openResult_; }
  Store* store() { return &store_; }

  // Zeros up to the first record and the cursors of a freshly opened file.
  ResultCode PrepareEmptyFile() {
    uint8_t zeros[FirstItemPosition] = {};
    ResultCode rc = StreamSeek(&store_, 0, 0, nullptr);
    if (rc == 0) rc = StreamWriteBytes(&store_, zeros, FirstItemPosition);
    store_.streamPos = store_.endAtOpen = store_.endOfData = FirstItemPosition;
    store_.readCursor = store_.writeCursor = FirstItemPosition;
    return rc;
  }

  // The bytes on the stream, bypassing the buffers (flush first to see all).
  std::vector<uint8_t> StreamBytes() {
    uint32_t end = 0, got = 0;
    std::vector<uint8_t> out;
    if (StreamSeek(&store_, 0, 2, &end) != 0 || StreamSeek(&store_, 0, 0, nullptr) != 0) return out;
    out.resize(end);
    if (end != 0) StreamReadBytes(&store_, out.data(), end, &got);
    out.resize(got);
    store_.streamPos = 0xFFFFFFFFu;  // the stream moved behind the store's back
    return out;
  }

 private:
  LibraryState state_;
  Store store_;
  ResultCode openResult_;
};

}  // namespace testing_support
}  // namespace varnfile

#endif  // VARNFILE_TESTS_STORE_STORE_STREAM_FIXTURE_H_
