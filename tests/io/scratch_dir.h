// A fresh scratch directory per test under VARNFILE_TEST_TMP, removed again
// when the test ends, and the whole-file helpers the tests share.
#ifndef VARNFILE_TESTS_IO_SCRATCH_DIR_H_
#define VARNFILE_TESTS_IO_SCRATCH_DIR_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "os_util.h"

namespace varnfile {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
#if defined(_WIN32)
  std::string held;
  if (!in && varnfile_test::ReadHeldFile(path, &held)) return held;
#endif
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
inline bool Exists(const std::string& path) { return varnfile_test::PathExists(path); }

class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("VARNFILE_TEST_TMP");
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::path(base != nullptr ? base : "/tmp") /
            (std::string(info->test_suite_name()) + "." + info->name() + "." +
             std::to_string(varnfile_test::ProcessId()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // Names of the entries directly inside, sorted.
  std::vector<std::string> List() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace varnfile

#endif  // VARNFILE_TESTS_IO_SCRATCH_DIR_H_
