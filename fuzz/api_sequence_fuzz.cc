// The item and cursor exports in a sequence chosen by the input, run
// against the library and against the model of tests/api/item_model.h:
// every result code, cursor position, item read and closed file's bytes
// must agree. Byte 0 picks the compression method (mod 5), byte 1 the
// cache limits and buffer sizes; then every choice of an operation and
// its arguments takes the next two bytes (0 once the input is used up).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "../tests/api/item_model.h"

namespace {

constexpr int MaxOperations = 200;

class FuzzModel : public varnfile_test::ItemModel {
 public:
  FuzzModel(const uint8_t* data, size_t size, const std::string& prefix)
      : ItemModel(data[0] % 5, prefix, 16, 65536), data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint32_t Next() override {
    uint32_t low = Byte();
    return low | static_cast<uint32_t>(Byte()) << 8;
  }
  void Fail(const std::string& what) override {
    std::fprintf(stderr, "operation %d: %s\n", step_, what.c_str());
    std::abort();
  }

 private:
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  const uint8_t* data_;
  size_t size_, at_ = 2;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
  std::string prefix = std::string(base != nullptr ? base : "/tmp") + "/varnfile_api_sequence_" +
                       std::to_string(getpid()) + "_";
  FuzzModel model(data, size, prefix);
  model.set_max_data(8192);  // bounded work per input
  model.Start();
  model.RandomLimits(data[1] | data[1] << 6);
  for (int i = 0; i < MaxOperations && !model.Empty(); ++i) model.Step();
  model.Finish();
  return 0;
}
