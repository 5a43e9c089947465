// Opening files for the subcommands: waiting while another process holds a
// file (--wait), reading aged files as they are (--ignore-aging), editing
// header fields of files the library refuses to open, and saying plainly why
// a file cannot be opened (missing, in use, not a transaction file, aged).
#ifndef VARNFILE_TOOLS_OPEN_FILE_H_
#define VARNFILE_TOOLS_OPEN_FILE_H_

#include <cstdint>
#include <string>

#include "commands.h"
#include "varnfile.hpp"

namespace varntool {

// Opens `path` through the library, retrying for --wait seconds while
// another process holds it. With ignoreAging a file that has aged is read
// from a private copy whose stamp lies in the future: the same bytes at the
// same positions, and the original is not touched. *aged (optional) tells
// whether the file has aged. Failures throw ToolError with the exit status
// that names the cause.
varn::File OpenItems(const std::string& path, varn::Access access, bool ignoreAging = false,
                     bool* aged = nullptr);

// Throws the ToolError that explains why the library refused to open (or
// create) `path` with `code`.
[[noreturn]] void ThrowOpenFailure(const std::string& path, uint16_t code, bool exclusive);

// The header of a file read and written directly, opened exclusively (as an
// update open of the library opens it), without the library's aging
// check: this is how set rescues an aged file. The file must look like a
// transaction file the library would open apart from its age: magic,
// version 264..272, closed properly.
class HeaderEditor {
 public:
  explicit HeaderEditor(const std::string& path);
  ~HeaderEditor();
  HeaderEditor(const HeaderEditor&) = delete;
  HeaderEditor& operator=(const HeaderEditor&) = delete;

  uint8_t* header() { return header_.data(); }
  // Writes the 174 bytes back with one write call and syncs them; on a
  // failure puts the header read at the start back.
  void Write();

 private:
  std::string path_;
  int fd_ = -1;
  HeaderImage header_;
  HeaderImage original_;
};

// Opens path as the library's open would (shared for reading, exclusive for
// writing, write-through), retrying for --wait seconds while another process
// holds it; throws the ToolError that names why it cannot ("in use by
// another process", no such file, ...). The descriptor is the platform
// layer's (FileRead, FileClose).
int OpenLikeLibrary(const std::string& path, bool exclusive);

// Reads up to count bytes at offset of a descriptor of OpenLikeLibrary;
// the count read (fewer at the end of the file or on an error).
std::size_t ReadAt(int fd, uint64_t offset, void* buffer, std::size_t count);

// Why a header keeps the library from opening a file (too short, no magic,
// a version it does not read, never closed); empty when it would open.
std::string HeaderProblem(const std::string& path, const uint8_t* header, std::size_t size);

// True when a header is whole and would open but for its closed mark: the
// file was never closed properly (its writer stopped, or it is a copy of a
// file that is being written).
bool NeverClosed(const uint8_t* header, std::size_t size);

// The aging limit of a header in seconds.
int64_t AgingSeconds(const uint8_t* header);

// Puts the current local date and time into a header's stamp, as the
// library stamps a new or reset file.
void StampNow(uint8_t* header);

// "DAYS[:HH:MM:SS]" into the five aging bytes of a header.
void ParseAging(const std::string& text, uint8_t* header);

}  // namespace varntool

#endif  // VARNFILE_TOOLS_OPEN_FILE_H_
