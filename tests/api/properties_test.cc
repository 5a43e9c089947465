// The property exports through the C API: argument checks before the
// handle, exact string-buffer boundaries, the header image and its fields in
// the file bytes, and calls that fail changing nothing.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "api/handle_table.h"
#include "io/scratch_dir.h"
#include "platform/posix_file.h"
#include "varnfile.h"

namespace varnfile {
namespace {

constexpr uint32_t NoHandle = 77;

std::string Header(uint32_t h) {
  std::string header(174, '\0');
  EXPECT_EQ(VARNFileReadHeader(h, reinterpret_cast<uint8_t*>(&header[0]), 174), 0);
  return header;
}

ResultCode WriteHeader(uint32_t h, const std::string& header) {
  return VARNFileWriteHeader(h, reinterpret_cast<const uint8_t*>(header.data()),
                             static_cast<uint16_t>(header.size()));
}

OpenFile* Resolve(uint32_t h) {
  OpenFile* file = nullptr;
  EXPECT_EQ(ResolveHandle(LockLibrary(), h, &file), 0);
  UnlockLibrary();
  return file;
}

class PropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VARNFileCreateEx(&h_, 0, name_.c_str(), nullptr, nullptr, nullptr, 0), 0);
  }
  void TearDown() override {
    FileClearFaults();
    if (h_ != 0) VARNFileAbort(h_);
  }
  void Reopen(uint16_t access) {
    ASSERT_EQ(VARNFileClose(h_), 0);
    h_ = 0;
    if (access != 0xFFFF) {
      ASSERT_EQ(VARNFileOpenEx(&h_, access, name_.c_str(), 0), 0);
    }
  }
  ScratchDir dir_;
  std::string name_ = dir_ / "props.trn";
  uint32_t h_ = 0;
};

TEST_F(PropertiesTest, ArgumentChecksBeforeTheHandleCheck) {
  uint8_t buffer[8];
  std::string long65(65, 'x');
  EXPECT_EQ(VARNFileSetCompression(NoHandle, 5), 260);
  EXPECT_EQ(VARNFileSetDescription(NoHandle, long65.c_str()), 260);
  EXPECT_EQ(VARNFileSetDescription(NoHandle, nullptr), 260);
  EXPECT_EQ(VARNFileReadHeader(NoHandle, nullptr, 8), 260);
  EXPECT_EQ(VARNFileReadHeader(NoHandle, buffer, 0), 260);
  EXPECT_EQ(VARNFileWriteHeader(NoHandle, nullptr, 8), 260);
  EXPECT_EQ(VARNFileWriteHeader(NoHandle, buffer, 0), 260);
  // SetParameters checks its buffer sizes only after the handle.
  EXPECT_EQ(VARNFileSetParameters(NoHandle, 1, 1, 0x80000000u, 0), 273);
  uint32_t flags;
  char text[8];
  EXPECT_EQ(VARNFileSetCompression(NoHandle, 0), 273);
  EXPECT_EQ(VARNFileGetFileName(NoHandle, text, 8), 273);
  EXPECT_EQ(VARNFileGetFlags(NoHandle, &flags), 273);
  EXPECT_EQ(VARNFileSetFlags(NoHandle, 1), 273);
  EXPECT_EQ(VARNFileGetDescription(NoHandle, text, 8), 273);
  EXPECT_EQ(VARNFileSetDescription(NoHandle, "ok"), 273);
  EXPECT_EQ(VARNFileResetAging(NoHandle), 273);
  EXPECT_EQ(VARNFileReadHeader(NoHandle, buffer, 8), 273);
  EXPECT_EQ(VARNFileWriteHeader(NoHandle, buffer, 8), 273);
}

TEST_F(PropertiesTest, CompressionChangesOnlyWhileTheFileIsEmpty) {
  EXPECT_EQ(Header(h_)[47], 2);
  for (uint16_t method : {0, 4, 1, 1}) {
    ASSERT_EQ(VARNFileSetCompression(h_, method), 0);
    EXPECT_EQ(Header(h_)[47], method) << "the copy shows the method in force";
  }
  ASSERT_EQ(VARNFileAddItem(h_, 1, 0, 0, 3, reinterpret_cast<const uint8_t*>("abc")), 0);
  EXPECT_EQ(VARNFileSetCompression(h_, 0), 283);
  EXPECT_EQ(VARNFileSetCompression(h_, 1), 283);
  Reopen(1);
  EXPECT_EQ(ReadFile(name_)[47], 1);
  EXPECT_EQ(Resolve(h_)->fileMethod, 1u);
}

TEST_F(PropertiesTest, ParametersAndAFailedFlush) {
  OpenFile* file = Resolve(h_);
  ASSERT_EQ(VARNFileSetParameters(h_, 0, 0, 0, 0), 0);
  EXPECT_EQ(file->maxCachedItems, 1) << "0 items behaves as 1";
  ASSERT_EQ(VARNFileSetParameters(h_, 65535, 0xFFFFFFFFu, 0x7FFFFFFF, 4096), 0);
  // A refused size changes nothing at all.
  EXPECT_EQ(VARNFileSetParameters(h_, 3, 3, 0x80000000u, 512), 260);
  EXPECT_EQ(VARNFileSetParameters(h_, 3, 3, 512, 0xFFFFFFFFu), 260);
  EXPECT_EQ(file->maxCachedItems, 65535);
  EXPECT_EQ(file->maxCachedBytes, 0xFFFFFFFFu);
  EXPECT_EQ(file->store.writeBufferSize, 4096u);
  // A failed flush still sets the cache limits; the buffers stay as they
  // were and the buffered item still reaches the file.
  ASSERT_EQ(VARNFileSetCompression(h_, 0), 0);
  ASSERT_EQ(VARNFileSetParameters(h_, 16, 65536, 1024, 4096), 0);
  ASSERT_EQ(VARNFileAddItem(h_, 1, 0, 0, 3, reinterpret_cast<const uint8_t*>("abc")), 0);
  FileSetFault(FileCallWrite, FileFault{1, true, ENOSPC, false});
  EXPECT_EQ(VARNFileSetParameters(h_, 5, 1000, 2048, 2048), 278);
  FileClearFaults();
  EXPECT_EQ(file->maxCachedItems, 5);
  EXPECT_EQ(file->maxCachedBytes, 1000u);
  EXPECT_EQ(file->store.writeBufferSize, 4096u);
  EXPECT_EQ(file->store.readBufferSize, 1024u);
  Reopen(0xFFFF);
  EXPECT_EQ(ReadFile(name_).size(), 174u + 22u + 3u);
}

// Strings need room for their terminator (258, nothing copied otherwise);
// a description of 64 characters fits, 65 do not, and one that fills its
// field unterminated ends with the field.
TEST_F(PropertiesTest, StringBuffersAndTheirBytes) {
  std::vector<char> buffer(name_.size() + 2, '#');
  uint16_t exact = static_cast<uint16_t>(name_.size());
  EXPECT_EQ(VARNFileGetFileName(h_, buffer.data(), exact), 258);
  EXPECT_EQ(buffer[0], '#');
  ASSERT_EQ(VARNFileGetFileName(h_, buffer.data(), exact + 1), 0);
  EXPECT_EQ(std::string(buffer.data()), name_);
  EXPECT_EQ(buffer[exact + 1], '#');
  EXPECT_EQ(VARNFileGetFileName(h_, nullptr, 0), 0);
  EXPECT_EQ(VARNFileGetFileName(h_, buffer.data(), 0), 258);

  std::string text64(64, 'd');
  std::string before = Header(h_);
  EXPECT_EQ(VARNFileSetDescription(h_, (text64 + "e").c_str()), 260);
  EXPECT_EQ(Header(h_), before) << "a failed call changes nothing";
  ASSERT_EQ(VARNFileSetDescription(h_, text64.c_str()), 0);
  buffer.assign(80, '#');
  EXPECT_EQ(VARNFileGetDescription(h_, buffer.data(), 64), 258);
  EXPECT_EQ(buffer[0], '#');
  ASSERT_EQ(VARNFileGetDescription(h_, buffer.data(), 65), 0);
  EXPECT_EQ(std::string(buffer.data()), text64);
  EXPECT_EQ(VARNFileGetDescription(h_, nullptr, 0), 0);
  ASSERT_EQ(VARNFileSetFlags(h_, 0xDEADBEEF), 0);
  Reopen(0);
  EXPECT_EQ(ReadFile(name_).substr(73, 4 + 65), "\xEF\xBE\xAD\xDE" + text64 + std::string(1, '\0'));
  uint32_t flags = 0;
  ASSERT_EQ(VARNFileGetFlags(h_, &flags), 0);
  EXPECT_EQ(flags, 0xDEADBEEFu);
  EXPECT_EQ(VARNFileGetFlags(h_, nullptr), 0);
  Reopen(1);
  // A shorter description leaves the old tail behind its terminator.
  ASSERT_EQ(VARNFileSetDescription(h_, "abcdef"), 0);
  ASSERT_EQ(VARNFileSetDescription(h_, "xy"), 0);
  EXPECT_EQ(Header(h_).substr(77, 7), std::string("xy\0def\0", 7));
  ASSERT_EQ(VARNFileGetDescription(h_, buffer.data(), 3), 0);
  EXPECT_STREQ(buffer.data(), "xy");
  std::string header = Header(h_);
  header.replace(77, 65, std::string(65, 'A'));
  ASSERT_EQ(WriteHeader(h_, header), 0);
  EXPECT_EQ(VARNFileGetDescription(h_, buffer.data(), 65), 258);
  ASSERT_EQ(VARNFileGetDescription(h_, buffer.data(), 66), 0);
  EXPECT_EQ(std::string(buffer.data()), std::string(65, 'A'));
}

TEST_F(PropertiesTest, HeaderImageReadAndWritten) {
  std::vector<uint8_t> buffer(400, 0xEE);
  ASSERT_EQ(VARNFileReadHeader(h_, buffer.data(), 4), 0);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "KVRW\xEE");
  ASSERT_EQ(VARNFileReadHeader(h_, buffer.data(), 400), 0);
  EXPECT_EQ(buffer[174], 0xEE) << "at most 174 bytes";
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 174), ReadFile(name_));
  // Writing replaces the first size bytes of the image; they reach the
  // disk at close, reserved bytes included.
  std::string header = Header(h_);
  header[150] = 0x5A;
  ASSERT_EQ(WriteHeader(h_, header), 0);
  EXPECT_EQ(ReadFile(name_)[150], 0) << "nothing reaches the disk before close";
  ASSERT_EQ(WriteHeader(h_, "QZ"), 0);
  EXPECT_EQ(Header(h_).substr(0, 4), "QZRW");
  ASSERT_EQ(WriteHeader(h_, header), 0);  // put the magic back
  Reopen(0);
  header[142] = 1;
  EXPECT_EQ(ReadFile(name_), header);
  // Rewriting the same image still marks it changed.
  Reopen(1);
  FileResetCallCounts();
  ASSERT_EQ(WriteHeader(h_, header), 0);
  Reopen(0xFFFF);
  EXPECT_GE(FileCallCount(FileCallWrite), 1u) << "the close rewrites a header marked changed";
  EXPECT_EQ(ReadFile(name_), header);
}

TEST_F(PropertiesTest, ResetAging) {
  std::string header = Header(h_);
  header.replace(36, 6, std::string("\x01\x01\x64\x0C\0\0", 6));  // 2000-01-01 12:00:00
  ASSERT_EQ(WriteHeader(h_, header), 0);
  Reopen(0xFFFF);
  EXPECT_EQ(VARNFileOpen(&h_, name_.c_str(), 0), 266);
  EXPECT_EQ(h_, 0u);
  // Open read-only, the restamped header cannot be written at close.
  ASSERT_EQ(VARNFileDelete(name_.c_str(), 0), 0);
  SetUp();
  Reopen(0);
  std::string before = ReadFile(name_);
  ASSERT_EQ(VARNFileResetAging(h_), 0);
  EXPECT_EQ(VARNFileClose(h_), 278);
  EXPECT_EQ(VARNFileClose(h_), 273);
  EXPECT_EQ(ReadFile(name_), before);
  // Created anew, the restamp carries the current date and keeps the limit.
  ASSERT_EQ(VARNFileCreateEx(&h_, 0, name_.c_str(), nullptr, nullptr, nullptr, 0), 0);
  ASSERT_EQ(WriteHeader(h_, header), 0);
  ASSERT_EQ(VARNFileResetAging(h_), 0);
  std::string reset = Header(h_);
  EXPECT_GE(static_cast<uint8_t>(reset[38]), 126) << "stamped with the current year";
  EXPECT_EQ(reset[42], 30) << "the aging limit stays";
  Reopen(1);
}

}  // namespace
}  // namespace varnfile
