#include "usage_hints.h"

#include <algorithm>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "tool_util.h"

namespace varntool {

namespace {

// Single-character insertions, deletions, substitutions and swaps of
// neighbours that turn a into b (each edit touching new characters).
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// Of `candidates`, the nearest to `given` within fewer than `limit` edits;
// empty when none is that near (the first of equally near ones wins).
std::string Nearest(const std::string& given, const std::vector<std::string>& candidates, size_t limit) {
  std::string nearest;
  for (const std::string& candidate : candidates) {
    const size_t distance = EditDistance(given, candidate);
    if (distance < limit) {
      nearest = candidate;
      limit = distance;
    }
  }
  return nearest;
}

}  // namespace

std::string UnknownSubcommandHint(const CLI::App& app, const std::string& name) {
  uint64_t size = 0;
  if (varnfile::PlatformFileSize(name.c_str(), &size) == 0 && !varnfile::PlatformIsDirectory(name.c_str())) {
    const std::string shown = Shown(name);
    return ": the subcommand comes first, as in varnfile info " + shown + " or varnfile list " + shown;
  }
  // Words other tools use for these.
  static const char* const synonyms[][2] = {
      {"ls", "list"}, {"dir", "list"}, {"rm", "delete"}, {"del", "delete"},
      {"remove", "delete"}, {"dump", "export"}, {"show", "info"}, {"stat", "info"},
      {"check", "verify"}, {"fsck", "verify"}, {"repair", "recover"}, {"new", "create"},
      {"append", "add"}, {"insert", "add"}, {"edit", "update"}, {"get", "cat"},
      {"read", "cat"}, {"copy", "convert"}, {"compress", "convert"}, {"load", "import"}};
  for (const auto& synonym : synonyms) {
    if (name == synonym[0]) return std::string(" (did you mean ") + synonym[1] + "?)";
  }
  std::vector<std::string> names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    names.push_back(sub->get_name());
  // Within two edits (one for short names).
  const std::string nearest = Nearest(name, names, name.size() > 3 ? 3 : 2);
  return nearest.empty() ? "" : " (did you mean " + nearest + "?)";
}

std::string UnknownOptionMessage(const CLI::App& app, const CLI::App& sub, const std::string& extras) {
  std::istringstream words(extras);
  std::string given;
  for (std::string word; words >> word;) {
    // An option: --name or --name=value, or a dash and one letter.
    if (word.size() >= 2 && word[0] == '-' && word != "--" && (word[1] == '-' || word.size() == 2)) {
      given = word.substr(0, word.find('='));
      break;
    }
  }
  if (given.empty()) return "";
  std::vector<std::string> names;
  for (const CLI::App* owner : {&sub, &app}) {
    for (const CLI::Option* option : owner->get_options())
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
  }
  // An option of the tool's own (--version), given after the subcommand.
  if (app.get_option_no_throw(given) != nullptr && sub.get_option_no_throw(given) == nullptr)
    return "varnfile " + sub.get_name() + ": " + Shown(given) + " goes before the subcommand (varnfile " +
           Shown(given) + ")";
  const std::string nearest = Nearest(given, names, given.size() > 5 ? 3 : 2);
  return "varnfile " + sub.get_name() + ": unknown option " + Shown(given) +
         (nearest.empty() ? "" : " (did you mean " + nearest + "?)") + "; varnfile help " +
         sub.get_name() + " lists its options";
}

std::string ParserMessage(std::string text) {
  const std::string required = ": 1 required ", missing = " missing";
  const size_t at = text.find(required);
  if (at != std::string::npos && text.size() > missing.size() &&
      text.compare(text.size() - missing.size(), missing.size(), missing) == 0) {
    const size_t value = at + required.size();
    return text.substr(0, at) + " needs a value (" +
           text.substr(value, text.size() - missing.size() - value) + ")";
  }
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"The following argument was not expected: ",
                                                                     "unexpected argument "},
                                 {"The following arguments were not expected: ", "unexpected arguments "},
                                 {"A subcommand is required", "a subcommand is required"}}) {
    if (text.compare(0, from.size(), from) == 0) return to + text.substr(from.size());
  }
  return text;
}

}  // namespace varntool
