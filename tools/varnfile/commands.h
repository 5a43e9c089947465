// The subcommands of the varnfile tool. Each Add...Commands function adds
// its subcommands to the application; a subcommand that runs stores its exit
// status in *status and reports failures by throwing varn::Error or
// ToolError, which main turns into a message on stderr.
#ifndef VARNFILE_TOOLS_COMMANDS_H_
#define VARNFILE_TOOLS_COMMANDS_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "varnfile.hpp"

namespace CLI {
class App;
}

namespace varntool {

void AddEditCommands(CLI::App& app, int* status);      // create, add, set, delete, update
void AddInspectCommands(CLI::App& app, int* status);   // info, list, cat, verify
void AddTransferCommands(CLI::App& app, int* status);  // convert, export
void AddImportCommand(CLI::App& app, int* status);     // import
void AddRecoverCommand(CLI::App& app, int* status);    // recover

using HeaderImage = std::array<uint8_t, VARNFILE_HEADER_SIZE>;

// `target` with the caller's fields of `source` copied in: stamp, aging
// limit, flags, description and the reserved areas. Magic, version, base
// name, method and closed mark stay the target's own.
HeaderImage MergeHeaderFields(const HeaderImage& target, const uint8_t* source);

// The help of --ignore-aging, for the subcommands that read items.
constexpr const char* IgnoreAgingHelp =
    "Read a file that has aged as it is (from a private copy of the whole file in $TMPDIR or "
    "/tmp; the file is not changed)";

// The help of an item position (--at, --from).
constexpr const char* PositionHelp =
    "a byte position where a record starts (as list shows it), or #N for item N counted "
    "from 0 among the live items (deleted ones never count, also with list --all), #-1 for "
    "the last (quote it in a shell: '#-1')";

// Adds the options every subcommand shares: --quiet and --wait.
void AddCommonOptions(CLI::App* sub);

// The ids given to --cmd and --extra of a subcommand that selects items by
// them (list, export), one a string.
struct SelectOptions {
  std::vector<std::string> commands, extras;
};

// Adds --cmd and --extra, each repeatable or a comma list.
void AddSelectOptions(CLI::App* sub, SelectOptions* options);

// Where a subcommand that goes through items (list, export) starts, which
// way it goes and how many items it takes, as given to --from, --reverse
// and --limit.
struct RangeOptions {
  std::string from, limit;
  bool reverse = false;
};

// Adds --reverse, --from and --limit.
void AddRangeOptions(CLI::App* sub, RangeOptions* options);

// Refuses a description the header cannot hold (more than 64 bytes, or a
// NUL) with a message that says why.
void CheckDescription(const std::string& text);

// Warns on stderr when the file at `path`, whose aging limit is `limit`
// seconds, has aged already or ages within a second (a limit of 0).
void WarnIfAged(const std::string& path, int64_t limit);

// What may happen to the path of a new file.
struct NewFileOptions {
  bool force = false;    // replace an existing file
  bool parents = false;  // create missing directories
};

// Adds --force and --parents for a subcommand that writes a new file.
void AddNewFileOptions(CLI::App* sub, NewFileOptions* options);

// Refuses a name that ends in a path separator: it names a directory, and
// a file made under it would be made as one (64).
void CheckFileName(const std::string& path, const char* what);

// Refuses, before anything is made: a name that ends in a separator
// (CheckFileName), an existing directory or other file that is not a
// regular file (73, whatever --force says); then an existing file unless
// `force`, and missing directories unless `parents`.
void CheckNewFile(const std::string& path, const NewFileOptions& options);

// The part of CheckNewFile that no option changes: the name and what
// already stands there.
void CheckNewName(const std::string& path);

class RemoveOnInterrupt;
class ScratchFile;

// A new transaction file at `path`, made after CheckNewFile's rules. Over
// an existing file (--force) it is written under a scratch name beside that
// file and takes its name in Commit, once it is finished: a run that fails
// or is interrupted leaves the existing file as it was. Until Commit an
// interruption removes the new file. The scratch name is the same for every
// run with the same name (".varnfile-new-NAME"): what a killed run left
// there is replaced by the next, while a run still writing it holds it, and
// another run for the same name is refused as in use. Before its last close
// the file moves to a name of this run's own (".varnfile-new-NAME-PID-
// xxxxxxxx", PID the process in base 36), so the shared name never holds a
// finished file that no lock guards; what a run killed after that left
// under such a name, unfinished, or finished once its process is gone, is
// removed by the next run for the same name. A new name is given only while it is
// free: a file another program made there meanwhile is replaced with
// --force and refused (73) without.
class NewFile {
 public:
  // With `staged` a file of a new name is written under a scratch name too,
  // so that a run killed midway leaves nothing under its name.
  NewFile(const std::string& path, const NewFileOptions& options, bool staged = false);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates the file with `method`, at writing().
  varn::File Create(varn::Method method);
  // Where the file is written until Commit.
  const std::string& writing() const;
  // Closes the file; `last` unless it is opened again to write more. When
  // the close fails (a full disk, a file-size limit) the handle is gone but
  // the unfinished file stays: it is removed, and the error says so.
  void Finish(varn::File* file, bool last = true);
  // Throws the file away after a failure; false when it cannot be removed
  // (its file system turned read-only) and stays behind unfinished, which
  // the tool then says.
  bool Discard(varn::File* file);
  // Throws the finished file away (after Finish, before Commit); false when
  // it cannot be removed.
  bool Discard();
  // In a handler of a failure while the file was written: throws it away
  // and the failure on, its message completed with the cause of a failed
  // write (asked before the removal frees the space that ran out) and with
  // what became of the file. A failure of the close says that itself.
  [[noreturn]] void DiscardAndRethrow(varn::File* file);
  // The size of the finished file (after Finish), which it keeps when it
  // takes its name; false when the system does not tell it. What a summary
  // says of the file is taken before Commit: the name may be another
  // process's to hold the moment it is given, and nothing after Commit may
  // turn a finished command into a failure.
  bool Size(uint64_t* size) const;
  // Gives the finished file its name.
  void Commit();

 private:
  // Writes the file under the scratch name beside `beside`, over what a
  // killed run left there.
  void UseScratch(const std::string& beside);
  // Moves the scratch file, still held, to a name of this run's own.
  void MoveAside();
  // The scratch file has its name: nothing is left to remove.
  void Committed();

  std::string path_, target_, replaced_;  // the name, where a new file goes, the file it replaces
  std::string scratch_;                   // over an existing file, or staged
  bool force_ = false;                    // a file that takes the name meanwhile is replaced too
  bool madeScratch_ = false;              // scratch_ is this run's file, to remove if not committed
  std::unique_ptr<RemoveOnInterrupt> unfinished_;  // removes writing() on an interruption
  std::unique_ptr<ScratchFile> aside_;             // the run's own name, from MoveAside on
};


}  // namespace varntool

#endif  // VARNFILE_TOOLS_COMMANDS_H_
