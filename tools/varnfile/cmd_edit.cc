// create, add, set, delete, update: make files and change them.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "commands.h"
#include "json_lines.h"
#include "open_file.h"
#include "platform/file.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "raw_file.h"
#include "tool_util.h"
#include "walk.h"

namespace varntool {

HeaderImage MergeHeaderFields(const HeaderImage& target, const uint8_t* source) {
  HeaderImage merged;
  std::copy(source, source + VARNFILE_HEADER_SIZE, merged.begin());
  auto keep = [&](std::size_t offset, std::size_t size) {
    std::copy(target.begin() + offset, target.begin() + offset + size, merged.begin() + offset);
  };
  keep(MagicOffset, 4);
  keep(VersionOffset, 2);
  keep(BaseNameOffset, BaseNameSize);
  keep(CompressionOffset, 2);
  keep(ClosedMarkerOffset, 2);
  // A description must stay terminated inside its field.
  merged[DescriptionOffset + DescriptionSize - 1] = 0;
  return merged;
}

void AddNewFileOptions(CLI::App* sub, NewFileOptions* options) {
  sub->add_flag("--force,-f", options->force, "Replace an existing file");
  sub->add_flag("--parents,-p", options->parents, "Create missing directories of the new file");
}

void CheckFileName(const std::string& path, const char* what) {
  if (EndsInSeparator(path))
    throw ToolError(Quote(path) + ": " + what + " cannot end in \"" + path.back() +
                    "\", which names a directory; give the file's own name");
}

void CheckNewName(const std::string& path) {
  CheckFileName(path, "the name of a new file");
  std::error_code error;
  const std::filesystem::file_type type = varnfile::PlatformIsDeviceName(path.c_str())
                                              ? std::filesystem::file_type::character
                                              : std::filesystem::status(path, error).type();
  if (type == std::filesystem::file_type::directory)
    throw ToolError(path + " is a directory, not a file (" + path + "/NAME names a new file in it)",
                    ExitCannotCreate);
  if (type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::regular &&
      type != std::filesystem::file_type::none)
    throw ToolError(path + " is not a regular file, and only a file is replaced", ExitCannotCreate);
}

void CheckNewFile(const std::string& path, const NewFileOptions& options) {
  CheckNewName(path);
  if (!options.force && FileExists(path))
    throw ToolError(path + " already exists (use --force to replace it)", ExitCannotCreate);
  std::string dir = DirectoryOf(path);
  if (!options.parents && !FileExists(dir))
    throw ToolError("directory " + dir + " does not exist (use --parents to create it)",
                    ExitCannotCreate);
}

namespace {

// Where a new file named `path` goes: the name itself, or where a symbolic
// link that leads nowhere yet leads (through a chain of them). A name that
// is no link comes back as it is: on Windows std::filesystem::path reads a
// narrow name in another code page than it writes it back in, and a name
// outside ASCII would come back as another name.
std::string LinkEnd(const std::string& path) {
  std::filesystem::path at = path;
  std::error_code error;
  int hops = 0;
  for (; hops < 40 && std::filesystem::is_symlink(at, error); ++hops) {
    std::filesystem::path to = std::filesystem::read_symlink(at, error);
    if (error) break;
    at = to.is_absolute() ? to : at.parent_path() / to;
  }
  return hops == 0 ? path : at.string();
}

// The file that path leads to through symbolic links, or path itself when
// that cannot be found (on Windows always path itself).
std::string ResolvedPath(const std::string& path) {
  char real[4096];
  return varnfile::PlatformResolvePath(path.c_str(), real, sizeof real) == 0 ? real : path;
}

bool NameTaken(const std::string& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}

// The scratch name of a new file: fixed for each name, so that a run that
// was killed leaves one file behind, which the next run replaces, however
// often it happens. Very long names are cut and keep a hash of the rest.
// The library takes names of at most 259 bytes, and a name that fits may
// leave no room for the prefix beside it (a deep directory, or the full
// path of a file that --force replaces, given by a short name): the
// directory is then named from the working directory where it lies in it,
// and the name gives way to a hash of it, ".varnfile-new-0123abcd", which
// is as fixed. Where even that is too long, nothing is made.
std::string ScratchNameFor(const std::string& path) {
  std::string name = NameOf(path);
  const unsigned long long hash = std::hash<std::string>()(name);
  if (name.size() > 200) {
    char tail[24];
    std::snprintf(tail, sizeof tail, "-%016llx", hash);
    name = name.substr(0, 180) + tail;
  }
  char hashed[32];
  std::snprintf(hashed, sizeof hashed, ".varnfile-new-%08llx", hash & 0xFFFFFFFFull);
  const std::string dir = DirectoryOf(path);
  std::vector<std::string> dirs = {dir};
  std::error_code error;
  const std::string here = std::filesystem::current_path(error).string();
  if (!error && !here.empty() && dir.size() > here.size() && dir.compare(0, here.size(), here) == 0 &&
      EndsInSeparator(dir.substr(0, here.size() + 1)))
    dirs.push_back(dir.substr(here.size() + 1));
  else if (!error && dir == here)
    dirs.push_back(".");
  std::string scratch;
  for (const std::string& leaf : {".varnfile-new-" + name, std::string(hashed)}) {
    for (const std::string& in : dirs) {
      scratch = InDirectory(in, leaf);
      if (scratch.size() <= LongestName) return scratch;
    }
  }
  throw ToolError(scratch + ": name too long (at most " + std::to_string(LongestName) + " bytes): " + path +
                  " is written under that name first; from " + dir + " (cd there) the name is short enough",
                  ExitCannotCreate);
}

// True for what a run of the tool leaves under a scratch name: a regular
// file that is empty or starts as a transaction file does, and has no other
// name (the create cuts it: a hard link would take another file's items).
bool LeftByTheTool(const std::string& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() == std::filesystem::file_type::regular &&
         std::filesystem::hard_link_count(path, error) == 1 && BeginsAsTransactionFile(path, true);
}

// Removes what a failed create left under `path`: a file that no open
// holds and whose header does not say it was closed properly (with
// `finishedToo`, also one that was). Both are checked under the file's
// lock, and the name removed while it holds, so that a file another run
// made meanwhile stays: held while it is made, closed properly once it is
// finished. 0; EWOULDBLOCK for a file held, EEXIST for one closed
// properly, or why it cannot be removed.
int RemoveUnfinished(const std::string& path, bool finishedToo = false) {
  int fd = -1;
  int error = varnfile::FileOpen(path.c_str(), varnfile::FileOpenUpdate, &fd);
  if (error != 0) return error;
  uint8_t header[HeaderSize];
  std::size_t got = 0;
  error = varnfile::FileReadAt(fd, header, sizeof header, 0, &got);
  if (error == 0 && !finishedToo && got == sizeof header && std::memcmp(header, "KVRW", 4) == 0 &&
      !NeverClosed(header, got))
    error = EEXIST;
  if (error == 0) error = varnfile::FileRemoveHeld(fd, path.c_str());
  varnfile::FileClose(fd);
  return error;
}

constexpr const char Base36[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::size_t ProcessTagSize = 7;  // base-36 digits of a 32-bit identifier

bool IsBase36(const std::string& s, std::size_t from, std::size_t count) {
  if (s.size() < from + count) return false;
  return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from),
                     s.begin() + static_cast<std::ptrdiff_t>(from + count),
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

// The part of an aside name that names the run's process: its identifier
// in base 36, seven digits.
std::string ProcessTag(unsigned long id) {
  std::string tag(ProcessTagSize, '0');
  for (std::size_t i = ProcessTagSize; i-- > 0; id /= 36) tag[i] = Base36[id % 36];
  return tag;
}

unsigned long TaggedProcess(const std::string& name, std::size_t from) {
  unsigned long id = 0;
  for (std::size_t i = from; i < from + ProcessTagSize; ++i)
    id = id * 36 + static_cast<unsigned long>(std::strchr(Base36, name[i]) - Base36);
  return id;
}

// Removes what killed runs left under run-own names beside the shared
// scratch name of `target` (".varnfile-new-NAME-PPPPPPP-xxxxxxxx", see
// MoveAside; P the run's process). A file the tool made that no open
// holds and that was never closed goes. A finished one goes too once the
// run that made it is gone: that run was killed between the close and the
// rename that gives the file its name. (A live run holds its file with its
// lock until the close, and renames it a moment later.) So does the
// second name of a file that such a run gave `target` by a hard link and
// did not get to remove. Names of the older form, without the process
// (".varnfile-new-NAME-xxxxxxxx"), go only when never closed.
void RemoveLeftAside(const std::string& scratch, const std::string& target) {
  const std::string prefix = NameOf(scratch) + "-";
  std::error_code error;
  std::filesystem::directory_iterator it(DirectoryOf(scratch), error), end;
  for (; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::size_t at = prefix.size();
    const std::size_t random = ScratchFile::RandomSize;
    const bool tagged = name.size() == at + ProcessTagSize + 1 + random && IsBase36(name, at, ProcessTagSize) &&
                        name[at + ProcessTagSize] == '-' && IsBase36(name, at + ProcessTagSize + 1, random);
    if (!tagged && !(name.size() == at + random && IsBase36(name, at, random))) continue;
    const std::string path = it->path().string();
    const bool gone = tagged && varnfile::PlatformProcessGone(TaggedProcess(name, at));
    if (LeftByTheTool(path)) {
      if (RemoveUnfinished(path) == EEXIST && gone) RemoveUnfinished(path, true);
    } else if (gone && std::filesystem::hard_link_count(path, error) == 2 &&
               varnfile::PlatformSameFile(path.c_str(), target.c_str())) {
      varnfile::PlatformRemoveName(path.c_str());
    }
    error.clear();
  }
}

}  // namespace

constexpr const char* StaysUnfinished = " cannot be removed and stays behind, never closed";

NewFile::NewFile(const std::string& path, const NewFileOptions& options, bool staged)
    : path_(path), target_(path), force_(options.force) {
  CheckNewFile(path, options);
  if (!FileExists(path)) {
    // The file is made where a link that leads nowhere yet leads, so that a
    // failure removes that file and not the link. A file staged in a
    // directory that --parents makes needs that directory first. Under a
    // name that is taken then, or that the system refuses (too long, or
    // ending in a slash), it is not staged: the create says why at once.
    target_ = LinkEnd(path);
    if (target_ != path) CheckNewFile(target_, options);
    std::error_code error;
    if (staged && options.parents) std::filesystem::create_directories(DirectoryOf(target_), error);
    const bool taken = NameTaken(target_);  // a link that leads nowhere, or a file made meanwhile
    if (!taken || !FileExists(target_)) {
      staged = staged && !taken;
      if (staged && FileExists(DirectoryOf(target_)))
        UseScratch(target_);
      else
        unfinished_ = std::make_unique<RemoveOnInterrupt>(target_);
      return;
    }
    target_ = path;
  }
  // A file that another program made since the check above is refused as
  // it would have been then; with --force it is replaced.
  CheckNewFile(path, options);
  // The file itself is replaced, where a symbolic link leads, and keeps its
  // permissions.
  replaced_ = ResolvedPath(path);
  if (!IsRegularFile(replaced_))  // a directory, a device, a pipe
    throw ToolError(path + " is not a regular file, and only a file is replaced", ExitCannotCreate);
  varnfile::FileClose(OpenLikeLibrary(replaced_, true));  // in use: refused, as a create would be
  UseScratch(replaced_);
}

void NewFile::UseScratch(const std::string& beside) {
  scratch_ = ScratchNameFor(beside);
  RemoveLeftAside(scratch_, beside);
  if (!NameTaken(scratch_)) return;
  // What an earlier run left is cut and written again by the create, which
  // takes the lock first: a file another run still writes is never cut.
  // (The run that made it may have moved it on meanwhile: then the name is free.)
  if (!LeftByTheTool(scratch_) && NameTaken(scratch_))
    throw ToolError(scratch_ + " is in the way: " + path_ + " is written under that name first, and "
                    "that file is not one the tool left (move it away)", ExitCannotCreate);
  try {
    varnfile::FileClose(OpenLikeLibrary(scratch_, true));
  } catch (const ToolError& e) {
    if (e.status() == ExitNoInput) return;  // the run that held it (--wait) has finished
    if (e.status() != ExitInUse) throw;
    throw ToolError(path_ + " is being made by another process: " + e.what(), ExitInUse);
  }
}

NewFile::~NewFile() {
  if (madeScratch_) varnfile::PlatformRemoveName(scratch_.c_str());
}

const std::string& NewFile::writing() const { return scratch_.empty() ? target_ : scratch_; }

varn::File NewFile::Create(varn::Method method) {
  varn::File file;
  errno = 0;  // a failed write's errno is its cause, never an older one
  uint16_t rc = varn::File::TryCreate(writing(), method, &file);
  if (rc != VARNFILE_OK) {
    // The library makes the file, then sizes it and writes its header: a
    // failure of those (a full disk, an I/O error) leaves an unfinished
    // file, which goes. The name was free, or what a killed run left. But
    // another run may have made the name's file meanwhile, and this create
    // failed for that: a file an open holds, or one closed properly, is
    // that run's and stays.
    const std::string cause = WriteFailureCause(errno, writing());
    const bool left = NameTaken(writing()) && LeftByTheTool(writing());
    const int removal = left ? RemoveUnfinished(writing()) : 0;
    if (removal == EWOULDBLOCK) throw ToolError(path_ + " is being made by another process", ExitInUse);
    if (removal == EEXIST) throw ToolError(path_ + " was made by another program meanwhile", ExitCannotCreate);
    const bool removed = left && removal == 0;
    if (left && !removed) Report("varnfile: %s%s\n", writing().c_str(), StaysUnfinished);
    if (rc == VARNFILE_E_WRITE || (rc == VARNFILE_E_CREATE && left && !cause.empty()))
      throw ToolError("cannot write the header of the new file " + path_ + ": " + varn::DescribeResult(rc) +
                          (cause.empty() ? "" : " (" + cause + ")") + (removed ? "; removed it" : ""),
                      ExitIo);
    // A new name is named as it is given: its scratch name is the tool's affair.
    ThrowOpenFailure(replaced_.empty() ? path_ : scratch_, rc, true);
  }
  if (!scratch_.empty()) {  // ours from here on, until it takes its name
    madeScratch_ = true;
    unfinished_ = std::make_unique<RemoveOnInterrupt>(scratch_);
    if (!replaced_.empty()) varnfile::PlatformCopyMode(replaced_.c_str(), scratch_.c_str());
  }
  if (writing() != path_) {  // the header names the file by the name it is given
    HeaderImage header = file.Header();
    std::string name = NameOf(path_).substr(0, BaseNameSize - 1);
    std::fill(header.begin() + BaseNameOffset, header.begin() + BaseNameOffset + BaseNameSize, 0);
    std::copy(name.begin(), name.end(), header.begin() + BaseNameOffset);
    file.WriteHeader(header);
  }
  return file;
}

bool NewFile::Size(uint64_t* size) const { return varnfile::PlatformFileSize(writing().c_str(), size) == 0; }

void NewFile::Commit() {
  if (scratch_.empty()) {
    Committed();
    return;
  }
  if (replaced_.empty()) {  // staged under a new name, which must still be free
    const int error = varnfile::PlatformRenameNew(scratch_.c_str(), target_.c_str());
    if (error == 0) {
      Committed();
      return;
    }
    if (error != EEXIST) throw SystemError("cannot give the new file the name " + path_, error, ExitIo);
    // Another program made a file of that name meanwhile: --force replaces
    // it as it would have replaced it at the start.
    if (!force_) throw ToolError(target_ + " was made by another program meanwhile", ExitCannotCreate);
    replaced_ = ResolvedPath(target_);
  }
  int fd = OpenLikeLibrary(replaced_, true);  // nobody holds the old file while it is replaced
#if defined(_WIN32)
  varnfile::FileClose(fd);  // Windows renames over no file that an open holds
  fd = -1;
#endif
  int error = varnfile::PlatformReplaceName(scratch_.c_str(), replaced_.c_str());
  if (fd >= 0) varnfile::FileClose(fd);
  if (error != 0)
    throw SystemError("cannot put the new file in place of " + path_, error, ExitIo);
  Committed();
}

// Another run for the same name that finds the shared scratch name free
// takes what it holds for a file a killed run left, and cuts it: were this
// run's finished file still there between its close and its rename, the
// rename would give the other run's file the name and report success.
// So the file leaves the shared name while the create's lock still holds
// it. Where an open file cannot be renamed (Windows) it stays there.
void NewFile::MoveAside() {
  const std::string stem = NameOf(scratch_) + "-" + ProcessTag(varnfile::PlatformProcessId());
  // The file is opened again by its name (recover checks that it opens),
  // so the name must be one the library takes; a deep directory leaves no
  // room for it, and the file stays under the shared name.
  if (ScratchFile::PathSize(DirectoryOf(scratch_), stem) > LongestName) return;
  std::unique_ptr<ScratchFile> own;
  try {
    own = std::make_unique<ScratchFile>(DirectoryOf(scratch_), stem);
  } catch (const ToolError&) {
    return;  // no room for another name: the finished file is not lost for it
  }
  own->Close();
  unfinished_->Keep();  // from here on the shared name may be another run's
  if (varnfile::PlatformReplaceName(scratch_.c_str(), own->path().c_str()) != 0) {
    unfinished_ = std::make_unique<RemoveOnInterrupt>(scratch_);
    return;
  }
  scratch_ = own->path();
  aside_ = std::move(own);  // removed on an interruption, or unless it takes its name
}

void NewFile::Committed() {
  unfinished_->Keep();
  madeScratch_ = false;
  // A summary that cannot be written from here on fails the command, but
  // the file is in place.
  settings().changed = "the new file " + Shown(path_) + " is in place all the same";
}

void NewFile::Finish(varn::File* file, bool last) {
  if (last && madeScratch_ && !aside_) MoveAside();
  errno = 0;  // a failed write's errno is its cause, never an older one
  uint16_t rc = file->TryClose();
  if (rc == VARNFILE_OK) return;
  // Asked first: the removal frees the space that ran out.
  const std::string cause = rc == VARNFILE_E_WRITE ? WriteFailureCause(errno, writing()) : "";
  bool removed = varnfile::FileRemove(writing().c_str()) == 0;
  madeScratch_ = false;
  std::string what = !removed  ? "; " + writing() + StaysUnfinished
                     : !replaced_.empty() ? " (removed it; the old file is as it was)"
                                : " (removed it)";
  const varn::Error failure(rc, "cannot finish " + path_ + what);
  if (cause.empty()) throw failure;
  throw ToolError(std::string(failure.what()) + " (" + cause + ")", StatusForResult(rc));
}

bool NewFile::Discard(varn::File* file) {
  if (file->TryAbort() != VARNFILE_OK) {
    Report("varnfile: %s%s\n", writing().c_str(), StaysUnfinished);
    return false;
  }
  madeScratch_ = false;
  return true;
}

bool NewFile::Discard() {
  if (varnfile::FileRemove(writing().c_str()) != 0) return false;
  madeScratch_ = false;
  return true;
}

void NewFile::DiscardAndRethrow(varn::File* file) {
  try {
    throw;
  } catch (const varn::Error& e) {
    const std::string cause = e.code() == VARNFILE_E_WRITE ? WriteFailureCause(errno, writing()) : "";
    const bool open = file->is_open();  // else its close failed, and said what became of it
    // The library refuses an item that would take the file past 4 GiB
    // before it writes, with the code of a failed write. A copy made in one
    // call does not say which item it was; but no item meets that refusal
    // while one of the largest still fits behind the data. So a failed
    // write without a cause (errno names none, the disk is not full) where
    // not even the largest item would fit is taken to be that refusal.
    // (Asked of the library directly: nothing here may throw before the
    // file is discarded.)
    uint32_t end = 0;
    std::array<uint8_t, HeaderSize> header{};
    const bool full =
        e.code() == VARNFILE_E_WRITE && cause.empty() && open &&
        VARNFileSeekToEnd(file->handle(), &end) == VARNFILE_OK &&
        VARNFileReadHeader(file->handle(), header.data(), HeaderSize) == VARNFILE_OK &&
        PastSizeLimit(end, VARNFILE_MAX_ITEM_LENGTH,
                      static_cast<varn::Method>(Get16(header.data() + CompressionOffset)));
    const bool removed = Discard(file) && open;
    if (cause.empty() && !removed && !full) throw;
    const std::string what =
        full ? "the items do not fit one file: the next would take " + path_ +
                   " past its 4 GiB limit (it ends at " + std::to_string(end) +
                   "; positions are 32-bit numbers)"
             : std::string(e.what()) + (cause.empty() ? "" : " (" + cause + ")");
    throw ToolError(what +
                    (!removed ? ""
                     : FileExists(path_) ? "; " + path_ + " is as it was"
                                         : "; removed the unfinished " + path_),
                    full ? ExitCannotCreate : StatusForResult(e.code()));
  } catch (...) {
    Discard(file);
    throw;
  }
}

void CheckDescription(const std::string& text) {
  // The header holds 64 bytes of it: a character outside ASCII takes 2 to 4
  // of them in UTF-8.
  if (text.size() > 64) {
    bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
    throw ToolError("description: at most 64 bytes, got " + std::to_string(text.size()) +
                    (ascii ? "" : " (a character outside ASCII takes 2 to 4 bytes)"));
  }
  if (text.find('\0') != std::string::npos) throw ToolError("description: holds a NUL character");
}

namespace {

// Item data from a stream: at most one byte more than an item holds, enough
// to refuse larger data without reading all of it (--file /dev/zero, or a
// pipe that never ends, would fill the memory).
std::vector<uint8_t> ReadItemBytes(std::istream& in, const std::string& what) {
  std::vector<uint8_t> data(VARNFILE_MAX_ITEM_LENGTH + 1);
  errno = 0;
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (in.bad())  // a directory, say
    throw errno != 0 ? SystemError("cannot read " + what, errno, ExitIo) : ToolError("cannot read " + what, ExitIo);
  data.resize(static_cast<std::size_t>(in.gcount()));
  if (data.size() > VARNFILE_MAX_ITEM_LENGTH)
    throw ToolError(what + " holds more than " + std::to_string(VARNFILE_MAX_ITEM_LENGTH) +
                    " bytes, the most one item holds");
  return data;
}

}  // namespace

// An aging limit shorter than the time since the stamp leaves a file aged
// at once, as the library judges it, and 0 does not mean "never": say so.
void WarnIfAged(const std::string& path, int64_t limit) {
  try {
    OpenItems(path, varn::Access::Read);
  } catch (const ToolError& e) {
    if (e.status() != ExitAged) return;
    if (limit == 0)  // a new stamp would not help for more than a second
      Report("warning: %s has aged: an aging limit of 0 ages a file within a second (0 does "
             "not mean never), so it cannot be opened (varnfile set --aging DAYS %s gives it a "
             "limit)\n", path.c_str(), path.c_str());
    else
      Report("warning: %s has aged: its stamp is older than its aging limit, so it cannot be opened "
             "(varnfile set --reset-aging %s restamps it)\n", path.c_str(), path.c_str());
    return;
  }
  if (limit == 0)
    Report("warning: an aging limit of 0 ages %s within a second (0 does not mean never)\n", path.c_str());
}

namespace {

struct CreateOptions {
  std::string path, method = "chained-deflate", description, flags, aging;
  NewFileOptions target;
};

void RunCreate(const CreateOptions& o) {
  varn::Method method = ParseMethod(o.method);
  uint32_t flags = o.flags.empty() ? 0 : static_cast<uint32_t>(ParseNumber(o.flags, 0xFFFFFFFF, "--flags"));
  CheckDescription(o.description);
  HeaderImage aging{};
  if (!o.aging.empty()) ParseAging(o.aging, aging.data());
  NewFile made(o.path, o.target, true);  // a file made meanwhile by another run is never cut
  varn::File file = made.Create(method);
  int64_t limit = 0;
  try {
    if (!o.description.empty()) file.SetDescription(o.description);
    if (flags != 0) file.SetFlags(flags);
    if (!o.aging.empty()) {
      HeaderImage header = file.Header();
      std::copy(aging.begin() + AgingDaysOffset, aging.begin() + CompressionOffset,
                header.begin() + AgingDaysOffset);
      file.WriteHeader(header);
    }
    limit = AgingSeconds(file.Header().data());
    made.Finish(&file);
  } catch (...) {
    made.Discard(&file);
    throw;
  }
  made.Commit();
  Note("created %s (method %u, %s)\n", o.path.c_str(), static_cast<unsigned>(method),
         varn::MethodName(method));
  // Aging is the one way a sound file stops opening: say so when it starts.
  if (limit == 0)
    WarnIfAged(o.path, 0);
  else
    Note("%s ages in %s: then it cannot be opened until varnfile set --reset-aging restamps it\n",
         o.path.c_str(), FormatSpan(limit).c_str());
}

struct AddOptions {
  std::string path, command, extra = "0", value = "0", text, dataFile;
  bool fromStdin = false, json = false;
};

// --data, --file and --stdin: the ways to give item data, one at a time.
void AddDataOptions(CLI::App* sub, AddOptions* o, const std::string& what) {
  CLI::Option* text = sub->add_option("--data", o->text, "Give the " + what + " as text");
  CLI::Option* file = sub->add_option("--file", o->dataFile,
                                      "Read the " + what + " from a file ('-': stdin, as --stdin)")
                           ->type_name("PATH");
  CLI::Option* in = sub->add_flag("--stdin", o->fromStdin, "Read the " + what + " from stdin");
  text->excludes(file)->excludes(in);
  file->excludes(in);
}

std::size_t DataOptionCount(const CLI::App& sub) {
  return sub.count("--data") + sub.count("--file") + sub.count("--stdin") +
         (sub.get_option_no_throw("DATA") != nullptr ? sub.count("DATA") : 0);
}

std::vector<uint8_t> ReadItemData(const AddOptions& o) {
  std::vector<uint8_t> data;
  if (o.dataFile == "-") {  // as import and export take it (./- names a file)
    data = ReadItemBytes(StandardInput("the item data"), "standard input");
  } else if (!o.dataFile.empty()) {
    std::ifstream in;
    OpenInput(in, o.dataFile);
    data = ReadItemBytes(in, o.dataFile);
  } else if (o.fromStdin) {
    data = ReadItemBytes(StandardInput("the item data"), "standard input");
  } else {
    data.assign(o.text.begin(), o.text.end());
  }
  if (data.size() > VARNFILE_MAX_ITEM_LENGTH)
    throw ToolError("--data holds " + std::to_string(data.size()) + " bytes; at most " +
                    std::to_string(VARNFILE_MAX_ITEM_LENGTH) + " fit one item");
  return data;
}

// After the close of an add failed: whether the file holds the item at
// `position` (its data ended at `end` before), read again through the
// library. Said also under -q: the error alone would let a script add the
// item a second time.
void ReportAddedAfterFailure(const std::string& path, uint32_t end, uint32_t position, const varn::Item& item) {
  varn::File file;
  const uint16_t rc = varn::File::TryOpen(path, varn::Access::Read, &file);
  if (rc != VARNFILE_OK) {
    ReportChanged("cannot tell whether the item is in %s: it does not open (%s)\n", path.c_str(),
                  varn::DescribeResult(rc).c_str());
    return;
  }
  uint32_t now = 0;
  varn::Item found;
  const uint16_t seek = VARNFileSeekToEnd(file.handle(), &now);
  const bool there = seek == VARNFILE_OK && now != end && VARNFileSetPosition(file.handle(), position) == VARNFILE_OK &&
                     file.TryRead(&found) == VARNFILE_OK && found.position == position &&
                     found.command == item.command && found.extra == item.extra &&
                     found.value == item.value && found.data == item.data;
  file.TryClose();  // only read: its close loses nothing
  if (seek != VARNFILE_OK)
    ReportChanged("cannot tell whether the item is in %s: %s\n", path.c_str(), varn::DescribeResult(seek).c_str());
  else if (now == end)
    ReportChanged("the item is not in %s: it is as it was\n", path.c_str());
  else if (there)
    ReportChanged("the item is in %s all the same, at %u\n", path.c_str(), position);
  else
    ReportChanged("%s does not hold the item as it was given at %u (varnfile verify %s tells more)\n",
                  path.c_str(), position, path.c_str());
}

void RunAdd(const AddOptions& o) {
  varn::Item item;
  item.command = static_cast<uint16_t>(ParseNumber(o.command, 0xFFFF, "--cmd"));
  if (item.command >= 0xFF00 && item.command != EndMarkerCommand)
    throw ToolError("--cmd: " + o.command + " is reserved; an item's command id goes up to 0xFEFF, "
                    "and 0xFF02 adds an end marker");
  item.extra = static_cast<uint16_t>(ParseNumber(o.extra, 0xFFFF, "--extra"));
  item.value = static_cast<uint32_t>(ParseNumber(o.value, 0xFFFFFFFF, "--value"));
  item.data = ReadItemData(o);
  varn::File file = OpenItems(o.path, varn::Access::ReadWrite);
  DeferInterrupts defer;  // the item and the close are written whole
  const varn::Method method = file.method();
  const uint32_t end = file.SeekToEnd();
  uint32_t position = 0;
  try {
    position = AppendItem(file, item, "");
  } catch (const varn::Error& e) {
    const ToolError failure = WriteFailure("cannot add the item to " + o.path, e.code(), o.path);
    file.TryClose();
    if (e.code() == VARNFILE_E_WRITE) ThrowIfPastSizeLimit(o.path, end, item.data.size(), method);
    throw failure;
  }
  errno = 0;  // a failed write's errno is its cause, never an older one
  const uint16_t rc = file.TryClose();
  if (rc != VARNFILE_OK) {
    const ToolError failure = WriteFailure("cannot finish " + o.path + " with the new item", rc, o.path);
    ReportAddedAfterFailure(o.path, end, position, item);
    throw failure;
  }
  settings().changed = "the item was added to " + Shown(o.path) + " at " + std::to_string(position) + " all the same";
  if (o.json) {
    // What a script needs to find the item again, as list --json names it.
    JsonObject row;
    row.Add("position", position).Add("command", item.command).Add("extra", item.extra);
    row.Add("value", item.value).Add("length", uint64_t{item.data.size()});
    std::printf("%s\n", row.str().c_str());
    return;
  }
  Note("added item 0x%04X at %u (%s)\n", item.command, position,
       Counted(item.data.size(), "byte").c_str());
}

// ---- delete, update: change items in place ----

std::string At(uint32_t position) { return "the item at " + std::to_string(position); }

// Finds the items that an edit acts on, then opens the file for the change.
// They are found with the file open for reading: through the library, and
// in the mapped bytes, which frame the records the library passes over (the
// mapping holds the file as a reader does, so it cannot stay while the file
// is open for writing). Opened exclusively, the file must still hold the
// items as they were found: whatever another process did in between, no
// change lands on a position that no longer holds them.
class ItemFinder {
 public:
  explicit ItemFinder(const std::string& path) : path_(path), raw_(std::make_unique<RawFile>()) {
    try {
      file_ = OpenItems(path, varn::Access::Read);
    } catch (const ToolError& e) {  // worded for a change: no --ignore-aging
      if (e.status() != ExitAged) throw;
      ThrowOpenFailure(path, VARNFILE_E_AGED, true);
    }
    raw_->Open(path);
  }

  varn::File& file() { return file_; }
  const RawFile& raw() const { return *raw_; }

  // The records that the `--at` texts name, in their order: items, live or
  // deleted, and end markers where `endMarkers` allows them; the end of data
  // is refused. All of them are found in one pass over the records; a bad
  // one throws the error of the first, in the order given.
  std::vector<RecordFrame> Find(const std::vector<std::string>& texts, bool endMarkers = false) {
    std::vector<ResolvedPosition> resolved = ResolvePositions(file_, *raw_, texts, "--at");
    std::vector<RecordFrame> frames;
    frames.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (resolved[i].error) std::rethrow_exception(resolved[i].error);
      const std::string arg = "--at " + texts[i] + ": ";
      uint32_t at = resolved[i].position;
      if (at == raw_->size()) throw ToolError(arg + "that is the end of data, no item");
      RecordFrame frame;
      FrameProblem problem = CheckFrame(*raw_, at, static_cast<uint16_t>(file_.method()), &frame);
      if (problem != FrameProblem::None)
        throw ToolError(arg + "the record at " + std::to_string(at) + " is damaged (" +
                        DescribeFrameProblem(problem) + ")", ExitDamaged);
      if (frame.command == EndMarkerCommand && !endMarkers)
        throw ToolError(arg + "the record at " + std::to_string(at) +
                        " is an end marker, which update leaves (varnfile delete --at " +
                        std::to_string(at) + " removes it)");
      frames.push_back(frame);
    }
    return frames;
  }

  // Ends the finding and opens the file exclusively.
  varn::File OpenToChange() {
    size_ = raw_->size();
    raw_.reset();
    file_ = varn::File();
    return OpenItems(path_, varn::Access::ReadWrite);
  }

  // Checks that `file` (from OpenToChange) still holds the live ones of
  // `items` unchanged, and nothing more.
  void CheckUnchanged(varn::File& file, const std::vector<RecordFrame>& items) {
    bool same = file.SeekToEnd() == size_;
    for (std::size_t i = 0; same && i < items.size(); ++i) {
      const RecordFrame& item = items[i];
      if (item.command == DeletedCommand) continue;  // the library reads past it
      file.Seek(item.position);
      uint16_t command, extra;
      uint32_t value;
      uint16_t rc = VARNFileReadCmdID(file.handle(), &command, &extra, &value);
      if (rc != VARNFILE_E_END_OF_FILE) varn::Check(rc, "read " + At(item.position));
      // A reader stops at an end marker, on it.
      if (item.command == EndMarkerCommand)
        same = rc == VARNFILE_E_END_OF_FILE && file.Tell() == item.position;
      else
        same = rc == VARNFILE_OK && file.Tell() == item.position && command == item.command &&
               extra == item.extra && value == item.value;
    }
    if (!same)
      throw ToolError(path_ + " changed while it was opened (another process wrote to it); "
                      "nothing changed, try again", ExitInUse);
  }

 private:
  std::string path_;
  varn::File file_;
  std::unique_ptr<RawFile> raw_;
  uint64_t size_ = 0;
};

// After a delete failed: which of `items` the file holds deleted now,
// read again from its bytes, and how to delete the rest.
void ReportDeletedAfterFailure(const std::string& path, const std::vector<RecordFrame>& items) {
  RawFile raw;
  try {
    raw.Open(path);
  } catch (const ToolError& e) {
    ReportChanged("cannot tell which items are deleted from %s: %s\n", path.c_str(), e.what());
    return;
  }
  std::size_t deleted = 0;
  std::string rest;
  for (const RecordFrame& item : items) {
    if (raw.Has(item.position, 2) && Get16(raw.data() + item.position) == DeletedCommand)
      ++deleted;
    else
      rest += " --at " + std::to_string(item.position);
  }
  if (deleted == 0)
    ReportChanged("no item is deleted from %s: it is as it was\n", path.c_str());
  else if (rest.empty())
    ReportChanged("the %s are deleted from %s all the same\n", Counted(items.size(), "item").c_str(), path.c_str());
  else
    ReportChanged("%zu of the %s are deleted from %s; the others are not (varnfile delete %s%s deletes them)\n",
                  deleted, Counted(items.size(), "item").c_str(), path.c_str(), path.c_str(), rest.c_str());
}

struct DeleteOptions {
  std::string path, command;
  std::vector<std::string> at, items;  // --at and the words after FILE
};

// Every item is found and checked before the first is deleted: a bad --at
// changes nothing. An interruption stops between two items; the file is
// closed with the items deleted so far, and the count is reported.
void RunDelete(const DeleteOptions& o, const CLI::App& sub) {
  bool byCommand = sub.count("--cmd") > 0;
  std::vector<std::string> wanted = o.at;
  wanted.insert(wanted.end(), o.items.begin(), o.items.end());
  if (!byCommand && wanted.empty())
    throw ToolError("delete: nothing to delete (give --at POS|#N, or --cmd ID for every item with that id)");
  uint16_t command = 0;
  if (byCommand) {
    command = static_cast<uint16_t>(ParseNumber(o.command, 0xFFFF, "--cmd"));
    if (command >= 0xFF00)
      throw ToolError("--cmd: " + o.command + " is reserved; only items with ids up to 0xFEFF are deleted");
  }
  std::vector<RecordFrame> items;
  ItemFinder finder(o.path);
  if (byCommand) {
    WalkItems(finder.file(), finder.raw(), false, 0, false, [&](const Entry& e) {
      if (e.kind != EntryKind::Live || e.frame.command != command) return true;
      // As --at refuses it: a damaged record is left to recover.
      if (e.frame.trailerDamage != FrameProblem::None)
        throw ToolError("the record at " + std::to_string(e.frame.position) + " is damaged (" +
                        DescribeFrameProblem(e.frame.trailerDamage) +
                        "); varnfile recover salvages the items", ExitDamaged);
      items.push_back(e.frame);
      return true;
    });
  }
  std::unordered_set<uint32_t> named;
  for (const RecordFrame& item : items) named.insert(item.position);
  const std::vector<RecordFrame> found = finder.Find(wanted, true);
  for (std::size_t i = 0; i < found.size(); ++i) {
    const RecordFrame& item = found[i];
    if (item.command == DeletedCommand)
      throw ToolError("--at " + wanted[i] + ": " + At(item.position) + " is already deleted");
    if (named.insert(item.position).second) items.push_back(item);  // else named twice
  }
  varn::File file = finder.OpenToChange();
  DeferInterrupts defer;
  finder.CheckUnchanged(file, items);
  std::size_t done = 0;
  try {
    for (; done < items.size() && !defer.Interrupted(); ++done) {
      file.Seek(items[done].position);
      errno = 0;
      // The library deletes items only: an end marker first becomes one (a
      // change of its ids in the cache, written back with the deletion).
      uint16_t rc = VARNFILE_OK;
      if (items[done].command == EndMarkerCommand)
        rc = VARNFileUpdateItem(file.handle(), 0, items[done].extra, items[done].value, 0, nullptr);
      if (rc == VARNFILE_OK) rc = VARNFileDeleteItem(file.handle());
      if (rc != VARNFILE_OK) throw WriteFailure("cannot delete " + At(items[done].position), rc, o.path);
    }
    errno = 0;
    const uint16_t rc = file.TryClose();
    if (rc != VARNFILE_OK) throw WriteFailure("cannot finish " + o.path, rc, o.path);
  } catch (...) {
    // A deletion the library took may still have been lost with its write
    // buffer: the file's bytes say which of the items are deleted.
    file.TryClose();
    ReportDeletedAfterFailure(o.path, items);
    throw;
  }
  // One line per item, as far as a reader follows them; then the count.
  const std::size_t listed = ListedLines(done, 100);
  for (std::size_t i = 0; i < listed; ++i) {
    if (items[i].command == EndMarkerCommand)
      Report("deleted the end marker at %u (%s): readers go on past it\n", items[i].position,
             Counted(items[i].length, "byte").c_str());
    else
      Report("deleted item 0x%04X at %u (%s)\n", items[i].command, items[i].position,
             Counted(items[i].length, "byte").c_str());
  }
  if (done > listed) Report("... and %zu more: %s deleted\n", done - listed, Counted(done, "item").c_str());
  if (done < items.size())
    Report("interrupted: deleted %zu of %s\n", done, Counted(items.size(), "item").c_str());
  else if (items.empty())
    Report("no live item has command id 0x%04X; nothing deleted\n", command);
}

// After an update failed: whether the item at item.position holds the new
// ids and value (and data), read again from the file's bytes.
void ReportUpdatedAfterFailure(const std::string& path, const RecordFrame& item, uint16_t command,
                               uint16_t extra, uint32_t value, const std::vector<uint8_t>* data) {
  RawFile raw;
  try {
    raw.Open(path);
  } catch (const ToolError& e) {
    ReportChanged("cannot tell whether %s of %s changed: %s\n", At(item.position).c_str(), path.c_str(), e.what());
    return;
  }
  RecordFrame now;
  CheckFrame(raw, item.position, VARNFILE_METHOD_NONE, &now);
  const bool idsNew = now.command == command && now.extra == extra && now.value == value;
  const bool idsOld = now.command == item.command && now.extra == item.extra && now.value == item.value;
  const uint8_t* stored = raw.data() + item.position + ItemHeaderSize;
  const bool dataNew = data == nullptr || (raw.Has(item.position + ItemHeaderSize, data->size()) &&
                                           std::equal(data->begin(), data->end(), stored));
  if (idsOld && (data == nullptr || !dataNew) && now.crc == item.crc)
    ReportChanged("%s of %s is as it was\n", At(item.position).c_str(), path.c_str());
  else if (idsNew && dataNew)
    ReportChanged("%s of %s holds the change all the same\n", At(item.position).c_str(), path.c_str());
  else
    ReportChanged("%s of %s holds only part of the change (varnfile update with the same arguments "
                  "makes it whole)\n", At(item.position).c_str(), path.c_str());
}

struct UpdateOptions : AddOptions {
  std::string at;
};

// Changes the ids and value of one item, and its data where the file keeps
// data as it is (no compression) and the length stays. A deleted item given
// a command id is live again, with its old data.
void RunUpdate(const UpdateOptions& o, const CLI::App& sub) {
  if (sub.count("--at") == 0)
    throw ToolError("update: no item given (give it as --at POS|#N or after the file: varnfile "
                    "update FILE '#0' ...)");
  bool newCommand = sub.count("--cmd") > 0, newExtra = sub.count("--extra") > 0;
  bool newValue = sub.count("--value") > 0, newData = DataOptionCount(sub) > 0;
  if (!newCommand && !newExtra && !newValue && !newData)
    throw ToolError("update: nothing to change (give --cmd, --extra, --value, or new data with "
                    "--data, --file or --stdin)");
  uint16_t command = newCommand ? static_cast<uint16_t>(ParseNumber(o.command, 0xFFFF, "--cmd")) : 0;
  if (command >= 0xFF00)
    throw ToolError("--cmd: " + o.command + " is reserved; an item's command id goes up to 0xFEFF "
                    "(varnfile add --cmd 0xFF02 adds an end marker)");
  uint16_t extra = newExtra ? static_cast<uint16_t>(ParseNumber(o.extra, 0xFFFF, "--extra")) : 0;
  uint32_t value = newValue ? static_cast<uint32_t>(ParseNumber(o.value, 0xFFFFFFFF, "--value")) : 0;
  std::vector<uint8_t> data;
  if (newData) data = ReadItemData(o);
  ItemFinder finder(o.path);
  RecordFrame item = finder.Find({o.at})[0];
  const std::string at = At(item.position);
  bool restore = item.command == DeletedCommand;
  if (restore && !newCommand)
    throw ToolError("--at " + o.at + ": " + at + " is deleted; give --cmd ID to make it live again with that id");
  varn::Method method = finder.file().method();
  if (newData && method != varn::Method::None)
    throw ToolError(o.path + " is stored with method " + std::to_string(static_cast<unsigned>(method)) +
                    " (" + varn::MethodName(method) + "), and item data is replaced in place only "
                    "without compression: convert the file to method 0 first (varnfile convert " +
                    o.path + " NEW --method 0), or delete the item and add the new data as a new one");
  if (newData && data.size() != item.length)
    throw ToolError(at + " holds " + Counted(item.length, "byte") + "; new data replaces it in place "
                    "only at the same length (" + std::to_string(data.size()) + " given): delete "
                    "the item and add the new data as a new one instead");
  if (!newCommand) command = item.command;
  if (!newExtra) extra = item.extra;
  if (!newValue) value = item.value;
  varn::File file = finder.OpenToChange();
  DeferInterrupts defer;  // the change and the close are written whole
  finder.CheckUnchanged(file, {item});
  if (defer.Interrupted()) {
    file.Close();
    Report("interrupted: %s is unchanged\n", at.c_str());
    return;
  }
  file.Seek(item.position);
  try {
    errno = 0;
    uint16_t rc = file.TryUpdate(command, extra, value, newData ? data.data() : nullptr, data.size());
    if (rc != VARNFILE_OK) throw WriteFailure("cannot update " + at, rc, o.path);
    errno = 0;
    rc = file.TryClose();
    if (rc != VARNFILE_OK) throw WriteFailure("cannot finish " + o.path, rc, o.path);
  } catch (...) {
    file.TryClose();
    ReportUpdatedAfterFailure(o.path, item, command, extra, value, newData ? &data : nullptr);
    throw;
  }
  Report("%s item at %u: command 0x%04X, extra 0x%04X, value %u%s\n", restore ? "restored" : "updated",
         item.position, command, extra, value, newData ? ", new data" : "");
}

struct SetOptions {
  std::string path, flags, description, aging;
  bool resetAging = false;
};

// Edits the header directly (see HeaderEditor), so that an aged file can be
// rescued: the library would refuse to open it.
void RunSet(const SetOptions& o, const CLI::App& sub) {
  bool setFlags = sub.count("--flags") > 0, setDescription = sub.count("--description") > 0;
  bool setAging = sub.count("--aging") > 0;
  if (!setFlags && !setDescription && !setAging && !o.resetAging)
    throw ToolError("set: nothing to change (give --flags, --description, --aging or --reset-aging)");
  uint32_t flags = setFlags ? static_cast<uint32_t>(ParseNumber(o.flags, 0xFFFFFFFF, "--flags")) : 0;
  if (setDescription) CheckDescription(o.description);
  HeaderImage aging{}, written;
  if (setAging) ParseAging(o.aging, aging.data());
  {
    HeaderEditor editor(o.path);
    uint8_t* h = editor.header();
    if (setFlags) Put32(h + FlagsOffset, flags);
    if (setDescription) {
      std::fill(h + DescriptionOffset, h + DescriptionOffset + DescriptionSize, 0);
      std::copy(o.description.begin(), o.description.end(), h + DescriptionOffset);
    }
    if (setAging) std::copy(aging.begin() + AgingDaysOffset, aging.begin() + CompressionOffset, h + AgingDaysOffset);
    if (o.resetAging) StampNow(h);
    editor.Write();
    std::copy(h, h + HeaderSize, written.begin());
  }
  settings().changed = "the header of " + Shown(o.path) + " holds the change all the same";
  if (settings().quiet) return;
  const uint8_t* h = written.data();
  std::printf("flags        0x%08X\n", Get32(h + FlagsOffset));
  std::printf("description  %s\n", Quote(HeaderText(h + DescriptionOffset, DescriptionSize)).c_str());
  std::printf("stamp        %s\n", FormatStamp(h + StampDateOffset, h + StampTimeOffset).c_str());
  std::printf("aging limit  %s\n", FormatSpan(AgingSeconds(h)).c_str());
  if (setAging) WarnIfAged(o.path, AgingSeconds(h));
}

}  // namespace

void AddEditCommands(CLI::App& app, int* status) {
  const char* agingHelp =
      "Aging limit: the file cannot be opened this long after its stamp (creation or last "
      "reset); DAYS or DAYS:HH:MM:SS, new files get 30 days";
  {
    auto o = std::make_shared<CreateOptions>();
    CLI::App* sub = app.add_subcommand("create", "Create an empty transaction file");
    sub->add_option("FILE", o->path, "File to create")->required();
    sub->add_option("--method,-m", o->method,
                    "Compression method: 0 none, 1 predictor, 2 chained-deflate (default), "
                    "3 chained-predictor, 4 deflate");
    sub->add_option("--description,-d", o->description, "Description (at most 64 bytes)");
    sub->add_option("--flags", o->flags, "Caller flags (32-bit number)");
    sub->add_option("--aging", o->aging, agingHelp);
    AddNewFileOptions(sub, &o->target);
    AddCommonOptions(sub);
    sub->callback([o, status] {
      RunCreate(*o);
      *status = 0;
    });
  }
  {
    auto o = std::make_shared<AddOptions>();
    CLI::App* sub = app.add_subcommand("add", "Append one item to a file");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    // The data may follow the file, as the value follows the table in an
    // insert: `varnfile add orders.trn -c 1 "txn 1"`.
    CLI::Option* positional =
        sub->add_option("DATA", o->text, "The item data as text, as --data gives it (-- before data that starts with -)");
    sub->add_option("--cmd,--command,-c", o->command, "Command id (0..0xFEFF, or 0xFF02 for an end marker)")
        ->required();
    sub->add_option("--extra,-e", o->extra, "Extra id (16-bit, default 0)");
    sub->add_option("--value,-v", o->value, "Value (32-bit, default 0)");
    AddDataOptions(sub, o.get(), "item data");
    positional->excludes("--data")->excludes("--file")->excludes("--stdin");
    sub->add_flag("--json", o->json,
                  "Print the new item as one JSON object on stdout (position, command, extra, "
                  "value, length), as list --json does, instead of the summary");
    AddCommonOptions(sub);
    sub->callback([o, status, sub] {
      if (DataOptionCount(*sub) != 1)
        throw ToolError("add: give the data with exactly one of DATA (after the file), --data TEXT, "
                        "--file PATH or --stdin (data piped in is read with --stdin only; --data '' for an "
                        "item without data)");
      RunAdd(*o);
      *status = 0;
    });
  }
  {
    auto o = std::make_shared<DeleteOptions>();
    CLI::App* sub = app.add_subcommand(
        "delete",
        "Mark items deleted, in place under the file's exclusive lock. Their records stay (list "
        "--all shows them) but reads pass over them; export leaves them out. An end marker "
        "named with --at goes the same way, and readers go on past it. Every item is "
        "checked first: a bad --at deletes nothing");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_option("--at", o->at, std::string("An item to delete (repeat for more): ") + PositionHelp)
        ->type_name("POS|#N")
        ->allow_extra_args(false);
    sub->add_option("ITEM", o->items, "Items to delete, written as for --at")
        ->type_name("POS|#N");
    sub->add_option("--cmd,--command,-c", o->command, "Delete every live item with this command id (with --at: those items too)")
        ->type_name("ID");
    AddCommonOptions(sub);
    sub->callback([o, status, sub] {
      RunDelete(*o, *sub);
      *status = 0;
    });
  }
  {
    auto o = std::make_shared<UpdateOptions>();
    CLI::App* sub = app.add_subcommand(
        "update",
        "Change the ids, value or data of one item in place. It works under the file's "
        "exclusive lock; what is not given stays. New data must be as long as the old, in a "
        "file without compression (method 0). A deleted item given --cmd is live again");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_option("--at,ITEM", o->at,
                    std::string("The item, given as --at POS|#N or as the word after FILE (one of "
                                "the two is needed): ") + PositionHelp)
        ->type_name("POS|#N");
    sub->add_option("--cmd,--command,-c", o->command, "New command id (0..0xFEFF)");
    sub->add_option("--extra,-e", o->extra, "New extra id (16-bit)");
    sub->add_option("--value,-v", o->value, "New value (32-bit)");
    AddDataOptions(sub, o.get(), "new data (as long as the old)");
    AddCommonOptions(sub);
    sub->callback([o, status, sub] {
      RunUpdate(*o, *sub);
      *status = 0;
    });
  }
  {
    auto o = std::make_shared<SetOptions>();
    CLI::App* sub = app.add_subcommand(
        "set",
        "Change the flags, description, aging limit or aging stamp. Writes the header fields "
        "directly under the file's exclusive lock, so it also rescues a file that has aged");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_option("--flags", o->flags, "New caller flags (32-bit number)");
    sub->add_option("--description,-d", o->description, "New description (at most 64 bytes)");
    sub->add_option("--aging", o->aging, agingHelp);
    sub->add_flag("--reset-aging", o->resetAging, "Restamp the file with the current time");
    AddCommonOptions(sub);
    sub->callback([o, status, sub] {
      RunSet(*o, *sub);
      *status = 0;
    });
  }
}

}  // namespace varntool
