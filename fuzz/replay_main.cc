// Runs a fuzz target over every file of its seed corpus, so that the normal
// test run replays what the fuzzers found without needing libFuzzer.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool RunFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(f);
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

int main(int argc, char** argv) {
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    DIR* dir = opendir(argv[i]);
    if (dir == nullptr) {
      if (RunFile(argv[i])) ++files;
      continue;
    }
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      if (RunFile(std::string(argv[i]) + "/" + entry->d_name)) ++files;
    }
    closedir(dir);
  }
  std::printf("replayed %d inputs\n", files);
  return 0;
}
