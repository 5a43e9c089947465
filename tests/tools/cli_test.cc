// Runs the varnfile tool as a user would, on files the library writes under
// every method, and checks its output, exit status and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "varnfile.h"

namespace {

const std::vector<int> AllMethods = {0, 1, 2, 3, 4};

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Spit(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct TestItem {
  uint16_t command, extra;
  uint32_t value;
  std::string data;
  bool operator==(const TestItem& o) const {
    return command == o.command && extra == o.extra && value == o.value && data == o.data;
  }
};

// A mix of items: text, binary noise, long runs, an empty one, a large
// compressible one.
std::vector<TestItem> SampleItems(unsigned seed, int count) {
  std::mt19937 rng(seed);
  std::vector<TestItem> items;
  for (int i = 0; i < count; ++i) {
    TestItem item{static_cast<uint16_t>(1 + i % 7), static_cast<uint16_t>(rng() & 0xFFFF),
                  static_cast<uint32_t>(rng()), ""};
    if (i % 5 == 0) item.data = "order " + std::to_string(i) + " for customer " + std::to_string(rng() % 1000);
    if (i % 5 == 1) for (int k = 0; k < 300; ++k) item.data += static_cast<char>(rng() & 0xFF);
    if (i % 5 == 2) item.data.assign(2000 + i, static_cast<char>('a' + i % 26));
    if (i % 5 == 4) for (int k = 0; k < 5000; ++k) item.data += "line " + std::to_string(k % 37) + "\n";
    items.push_back(item);
  }
  return items;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The first field of a list row: the position.
std::string Position(const std::string& line) {
  std::string first;
  std::istringstream(line) >> first;
  return first;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tool_ = VARNFILE_TOOL_PATH;
    if (tool_.empty()) GTEST_SKIP() << "the tool is not built (VARNFILE_TOOLS=OFF)";
    const char* tmp = std::getenv("VARNFILE_TEST_TMP");
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::string(tmp != nullptr ? tmp : "/tmp") + "/cli_" + info->name() + "_" + std::to_string(getpid());
    std::system(("mkdir -p " + ShellQuote(dir_)).c_str());
  }
  void TearDown() override {
    if (!dir_.empty() && !HasFailure()) std::system(("rm -rf " + ShellQuote(dir_)).c_str());
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  ToolRun Tool(const std::vector<std::string>& args, const std::string& input = "") {
    std::string command = ShellQuote(tool_);
    for (const std::string& a : args) command += " " + ShellQuote(a);
    Spit(Path(".stdin"), input);
    command += " <" + ShellQuote(Path(".stdin")) + " >" + ShellQuote(Path(".stdout")) + " 2>" +
               ShellQuote(Path(".stderr"));
    int raw = std::system(command.c_str());
    return ToolRun{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(Path(".stdout")), Slurp(Path(".stderr"))};
  }

  // Makes a closed file of `items` through the library; returns the
  // position of each item.
  std::vector<uint32_t> MakeFile(const std::string& path, int method, const std::vector<TestItem>& items) {
    uint32_t h = 0;
    EXPECT_EQ(VARNFileCreateEx(&h, 0, path.c_str(), nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(VARNFileSetCompression(h, static_cast<uint16_t>(method)), 0);
    std::vector<uint32_t> positions = AddItems(h, items);
    EXPECT_EQ(VARNFileClose(h), 0);
    return positions;
  }
  std::vector<uint32_t> AddItems(uint32_t h, const std::vector<TestItem>& items) {
    std::vector<uint32_t> positions;
    for (const TestItem& item : items) {
      positions.push_back(0);
      EXPECT_EQ(VARNFileSeekToEnd(h, &positions.back()), 0);
      EXPECT_EQ(VARNFileAddItem(h, item.command, item.extra, item.value, static_cast<uint16_t>(item.data.size()),
                                reinterpret_cast<const uint8_t*>(item.data.data())),
                0);
    }
    return positions;
  }
  // Every live item of a file, read forwards through the library.
  std::vector<TestItem> ReadItems(const std::string& path) {
    std::vector<TestItem> items;
    uint32_t h = 0;
    EXPECT_EQ(VARNFileOpenEx(&h, VARNFILE_ACCESS_READ, path.c_str(), 0), 0) << path;
    std::vector<uint8_t> buffer(65535);
    for (TestItem item{};;) {
      uint16_t length = 65535;
      uint16_t rc = VARNFileReadItem(h, &item.command, &item.extra, &item.value, &length, buffer.data());
      if (rc != 0) {
        EXPECT_EQ(rc, VARNFILE_E_END_OF_FILE);
        break;
      }
      item.data.assign(reinterpret_cast<char*>(buffer.data()), length);
      items.push_back(item);
    }
    VARNFileClose(h);
    return items;
  }
  int FileMethod(const std::string& path) {
    std::string bytes = Slurp(path);
    return static_cast<uint8_t>(bytes[47]) | (static_cast<uint8_t>(bytes[48]) << 8);
  }
  std::string tool_, dir_;
};

TEST_F(CliTest, UsageAndErrors) {
  for (const char* sub : {"create", "add", "info", "list", "cat", "verify", "convert", "export", "import",
                          "set", "recover"}) {
    ToolRun run = Tool({sub, "--help"});
    EXPECT_EQ(run.status, 0) << sub;
    EXPECT_TRUE(Has(run.out, "Usage")) << sub;
  }
  EXPECT_NE(Tool({}).status, 0);
  EXPECT_NE(Tool({"frobnicate"}).status, 0);
  // Refusals name the result code on stderr.
  ToolRun run = Tool({"info", Path("missing.trn")});
  EXPECT_NE(run.status, 0);
  EXPECT_TRUE(Has(run.err, "274 VARNFILE_E_OPEN: file missing or cannot be opened")) << run.err;
  Spit(Path("short.trn"), std::string(100, 'x'));
  run = Tool({"list", Path("short.trn")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.err, "263") && Has(run.err, "VARNFILE_E_HEADER_UNREADABLE")) << run.err;
  // A file whose writer never closed it: info shows its header, then why
  // the library refuses it.
  uint32_t h = 0;
  ASSERT_EQ(VARNFileCreateEx(&h, 0, Path("open.trn").c_str(), nullptr, nullptr, nullptr, 0), 0);
  Spit(Path("never.trn"), Slurp(Path("open.trn")));
  ASSERT_EQ(VARNFileAbort(h), 0);
  run = Tool({"info", Path("never.trn")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.out, "closed         no")) << run.out;
  EXPECT_TRUE(Has(run.err, "264 VARNFILE_E_NOT_TRANSACTION_FILE")) << run.err;

  MakeFile(Path("a.trn"), 0, {{1, 0, 0, "x"}});
  run = Tool({"add", Path("a.trn"), "--cmd", "0xFF00", "--data", "x"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.err, "270")) << run.err;
  EXPECT_EQ(Tool({"create", Path("b.trn"), "--method", "7"}).status, 1);
  EXPECT_FALSE(std::ifstream(Path("b.trn")).good());
}

TEST_F(CliTest, CreateAddInfoListUnderEveryMethod) {
  for (int method : AllMethods) {
    SCOPED_TRACE(method);
    std::string path = Path("m.trn");
    std::remove(path.c_str());
    ASSERT_EQ(Tool({"create", path, "--method", std::to_string(method), "--description", "orders"}).status, 0);
    EXPECT_EQ(FileMethod(path), method);
    const std::string binary("\x00\x01\x02\xff binary", 11);
    Spit(Path("payload.bin"), binary);
    ASSERT_EQ(Tool({"add", path, "--cmd", "0x10", "--extra", "2", "--value", "4000000000", "--data", "hello world"})
                  .status, 0);
    ASSERT_EQ(Tool({"add", path, "--cmd", "17", "--file", Path("payload.bin")}).status, 0);
    ASSERT_EQ(Tool({"add", path, "--cmd", "18", "--stdin"}, "from stdin\n").status, 0);
    std::vector<TestItem> items = {{0x10, 2, 4000000000u, "hello world"}, {17, 0, 0, binary}, {18, 0, 0, "from stdin\n"}};
    EXPECT_EQ(ReadItems(path), items);
    ToolRun run = Tool({"info", path});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string methodLine = "method         " + std::to_string(method) + " (";
    for (const std::string& part : {std::string("3 live, 0 deleted, 0 end markers"), std::string("\"orders\""),
                                    std::string("closed         yes"), std::string("data bytes     33"), methodLine}) {
      EXPECT_TRUE(Has(run.out, part)) << part << " in " << run.out;
    }

    // Delete item 4 of twelve and put an end marker behind everything.
    items = SampleItems(method + 1, 12);
    std::vector<uint32_t> positions = MakeFile(path, method, items);
    uint32_t h = 0, end = 0;
    ASSERT_EQ(VARNFileOpen(&h, path.c_str(), 0), 0);
    ASSERT_EQ(VARNFileSetPosition(h, positions[4]), 0);
    ASSERT_EQ(VARNFileDeleteItem(h), 0);
    ASSERT_EQ(VARNFileSeekToEnd(h, &end), 0);
    ASSERT_EQ(VARNFileAddItem(h, VARNFILE_CMD_END_MARKER, 0, 0, 0, nullptr), 0);
    ASSERT_EQ(VARNFileClose(h), 0);
    EXPECT_TRUE(Has(Tool({"info", path}).out, "11 live, 1 deleted, 1 end markers"));
    // Rows: position, command, extra, value, length, stored length, crc.
    std::vector<std::string> lines = Lines(Tool({"list", path}).out);
    ASSERT_EQ(lines.size(), 1u + 11 + 1);  // heading, live items, end marker
    for (std::size_t i = 0, row = 1; i < items.size(); ++i) {
      if (i == 4) continue;
      std::istringstream fields(lines[row++]);
      std::string f[7];
      for (std::string& x : f) fields >> x;
      char expected[64];
      uint32_t next = i + 1 < items.size() ? positions[i + 1] : end;
      std::snprintf(expected, sizeof expected, "%u 0x%04X 0x%04X %u %zu %u", positions[i], items[i].command,
                    items[i].extra, items[i].value, items[i].data.size(), next - positions[i] - 22);
      EXPECT_EQ(f[0] + " " + f[1] + " " + f[2] + " " + f[3] + " " + f[4] + " " + f[5], expected);
      EXPECT_EQ(f[6], items[i].data.empty() ? "none" : "ok");
    }
    EXPECT_EQ(Position(lines[12]), std::to_string(end));
    EXPECT_TRUE(Has(lines[12], "end marker"));
    lines = Lines(Tool({"list", path, "--all"}).out);
    ASSERT_EQ(lines.size(), 1u + 12 + 1);
    EXPECT_TRUE(Has(lines[5], std::to_string(positions[4]) + " ") && Has(lines[5], "0xFF04") &&
                Has(lines[5], "deleted")) << lines[5];
    // Backwards: the same rows in the opposite order.
    std::vector<std::string> back = Lines(Tool({"list", path, "--all", "--reverse"}).out);
    ASSERT_EQ(back.size(), lines.size());
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(back[i], lines[lines.size() - i]);
  }
}

TEST_F(CliTest, ExportImportAndConvertKeepEveryItem) {
  for (int method : AllMethods) {
    SCOPED_TRACE(method);
    std::vector<TestItem> items = SampleItems(20 + method, 15);
    MakeFile(Path("e.trn"), method, items);
    ToolRun exported = Tool({"export", Path("e.trn")});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(Lines(exported.out).size(), items.size());
    ToolRun imported = Tool({"import", Path("i.trn"), "--force", "--method", std::to_string(method)}, exported.out);
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(ReadItems(Path("i.trn")), items);
    EXPECT_EQ(FileMethod(Path("i.trn")), method);
    // Same items under the same method: the same export, positions included.
    EXPECT_EQ(Tool({"export", Path("i.trn")}).out, exported.out);
  }
  for (const char* bad : {"{\"command\":1,\"data\":\"!!!\"}", "{\"extra\":1}", "{\"command\":70000}",
                          "{\"command\":1,\"data\":\"YQ==\",\"length\":2}", "{\"command\":65280}", "not json"}) {
    ToolRun run = Tool({"import", Path("bad.trn")}, std::string("{\"command\":1}\n") + bad + "\n");
    EXPECT_EQ(run.status, 1) << bad;
    EXPECT_TRUE(Has(run.err, "line 2")) << bad << ": " << run.err;
    EXPECT_FALSE(std::ifstream(Path("bad.trn")).good()) << bad;
  }
  ToolRun run = Tool({"import", Path("ok.trn"), "--method", "2"},
                     "{\"command\":1,\"extra\":2,\"value\":3,\"data\":\"YWJj\"}\n\n{\"command\":65282}\n");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadItems(Path("ok.trn")), (std::vector<TestItem>{{1, 2, 3, "abc"}}));

  // Convert between every pair of methods; the header fields come along.
  std::vector<TestItem> items = SampleItems(77, 10);
  for (int from : AllMethods) {
    std::string source = Path("src" + std::to_string(from) + ".trn");
    MakeFile(source, from, items);
    ASSERT_EQ(Tool({"set", source, "--description", "converted", "--flags", "5"}).status, 0);
    for (int to : AllMethods) {
      SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
      run = Tool({"convert", source, Path("dst.trn"), "--method", std::to_string(to), "--force"});
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(ReadItems(Path("dst.trn")), items);
      std::string bytes = Slurp(Path("dst.trn"));
      EXPECT_EQ(FileMethod(Path("dst.trn")), to);
      EXPECT_EQ(bytes.substr(73, 14), std::string("\x05\0\0\0converted\0", 14));
      EXPECT_EQ(bytes.substr(20, 8), std::string("dst.trn\0", 8));
    }
  }
  EXPECT_NE(Tool({"convert", Path("src0.trn"), Path("src0.trn"), "--method", "1", "--force"}).status, 0);
}

TEST_F(CliTest, VerifyFindsEachKindOfDamage) {
  std::vector<TestItem> items = SampleItems(5, 6);
  for (int method : AllMethods) {
    SCOPED_TRACE(method);
    std::vector<uint32_t> positions = MakeFile(Path("v.trn"), method, items);
    ToolRun run = Tool({"verify", Path("v.trn")});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, "0 problems")) << run.out;
    EXPECT_EQ(run.err, "");  // no progress bar off a terminal
    const std::string bytes = Slurp(Path("v.trn"));
    auto expectProblem = [&](const std::string& damaged, const std::string& problem) {
      Spit(Path("v.trn"), damaged);
      ToolRun r = Tool({"verify", Path("v.trn")});
      EXPECT_EQ(r.status, 1) << r.out;
      EXPECT_TRUE(Has(r.out, "problem at " + problem)) << r.out;
    };
    std::string flipped = bytes;
    flipped[positions[2] + 15] ^= 0x10;  // 2000 bytes of one letter
    expectProblem(flipped, std::to_string(positions[2]));
    flipped = bytes;
    flipped[positions[3] - 8] ^= 0x01;  // the trailer of item 2
    expectProblem(flipped, std::to_string(positions[2]) + ": trailer does not point back");
    expectProblem(bytes.substr(0, positions.back() + 20), std::to_string(positions.back()) + ": torn tail");
  }
}

TEST_F(CliTest, RecoverSalvagesNeverClosedAndTornFiles) {
  for (int method : AllMethods) {
    SCOPED_TRACE(method);
    // Records that share text, so that chained methods refer back to
    // earlier items, and some large ones, so that the writer flushes.
    std::vector<TestItem> items = SampleItems(40 + method, 10);
    for (uint32_t i = 0; i < 30; ++i)
      items.push_back({9, 0, i, "record " + std::to_string(i) + ": customer=ACME Corporation; amount=" +
                                    std::to_string(i * 37) + ".00 EUR; status=booked"});
    uint32_t h = 0, end = 0;
    ASSERT_EQ(VARNFileCreateEx(&h, 0, Path("open.trn").c_str(), nullptr, nullptr, nullptr, 0), 0);
    ASSERT_EQ(VARNFileSetCompression(h, static_cast<uint16_t>(method)), 0);
    std::vector<uint32_t> positions = AddItems(h, items);
    ASSERT_EQ(VARNFileSeekToEnd(h, &end), 0);
    // What a crash leaves: the bytes on disk while the writer holds the file.
    const std::string copy = Slurp(Path("open.trn"));
    ASSERT_EQ(VARNFileAbort(h), 0);
    Spit(Path("crashed.trn"), copy);
    std::vector<TestItem> complete;
    for (std::size_t i = 0; i < items.size(); ++i)
      if ((i + 1 < items.size() ? positions[i + 1] : end) <= copy.size()) complete.push_back(items[i]);
    ASSERT_FALSE(complete.empty());
    ToolRun run = Tool({"recover", Path("crashed.trn"), Path("saved.trn"), "--force"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadItems(Path("saved.trn")), complete);
    EXPECT_EQ(FileMethod(Path("saved.trn")), method);
    EXPECT_EQ(Slurp(Path("crashed.trn")), copy);  // the source is never changed
    EXPECT_EQ(Tool({"verify", Path("saved.trn")}).status, 0);

    // A torn last record is dropped; the header fields are kept.
    items = SampleItems(60 + method, 8);
    positions = MakeFile(Path("t.trn"), method, items);
    ASSERT_EQ(Tool({"set", Path("t.trn"), "--description", "keep me", "--flags", "9"}).status, 0);
    const std::string bytes = Slurp(Path("t.trn"));
    Spit(Path("t.trn"), bytes.substr(0, positions.back() + 17));
    run = Tool({"recover", Path("t.trn"), Path("r.trn"), "--force"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "at " + std::to_string(positions.back()) + ": torn last record")) << run.out;
    items.pop_back();
    EXPECT_EQ(ReadItems(Path("r.trn")), items);
    std::string saved = Slurp(Path("r.trn"));
    EXPECT_EQ(saved.substr(73, 12), std::string("\x09\0\0\0keep me\0", 12));
    EXPECT_EQ(saved.substr(36, 11), bytes.substr(36, 11));  // stamp and aging limit
    EXPECT_EQ(Tool({"verify", Path("r.trn")}).status, 0);
  }
}

TEST_F(CliTest, RecoverSkipsDamageAndRestartsChainsAtResetPoints) {
  // Without compression only the damaged items are lost.
  std::vector<TestItem> items = SampleItems(3, 10);
  std::vector<uint32_t> positions = MakeFile(Path("d.trn"), 0, items);
  std::string bytes = Slurp(Path("d.trn"));
  bytes[positions[2] + 14 + 5] ^= 0x40;  // data of item 2
  bytes[positions[6] + 10] ^= 0x01;      // stored length of item 6
  Spit(Path("d.trn"), bytes);
  ToolRun run = Tool({"recover", Path("d.trn"), Path("r.trn")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Has(run.out, "at " + std::to_string(positions[2]) + ": data does not decode")) << run.out;
  EXPECT_TRUE(Has(run.out, "at " + std::to_string(positions[6]) + ": "));
  items.erase(items.begin() + 6);
  items.erase(items.begin() + 2);
  EXPECT_EQ(ReadItems(Path("r.trn")), items);
  EXPECT_EQ(Tool({"verify", Path("r.trn")}).status, 0);

  // Two sessions of appends under a chained method: the first close marks a
  // reset point, so damage in the first chain does not cost the second.
  // Deleted items and end markers are kept.
  for (int method : {2, 3}) {
    SCOPED_TRACE(method);
    std::vector<TestItem> first = SampleItems(11, 6), second = SampleItems(12, 6);
    std::vector<uint32_t> p1 = MakeFile(Path("k.trn"), method, first);
    uint32_t h = 0;
    ASSERT_EQ(VARNFileOpen(&h, Path("k.trn").c_str(), 0), 0);
    std::vector<uint32_t> p2 = AddItems(h, second);
    ASSERT_EQ(VARNFileAddItem(h, VARNFILE_CMD_END_MARKER, 1, 2, 0, nullptr), 0);
    ASSERT_EQ(VARNFileSetPosition(h, p2[1]), 0);
    ASSERT_EQ(VARNFileDeleteItem(h), 0);
    ASSERT_EQ(VARNFileClose(h), 0);
    bytes = Slurp(Path("k.trn"));
    bytes[p1[4] + 14 + 1] ^= 0x55;  // inside the first chain
    Spit(Path("k.trn"), bytes);
    run = Tool({"recover", Path("k.trn"), Path("r.trn"), "--force"});
    ASSERT_EQ(run.status, 0) << run.err;
    // Items 0..3 of the first chain survive, then the second chain whole
    // (item 1 deleted, so not read back).
    std::vector<TestItem> saved = ReadItems(Path("r.trn"));
    ASSERT_GE(saved.size(), 4u + 5u);
    EXPECT_EQ(std::vector<TestItem>(saved.begin(), saved.begin() + 4), std::vector<TestItem>(first.begin(), first.begin() + 4));
    EXPECT_EQ(std::vector<TestItem>(saved.end() - 5, saved.end()),
              (std::vector<TestItem>{second[0], second[2], second[3], second[4], second[5]}));
    EXPECT_TRUE(Has(Tool({"info", Path("r.trn")}).out, "1 deleted, 1 end markers"));
    EXPECT_EQ(Tool({"verify", Path("r.trn")}).status, 0);
  }
}

}  // namespace
