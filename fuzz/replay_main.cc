// Runs a fuzz target over every file of its seed corpus, so that the normal
// test run replays what the fuzzers found without needing libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> inputs = {argv[i]};
    if (std::filesystem::is_directory(argv[i]))
      inputs.assign(std::filesystem::directory_iterator(argv[i]), {});
    for (const auto& path : inputs) {
      std::ifstream in(path, std::ios::binary);
      std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
      if (!in || path.filename().string()[0] == '.') continue;
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++files;
    }
  }
  std::printf("replayed %d inputs\n", files);
  return 0;
}
