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

// True when the library stores DEFLATE items. While the DEFLATE engines are
// not part of a build, methods 2 and 4 refuse every item with 260 and the
// tests run the other methods only.
bool HaveDeflate() {
  static const bool have = [] {
    uint32_t h = 0;
    if (VARNFileCreateEx(&h, 0, "MEMORY$", nullptr, nullptr, nullptr, 0) != 0) return false;
    bool ok = VARNFileAddItem(h, 1, 0, 0, 3, reinterpret_cast<const uint8_t*>("abc")) == 0;
    VARNFileClose(h);
    if (!ok) std::fprintf(stderr, "note: DEFLATE is not built in; methods 2 and 4 are skipped\n");
    return ok;
  }();
  return have;
}

std::vector<int> Methods(std::vector<int> wanted = {0, 1, 2, 3, 4}) {
  std::vector<int> methods;
  for (int m : wanted)
    if ((m != 2 && m != 4) || HaveDeflate()) methods.push_back(m);
  return methods;
}

// The chained method to test with: DEFLATE where there is one.
int Chained() { return HaveDeflate() ? 2 : 3; }

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
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

std::ostream& operator<<(std::ostream& os, const TestItem& item) {
  return os << "{cmd " << item.command << ", extra " << item.extra << ", value " << item.value
            << ", " << item.data.size() << " bytes}";
}

// A mix of items: text, binary noise, long runs, an empty one, a large
// compressible one.
std::vector<TestItem> SampleItems(unsigned seed, int count) {
  std::mt19937 rng(seed);
  std::vector<TestItem> items;
  for (int i = 0; i < count; ++i) {
    TestItem item{static_cast<uint16_t>(1 + i % 7), static_cast<uint16_t>(rng() & 0xFFFF),
                  static_cast<uint32_t>(rng()), ""};
    switch (i % 5) {
      case 0: item.data = "order " + std::to_string(i) + " for customer " + std::to_string(rng() % 1000); break;
      case 1: for (int k = 0; k < 300; ++k) item.data += static_cast<char>(rng() & 0xFF); break;
      case 2: item.data.assign(2000 + i, static_cast<char>('a' + i % 26)); break;
      case 3: break;
      case 4:
        for (int k = 0; k < 5000; ++k) item.data += "line " + std::to_string(k % 37) + "\n";
        break;
    }
    items.push_back(item);
  }
  return items;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tool_ = VARNFILE_TOOL_PATH;
    if (tool_.empty()) GTEST_SKIP() << "the tool is not built (VARNFILE_TOOLS=OFF)";
    const char* tmp = std::getenv("VARNFILE_TEST_TMP");
    std::string base = tmp != nullptr ? tmp : "/tmp";
    mkdir(base.c_str(), 0777);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = base + "/cli_" + info->test_suite_name() + "_" + info->name() + "_" +
           std::to_string(getpid());
    for (char& c : dir_)
      if (c == '/' && &c > &dir_[base.size()]) c = '_';
    std::system(("rm -rf " + ShellQuote(dir_)).c_str());
    ASSERT_EQ(mkdir(dir_.c_str(), 0777), 0);
  }
  void TearDown() override {
    if (!dir_.empty() && !HasFailure()) std::system(("rm -rf " + ShellQuote(dir_)).c_str());
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  ToolRun Tool(const std::vector<std::string>& args, const std::string& input = "") {
    std::string command = ShellQuote(tool_);
    for (const std::string& a : args) command += " " + ShellQuote(a);
    std::string in = Path(".stdin"), out = Path(".stdout"), err = Path(".stderr");
    Spit(in, input);
    command += " <" + ShellQuote(in) + " >" + ShellQuote(out) + " 2>" + ShellQuote(err);
    int raw = std::system(command.c_str());
    ToolRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = Slurp(out);
    run.err = Slurp(err);
    return run;
  }

  // Makes a closed file of `items` through the library; returns the
  // position of each item.
  std::vector<uint32_t> MakeFile(const std::string& path, int method,
                                 const std::vector<TestItem>& items) {
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
      uint32_t at = 0;
      EXPECT_EQ(VARNFileSeekToEnd(h, &at), 0);
      positions.push_back(at);
      EXPECT_EQ(VARNFileAddItem(h, item.command, item.extra, item.value,
                                static_cast<uint16_t>(item.data.size()),
                                reinterpret_cast<const uint8_t*>(item.data.data())),
                0);
    }
    return positions;
  }

  // Every live item of a file, read forwards through the library.
  std::vector<TestItem> ReadItems(const std::string& path) {
    std::vector<TestItem> items;
    uint32_t h = 0;
    uint16_t rc = VARNFileOpenEx(&h, VARNFILE_ACCESS_READ, path.c_str(), 0);
    EXPECT_EQ(rc, 0) << path;
    if (rc != 0) return items;
    std::vector<uint8_t> buffer(65535);
    for (;;) {
      TestItem item{};
      uint16_t length = 65535;
      rc = VARNFileReadItem(h, &item.command, &item.extra, &item.value, &length, buffer.data());
      if (rc == VARNFILE_E_END_OF_FILE) break;
      EXPECT_EQ(rc, 0);
      if (rc != 0) break;
      item.data.assign(reinterpret_cast<char*>(buffer.data()), length);
      items.push_back(item);
    }
    EXPECT_EQ(VARNFileClose(h), 0);
    return items;
  }

  uint16_t FileMethod(const std::string& path) {
    std::string bytes = Slurp(path);
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[47]) | (static_cast<uint8_t>(bytes[48]) << 8));
  }

  std::string tool_;
  std::string dir_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The list row fields: position, command, extra, value, length, stored, crc.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string f; in >> f;) fields.push_back(f);
  return fields;
}

std::string Hex4(unsigned v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

// ---------------------------------------------------------------------------
// Usage and errors

TEST_F(CliTest, HelpOnEverySubcommand) {
  for (const char* sub : {"create", "add", "info", "list", "cat", "verify", "convert", "export",
                          "import", "set", "recover"}) {
    ToolRun run = Tool({sub, "--help"});
    EXPECT_EQ(run.status, 0) << sub;
    EXPECT_NE(run.out.find("Usage"), std::string::npos) << sub << ": " << run.out;
  }
  EXPECT_NE(Tool({}).status, 0);
  EXPECT_NE(Tool({"frobnicate"}).status, 0);
}

TEST_F(CliTest, ErrorsNameTheResultCodeOnStderr) {
  ToolRun run = Tool({"info", Path("missing.trn")});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("274 VARNFILE_E_OPEN: file missing or cannot be opened"), std::string::npos)
      << run.err;

  // A file the library refuses: its header was never closed.
  std::string path = Path("short.trn");
  Spit(path, std::string(100, 'x'));
  run = Tool({"list", path});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("263"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("VARNFILE_E_HEADER_UNREADABLE"), std::string::npos) << run.err;

  // A file whose writer never closed it: info shows its header, then why
  // the library refuses it.
  uint32_t h = 0;
  ASSERT_EQ(VARNFileCreateEx(&h, 0, Path("open.trn").c_str(), nullptr, nullptr, nullptr, 0), 0);
  Spit(Path("never.trn"), Slurp(Path("open.trn")));
  ASSERT_EQ(VARNFileAbort(h), 0);
  run = Tool({"info", Path("never.trn")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("closed         no"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("264 VARNFILE_E_NOT_TRANSACTION_FILE"), std::string::npos) << run.err;

  MakeFile(Path("a.trn"), 0, {{1, 0, 0, "x"}});
  run = Tool({"add", Path("a.trn"), "--cmd", "0xFF00", "--data", "x"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("270"), std::string::npos) << run.err;
  run = Tool({"add", Path("a.trn"), "--cmd", "1"});  // no data given
  EXPECT_NE(run.status, 0);
  run = Tool({"create", Path("a.trn")});  // exists
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("exists"), std::string::npos);
  run = Tool({"create", Path("b.trn"), "--method", "7"});
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(std::ifstream(Path("b.trn")).good());
}

// ---------------------------------------------------------------------------
// create, add, set, info, list, cat

TEST_F(CliTest, CreateAddThenInfoAndListUnderEveryMethod) {
  for (int method : Methods()) {
    SCOPED_TRACE(method);
    std::string path = Path("m" + std::to_string(method) + ".trn");
    ToolRun run = Tool({"create", path, "--method", std::to_string(method), "--description", "orders"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(FileMethod(path), method);
    Spit(Path("payload.bin"), std::string("\x00\x01\x02\xff binary", 11));
    ASSERT_EQ(Tool({"add", path, "--cmd", "0x10", "--extra", "2", "--value", "4000000000", "--data",
                    "hello world"}).status, 0);
    ASSERT_EQ(Tool({"add", path, "--cmd", "17", "--file", Path("payload.bin")}).status, 0);
    ASSERT_EQ(Tool({"add", path, "--cmd", "18", "--stdin"}, "from stdin\n").status, 0);
    std::vector<TestItem> expected = {{0x10, 2, 4000000000u, "hello world"},
                                      {17, 0, 0, std::string("\x00\x01\x02\xff binary", 11)},
                                      {18, 0, 0, "from stdin\n"}};
    EXPECT_EQ(ReadItems(path), expected);

    run = Tool({"info", path});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("3 live, 0 deleted, 0 end markers"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("method         " + std::to_string(method) + " ("), std::string::npos);
    EXPECT_NE(run.out.find("\"orders\""), std::string::npos);
    EXPECT_NE(run.out.find("closed         yes"), std::string::npos);
    EXPECT_NE(run.out.find("data bytes     33"), std::string::npos) << run.out;
  }
}

TEST_F(CliTest, InfoAndListMatchTheLibrary) {
  for (int method : Methods()) {
    SCOPED_TRACE(method);
    std::string path = Path("f.trn");
    std::vector<TestItem> items = SampleItems(method + 1, 12);
    std::vector<uint32_t> positions = MakeFile(path, method, items);
    // Delete item 4 and put an end marker behind everything.
    uint32_t h = 0, end = 0;
    ASSERT_EQ(VARNFileOpen(&h, path.c_str(), 0), 0);
    ASSERT_EQ(VARNFileSetPosition(h, positions[4]), 0);
    ASSERT_EQ(VARNFileDeleteItem(h), 0);
    ASSERT_EQ(VARNFileSeekToEnd(h, &end), 0);
    ASSERT_EQ(VARNFileAddItem(h, VARNFILE_CMD_END_MARKER, 0, 0, 0, nullptr), 0);
    ASSERT_EQ(VARNFileClose(h), 0);

    ToolRun run = Tool({"info", path});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("11 live, 1 deleted, 1 end markers"), std::string::npos) << run.out;

    run = Tool({"list", path});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 1u + 11 + 1);  // heading, live items, end marker
    std::size_t row = 1;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i == 4) continue;
      std::vector<std::string> f = Fields(lines[row++]);
      ASSERT_GE(f.size(), 7u);
      EXPECT_EQ(f[0], std::to_string(positions[i]));
      EXPECT_EQ(f[1], Hex4(items[i].command));
      EXPECT_EQ(f[2], Hex4(items[i].extra));
      EXPECT_EQ(f[3], std::to_string(items[i].value));
      EXPECT_EQ(f[4], std::to_string(items[i].data.size()));
      uint32_t next = i + 1 < items.size() ? positions[i + 1] : end;
      EXPECT_EQ(f[5], std::to_string(next - positions[i] - 22));
      EXPECT_EQ(f[6], items[i].data.empty() ? "none" : "ok");
    }
    EXPECT_EQ(Fields(lines[row])[0], std::to_string(end));
    EXPECT_NE(lines[row].find("end marker"), std::string::npos);

    run = Tool({"list", path, "--all"});
    lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 1u + 12 + 1);
    EXPECT_EQ(Fields(lines[5])[0], std::to_string(positions[4]));
    EXPECT_EQ(Fields(lines[5])[1], "0xFF04");
    EXPECT_NE(lines[5].find("deleted"), std::string::npos);

    // Backwards: the same rows in the opposite order.
    ToolRun reverse = Tool({"list", path, "--all", "--reverse"});
    std::vector<std::string> back = Lines(reverse.out);
    ASSERT_EQ(back.size(), lines.size());
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(back[i], lines[lines.size() - i]);

    // A window: from the third item, two rows; backwards it includes the start.
    run = Tool({"list", path, "--from", std::to_string(positions[2]), "--limit", "2"});
    lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Fields(lines[1])[0], std::to_string(positions[2]));
    EXPECT_EQ(Fields(lines[2])[0], std::to_string(positions[3]));
    run = Tool({"list", path, "--reverse", "--from", std::to_string(positions[2])});
    lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Fields(lines[1])[0], std::to_string(positions[2]));
    EXPECT_EQ(Fields(lines[3])[0], std::to_string(positions[0]));
  }
}

TEST_F(CliTest, CatWritesOneItemsData) {
  std::vector<TestItem> items = SampleItems(9, 5);
  std::vector<uint32_t> positions = MakeFile(Path("c.trn"), Chained(), items);
  for (std::size_t i = 0; i < items.size(); ++i) {
    ToolRun run = Tool({"cat", Path("c.trn"), "--at", std::to_string(positions[i])});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, items[i].data) << i;
  }
  ToolRun run = Tool({"cat", Path("c.trn"), "--at", std::to_string(positions[0]), "--hex"});
  EXPECT_EQ(run.out.substr(0, 13), "00000000  6f ");  // "o" of "order"
  run = Tool({"cat", Path("c.trn"), "--at", std::to_string(positions[1] + 1)});
  EXPECT_EQ(run.status, 1);
}

TEST_F(CliTest, SetChangesHeaderFields) {
  MakeFile(Path("s.trn"), 0, {{1, 0, 0, "x"}});
  std::string before = Slurp(Path("s.trn"));
  ToolRun run = Tool({"set", Path("s.trn"), "--flags", "0xDEADBEEF", "--description", "changed"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::string after = Slurp(Path("s.trn"));
  EXPECT_EQ(after.substr(73, 4), std::string("\xEF\xBE\xAD\xDE", 4));
  EXPECT_EQ(after.substr(77, 8), std::string("changed\0", 8));
  EXPECT_EQ(after.substr(36, 6), before.substr(36, 6));  // stamp kept
  EXPECT_EQ(after.substr(174), before.substr(174));      // items untouched
  EXPECT_EQ(Tool({"set", Path("s.trn"), "--reset-aging"}).status, 0);
  EXPECT_NE(Tool({"set", Path("s.trn")}).status, 0);
  EXPECT_NE(Tool({"set", Path("s.trn"), "--description", std::string(65, 'd')}).status, 0);
}

// ---------------------------------------------------------------------------
// export, import, convert

TEST_F(CliTest, ExportThenImportGivesIdenticalItems) {
  for (int method : Methods()) {
    SCOPED_TRACE(method);
    std::vector<TestItem> items = SampleItems(20 + method, 15);
    MakeFile(Path("e.trn"), method, items);
    ToolRun exported = Tool({"export", Path("e.trn")});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(Lines(exported.out).size(), items.size());
    ToolRun imported = Tool({"import", Path("i.trn"), "--force", "--method", std::to_string(method)},
                        exported.out);
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(ReadItems(Path("i.trn")), items);
    EXPECT_EQ(FileMethod(Path("i.trn")), method);
    // Same items under the same method: the same export, positions included.
    EXPECT_EQ(Tool({"export", Path("i.trn")}).out, exported.out);
  }
}

TEST_F(CliTest, ImportRejectsBadLinesAndLeavesNoFile) {
  const char* bad[] = {
      "{\"command\":1,\"data\":\"!!!\"}",          // not base64
      "{\"extra\":1}",                             // no command
      "{\"command\":70000}",                       // too large
      "{\"command\":1,\"data\":\"YQ==\",\"length\":2}",  // length disagrees
      "{\"command\":65280}",                       // reserved id
      "not json",
  };
  for (const char* line : bad) {
    ToolRun run = Tool({"import", Path("bad.trn")}, std::string("{\"command\":1}\n") + line + "\n");
    EXPECT_EQ(run.status, 1) << line;
    EXPECT_NE(run.err.find("line 2"), std::string::npos) << line << ": " << run.err;
    EXPECT_FALSE(std::ifstream(Path("bad.trn")).good()) << line;
  }
  ToolRun run = Tool({"import", Path("ok.trn"), "--method", std::to_string(Chained())},
                 "{\"command\":1,\"extra\":2,\"value\":3,\"data\":\"YWJj\"}\n\n{\"command\":65282}\n");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadItems(Path("ok.trn")), (std::vector<TestItem>{{1, 2, 3, "abc"}}));
}

TEST_F(CliTest, ConvertBetweenEveryPairOfMethodsKeepsEveryItem) {
  std::vector<TestItem> items = SampleItems(77, 10);
  for (int from : Methods()) {
    std::string source = Path("src" + std::to_string(from) + ".trn");
    MakeFile(source, from, items);
    ASSERT_EQ(Tool({"set", source, "--description", "converted", "--flags", "5"}).status, 0);
    for (int to : Methods()) {
      SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
      std::string target = Path("dst.trn");
      ToolRun run = Tool({"convert", source, target, "--method", std::to_string(to), "--force"});
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(ReadItems(target), items);
      std::string bytes = Slurp(target);
      EXPECT_EQ(FileMethod(target), to);
      EXPECT_EQ(bytes.substr(73, 4), std::string("\x05\0\0\0", 4));
      EXPECT_EQ(bytes.substr(77, 10), std::string("converted\0", 10));
      EXPECT_EQ(bytes.substr(20, 8), std::string("dst.trn\0", 8));
    }
  }
  EXPECT_NE(Tool({"convert", Path("src0.trn"), Path("src0.trn"), "--method", "1", "--force"}).status, 0);
}

// ---------------------------------------------------------------------------
// verify

class VerifyTest : public CliTest {
 protected:
  // A closed MethodNone file of 6 items; the positions of its records.
  std::vector<uint32_t> MakeSample(int method = 0) {
    items_ = SampleItems(5, 6);
    positions_ = MakeFile(Path("v.trn"), method, items_);
    return positions_;
  }
  std::vector<TestItem> items_;
  std::vector<uint32_t> positions_;
};

TEST_F(VerifyTest, CleanFilesPassUnderEveryMethod) {
  for (int method : Methods()) {
    MakeSample(method);
    ToolRun run = Tool({"verify", Path("v.trn")});
    EXPECT_EQ(run.status, 0) << method << ": " << run.out << run.err;
    EXPECT_NE(run.out.find("0 problems"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");  // no progress bar off a terminal
  }
}

TEST_F(VerifyTest, FindsAFlippedDataByte) {
  for (int method : Methods()) {
    SCOPED_TRACE(method);
    MakeSample(method);
    std::string bytes = Slurp(Path("v.trn"));
    uint32_t at = positions_[2];  // 2000 bytes of one letter
    bytes[at + 14 + 1] ^= 0x10;
    Spit(Path("v.trn"), bytes);
    ToolRun run = Tool({"verify", Path("v.trn")});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("problem at " + std::to_string(at)), std::string::npos) << run.out;
  }
}

TEST_F(VerifyTest, FindsABrokenTrailer) {
  MakeSample();
  std::string bytes = Slurp(Path("v.trn"));
  uint32_t trailer = positions_[3] - 8;  // trailer of item 2
  bytes[trailer] ^= 0x01;
  Spit(Path("v.trn"), bytes);
  ToolRun run = Tool({"verify", Path("v.trn")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("problem at " + std::to_string(positions_[2]) +
                         ": trailer does not point back"),
            std::string::npos)
      << run.out;
}

TEST_F(VerifyTest, FindsATornTail) {
  MakeSample(Chained());
  std::string bytes = Slurp(Path("v.trn"));
  Spit(Path("v.trn"), bytes.substr(0, positions_.back() + 20));
  ToolRun run = Tool({"verify", Path("v.trn")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("problem at " + std::to_string(positions_.back()) + ": torn tail"),
            std::string::npos)
      << run.out;
}

// ---------------------------------------------------------------------------
// recover

class RecoverTest : public CliTest {};

TEST_F(RecoverTest, SalvagesEveryCompleteRecordOfANeverClosedFile) {
  for (int method : Methods()) {
    SCOPED_TRACE(method);
    // Records that share text, so that chained methods refer back to
    // earlier items, and some large ones, so that the writer flushes.
    std::vector<TestItem> items = SampleItems(40 + method, 10);
    for (uint32_t i = 0; i < 30; ++i)
      items.push_back({9, 0, i, "record " + std::to_string(i) + ": customer=ACME Corporation; "
                                "amount=" + std::to_string(i * 37) + ".00 EUR; status=booked"});
    std::string path = Path("open.trn");
    uint32_t h = 0;
    ASSERT_EQ(VARNFileCreateEx(&h, 0, path.c_str(), nullptr, nullptr, nullptr, 0), 0);
    ASSERT_EQ(VARNFileSetCompression(h, static_cast<uint16_t>(method)), 0);
    std::vector<uint32_t> positions = AddItems(h, items);
    uint32_t end = 0;
    ASSERT_EQ(VARNFileSeekToEnd(h, &end), 0);
    // What a crash leaves: the bytes on disk while the writer still holds
    // the file open.
    std::string copy = Slurp(path);
    ASSERT_EQ(VARNFileAbort(h), 0);
    Spit(Path("crashed.trn"), copy);
    std::vector<TestItem> complete;
    for (std::size_t i = 0; i < items.size(); ++i) {
      uint32_t recordEnd = i + 1 < items.size() ? positions[i + 1] : end;
      if (recordEnd <= copy.size()) complete.push_back(items[i]);
    }
    ASSERT_FALSE(complete.empty());

    ToolRun run = Tool({"recover", Path("crashed.trn"), Path("saved.trn"), "--force"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadItems(Path("saved.trn")), complete);
    EXPECT_EQ(FileMethod(Path("saved.trn")), method);
    EXPECT_EQ(Slurp(Path("crashed.trn")), copy);  // the source is never changed
    EXPECT_EQ(Tool({"verify", Path("saved.trn")}).status, 0);
  }
}

TEST_F(RecoverTest, DropsATornLastRecord) {
  for (int method : Methods()) {
    SCOPED_TRACE(method);
    std::vector<TestItem> items = SampleItems(60 + method, 8);
    std::vector<uint32_t> positions = MakeFile(Path("t.trn"), method, items);
    ASSERT_EQ(Tool({"set", Path("t.trn"), "--description", "keep me", "--flags", "9"}).status, 0);
    std::string bytes = Slurp(Path("t.trn"));
    Spit(Path("t.trn"), bytes.substr(0, positions.back() + 17));
    EXPECT_EQ(Tool({"verify", Path("t.trn")}).status, 1);

    ToolRun run = Tool({"recover", Path("t.trn"), Path("r.trn"), "--force"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("at " + std::to_string(positions.back()) + ": torn last record"),
              std::string::npos)
        << run.out;
    items.pop_back();
    EXPECT_EQ(ReadItems(Path("r.trn")), items);
    std::string saved = Slurp(Path("r.trn"));
    EXPECT_EQ(saved.substr(73, 4), std::string("\x09\0\0\0", 4));
    EXPECT_EQ(saved.substr(77, 8), std::string("keep me\0", 8));
    EXPECT_EQ(saved.substr(36, 11), bytes.substr(36, 11));  // stamp and aging limit
    EXPECT_EQ(Tool({"verify", Path("r.trn")}).status, 0);
  }
}

TEST_F(RecoverTest, SkipsDamageInTheMiddle) {
  // Without compression only the damaged item is lost; a broken header in the
  // middle costs only that record.
  std::vector<TestItem> items = SampleItems(3, 10);
  std::vector<uint32_t> positions = MakeFile(Path("d.trn"), 0, items);
  std::string bytes = Slurp(Path("d.trn"));
  bytes[positions[2] + 14 + 5] ^= 0x40;  // data of item 2
  bytes[positions[6] + 10] ^= 0x01;      // stored length of item 6
  Spit(Path("d.trn"), bytes);
  ToolRun run = Tool({"recover", Path("d.trn"), Path("r.trn")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("at " + std::to_string(positions[2]) + ": data does not decode"),
            std::string::npos) << run.out;
  EXPECT_NE(run.out.find("at " + std::to_string(positions[6]) + ": "), std::string::npos);
  std::vector<TestItem> expected;
  for (std::size_t i = 0; i < items.size(); ++i)
    if (i != 2 && i != 6) expected.push_back(items[i]);
  EXPECT_EQ(ReadItems(Path("r.trn")), expected);
  EXPECT_EQ(Tool({"verify", Path("r.trn")}).status, 0);
}

TEST_F(RecoverTest, KeepsDeletedItemsAndEndMarkersAndRestartsChainsAtResetPoints) {
  // Two sessions of appends under a chained method: the first close marks a
  // reset point. Damage in the first chain must not cost the second.
  for (int method : Methods({2, 3})) {
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
    std::string bytes = Slurp(Path("k.trn"));
    bytes[p1[4] + 14 + 1] ^= 0x55;  // inside the first chain
    Spit(Path("k.trn"), bytes);

    ToolRun run = Tool({"recover", Path("k.trn"), Path("r.trn"), "--force"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<TestItem> saved = ReadItems(Path("r.trn"));
    // Items 0..3 of the first chain survive, then the second chain whole
    // (item 1 deleted, so not read back).
    ASSERT_GE(saved.size(), 4u + 5u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(saved[i], first[i]);
    std::vector<TestItem> tail(saved.end() - 5, saved.end());
    std::vector<TestItem> expected = {second[0], second[2], second[3], second[4], second[5]};
    EXPECT_EQ(tail, expected);
    ToolRun info = Tool({"info", Path("r.trn")});
    EXPECT_NE(info.out.find("1 deleted, 1 end markers"), std::string::npos) << info.out;
    EXPECT_EQ(Tool({"verify", Path("r.trn")}).status, 0);
  }
}

}  // namespace
