// The server clock against real sibling libraries, seen in the stamps of new
// files. ctest runs each group with the loader's search path on one variant
// (see tests/sibling.cmake).
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/system_clock.h"
#include "os_util.h"
#include "reliability/reliability_util.h"

namespace {

// The sibling as the loader names it, and the copy this process has loaded
// (null when none is loaded). Windows finds it in the folder that
// VARNFILE_SIBLING_DIR names, added to the DLL search path.
#if defined(_WIN32)
const char SiblingName[] = "QZ3NET0.DLL";
void* LoadedSibling() { return reinterpret_cast<void*>(GetModuleHandleA(SiblingName)); }
void* SiblingSymbol(void* sibling, const char* name) {
  FARPROC address = GetProcAddress(static_cast<HMODULE>(sibling), name);
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address));
}
const char* SiblingSearchDir() {
  static const char* dir = [] {
    const char* d = std::getenv("VARNFILE_SIBLING_DIR");
    if (d != nullptr) SetDllDirectoryA(d);
    return d;
  }();
  return dir;
}
#else
const char SiblingName[] = "libqz3net0.so";
// RTLD_NOLOAD's reference is dropped at once; the library keeps its own.
void* LoadedSibling() {
  void* sibling = dlopen(SiblingName, RTLD_NOW | RTLD_NOLOAD);
  if (sibling != nullptr) dlclose(sibling);
  return sibling;
}
void* SiblingSymbol(void* sibling, const char* name) { return dlsym(sibling, name); }
const char* SiblingSearchDir() { return std::getenv("LD_LIBRARY_PATH"); }
#endif

// Stamps are month, day, year - 1900, hour, minute, second.
const std::string Local("\x09\x09\x65\x01\x2E\x28", 6);    // 2001-09-09 01:46:40 UTC
const std::string Default("\x02\x03\x65\x04\x05\x06", 6);  // the sibling's first answer

class SiblingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    varnfile_test::UseUtc();
    SiblingSearchDir();
    varnfile::PlatformSetClockOverride(1000000000, 0);
  }
  void TearDown() override { varnfile::PlatformClearClockOverride(); }
  // The stamp of a new file under the given date and time options.
  std::string Stamp(uint16_t mode, uint32_t param) {
    EXPECT_EQ(0, VARNFileSetDateTimeOptions(mode, param));
    uint32_t h = 0;
    EXPECT_EQ(0, VARNFileCreateEx(&h, 0, path_.c_str(), nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(0, VARNFileClose(h));
    return varnfile_test::Slurp(path_).substr(36, 6);
  }
  std::string path_ = varnfile_test::ScratchFile("server.trn");
};

using ControlledSibling = SiblingTest;

// The sibling's test hooks are reached through the copy the library loaded.
// Its answers are year - 1900, month, day, hour, minute, second.
TEST_F(ControlledSibling, ServerAnswersStampFilesAndAgeThem) {
  EXPECT_EQ(Default, Stamp(1, 0));
  void* sibling = LoadedSibling();
  ASSERT_NE(nullptr, sibling);
  auto hook = [&](const char* name) { return SiblingSymbol(sibling, name); };
  auto setAnswer = reinterpret_cast<void (*)(uint16_t, const uint8_t*)>(hook("QzTestSetAnswer"));
  auto lastParam = reinterpret_cast<uint32_t (*)()>(hook("QzTestLastParam"));
  ASSERT_TRUE(setAnswer && lastParam);
  const uint8_t created[6] = {110, 1, 15, 8, 0, 0}, later[6] = {110, 2, 14, 8, 0, 0},
                earlier[6] = {110, 2, 14, 7, 59, 59};
  setAnswer(3, created);  // a failed answer: the local clock for that reading
  EXPECT_EQ(Local, Stamp(1, 5));
  EXPECT_EQ(Local, Stamp(2, 9));  // the local mode never asks the server
  EXPECT_EQ(5u, lastParam());
  setAnswer(0, created);
  EXPECT_EQ(std::string("\x01\x0F\x6E\x08\0\0", 6), Stamp(1, 77));
  EXPECT_EQ(77u, lastParam());
  uint32_t h = 0;
  setAnswer(0, later);  // the local clock says 2001, the server 30 days later
  EXPECT_EQ(VARNFILE_E_AGED, VARNFileOpenEx(&h, 0, path_.c_str(), 0));
  setAnswer(0, earlier);
  ASSERT_EQ(0, VARNFileOpenEx(&h, 0, path_.c_str(), 0));
  EXPECT_EQ(0, VARNFileClose(h));
}

using DayZeroSibling = SiblingTest;

TEST_F(DayZeroSibling, ZeroDayFallsBackToTheLocalClock) {
  EXPECT_EQ(Local, Stamp(1, 3));
  EXPECT_NE(nullptr, LoadedSibling()) << "it was not loaded";
}

using LateSibling = SiblingTest;

// A library that appears while the program runs: the load is retried at
// every reading.
TEST_F(LateSibling, LoadIsRetriedAtEveryReading) {
  const char* source = std::getenv("VARNFILE_SIBLING_SOURCE");
  const char* searchPath = SiblingSearchDir();
  ASSERT_TRUE(source != nullptr && searchPath != nullptr);
  std::filesystem::path target = std::filesystem::path(searchPath) / SiblingName;
  std::filesystem::remove(target);
  EXPECT_EQ(Local, Stamp(1, 0));
  EXPECT_EQ(Local, Stamp(1, 0));
  std::filesystem::copy_file(source, target);
  EXPECT_EQ(Default, Stamp(1, 0));
  // Windows keeps a loaded DLL's file: the next run removes it first.
  std::error_code ignored;
  std::filesystem::remove(target, ignored);
}

}  // namespace
