// varnfile: look into, check, convert and recover transaction files.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "io/stream.h"
#include "platform/console.h"
#include "tool_util.h"
#include "usage_hints.h"

#ifndef VARNFILE_PACKAGE_VERSION
#define VARNFILE_PACKAGE_VERSION "unknown"
#endif

namespace {

const char ExitStatusHelp[] =
    "Exit status:\n"
    "  0   success\n"

    "  64  usage error: unknown subcommand or option, bad argument value\n"
    "  65  damaged data: not a transaction file, never closed, damaged records (verify found\n"
    "      problems; list, info met items failing their CRC), bad input lines (import:\n"
    "      also a line whose data does not fit one item once compressed)\n"
    "  66  no such file, or not a regular file (a directory, FIFO or device)\n"
    "  69  the file has aged (--ignore-aging reads it; set --reset-aging rescues it)\n"
    "  70  internal error\n"
    "  73  cannot create the target: it exists (use --force), it is a directory or no regular\n"
    "      file, or its directory does not exist (use --parents); or the items would take the\n"
    "      file past 4 GiB, the most a transaction file holds\n"
    "  74  input/output error\n"
    "  75  the file is in use by another process (--wait SECONDS retries)\n"
    "  77  permission denied: a file that may not be read or written, a folder where a new\n"
    "      file, a scratch file or a directory (--parents) may not be made\n"
    "A signal (Ctrl-C, SIGTERM, SIGHUP, SIGPIPE from a closed pipe) ends the tool with the\n"
    "shell's 128 + signal number (on Windows, Ctrl-C, Ctrl-Break or closing the console ends\n"
    "it with 0xC000013A, STATUS_CONTROL_C_EXIT, which cmd.exe shows as -1073741510), and a\n"
    "subcommand that was writing a new file removes it first; one that was changing a file\n"
    "(add, import --append, delete, update) first finishes the item at hand and closes the\n"
    "file properly.\n";

// The overview lists each subcommand with the first sentence of its
// description, one line each, for a reader looking for the right command;
// `help SUBCOMMAND` shows the whole description.
class OverviewFormatter : public CLI::Formatter {
 public:
  std::string make_subcommand(const CLI::App* sub) const override {
    std::string summary = sub->get_description();
    summary.resize(std::min(summary.size(), summary.find(". ")));
    std::ostringstream out;
    CLI::detail::format_help(out, sub->get_display_name(true), summary, column_width_);
    return out.str();
  }
};

const CLI::App* FindSubcommand(const CLI::App& app, const std::string& name) {
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    if (sub->get_name() == name) return sub;
  return nullptr;
}

std::string SubcommandNames(const CLI::App& app) {
  std::string names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    names += (names.empty() ? "" : ", ") + sub->get_name();
  return names + ", help";
}

// The error of a command that failed after its change was made (a new
// file in place, an item added): the message says that the change stands,
// so that nobody makes it again.
void PrintFailure(const std::string& message) {
  const std::string& changed = varntool::settings().changed;
  varntool::PrintError(changed.empty() ? message : message + " (" + changed + ")");
}

}  // namespace

namespace varntool {

namespace {

// --wait SECONDS, after the subcommand or before it, as -q is taken.
void AddWaitOption(CLI::App* app) {
  app->add_option("--wait", settings().wait,
                  "When another process holds the file, retry for up to this many seconds "
                  "(0 to 1000000, fractions allowed)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          [](std::string& text) {
            // strtod reads "nan" and "inf" too, which are no time to wait.
            char* end = nullptr;
            const double seconds = std::strtod(text.c_str(), &end);
            const bool ok = !text.empty() && end == text.c_str() + text.size() &&
                            std::isfinite(seconds) && seconds >= 0 && seconds <= 1e6;
            return ok ? std::string()
                      : "expected a number of seconds from 0 to 1000000 (fractions allowed), got " +
                            Quote(text);
          },
          ""));  // the type name says it; CLI11 would show "SECONDS:SECONDS"
}

}  // namespace

void AddCommonOptions(CLI::App* sub) {
  sub->add_flag("--quiet,-q", settings().quiet,
                "No progress bar, summary or warning; errors still show");
  AddWaitOption(sub);
}

void AddSelectOptions(CLI::App* sub, SelectOptions* options) {
  sub->add_option("--cmd,--command,-c", options->commands,
                  "Only items with this command id; repeat it or give a list (5,7) for any of "
                  "them. End markers have id 0xFF02; deleted items (list --all) 0xFF04")
      ->type_name("ID")
      ->allow_extra_args(false);
  sub->add_option("--extra,-e", options->extras,
                  "Only items with this extra id, the same way; with --cmd, items with both")
      ->type_name("ID")
      ->allow_extra_args(false);
}

void AddRangeOptions(CLI::App* sub, RangeOptions* options) {
  sub->add_flag("--reverse,-r", options->reverse, "From the last item back to the first");
  sub->add_option("--from", options->from, std::string("Start at this item (included): ") + PositionHelp +
                      "; #-N in a file of fewer items starts at the first, as tail -n does")
      ->type_name("POS|#N");
  sub->add_option("--limit,-n", options->limit,
                  "Show at most this many items (0: none), counting only the selected ones")
      ->type_name("N");
}

}  // namespace varntool

int main(int argc, char** argv) {
  using namespace varntool;
  // Item data and JSON lines pass through unchanged, as on every system.
  varnfile::PlatformBinaryStdio();
  // A full file-size limit is a failed write like a full disk.
  varnfile::PlatformNoFileSizeSignal();
  // Named, not after argv[0]: usage lines read "varnfile import ...", whether
  // asked for by `help import` or `import --help`, from any path.
  CLI::App app{"varnfile: look into, check, convert and recover transaction files", "varnfile"};
  app.set_version_flag("--version", std::string("varnfile ") + VARNFILE_PACKAGE_VERSION +
                                        "\nfile format version " +
                                        std::to_string(VARNFileVersion()));
  app.footer(std::string("Run varnfile help SUBCOMMAND (or SUBCOMMAND --help) for its options.\n\n") +
             ExitStatusHelp);
  app.require_subcommand(1, 1);
  // -q and --wait before the subcommand too, as each subcommand takes them after its name.
  app.add_flag("--quiet,-q", settings().quiet,
               "No progress bar, summary or warning; errors still show");
  AddWaitOption(&app);
  app.formatter(std::make_shared<OverviewFormatter>());
  // Options start with '-' on every system; on Windows "/name" is a path.
  app.allow_windows_style_options(false);
  // A refused command line is told as the tool's other messages are:
  // "varnfile SUB: ", what it was given shown as they show it (a line break
  // or a byte that is no UTF-8 escaped), and where the usage is.
  // Subcommands take this from the app as they are added.
  app.failure_message([](const CLI::App* at, const CLI::Error& e) {
    const std::string what = Shown(ParserMessage(e.what()));
    const auto parsed = at != nullptr ? at->get_subcommands() : std::vector<CLI::App*>{};
    if (parsed.empty()) return "varnfile: " + what + "; varnfile --help shows the usage\n";
    const std::string name = parsed.front()->get_name();
    return "varnfile " + name + ": " + what + "; varnfile help " + name + " shows its usage\n";
  });
  int status = 0;
  AddEditCommands(app, &status);
  AddInspectCommands(app, &status);
  AddTransferCommands(app, &status);
  AddImportCommand(app, &status);
  AddRecoverCommand(app, &status);
  // A memory file lives only as long as the process that made it: every
  // file the tool reads or writes is on disk.
  for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    for (CLI::Option* file : sub->get_options([](const CLI::Option* o) { return o->get_positional(); }))
      file->check(CLI::Validator(
          [](std::string& name) {
            return varnfile::IsMemoryName(name.c_str())
                       ? name + " names a memory file, which is gone when the process that made "
                                "it ends; the tool works on files on disk (./" + name + " names one)"
                       : std::string();
          },
          ""));
  }
  // Run bare, as someone trying it out would: the overview says what to type.
  if (argc == 1) {
    std::fprintf(stderr, "%s\nvarnfile: a subcommand is required\n", app.help().c_str());
    return ExitUsage;
  }
  // An option the tool does not know, with no subcommand after it: say
  // which (the parser would only say that a subcommand is required). The
  // subcommand is the first word after the tool's own options (-q, --wait
  // SECONDS).
  int at = 0;
  {
    std::string unknown;
    for (int i = 1; i < argc && at == 0; ++i) {
      const std::string arg = argv[i];
      if (arg.empty() || arg[0] != '-') {
        at = i;
        continue;
      }
      // The options of the app itself (-q, --wait, --help, --version).
      const std::string name = arg.substr(0, arg.find('='));
      const CLI::Option* option = app.get_option_no_throw(name);
      if (option == nullptr) {
        if (unknown.empty()) unknown = arg;
      } else if (name == arg && option->get_items_expected_max() > 0) {
        ++i;  // its value
      }
    }
    if (at == 0 && !unknown.empty()) {
      std::fprintf(stderr, "varnfile: unknown option %s; before a subcommand come only -q, --wait SECONDS, "
                   "--help and --version\n", Quote(unknown).c_str());
      return ExitUsage;
    }
  }
  if (at > 0) {
    std::string name = argv[at];
    if (name == "help") {
      if (argc == at + 1 || (argc == at + 2 && std::string(argv[at + 1]) == "help")) {
        std::fputs(app.help().c_str(), stdout);
        return ExitOk;
      }
      name = argv[at + 1];
      if (FindSubcommand(app, name) != nullptr) {
        if (argc > at + 2) {
          std::fprintf(stderr, "varnfile help: one subcommand, as in varnfile help %s (%s is one too many)\n",
                       name.c_str(), Quote(argv[at + 2]).c_str());
          return ExitUsage;
        }
        std::fputs(FindSubcommand(app, name)->help(app.get_name()).c_str(), stdout);
        return ExitOk;
      }
    }
    if (FindSubcommand(app, name) == nullptr) {
      std::fprintf(stderr, "varnfile: unknown subcommand %s%s; the subcommands are: %s\n",
                   Quote(name).c_str(), UnknownSubcommandHint(app, name).c_str(),
                   SubcommandNames(app).c_str());
      return ExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ExtrasError& e) {
    // CLI11 lists the unexpected arguments after the colon of its message.
    const std::string what = e.what();
    const std::vector<CLI::App*> parsed = app.get_subcommands();
    const CLI::App* sub = parsed.empty() ? nullptr : parsed.front();
    const size_t colon = what.find(": ");
    const std::string message =
        sub != nullptr && colon != std::string::npos ? UnknownOptionMessage(app, *sub, what.substr(colon + 2)) : "";
    if (message.empty()) return app.exit(e) == 0 ? ExitOk : ExitUsage;
    std::fprintf(stderr, "%s\n", message.c_str());
    return ExitUsage;
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? ExitOk : ExitUsage;
  } catch (const ToolError& e) {
    PrintFailure(e.what());
    return e.status();
  } catch (const varn::Error& e) {
    PrintFailure(e.what());
    return StatusForResult(e.code());
  } catch (const std::exception& e) {
    PrintFailure(e.what());
    return ExitSoftware;
  }
  // Data that never reached standard output (a full disk, a closed pipe
  // whose signal is ignored) is a failure, not a success.
  errno = 0;
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == ExitOk) {
    const int error = errno;
    const std::string changed = settings().changed.empty() ? "" : " (" + settings().changed + ")";
    std::fprintf(stderr, "varnfile: cannot write to standard output: %s%s\n",
                 error != 0 ? std::strerror(error) : "write failed", changed.c_str());
    return ExitIo;
  }
  return status;
}
