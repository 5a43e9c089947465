// The property exports through the C API: argument checks before the
// handle, exact string-buffer boundaries, the header image and its fields in
// the file bytes, and calls that fail changing nothing.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "api/handle_table.h"
#include "io/scratch_dir.h"
#include "platform/posix_file.h"
#include "store/store.h"
#include "varnfile.h"

namespace varnfile {
namespace {

constexpr uint32_t NoHandle = 77;

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> Header(uint32_t h) {
  std::vector<uint8_t> header(174);
  EXPECT_EQ(VARNFileReadHeader(h, header.data(), 174), 0);
  return header;
}

OpenFile* Resolve(uint32_t h) {
  LibraryState* state = LockLibrary();
  OpenFile* file = nullptr;
  EXPECT_EQ(ResolveHandle(state, h, &file), 0);
  UnlockLibrary();
  return file;
}

class PropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = dir_ / "props.trn";
    ASSERT_EQ(VARNFileCreateEx(&h_, 0, name_.c_str(), nullptr, nullptr, nullptr, 0), 0);
  }
  void TearDown() override {
    FileClearFaults();
    if (h_ != 0) VARNFileAbort(h_);
  }
  void CloseAndReopen(uint16_t access = 1) {
    ASSERT_EQ(VARNFileClose(h_), 0);
    h_ = 0;
    ASSERT_EQ(VARNFileOpenEx(&h_, access, name_.c_str(), 0), 0);
  }
  ScratchDir dir_;
  std::string name_;
  uint32_t h_ = 0;
};

// ---- argument checks come before the handle ----

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

// ---- compression ----

TEST_F(PropertiesTest, CompressionChangesOnlyWhileTheFileIsEmpty) {
  EXPECT_EQ(Header(h_)[47], 2);
  ASSERT_EQ(VARNFileSetCompression(h_, 0), 0);
  EXPECT_EQ(Header(h_)[47], 0) << "the copy shows the method in force";
  EXPECT_EQ(Resolve(h_)->fileMethod, 0u);
  ASSERT_EQ(VARNFileSetCompression(h_, 4), 0);
  EXPECT_EQ(Header(h_)[47], 4);
  ASSERT_EQ(VARNFileSetCompression(h_, 1), 0);
  ASSERT_EQ(VARNFileSetCompression(h_, 1), 0);
  ASSERT_EQ(VARNFileAddItem(h_, 1, 0, 0, 3, reinterpret_cast<const uint8_t*>("abc")), 0);
  EXPECT_EQ(VARNFileSetCompression(h_, 0), 283);
  EXPECT_EQ(VARNFileSetCompression(h_, 1), 283);
  EXPECT_EQ(Header(h_)[47], 1);
  CloseAndReopen();
  EXPECT_EQ(static_cast<uint8_t>(ReadFile(name_)[47]), 1);
  EXPECT_EQ(Header(h_)[47], 1);
  EXPECT_EQ(Resolve(h_)->fileMethod, 1u);
}

// ---- parameters ----

TEST_F(PropertiesTest, ParametersSetTheCacheLimitsAndBuffers) {
  OpenFile* file = Resolve(h_);
  EXPECT_EQ(file->maxCachedItems, 16);
  EXPECT_EQ(file->maxCachedBytes, 65536u);
  ASSERT_EQ(VARNFileSetParameters(h_, 0, 0, 0, 0), 0);
  EXPECT_EQ(file->maxCachedItems, 1) << "0 items behaves as 1";
  EXPECT_EQ(file->maxCachedBytes, 0u);
  ASSERT_EQ(VARNFileSetParameters(h_, 65535, 0xFFFFFFFFu, 0x7FFFFFFF, 4096), 0);
  EXPECT_EQ(file->maxCachedItems, 65535);
  EXPECT_EQ(file->maxCachedBytes, 0xFFFFFFFFu);
  EXPECT_EQ(file->store.writeBufferSize, 4096u);

  // A refused size changes nothing at all.
  EXPECT_EQ(VARNFileSetParameters(h_, 3, 3, 0x80000000u, 512), 260);
  EXPECT_EQ(VARNFileSetParameters(h_, 3, 3, 512, 0xFFFFFFFFu), 260);
  EXPECT_EQ(file->maxCachedItems, 65535);
  EXPECT_EQ(file->store.writeBufferSize, 4096u);
}

TEST_F(PropertiesTest, CacheLimitsChangeEvenWhenTheFlushFails) {
  ASSERT_EQ(VARNFileSetCompression(h_, 0), 0);
  ASSERT_EQ(VARNFileSetParameters(h_, 16, 65536, 1024, 4096), 0);
  ASSERT_EQ(VARNFileAddItem(h_, 1, 0, 0, 3, reinterpret_cast<const uint8_t*>("abc")), 0);
  FileSetFault(FileCallWrite, FileFault{1, true, ENOSPC, false});
  EXPECT_EQ(VARNFileSetParameters(h_, 5, 1000, 2048, 2048), 278);
  FileClearFaults();
  OpenFile* file = Resolve(h_);
  EXPECT_EQ(file->maxCachedItems, 5);
  EXPECT_EQ(file->maxCachedBytes, 1000u);
  EXPECT_EQ(file->store.writeBufferSize, 4096u) << "buffer sizes stay as they were";
  EXPECT_EQ(file->store.readBufferSize, 1024u);
  // Nothing was lost: the buffered item still reaches the file.
  ASSERT_EQ(VARNFileClose(h_), 0);
  h_ = 0;
  EXPECT_EQ(ReadFile(name_).size(), 174u + 22u + 3u);
}

// ---- name ----

TEST_F(PropertiesTest, FileNameNeedsRoomForItsTerminator) {
  std::vector<char> buffer(name_.size() + 2, '#');
  uint16_t exact = static_cast<uint16_t>(name_.size());
  EXPECT_EQ(VARNFileGetFileName(h_, buffer.data(), exact), 258);
  EXPECT_EQ(buffer[0], '#') << "nothing is copied";
  ASSERT_EQ(VARNFileGetFileName(h_, buffer.data(), exact + 1), 0);
  EXPECT_EQ(std::string(buffer.data()), name_);
  EXPECT_EQ(buffer[exact + 1], '#');
  EXPECT_EQ(VARNFileGetFileName(h_, nullptr, 0), 0);
  EXPECT_EQ(VARNFileGetFileName(h_, buffer.data(), 0), 258);
}

// ---- flags and description ----

TEST_F(PropertiesTest, FlagsLiveAtOffset73) {
  uint32_t flags = 99;
  ASSERT_EQ(VARNFileGetFlags(h_, &flags), 0);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(VARNFileGetFlags(h_, nullptr), 0);
  ASSERT_EQ(VARNFileSetFlags(h_, 0xDEADBEEF), 0);
  ASSERT_EQ(VARNFileGetFlags(h_, &flags), 0);
  EXPECT_EQ(flags, 0xDEADBEEFu);
  CloseAndReopen(0);
  std::string bytes = ReadFile(name_);
  EXPECT_EQ(bytes.substr(73, 4), std::string("\xEF\xBE\xAD\xDE", 4));
  ASSERT_EQ(VARNFileGetFlags(h_, &flags), 0);
  EXPECT_EQ(flags, 0xDEADBEEFu);
}

TEST_F(PropertiesTest, DescriptionOf64CharactersFits65DoesNot) {
  std::string text64(64, 'd');
  std::vector<uint8_t> before = Header(h_);
  EXPECT_EQ(VARNFileSetDescription(h_, (text64 + "e").c_str()), 260);
  EXPECT_EQ(Header(h_), before) << "a failed call changes nothing";
  ASSERT_EQ(VARNFileSetDescription(h_, text64.c_str()), 0);

  std::vector<char> buffer(80, '#');
  EXPECT_EQ(VARNFileGetDescription(h_, buffer.data(), 64), 258);
  EXPECT_EQ(buffer[0], '#');
  ASSERT_EQ(VARNFileGetDescription(h_, buffer.data(), 65), 0);
  EXPECT_EQ(std::string(buffer.data()), text64);
  EXPECT_EQ(VARNFileGetDescription(h_, nullptr, 0), 0);

  CloseAndReopen();
  std::string bytes = ReadFile(name_);
  EXPECT_EQ(bytes.substr(77, 65), text64 + std::string(1, '\0'));
  ASSERT_EQ(VARNFileGetDescription(h_, buffer.data(), 80), 0);
  EXPECT_EQ(std::string(buffer.data()), text64);
}

TEST_F(PropertiesTest, ShorterDescriptionLeavesTheOldTailBehindItsTerminator) {
  ASSERT_EQ(VARNFileSetDescription(h_, "abcdef"), 0);
  ASSERT_EQ(VARNFileSetDescription(h_, "xy"), 0);
  std::vector<uint8_t> header = Header(h_);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&header[77]), 7), std::string("xy\0def\0", 7));
  char buffer[8];
  ASSERT_EQ(VARNFileGetDescription(h_, buffer, 3), 0);
  EXPECT_STREQ(buffer, "xy");
  ASSERT_EQ(VARNFileSetDescription(h_, ""), 0);
  ASSERT_EQ(VARNFileGetDescription(h_, buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
}

TEST_F(PropertiesTest, UnterminatedDescriptionEndsWithItsField) {
  std::vector<uint8_t> header = Header(h_);
  std::memset(&header[77], 'A', 65);
  ASSERT_EQ(VARNFileWriteHeader(h_, header.data(), 174), 0);
  std::vector<char> buffer(80, '#');
  EXPECT_EQ(VARNFileGetDescription(h_, buffer.data(), 65), 258);
  ASSERT_EQ(VARNFileGetDescription(h_, buffer.data(), 66), 0);
  EXPECT_EQ(std::string(buffer.data()), std::string(65, 'A'));
}

// ---- the whole header ----

TEST_F(PropertiesTest, ReadHeaderCopiesAtMost174Bytes) {
  std::vector<uint8_t> buffer(400, 0xEE);
  ASSERT_EQ(VARNFileReadHeader(h_, buffer.data(), 4), 0);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 4), "KVRW");
  EXPECT_EQ(buffer[4], 0xEE);
  ASSERT_EQ(VARNFileReadHeader(h_, buffer.data(), 400), 0);
  EXPECT_EQ(buffer[4], 0x10);  // version 272
  EXPECT_EQ(buffer[5], 0x01);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&buffer[20])), "props.trn");
  EXPECT_EQ(buffer[42], 30);
  EXPECT_EQ(buffer[173], 0);
  EXPECT_EQ(buffer[174], 0xEE);
  std::string file = ReadFile(name_);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 174), file);
}

TEST_F(PropertiesTest, WriteHeaderReplacesTheImageAndReachesDiskAtClose) {
  std::vector<uint8_t> header = Header(h_);
  header[150] = 0x5A;  // reserved bytes are kept
  header[73] = 0x42;
  ASSERT_EQ(VARNFileWriteHeader(h_, header.data(), 174), 0);
  EXPECT_EQ(ReadFile(name_)[150], 0) << "nothing reaches the disk before close";
  const uint8_t partial[2] = {'Q', 'Z'};
  ASSERT_EQ(VARNFileWriteHeader(h_, partial, 2), 0);
  std::vector<uint8_t> now = Header(h_);
  EXPECT_EQ(now[0], 'Q');
  EXPECT_EQ(now[2], 'R') << "only the first size bytes change";
  ASSERT_EQ(VARNFileWriteHeader(h_, header.data(), 174), 0);  // put the magic back
  ASSERT_EQ(VARNFileClose(h_), 0);
  h_ = 0;
  std::string bytes = ReadFile(name_);
  EXPECT_EQ(bytes[150], 0x5A);
  EXPECT_EQ(bytes[73], 0x42);
  EXPECT_EQ(bytes[142], 1);
}

TEST_F(PropertiesTest, RewritingTheSameHeaderStillMarksItChanged) {
  CloseAndReopen();
  std::vector<uint8_t> header = Header(h_);
  ASSERT_EQ(VARNFileClose(h_), 0);
  h_ = 0;
  ASSERT_EQ(VARNFileOpen(&h_, name_.c_str(), 0), 0);
  FileResetCallCounts();
  ASSERT_EQ(VARNFileWriteHeader(h_, header.data(), 174), 0);
  ASSERT_EQ(VARNFileClose(h_), 0);
  h_ = 0;
  EXPECT_GE(FileCallCount(FileCallWrite), 1u) << "the close rewrites a header marked changed";
  EXPECT_EQ(ReadFile(name_), std::string(header.begin(), header.end()));
}

// ---- aging ----

TEST_F(PropertiesTest, ResetAgingRestampsAnAgedHeader) {
  std::vector<uint8_t> header = Header(h_);
  header[36] = 1;   // 1 January 2000, 12:00:00
  header[37] = 1;
  header[38] = 100;
  header[39] = 12;
  header[40] = 0;
  header[41] = 0;
  ASSERT_EQ(VARNFileWriteHeader(h_, header.data(), 174), 0);
  ASSERT_EQ(VARNFileClose(h_), 0);
  h_ = 0;
  EXPECT_EQ(VARNFileOpen(&h_, name_.c_str(), 0), 266);
  EXPECT_EQ(h_, 0u);

  ASSERT_EQ(VARNFileCreateEx(&h_, 0, name_.c_str(), nullptr, nullptr, nullptr, 0), 0);
  ASSERT_EQ(VARNFileWriteHeader(h_, header.data(), 174), 0);
  ASSERT_EQ(VARNFileResetAging(h_), 0);
  std::vector<uint8_t> reset = Header(h_);
  EXPECT_GE(reset[38], 126) << "stamped with the current year";
  EXPECT_GE(reset[36], 1);
  EXPECT_LE(reset[36], 12);
  EXPECT_EQ(reset[42], 30) << "the aging limit stays";
  CloseAndReopen();
}

TEST_F(PropertiesTest, ResetAgingOnAReadOnlyFileFailsAtClose) {
  ASSERT_EQ(VARNFileClose(h_), 0);
  h_ = 0;
  ASSERT_EQ(VARNFileOpenEx(&h_, 0, name_.c_str(), 0), 0);
  std::string before = ReadFile(name_);
  ASSERT_EQ(VARNFileResetAging(h_), 0);
  EXPECT_EQ(VARNFileClose(h_), 278);
  EXPECT_EQ(VARNFileClose(h_), 273);
  h_ = 0;
  EXPECT_EQ(ReadFile(name_), before);
}

}  // namespace
}  // namespace varnfile
