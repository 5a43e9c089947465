// Files near the size limits, under every method. Positions are unsigned
// 32-bit: a file opens, reads both ways, appends and closes the same below
// 2 GiB, across it and up to 4 GiB - 1, and an append that would end beyond
// that is refused (278) with the file exactly as it was and the chain
// before it intact. The files are sparse: deleted filler records whose data
// are holes carry the chain out to the positions under test, with real
// items written by the library at both ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#if defined(_WIN32)
#include <windows.h>
#include <winioctl.h>
#include <io.h>
#define O_CLOEXEC _O_BINARY
inline long pread(int fd, void* buffer, size_t count, long long at) {
  return _lseeki64(fd, at, SEEK_SET) < 0 ? -1 : _read(fd, buffer, static_cast<unsigned>(count));
}
inline long pwrite(int fd, const void* buffer, size_t count, long long at) {
  return _lseeki64(fd, at, SEEK_SET) < 0 ? -1 : _write(fd, buffer, static_cast<unsigned>(count));
}
// Windows keeps a file sparse only once FSCTL_SET_SPARSE marks it; else
// extending it writes zeros all the way.
inline bool Extend(int fd, uint64_t size) {
  DWORD unused = 0;
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr) &&
         _chsize_s(fd, static_cast<long long>(size)) == 0;
}
#else
inline bool Extend(int fd, uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "reliability/reliability_util.h"

namespace varnfile_test {
namespace {

constexpr uint64_t TwoGiB = uint64_t{1} << 31;
constexpr uint64_t LastPosition = (uint64_t{1} << 32) - 1;  // the furthest end of data

bool Chained(uint16_t method) { return method == 2 || method == 3; }

void PutU16(uint8_t* p, uint64_t v) { p[0] = v & 0xFF, p[1] = (v >> 8) & 0xFF; }
void PutU32(uint8_t* p, uint64_t v) { PutU16(p, v), PutU16(p + 2, v >> 16); }

// Extends the file up to exactly `target` with deleted records of at most
// 65,557 bytes whose data are holes (crc 0: never checked). Under a chained
// method each ends a chain, so no decoder carries state across them. False
// when the file system cannot hold the sparse file.
uint64_t SizeOf(const std::string& path) {
  std::error_code error;
  uint64_t size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

bool Fill(const std::string& path, uint16_t method, uint64_t target) {
  uint64_t start = SizeOf(path);
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  bool ok = fd >= 0 && Extend(fd, target);
  for (uint64_t p = ok ? start : target; p < target;) {
    uint64_t size = std::min<uint64_t>(65535 + 22, target - p);
    if (target - p - size != 0 && target - p - size < 22) size -= 22;
    uint8_t header[14] = {0x04, 0xFF}, trailer[8] = {};
    PutU16(header + 8, size - 22), PutU16(header + 10, size - 22);
    PutU32(trailer, p), PutU32(trailer + 4, Chained(method) ? 1 : 0);
    ok = ok && ::pwrite(fd, header, 14, static_cast<int64_t>(p)) == 14 &&
         ::pwrite(fd, trailer, 8, static_cast<int64_t>(p + size - 8)) == 8;
    p += size;
  }
  if (fd >= 0) ::close(fd);
  return ok;
}

// The bytes of the file that a refused append could have touched: the
// header and the last 64 KiB.
std::string Ends(const std::string& path) {
  std::string bytes(174 + 65536, '\0');
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
#if defined(_WIN32)
  std::string head, tail;  // held for update by this process: read through its descriptor
  if (fd < 0 && ReadHeldFile(path, &head, 0, 174) &&
      ReadHeldFile(path, &tail, static_cast<int64_t>(SizeOf(path) - 65536), 65536))
    return head.size() == 174 && tail.size() == 65536 ? head + tail : "unreadable";
#endif
  ssize_t a = ::pread(fd, &bytes[0], 174, 0);
  ssize_t b = ::pread(fd, &bytes[174], 65536, static_cast<int64_t>(SizeOf(path) - 65536));
  ::close(fd);
  return a == 174 && b == 65536 ? bytes : "unreadable";
}

class LimitsTest : public ::testing::TestWithParam<uint16_t> {
 protected:
  void SetUp() override {
    // Sparse files need a disk file system: the build tree, not tmpfs.
    const char* base = std::getenv("VARNFILE_TEST_TMP");
    dir_ = std::string(base != nullptr ? base : "/tmp") + "/limits_" + std::to_string(getpid());
    std::filesystem::create_directories(dir_);
    path_ = dir_ + "/m" + std::to_string(method_) + ".trn";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Opens the file for update, appends items (each must give `expect`) and
  // closes it; the items that went in join written_ with their positions.
  void Append(const std::vector<Item>& items, uint16_t expect) {
    uint32_t h = 0, at = 0;
    ASSERT_EQ(VARNFileOpen(&h, path_.c_str(), 0), 0);
    for (const Item& item : items) {
      ASSERT_EQ(VARNFileSeekToEnd(h, &at), 0);
      ASSERT_EQ(AddItem(h, item), expect) << "at " << at;
      if (expect == 0) written_.push_back({at, item});
    }
    ASSERT_EQ(VARNFileClose(h), 0);
  }

  // Every item written reads back at its position, and the items behind
  // the last filler (from `tail` on) walk the same forwards and backwards.
  // (A walk over the fillers would read gigabytes of holes.)
  void Check(const char* when, uint64_t tail) {
    SCOPED_TRACE(when);
    uint32_t h = 0, at = 0;
    ASSERT_EQ(VARNFileOpenEx(&h, VARNFILE_ACCESS_READ, path_.c_str(), 0), 0);
    std::vector<Item> expected, forwards, backwards;
    for (const auto& [position, item] : written_) {
      Item got;
      EXPECT_EQ(VARNFileSetPosition(h, position), 0);
      EXPECT_EQ(ReadOne(h, &got), 0) << position;
      EXPECT_EQ(got, item) << position;
      if (position >= tail) expected.push_back(item);
    }
    uint16_t rc = VARNFileSetPosition(h, static_cast<uint32_t>(tail));
    for (Item item; rc == 0 && (rc = ReadOne(h, &item)) == 0;) forwards.push_back(item);
    EXPECT_EQ(rc, VARNFILE_E_END_OF_FILE);
    rc = VARNFileSeekToEnd(h, &at);
    EXPECT_EQ(at, SizeOf(path_));
    for (Item item; rc == 0 && at > tail && (rc = VARNFileSkipPrev(h)) == 0;) {
      EXPECT_EQ(VARNFileGetPosition(h, &at), 0);
      EXPECT_EQ(ReadOne(h, &item), 0);
      backwards.insert(backwards.begin(), item);
      EXPECT_EQ(VARNFileSetPosition(h, at), 0);
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(VARNFileClose(h), 0);
    EXPECT_EQ(forwards, expected);
    EXPECT_EQ(backwards, expected);
  }

  uint16_t method_ = GetParam();
  std::string dir_, path_;
  std::vector<std::pair<uint32_t, Item>> written_;
};

// Bytes that no method compresses, so that items take their full size.
Item Noise(uint32_t n, size_t length) {
  Item item{9, 0, n, std::string(length, '\0')};
  for (size_t i = 0; i < length; ++i) item.data[i] = static_cast<char>(Mix(n * 65536 + i));
  return item;
}

TEST_P(LimitsTest, BelowAcrossAndUpToFourGiB) {
  // One session of real items at the start.
  std::vector<Item> head;
  for (uint32_t n = 0; n < 3; ++n) head.push_back(MakeItem(method_, n, 300));
  std::vector<uint32_t> positions = MakeFile(path_, method_, head);
  ASSERT_EQ(positions.size(), 3u);
  for (uint32_t n = 0; n < 3; ++n) written_.push_back({positions[n], head[n]});
  // From just below 2 GiB, items that cross it. (Each check costs a chained
  // method a replay over every filler, so there are two.)
  uint64_t tail = TwoGiB - 300;
  if (!Fill(path_, method_, tail)) GTEST_SKIP() << "no sparse files of 4 GiB here";
  Append({Noise(3, 200), Noise(4, 200), Noise(5, 200)}, 0);
  ASSERT_GT(SizeOf(path_), TwoGiB);
  Check("across 2 GiB", tail);

  // 300 bytes short of the limit: an item whose record could need more is
  // refused before anything is written or encoded, and one that fits goes
  // in behind it and decodes (had the refused item entered the chain's
  // history, the one behind it, which repeats it, would not).
  tail = LastPosition - 300;
  ASSERT_TRUE(Fill(path_, method_, tail));
  const std::string before = Ends(path_);
  Item tooLarge = Noise(6, 300);
  uint32_t h = 0;
  ASSERT_EQ(VARNFileOpen(&h, path_.c_str(), 0), 0);
  EXPECT_EQ(AddItem(h, tooLarge), VARNFILE_E_WRITE);
  EXPECT_EQ(SizeOf(path_), tail);
  EXPECT_EQ(Ends(path_), before) << "a refused append changed the file";
  tooLarge.data.resize(40);
  EXPECT_EQ(AddItem(h, tooLarge), 0);  // in the same chain
  written_.push_back({static_cast<uint32_t>(tail), tooLarge});
  ASSERT_EQ(VARNFileClose(h), 0);
  if (Chained(method_)) {
    // A chained item is judged by the largest form it could take, known
    // before encoding: one whose largest form ends exactly at the limit
    // goes in, one a byte longer is refused (both would fit as encoded).
    auto largest = [&](uint64_t n) { return method_ == 2 ? n + n / 8 + 96 : n + (n + 7) / 8; };
    ASSERT_TRUE(Fill(path_, method_, LastPosition - 22 - largest(16)));
    Append({Noise(11, 17)}, VARNFILE_E_WRITE);
    Append({Noise(12, 16)}, 0);
  }
  // Right at the limit: what still fits goes in, up to the last position.
  if (method_ == 0) {  // stored sizes are exact: fill up to the last byte
    uint64_t room = LastPosition - SizeOf(path_);
    Append({Noise(7, room - 22 - 23)}, 0);
    Append({Noise(8, 2)}, VARNFILE_E_WRITE);
    Append({Noise(9, 1)}, 0);
    EXPECT_EQ(SizeOf(path_), LastPosition);
  }
  Append({Noise(10, 0)}, SizeOf(path_) + 22 <= LastPosition ? 0 : VARNFILE_E_WRITE);
  Check("up to 4 GiB", tail);
}

INSTANTIATE_TEST_SUITE_P(Methods, LimitsTest, ::testing::Values(0, 1, 2, 3, 4),
                         [](const auto& info) { return "method" + std::to_string(info.param); });

}  // namespace
}  // namespace varnfile_test
