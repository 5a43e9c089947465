// What a refused command line is told: the subcommand or option it most
// likely meant, and the command-line parser's messages in the tool's words.
#ifndef VARNFILE_TOOLS_USAGE_HINTS_H_
#define VARNFILE_TOOLS_USAGE_HINTS_H_

#include <CLI/CLI.hpp>
#include <string>

namespace varntool {

// What an unknown subcommand most likely meant, to follow its name in the
// message: the name of a file (the way `sqlite3 FILE` starts), another
// tool's word for a subcommand, or a subcommand mistyped by a letter or
// two. Empty when nothing comes close.
std::string UnknownSubcommandHint(const CLI::App& app, const std::string& name);

// For arguments the parser did not expect (`extras`, as its message lists
// them): a message naming the first that looks like an option, with the
// option of `sub` (or of the tool itself) it most likely meant. Empty when
// none looks like an option (too many file names, say): the parser's
// message stands.
std::string UnknownOptionMessage(const CLI::App& app, const CLI::App& sub, const std::string& extras);

// The parser's message in the tool's words where its own are stiff
// ("--from: 1 required POS|#N missing", "The following argument was not
// expected: x").
std::string ParserMessage(std::string text);

}  // namespace varntool

#endif  // VARNFILE_TOOLS_USAGE_HINTS_H_
