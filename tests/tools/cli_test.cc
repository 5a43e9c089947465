// Runs the varnfile tool as a user would, under every method: one table of
// command lines with their exit status and output, on files the table makes
// and on a library-written file of two sessions and damaged copies of it;
// then the items and headers of the files the commands leave, and the list
// of every record.
#include <dirent.h>
#include <signal.h>
#if defined(_WIN32)
#include <direct.h>
#else
#include <fcntl.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#endif
#if defined(__linux__)
#include <sys/inotify.h>
#endif
#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "reliability/reliability_util.h"

namespace varnfile_test {
namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The names in a folder in order, each after a space, "." and ".." included.
std::string Listing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  for (dirent* entry; listing != nullptr && (entry = readdir(listing)) != nullptr;) names.push_back(entry->d_name);
  if (listing != nullptr) closedir(listing);
  std::sort(names.begin(), names.end());
  std::string all;
  for (const std::string& name : names) all += " " + name;
  return all;
}

#if !defined(_WIN32)
// Runs the tool with `args` in a child process, its output to /dev/null and
// its messages to `err`; `before` runs in the child first.
pid_t StartTool(const std::vector<std::string>& args, const std::string& err = "/dev/null",
                const std::function<void()>& before = [] {}) {
  const pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    freopen(err.c_str(), "w", stderr);
    before();
    std::vector<char*> argv{const_cast<char*>("varnfile")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(VARNFILE_TOOL_PATH, argv.data());
    _exit(127);
  }
  return pid;
}

// Waits until `ready` holds while the child `pid` runs: false if it ended first.
bool WhileRunning(pid_t pid, const std::function<bool()>& ready) {
  for (; !ready(); usleep(200)) {
    if (waitpid(pid, nullptr, WNOHANG) != 0) return false;
  }
  return true;
}
#endif

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
  // Parts of the output ("|" between; "!" before a part that must be missing),
  // of stderr, and the input.
  std::string out = "", err = "", input = "";
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
  // Damaged copies: a data byte of item 2, the record start in its trailer,
  // a stored length, a cut; a bit of item 2's trailer flags; and the flags
  // of items 2 and 5 each with an unknown bit set and the reset-point bit
  // flipped (item 5 ends the first session: under the chained methods a
  // reset point, which the damage takes away, as it puts one after item 2).
  // Item 2's trailer, its record start and flags both damaged, the
  // reset-point bit set among them; and that bit alone set in a trailer
  // that is otherwise whole. Under the chained methods the items behind
  // show that item 2 is no reset point.
  const char* damages[] = {"data", "trailer", "length", "torn", "flags", "reset", "both", "setreset"};
  const size_t whole = 12, damagedItem[] = {2, whole, 6, 11, whole, whole, whole, whole};
  const std::vector<std::pair<size_t, char>> flips[] = {
      {{pos[2] + 15, 0x10}}, {{pos[3] - 8, 0x10}}, {{pos[6] + 10, 0x10}}, {}, {{pos[3] - 2, 0x04}},
      {{pos[3] - 4, 0x01}, {pos[3] - 1, 0x40}, {pos[6] - 4, 0x01}, {pos[6] - 3, 0x02}},
      {{pos[3] - 7, 0x20}, {pos[3] - 4, 0x01}, {pos[3] - 3, 0x80}}, {{pos[3] - 4, 0x01}}};
  constexpr int damageCount = sizeof(damages) / sizeof(damages[0]);
  const bool chainedMethod = method_ == VARNFILE_METHOD_CHAINED_DEFLATE || method_ == VARNFILE_METHOD_CHAINED_PREDICTOR;
  std::string damaged[damageCount];
  for (int d = 0; d < damageCount; ++d) {
    damaged[d] = d == 3 ? bytes.substr(0, pos[11] + 17) : bytes;
    for (auto [at, mask] : flips[d]) damaged[d][at] ^= mask;
    Spit(Path(damages[d]), damaged[d]);
  }
  std::string twice = bytes;  // the data of items 2 and 4 damaged
  twice[pos[2] + 15] ^= 0x10;
  twice[pos[4] + 15] ^= 0x10;
  Spit(Path("twice"), twice);
  // A tail of zeros as long as a record without data, as a writer that
  // stopped may leave: no item.
  Spit(Path("zeros"), bytes + std::string(22, '\0'));
  // The trailer of the deleted item holds a flag no writer sets.
  Spit(Path("dflags"), std::string(bytes).replace(pos[8] - 1, 1, "\x40"));
  // The header zeroed, or its magic alone damaged: recover reads the records.
  Spit(Path("zerohead"), std::string(bytes).replace(0, 174, std::string(174, '\0')));
  Spit(Path("badmagic"), std::string(bytes).replace(0, 1, "k"));
  // A file that aged long ago: its stamp is in 1990.
  ASSERT_EQ(1u, MakeFile(Path("aged"), method_, {{0x10, 2, 7, "hello world"}}).size());
  const std::string aged = Slurp(Path("aged")).replace(36, 6, std::string("\x01\x01\x5a\0\0\0", 6));
  Spit(Path("aged"), aged);
  // Its limit of 49,711 days counts as 17:31:44: the library counts in 32 bits.
  Spit(Path("agedbad"), std::string(aged).replace(aged.size() - 8, 1, 1, static_cast<char>(aged[aged.size() - 8] ^ 1)));
  Spit(Path("wrapped"), std::string(aged).replace(42, 5, std::string("\x2f\xc2\0\0\0", 5)));
  SetEnvironment("COLUMNS", "80");  // the width of list's preview off a terminal
  // A large import whose last line is bad.
  std::string good;
  for (uint32_t i = 0; i < 8000; ++i)
    good += "{\"command\":1,\"value\":" + std::to_string(Mix(i)) + ",\"encoding\":\"text\",\"data\":\"row " +
            std::to_string(i) + " " + std::to_string(Mix(i + 1)) + "\"}\n";
  const std::string late = good + "{\"command\":1,\"encoding\":\"base64\",\"data\":\"!!!\"}\n";
  std::string lines150;
  for (int i = 0; i < 150; ++i) lines150 += "line " + std::to_string(i) + "\n";
  std::string wide = "x\n";  // then a line of 65,535 bytes of noise
  for (uint32_t i = 0; wide.size() < 2 + 65535; ++i) {
    char c = static_cast<char>(Mix(i));
    wide += c == '\n' || c == '\r' ? 'x' : c;
  }
  wide += "\n";
  std::string unclosed = "1,2,3,x\n4,5,6,\"open\n";  // 300 KB after a quote that is never closed
  while (unclosed.size() < 300000) unclosed += "more text, as if it were records\n";
  std::string twoByte32;  // 32 times U+00E9, 64 bytes of UTF-8
  for (int i = 0; i < 32; ++i) twoByte32 += "\xC3\xA9";
#if defined(_WIN32)
  const std::string notAFile = "fifo is a directory, not a file";  // a directory stands in for the FIFO
#else
  const std::string notAFile = "fifo is not a regular file, and only a file is replaced";
#endif
  std::vector<Row> rows = {
      {"--version", 0, "varnfile " VARNFILE_PACKAGE_VERSION "\nfile format version 272\n"},
      {"", 64, "", "Subcommands:\n  create "}, {"", 64, "", "\nvarnfile: a subcommand is required\n"},
      {"frobnicate", 64, "", "unknown subcommand \"frobnicate\"; the subcommands are: create, add,"},
      {"--help", 0, "\n  list                        List the items of a file, one line each\n"},  // the rest: help list
      {"help list", 0, "Usage: varnfile list [OPTIONS] FILE"}, {"list --help", 0, "Usage: varnfile list [OPTIONS] FILE"},
      {"help nope", 64, "", "unknown subcommand \"nope\""}, {"help help", 0, "Subcommands:\n"},
      {"help list extra", 64, "", "varnfile help: one subcommand, as in varnfile help list (\"extra\" is one too many)\n"},
      // -q and --wait may come before any subcommand, help too.
      {"-q help list", 0, "Usage: varnfile list [OPTIONS] FILE"},
      {"--wait 1 help verify", 0, "Usage: varnfile verify [OPTIONS] FILE"},
      {"list %short --version", 64, "", "varnfile list: --version goes before the subcommand (varnfile --version)\n"},
      // A mistyped subcommand gets the nearest; a file named first (as to sqlite3) the order.
      {"lst %short", 64, "", "unknown subcommand \"lst\" (did you mean list?); the subcommands are: create,"},
      {"help expot", 64, "", "unknown subcommand \"expot\" (did you mean export?)"},
      {"dump %short", 64, "", "unknown subcommand \"dump\" (did you mean export?)"},
      {"export %short --fromat csv", 64, "", "varnfile export: unknown option --fromat (did you mean --format?); varnfile help export lists"},
      {"list %short -n 2 --revers", 64, "", "unknown option --revers (did you mean --reverse?)"},
      {"list %short -Z", 64, "", "varnfile list: unknown option -Z; varnfile help list lists its options"},
      {"list %short %short", 64, "", "varnfile list: unexpected argument "},  // no option: the parser's words
      {"list %short --from", 64, "", "varnfile list: --from needs a value (POS|#N); varnfile help list shows its usage\n"},
      {"add %short", 64, "", "varnfile add: --cmd is required; varnfile help add shows its usage\n"},
      {"%short -n 1", 64, "", "short\": the subcommand comes first, as in varnfile info %short or varnfile list %short;"},
      {"create %b --method 7", 64, "", "expected 0..4"},
      {"create %nodir/b", 73, "", "directory %nodir does not exist (use --parents"},
      {"create %nodir/b --parents", 0},
      // A name that names a directory is refused before anything is made.
      {"create %nodir", 73, "", "nodir is a directory, not a file (%nodir/NAME names a new file in it)"},
      {"create %nodir --force", 73, "", "nodir is a directory, not a file"},
      {"create %nslash/ -p", 64, "", "nslash/\": the name of a new file cannot end in \"/\", which names a directory"},
      {"recover %v %rslash/", 64, "", "cannot end in \"/\""},
      {"export %v -o %eslash/", 64, "", "the name of the output cannot end in \"/\""},
      {"import %nodir2/c --parents --lines -m {m}", 0, "", "imported 1 item", "x\n"},
      {"import %w --lines -m 2", 73, "", ".varnfile-new-m{m}_w is in the way", "x\n"},  // not the tool's: kept
      {"add %missing --cmd 1 --file %nodir", 66, "", "%nodir is a directory, not a file"},
      {"import %missing --input %nodir", 66, "", "%nodir is a directory, not a file"},
      {"info %missing", 66, "", "missing: no such file"},
      {"list %missing -n 0", 66, "", "missing: no such file"},
      {"info %fifo", 66},  // refused, not waited on
      {"verify %fifo", 66, "", "fifo is not a regular file"},
      {"create %fifo", 73, "", notAFile}, {"create %fifo --force", 73, "", notAFile},
      {"list %short", 65, "", "short is not a transaction file (100 bytes"},
      {"info %never", 65, "closed         no|, as created: the items may use another (recover finds it)", "never closed properly"},
      {"create %a --method {m} --description orders", 0, "(method {m}, |a ages in 30 days 00:00:00: then it cannot be opened"},
      {"add %a --cmd 0x10 -e 2 -v 4000000000 --data 'hello world'", 0, "item 0x0010 at 174 (11 "},
      {"add %a --cmd 17 --file %payload", 0}, {"add %a --cmd 18 --stdin", 0, "", "", "from stdin"},
      {"create %a --method {m}", 73, "", "exists"},
      // The description's limit is 64 bytes: 32 two-byte characters fit, 33 do not.
      {"create %desc -d '" + twoByte32 + "'", 0},
      {"set %desc -d '" + twoByte32 + "\xC3\xA9'", 64, "", "at most 64 bytes, got 66 (a character outside ASCII"},
      {"info %desc", 0, "\"" + twoByte32 + "\""},
      {"import %dimp --lines -d '" + twoByte32 + "x'", 64, "", "at most 64 bytes, got 65 (", "x\n"},
      {"import %a --lines", 73, "", "a already exists (use --append to add to it, --force to replace it)", "x\n"},
      // Never a new file in place of its own input (the items of a stay as they are).
      {"import %a %a -f --lines", 64, "", "import: the input is %a itself"},
      {"add %a --cmd 1 --stdin", 64, "", "standard input holds more than 65535 bytes", std::string(70000, 'x')},
      {"create %sin -m {m}", 0}, {"add %sin --cmd 3 --file -", 0, "", "", "piped in"}, {"cat %sin '#0'", 0, "piped in"},
      // The data may follow the file (after -- when it starts with -); --json
      // prints the new item as list --json does, on stdout.
      {"add %sin -c 4 'after the file' --json", 0, "{\"position\":|,\"command\":4,\"extra\":0,\"value\":0,\"length\":14}\n|!added"},
      {"add %sin -c 5 -- '-5 EUR'", 0, "added item 0x0005 at "},
      {"add %sin -c 6 x --data y", 64, "", "DATA excludes --data"},
      {"list %sin --from '#1'", 0, "  ok    after the file\n|  ok    -5 EUR\n|!piped"},
      // --command is --cmd spelt out, as the JSON key and the heading spell it.
      {"add %sin --command 7 --data seven", 0, "added item 0x0007 at "},
      {"list %sin --command 7", 0, "  ok    seven\n|!-5 EUR"},
      {"add %a --cmd 1", 64, "", "--stdin (data piped in is read with --stdin only; --data '' for an item without data)", "piped"},
      {"info %a", 0, "method         {m} (|\"orders\"\nclosed         yes\nitems          3 live, 0 deleted, 0 end markers\ndata bytes     32\n"},
      {"info %a --json", 0, "\"description\":\"orders\",\"closed\":true,\"live\":3,\"deleted\":0,"},
      // The preview; binary data escaped and cut.
      {"list %a", 0, "       174  0x0010  0x0002  4000000000      11|  ok    hello world\n|  ok    \\x00\\x01\\x02...\n"},
      {"list %a --no-preview", 0, "  ok  \n"},
      // Characters that turn or hide the text around them show escaped.
      {"import %bidi --lines -m {m}", 0, "", "", "0\xE2\x80\xAA\n" "1\xE2\x80\xAE\n" "2\xE2\x81\xA6\n" "3\xE2\x81\xA9\n" "4\xE2\x80\x8B\n" "5\xE2\x80\x8F\n" "6\xE2\x80\xA8\n" "7\xE2\x80\xA9\n" "8\xEF\xBB\xBF\n"},
      {"list %bidi", 0, "  0\\u{202a}\n|  1\\u{202e}\n|  2\\u{2066}\n|  3\\u{2069}\n|  4\\u{200b}\n|  5\\u{200f}\n|  6\\u{2028}\n|  7\\u{2029}\n|  8\\u{feff}\n|!\xE2|!\xEF"},
      {"list %a --json", 0, "\"crc\":\"ok\",\"kind\":\"live\",\"encoding\":\"base64\",\"data\":\"AAEC/yBiaW5hcnk=\"}"},
      {"list %a --from '#1' -n 1", 0, "  0x0011  "},  // -n 1: only the item it starts at
      {"list %a --from=#-1 -n 1", 0, "  0x0012  "},
      {"export %a --from '#-9' --format text", 0, "174\t16\t|\tfrom stdin\n"},  // all 3, as tail -n 9
      {"cat %a --at 174", 0, "hello world"}, {"cat %a --at=#-1", 0, "from stdin"},
      // The item may also follow the file as its second word.
      {"cat %a '#2'", 0, "from stdin"}, {"cat %a 2", 64, "", "--at 2: no record starts there (records lie from 174 to "}, {"cat %a 2", 64, "", "); #2 is item 2 counted from 0"},
      {"cat %a --at 174 --hex", 0, "00000000  68 65 6c 6c 6f 20 77 6f  72 6c 64 "},
      {"verify %a", 0, "3 live items read forwards and backwards, 0 problems"},
      {"verify %a --json", 0, "\"records\":3,\"live\":3,\"aged\":false,\"ok\":true,\"problems\":[],\"unchecked\":0}"},
      {"set %a --description converted --flags 5 --aging 1:02:03:04", 0, "aging limit  1 days 02:03:04"},
      {"export %a", 0, "{\"position\":174,\"command\":16,\"extra\":2,\"value\":4000000000,\"length\":11,\"encoding\":\"text\",\"data\":\"hello world\"}\n|\"encoding\":\"base64\",\"data\":\"AAEC/yBiaW5hcnk=\""},
      {"export %a --format csv", 0, "position,cmd,extra,value,length,encoding,data\r\n174,16,2,4000000000,11,text,hello world\r\n"},
      {"export %a --format text", 0, "\t18\t0\t0\ttext\tfrom stdin\n"},
      {"export %a --output %a.jsonl", 0},
      {"export %a -o - --format csv", 0, "position,cmd,|\r\n174,16,2,4000000000,11,text,hello world\r\n"},
      {"export %a - --format text", 0, "\t18\t0\t0\ttext\tfrom stdin\n"},  // "-": stdout, not a file
      {"export %a --output %a.csv", 0},  // CSV, as its name says
      {"export %a --output %v", 73, "", "v is a transaction file; export writes over one only with --force"},
      {"export %a --format text --output %a.tsv", 0},
      {"export %a %a.pos.csv", 0}, {"import %ipos %a.pos.csv -m {m}", 0},  // as --output, --input
      {"export %ipos --format text", 0, "174\t16\t2\t4000000000\ttext\thello world\n"},
      {"import %i --input %a.jsonl --method {m}", 0}, {"import %ic --csv --input %a.csv --method {m}", 0},
      {"import %it --input %a.tsv --method {m}", 0},  // tab-separated, as its name says
      {"export %i --output %i.jsonl", 0},
      // The header comes along from --like (the method too), and options
      // given win over it; without either a new file gets 30 days, and says so.
      {"import %like --input %a.jsonl --like %a", 0, "", "imported 3 items into %like\n"},
      {"info %like", 0, "aging limit    1 days 02:03:04\n|method         {m} (|flags          0x00000005\ndescription    \"converted\"\n"},
      {"import %like2 --input %a.jsonl --like %a -m 0 --flags 7 -d mine --aging 2", 0},
      {"info %like2", 0, "aging limit    2 days 00:00:00\n|method         0 (|flags          0x00000007\ndescription    \"mine\"\n"},
      {"import %dflt --lines", 0, "", "dflt ages in 30 days 00:00:00: then it cannot be opened", "x\n"},
      {"import %a --append --aging 5", 64, "", "--flags, --aging and --like make a new file's header", "x\n"},
      {"import %nolike --like %text", 65, "", "--like: %text is not a transaction file", "x\n"},
      {"import %j", 0, "", "",
       "{\"command\":1,\"value\":3,\"length\":3,\"data\":\"YWJj\"}\n\n{\"command\":2,\"encoding\":\"text\",\"data\":\"\\ud83d\\ude00\"}\n"
       "{\"command\":65282,\"encoding\":\"text\",\"data\":\"the end\"}"},
      {"cat %j --at=#-1", 0, "the end"},
      {"cat %j --at=#0", 0, "abc"},  // base64 of its "length": a line of an older export
      // Without "encoding" data is text, as written by hand or by jq, also
      // text that is base64 of another length.
      {"import %jtext", 0, "", "", "{\"command\":1,\"data\":\"test\"}\n{\"command\":2,\"length\":4,\"data\":\"abcd\"}\n"},
      {"export %jtext --format text", 0, "\t1\t0\t0\ttext\ttest\n|\t2\t0\t0\ttext\tabcd\n"},
      {"export %j", 0, "\"command\":65282,\"extra\":0,\"value\":0,\"length\":7,\"encoding\":\"text\",\"data\":\"the end\"}"},
      {"import %l --lines --cmd 7 --value 9 -m {m}", 0, "", "", "one, \"two\"\r\n\nbin\x01" "ary\n"},
      {"export %l --format csv", 0, ",7,0,9,10,text,\"one, \"\"two\"\"\"\r\n"},
      {"export %l", 0, "\"length\":0,\"encoding\":\"text\",\"data\":\"\"}\n|\"length\":7,\"encoding\":\"base64\",\"data\":\"YmluAWFyeQ==\"}\n"},
      {"import %k --csv", 0, "", "", "cmd,value,data\n5,6,\"multi\nline\"\n"},
      {"convert %data %k -m {m} --force", 65},  // k stays as it was
      {"import %k2 --csv --cmd 3 --extra 2", 0, "", "", "\xEF\xBB\xBF" "1,,3,plain\n"},
      // Column names in any letter case.
      {"import %kcaps --csv -m {m}", 0, "", "imported 2 items", "CMD,Extra,DATA\n4,5,six\n7,8,nine\n"},
      {"export %kcaps --format text", 0, "\t4\t5\t0\ttext\tsix\n|\t7\t8\t0\ttext\tnine\n"},
      {"import %kcaps2 --csv", 65, "", "line 1: the header row names the unknown column \"Text\"", "CMD,Text\n"},
      // As sqlite3 -csv -header writes a table with an id column first.
      {"import %kid --csv", 65, "", "line 1: the header row names the unknown column \"id\"", "id,cmd,data\n1,2,x\n"},
      {"import %k3 --csv", 65, "", "line 1: the header row names the unknown column \"text\"", "position,data,text\n174,YQ==,a\n"},
      // A bad line late in the input: no new file, the one --force would
      // replace as it was, nothing appended; from a file and from stdin.
      {"import %late --input %late.jsonl -m {m}", 65, "", "line 8001: the data is not base64"},
      {"import %late -m {m}", 65, "", "line 8001: the data is not base64", late},
      {"import %k --force --input %late.jsonl", 65, "", "line 8001: "},
      {"import %a --append --input %late.jsonl", 65, "", "line 8001: "},
      {"import %a --append", 65, "", "line 8001: ", late},
      {"import %nodir/b --append", 0, "", "imported 8000 items into %nodir/b, the first at position 174\n", good},  // stdin read twice
      // An append says where its items begin, and export --from finds them there.
      {"import %app --lines -m 0", 0, "", "imported 1 item into %app\n", "one\n"},
      {"import %app --append --lines", 0, "", "imported 2 items into %app, the first at position 199\n", "two\nthree\n"},
      {"export %app --from 199 --format text", 0, "\ttwo\n|\tthree\n|!one"},
      {"create %z --method {m}", 0},
      {"add %z --cmd 1 --file %noise64", method_ == 0 ? 0 : 64, "", method_ == 0 ? "" : "do not fit one item once compressed"},
      // From an input line it is bad input, as other bad lines are.
      {"import %wide --lines -m {m}", method_ == 0 ? 0 : 65, "",
       method_ == 0 ? "imported 2 items" : "line 2: 65535 bytes of data do not fit one item once compressed", wide},
      // Found only when written: an append keeps the items before it, and says so under -q too.
      {"import %wq --lines -m {m}", 0, "", "", "first\n"},
      {"import %wq --append --lines -q -d never", method_ == 0 ? 0 : 65, "",
       method_ == 0 ? "" : "1 item added to %wq before the failure, the first at position ", wide},
      // JSON Lines as sqlite3 -json gives a CSV table's text columns, with CSV's "cmd".
      {"info %wq", 0, method_ == 0 ? "description    \"never\"" : "!never"},  // left by the failed append
      {"import %wq --append --lines -d later", 0, "", ", and replaced its description\n", "more\n"},
      {"info %wq", 0, "description    \"later\""},
      {"import %jc -m {m}", 0, "", "imported 2 items", "{\"cmd\":\"7\",\"extra\":\"0x2\",\"value\":\"9\",\"data\":\"sq\"}\n{\"cmd\":8}\n"},
      {"list %jc --json", 0, "\"command\":7,\"extra\":2,\"value\":9,|\"command\":8,"},
      // A line (or CSV record) longer than any item's is refused where it
      // passes that length, not read whole into memory first.
      {"import %huge --lines", 65, "", "line 2: longer than 65535 bytes, the most one item holds", "x\n" + std::string(200000, 'y') + "\n"},
      {"import %huge --csv", 65, "", "line 2: a record of more than 196606 bytes, longer than any item's (is a quote not closed?)", unclosed},
      {"import %huge", 65, "", "line 1: more than 458746 bytes without a line end", std::string(500000, ' ')},
      {"convert %z %cz -m 4", method_ == 0 ? 64 : 0, "", method_ == 0 ? "an item of %z do not fit one item once compressed under method 4" : ""},
      {"info %v", 0, "11 live, 1 deleted, 1 end markers"},
      {"verify %v", 0, "11 live items read forwards and backwards, 0 problems"},
      {"verify %data", 65, "problem at {p2}: "},
      {"verify -q %data", 65, "problem at {p2}: |!live items read"},  // the problems, no summary
      {"verify %data --json", 65, "\"ok\":false,\"problems\":[{\"position\":{p2},"},
      {"info %data --json", 65, "\"crc_failures\":1"},
      {"export %data", 65, "{\"position\":174,"},  // the rows before the damage
      {"convert %data %cdata -m {m}", 65, "", "varnfile recover salvages"},
      // Without its deleted items: the live ones, the end marker and the
      // header fields, under the source's method unless -m says otherwise.
      {"convert %v %vdrop --drop-deleted", 0, "to %vdrop ({m} |, without 1 deleted item\n"},
      {"info %vdrop", 0, "method         {m} (|flags          0x00000009\ndescription    \"keep me\"\n|items          11 live, 0 deleted, 1 end markers\n"},
      {"convert %v %vdrop0 --drop-deleted -m 0", 0, "to %vdrop0 (0 none, "},
      {"convert %data %cdrop --drop-deleted", 65, "", "the item at {p2} of %data fails its CRC check (convert copies only intact files"},
      {"convert %length %cdrop --drop-deleted -m 0", 65, "", "the record at {p6} of %length is damaged"},
      // The library reads a record's worth of zeros behind the last record
      // as an item of command 0: copied, it would be an item nobody wrote.
      {"convert %zeros %czeros", 65, "", "the record at {pz} of %zeros is damaged (trailer does not point back at its record), and convert copies only intact files"},
      {"convert %zeros %czeros --drop-deleted -m 0", 65, "", "the record at {pz} of %zeros is damaged"},
      {"recover %data %rdata", 0, "at {p2}: data does not decode"},
      // A damaged trailer costs no item: the record behind it shows where
      // it ends. Verify reports it; recover repairs it.
      {"verify %trailer", 65, "problem at {p2}: trailer does not point back"},
      {"recover %trailer %rtrailer", 0, "recovered 13 of 13 |repaired 1 damaged trailer |\n  at {p2}: trailer does not point back at its record" +
       std::string(chainedMethod ? " (read as no reset point)\n" : "\n") + "|nothing dropped"},
      {"verify %flags", 65, "problem at {p2}: trailer holds unknown flags"},
      {"recover %flags %rflags", 0, "recovered 13 of 13 |\n  at {p2}: trailer holds unknown flags|nothing dropped"},
      {"verify %reset", 65, "problem at {p2}: trailer holds unknown flags|problem at {p5}: trailer holds unknown flags"},
      {"recover %reset %rreset", 0, "recovered 13 of 13 |repaired 2 damaged trailers |nothing dropped"},
      {"recover %both %rboth", 0, "recovered 13 of 13 |\n  at {p2}: trailer does not point back at its record|nothing dropped"},
      {"recover %setreset %rsetreset", 0, chainedMethod ? "recovered 13 of 13 |\n  at {p2}: reset point that the records behind "
       "it contradict (read as no reset point)\n|nothing dropped" : "recovered 13 of 13 |!repaired|nothing dropped"},
      {"list --all %trailer", 0, "(end marker)", "warning: record at {p2}: trailer does not point back at its record; its item is read on"},
      {"list --reverse %flags", 0, "\n       174  0x", "warning: record at {p2}: trailer holds unknown flags"},
      {"info %flags", 0, "11 live, 1 deleted, 1 end markers"},
      {"recover %zeros %rzeros", 0, "recovered 13 of 13 |22 bytes hold no consistent record|!repaired"},
      // Long reports stop at --max-problems / --max-dropped lines and count the rest.
      {"verify %trailer --max-problems 1", 65, "!problem at 174: |more problems (--max-problems 0 lists them all)\n%trailer: "},
      {"verify %trailer --max-problems -1", 64, "", "--max-problems: expected a whole number 0 or more"},
      {"recover %twice %rtwice --max-dropped 1", 0, "\n  at {p2}: | more (--max-dropped 0 lists them all)\n|!  at {p4}"},
      {"recover %twice %rtwice2 --max-dropped 0", 0, "\n  at {p2}: |\n  at {p4}: |!more"},
      // A cap beyond any count (and beyond 32 bits) lists them all, on every build.
      {"recover %twice %rtwice3 --max-dropped 0x100000000", 0, "\n  at {p2}: |\n  at {p4}: |!more"},
      {"verify %trailer --max-problems 4294967296", 65, "!more problems"},
      // Walks that stop at damage are not compared item by item: the
      // damage is the problem, and each walk's count is told.
      {"verify %length", 65, "problem at {p6}: |!walking backwards finds|live items read forwards, "},
      {"list %length", 65, "", "varnfile: record at {p6}: "},
      // Info shows the header and the counts up to the damage, with it.
      {"info %length --json", 65, "\"description\":\"keep me\",\"closed\":true,\"live\":6,\"deleted\":0,|"
       "\"damaged\":{\"position\":{p6},\"problem\":\"trailer does not point back at its record\"}}\n", "record at {p6}: "},
      {"info %length", 65, "description    \"keep me\"\n|\nitems          6 live, 0 deleted, 0 end markers (read up to the damage)\n|"
       "\ndamaged        at {p6}: trailer does not point back"},
      // A file never closed: its items counted as recover reads them, and
      // the one that does not decode named.
      {"info %never --json", 65, "\"closed\":false,\"live\":{nv},\"deleted\":0,\"end_markers\":0,|\"dropped\":0,\"damaged\":{\"problem\":\"", "never closed properly"},
      {"info %never", 65, "\nitems          {nv} live, 0 deleted, 0 end markers (as recover reads them|\ndamaged        never closed properly (varnfile recover copies"},
      {"verify %never", 65, "problem: the file was never closed properly (varnfile recover copies|: {nv} records, {nv} live items read as recover reads them (the file was never closed), 1 problem\n"},
      {"info %neverbad", 65, "\nitems          {nv1} live, 0 deleted, 0 end markers (as recover reads them|\ndropped        1, which recover leaves out"},
      {"verify %neverbad --json", 65, "\"live\":{nv1},|{\"position\":{nl},\"problem\":\"|(recover drops it)\"}"},
      {"list %length -r", 65, "", " (varnfile verify names every damaged record, varnfile recover salvages the items around them)\n"}, {"recover %length %rlength", 0, "at {p6}: "},
      {"verify %torn", 65, "problem at {p11}: torn tail"},
      // Read backwards, a torn file gives the items before the damage, then
      // reports it.
      {"list -r %torn", 65, "{p6}  0x|{p2}  0x|!{p11}  0x", "record at {p11}: record runs past the end of the file"},
      {"recover %torn %rtorn", 0, "at {p11}: torn last record"},
      {"list --all %dflags", 0, "(deleted)", "trailer holds unknown flags; its item is read on"},
      {"info %rdata", 0, "1 deleted, 1 end markers"},
      {"recover %noise %rnoise", 65, "", "noise is not a transaction file"},
      {"recover %text %rtext", 65, "", "text is not a transaction file"},
      {"recover %never %rnever", 0, "(method {m}, |nothing dropped"},
      // One item, never closed, decodes under a chained method and its twin
      // alike: the twin is taken, and the note does not claim the header wrong.
      {"recover %never1 %rnever1", 0, "nothing dropped", "{never1}"},
      {"info %noise", 65, "", "noise is not a transaction file (no KVRW magic)\n"},
      // A file of another kind is that first, before what its header's other bytes would mean.
      {"verify %noise --json", 65, "\"problems\":[{\"position\":0,\"problem\":\"not a transaction file: wrong magic (no KVRW)\"},"},
      {"info %zerohead", 65, "", "(no KVRW magic: its header is all zeros); if it was one, varnfile recover reads"},
      {"list %badmagic", 65, "", "(no KVRW magic: its magic is damaged); if it was one, varnfile recover reads"},
      {"recover %badmagic %rbadmagic", 0, "nothing dropped", "damaged magic"},
      // A header of zeros: the new file gets a fresh one (a stamp of 0 would
      // have aged), and opens.
      {"recover %zerohead %rzerohead", 0, "nothing dropped", "has a header of zeros"},
      {"info %rzerohead", 0, "closed         yes\n"},
      {"list %aged", 69, "", "aged has aged"},
      {"add %aged --cmd 1 --data x", 69, "", "both): rescue it with varnfile set --reset-aging"},
      {"set %aged --aging 0", 0, "aging limit  0 days", "aged has aged: an aging limit of 0 ages a file within a second"},
      {"set %aged --aging 30", 0, "aging limit  30 days", "aged has aged: its stamp is older than its aging limit"},
      {"info %wrapped", 0, "aging limit    49711 days 00:00:00 (counts as 0 days 17:31:44)\nages at        "},
      {"info %wrapped --json", 0, "\"aged\":true"},
      // An aged file is checked all the same: 69 means aged and sound.
      {"verify %aged", 69, "1 live items read forwards and backwards, 0 problems (the file has aged)\n", "read it as it is with --ignore-aging"},
      {"verify %agedbad", 65, "problem at 174: trailer does not point back|live items read forwards|(the file has aged)\n|!cannot open"},
      {"verify %aged --json", 69, "\"live\":1,\"aged\":true,\"ok\":true,\"problems\":[],\"unchecked\":0}", "read it as it is"},
      {"verify %agedbad --json", 65, "\"aged\":true,\"ok\":false"},  // aged and damaged
      {"list %aged --ignore-aging --no-preview", 0, "stored  crc \n       174  0x0010"},
      {"export %aged --ignore-aging", 0, "\"data\":\"hello world\""},
      {"convert %aged %caged -m 0 --ignore-aging", 0, "", "caged has aged like its source"},
      {"verify %aged --ignore-aging", 0, "0 problems (the file has aged)"},
      {"recover %aged %raged", 0, "", "raged has aged like its source"},
      {"recover %aged %raged2 --reset-aging", 0},
      // Items changed in place: every --at is checked before the first change.
      {"import %e --lines --cmd 5 -m {m}", 0, "", "", "alpha\nbravo\ncharlie\ndelta\necho\n"},
      {"delete %e --at 174 --at '#1' --at '#0'", 0, "", "deleted item 0x0005 at 174 (5 bytes)\ndeleted item 0x0005 at "},
      {"delete %e '#0' 174", 64, "", "--at 174: the item at 174 is already deleted"},
      {"update %e --at 174 --value 7", 64, "", "is deleted; give --cmd ID"},
      {"update %e --at 174 --cmd 6 --value 7", 0, "", "restored item at 174: command 0x0006, extra 0x0000, value 7"},
      {"update %e '#1' --cmd 8 -e 3", 0, "", "updated item at "},
      {"update %e --at '#1' --data CHARLIE", method_ == 0 ? 0 : 64, "", method_ == 0 ? ", new data" : "convert the file to method 0"},
      {"update %e --at '#1' --data short", 64, "", method_ == 0 ? "holds 7 bytes; new data replaces it in place only at the same length (5 given)" : ""},
      {"update %e --at '#-1' --cmd 0xFF02", 64, "", "varnfile: --cmd: 0xFF02 is reserved; "},
      {"update %e --at '#0'", 64, "", "update: nothing to change"},
      {"delete %e --at 175", 64, "", "--at 175: no record starts there"},
      {"delete %e --at {pe}", 64, "", "that is the end of data, no item"},
      {"update %v --at {p12} --cmd 1", 64, "", "is an end marker, which update leaves (varnfile delete --at {p12} removes it)"},
      // An end marker added by mistake hides the items after it from the
      // library's readers: delete --at removes it (--cmd never selects one).
      {"create %em -m {m}", 0}, {"add %em -c 1 --data before", 0}, {"add %em -c 0xFF02 --data stop", 0},
      {"add %em -c 2 --data after", 0}, {"cat %em '#2'", 0, "after"},
      {"delete %em --cmd 0xFF02", 64, "", "is reserved"},
      {"delete %em '#1'", 0, "", "(4 bytes): readers go on past it\n"},
      {"info %em", 0, "2 live, 1 deleted, 0 end markers"}, {"cat %em '#1'", 0, "after"},
      {"verify %em", 0, "3 records, 2 live items read forwards and backwards, 0 problems"},
      {"list --all %em", 0, "(deleted)|after"},
      {"delete %missing --at 174", 66, "", "no such file"},
      {"delete %never --at 174", 65, "", "never closed properly"},
      {"update %aged --at 174 -v 1", 69, "", "both): rescue it with varnfile set --reset-aging"},
      {"delete %trailer --at {p2}", 65, "", "the record at {p2} is damaged (trailer does not point back"},
      {"delete %trailer --cmd {c2}", 65, "", "the record at {p2} is damaged (trailer does not point back"},
      {"delete %e --cmd 5", 0, "", "deleted item 0x0005 at "},
      {"delete %e --cmd 5", 0, "", "no live item has command id 0x0005; nothing deleted"},
      {"import %many --lines --cmd 9 -m {m}", 0, "", "", lines150},
      {"delete %many --cmd 9", 0, "", "\n... and 50 more: 150 items deleted\n"},
      {"info %many", 0, "0 live, 150 deleted"},
      {"list --all %e", 0, "  -     (deleted)\n"},
      {"verify %e", 0, "5 records, 2 live items read forwards and backwards, 0 problems"},
      {"export %e --format text", 0, "\t6\t0\t7\ttext\talpha\n"},
      // Items selected by their ids; --limit counts the selected ones.
      {"import %sel --csv -m {m}", 0, "", "", "cmd,extra,data\n5,0,five-1\n7,0,seven\n5,3,five-2\n9,0,nine\n65282,0,stop\n"},
      {"list %sel --cmd 5", 0, "five-1|five-2|!seven|!nine|!end marker"},
      {"list %sel -c 5,9 -r -n 2", 0, "nine|five-2|!five-1|!end marker"},
      {"list %sel --cmd 9 --cmd 5 --from '#1' -n 1", 0, "five-2|!five-1|!nine"},
      {"list %sel -c 5 -e 3 --json", 0, "\"extra\":3,|!five-1"},
      {"list %sel -c 0xFF02", 0, "  ok    (end marker)  stop\n"},
      {"list %sel -c 0xFF02 --json", 0, "\"crc\":\"ok\",\"kind\":\"end marker\",\"encoding\":\"text\",\"data\":\"stop\"}"},
      // An end marker's data is checked as an item's is.
      {"verify %mark", 65, "problem at {pm}: end marker's data |1 live items read forwards and backwards, 1 problem"},
      {"cat %mark '#1'", 65, "", "read the end marker at {pm}: "},
      {"export %mark", 65, "\"data\":\"hello there\"}\n|!end of the day", "read the end marker at {pm}: "},
      {"list %mark --json", 65, "\"position\":{pm},|\"crc\":\"BAD\",\"kind\":\"end marker\""},
      {"list %mark", 65, "  BAD   (end marker)"},
      {"list %mark --no-preview", 0, "  -     (end marker)"},  // its data is not read
      {"info %mark --json", 65, "\"crc_failures\":1"},
      // Recover keeps a failing end marker without its data: readers still stop there.
      {"recover %mark %rmark", 0, "kept 1 end marker without data that failed its CRC check|\n  at {pm}: its data"},
      {"list %rmark --json", 0, "\"command\":65282,\"extra\":0,\"value\":0,\"length\":0,|\"kind\":\"end marker\"}"},
      {"list %sel --cmd 6", 0, "  data\n|!0x"},  // nothing selected: not an error
      {"export %sel -c 7 -c 9 --format text", 0, "\t7\t0\t0\ttext\tseven\n|\t9\t0\t0\ttext\tnine\n|!five", "exported 2 of 5 items"},
      {"export %sel --cmd 6", 0, "!five", "exported 0 of 5 items"},
      // #N counts live items alone, in every command: the item list --all
      // starts at is the one cat, update and delete take.
      {"import %hn --lines -m {m}", 0, "", "", "row 0\nrow 1\nrow 2\nrow 3\n"},
      {"delete %hn '#1'", 0, "", "deleted item 0x0000 at "},
      {"list --all %hn --from '#2' -n 1", 0, "row 3|!row 2"},
      {"cat %hn '#2'", 0, "row 3"},
      {"list --all %hn --from '#1' -n 2", 0, "row 2|row 3|!(deleted)"},
      {"list --all %hn --from '#-3' -n 2", 0, "row 0|(deleted)|!row 2"},
      {"export %hn --from '#1' -n 1 --format text", 0, "row 2|!row 1|!row 3"},
      {"list --all %hn --from '#3'", 64, "", "--from #3: the file holds 3 items"},
      // More items from the end than the file holds: from the first one,
      // included, also when deleted records come before it (as tail -n 9).
      {"delete %hn '#0'", 0, "", "deleted item 0x0000 at 174"},
      {"list %hn --from '#-9' -r", 0, "row 2|!row 3|!row 0"},
      {"export %hn --from '#-9' -r --format text", 0, "row 2\n|!row 0", "exported 1 item\n"},
      // export takes list's --limit, --reverse and --from; the summary counts the
      // whole range only when the walk went through it: a limit stops it, as LIMIT.
      {"export %sel -n 2 --format text", 0, "five-1|seven|!five-2", "exported 2 items\n"},
      {"export %sel -c 5 -r --format text", 0, "five-2\n174\t5\t0\t0\ttext\tfive-1\n|!nine", "exported 2 of 5 items"},
      {"export %sel --from '#-1' -r -n 2 -c 5,9", 0, "nine|five-2|!five-1|!stop", "exported 2 items\n"},
      {"export %v --from {p11} -n 1", 0, "{\"position\":{p11},|!\"position\":{p12},", "exported 1 item\n"},
      {"export %data -n 2", 0, "!\"position\":{p2},", "exported 2 items\n"},  // stops before the damage
      {"export %trailer -n 1", 0, "", "exported 1 item\n"},
      // Refused command lines (64), which change nothing.
      {"add %a --cmd 0xFF00 --data x", 64, "", "--cmd: 0xFF00 is reserved; "},
      {"list %a --from '#3'", 64, "", "--from #3: the file holds 3 items"},
      {"list %a --from 180", 64, "", "--from 180: no record starts there; it lies inside the record at 174"},
      {"cat %a --at 175", 64, "", "--at 175: no record starts there"},
      {"set %a --aging 1:2", 64, "", "expected DAYS or DAYS:HH:MM:SS"},
      {"set %a --aging 1y", 64, "", "--aging: expected DAYS or DAYS:HH:MM:SS (whole days, or days and hours, minutes, seconds: 30, 0:12:00:00), got \"1y\""},
      {"list %a --from -1", 64, "", "--from -1: a byte position is never negative; items from the end are #-N, '#-1' the last"},
      {"delete %a -1", 64, "", "--at -1: a byte position is never negative"},
      // The item of update and cat: --at or the word after the file, one of them.
      {"update %a -v 1", 64, "", "update: no item given (give it as --at POS|#N or after the file"},
      {"cat %a", 64, "", "cat: no item given"},
      {"update --help", 0, "(one of the two is needed)|!#N REQUIRED"},
      {"--help", 0, "  Change the ids, value or data of one item in place\n"},
      {"set %a --aging 1:24:00:00", 64, "", "larger than 23"},
      {"set %a --aging 49710:06:28:16", 64, "", "--aging: at most 49710:06:28:15"},
      {"set %a --aging 1000000", 64, "", "--aging: at most 49710:06:28:15"},
      {"create %never --aging 65535", 64, "", "counted in seconds, in 32 bits"},
      {"export %a --format xml", 64, "", "--format: expected jsonl, csv or text"},
      {"import %q --lines --format csv", 64, "", "--format csv and --lines name two formats"},
      // Messages that say what to do: text taken for JSON Lines, UTF-16
      // input, a length that does not match (both), --wait's help.
      {"import %hint --input %text", 65, "", "line 1: expected '{' at column 1 (the input is read as JSON Lines unless --lines, --csv or --format says otherwise)\n"},
      {"import %hint --format jsonl --input %text", 65, "", "line 1: expected '{' at column 1\n"},
      {"import %hint --lines", 65, "", "starts with a UTF-16 byte order mark, and import reads UTF-8: convert it first, e.g. iconv -f UTF-16 -t UTF-8", std::string("\xFF\xFEx\0\n\0", 6)},
      {"import %hint", 65, "", "line 1: \"length\" is 2, but the data holds 4 bytes as text, 1 byte as base64 (\"encoding\" says which it is)\n",
       "{\"command\":1,\"data\":\"YQ==\",\"length\":2}\n"},
      {"import %hint", 65, "", "line 1: the data is not base64 text (\"encoding\":\"text\" takes it as it is)\n",
       "{\"command\":1,\"encoding\":\"base64\",\"data\":\"a b\"}\n"},
      // sqlite3 -json writes a NULL column as null: as if not given.
      {"import %nulls", 0, "", "imported 2 items", "{\"cmd\":1,\"data\":null,\"extra\":null}\n{\"cmd\":2,\"value\":null,\"data\":\"x\"}\n"},
      {"import %nullcmd", 65, "", "line 1: no \"command\"", "{\"cmd\":null,\"data\":\"x\"}\n"},
      // Input of another kind: a transaction file, one JSON array, a JSON
      // line with a fault of its own (no hint about formats), CSV with
      // another separator.
      {"import %hint --input %a", 65, "", "the input is a transaction file, not items: varnfile convert SRC NEW copies one"},
      {"import %hint --csv --input %a", 65, "", "the input is a transaction file"},
      {"import %hint", 65, "", "line 1: expected '{' at column 1 (the input is one JSON array, and import reads one object per line: jq -c '.[]'",
       "[{\"command\":1,\"data\":\"x\"}]\n"},
      {"import %hint", 65, "", "line 1: key \"command\" appears twice at column 25\n", "{\"command\":1,\"command\":2}\n"},
      {"import %hint --csv", 65, "", "line 1: 1 field, not the 4 of cmd,extra,value,data (a header row names others): CSV fields are separated by commas, and this one holds ';'",
       "1;0;0;x\n"},
      {"import %hint --csv", 65, "", "and this one holds tabs (--format text reads", "cmd\textra\tvalue\tdata\n1\t0\t0\tx\n"},
      {"import %hint --csv", 65, "", "line 2: length is 3, but the data holds 2 bytes\n", "cmd,length,data\n1,3,ab\n"},
      {"list --help", 0, "  --wait SECONDS |!SECONDS:SECONDS"},
      {"convert %a %a --method 1 --force", 64, "", "are the same file"},
      {"export %a -o %a --force", 64, "", "the output is"},
      // A number that is refused says what is accepted.
      {"list %a -n -1", 64, "", "--limit: expected a whole number 0 or more (decimal, or hexadecimal after 0x), got \"-1\""},
      {"list %a --cmd x", 64, "", "--cmd: expected a whole number from 0 to 65535 (decimal, or hexadecimal after 0x), got \"x\""},
      {"list %a --wait nan", 64, "", "--wait: expected a number of seconds from 0 to 1000000 (fractions allowed), got \"nan\""},
      {"list %a --wait inf", 64, "", "--wait: expected a number of seconds"},
      {"list %a --wait -1", 64, "", "--wait: expected a number of seconds"},
      {"list %a --wait 0.5 -n 1", 0, "hello world"},
      {"list %a -n 99999999999999999999", 64, "", "is larger than"},
      {"list %a -n 0x", 64, "", "--limit: expected a whole number"},
      {"list %a --cmd 0x10000", 64, "", "--cmd: 0x10000 is larger than 65535"},
      {"export %a -e 5,", 64, "", "--extra: expected a whole number from 0 to 65535 (decimal, or hexadecimal after 0x), got \"\""},
      {"export %a -n x", 64, "", "--limit: expected a whole number 0 or more (decimal, or hexadecimal after 0x), got \"x\""},
      {"export %a --from '#3'", 64, "", "--from #3: the file holds 3 items"},
      {"-x", 64, "", "varnfile: unknown option \"-x\"; before a subcommand come only -q, --wait SECONDS"},
      {"-q --wait 1", 64, "", "varnfile: a subcommand is required; varnfile --help shows the usage\n"},
      {"export %a --from '#x'", 64, "", "--from #x: #N is an item's number, counted from 0 (#0 the first)"},
      {"cat %a 3", 64, "", "(records lie from 174 to the end of data at "},
      {"create 'MEMORY$'", 64, "", "names a memory file"},
  };
#if !defined(_WIN32)
  rows.push_back({"info %a >/dev/full 2>/dev/null || exit $?", 74});  // output lost is a failure
#endif
  for (const char* bad : {"{\"command\":1,\"encoding\":\"base64\",\"data\":\"!!!\"}", "{\"extra\":1}", "{\"command\":-1}",
                          "{\"command\":1,\"data\":\"YQ==\",\"length\":2}", "{\"command\":65280}",
                          "not json", "{\"command\":1,\"encoding\":\"base64\",\"data\":\"Zg=\"}", "{\"command\":70000}",
                          "{\"command\":1,\"command\":2}", "{\"command\":1,\"data\":\"YQ==}",
                          "{\"command\":1,\"colour\":2}", "{\"command\":1,\"encoding\":\"hex\"}",
                          "{\"command\":1,\"encoding\":\"text\",\"data\":\"\\udc00\"}",
                          "{\"cmd\":1,\"command\":1}", "{\"command\":\"1x\"}", "{\"command\":\"-1\"}"}) {
    rows.push_back({"import %bad", 65, "", "line 2", std::string("{\"command\":1}\n") + bad});
  }
  // Beyond damage, verify tells a file cut at a record boundary within a
  // session under a chained method (its last record does not end a chain),
  // and items whose data no CRC checks.
  const bool chained = method_ == VARNFILE_METHOD_CHAINED_DEFLATE || method_ == VARNFILE_METHOD_CHAINED_PREDICTOR;
  Spit(Path("cut"), bytes.substr(0, pos[3]));
  rows.push_back({"verify %cut", chained ? 65 : 0, chained ? "problem at {p2}: the last record does not end its chain" : "0 problems"});
  rows.push_back({"recover %cut %rcut", 0});
  rows.push_back({"verify %rcut", 0, "3 live items read forwards and backwards, 0 problems"});
  Spit(Path("nocrc"), std::string(bytes).replace(pos[2] + 12, 2, 2, '\0'));
  rows.push_back({"verify %nocrc", 0, "note: 1 item with data carries no CRC (0)"});
  rows.push_back({"verify %nocrc --json", 0, "\"unchecked\":1}"});
  // A header method that no writer sets (damage, or a foreign writer) is
  // reported, and the items are still checked the way the library reads
  // them: 1 and 3 are the predictor, any other value DEFLATE, chained when
  // the bit of value 2 is set.
  const std::string readAs = method_ == VARNFILE_METHOD_CHAINED_DEFLATE ? "chained-deflate" : "deflate";
  for (int header : method_ == VARNFILE_METHOD_CHAINED_DEFLATE ? std::vector<int>{6, 0x0102}
                    : method_ == VARNFILE_METHOD_DEFLATE       ? std::vector<int>{5, 0x0100}
                                                               : std::vector<int>{}) {
    const std::string name = "h" + std::to_string(header), unknown = "problem: unknown compression method " +
        std::to_string(header) + " in the header (the library reads the items as " + readAs + ")";
    std::string foreignMethod = std::string(bytes).replace(47, 2, std::string{char(header & 0xFF), char(header >> 8)});
    Spit(Path(name), foreignMethod);
    foreignMethod[pos[2] + 12] ^= 0x55;  // the CRC of item 2
    Spit(Path(name + "crc"), foreignMethod);
    rows.push_back({"verify %" + name, 65, unknown + "|13 records, 11 live items read forwards and backwards, 1 problem\n"});
    rows.push_back({"info %" + name, 0, "method         " + std::to_string(header) + " (unknown: read as " + readAs + ")\n"});
    rows.push_back({"info --json %" + name, 0, "\"method_name\":\"unknown\",\"read_as\":\"" + readAs + "\""});
    rows.push_back({"verify %" + name + "crc", 65, unknown + "|problem at {p2}: item data fails its CRC check"});
  }
  // An export that fails leaves an output that was there as it was.
  Spit(Path("kept.jsonl"), "old\n");
  rows.push_back({"export %data -o %kept.jsonl", 65, "", "fails its CRC check"});
  const std::string binary("\x00\x01\x02\xff binary", 11);
  Spit(Path("payload"), binary);
  Spit(Path("short"), std::string(100, 'x'));
  std::string noise, text;
  for (uint32_t i = 0; i < 6000; ++i) noise += static_cast<char>(Mix(i));
  for (uint32_t i = 0; i < 300; ++i) text += "line " + std::to_string(i) + " of some text\n";
  Spit(Path("noise"), noise);
  for (uint32_t i = 0; noise.size() < 65535; ++i) noise += static_cast<char>(Mix(i + 6000));
  Spit(Path("noise64"), noise);
  Spit(Path("text"), text);
  Spit(Path("late.jsonl"), late);
  const std::string foreign = ScratchFolder() + "/.varnfile-new-m" + std::to_string(method_) + "_w";
  Spit(foreign, "not ours");
  unlink(Path("fifo").c_str());
#if defined(_WIN32)
  ASSERT_EQ(0, MakeDirectory(Path("fifo")));  // Windows has no FIFOs: another non-regular file
#else
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  // A Unix socket is no regular file either (the system refuses to open it).
  sockaddr_un address{};
  unlink(Path("sock").c_str());
  if (Path("sock").size() < sizeof address.sun_path) {
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, Path("sock").c_str());
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address));
    close(sock);
    rows.push_back({"list %sock", 66, "", "sock is not a regular file"});
  }
  // A name the system cannot resolve: its reason, not "no such file".
  unlink(Path("loop").c_str());
  ASSERT_EQ(0, symlink(Path("loop").c_str(), Path("loop").c_str()));
  rows.push_back({"add %loop --cmd 1 --data x", 74, "", "open %loop: Too many levels of symbolic links"});
  // Another name of the target, or standard input read from it, is its input too.
  unlink(Path("alink").c_str());
  ASSERT_EQ(0, symlink(Path("a").c_str(), Path("alink").c_str()));
  rows.push_back({"import %a --input %alink -f --lines", 64, "", "import: the input is %a itself"});
  rows.push_back({"import %a -f --lines <%a 2>/dev/null || exit $?", 64});
  rows.push_back({"create %loop", 74, "", "create %loop: Too many levels of symbolic links"});
  // A scratch name that is another name of a transaction file: never cut.
  const std::string other = ScratchFolder() + "/.varnfile-new-m" + std::to_string(method_) + "_hl";
  unlink(other.c_str());
  ASSERT_EQ(0, link(Path("v").c_str(), other.c_str()));
  rows.push_back({"import %hl --lines -m 2", 73, "", "_hl is in the way", "x\n"});
  // An output that is no regular file (a link, /dev/null) is not removed when an export fails.
  unlink(Path("dlink").c_str());
  ASSERT_EQ(0, symlink(Path("dout").c_str(), Path("dlink").c_str()));
  rows.push_back({"export %data -o %dlink", 65, "", "fails its CRC check"});
  // ... nor the file a link leads to; one that succeeds replaces that file
  // (keeping its permissions), and the link stays.
  Spit(Path("ktarget.jsonl"), "old\n");
  Spit(Path("ktarget2.jsonl"), "old\n");
  chmod(Path("ktarget2.jsonl").c_str(), 0640);
  for (const char* name : {"klink.jsonl", "klink2.jsonl"}) unlink(Path(name).c_str());
  ASSERT_EQ(0, symlink(Path("ktarget.jsonl").c_str(), Path("klink.jsonl").c_str()));
  ASSERT_EQ(0, symlink(("m" + std::to_string(method_) + "_ktarget2.jsonl").c_str(), Path("klink2.jsonl").c_str()));  // relative
  rows.push_back({"export %data -o %klink.jsonl", 65, "", "fails its CRC check"});
  rows.push_back({"export %a -o %klink2.jsonl", 0});
  // Standard output named as the output is written as it is, not cut.
  Spit(Path("stdout.jsonl"), "old\n");
  rows.push_back({"export %a -o /dev/stdout >>%stdout.jsonl || exit $?", 0});
  // A FIFO as the output is written, not read first: its reader waits for the export.
  rows.push_back({"export %a -o %fifo --format csv & timeout 10 cat %fifo", 0, "position,cmd,|hello world"});
  unlink(Path("dlink2").c_str());  // a new file made through a link that leads nowhere yet
  ASSERT_EQ(0, symlink(Path("dout2").c_str(), Path("dlink2").c_str()));
  rows.push_back({"import %dlink2 --lines -m {m}", 0, "", "", "x\n"});
  unlink(Path("dlink3").c_str());  // ... and a failed one: the link stays, the file goes
  ASSERT_EQ(0, symlink(Path("dout3").c_str(), Path("dlink3").c_str()));
  rows.push_back({"import %dlink3 --lines -m {m}", 65, "", "line 2", "x\n" + std::string(65536, 'x')});
  rows.push_back({"import -p %pslash/ --lines -m {m}", 64, "", "the name of a new file cannot end in \"/\"", "x\n"});
  unlink(Path("dlink4").c_str());  // into a directory still to be made: only with --parents
  ASSERT_EQ(0, symlink(Path("dnew/x").c_str(), Path("dlink4").c_str()));
  rows.push_back({"import %dlink4 --lines -m {m}", 73, "", "(use --parents to create it)", "x\n"});
  // JSON is valid UTF-8 whatever the bytes: a description in CP1252 and a
  // file name in Latin-1 show their other bytes as \u00XX, text as \xNN;
  // data that is not UTF-8 goes as base64.
  // The preview counts the columns a terminal gives each character: an East
  // Asian one takes two, so 7 of them and "..." fill list's 18 at 80 columns.
  rows.push_back({"create %cjk -m 0", 0});
  rows.push_back({"add %cjk --cmd 1 --data '日本語のテキストです日本語'", 0});
  rows.push_back({"list %cjk", 0, "  ok    日本語のテキス...\n"});
  rows.push_back({"create %cp1252 -d 'Kasse Gr\xFC\xDF" "e'", 0});
  rows.push_back({"info %cp1252 --json", 0, "\"description\":\"Kasse Gr\\u00fc\\u00dfe\",|!\xFC"});
  rows.push_back({"info %cp1252", 0, "description    \"Kasse Gr\\xfc\\xdfe\"\n|!\xDF"});
  rows.push_back({"create %caf\xE9", 0});
  rows.push_back({"info %caf\xE9 --json", 0, "_caf\\u00e9\",|\"base_name\":\"m{m}_caf\\u00e9\",|!\xE9"});
  rows.push_back({"verify %caf\xE9 --json", 0, "_caf\\u00e9\",\"records\":0,|!\xE9"});
  // Text output and messages show such a byte as \xNN, and a line break or
  // a character that turns the text around it escaped too: one line each.
  rows.push_back({"info %caf\xE9", 0, "file           %caf\\xe9\n|!\xE9"});
  rows.push_back({"verify %caf\xE9", 0, "%caf\\xe9: 0 records|!\xE9"});
  rows.push_back({"create '%new\nline'", 0, "created %new\\x0aline (method |\n%new\\x0aline ages in 30 days"});
  rows.push_back({"info '%new\nline'", 0, "file           %new\\x0aline\n"});
  rows.push_back({"recover '%new\nline' '%new\nline2'", 0, " from %new\\x0aline into %new\\x0aline2 (method"});
  rows.push_back({"list '%gone\nnow\xE2\x80\xAE'", 66, "", "varnfile: %gone\\x0anow\\u{202e}: no such file\n"});
  rows.push_back({"set '%new\nline' --aging 0", 0, "", "%new\\x0aline "});  // a warning
  rows.push_back({"info %a 'extra\nword'", 64, "", "varnfile info: unexpected argument extra\\x0aword; varnfile help info shows its usage\n"});
  rows.push_back({"add %cp1252 --cmd 1 --data 'caf\xE9'", 0});
  rows.push_back({"list %cp1252 --json", 0, "\"encoding\":\"base64\",\"data\":\"Y2Fm6Q==\"}"});
#endif
  // A file whose end marker has one bit of its data flipped.
  const std::vector<uint32_t> markAt = MakeFile(Path("markok"), method_, {{1, 0, 0, "hello there"}, {VARNFILE_CMD_END_MARKER, 0, 0, "the end of the day"}});
  ASSERT_EQ(2u, markAt.size());
  std::string mark = Slurp(Path("markok"));
  mark[markAt[1] + 14 + (mark.size() - 8 - markAt[1] - 14) / 2] ^= 0x04;
  Spit(Path("mark"), mark);
  // A file whose writer never closed it: noise, then items that repeat the
  // one before, which under chained DEFLATE alone refer back to earlier items.
  ASSERT_EQ(0, VARNFileCreateEx(&h, 0, Path("open").c_str(), nullptr, nullptr, nullptr, 0));
  ASSERT_EQ(0, VARNFileSetCompression(h, method_));
  for (uint32_t n = 0; n < 300; ++n)
    ASSERT_EQ(0, AddItem(h, {1, 0, n, noise.substr(std::min(n, 255u) * 200, 200)}));
  const std::string never = Slurp(Path("open"));
  Spit(Path("never"), never);
  ASSERT_EQ(0, VARNFileAbort(h));
  // One item, never closed: its record decodes under more than one method.
  ASSERT_EQ(0, VARNFileCreateEx(&h, 0, Path("open").c_str(), nullptr, nullptr, nullptr, 0));
  ASSERT_EQ(0, VARNFileSetCompression(h, method_));
  ASSERT_EQ(0, VARNFileSetParameters(h, 16, 65536, 1024, 0));  // no write buffer
  ASSERT_EQ(0, AddItem(h, {1, 0, 0, "hello world"}));
  Spit(Path("never1"), Slurp(Path("open")));
  ASSERT_EQ(0, VARNFileAbort(h));
  // Its whole records, and a copy in which the last of them is damaged.
  size_t neverWhole = 0, neverLast = 0;
  for (size_t p = 174; p + 22 <= never.size();) {
    size_t next = p + 22 + (uint8_t(never[p + 10]) | uint8_t(never[p + 11]) << 8);
    if (next > never.size()) break;
    neverLast = p;
    p = next;
    ++neverWhole;
  }
  ASSERT_GT(neverWhole, 1u);
  const size_t flip = neverLast + 14 + (uint8_t(never[neverLast + 10]) | uint8_t(never[neverLast + 11]) << 8) / 2;
  Spit(Path("neverbad"), std::string(never).replace(flip, 1, 1, static_cast<char>(never[flip] ^ 0x20)));
  auto expand = [&](std::string s) {
    std::map<std::string, std::string> vars = {{"%", Path("")}, {"{m}", std::to_string(method_)}};
    for (int i : {2, 4, 5, 6, 11, 12}) vars["{p" + std::to_string(i) + "}"] = std::to_string(pos[i]);
    vars["{pe}"] = std::to_string(Slurp(Path("e")).size());
    vars["{pz}"] = std::to_string(bytes.size());  // where %zeros's zeros begin
    vars["{c2}"] = std::to_string(items[2].commandId);
    vars["{pm}"] = std::to_string(markAt[1]);
    vars["{nv}"] = std::to_string(neverWhole);
    vars["{nv1}"] = std::to_string(neverWhole - 1);
    vars["{nl}"] = std::to_string(neverLast);
    vars["{never1}"] = method_ == VARNFILE_METHOD_CHAINED_DEFLATE || method_ == VARNFILE_METHOD_CHAINED_PREDICTOR
                           ? "as created (the file was never closed); the items decode under method " +
                                 std::to_string(method_ == VARNFILE_METHOD_CHAINED_DEFLATE ? 4 : 1)
                           : "";
    for (const auto& [from, to] : vars) {
      for (size_t at; (at = s.find(from)) != std::string::npos;) s.replace(at, from.size(), to);
    }
    return s;
  };
  for (const Row& row : rows) {
    ToolRun run = RunTool(expand(row.line), row.input);
    EXPECT_EQ(row.status, run.status) << row.line << ": " << run.err;
    std::istringstream parts(expand(row.out));
    for (std::string part; std::getline(parts, part, '|');) {  // "!part": must not be there
      bool absent = !part.empty() && part[0] == '!';
      EXPECT_NE(absent, Has(run.out, part.substr(absent))) << row.line << ": " << run.out;
    }
    // Messages of several lines end their lines with CR LF on Windows.
    std::string err = run.err;
    for (size_t at; (at = err.find("\r\n")) != std::string::npos;) err.erase(at, 1);
    EXPECT_TRUE(Has(err, expand(row.err))) << row.line << ": " << run.err;
  }
  EXPECT_EQ("", RunTool("verify " + Path("v")).err);  // no progress bar off a terminal
  // Quiet runs: only the exit status. A reset aging limit opens again.
  for (auto [silent, status] : {std::pair{"list -n 0 %a", 0}, {"info %noise", 65}, {"verify -q %a", 0},
                                {"set -q %a --flags 5", 0}, {"-q set %a --flags 5", 0}, {"verify -q %raged2", 0},
                                {"set -q %aged --reset-aging", 0}, {"verify -q %aged", 0}}) {
    ToolRun run = RunTool(expand(silent));
    EXPECT_EQ(status, run.status) << silent;
    EXPECT_EQ("", run.out) << silent;
  }
#if !defined(_WIN32)
  // Off a terminal and without $COLUMNS, list keeps the data whole, so that
  // grep on its output finds what the items hold.
  SetEnvironment("COLUMNS", "");
  const ToolRun uncut = RunTool(expand("list %cjk"));
  SetEnvironment("COLUMNS", "80");
  EXPECT_TRUE(Has(uncut.out, "  ok    日本語のテキストです日本語\n")) << uncut.out;
  // Output lost after a change: the message says what was changed all the same.
  ToolRun full = RunTool(expand("add %app --cmd 1 --data x >/dev/full 2>%full.err || exit $?"));
  EXPECT_EQ(74, full.status);
  EXPECT_TRUE(Has(Slurp(Path("full.err")), "cannot write to standard output: No space left on device (the item "
                                           "was added to " + Path("app") + " at "));
  for (const char* line : {"create %fullnew", "set %app --description full"}) {
    full = RunTool(expand(std::string(line) + " >/dev/full 2>%full.err || exit $?"));
    EXPECT_EQ(74, full.status) << line;
    EXPECT_TRUE(Has(Slurp(Path("full.err")), "No space left on device (the ")) << line << ": " << Slurp(Path("full.err"));
  }
  EXPECT_TRUE(Has(Slurp(Path("full.err")), "(the header of " + Path("app") + " holds the change all the same)"));
  EXPECT_EQ(0, RunTool(expand("verify -q %fullnew")).status) << "the new file is in place";
#endif
  // A file another process holds is "in use", and --wait outlasts the holder.
  uint32_t holder = 0;  // the library's open is not inherited by the tool
  ASSERT_EQ(0, VARNFileOpenEx(&holder, VARNFILE_ACCESS_READ_WRITE, Path("a").c_str(), 0));
  for (const char* held : {"list %a", "add %a --cmd 1 --data x", "set %a --reset-aging", "recover %a %ra",
                           "delete %a --at 174", "update %a --at 174 -v 1", "export %e -o %a -f"}) {
    ToolRun run = RunTool(expand(held) + " --wait 0.1");
    EXPECT_EQ(75, run.status) << held;
    EXPECT_TRUE(Has(run.err, "a is in use by another process (waited 0.1 s)")) << held << run.err;
  }
  // --wait before the subcommand, as -q may stand.
  ToolRun early = RunTool(expand("--wait 0.1 info %a"));
  EXPECT_EQ(75, early.status);
  EXPECT_TRUE(Has(early.err, "(waited 0.1 s)")) << early.err;
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    VARNFileClose(holder);
  });
  EXPECT_EQ(0, RunTool(expand("list %a --wait 20")).status);
  release.join();
  // Text in and out: lines, CSV with and without a header row.
  EXPECT_EQ((std::vector<Item>{{5, 0, 6, "multi\nline"}}), ReadFile(Path("k")));
  EXPECT_EQ((std::vector<Item>{{1, 2, 3, "plain"}}), ReadFile(Path("k2")));
  EXPECT_EQ(0, access(Path("nodir/b").c_str(), F_OK));
#if !defined(_WIN32)
  struct stat link;
  EXPECT_TRUE(lstat(Path("dlink").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
  EXPECT_NE(0, access(Path("dout").c_str(), F_OK));  // a link that led nowhere still does
  EXPECT_EQ("old\n", Slurp(Path("ktarget.jsonl")));
  EXPECT_TRUE(lstat(Path("klink2.jsonl").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
  const std::string replaced = Slurp(Path("ktarget2.jsonl"));
  EXPECT_TRUE(Has(replaced, "\"data\":\"hello world\"}\n") && !Has(replaced, "old")) << replaced;
  struct stat mode;
  EXPECT_TRUE(stat(Path("ktarget2.jsonl").c_str(), &mode) == 0 && (mode.st_mode & 0777) == 0640) << mode.st_mode;
  const std::string viaStdout = Slurp(Path("stdout.jsonl"));
  EXPECT_TRUE(viaStdout.rfind("old\n{", 0) == 0 && Has(viaStdout, "hello world")) << viaStdout;
  EXPECT_EQ(0, access(Path("dout2").c_str(), F_OK));
  EXPECT_TRUE(lstat(Path("dlink3").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
  EXPECT_NE(0, access(Path("dout3").c_str(), F_OK));
  // A target that cannot be finished (its last writes, at the close, pass
  // the file-size limit as on a full disk) is reported and removed, and
  // the message says why and that it is gone.
  ASSERT_EQ(0, RunTool(expand("import %lim --lines --input %text -m {m}")).status);
  std::string numbers;
  for (uint32_t i = 0; i < 20000; ++i) numbers += std::to_string(Mix(i)) + "\n";
  Spit(Path("numbers"), numbers);
  struct rlimit limit, small;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &limit));
  small = {4096, limit.rlim_max};
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  for (auto [line, message] : std::initializer_list<std::pair<const char*, const char*>>{
           {"import %limi --lines --input %text -m {m}", "limi (removed it): 278 VARNFILE_E_WRITE: write or close failed (File too large)"},
           {"import %limj --lines --input %late.jsonl -m {m}", ": cannot add the item: 278 VARNFILE_E_WRITE: write or close failed (File too large); removed the unfinished /"},
           {"import %k -f --lines --input %late.jsonl -m {m}", "failed (File too large); /"},  // then "... k is as it was"
           {"convert %lim %limc -m {m}", "limc (removed it): 278 VARNFILE_E_WRITE: write or close failed (File too large)"},
           {"convert %lim %k -m {m} --force", "k (removed it; the old file is as it was): 278"},
           {"recover %lim %limr", "scratch file"}}) {  // its readable copy comes first
    ToolRun run = RunTool(expand(line));
    EXPECT_EQ(74, run.status) << line;
    EXPECT_TRUE(Has(run.err, message)) << line << ": " << run.err;
  }
  // An append that the limit stops counts the items its file holds, not
  // those its write buffer lost, and says where they begin and on which
  // input line to resume.
  const size_t held = ReadFile(Path("lim")).size();
  const std::string start = std::to_string(Slurp(Path("lim")).size());
  small.rlim_cur = Slurp(Path("lim")).size() + 100000;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  ToolRun stopped = RunTool(expand("import --append %lim --lines --input %numbers"));
  unsigned long kept = 0;
  EXPECT_TRUE(stopped.status == 74 && std::sscanf(stopped.err.c_str(), "%lu items added", &kept) == 1) << stopped.err;
  EXPECT_GT(kept, 0u);
  EXPECT_EQ(held + kept, ReadFile(Path("lim")).size()) << stopped.err;
  EXPECT_TRUE(Has(stopped.err, "the first at position " + start + ": ")) << stopped.err;
  EXPECT_TRUE(Has(stopped.err, " of the input, through line " + std::to_string(kept) + " (resume at line " +
                                   std::to_string(kept + 1) + ")\n")) << stopped.err;
  EXPECT_TRUE(Has(stopped.err, "write or close failed (File too large)\n")) << stopped.err;
  // An append from the file itself takes the items it checked, not what it
  // adds meanwhile, which would go on until the disk (here 8 MB) is full.
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
  ASSERT_EQ(0, RunTool(expand("import %self --lines -m {m}"), numbers).status);
  small.rlim_cur = 8 << 20;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  EXPECT_EQ(0, RunTool(expand("import --append %self --lines --input %self")).status);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
  EXPECT_EQ((std::vector<Item>{{5, 0, 6, "multi\nline"}}), ReadFile(Path("k")));
#endif
  // No file from a failed create, import, convert or recover.
  for (const char* name : {"b", "bad", "dimp", "hint", "huge", "k3", "late", "rnoise", "rtext", "cdata", "cdrop", "czeros", "limi", "limj", "limc", "limr", "w",
                           "nslash", "rslash", "eslash", "pslash"})
    EXPECT_NE(0, access(Path(name).c_str(), F_OK)) << name;
  EXPECT_NE(0, access("-", F_OK));  // export -o - wrote to stdout
  EXPECT_EQ("not ours", Slurp(foreign));
  EXPECT_EQ("old\n", Slurp(Path("kept.jsonl")));
  EXPECT_FALSE(Has(Listing(ScratchFolder()), ".varnfile-export")) << Listing(ScratchFolder());
  // The appended items in order; the copy of stdin is gone.
  const std::vector<Item> appended = ReadFile(Path("nodir/b"));
  ASSERT_EQ(8000u, appended.size());
  EXPECT_EQ((Item{1, 0, Mix(7999), "row 7999 " + std::to_string(Mix(8000))}), appended.back());
  EXPECT_EQ(" . .. b", Listing(Path("nodir")));
  // An import of 5 MB that does not compress is closed every 4 MB under the
  // chained methods: records other than the last mark reset points, so its
  // last items decode without the whole file before them.
  if (method_ == 2 || method_ == 3) {
    std::string lines;
    for (uint32_t i = 1; lines.size() < (5u << 20); ++i) lines += i % 30000 ? char(Mix(i) % 200 + 32) : '\n';
    ASSERT_EQ(0, RunTool(expand("import %chains --lines -m {m}"), lines).status);
    // ... and so is a copy without its deleted items.
    ASSERT_EQ(0, RunTool(expand("delete -q %chains '#1'")).status);
    ASSERT_EQ(0, RunTool(expand("convert -q %chains %chains2 --drop-deleted")).status);
    EXPECT_EQ(ReadFile(Path("chains")), ReadFile(Path("chains2")));
    for (const char* name : {"chains", "chains2"}) {
      const std::string file = Slurp(Path(name));
      auto u16 = [&](size_t at) { return uint8_t(file[at]) | uint8_t(file[at + 1]) << 8; };
      int resets = 0;  // trailer flags, bit 0
      for (size_t p = 174; p + 22 <= file.size(); p += 22 + u16(p + 10)) resets += file[p + 18 + u16(p + 10)] & 1;
      EXPECT_GE(resets, 2) << name;
    }
  }
  const std::vector<Item> added = {
      {0x10, 2, 4000000000u, "hello world"}, {17, 0, 0, binary}, {18, 0, 0, "from stdin"}};
  EXPECT_EQ(added, ReadFile(Path("a")));
  std::vector<Item> undeleted = items;
  undeleted.erase(undeleted.begin() + 7);
  EXPECT_EQ(undeleted, ReadFile(Path("vdrop")));
  EXPECT_EQ(undeleted, ReadFile(Path("vdrop0")));
  // Same items under the same method: the same export, positions included.
  EXPECT_EQ(added, ReadFile(Path("ic")));
  EXPECT_EQ(added, ReadFile(Path("it")));
  EXPECT_EQ(Slurp(Path("a.jsonl")), Slurp(Path("i.jsonl")));
  EXPECT_EQ((std::vector<Item>{{1, 0, 3, "abc"}, {2, 0, 0, "\xF0\x9F\x98\x80"}}), ReadFile(Path("j")));
  EXPECT_EQ((std::vector<Item>{{6, 0, 7, "alpha"}, {8, 3, 0, method_ == 0 ? "CHARLIE" : "charlie"}}),
            ReadFile(Path("e")));
  const std::string exported = RunTool("export " + Path("e")).out;  // no deleted items
  EXPECT_EQ(2, std::count(exported.begin(), exported.end(), '\n')) << exported;
  // Into every method; the header fields come along.
  for (uint16_t to = 0; to < 5; ++to) {
    ASSERT_EQ(0, RunTool(expand("convert %a %c -f -m ") + std::to_string(to)).status);
#if !defined(_WIN32)
    if (to == 0) chmod(Path("c").c_str(), 0640);  // kept by the files that replace it
#endif
    EXPECT_EQ(added, ReadFile(Path("c")));
    std::string header = Slurp(Path("c")).substr(0, 100);
    EXPECT_EQ(std::string{char(to)} + '\0', header.substr(47, 2));
    EXPECT_EQ(std::string("\x05\0\0\0converted\0", 14), header.substr(73, 14));
    EXPECT_EQ(std::string("\x01\0\x02\x03\x04", 5), header.substr(42, 5));  // set --aging
    EXPECT_EQ("m" + std::to_string(method_) + "_c" + std::string(1, '\0'), header.substr(20, 5));
  }
#if !defined(_WIN32)
  struct stat st;
  EXPECT_TRUE(stat(Path("c").c_str(), &st) == 0 && (st.st_mode & 0777) == 0640) << st.st_mode;
#endif
  // Recover leaves the source alone and keeps the header fields and every
  // item that decodes, in a file that verifies clean. Under the chained
  // methods damage may cost the rest of its session.
  for (int d = 0; d < damageCount; ++d) {
    std::string name = std::string("r") + damages[d], header = Slurp(Path(name)).substr(0, 100);
    std::vector<Item> saved = ReadFile(Path(name)), expected;
    for (size_t i = 0; i < 12; ++i) {
      if (i != 7 && i != damagedItem[d]) expected.push_back(items[i]);
    }
    if ((method_ == 2 || method_ == 3) && (d == 0 || d == 2)) {
      size_t before = damagedItem[d], after = d == 0 ? 5 : 0;  // the second session whole
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
  // Past a damaged trailer, list and export read every item as from the
  // whole file, and list --reverse too past damaged flags.
  for (const char* name : {"trailer", "flags"}) {
    for (const char* command : {"list --all ", "export "})
      EXPECT_EQ(RunTool(command + Path("v")).out, RunTool(command + Path(name)).out) << command << name;
  }
  EXPECT_EQ(RunTool("list --all -r " + Path("v")).out, RunTool("list --all -r " + Path("flags")).out);
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

// Recover writes its readable copy of the source a piece of some MB at a
// time: a source of several pieces comes through whole and in order, under
// a plain and a chained method, without its torn last record.
TEST(CliRecoverTest, ASourceOfSeveralPiecesComesThroughWhole) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string path = ScratchFile("pieces.trn"), copy = ScratchFile("pieces2.trn");
  for (uint16_t method : {uint16_t{0}, uint16_t{VARNFILE_METHOD_CHAINED_PREDICTOR}}) {
    SCOPED_TRACE(method);
    std::vector<Item> items;
    for (uint32_t n = 0; n < 1200; ++n) items.push_back(MakeItem(77, n, 50000));
    ASSERT_EQ(items.size(), MakeFile(path, method, items).size());
    const std::string bytes = Slurp(path);
    ASSERT_GT(bytes.size(), 9u << 20);  // more than one piece
    Spit(path, bytes.substr(0, bytes.size() - 5));
    ToolRun run = RunTool("recover -q " + path + " " + copy + " --force");
    EXPECT_EQ(0, run.status) << run.err;
    items.pop_back();
    EXPECT_TRUE(ReadFile(copy) == items);
  }
}

// An interrupted recover leaves neither its scratch copy nor the partial
// target behind, and dies of the signal; an interrupted append first
// finishes the item at hand and closes the file.
TEST(CliInterruptTest, RecoverCleansUpAppendCloses) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
#if defined(_WIN32)
  GTEST_SKIP() << "Windows: no signal can be sent to one child process, and a file that the "
                  "interrupted tool still holds cannot be removed";
#else
  const std::string dir = ScratchFolder() + "/interrupt", source = dir + "/source";
  mkdir(dir.c_str(), 0777);
  std::vector<Item> items;
  for (uint32_t n = 0; n < 100000; ++n) items.push_back({1, 0, n, "item " + std::to_string(n)});
  ASSERT_EQ(items.size(), MakeFile(source, 0, items).size());
  const off_t size = static_cast<off_t>(Slurp(source).size());
  const std::string target = dir + "/target", lines = ScratchFolder() + "/append.in",
                    err = ScratchFolder() + "/append.err";
  std::string input;
  for (uint32_t n = 0; n < 300000; ++n) input += "line " + std::to_string(n) + "\n";
  Spit(lines, input);
  // Recover, then appends from a file and from stdin (which the tool keeps
  // in a scratch file beside the source while it reads it twice).
  const std::pair<int, std::string> runs[] = {{SIGINT, ""}, {SIGTERM, ""}, {SIGHUP, lines}, {SIGINT, "-"}};
  uint64_t live = items.size();
  for (const auto& [signal, from] : runs) {
    const bool append = !from.empty();
    const std::string saved = Slurp(source);
    const off_t before = static_cast<off_t>(saved.size());
    // On a busy machine the tool may end between the last look at its file
    // and the signal: then that run starts again from the same source.
    int status = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
      const pid_t pid = StartTool(append ? std::vector<std::string>{"import", "--append", "--lines", "-i", from, source}
                                         : std::vector<std::string>{"recover", source, target},
                                  err, [&] { freopen(lines.c_str(), "r", stdin); });
      // Interrupt it while it writes: the target (under its scratch name)
      // after the header, before half the items; the source once it has grown.
      const std::string written = append ? source : dir + "/.varnfile-new-target";
      const off_t low = append ? before : 174, high = append ? before + 3 * size : size / 2;
      struct stat st;
      bool ended = false;
      while (!ended && (stat(written.c_str(), &st) != 0 || st.st_size <= low || st.st_size > high)) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        usleep(200);
      }
      if (!ended) {
        kill(pid, signal);
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
      }
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) break;
      Spit(source, saved);
      std::remove(target.c_str());
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    if (append) {  // the file opens and holds the items the tool says it added
      unsigned long added = 0;
      ASSERT_EQ(1, std::sscanf(Slurp(err).c_str(), "interrupted: imported %lu", &added)) << Slurp(err);
      EXPECT_TRUE(Has(Slurp(err), ", the first at position " + std::to_string(before) + "\n")) << Slurp(err);
      EXPECT_EQ(0, RunTool("verify -q " + source).status);
      const std::string count = "items          " + std::to_string(live += added) + " live";
      EXPECT_TRUE(Has(RunTool("info " + source).out, count)) << count;
    }
    EXPECT_EQ(" . .. source", Listing(dir)) << from;
  }
  // A delete interrupted while it writes closes the file with the items
  // deleted so far, and says how many.
  pid_t pid = StartTool({"delete", "--cmd", "1", source}, err);
  int fd = open(source.c_str(), O_RDONLY);
  char first[2] = {};  // the command id of the first item, once it is marked deleted
  for (int n = 0; n < 200000 && (pread(fd, first, 2, 174) != 2 || first[1] != '\xFF'); ++n) usleep(50);
  close(fd);
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  const std::string report = Slurp(err);
  unsigned long deleted = 0;
  ASSERT_TRUE(Has(report, "interrupted: ")) << status;
  std::sscanf(report.c_str() + report.find("interrupted: "), "interrupted: deleted %lu", &deleted);
  EXPECT_GT(deleted, 0u);
  EXPECT_EQ(0, RunTool("verify -q " + source).status);
  EXPECT_TRUE(Has(RunTool("info " + source).out, " " + std::to_string(deleted) + " deleted")) << deleted;
  // SIGPIPE (the reader of the tool's output gone) cleans up as the other
  // signals do: an import that gets it leaves neither its new file nor a
  // scratch file, under whose name it writes the file (closed on the way
  // under method 2, only at the end under method 0). Once the file holds
  // more than its header the tool has registered it. Started with SIGPIPE ignored (as nohup ignores SIGHUP),
  // the tool leaves it ignored and finishes.
  for (const char* method : {"0", "2", "ignored"}) {
    const bool ignored = method[0] == 'i';
    const std::string writing = dir + "/.varnfile-new-target";
    pid = StartTool({"import", "--lines", "-m", ignored ? "0" : method, "-i", lines, target}, "/dev/null",
                    [ignored] { signal(SIGPIPE, ignored ? SIG_IGN : SIG_DFL); });
    struct stat st;
    ASSERT_TRUE(WhileRunning(pid, [&] { return stat(writing.c_str(), &st) == 0 && st.st_size > 4096; }));
    kill(pid, SIGPIPE);
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    if (ignored) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_TRUE(Has(RunTool("info " + target).out, "items          300000 live")) << method;
      unlink(target.c_str());
      continue;
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
    EXPECT_EQ(" . .. source", Listing(dir)) << method;
  }
  // An import killed midway leaves no file of the new name, also in a
  // directory that --parents makes: a chained one is closed on the way, and
  // would open with part of the input; one without compression, closed only
  // at the end, would not open and stand in the way of the next run.
  const std::string made = dir + "/made";
  for (const auto& [name, method, left] : {std::tuple<std::string, const char*, const char*>{target, "2", " . .. source target"},
                                           {made + "/target", "2", " . .. target"},
                                           {dir + "/plain", "0", " . .. made plain source target"}}) {
    const std::string folder = name.substr(0, name.rfind('/')), base = name.substr(folder.size() + 1);
    pid = StartTool({"import", "-p", "--lines", "-m", method, "-i", lines, name});
    ASSERT_TRUE(WhileRunning(pid, [&] { return Has(Listing(folder), base); })) << name;
    kill(pid, SIGKILL);
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_NE(0, access(name.c_str(), F_OK));
    // What it left under its scratch name goes with the next run.
    EXPECT_EQ(0, RunTool("import -q --lines -m " + std::string(method) + " -i " + lines + " " + name).status);
    EXPECT_EQ(left, Listing(folder));
  }
#endif
}

// What killed runs left beside a file is removed by the next run for the
// same name: a file never closed under a run's own name (killed after it
// moved its file there, before the close), and a finished file under a name
// that carries the run's process (killed between the close and the rename)
// once that process is gone, and the second name a hard link gave the
// target. A file closed properly under a name without a process (a run
// between its close and its rename: it is about to take its name), a live
// run's finished file, a file the tool did not make, one an open still
// holds, and names of another pattern stay.
TEST(CliInterruptTest, TheNextRunRemovesWhatAKilledRunLeftAside) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/leftaside", left = dir + "/.varnfile-new-x-";
  ASSERT_EQ(0, MakeDirectory(dir));
  ASSERT_EQ(0, RunTool("create -q " + dir + "/src").status);
  const std::string finished = Slurp(dir + "/src");
  std::string unfinished = finished;
  unfinished[142] = unfinished[143] = 0;  // the mark of a proper close
  // Process 0y00000 (2,055,849,984, above any pid_max) runs nowhere; this test's own runs.
  std::string live = "0000000";
  for (unsigned long id = varnfile::PlatformProcessId(), i = 7; i-- > 0; id /= 36)
    live[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[id % 36];
  for (const std::string& name : std::initializer_list<std::string>{"abcd1234", "held0000", "abcd_123", "abcd12345", "0y00000-half0000", live + "-half0000"})
    Spit(left + name, unfinished);
  for (const std::string& name : std::initializer_list<std::string>{"done0000", "0y00000-done0000", live + "-done0000", "0zzzzzzz-done0000"})
    Spit(left + name, finished);  // 0zzzzzzz: not a name the tool gives
  for (const char* name : {"note0000", "0y00000-note0000"}) Spit(left + name, "someone's notes");
  int held = -1;
  ASSERT_EQ(0, varnfile::FileOpen((left + "held0000").c_str(), varnfile::FileOpenUpdate, &held));
  EXPECT_EQ(0, RunTool("convert " + dir + "/src " + dir + "/x").status);
  varnfile::FileClose(held);
  const std::string stay = " . .. .varnfile-new-x-" + live + "-done0000 .varnfile-new-x-0y00000-note0000 "
                           ".varnfile-new-x-0zzzzzzz-done0000 .varnfile-new-x-abcd12345 .varnfile-new-x-abcd_123 "
                           ".varnfile-new-x-done0000 .varnfile-new-x-held0000 .varnfile-new-x-note0000 src x";
  EXPECT_EQ(stay, Listing(dir));
#if !defined(_WIN32)
  // Where a hard link gave the file its name, the run removes its own name
  // next: killed in between, it leaves the target's second name. (The file
  // no longer held goes now.)
  ASSERT_EQ(0, link((dir + "/x").c_str(), (left + "0y00000-link0000").c_str()));
  ASSERT_EQ(0, link((dir + "/src").c_str(), (left + "0y00000-else0000").c_str()));
  EXPECT_EQ(0, RunTool("convert --force " + dir + "/src " + dir + "/x").status);
  std::string after = stay;
  after.erase(after.find(" .varnfile-new-x-held0000"), 25).insert(after.find(" .varnfile-new-x-0y00000-note"), " .varnfile-new-x-0y00000-else0000");
  EXPECT_EQ(after, Listing(dir));
#endif
}

#if defined(__linux__)
// The copies recover and import make hold the whole source: they are made
// without a name, so that no kill leaves one behind. The new files of create -f,
// convert, import and recover are written under a scratch name whatever
// their method, so that a kill leaves none under the name that never opens,
// and never let go under the scratch name that every run for their name
// shares: another run finding it there unheld takes it for a killed run's
// and cuts it, and the rename then gives that run's file the name.
TEST(CliInterruptTest, CopiesAreWrittenWithoutANameAndTargetsUnderAScratchName) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/unnamed";
  mkdir(dir.c_str(), 0777);
  std::vector<Item> items;
  for (uint32_t n = 0; n < 40; ++n) items.push_back(MakeItem(50, n, 3000));
  ASSERT_EQ(items.size(), MakeFile(dir + "/source", 0, items).size());
  Spit(dir + "/cut", Slurp(dir + "/source").substr(0, Slurp(dir + "/source").size() - 5));
  int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_LE(0, inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MODIFY | IN_DELETE | IN_CLOSE_WRITE));
  for (const char* line : {"recover -q %/cut %/r", "convert -q %/source %/c -m 0", "import -q %/i --lines -m 0",
                           "create -f %/x", "create -f %/x", "import -f %/y --lines -m 2"}) {
    std::string command = line;
    for (size_t at; (at = command.find('%')) != std::string::npos;) command.replace(at, 1, dir);
    ASSERT_EQ(0, RunTool(command, "a\nb\n").status) << line;
  }
  alignas(inotify_event) char events[65536];
  ssize_t size = read(watch, events, sizeof events);
  close(watch);
  ASSERT_GT(size, 0);
  // The copies of recover and import are made without a name (what is
  // written to such a file is reported, if at all, under "#" and its inode
  // number): a kill at any moment leaves none behind. The targets get
  // their names only by a rename: none is created, or written, under it.
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(sizeof(inotify_event)) + reinterpret_cast<inotify_event*>(events + at)->len) {
    const inotify_event* event = reinterpret_cast<inotify_event*>(events + at);
    const std::string name = event->name;
    EXPECT_TRUE(name.rfind(".varnfile-recover", 0) != 0 && name.rfind(".varnfile-import", 0) != 0)
        << name << ": a copy had a name";
    if ((event->mask & IN_CLOSE_WRITE) != 0) {
      EXPECT_TRUE(name.rfind(".varnfile-new-", 0) != 0 || name.size() != 15) << name << " was closed under the shared name";
      continue;
    }
    EXPECT_TRUE(name != "r" && name != "c" && name != "i") << name << " was made or written under its name";
  }
  EXPECT_EQ(" . .. c cut i r source x y", Listing(dir));
  EXPECT_EQ(std::vector<Item>(items.begin(), items.end() - 1), ReadFile(dir + "/r"));
}
#endif

#if !defined(_WIN32)
// The library takes names of at most 259 bytes. A new file that is written
// under a scratch name first (an import, a file --force replaces) gets one
// that fits where its name fits: a hash of its name beside it, or a name
// from the working directory when the full path of the replaced file is the
// long one. A name too long is refused as such, before anything is made.
TEST(CliNameTest, NamesUpTo259BytesAreWrittenUnderAScratchNameThatFits) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string source = ScratchFolder() + "/names-source";
  ASSERT_EQ(0, RunTool("import -q -f --lines -m 0 " + source, "a\nb\n").status);
  // A folder of 225 bytes, a name of 30 in it; another of 250, a name of 5.
  std::string deep = ScratchFolder() + "/names-";
  deep += std::string(225 - deep.size(), 'd');
  std::string deeper = deep + "/";
  deeper += std::string(250 - deeper.size(), 'e');
  ASSERT_EQ(0, MakeDirectory(deep));
  ASSERT_EQ(0, MakeDirectory(deeper));
  const std::string wide = deep + "/" + std::string(30, 'n');
  ASSERT_EQ(256u, wide.size());
  for (const std::string& line : {"import -q --lines " + wide, "import -q -f --lines " + wide,
                                  "convert -q -f -m 1 " + source + " " + wide, "recover -q -f " + source + " " + wide}) {
    ToolRun run = RunTool(line, "a\nb\n");
    EXPECT_EQ(0, run.status) << line << ": " << run.err;
    EXPECT_EQ("ab", RunTool("cat " + wide + " '#0'").out + RunTool("cat " + wide + " '#-1'").out) << line;
  }
  EXPECT_EQ(" . .. " + deeper.substr(deep.size() + 1) + " " + std::string(30, 'n'), Listing(deep));
  // In the deeper folder by a short name: the replaced file's full path
  // leaves no room, the name from the working directory does.
  char back[4096];
  ASSERT_NE(nullptr, getcwd(back, sizeof back));
  ASSERT_EQ(0, chdir(deeper.c_str()));
  ToolRun made = RunTool("create -q x");
  ToolRun converted = RunTool("convert -q -f -m 2 " + source + " x");
  ToolRun imported = RunTool("import -q -f --lines x", "c\n");
  ASSERT_EQ(0, chdir(back));
  EXPECT_EQ(0, made.status) << made.err;
  EXPECT_EQ(0, converted.status) << converted.err;
  EXPECT_EQ(0, imported.status) << imported.err;
  EXPECT_EQ("c", RunTool("cat -q " + deeper + "/x '#0'").out);
  EXPECT_EQ(" . .. x", Listing(deeper));
  // From elsewhere no scratch name there fits: the message says where one does.
  ToolRun far = RunTool("import -f --lines " + deeper + "/x", "d\n");
  EXPECT_EQ(73, far.status);
  EXPECT_TRUE(Has(far.err, ": name too long (at most 259 bytes): " + deeper + "/x is written under that name first; from " +
                               deeper + " (cd there)")) << far.err;
  // Names over 259 bytes, wherever the tool takes one.
  const std::string over = deeper + "/" + std::string(20, 'o');
  for (const std::string& line : {"import --lines " + over, "convert -m 0 " + source + " " + over, "recover " + source + " " + over,
                                  "convert -m 0 " + over + " " + source + "2", "export " + over}) {
    ToolRun run = RunTool(line, "a\n");
    EXPECT_EQ(64, run.status) << line;
    EXPECT_TRUE(Has(run.err, over + ": name too long (at most 259 bytes, not 271)\n")) << line << ": " << run.err;
  }
  EXPECT_EQ(" . .. x", Listing(deeper));
}
#endif

#if defined(__linux__)
// An append from a pipe keeps its input in a scratch copy that has no name
// from the start: killed outright while it copies the input, it leaves
// nothing behind.
TEST(CliInterruptTest, AKilledAppendLeavesNoCopyOfItsInput) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/spool", target = dir + "/target";
  mkdir(dir.c_str(), 0777);
  ASSERT_EQ(0u, MakeFile(target, 0, {}).size());
  int pipe[2];
  ASSERT_EQ(0, ::pipe(pipe));
  const pid_t pid = StartTool({"import", "--append", "--lines", target}, "/dev/null", [&pipe] {
    dup2(pipe[0], 0);
    close(pipe[1]);
  });
  close(pipe[0]);
  const std::string lines(1 << 16, '\n');
  ASSERT_EQ(static_cast<ssize_t>(lines.size()), write(pipe[1], lines.data(), lines.size()));
  // Once the tool holds its copy, made without a name, it waits for the
  // rest of the input. The descriptor shows "#" and the copy's inode
  // number (or the name it was made under, deleted, on a file system
  // without nameless files).
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  bool holds = false;
  for (int n = 0; n < 20000 && !holds; ++n) {
    DIR* open = opendir(fds.c_str());
    for (dirent* entry; open != nullptr && (entry = readdir(open)) != nullptr;) {
      char to[4096] = {};
      holds = holds || (readlink((fds + "/" + entry->d_name).c_str(), to, sizeof to - 1) > 0 &&
                        (Has(to, ".varnfile-import-") || Has(to, dir + "/#")) && Has(to, "(deleted)"));
    }
    if (open != nullptr) closedir(open);
    if (!holds) usleep(500);
  }
  EXPECT_TRUE(holds);
  kill(pid, SIGKILL);
  ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
  close(pipe[1]);
  EXPECT_EQ(" . .. target", Listing(dir));
  EXPECT_EQ(std::vector<Item>{}, ReadFile(target));
}
#endif

#if !defined(_WIN32)
// A read of a mapped file that another program has cut short ends the tool
// with its message and status, not with a bus error.
TEST(CliInterruptTest, AFileCutUnderItsMappingIsReported) {
  const std::string path = ScratchFolder() + "/mapped";
  Spit(path, std::string(1 << 16, 'x'));
  EXPECT_EXIT(
      {
        varnfile::PlatformOnMappedFileCut(nullptr, "cut short\n", 74);
        int fd = open(path.c_str(), O_RDONLY);
        const void* view = nullptr;
        if (fd < 0 || varnfile::FileMapRead(fd, 1 << 16, &view) != 0 || truncate(path.c_str(), 0) != 0)
          _exit(1);
        _exit(static_cast<const volatile char*>(view)[40000]);
      },
      ::testing::ExitedWithCode(74), "cut short");
}

// A permission failure exits 77 wherever it happens: a folder the tool may
// not write in (an export's output, recover's scratch copy, directories
// --parents makes) and an input it may not read. Root may do all of that:
// run as root, the tool runs as nobody.
TEST(CliPermissionTest, DeniedIs77Everywhere) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  std::string runner;
  if (geteuid() == 0) {
    runner = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (std::system((runner + "true >/dev/null 2>&1").c_str()) != 0)
      GTEST_SKIP() << "root ignores permissions, and setpriv cannot run the tool as another user";
  }
  const std::string dir = ScratchFolder() + "/denied", locked = dir + "/locked", secret = dir + "/secret";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
  ASSERT_EQ(0, chmod(dir.c_str(), 0777));  // whatever the umask
  ASSERT_EQ(1u, MakeFile(dir + "/src", 0, {{1, 0, 0, "hello"}}).size());
  ASSERT_EQ(0u, MakeFile(dir + "/a", 0, {}).size());
  ASSERT_EQ(0, chmod((dir + "/a").c_str(), 0666));
  Spit(secret, "not for everyone\n");
  ASSERT_EQ(0, chmod(secret.c_str(), 0));
  ASSERT_EQ(0, mkdir(locked.c_str(), 0555));
  // An output that may be written in a folder that may not: replaced only
  // through a scratch file beside it, it is refused before anything is
  // written, whether the export would fail (an item failing its CRC) or not.
  const std::string kept = locked + "/kept.jsonl", keptText = "rows of an earlier export\n";
  ASSERT_EQ(0, chmod(locked.c_str(), 0777));
  Spit(kept, keptText);
  ASSERT_EQ(0, chmod(kept.c_str(), 0666));
  ASSERT_EQ(0, chmod(locked.c_str(), 0555));
  Spit(dir + "/bad", Slurp(dir + "/src"));
  {
    std::string bad = Slurp(dir + "/bad");
    bad[bad.find("hello")] ^= 0x20;
    Spit(dir + "/bad", bad);
  }
  const std::string refused = "cannot replace %/locked/kept.jsonl (cannot create a scratch file in %/locked: Permission denied)";
  const std::pair<std::string, std::string> rows[] = {
      {"export %/src -o %/locked/out.jsonl", "cannot create %/locked/out.jsonl: Permission denied"},
      {"export %/src -o %/locked/kept.jsonl", refused},
      {"export %/bad -o %/locked/kept.jsonl", refused},
      {"recover %/src %/locked/r", "cannot create a scratch file in %/locked: Permission denied"},
      {"import %/i --lines --input %/secret", "cannot open %/secret: Permission denied"},
      {"import %/a --append --lines %/secret", "cannot open %/secret: Permission denied"},
      {"add %/a --cmd 1 --file %/secret", "cannot open %/secret: Permission denied"},
      {"create -p %/locked/sub/new", "cannot create the directories of %/locked/sub/new in %/locked: Permission denied"},
      {"create %/locked/new", "%/locked/new: permission denied"},
  };
  const std::string io = ScratchFolder() + "/denied.";
  for (auto [line, message] : rows) {
    for (std::string* text : {&line, &message}) {
      for (size_t at; (at = text->find('%')) != std::string::npos;) text->replace(at, 1, dir);
    }
    int raw = std::system((runner + "timeout 60 " VARNFILE_TOOL_PATH " " + line + " </dev/null >" + io +
                           "out 2>" + io + "err").c_str());
    EXPECT_EQ(77, ExitStatus(raw)) << line << ": " << Slurp(io + "err");
    EXPECT_TRUE(Has(Slurp(io + "err"), message)) << line << ": " << Slurp(io + "err");
  }
  EXPECT_EQ(" . .. kept.jsonl", Listing(locked));
  EXPECT_EQ(keptText, Slurp(kept));
  EXPECT_EQ(" . .. a bad locked secret src", Listing(dir));
  EXPECT_EQ(std::vector<Item>{}, ReadFile(dir + "/a"));
}
#endif

#if !defined(_WIN32)
// Positions are 32-bit: an item that would take a file past 4 GiB is
// refused as such (73) and the file stays as it was, while one that fits is
// added; a file of 4 GiB or more (one byte past the largest position) is
// refused as no transaction file by every command (65). Sparse files: the
// records between are deleted ones whose data is a hole.
TEST(CliSizeLimitTest, TheFourGiBLimitIsNamed) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string full = ScratchFolder() + "/full", over = ScratchFolder() + "/over";
  ASSERT_EQ(1u, MakeFile(full, 0, {{1, 0, 0, "first"}}).size());
  const uint64_t end = 0xFFFFFFFFull - 145;
  int fd = open(full.c_str(), O_RDWR);
  ASSERT_LE(0, fd);
  uint64_t at = Slurp(full).size();
  ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(end)));
  while (at < end) {
    uint64_t size = std::min<uint64_t>(65535 + 22, end - at);
    if (end - at - size != 0 && end - at - size < 22) size -= 22;
    unsigned char header[14] = {0x04, 0xFF}, trailer[8] = {};
    header[8] = header[10] = static_cast<unsigned char>(size - 22);
    header[9] = header[11] = static_cast<unsigned char>((size - 22) >> 8);
    for (int i = 0; i < 4; ++i) trailer[i] = static_cast<unsigned char>(at >> (8 * i));
    ASSERT_EQ(14, pwrite(fd, header, 14, static_cast<off_t>(at)));
    ASSERT_EQ(8, pwrite(fd, trailer, 8, static_cast<off_t>(at + size - 8)));
    at += size;
  }
  close(fd);
  const std::string big(200, 'x');
  for (const std::string& line : {"add " + full + " --cmd 1 --data " + big, "import --append --lines " + full}) {
    ToolRun run = RunTool(line, big + "\n");
    EXPECT_EQ(73, run.status) << line << ": " << run.err;
    EXPECT_TRUE(Has(run.err, "the item would take " + full + " past its 4 GiB limit (it ends at " + std::to_string(end) + ";"))
        << line << ": " << run.err;
  }
  struct stat info;
  ASSERT_EQ(0, stat(full.c_str(), &info));
  EXPECT_EQ(end, static_cast<uint64_t>(info.st_size));
  EXPECT_EQ(0, RunTool("add -q " + full + " --cmd 2 --data fits").status);
  ASSERT_EQ(0, rename(full.c_str(), over.c_str()));
  ASSERT_EQ(0, truncate(over.c_str(), static_cast<off_t>(1ull << 32)));
  for (const std::string& line : {"list " + over, "info " + over, "export " + over, "add " + over + " --cmd 1 --data x",
                                  "delete " + over + " --at '#0'", "update " + over + " --at '#0' --cmd 3",
                                  "convert -m 0 --drop-deleted " + over + " " + over + "2"}) {
    ToolRun run = RunTool(line);
    EXPECT_EQ(65, run.status) << line << ": " << run.err;
    EXPECT_TRUE(Has(run.err, over + " is 4 GiB or larger and cannot be a transaction file")) << line << ": " << run.err;
  }
  unlink(over.c_str());
}
#endif

#if !defined(_WIN32)
// A writer that extended its file and stopped leaves zeros, written or a
// hole, where records were due. Verify and recover pass such a stretch in
// one step, up to the 4 GiB limit, without reading a hole, and find the
// record right behind it: here an empty item of ids 0 whose first 17 bytes
// are zero (its trailer names 0xFF000000), and an item after it.
TEST(CliDamageTest, AZeroStretchIsPassedAndTheRecordBehindItFound) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  // verify and recover map the whole file: a 32-bit process has no room for 4 GiB.
  if (sizeof(void*) < 8) GTEST_SKIP() << "a 32-bit tool cannot map a file of 4 GiB";
  const std::string path = ScratchFolder() + "/stretch.trn", copy = ScratchFolder() + "/stretch2.trn";
  std::vector<uint32_t> pos = MakeFile(path, 0, {{1, 0, 0, "one"}, {2, 0, 0, "two"}});
  ASSERT_EQ(2u, pos.size());
  const uint32_t empty = 0xFF000000u, after = empty + 22;
  int fd = open(path.c_str(), O_RDWR);
  ASSERT_LE(0, fd);
  ASSERT_EQ(0, ftruncate(fd, pos[1]));
  const std::string zeros(1 << 20, '\0');  // written zeros, then a hole
  ASSERT_EQ(static_cast<ssize_t>(zeros.size()), pwrite(fd, zeros.data(), zeros.size(), pos[1]));
  unsigned char record[22 + 27] = {};
  for (int i = 0; i < 4; ++i) record[14 + i] = static_cast<unsigned char>(empty >> (8 * i));
  unsigned char* three = record + 22;  // command 3, value 7, "three" stored as it is, no CRC
  three[0] = 3;
  three[4] = 7;
  three[8] = three[10] = 5;
  std::memcpy(three + 14, "three", 5);
  for (int i = 0; i < 4; ++i) three[19 + i] = static_cast<unsigned char>(after >> (8 * i));
  ASSERT_EQ(static_cast<ssize_t>(sizeof(record)), pwrite(fd, record, sizeof(record), empty));
  close(fd);
  const std::string stretch = "problem at " + std::to_string(pos[1]) +
                              ": trailer does not point back at its record; " +
                              std::to_string(empty - pos[1]) + " bytes frame no record";
  ToolRun run = RunTool("verify " + path);
  EXPECT_EQ(65, run.status);
  EXPECT_TRUE(Has(run.out, stretch)) << run.out;
  run = RunTool("recover " + path + " " + copy);
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(Has(run.out, "recovered 3 of 3 framed records")) << run.out;
  EXPECT_TRUE(Has(run.out, "at " + std::to_string(pos[1]) + ": " + std::to_string(empty - pos[1]) +
                               " bytes hold no consistent record"))
      << run.out;
  run = RunTool("export --format text " + copy);
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(3, std::count(run.out.begin(), run.out.end(), '\n')) << run.out;
  EXPECT_TRUE(Has(run.out, "\tone\n") && Has(run.out, "\t0\t0\t0\ttext\t\n") && Has(run.out, "\tthree\n"))
      << run.out;
  unlink(path.c_str());
}
#endif

#if !defined(_WIN32)
// The tool under a file size limit (RLIMIT_FSIZE, SIGXFSZ ignored) at each
// byte where a command writes: the write that reaches the limit comes up
// short and the next one fails, as on a disk that fills up. A command that
// fails must leave the items and the header as they were, and no scratch
// file; one that succeeds, as a run without the limit leaves them.
TEST(CliWriteLimitTest, AFailedWriteLeavesTheFileAsItWas) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/limit", source = dir + "/source", file = dir + "/file";
  const std::string err = ScratchFolder() + "/limit.err";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
  auto run = [&](const std::vector<std::string>& args, rlim_t limit) {
    const pid_t pid = StartTool(args, err, [limit] {
      signal(SIGXFSZ, SIG_IGN);
      const struct rlimit r = {limit, limit};
      setrlimit(RLIMIT_FSIZE, &r);
    });
    int status = 0;
    waitpid(pid, &status, 0);
    return ExitStatus(status);
  };
  auto header = [](const std::string& path) { return Slurp(path).substr(0, 174); };
  std::vector<Item> items;
  for (uint32_t n = 0; n < 12; ++n) {
    items.push_back({static_cast<uint16_t>(1 + n % 3), 0, n, std::string(100 + 40 * n, static_cast<char>('a' + n))});
  }
  for (uint16_t method : {0, 2}) {
    std::vector<uint32_t> at = MakeFile(source, method, items);
    ASSERT_EQ(items.size(), at.size());
    at.push_back(static_cast<uint32_t>(Slurp(source).size()));
    const std::string newData(items[5].data.size(), 'N');
    // Each command with the places where it writes (a header, a record's
    // header or trailer, the end), each tried at bytes 0 to 15 from it (the
    // 14 of a record's header and past them), and the span between tried
    // every 29 bytes.
    const std::vector<std::pair<std::vector<std::string>, std::vector<uint32_t>>> commands = {
        {{"set", file, "-d", "a description that goes on past the header's byte 100", "--flags", "7"}, {0, 158}},
        {{"update", file, "--at", "#5", "--cmd", "9", "--value", "99"}, {at[5], at[6] - 8}},
        {{"update", file, "--at", "#5", "--data", method == 0 ? newData : "x"}, {at[5], at[6] - 8}},
        {{"delete", file, "--at", "#3", "--at", "#4"}, {at[3], at[4], at[5] - 8}},
        {{"add", file, "--cmd", "1", "--data", "appended"}, {at[12], at[12] + 16, at[12] + 32}},
    };
    for (const auto& [args, places] : commands) {
      Spit(file, Slurp(source));
      const int unlimited = run(args, RLIM_INFINITY);
      if (method != 0 && args[0] == "update" && args[4] == "--data") {  // only under method 0
        EXPECT_EQ(64, unlimited);
        continue;
      }
      ASSERT_EQ(0, unlimited) << args[0] << ": " << Slurp(err);
      const std::vector<Item> after = ReadFile(file);
      const std::string afterHeader = header(file);
      std::vector<rlim_t> limits = {0, 100, 143, 174};
      for (uint32_t place : places) {
        for (uint32_t from : {0, 1, 3, 7, 13, 14, 15}) limits.push_back(place + from);
      }
      for (uint32_t limit = places.front() + 29; limit < places.back(); limit += 29) limits.push_back(limit);
      int failures = 0;
      for (rlim_t limit : limits) {
        Spit(file, Slurp(source));
        const int status = run(args, limit);
        const std::string what = args[0] + " " + args[2] + ", method " + std::to_string(method) +
                                 ", limit " + std::to_string(limit) + ": exit " + std::to_string(status);
        if (status == 0) {
          EXPECT_EQ(after, ReadFile(file)) << what;
          EXPECT_EQ(afterHeader, header(file)) << what;
          continue;
        }
        ++failures;
        EXPECT_EQ(74, status) << what << ": " << Slurp(err);
        // The message names the file and the cause, and what the file
        // holds, read again: here the library put everything back. (The
        // limit cuts the message too.)
        const std::string message = Slurp(err);
        if (message.size() < limit) {
          EXPECT_TRUE(Has(message, "File too large") && Has(message, file)) << what << ": " << message;
          const std::string state = args[0] == "delete"   ? "no item is deleted from " + file + ": it is as it was\n"
                                    : args[0] == "update" ? " of " + file + " is as it was\n"
                                    : args[0] == "set"    ? "; the header is as it was\n"
                                                          : "";
          EXPECT_TRUE(Has(message, state)) << what << ": " << message;
        }
        EXPECT_EQ(items, ReadFile(file)) << what << ": " << Slurp(err);
        EXPECT_EQ(header(source), header(file)) << what << ": " << Slurp(err);
        EXPECT_EQ(" . .. file source", Listing(dir)) << what;
      }
      EXPECT_GT(failures, 0) << args[0] << " " << args[2];
    }
    // Commands that write a new file: a failed one leaves none (and no
    // scratch file), and the file it read as it was.
    const std::string out = dir + "/out";
    const std::vector<std::vector<std::string>> copies = {
        {"convert", file, out, "-m", method == 0 ? "4" : "0"}, {"recover", file, out}, {"export", file, "-o", out}};
    Spit(file, Slurp(source));
    for (const std::vector<std::string>& args : copies) {
      ASSERT_EQ(0, run(args, RLIM_INFINITY)) << args[0] << ": " << Slurp(err);
      const std::string done = Slurp(out);
      ASSERT_EQ(0, unlink(out.c_str()));
      std::vector<rlim_t> limits = {0, 1, 173, 174, 175, done.size() - 1};
      for (rlim_t limit = 200; limit < done.size(); limit += 97) limits.push_back(limit);
      for (rlim_t limit : limits) {
        const int status = run(args, limit);
        const std::string what = args[0] + ", method " + std::to_string(method) + ", limit " +
                                 std::to_string(limit) + ": exit " + std::to_string(status);
        EXPECT_EQ(74, status) << what << ": " << Slurp(err);
        if (args[0] == "convert" && limit < 174 && Slurp(err).size() < limit) {  // the header, not the open, failed
          EXPECT_TRUE(Has(Slurp(err), "cannot write the header of the new file " + out + ": 278 ")) << what << ": " << Slurp(err);
        }
        EXPECT_EQ(" . .. file source", Listing(dir)) << what;
        EXPECT_EQ(Slurp(source), Slurp(file)) << what;
        unlink(out.c_str());
      }
    }
  }
}
#endif

#if !defined(_WIN32)
// Two runs that make the same new file at the same moment, as two scripts
// that each create their journal when it is missing: one makes it, the
// other is told the name is in use or taken (75 or 73), and the file that
// stays is whole. The runs start together (released by one pipe) many
// times over, so that they meet at every step of the create.
TEST(CliRaceTest, OfTwoCreatesOfOneNameOneWinsAndItsFileStays) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/race", file = dir + "/j.trn";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
  for (int round = 0; round < 60; ++round) {
    std::remove(file.c_str());
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    pid_t pids[2];
    for (pid_t& pid : pids) {
      pid = StartTool({"-q", "create", file}, "/dev/null", [&gate] {
        close(gate[1]);
        char byte;
        (void)!read(gate[0], &byte, 1);  // returns when the parent closes its end
      });
    }
    close(gate[0]);
    close(gate[1]);
    std::multiset<int> statuses;
    for (pid_t pid : pids) {
      int raw = 0;
      waitpid(pid, &raw, 0);
      statuses.insert(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1);
    }
    const bool oneWon = statuses.count(0) == 1 && (statuses.count(73) + statuses.count(75)) == 1;
    ASSERT_TRUE(oneWon) << "round " << round << ": " << *statuses.begin() << " and " << *statuses.rbegin();
    ASSERT_EQ(0, RunTool("verify -q " + file).status) << "round " << round << ": the file that won is gone or damaged";
  }
  EXPECT_EQ(" . .. j.trn", Listing(dir));
}

// A run that waits (--wait) while another makes the same new name finds
// the name taken when it has finished: --force replaces that file, as it
// would have at the start; without it the run is refused (73) and that
// file stays.
TEST(CliRaceTest, AFileMadeWhileARunWaitedIsReplacedOnlyWithForce) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/waited", file = dir + "/j.trn";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
  ASSERT_EQ(1u, MakeFile(dir + "/other", 0, {{7, 0, 0, "theirs"}}).size());
  const std::string theirs = Slurp(dir + "/other");
  Spit(dir + "/in", "ours\n");
  for (const bool force : {false, true}) {
    std::remove(file.c_str());
    Spit(dir + "/.varnfile-new-j.trn", "");
    int held = -1;  // another run making j.trn
    ASSERT_EQ(0, varnfile::FileOpen((dir + "/.varnfile-new-j.trn").c_str(), varnfile::FileOpenUpdate, &held));
    const pid_t pid = StartTool({"--wait", "30", "import", file, "--lines", "--cmd", "1", dir + "/in", force ? "--force" : "--lines"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Spit(file, theirs);  // what the other run made, as its rename would leave it
    varnfile::FileClose(held);
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_EQ(force ? 0 : 73, WIFEXITED(raw) ? WEXITSTATUS(raw) : -1) << "force " << force;
    const std::vector<Item> ours = {{1, 0, 0, "ours"}}, kept = {{7, 0, 0, "theirs"}};
    EXPECT_EQ(force ? ours : kept, ReadFile(file)) << "force " << force;
  }
  EXPECT_EQ(" . .. in j.trn other", Listing(dir));
}
#endif

#if defined(__linux__) && defined(VARNFILE_FAULT_SHIM)
// Runs the tool with fault_shim.c preloaded: `fault` ("reopen" or "close")
// strikes the file whose last path component is `name`.
ToolRun RunWithFault(const char* fault, const std::string& name, const std::vector<std::string>& args) {
  const std::string io = ScratchFile("fault");
  const pid_t pid = StartTool(args, io + ".err", [&] {
    freopen("/dev/null", "r", stdin);
    freopen((io + ".out").c_str(), "w", stdout);
    setenv("LD_PRELOAD", VARNFILE_FAULT_SHIM, 1);
    setenv("VARNFILE_SHIM_FAULT", fault, 1);
    setenv("VARNFILE_SHIM_NAME", name.c_str(), 1);
    // A tool built with AddressSanitizer takes a library loaded before its runtime.
    const char* asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
  });
  int raw = 0;
  waitpid(pid, &raw, 0);
  return {ExitStatus(raw), Slurp(io + ".out"), Slurp(io + ".err")};
}

// A new file that another process holds (or the disk fails to open) the
// moment it has taken its name is made all the same: convert, import and
// recover take what their summaries say of it before, and check it there,
// so that nothing after that can report a finished command as failed (a
// retry would meet "already exists"). With --force the file it replaced is
// gone for good then.
TEST(CliFaultTest, ANewFileTakenTheMomentItHasItsNameIsNoFailure) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/taken";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
  std::vector<Item> items;
  for (uint32_t n = 0; n < 30; ++n) items.push_back(MakeItem(60, n, 400));
  ASSERT_EQ(items.size(), MakeFile(dir + "/source", 0, items).size());
  const std::string source = Slurp(dir + "/source");
  Spit(dir + "/cut", source.substr(0, source.size() - 5));
  Spit(dir + "/lines", "one\ntwo\n");
  const std::vector<Item> lines = {{1, 0, 0, "one"}, {1, 0, 0, "two"}};
  ASSERT_EQ(1u, MakeFile(dir + "/old", 0, {{9, 0, 0, "old"}}).size());
  ASSERT_EQ(1u, MakeFile(dir + "/old2", 0, {{9, 0, 0, "old"}}).size());
  struct Case {
    std::vector<std::string> args;
    std::vector<Item> made;
  };
  const Case cases[] = {
      {{"convert", dir + "/source", dir + "/c", "-m", "2"}, items},
      {{"convert", dir + "/source", dir + "/old", "-m", "4", "--force"}, items},
      {{"import", dir + "/i", "--lines", "--cmd", "1", dir + "/lines"}, lines},
      {{"import", dir + "/old2", "--lines", "--cmd", "1", dir + "/lines", "--force"}, lines},
      {{"recover", dir + "/cut", dir + "/r"}, std::vector<Item>(items.begin(), items.end() - 1)},
  };
  for (const Case& c : cases) {
    const std::string target = c.args[0] == "import" ? c.args[1] : c.args[2];
    const ToolRun run = RunWithFault("reopen", target.substr(dir.size() + 1), c.args);
    EXPECT_EQ(0, run.status) << c.args[0] << " " << target << ": " << run.err;
    EXPECT_EQ(c.made, ReadFile(target)) << c.args[0] << " " << target;
    if (c.args[0] == "convert") {  // the size of the file in place
      EXPECT_TRUE(Has(run.out, std::to_string(Slurp(target).size()) + " bytes)")) << run.out;
    }
  }
  EXPECT_EQ(" . .. c cut i lines old old2 r source", Listing(dir));
}

// An edit whose close fails (a write the system lost, reported only then)
// exits 74, and says what the file holds, read again: the item that add
// wrote is there (a script must not add it twice), as are the changes of
// delete and update; all three say so also under -q.
TEST(CliFaultTest, AnEditWhoseCloseFailsSaysWhatTheFileHolds) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string file = ScratchFolder() + "/closing";
  std::vector<Item> items = {{1, 0, 0, "first"}, {2, 0, 0, "second"}};
  const std::vector<uint32_t> at = MakeFile(file, 0, items);
  ASSERT_EQ(items.size(), at.size());
  const std::string end = std::to_string(Slurp(file).size());
  ToolRun run = RunWithFault("close", "closing", {"-q", "add", file, "--cmd", "5", "--data", "pay 100"});
  EXPECT_EQ(74, run.status);
  EXPECT_TRUE(Has(run.err, "the item is in " + file + " all the same, at " + end + "\n")) << run.err;
  items.push_back({5, 0, 0, "pay 100"});
  EXPECT_EQ(items, ReadFile(file));
  run = RunWithFault("close", "closing", {"-q", "update", file, "--at", "#1", "--value", "7"});
  EXPECT_EQ(74, run.status);
  EXPECT_TRUE(Has(run.err, "the item at " + std::to_string(at[1]) + " of " + file + " holds the change all the same\n"))
      << run.err;
  items[1].extraValue = 7;
  EXPECT_EQ(items, ReadFile(file));
  run = RunWithFault("close", "closing", {"-q", "delete", file, "--at", "#0"});
  EXPECT_EQ(74, run.status);
  EXPECT_TRUE(Has(run.err, "deleted from " + file + " all the same\n")) << run.err;
  items.erase(items.begin());
  EXPECT_EQ(items, ReadFile(file));
}
#endif

#if defined(_WIN32)
// Names are ANSI strings of the system's code page and reach the system as
// they are given: a new file (create, and convert, recover and import,
// which write under a scratch name first, and name the file in its header)
// and an export's output. 0xC9 is a character of its own in the Western
// and the Japanese code pages alike.
TEST(CliWindowsNameTest, NamesOutsideAsciiAreKeptAsGiven) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/ansi";
  ASSERT_EQ(0, MakeDirectory(dir));
  for (const char* line : {"create -q %/c\xC9", "add -q %/c\xC9 --cmd 1 --data x", "convert -q -m 0 %/c\xC9 %/v\xC9",
                           "recover -q %/c\xC9 %/r\xC9", "import -q --lines %/i\xC9", "export -q %/c\xC9 -o %/o\xC9"}) {
    std::string command = line;
    for (size_t at; (at = command.find('%')) != std::string::npos;) command.replace(at, 1, dir);
    ToolRun run = RunTool(command, "a\n");
    EXPECT_EQ(0, run.status) << line << ": " << run.err;
  }
  EXPECT_EQ(" . .. c\xC9 i\xC9 o\xC9 r\xC9 v\xC9", Listing(dir));
  for (const char* name : {"c\xC9", "v\xC9", "r\xC9", "i\xC9"})
    EXPECT_EQ(std::string(name) + '\0', Slurp(dir + "/" + name).substr(20, 3)) << "header of " << name;
}

// "Z:NAME" is NAME in the current folder of drive Z:, the drive of the
// working folder here. The tool splits such a name as the library does:
// the header holds NAME, and a file written under a scratch name first has
// it beside the file, "Z:.varnfile-new-NAME", gone when the file is done.
TEST(CliWindowsNameTest, ADriveRelativeNameIsInTheDrivesCurrentFolder) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/drive";
  ASSERT_EQ(0, MakeDirectory(dir));
  Spit(dir + "/.varnfile-new-w", "not ours");
  char back[4096], here[4096];
  ASSERT_NE(nullptr, _getcwd(back, sizeof back));
  ASSERT_EQ(0, _chdir(dir.c_str()));
  ASSERT_NE(nullptr, _getcwd(here, sizeof here));
  const std::string drive(here, 2);
  std::vector<std::pair<std::string, ToolRun>> runs;
  for (const char* line : {"create -q %c", "add -q %c --cmd 1 --data x", "convert -q -m 0 %c %v", "recover -q %c %r",
                           "import -q --lines %i", "export -q %c -o %o", "import -q --lines %w"}) {
    std::string command = line;
    for (size_t at; (at = command.find('%')) != std::string::npos;) command.replace(at, 1, drive);
    runs.emplace_back(line, RunTool(command, "a\n"));
  }
  ASSERT_EQ(0, _chdir(back));
  for (size_t i = 0; i + 1 < runs.size(); ++i) EXPECT_EQ(0, runs[i].second.status) << runs[i].first << ": " << runs[i].second.err;
  EXPECT_EQ(73, runs.back().second.status);
  EXPECT_TRUE(Has(runs.back().second.err, drive + ".varnfile-new-w is in the way")) << runs.back().second.err;
  EXPECT_EQ(" . .. .varnfile-new-w c i o r v", Listing(dir));
  for (const char* name : {"c", "v", "r", "i"})
    EXPECT_EQ(std::string(name) + '\0', Slurp(dir + "/" + name).substr(20, 2)) << "header of " << name;
}
#endif

#if defined(_WIN32)
// Windows opens a device for NUL, CON, COM1 and the like, in any case, with
// any extension and in any folder: an export writes to one in place, as to
// /dev/null, and a new transaction file is refused there, as on a device.
TEST(CliNameTest, WindowsDeviceNamesAreNoRegularFiles) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/devices", source = dir + "/source";
  ASSERT_EQ(0, MakeDirectory(dir));
  ASSERT_EQ(0, RunTool("import -q --lines -m 0 " + source, "a\nb\n").status);
  for (const std::string& output : {std::string("-o NUL"), std::string("-o nul.jsonl"), "-o " + dir + "/Nul.csv",
                                    "--output " + dir + "\\nUl.TXT", dir + "/NUL.tsv"}) {
    ToolRun run = RunTool("export -q " + source + " " + output);
    EXPECT_EQ(0, run.status) << output << ": " << run.err;
  }
  for (const std::string& line : {"create " + dir + "/NUL", "create -f " + dir + "/con.trn", "import --lines " + dir + "/Com1",
                                  "import -f --lines " + dir + "/lpt9.x", "convert -m 2 " + source + " " + dir + "/aux",
                                  "recover -f " + source + " " + dir + "/PRN.trn"}) {
    ToolRun run = RunTool(line, "x\n");
    EXPECT_EQ(73, run.status) << line;
    EXPECT_TRUE(Has(run.err, " is not a regular file, and only a file is replaced")) << line << ": " << run.err;
  }
  EXPECT_EQ(" . .. source", Listing(dir));
  EXPECT_EQ(2u, ReadFile(source).size());
}

// Ctrl-C while an append copies its input from a pipe: the copy keeps its
// name while the tool runs and goes with the tool, which ends as Ctrl-C
// ends a program; the file is as it was.
TEST(CliInterruptTest, CtrlCDuringAnAppendFromAPipeLeavesNoCopy) {
  if (std::string(VARNFILE_TOOL_PATH).empty()) GTEST_SKIP() << "the tool is not built";
  const std::string dir = ScratchFolder() + "/ctrlc", target = dir + "/target";
  ASSERT_EQ(0, MakeDirectory(dir));
  ASSERT_EQ(0u, MakeFile(target, 0, {}).size());
  // Ctrl-C goes to every program of a console: the tool gets a console of
  // its own with this test, which ignores the event once the tool runs.
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE in = nullptr, feed = nullptr;
  ASSERT_TRUE(CreatePipe(&in, &feed, &inherit, 0));
  SetHandleInformation(feed, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA start = {};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = in;
  start.hStdOutput = start.hStdError = nul;
  std::string line = "\"" VARNFILE_TOOL_PATH "\" import --append --lines " + target;
  std::replace(line.begin(), line.begin() + std::strlen(VARNFILE_TOOL_PATH) + 2, '/', '\\');
  PROCESS_INFORMATION tool = {};
  ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &tool));
  CloseHandle(in);
  CloseHandle(nul);
  // More than the 64 KB that the tool reads before it writes to its copy:
  // a copy that has grown has been made, and let go of its name.
  const std::string lines(70000, '\n');
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(feed, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr));
  std::string copy;
  uint64_t size = 0;
  for (int n = 0; n < 2000 && size < 65536; ++n) {
    const std::string names = Listing(dir);
    const size_t at = names.find(".varnfile-import-");
    copy = at == std::string::npos ? "" : dir + "/" + names.substr(at, names.find(' ', at) - at);
    if (copy.empty() || varnfile::PlatformFileSize(copy.c_str(), &size) != 0) size = 0;
    if (size < 65536) Sleep(10);
  }
  EXPECT_GE(size, 65536u) << Listing(dir);
  SetConsoleCtrlHandler(nullptr, TRUE);
  EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(tool.hProcess, 30000));
  DWORD status = 0;
  EXPECT_TRUE(GetExitCodeProcess(tool.hProcess, &status));
  EXPECT_EQ(static_cast<DWORD>(STATUS_CONTROL_C_EXIT), status);  // as Ctrl-C ends a program: no success
  TerminateProcess(tool.hProcess, 1);  // when the event did not end it
  CloseHandle(feed);
  CloseHandle(tool.hThread);
  CloseHandle(tool.hProcess);
  EXPECT_EQ(" . .. target", Listing(dir));
  EXPECT_EQ(std::vector<Item>{}, ReadFile(target));
}
#endif

// Under Wine every run of the tool costs a tenth of a second and more:
// Windows runs the table with no compression and with a chained method.
#if defined(_WIN32)
const uint16_t CliMethods[] = {0, 2};
#else
const uint16_t CliMethods[] = {0, 1, 2, 3, 4};
#endif
INSTANTIATE_TEST_SUITE_P(Methods, CliTest, ::testing::ValuesIn(CliMethods),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return "method" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace varnfile_test
