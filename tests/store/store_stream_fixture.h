// A bare Store over a memory stream or a fresh disk file, for the tests of
// the buffered byte layer and the record layer (no file header handling:
// the first 174 bytes are written as zeros so that the records start where
// they do in a real file).
#ifndef VARNFILE_TESTS_STORE_STORE_STREAM_FIXTURE_H_
#define VARNFILE_TESTS_STORE_STORE_STREAM_FIXTURE_H_

#include <unistd.h>

#include <cstdint>
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

inline const char* BackendName(Backend b) { return b == Backend::Memory ? "memory" : "disk"; }

inline std::string ScratchPath(const std::string& tag) {
  const char* dir = std::getenv("VARNFILE_TEST_TMP");
  std::string base = dir != nullptr ? dir : "/tmp";
  std::string mk = "mkdir -p '" + base + "'";
  if (std::system(mk.c_str()) != 0) return base + "/store_" + tag;
  static int serial = 0;
  return base + "/store_" + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
}

// Owns one Store with an open stream; closes (and for disk removes) it at
// the end. The store starts with the default buffer sizes.
class StoreUnderTest {
 public:
  explicit StoreUnderTest(Backend backend, const std::string& tag = "t") {
    std::memset(&state_, 0, sizeof(state_));
    std::memset(&store_, 0, sizeof(store_));
    store_.state = &state_;
    store_.streamHandle = -1;
    store_.readBufferSize = DefaultBufferSize;
    store_.writeBufferSize = DefaultBufferSize;
    std::string name = "MEMORY$";
    if (backend == Backend::Memory) {
      store_.isMemory = 1;
    } else {
      name = ScratchPath(tag);
    }
    std::snprintf(store_.fileName, sizeof(store_.fileName), "%s", name.c_str());
    openResult_ = StreamOpen(&store_, store_.fileName, StreamCreate);
  }
  ~StoreUnderTest() {
    if (store_.streamHandle != -1) {
      ReleaseBuffers(&store_);
      StreamClose(&store_, store_.isMemory ? 0 : 1);
    }
  }
  StoreUnderTest(const StoreUnderTest&) = delete;
  StoreUnderTest& operator=(const StoreUnderTest&) = delete;

  ResultCode openResult() const { return openResult_; }
  Store* store() { return &store_; }

  // Writes the 174 bytes before the first record straight to the stream and
  // sets the cursors and the end of data as an open of a new file does.
  ResultCode PrepareEmptyFile() {
    uint8_t zeros[FirstItemPosition] = {};
    ResultCode rc = StreamSeek(&store_, 0, 0, nullptr);
    if (rc != 0) return rc;
    rc = StreamWriteBytes(&store_, zeros, FirstItemPosition);
    if (rc != 0) return rc;
    store_.streamPos = FirstItemPosition;
    store_.endAtOpen = store_.endOfData = FirstItemPosition;
    store_.readCursor = store_.writeCursor = FirstItemPosition;
    return 0;
  }

  // The bytes on the stream, bypassing the buffers (flush first to see all).
  std::vector<uint8_t> StreamBytes() {
    uint32_t end = 0;
    std::vector<uint8_t> out;
    if (StreamSeek(&store_, 0, 2, &end) != 0) return out;
    out.resize(end);
    uint32_t got = 0;
    StreamSeek(&store_, 0, 0, nullptr);
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
