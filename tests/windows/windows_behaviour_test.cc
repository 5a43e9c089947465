// What only Windows shows, through the C API: the share modes decide who
// may open, and a file that any open holds cannot be removed; drive letters
// and backslashes in the names the library is given and makes.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/scratch_dir.h"
#include "varnfile.h"
#include "windows/child_process.h"

namespace varnfile {
namespace {

constexpr uint16_t Read = VARNFILE_ACCESS_READ, Update = VARNFILE_ACCESS_READ_WRITE, Create = 9;

uint16_t OpenAs(uint16_t how, const std::string& name, uint32_t* h) {
  if (how == Create)
    return VARNFileCreateEx(h, VARNFILE_NAME_EXACT, name.c_str(), nullptr, nullptr, nullptr, 0);
  return VARNFileOpenEx(h, how, name.c_str(), 0);
}

std::string MakeFile(const std::string& name) {
  uint32_t h = 0;
  EXPECT_EQ(OpenAs(Create, name, &h), 0);
  EXPECT_EQ(VARNFileAddItem(h, 1, 2, 3, 4, reinterpret_cast<const uint8_t*>("data")), 0);
  EXPECT_EQ(VARNFileClose(h), 0);
  return ReadFile(name);
}

// Every pair of opens of one file within one process: reads share, an
// update or a create shares with nobody; a refused create truncates
// nothing.
TEST(WindowsSharing, SecondOpenInTheSameProcess) {
  ScratchDir dir;
  const std::string name = dir / "shared.trn", bytes = MakeFile(name);
  const struct {
    uint16_t first, second, expected;
  } cases[] = {
      {Read, Read, 0},     {Read, Update, 274},   {Read, Create, 275},
      {Update, Read, 274}, {Update, Update, 274}, {Update, Create, 275},
      {Create, Read, 274}, {Create, Update, 274}, {Create, Create, 275},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
    uint32_t first = 0, second = 0;
    ASSERT_EQ(OpenAs(c.first, name, &first), 0);
    EXPECT_EQ(OpenAs(c.second, name, &second), c.expected);
    if (second != 0) {
      EXPECT_EQ(VARNFileClose(second), 0);
    }
    EXPECT_EQ(VARNFileClose(first), 0);
    if (c.first == Create) WriteFile(name, bytes);  // the create emptied it
    EXPECT_EQ(ReadFile(name), bytes);
  }
}

// The child's part: hold the named file open for reading until released.
void HoldOpen(const std::string& name, varnfile_test::ChildPipes pipes) {
  uint32_t h = 0;
  char ok = VARNFileOpenEx(&h, Read, name.c_str(), 0) == 0 ? 'y' : 'n';
  if (_write(pipes.report, &ok, 1) == 1) ok = static_cast<char>(_read(pipes.release, &ok, 1));
}
varnfile_test::ChildRole holdOpen("hold-open", HoldOpen);

// With every descriptor of the C run-time taken, a create fails (the system
// made the file, the run-time has no descriptor for it) and takes the file
// it made away again.
TEST(WindowsSharing, ACreateWithoutADescriptorLeavesNoFile) {
  ScratchDir dir;
  const std::string name = dir / "none.trn";
  std::vector<int> taken;
  for (int fd; taken.size() < 100000 && (fd = _open("NUL", _O_RDONLY)) >= 0;) taken.push_back(fd);
  uint32_t h = 0;
  const uint16_t rc = OpenAs(Create, name, &h);
  for (int fd : taken) _close(fd);
  EXPECT_NE(rc, 0);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES);
}

// A file that another open holds, here or in another process, stays: the
// abandoning close reports 279, and the delete (which does not report
// whether it removed anything) leaves it. Once free, both remove it.
TEST(WindowsSharing, AHeldFileCannotBeRemoved) {
  ScratchDir dir;
  const std::string name = dir / "held.trn", bytes = MakeFile(name);
  for (bool inChild : {false, true}) {
    SCOPED_TRACE(inChild ? "held by another process" : "held by this process");
    uint32_t holder = 0, h = 0;
    std::unique_ptr<varnfile_test::ChildProcess> child;
    if (inChild) {
      child = std::make_unique<varnfile_test::ChildProcess>("hold-open", name);
      char ok = 'n';
      ASSERT_EQ(_read(child->report(), &ok, 1), 1);
      ASSERT_EQ(ok, 'y');
    } else {
      ASSERT_EQ(OpenAs(Read, name, &holder), 0);
    }
    ASSERT_EQ(OpenAs(Read, name, &h), 0);
    EXPECT_EQ(VARNFileAbort(h), VARNFILE_E_REMOVE);
    EXPECT_EQ(VARNFileDelete(name.c_str(), 0), 0);
    EXPECT_EQ(ReadFile(name), bytes);
    if (holder != 0) {
      EXPECT_EQ(VARNFileClose(holder), 0);
    }
    child.reset();  // releases the child and waits for it
  }
  uint32_t h = 0;
  ASSERT_EQ(OpenAs(Read, name, &h), 0);
  EXPECT_EQ(VARNFileAbort(h), 0);
  EXPECT_FALSE(Exists(name));
}

// Names with a drive letter and backslashes, as Windows programs write
// them: directories are made level by level, the header keeps the final
// component, and invented names are joined with a backslash, also after a
// trailing one.
TEST(WindowsNames, DriveLettersAndBackslashes) {
  ScratchDir dir;
  char full[MAX_PATH];
  ASSERT_NE(GetFullPathNameA(dir.path().string().c_str(), MAX_PATH, full, nullptr), 0u);
  const std::string root = full;  // "Z:\...\WindowsNames.DriveLetters..."
  ASSERT_EQ(root.substr(1, 2), ":\\");
  const std::string names[] = {root + "\\one\\two\\NAMED.TRN", root + "/mixed\\three/MIXED.TRN"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    uint32_t h = 0;
    ASSERT_EQ(OpenAs(Create, name, &h), 0);
    char given[300] = "";
    EXPECT_EQ(VARNFileGetFileName(h, given, sizeof given), 0);
    EXPECT_EQ(std::string(given), name);
    EXPECT_EQ(VARNFileClose(h), 0);
    std::string header = ReadFile(name).substr(20, 16);
    EXPECT_EQ(header.c_str(), name.substr(name.find_last_of("\\/") + 1));
  }
  for (const std::string& folder : {root + "\\unique", root + "\\unique\\"}) {
    uint32_t h = 0;
    ASSERT_EQ(VARNFileCreate(&h, folder.c_str(), "TRN"), 0);
    char made[300] = "";
    EXPECT_EQ(VARNFileGetFileName(h, made, sizeof made), 0);
    EXPECT_EQ(std::string(made).substr(0, root.size() + 8), root + "\\unique\\");
    EXPECT_EQ(std::string(made).size(), root.size() + 8 + 12) << made;  // 8 digits ".TRN"
    EXPECT_EQ(VARNFileAbort(h), 0);
  }
}

}  // namespace
}  // namespace varnfile
