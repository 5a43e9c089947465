// The C++ header: iteration both ways and from saved positions, changes made
// inside a loop, RAII close and abort, read-only files, moves, and the mapping
// of result codes to varn::Error.
#include "varnfile.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "reliability/reliability_util.h"

namespace {

using Texts = std::vector<std::string>;
using Positions = std::vector<uint32_t>;

Texts Read(varn::ItemRange range) {
  Texts texts;
  for (const varn::Item& item : range) texts.push_back(item.text());
  return texts;
}

// The code of the varn::Error that f throws, or 0.
template <typename F>
uint16_t Thrown(F f) {
  try {
    f();
  } catch (const varn::Error& error) {
    return error.code();
  }
  return 0;
}

// Both ways, from the ends or from a saved position (a deleted start: the
// next live item), passing over deleted items and stopping at end markers.
TEST(CppApiTest, IteratesBothWaysFromAnyPositionOverDeletedItemsAndToEndMarkers) {
  varn::File file = varn::File::Create("MEMORY$", varn::Method::ChainedPredictor);
  EXPECT_TRUE(Read(file.Items()).empty() && Read(file.ReverseItems()).empty());
  Positions at, seen;
  for (const char* text : {"a", "bb", "", "dddd", "eeeee"}) at.push_back(file.Add(1, 2, 3, text));
  for (uint32_t deleted : {at[1], at[4]}) {
    file.Seek(deleted);
    file.Delete();
  }
  uint32_t end = file.SeekToEnd();
  const struct { bool reverse; uint32_t from; Texts want; } cases[] = {
      {false, at[0], {"a", "", "dddd"}}, {false, at[2], {"", "dddd"}}, {false, at[1], {"", "dddd"}},
      {false, end, {}},                  {true, at[2], {"", "a"}},     {true, at[1], {"a"}},
      {true, at[0], {"a"}},              {true, end, {"dddd", "", "a"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.want, Read(c.reverse ? file.ItemsReversed(c.from) : file.Items(c.from)))
        << c.reverse << " from " << c.from;
  }
  EXPECT_EQ((Texts{"dddd", "", "a"}), Read(file.ReverseItems()));
  for (const varn::Item& item : file.Items()) seen.push_back(item.position);
  EXPECT_EQ((Positions{at[0], at[2], at[3]}), seen);
  file.Add(VARNFILE_CMD_END_MARKER, 0, 0, "");
  file.Add(1, 0, 0, "after");
  EXPECT_EQ((Texts{"a", "", "dddd"}), Read(file.Items()));
  EXPECT_EQ((Texts{"after"}), Read(file.ReverseItems()));
}

// A range from a temporary File keeps the file open while it runs and
// closes it after; the iterators compare by the item they are on.
TEST(CppApiTest, RangesOverATemporaryFileAndIteratorsAsInputIterators) {
  std::string path = varnfile_test::ScratchFile("temporary.trn");
  {
    varn::File file = varn::File::Create(path, varn::Method::ChainedDeflate);
    for (const char* text : {"one", "two", "three"}) file.Add(1, 0, 0, text);
  }
  EXPECT_EQ((Texts{"one", "two", "three"}), Read(varn::File::Open(path, varn::Access::Read).Items()));
  Texts back;
  for (const varn::Item& item : varn::File::Open(path, varn::Access::Read).ItemsReversed())
    back.push_back(item.text());
  EXPECT_EQ((Texts{"three", "two", "one"}), back);
  varn::File::Open(path).Close();  // no reader left behind to hold the lock

  varn::File file = varn::File::Open(path, varn::Access::Read);
  varn::ItemRange range = file.Items();
  varn::ItemRange::iterator a = range.begin(), b = a;
  EXPECT_TRUE(a == b);
  varn::Item first = *b++;
  EXPECT_EQ("one", first.text());
  EXPECT_EQ("two", b->text());
  EXPECT_TRUE(a != b);
  EXPECT_EQ(2, std::distance(b, range.end()));
}

// Delete() and Update() in a loop body act on the item the loop is at, and
// the loop goes on past it in either direction.
TEST(CppApiTest, ChangesInsideALoopActOnTheCurrentItem) {
  for (varn::Method method : {varn::Method::None, varn::Method::ChainedDeflate}) {
    for (bool reverse : {false, true}) {
      varn::File file = varn::File::Create("MEMORY$", method);
      for (uint32_t value = 0; value < 6; ++value) file.Add(1, 0, value, "item");
      Positions seen;
      for (const varn::Item& item : reverse ? file.ItemsReversed() : file.Items()) {
        seen.push_back(item.value);
        if (item.value % 2 == 0) file.Delete();
        else file.Update(item.command, 9, item.value + 10);
        file.Rewind();  // the body may move the cursor freely
      }
      Positions left;  // value and extra of each item
      for (const varn::Item& item : file.Items()) left.insert(left.end(), {item.value, item.extra});
      SCOPED_TRACE(std::string(varn::MethodName(method)) + (reverse ? " backwards" : ""));
      EXPECT_EQ(reverse ? (Positions{5, 4, 3, 2, 1, 0}) : (Positions{0, 1, 2, 3, 4, 5}), seen);
      EXPECT_EQ((Positions{11, 9, 13, 9, 15, 9}), left);
    }
  }
}

TEST(CppApiTest, ReadOnlyFileRefusesEveryChangeAtOnce) {
  std::string path = varnfile_test::ScratchFile("read-only.trn");
  varn::File::Create(path, varn::Method::None).Add(5, 0, 0, "kept");
  varn::File other = varn::File::Create("MEMORY$");
  varn::File file = varn::File::Open(path, varn::Access::Read);
  EXPECT_FALSE(file.writable());
  std::function<void()> changes[] = {
      [&] { file.Abort(); },  // the C API would remove the file
      [&] { file.Add(1, 0, 0, "lost"); }, [&] { file.Update(1, 0, 0); },
      [&] { file.Update(5, 0, 0, "KEPT", 4); }, [&] { file.Delete(); }, [&] { file.SetFlags(1); },
      [&] { file.SetDescription("x"); }, [&] { file.ResetAging(); }, [&] { file.WriteHeader(file.Header()); },
      [&] { file.SetMethod(varn::Method::None); }, [&] { file.DuplicateFrom(other); },
  };
  for (size_t i = 0; i < std::size(changes); ++i)
    EXPECT_EQ(VARNFILE_E_ACCESS, Thrown(changes[i])) << "change " << i;
  EXPECT_EQ(VARNFILE_E_ACCESS, file.TryAdd(1, 0, 0, "x", 1));
  EXPECT_TRUE(file.is_open());
  file.Close();
  file = varn::File::Open(path);
  EXPECT_EQ(0u, file.flags());
  EXPECT_EQ((Texts{"kept"}), Read(file.Items()));
}

// A close that fails throws from Close(); the destructor swallows it and
// reports it on stderr only in builds without NDEBUG.
TEST(CppApiTest, FailedCloseThrowsAndTheDestructorReportsItInDebugBuilds) {
  std::string path = varnfile_test::ScratchFile("close-fails.trn");
  varn::File::Create(path, varn::Method::None).Add(5, 0, 0, "x");
  auto open_doomed = [&] {  // a header change that a read-only handle cannot write
    varn::File file = varn::File::Open(path, varn::Access::Read);
    EXPECT_EQ(VARNFILE_OK, VARNFileSetFlags(file.handle(), 7));
    return file;
  };
  varn::File file = open_doomed();
  EXPECT_NE(0, Thrown([&] { file.Close(); }));
  EXPECT_FALSE(file.is_open());
  testing::internal::CaptureStderr();
  { varn::File dropped = open_doomed(); }
  std::string report = testing::internal::GetCapturedStderr();
#ifdef NDEBUG
  EXPECT_EQ("", report);
#else
  EXPECT_NE(std::string::npos, report.find("close-fails.trn")) << report;
#endif
}

TEST(CppApiTest, DestructorClosesMovesTransferAndFailuresThrowTheCode) {
  std::string path = varnfile_test::ScratchFile("raii.trn");
  varn::File::Create(path, varn::Method::Deflate).Add(5, 0, 0, "payload");  // closed at once
  varn::File a = varn::File::Open(path, varn::Access::Read);
  EXPECT_EQ("payload", a.Read().text());
  uint32_t handle = a.handle();
  a = varn::File();  // closes
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileClose(handle));
  a = varn::File::Open(path);
  handle = a.handle();
  varn::File b = std::move(a);
  EXPECT_FALSE(a.is_open());
  EXPECT_EQ(handle, b.handle());
  b.Abort();
  EXPECT_FALSE(varnfile_test::PathExists(path));
  EXPECT_EQ(VARNFILE_E_OPEN, Thrown([&] { varn::File::Open(path, varn::Access::Read); }));
  EXPECT_EQ(VARNFILE_E_OPEN, varn::File::TryOpen(path, varn::Access::Read, &a));
  EXPECT_FALSE(a.is_open());

  a = varn::File::Create("MEMORY$", varn::Method::ChainedPredictor);
  a.Add(1, 0, 0, "abc");
  EXPECT_EQ(VARNFILE_E_METHOD_LOCKED, Thrown([&] { a.SetMethod(varn::Method::None); }));
  a.Rewind();
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, a.TryAdd(1, 0, 0, nullptr, 70000));
  varn::Item item;
  EXPECT_TRUE(a.Read(&item));
  EXPECT_FALSE(a.Read(&item));  // the end of data is not an error
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, Thrown([&] { a.Read(); }));
  EXPECT_EQ(VARNFILE_OK, a.TryClose());
  EXPECT_EQ(VARNFILE_OK, a.TryClose());  // nothing left to close
  EXPECT_EQ("267 VARNFILE_E_CRC: item data fails its CRC check", varn::DescribeResult(267));
  // A NUL inside a name is shown, so that what() does not end there.
  try {
    varn::File::Open(std::string("a\0b", 3), varn::Access::Read);
    ADD_FAILURE() << "no error";
  } catch (const varn::Error& error) {
    EXPECT_STREQ("open a\\0b: 260 VARNFILE_E_INVALID_ARGUMENT: invalid argument", error.what());
  }
}

// What a refused call leaves: an invalid method never cuts an existing file
// nor leaves an invented one behind, and a copy into a file that holds
// records (which the library would copy over in place) changes nothing.
TEST(CppApiTest, RefusedCallsKeepWhatIsStored) {
  std::string path = varnfile_test::ScratchFile("kept.trn");
  varn::File::Create(path, varn::Method::None).Add(1, 0, 0, "one");
  const std::string stored = varnfile_test::Slurp(path);
  const auto bad = static_cast<varn::Method>(9);
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, Thrown([&] { varn::File::Create(path, bad); }));
  EXPECT_EQ(stored, varnfile_test::Slurp(path));
  const std::string dir = varnfile_test::ScratchFile("unique");
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, Thrown([&] { varn::File::CreateUnique(dir, "TRN", bad); }));
  EXPECT_FALSE(varnfile_test::PathExists(dir));

  // A NUL inside a name or a description would cut it short in the library.
  const std::string cut = path + std::string(1, '\0') + ".old";
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, Thrown([&] { varn::File::Create(cut, varn::Method::None); }));
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, Thrown([&] { varn::File::Remove(cut); }));
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, Thrown([&] { varn::File::Open(cut); }));
  EXPECT_EQ(stored, varnfile_test::Slurp(path));
  {
    varn::File file = varn::File::Open(path);
    EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT,
              Thrown([&] { file.SetDescription(std::string("ab\0cd", 5)); }));
    EXPECT_EQ("", file.description());
  }

  varn::File source = varn::File::Open(path, varn::Access::Read);
  varn::File target = varn::File::Create("MEMORY$", varn::Method::None);
  target.Add(9, 0, 0, "uno");  // as long as the source's item: the library would replace it
  target.Rewind();
  EXPECT_EQ(VARNFILE_E_CANNOT_REPLACE, Thrown([&] { target.DuplicateFrom(source); }));
  EXPECT_EQ(uint32_t{VARNFILE_FIRST_ITEM_POSITION}, target.Tell());
  EXPECT_EQ((Texts{"uno"}), Read(target.Items()));
  varn::File empty = varn::File::Create("MEMORY$", varn::Method::Deflate);
  empty.DuplicateFrom(source);
  EXPECT_EQ((Texts{"one"}), Read(empty.Items()));
}

// A backward range from a saved position reads nothing after it: damage
// further on does not keep it from the items before.
TEST(CppApiTest, ABackwardRangeFromAPositionIgnoresDamageAfterIt) {
  for (varn::Method method : {varn::Method::None, varn::Method::Predictor, varn::Method::ChainedDeflate,
                              varn::Method::ChainedPredictor, varn::Method::Deflate}) {
    SCOPED_TRACE(varn::MethodName(method));
    std::string path = varnfile_test::ScratchFile("damaged-after.trn");
    Positions at;
    {
      varn::File file = varn::File::Create(path, method);
      for (const char* text : {"aaaaaaaa", "bbbbbbbbbbbb", "cccccccccccccccc", "dddd"})
        at.push_back(file.Add(1, 0, 0, text));
    }
    {
      std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
      out.seekp(at[2] + 10);  // the third record's stored length
      out.put('\xEE');
    }
    varn::File file = varn::File::Open(path, varn::Access::Read);
    EXPECT_EQ((Texts{"bbbbbbbbbbbb", "aaaaaaaa"}), Read(file.ItemsReversed(at[1])));
    EXPECT_EQ((Texts{"aaaaaaaa"}), Read(file.ItemsReversed(at[0])));
    EXPECT_NE(0, Thrown([&] { Read(file.ItemsReversed(at[2])); }));
  }
}

// A failed read names where: the item's position in the Error and its
// message, the cursor behind a CRC-failing item, so that a forward loop can
// go on with the items after it and loses none.
TEST(CppApiTest, AFailedReadTellsWhereAndALoopGoesOnBehindIt) {
  for (varn::Method method : {varn::Method::None, varn::Method::Deflate}) {
    SCOPED_TRACE(varn::MethodName(method));
    std::string path = varnfile_test::ScratchFile("crc.trn");
    Positions at;
    {
      varn::File file = varn::File::Create(path, method);
      for (const char* text : {"zero", "one", "two", "three", "four"})
        at.push_back(file.Add(1, 0, 0, text));
    }
    {
      std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
      out.seekp(at[2] + 12);  // the third item's CRC
      out.put('\x5A');
    }
    varn::File file = varn::File::Open(path, varn::Access::Read);
    Texts texts;
    try {
      for (const varn::Item& item : file.Items()) texts.push_back(item.text());
      ADD_FAILURE() << "no error";
    } catch (const varn::Error& error) {
      EXPECT_EQ(VARNFILE_E_CRC, error.code());
      EXPECT_EQ(at[2], error.position());
      const std::string said =
          "read item at " + std::to_string(at[2]) + " of " + path + ": 267 VARNFILE_E_CRC";
      EXPECT_EQ(said, std::string(error.what()).substr(0, said.size()));
    }
    for (const varn::Item& item : file.Items(file.Tell())) texts.push_back(item.text());
    EXPECT_EQ((Texts{"zero", "one", "three", "four"}), texts);
    EXPECT_EQ(0u, varn::Error(VARNFILE_E_CRC, "other").position());
  }
}

// The aging limit in seconds, stored as the header's days, hours, minutes
// and seconds, up to the largest one the library counts.
TEST(CppApiTest, TheAgingLimitIsSetInSecondsAndAgesTheFile) {
  std::string path = varnfile_test::ScratchFile("aging.trn");
  {
    varn::File file = varn::File::Create(path, varn::Method::None);
    EXPECT_EQ(30u * 86400, file.agingLimitSeconds());
    file.SetAgingLimit(UINT32_MAX);
    EXPECT_EQ(uint64_t{UINT32_MAX}, file.agingLimitSeconds());
    file.Close();
  }
  const std::string bytes = varnfile_test::Slurp(path);
  EXPECT_EQ(std::string("\x2E\xC2\x06\x1C\x0F", 5), bytes.substr(42, 5));  // 49710 days 06:28:15
  varn::File file = varn::File::Open(path, varn::Access::Read);
  EXPECT_EQ(VARNFILE_E_ACCESS, Thrown([&] { file.SetAgingLimit(60); }));
}

}  // namespace
