// Runs the varnfile tool as a user would, under every method: one table of
// command lines with their exit status and output, on files the table makes
// and on a library-written file of two sessions and damaged copies of it;
// then the items and headers of the files the commands leave, and the list
// of every record.
#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "reliability/reliability_util.h"

namespace varnfile_test {
namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliTest : public ::testing::TestWithParam<uint16_t> {
 protected:
  void SetUp() override {
    if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  }
  std::string Path(const std::string& name) const {
    return ScratchFolder() + "/m" + std::to_string(method_) + "_" + name;
  }
  uint16_t method_ = GetParam();
};

struct Row {
  std::string line;  // "%" stands for the scratch prefix, {m} for the method, {pN} for pos[N]
  int status;
  std::string out = "", err = "", input = "";  // parts of the output, and the input
};

TEST_P(CliTest, CommandLines) {
  // A file of two sessions (the close between them marks a reset point for
  // the chained methods) with a deleted item (7) and an end marker.
  std::vector<Item> items;  // text, binary noise and long runs, all with data but item 1
  for (uint32_t n = 0; n < 12; ++n) {
    items.push_back(MakeItem(40 + method_, n, n % 4 == 3 ? 20000 : 600));
    items.back().data = n == 1 ? "" : items.back().data + "order " + std::to_string(n);
  }
  std::vector<uint32_t> pos = MakeFile(Path("v"), method_, {items.begin(), items.begin() + 6});
  ASSERT_EQ(6u, pos.size());
  uint32_t h = 0;
  ASSERT_EQ(0, VARNFileOpen(&h, Path("v").c_str(), 0));
  for (size_t i = 6; i <= 12; ++i) {
    pos.push_back(0);
    ASSERT_EQ(0, VARNFileSeekToEnd(h, &pos.back()));
    ASSERT_EQ(0, i < 12 ? AddItem(h, items[i])
                        : VARNFileAddItem(h, VARNFILE_CMD_END_MARKER, 1, 2, 0, nullptr));
  }
  ASSERT_EQ(0, VARNFileSetPosition(h, pos[7]));
  ASSERT_EQ(0, VARNFileDeleteItem(h));
  ASSERT_EQ(0, VARNFileClose(h));
  ASSERT_EQ(0, RunTool("set " + Path("v") + " --description 'keep me' --flags 9").status);
  const std::string bytes = Slurp(Path("v"));
  const char* damages[] = {"data", "trailer", "length", "torn"};
  const size_t damagedItem[] = {2, 2, 6, 11}, at[] = {pos[2] + 15, pos[3] - 8, pos[6] + 10, 0};
  std::string damaged[4];
  for (int d = 0; d < 4; ++d) {  // a data byte, the trailer of item 2, a stored length, a cut
    damaged[d] = d < 3 ? bytes : bytes.substr(0, pos[11] + 17);
    damaged[d][at[d]] ^= d < 3 ? 0x10 : 0;
    Spit(Path(damages[d]), damaged[d]);
  }
  std::vector<Row> rows = {
      {"--version", 0, "library version 272"},
      {"", 106, "", "A subcommand is required"},
      {"frobnicate", 106},
      {"create %b --method 7", 1, "", "expected 0..4"},
      {"info %missing", 1, "", "274 VARNFILE_E_OPEN: file missing or cannot be opened"},
      {"info %fifo", 1},  // refused, not waited on
      {"verify %fifo", 1, "", "not a regular file"},
      {"list %short", 1, "", "263 VARNFILE_E_HEADER_UNREADABLE"},
      {"info %never", 1, "closed         no", "264 VARNFILE_E_NOT_TRANSACTION_FILE"},
      {"create %a --method {m} --description orders", 0, "(method {m}, "},
      {"add %a --cmd 0x10 -e 2 -v 4000000000 --data 'hello world'", 0, "item 0x0010 at 174 (11 "},
      {"add %a --cmd 17 --file %payload", 0},
      {"add %a --cmd 18 --stdin", 0, "", "", "from stdin"},
      {"add %a --cmd 0xFF00 --data x", 1, "", "270 VARNFILE_E_RESERVED_ID"},
      {"create %a --method {m}", 1, "", "exists"},
      {"info %a", 0, "method         {m} ("},
      {"info %a", 0, "\"orders\"\nclosed         yes\nitems          3 live, 0 deleted, 0 end"},
      {"info %a", 0, "data bytes     32\n"},
      {"list %a", 0, "       174  0x0010  0x0002  4000000000      11"},
      {"cat %a --at 174", 0, "hello world"},
      {"cat %a --at 174 --hex", 0, "00000000  68 65 6c 6c 6f 20 77 6f  72 6c 64 "},
      {"cat %a --at 175", 1, "", "no record starts at 175"},
      {"verify %a", 0, "3 live items read forwards and backwards, 0 problems"},
      {"set %a --description converted --flags 5", 0},
      {"export %a", 0, "{\"position\":174,\"command\":16,\"extra\":2,\"value\":4000000000,"},
      {"export %a", 0, "\"length\":11,\"data\":\"aGVsbG8gd29ybGQ=\"}\n"},
      {"export %a", 0, "\"AAEC/yBiaW5hcnk=\""},
      {"export %a", 0, "\"ZnJvbSBzdGRpbg==\""},
      {"export %a --output %a.jsonl", 0},
      {"import %i --input %a.jsonl --method {m}", 0},
      {"export %i --output %i.jsonl", 0},
      {"convert %a %a --method 1 --force", 1, "", "are the same file"},
      {"import %j", 0, "", "",
       "{\"command\":1,\"value\":3,\"data\":\"YWJj\"}\n\n"
       "{\"command\":65282}"},
      {"info %v", 0, "11 live, 1 deleted, 1 end markers"},
      {"verify %v", 0, "11 live items read forwards and backwards, 0 problems"},
      {"verify %data", 1, "problem at {p2}: "},
      {"recover %data %rdata", 0, "at {p2}: data does not decode"},
      {"verify %trailer", 1, "problem at {p2}: trailer does not point back"},
      {"recover %trailer %rtrailer", 0, "at {p2}"},
      {"verify %length", 1, "problem at {p6}: "},
      {"recover %length %rlength", 0, "at {p6}: "},
      {"verify %torn", 1, "problem at {p11}: torn tail"},
      {"recover %torn %rtorn", 0, "at {p11}: torn last record"},
      {"info %rdata", 0, "1 deleted, 1 end markers"},
  };
  for (const char* bad : {"{\"command\":1,\"data\":\"!!!\"}", "{\"extra\":1}", "{\"command\":-1}",
                          "{\"command\":1,\"data\":\"YQ==\",\"length\":2}", "{\"command\":65280}",
                          "not json", "{\"command\":1,\"data\":\"Zg=\"}", "{\"command\":70000}",
                          "{\"command\":1,\"command\":2}", "{\"command\":1,\"data\":\"YQ==}"}) {
    rows.push_back({"import %bad", 1, "", "line 2", std::string("{\"command\":1}\n") + bad});
  }
  const std::string binary("\x00\x01\x02\xff binary", 11);
  Spit(Path("payload"), binary);
  Spit(Path("short"), std::string(100, 'x'));
  unlink(Path("fifo").c_str());
#if defined(_WIN32)
  ASSERT_EQ(0, MakeDirectory(Path("fifo")));  // Windows has no FIFOs: another non-regular file
#else
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
#endif
  // A file whose writer never closed it.
  ASSERT_EQ(0, VARNFileCreateEx(&h, 0, Path("open").c_str(), nullptr, nullptr, nullptr, 0));
  Spit(Path("never"), Slurp(Path("open")));
  ASSERT_EQ(0, VARNFileAbort(h));
  auto expand = [&](std::string s) {
    std::map<std::string, std::string> vars = {{"%", Path("")}, {"{m}", std::to_string(method_)}};
    for (int i : {2, 6, 11}) vars["{p" + std::to_string(i) + "}"] = std::to_string(pos[i]);
    for (const auto& [from, to] : vars) {
      for (size_t at; (at = s.find(from)) != std::string::npos;) s.replace(at, from.size(), to);
    }
    return s;
  };
  for (const Row& row : rows) {
    ToolRun run = RunTool(expand(row.line), row.input);
    EXPECT_EQ(row.status, run.status) << row.line << ": " << run.err;
    EXPECT_TRUE(Has(run.out, expand(row.out))) << row.line << ": " << run.out;
    EXPECT_TRUE(Has(run.err, row.err)) << row.line << ": " << run.err;
  }
  EXPECT_EQ("", RunTool("verify " + Path("v")).err);  // no progress bar off a terminal
  // No file from a failed create or import.
  EXPECT_FALSE(varnfile_test::PathExists(Path("b")) || varnfile_test::PathExists(Path("bad")));
  const std::vector<Item> added = {
      {0x10, 2, 4000000000u, "hello world"}, {17, 0, 0, binary}, {18, 0, 0, "from stdin"}};
  EXPECT_EQ(added, ReadFile(Path("a")));
  // Same items under the same method: the same export, positions included.
  EXPECT_EQ(added, ReadFile(Path("i")));
  EXPECT_EQ(Slurp(Path("a.jsonl")), Slurp(Path("i.jsonl")));
  EXPECT_EQ((std::vector<Item>{{1, 0, 3, "abc"}}), ReadFile(Path("j")));
  // Into every method; the header fields come along.
  for (uint16_t to = 0; to < 5; ++to) {
    ASSERT_EQ(0, RunTool(expand("convert %a %c -f -m ") + std::to_string(to)).status);
    EXPECT_EQ(added, ReadFile(Path("c")));
    std::string header = Slurp(Path("c")).substr(0, 100);
    EXPECT_EQ(std::string{char(to)} + '\0', header.substr(47, 2));
    EXPECT_EQ(std::string("\x05\0\0\0converted\0", 14), header.substr(73, 14));
    EXPECT_EQ("m" + std::to_string(method_) + "_c" + std::string(1, '\0'), header.substr(20, 5));
  }
  // Recover leaves the source alone and keeps the header fields and every
  // item that decodes (under chained methods, at least those before the
  // damage), in a file that verifies clean.
  // Recover leaves the source alone and keeps the header fields and every
  // item that decodes, in a file that verifies clean. Under the chained
  // methods damage may cost the rest of its session.
  for (int d = 0; d < 4; ++d) {
    std::string name = std::string("r") + damages[d], header = Slurp(Path(name)).substr(0, 100);
    std::vector<Item> saved = ReadFile(Path(name)), expected;
    for (size_t i = 0; i < 12; ++i) {
      if (i != 7 && i != damagedItem[d]) expected.push_back(items[i]);
    }
    if ((method_ == 2 || method_ == 3) && d < 3) {
      size_t before = damagedItem[d], after = d < 2 ? 5 : 0;  // the second session whole
      ASSERT_GE(saved.size(), before + after) << name;
      saved.erase(saved.begin() + before, saved.end() - after);
      expected.erase(expected.begin() + before, expected.end() - after);
    }
    EXPECT_EQ(expected, saved) << name;
    EXPECT_EQ(0, RunTool("verify " + Path(name)).status) << name;
    EXPECT_EQ(damaged[d], Slurp(Path(damages[d])));
    EXPECT_EQ(std::string{char(method_)} + '\0', header.substr(47, 2));
    EXPECT_EQ(std::string("\x09\0\0\0keep me\0", 12), header.substr(73, 12));
    EXPECT_EQ(bytes.substr(36, 11), header.substr(36, 11));  // stamp and aging limit
  }
  // List: position, command, extra, value, length, stored length, crc; the
  // deleted item only with --all; --reverse gives the same rows backwards.
  std::vector<std::string> lines, reverse;
  std::istringstream all(RunTool("list --all " + Path("v")).out);
  std::istringstream back(RunTool("list --all --reverse " + Path("v")).out);
  for (std::string line; std::getline(all, line);) lines.push_back(line);
  for (std::string line; std::getline(back, line);) reverse.push_back(line);
  ASSERT_EQ(1u + 12 + 1, lines.size());  // heading, items, end marker
  std::reverse(reverse.begin() + 1, reverse.end());
  EXPECT_EQ(lines, reverse);
  const char* crc[] = {"ok", "none", "-"};
  for (size_t i = 0; i < items.size(); ++i) {
    char row[100];
    std::snprintf(row, sizeof row, "%10u  0x%04X  0x%04X  %10u  %6zu  %6u  %s", pos[i],
                  i == 7 ? VARNFILE_CMD_DELETED : items[i].commandId, items[i].extraId,
                  items[i].extraValue, items[i].data.size(), pos[i + 1] - pos[i] - 22,
                  crc[i == 7 ? 2 : items[i].data.empty()]);
    EXPECT_EQ(row, lines[i + 1].substr(0, std::strlen(row)));
  }
  EXPECT_TRUE(Has(lines[8], "deleted") && Has(lines[13], std::to_string(pos[12]) + "  0xFF02"));
  std::string live = RunTool("list " + Path("v")).out;
  EXPECT_EQ(13, std::count(live.begin(), live.end(), '\n'));
}

INSTANTIATE_TEST_SUITE_P(Methods, CliTest, ::testing::Values(0, 1, 2, 3, 4),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return "method" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace varnfile_test
