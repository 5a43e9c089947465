// varnfile for C++: RAII files, typed items, iteration and exceptions over the
// C API of varnfile.h. Header-only; link against the varnfile library.
//
//   varn::File file = varn::File::Create("orders.trn", varn::Method::None);
//   file.Add(7, 0, 42, "first");
//   for (const varn::Item& item : file.Items()) use(item);
//   for (const varn::Item& item : file.ItemsReversed()) use(item);
//   file.Close();  // throws varn::Error if the file could not be finished
//
// The calls where an error is an expected outcome (Create, Open, Close,
// Abort, Add, Read, Update) have a Try... twin that returns the 16-bit
// result code instead (0 on success); the others throw. A File closes its file when it is destroyed, but a
// destructor cannot throw: an error of that implicit close (a failed write of
// the last items or of the header) is swallowed, and only a build without
// NDEBUG reports it on stderr. Call Close() wherever the outcome matters, or
// Abort() to throw the file away.
//
// A File opened with Access::Read refuses every change (adding, updating,
// deleting items, header fields, the method, Abort()) at once with Error 280
// (VARNFILE_E_ACCESS); the C API itself would accept the change and fail
// only at close, and its abort would remove the file.
//
// Names and descriptions are C strings to the library: a std::string with a
// NUL inside is refused with Error 260 (VARNFILE_E_INVALID_ARGUMENT) rather
// than cut at the NUL. Item data may hold any bytes.
//
// Files age: a file can be opened only within its aging limit after its
// stamp, which creation and ResetAging() set (closing does not). A new file
// gets 30 days; after that every open, read-only ones too, fails with Error
// 266 (VARNFILE_E_AGED), and nothing in this API opens it again: the tool
// does (`varnfile set --reset-aging FILE`, or `--ignore-aging` to read it).
// A file kept for longer wants SetAgingLimit() when it is made, or
// ResetAging() each time it is opened.
#ifndef VARNFILE_HPP_
#define VARNFILE_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "varnfile.h"

// A value that refers to the object it came from (a range to its File):
// clang warns where it would outlive that object.
#if defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::lifetimebound)
#define VARNFILE_LIFETIMEBOUND [[clang::lifetimebound]]
#endif
#endif
#ifndef VARNFILE_LIFETIMEBOUND
#define VARNFILE_LIFETIMEBOUND
#endif

namespace varn {

// Compression method of a file's item data; chosen while the file is empty.
enum class Method : uint16_t {
  None = VARNFILE_METHOD_NONE,
  Predictor = VARNFILE_METHOD_PREDICTOR,
  ChainedDeflate = VARNFILE_METHOD_CHAINED_DEFLATE,
  ChainedPredictor = VARNFILE_METHOD_CHAINED_PREDICTOR,
  Deflate = VARNFILE_METHOD_DEFLATE,
};

enum class Access : uint16_t {
  Read = VARNFILE_ACCESS_READ,
  ReadWrite = VARNFILE_ACCESS_READ_WRITE,
};

// True for the five methods a file can be stored with.
inline bool IsMethod(Method method) noexcept {
  return static_cast<uint16_t>(method) <= VARNFILE_METHOD_DEFLATE;
}

// Short name of a method ("none", "predictor", "chained-deflate",
// "chained-predictor", "deflate"), or "unknown".
inline const char* MethodName(Method method) noexcept {
  switch (method) {
    case Method::None: return "none";
    case Method::Predictor: return "predictor";
    case Method::ChainedDeflate: return "chained-deflate";
    case Method::ChainedPredictor: return "chained-predictor";
    case Method::Deflate: return "deflate";
  }
  return "unknown";
}

// Symbolic name of a result code ("VARNFILE_E_CRC"), or "unknown".
inline const char* ResultName(uint16_t code) noexcept {
  switch (code) {
    case VARNFILE_OK: return "VARNFILE_OK";
    case VARNFILE_E_POSITION: return "VARNFILE_E_POSITION";
    case VARNFILE_E_BUFFER_TOO_SMALL: return "VARNFILE_E_BUFFER_TOO_SMALL";
    case VARNFILE_E_INVALID_ARGUMENT: return "VARNFILE_E_INVALID_ARGUMENT";
    case VARNFILE_E_END_INCONSISTENT: return "VARNFILE_E_END_INCONSISTENT";
    case VARNFILE_E_END_OF_FILE: return "VARNFILE_E_END_OF_FILE";
    case VARNFILE_E_HEADER_UNREADABLE: return "VARNFILE_E_HEADER_UNREADABLE";
    case VARNFILE_E_NOT_TRANSACTION_FILE: return "VARNFILE_E_NOT_TRANSACTION_FILE";
    case VARNFILE_E_VERSION: return "VARNFILE_E_VERSION";
    case VARNFILE_E_AGED: return "VARNFILE_E_AGED";
    case VARNFILE_E_CRC: return "VARNFILE_E_CRC";
    case VARNFILE_E_CANNOT_REPLACE: return "VARNFILE_E_CANNOT_REPLACE";
    case VARNFILE_E_NO_PREVIOUS: return "VARNFILE_E_NO_PREVIOUS";
    case VARNFILE_E_RESERVED_ID: return "VARNFILE_E_RESERVED_ID";
    case VARNFILE_E_NO_MEMORY: return "VARNFILE_E_NO_MEMORY";
    case VARNFILE_E_INVALID_HANDLE: return "VARNFILE_E_INVALID_HANDLE";
    case VARNFILE_E_OPEN: return "VARNFILE_E_OPEN";
    case VARNFILE_E_CREATE: return "VARNFILE_E_CREATE";
    case VARNFILE_E_SEEK: return "VARNFILE_E_SEEK";
    case VARNFILE_E_READ: return "VARNFILE_E_READ";
    case VARNFILE_E_WRITE: return "VARNFILE_E_WRITE";
    case VARNFILE_E_REMOVE: return "VARNFILE_E_REMOVE";
    case VARNFILE_E_ACCESS: return "VARNFILE_E_ACCESS";
    case VARNFILE_E_NO_UNIQUE_NAME: return "VARNFILE_E_NO_UNIQUE_NAME";
    case VARNFILE_E_MKDIR: return "VARNFILE_E_MKDIR";
    case VARNFILE_E_METHOD_LOCKED: return "VARNFILE_E_METHOD_LOCKED";
  }
  return "unknown";
}

// What a result code means, in words.
inline const char* ResultMeaning(uint16_t code) noexcept {
  switch (code) {
    case VARNFILE_OK: return "success";
    case VARNFILE_E_POSITION: return "position lies inside the file header";
    case VARNFILE_E_BUFFER_TOO_SMALL: return "buffer too small for the string or item data";
    case VARNFILE_E_INVALID_ARGUMENT: return "invalid argument";
    case VARNFILE_E_END_INCONSISTENT: return "the end of the file is inconsistent";
    case VARNFILE_E_END_OF_FILE: return "no further item, or an end marker";
    case VARNFILE_E_HEADER_UNREADABLE: return "the file header cannot be read";
    case VARNFILE_E_NOT_TRANSACTION_FILE:
      return "not a transaction file (wrong magic, or never closed properly)";
    case VARNFILE_E_VERSION: return "format version not supported";
    case VARNFILE_E_AGED: return "the file is older than its aging limit";
    case VARNFILE_E_CRC: return "item data fails its CRC check";
    case VARNFILE_E_CANNOT_REPLACE:
      return "item cannot be replaced (length differs, or the file is compressed)";
    case VARNFILE_E_NO_PREVIOUS: return "no item before the current one";
    case VARNFILE_E_RESERVED_ID: return "command id is reserved (0xFF00 and above)";
    case VARNFILE_E_NO_MEMORY: return "out of memory";
    case VARNFILE_E_INVALID_HANDLE: return "invalid handle";
    case VARNFILE_E_OPEN: return "file missing, held by another open, or cannot be opened";
    case VARNFILE_E_CREATE: return "file cannot be created";
    case VARNFILE_E_SEEK: return "seek failed";
    case VARNFILE_E_READ: return "read failed or came up short";
    case VARNFILE_E_WRITE: return "write or close failed";
    case VARNFILE_E_REMOVE: return "file cannot be removed";
    case VARNFILE_E_ACCESS: return "access denied";
    case VARNFILE_E_NO_UNIQUE_NAME: return "no unique file name could be found";
    case VARNFILE_E_MKDIR: return "a directory cannot be created";
    case VARNFILE_E_METHOD_LOCKED: return "compression method cannot change: the file holds items";
  }
  return "unknown result code";
}

// "267 VARNFILE_E_CRC: item data fails its CRC check"
inline std::string DescribeResult(uint16_t code) {
  return std::to_string(code) + " " + ResultName(code) + ": " + ResultMeaning(code);
}

// what with each NUL character written as \0: what() is read as a C
// string, which would end at a NUL inside a file name.
inline std::string WithoutNul(std::string what) {
  for (size_t at = what.find('\0'); at != std::string::npos; at = what.find('\0', at + 2)) {
    what.replace(at, 1, "\\0");
  }
  return what;
}

// A failed call: the library's result code and a readable message naming the
// operation that failed and, for a read, where: "read item at 342 of
// orders.trn: 267 VARNFILE_E_CRC: item data fails its CRC check".
class Error : public std::runtime_error {
 public:
  Error(uint16_t code, const std::string& what)
      : std::runtime_error(WithoutNul(what) + ": " + DescribeResult(code)), code_(code) {}
  Error(uint16_t code, const std::string& what, uint32_t position)
      : std::runtime_error(WithoutNul(what) + ": " + DescribeResult(code)),
        code_(code),
        position_(position) {}
  uint16_t code() const noexcept { return code_; }
  // Where the item whose read failed starts (where the read began when no
  // item could be framed there); 0 for an error of no read.
  uint32_t position() const noexcept { return position_; }

 private:
  uint16_t code_;
  uint32_t position_ = 0;
};

inline void Check(uint16_t code, const char* what) {
  if (code != VARNFILE_OK) throw Error(code, what);
}
inline void Check(uint16_t code, const std::string& what) {
  if (code != VARNFILE_OK) throw Error(code, what);
}

// One item as read from a file, or to be written to one.
struct Item {
  uint32_t position = 0;  // where the item's record starts (when read)
  uint16_t command = 0;
  uint16_t extra = 0;
  uint32_t value = 0;
  std::vector<uint8_t> data;

  std::string text() const { return std::string(data.begin(), data.end()); }
};

class File;

// Range over a file's live items in file order (forwards) or towards the
// first item (backwards), from the first or last item or from a saved
// position. Both stop at the end of the file or at an end marker, as the
// library's readers do. While the loop body runs, the file's cursor stands on
// the item the loop is at, so Update() and Delete() in the body act on that
// item; the loop then goes on from it. Adding items is allowed too (a forward
// loop reaches them). A failed read (a CRC error, a broken record) throws
// Error, whose position() is the item's; after a CRC error the cursor stands
// behind that item, and a forward loop can go on with Items(file.Tell()).
// A range taken from a File variable refers to it and must not outlive it
// (clang warns); one taken from a temporary File (File::Open(path).Items(),
// std::move(file).Items()) keeps that file open until the range is gone,
// then closes it as File's destructor does: return such a range from a
// function, never one of a local File.
// Backwards through a chained file, each read-ahead window decodes the chain
// from the nearest decoder checkpoint before it (see docs/guide.md), so a
// backward walk costs about twice a forward one.
class ItemRange {
 public:
  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Item;
    using difference_type = std::ptrdiff_t;
    using pointer = const Item*;
    using reference = const Item&;

    iterator() = default;
    const Item& operator*() const noexcept { return item_; }
    const Item* operator->() const noexcept { return &item_; }
    iterator& operator++();
    // The copy keeps the item it was on; the file's cursor moves on.
    iterator operator++(int) {
      iterator before = *this;
      ++*this;
      return before;
    }
    // Equal at the end, or on the same item of the same file.
    bool operator==(const iterator& other) const noexcept {
      return file_ == other.file_ && (file_ == nullptr || item_.position == other.item_.position);
    }
    bool operator!=(const iterator& other) const noexcept { return !(*this == other); }

   private:
    friend class ItemRange;
    iterator(File* file, bool reverse) : file_(file), reverse_(reverse) {}
    void Fetch(bool first, uint32_t from);

    File* file_ = nullptr;  // null at the end
    bool reverse_ = false;
    uint32_t next_ = 0;  // forwards: the record behind the current item
    Item item_;
  };

  iterator begin() {
    iterator it(file_, reverse_);
    it.Fetch(true, from_);
    return it;
  }
  iterator end() { return iterator(); }

  // Start of a backward range that begins at the last item.
  static constexpr uint32_t kEnd = UINT32_MAX;

 private:
  friend class File;
  ItemRange(File* file, bool reverse, uint32_t from)
      : file_(file), reverse_(reverse), from_(from) {}
  ItemRange(std::shared_ptr<File> owned, bool reverse, uint32_t from)
      : file_(owned.get()), owned_(std::move(owned)), reverse_(reverse), from_(from) {}
  File* file_;
  std::shared_ptr<File> owned_;  // set when the range was taken from a temporary File
  bool reverse_;
  uint32_t from_;
};

// An open transaction file. Move-only; closes the file when destroyed
// (see the top of this header for what happens to an error of that close).
class File {
 public:
  File() noexcept = default;
  ~File() { Release(); }
  File(File&& other) noexcept
      : handle_(std::exchange(other.handle_, 0u)), writable_(other.writable_) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Release();
      handle_ = std::exchange(other.handle_, 0u);
      writable_ = other.writable_;
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // ---- Lifecycle ----

  // Creates (or truncates) the file `path`, or a memory file for "MEMORY$",
  // with the given compression method.
  static File Create(const std::string& path, Method method = Method::ChainedDeflate) {
    File file;
    Check(TryCreate(path, method, &file), "create " + path);
    return file;
  }
  static uint16_t TryCreate(const std::string& path, Method method, File* out) noexcept {
    // Checked before an existing file is cut: the library's own check would
    // come only after the create.
    if (!IsMethod(method) || HasNul(path)) return VARNFILE_E_INVALID_ARGUMENT;
    uint32_t handle = 0;
    uint16_t rc = VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, path.c_str(), nullptr, nullptr,
                                   nullptr, 0);
    if (rc != VARNFILE_OK) return rc;
    File file(handle);
    if (method != Method::ChainedDeflate) {
      rc = VARNFileSetCompression(handle, static_cast<uint16_t>(method));
      if (rc != VARNFILE_OK) {
        file.TryAbort();
        return rc;
      }
    }
    if (out != nullptr) *out = std::move(file);
    return VARNFILE_OK;
  }

  // Creates a file with an invented name in `directory`; Name() tells it.
  static File CreateUnique(const std::string& directory, const std::string& extension,
                           Method method = Method::ChainedDeflate) {
    if (!IsMethod(method) || HasNul(directory) || HasNul(extension))
      throw Error(VARNFILE_E_INVALID_ARGUMENT, "create in " + directory);
    uint32_t handle = 0;
    Check(VARNFileCreate(&handle, directory.c_str(), extension.c_str()), "create in " + directory);
    File file(handle);
    if (method != Method::ChainedDeflate) {
      uint16_t rc = VARNFileSetCompression(handle, static_cast<uint16_t>(method));
      if (rc != VARNFILE_OK) {
        file.TryAbort();  // the invented file is not left behind
        throw Error(rc, "set compression");
      }
    }
    return file;
  }

  // A File given a new file by assignment (f = File::Open(path)) or through a
  // Try... call's `out` closes the one it held only after the new one is
  // open, as the destructor does (an error of that close is lost). To reopen
  // the same file, Close() it first: the library would refuse the second
  // open while the first holds the file. "MEMORY$" names no file to open
  // (263): each Create("MEMORY$") makes a new memory file, gone at its close.
  static File Open(const std::string& path, Access access = Access::ReadWrite) {
    File file;
    Check(TryOpen(path, access, &file), "open " + path);
    return file;
  }
  static uint16_t TryOpen(const std::string& path, Access access, File* out) noexcept {
    if (HasNul(path)) return VARNFILE_E_INVALID_ARGUMENT;
    uint32_t handle = 0;
    uint16_t rc = VARNFileOpenEx(&handle, static_cast<uint16_t>(access), path.c_str(), 0);
    if (rc != VARNFILE_OK) return rc;
    File file(handle, access == Access::ReadWrite);
    if (out != nullptr) *out = std::move(file);
    return VARNFILE_OK;
  }

  // Removes a disk file by name; succeeds also when it does not exist. A file
  // that another handle or process holds open is left in place, without an
  // error (the library's delete reports none).
  static void Remove(const std::string& path) {
    Check(HasNul(path) ? VARNFILE_E_INVALID_ARGUMENT : VARNFileDelete(path.c_str(), 0),
          "remove " + path);
  }

  // Writes back, finishes and closes the file; throws Error when that fails
  // (the items written since the last successful write-back may be lost, see
  // docs/durability.md). The File is empty afterwards, even when the close
  // fails.
  void Close() { Check(TryClose(), "close"); }
  uint16_t TryClose() noexcept {
    if (handle_ == 0) return VARNFILE_OK;
    return VARNFileClose(std::exchange(handle_, 0u));
  }

  // Closes without finishing and removes the file. A file opened with
  // Access::Read is neither closed nor removed: 280.
  void Abort() { Check(TryAbort(), "abort"); }
  uint16_t TryAbort() noexcept {
    if (handle_ == 0) return VARNFILE_OK;
    if (!writable_) return VARNFILE_E_ACCESS;
    return VARNFileAbort(std::exchange(handle_, 0u));
  }

  bool is_open() const noexcept { return handle_ != 0; }
  // False for a file opened with Access::Read: changes throw Error 280.
  bool writable() const noexcept { return writable_; }
  explicit operator bool() const noexcept { return handle_ != 0; }
  uint32_t handle() const noexcept { return handle_; }
  // Gives up ownership: the caller closes the returned handle.
  uint32_t release() noexcept { return std::exchange(handle_, 0u); }
  // Takes ownership of a handle from the C API, opened with `access`.
  static File Adopt(uint32_t handle, Access access = Access::ReadWrite) noexcept {
    return File(handle, access == Access::ReadWrite);
  }

  // ---- Properties ----

  Method method() const {
    std::array<uint8_t, VARNFILE_HEADER_SIZE> header = Header();
    return static_cast<Method>(header[47] | (header[48] << 8));
  }
  void SetMethod(Method method) {
    CheckWritable("set compression");
    Check(VARNFileSetCompression(handle_, static_cast<uint16_t>(method)), "set compression");
  }

  std::string Name() const {
    char buffer[1024];
    Check(VARNFileGetFileName(handle_, buffer, sizeof buffer), "get file name");
    return buffer;
  }

  uint32_t flags() const {
    uint32_t flags = 0;
    Check(VARNFileGetFlags(handle_, &flags), "get flags");
    return flags;
  }
  void SetFlags(uint32_t flags) {
    CheckWritable("set flags");
    Check(VARNFileSetFlags(handle_, flags), "set flags");
  }

  std::string description() const {
    char buffer[80];
    Check(VARNFileGetDescription(handle_, buffer, sizeof buffer), "get description");
    return buffer;
  }
  void SetDescription(const std::string& text) {
    CheckWritable("set description");
    Check(HasNul(text) ? VARNFILE_E_INVALID_ARGUMENT : VARNFileSetDescription(handle_, text.c_str()),
          "set description");
  }

  // Stamps the file with the current time: it ages its limit from now.
  void ResetAging() {
    CheckWritable("reset aging");
    Check(VARNFileResetAging(handle_), "reset aging");
  }
  // How long after its stamp the file can still be opened (see the top of
  // this header), as the header holds it: days, hours, minutes, seconds.
  uint64_t agingLimitSeconds() const {
    std::array<uint8_t, VARNFILE_HEADER_SIZE> h = Header();
    return (uint64_t{h[42]} | uint64_t{h[43]} << 8) * 86400 + uint64_t{h[44]} * 3600 +
           uint64_t{h[45]} * 60 + h[46];
  }
  // Any 32-bit number of seconds (up to 49710 days 06:28:15) is a limit the
  // library counts as given; 0 ages the file one second after its stamp.
  void SetAgingLimit(uint32_t seconds) {
    CheckWritable("set aging limit");
    std::array<uint8_t, VARNFILE_HEADER_SIZE> h = Header();
    const uint32_t days = seconds / 86400;
    h[42] = static_cast<uint8_t>(days);
    h[43] = static_cast<uint8_t>(days >> 8);
    h[44] = static_cast<uint8_t>(seconds / 3600 % 24);
    h[45] = static_cast<uint8_t>(seconds / 60 % 60);
    h[46] = static_cast<uint8_t>(seconds % 60);
    Check(VARNFileWriteHeader(handle_, h.data(), VARNFILE_HEADER_SIZE), "set aging limit");
  }

  std::array<uint8_t, VARNFILE_HEADER_SIZE> Header() const {
    std::array<uint8_t, VARNFILE_HEADER_SIZE> header{};
    Check(VARNFileReadHeader(handle_, header.data(), VARNFILE_HEADER_SIZE), "read header");
    return header;
  }
  void WriteHeader(const std::array<uint8_t, VARNFILE_HEADER_SIZE>& header) {
    CheckWritable("write header");
    Check(VARNFileWriteHeader(handle_, header.data(), VARNFILE_HEADER_SIZE), "write header");
  }

  void SetParameters(uint16_t maxCachedItems, uint32_t maxCachedBytes, uint32_t readBufferSize,
                     uint32_t writeBufferSize) {
    Check(VARNFileSetParameters(handle_, maxCachedItems, maxCachedBytes, readBufferSize,
                                writeBufferSize),
          "set parameters");
  }

  // ---- Positions ----

  uint32_t Tell() const {
    uint32_t position = 0;
    Check(VARNFileGetPosition(handle_, &position), "get position");
    return position;
  }
  void Seek(uint32_t position) { Check(VARNFileSetPosition(handle_, position), "set position"); }
  void Rewind() { Seek(VARNFILE_FIRST_ITEM_POSITION); }
  // Moves the cursor to the end of data and returns it.
  uint32_t SeekToEnd() {
    uint32_t position = 0;
    Check(VARNFileSeekToEnd(handle_, &position), "seek to end");
    return position;
  }
  // Step to the next / previous live item; false when there is none (or an
  // end marker stands in the way).
  bool SkipNext() { return Step(VARNFileSkipNext(handle_), "skip next"); }
  bool SkipPrev() { return Step(VARNFileSkipPrev(handle_), "skip previous"); }

  // ---- Items ----

  // Appends an item at the end of the file and returns its position; the
  // cursor does not move. Command ids from 0xFF00 up are the library's and
  // refused (270), except 0xFF02, which appends an end marker: forward reads
  // stop at it (the items after it are seen only backwards) until Update()
  // at its position makes it an item, which Delete() then removes.
  uint32_t Add(uint16_t command, uint16_t extra, uint32_t value, const void* data,
               std::size_t length) {
    uint32_t position = 0;
    Check(TryAdd(command, extra, value, data, length, &position), "add item");
    return position;
  }
  uint32_t Add(uint16_t command, uint16_t extra, uint32_t value, const std::string& data) {
    return Add(command, extra, value, data.data(), data.size());
  }
  uint32_t Add(const Item& item) {
    return Add(item.command, item.extra, item.value, item.data.data(), item.data.size());
  }
  uint16_t TryAdd(uint16_t command, uint16_t extra, uint32_t value, const void* data,
                  std::size_t length, uint32_t* position = nullptr) noexcept {
    if (length > VARNFILE_MAX_ITEM_LENGTH) return VARNFILE_E_INVALID_ARGUMENT;
    if (handle_ != 0 && !writable_) return VARNFILE_E_ACCESS;
    uint32_t cursor = 0;
    uint16_t rc = VARNFileGetPosition(handle_, &cursor);
    if (rc == VARNFILE_OK) rc = VARNFileSeekToEnd(handle_, position);
    if (rc == VARNFILE_OK) rc = VARNFileSetPosition(handle_, cursor);
    if (rc != VARNFILE_OK) return rc;
    return VARNFileAddItem(handle_, command, extra, value, static_cast<uint16_t>(length),
                           static_cast<const uint8_t*>(data));
  }

  // Reads the live item at the cursor and moves the cursor past it. False at
  // the end of the file or at an end marker.
  bool Read(Item* item) {
    uint16_t rc = TryRead(item);
    if (rc == VARNFILE_E_END_OF_FILE) return false;
    if (rc != VARNFILE_OK) ThrowReadError(rc, item->position);
    return true;
  }
  // As above, but the end of the file throws Error (262) too.
  Item Read() {
    Item item;
    uint16_t rc = TryRead(&item);
    if (rc != VARNFILE_OK) ThrowReadError(rc, item.position);
    return item;
  }
  // On failure item->position tells where (see Error::position()).
  uint16_t TryRead(Item* item) noexcept {
    uint16_t length = 0;
    uint16_t rc = VARNFileReadCmdIDEx(handle_, &item->command, &item->extra, &item->value, &length);
    // Found, the cursor stands on the item; a failed read leaves it where
    // the read began.
    item->position = 0;
    VARNFileGetPosition(handle_, &item->position);
    if (rc != VARNFILE_OK) return rc;
    try {
      item->data.resize(length);
    } catch (...) {
      return VARNFILE_E_NO_MEMORY;
    }
    return VARNFileReadItem(handle_, &item->command, &item->extra, &item->value, &length,
                            item->data.empty() ? nullptr : item->data.data());
  }

  // Replaces the identifiers and value of the record at the cursor, and its
  // data when given (same length, uncompressed files only). Whatever the
  // record holds: a deleted item becomes live again, an end marker an item.
  // With the cursor at the end of data (SeekToEnd()) it appends instead.
  void Update(uint16_t command, uint16_t extra, uint32_t value) {
    CheckWritable("update item");
    Check(VARNFileUpdateItem(handle_, command, extra, value, 0, nullptr), "update item");
  }
  void Update(uint16_t command, uint16_t extra, uint32_t value, const void* data,
              std::size_t length) {
    CheckWritable("update item");
    Check(TryUpdate(command, extra, value, data, length), "update item");
  }
  uint16_t TryUpdate(uint16_t command, uint16_t extra, uint32_t value, const void* data,
                     std::size_t length) noexcept {
    if (length > VARNFILE_MAX_ITEM_LENGTH) return VARNFILE_E_INVALID_ARGUMENT;
    if (handle_ != 0 && !writable_) return VARNFILE_E_ACCESS;
    return VARNFileUpdateItem(handle_, command, extra, value, static_cast<uint16_t>(length),
                              static_cast<const uint8_t*>(data));
  }

  // Marks the item at the cursor deleted.
  void Delete() {
    CheckWritable("delete item");
    Check(VARNFileDeleteItem(handle_), "delete item");
  }

  // Copies every record of `source` (deleted items and end markers too)
  // into this file, which must be empty, re-encoded with this file's method.
  // A file that holds records throws Error 268 (VARNFILE_E_CANNOT_REPLACE)
  // and is left as it was: the library would copy over its records, in
  // place where the lengths agree.
  void DuplicateFrom(File& source) {
    CheckWritable("duplicate");
    uint32_t at = Tell(), end = 0;
    Check(VARNFileSeekToEnd(handle_, &end), "duplicate");
    if (end != VARNFILE_FIRST_ITEM_POSITION) {
      VARNFileSetPosition(handle_, at);
      throw Error(VARNFILE_E_CANNOT_REPLACE, "duplicate into a file that holds records");
    }
    Check(VARNFileDuplicate(handle_, source.handle_), "duplicate");
  }

  // The live items from the one at `from` (a position from Tell() or
  // Item::position; the next live item if that one is deleted) to the end.
  ItemRange Items(uint32_t from = VARNFILE_FIRST_ITEM_POSITION) & VARNFILE_LIFETIMEBOUND {
    return ItemRange(this, false, from);
  }
  ItemRange Items(uint32_t from = VARNFILE_FIRST_ITEM_POSITION) && {
    return ItemRange(std::make_shared<File>(std::move(*this)), false, from);
  }
  // The live items from the one at `from` back to the first; by default from
  // the last item. `from` may also be the end of data (SeekToEnd()); a
  // deleted `from` starts at the live item before it. Nothing after the
  // item at `from` is read (after a deleted one, only the records up to
  // the next live item, which the library passes to find it).
  ItemRange ItemsReversed(uint32_t from = ItemRange::kEnd) & VARNFILE_LIFETIMEBOUND {
    return ItemRange(this, true, from);
  }
  ItemRange ItemsReversed(uint32_t from = ItemRange::kEnd) && {
    return ItemRange(std::make_shared<File>(std::move(*this)), true, from);
  }
  // Older name of ItemsReversed().
  ItemRange ReverseItems() & VARNFILE_LIFETIMEBOUND { return ItemsReversed(); }
  ItemRange ReverseItems() && { return std::move(*this).ItemsReversed(); }

 private:
  explicit File(uint32_t handle, bool writable = true) noexcept
      : handle_(handle), writable_(writable) {}
  // A destructor cannot throw: a failed implicit close is reported on stderr
  // in builds without NDEBUG and otherwise lost.
  void Release() noexcept {
    if (handle_ == 0) return;
#ifdef NDEBUG
    VARNFileClose(std::exchange(handle_, 0u));
#else
    char name[1024] = "";
    VARNFileGetFileName(handle_, name, sizeof name);
    uint16_t rc = VARNFileClose(std::exchange(handle_, 0u));
    if (rc != VARNFILE_OK)
      std::fprintf(stderr, "varnfile: implicit close of %s failed, call File::Close(): %s\n", name,
                   DescribeResult(rc).c_str());
#endif
  }
  // "read item at 342 of orders.trn: 267 ...".
  [[noreturn]] void ThrowReadError(uint16_t rc, uint32_t position) const {
    char name[1024] = "";
    VARNFileGetFileName(handle_, name, sizeof name);
    std::string what = "read item at " + std::to_string(position);
    if (name[0] != '\0') what += std::string(" of ") + name;
    throw Error(rc, what, position);
  }
  void CheckWritable(const char* what) const {
    if (handle_ != 0 && !writable_)
      throw Error(VARNFILE_E_ACCESS, std::string(what) + " (file opened read-only)");
  }
  friend class ItemRange::iterator;
  // Seeks `position` and tells whether a live item's record starts where the
  // cursor landed (a position inside the header lands on the first record);
  // the cursor stays there. Locating the item reads past it only when that
  // record is deleted. A failure to read that is not the end throws Error.
  bool StartsLiveItem(uint32_t position) {
    Seek(position);
    const uint32_t start = Tell();
    uint16_t command = 0, extra = 0, length = 0;
    uint32_t value = 0, at = 0;
    uint16_t rc = VARNFileReadCmdIDEx(handle_, &command, &extra, &value, &length);
    if (rc == VARNFILE_OK) rc = VARNFileGetPosition(handle_, &at);
    Seek(start);
    if (rc == VARNFILE_E_END_OF_FILE) return false;
    if (rc != VARNFILE_OK) ThrowReadError(rc, start);
    return at == start;
  }
  static bool HasNul(const std::string& text) noexcept {
    return text.find('\0') != std::string::npos;
  }
  static bool Step(uint16_t rc, const char* what) {
    if (rc == VARNFILE_E_END_OF_FILE || rc == VARNFILE_E_NO_PREVIOUS) return false;
    Check(rc, what);
    return true;
  }

  uint32_t handle_ = 0;
  bool writable_ = true;
};

inline ItemRange::iterator& ItemRange::iterator::operator++() {
  Fetch(false, 0);
  return *this;
}

// Reads the first or the next item and leaves the cursor on it.
inline void ItemRange::iterator::Fetch(bool first, uint32_t from) {
  if (file_ == nullptr) return;
  File* file = file_;
  file_ = nullptr;  // stays at the end unless an item is found
  if (!reverse_) {
    // The position behind the item is kept, so the body may move the cursor
    // or delete the item without changing where the loop goes on.
    file->Seek(first ? from : next_);
    if (!file->Read(&item_)) return;
    next_ = file->Tell();
    file->Seek(item_.position);
    file_ = file;
    return;
  }
  // Backwards: step before the previous item, read it, and put the cursor
  // back on it so the next step goes further back. A start at a live item
  // reads that item; a start anywhere else (a deleted item, an end marker,
  // the end of data) steps back from there.
  if (!first) {
    file->Seek(item_.position);
  } else if (from == kEnd) {
    file->SeekToEnd();
  } else if (file->StartsLiveItem(from)) {
    if (file->Read(&item_)) {
      file->Seek(item_.position);
      file_ = file;
    }
    return;
  }
  if (!file->SkipPrev()) return;
  uint32_t position = file->Tell();
  if (file->Read(&item_)) {
    file->Seek(position);
    file_ = file;
  }
}

}  // namespace varn

#endif  // VARNFILE_HPP_
