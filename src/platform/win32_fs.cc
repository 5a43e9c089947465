// Existence, directories, names and sizes on Windows: _access, _mkdir,
// DeleteFileA and the file's attributes.
#include "platform/file_system.h"

#include <windows.h>
#include <direct.h>
#include <io.h>

#include <cerrno>
#include <cstring>

namespace varnfile {

int PlatformAccess(const char* path, int mode) {
  if (_access(path, mode) == 0) return 0;
  return errno;
}

int PlatformMakeDirectory(const char* path) {
  if (_mkdir(path) == 0) return 0;
  return errno;
}

bool PlatformIsDirectory(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PlatformIsDeviceName(const char* path) {
  // The full form of a reserved name is the device's own, \\.\NUL; the
  // system's rule decides (it has changed between versions). A longer path
  // in that space (\\.\C:\file, \\.\pipe\name) is no device name.
  char full[MAX_PATH + 1];
  DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length < 5 || length >= sizeof full || std::strncmp(full, "\\\\.\\", 4) != 0) return false;
  return std::strpbrk(full + 4, "\\/") == nullptr;
}

bool PlatformSameFile(const char* a, const char* b) {
  // No inode numbers: the volume and the file index of an open handle name
  // the file. The handles ask for no access and share everything.
  auto identify = [](const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!identify(a, &ia) || !identify(b, &ib)) return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

int PlatformFileSize(const char* path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return ENOENT;
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return 0;
}

int PlatformRemoveName(const char* path) {
  if (DeleteFileA(path)) return 0;
  DWORD error = GetLastError();
  if (error == ERROR_SHARING_VIOLATION) return EWOULDBLOCK;
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
}

int PlatformReplaceName(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
  DWORD error = GetLastError();
  if (error == ERROR_SHARING_VIOLATION) return EWOULDBLOCK;
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
}

int PlatformRenameNew(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH)) return 0;
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return EEXIST;
  if (error == ERROR_SHARING_VIOLATION) return EWOULDBLOCK;
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
}

int PlatformResolvePath(const char* path, char* out, size_t size) {
  size_t length = std::strlen(path);
  if (length >= size) return ERANGE;
  std::memcpy(out, path, length + 1);
  return 0;
}

int PlatformCopyMode(const char*, const char*) { return 0; }

bool PlatformIsLeadByte(char c) { return IsDBCSLeadByte(static_cast<BYTE>(c)) != 0; }

int PlatformTempDirectory(char* out, size_t size) {
  char path[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof path, path);
  if (length == 0 || length > MAX_PATH) return ENOENT;
  // The separators at the end go, read from the start: the last byte may
  // be the second of a two-byte character.
  DWORD end = 0;  // behind the last character that is no separator
  for (DWORD at = 0; at < length;) {
    const bool pair = PlatformIsLeadByte(path[at]) && at + 1 < length;
    const DWORD next = at + (pair ? 2 : 1);
    if (pair || (path[at] != '\\' && path[at] != '/')) end = next;
    at = next;
  }
  length = end > 0 ? end : 1;
  if (length >= size) return ERANGE;
  std::memcpy(out, path, length);
  out[length] = 0;
  return 0;
}

}  // namespace varnfile
