// SPDX-License-Identifier: Apache-2.0
// The platform layer on Windows. Names are UTF-8 inside the programs and
// UTF-16 at every system call, so that any name the file system holds can be
// given; failures of the system's own calls are turned into errno values.
#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <cinttypes>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string_view>

#include "support/Platform.h"
#include "support/ResponseFile.h"

namespace tarsil::platform {

namespace {

std::wstring wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
  return out;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

// Folded as the file system folds names, for comparing them.
std::wstring upperCase(const std::wstring& text) {
  if (text.empty()) return text;
  std::wstring out(text.size(), L'\0');
  const int size = static_cast<int>(text.size());
  if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), size, out.data(), size, nullptr, nullptr,
                      0) != size)
    return text;
  return out;
}

std::wstring fullPath(const std::wstring& name) {
  const DWORD n = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (n == 0) return name;
  std::wstring out(n, L'\0');
  const DWORD written = ::GetFullPathNameW(name.c_str(), n, out.data(), nullptr);
  if (written == 0 || written >= n) return name;
  out.resize(written);
  return out;
}

// The name as the system calls take it. Names past the old limit of 260
// characters are given whole, in the form that lifts the limit; shorter ones
// stay as they are, so that "nul" and its kin keep meaning the devices.
std::wstring systemName(const std::string& name) {
  std::wstring path = wide(name);
  if (path.size() < 240 || path.rfind(L"\\\\?\\", 0) == 0) return path;
  path = fullPath(path);
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

int errnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_CANNOT_MAKE:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_INVALID_NAME:
      return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_SUPPORTED:
      return ENOTSUP;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    default:
      return EIO;
  }
}

int lastError() { return errnoOf(::GetLastError()); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

FileStatus missing(int error) {
  FileStatus status;
  status.error = error;
  return status;
}

// What an open handle is: the type of the object first, since a device or
// a pipe has no file information to ask for.
FileStatus describe(HANDLE handle) {
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    FileStatus status;
    status.kind = Kind::other;
    return status;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return missing(lastError());
  FileStatus status;
  status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::directory : Kind::regular;
  status.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  // Windows reports no inode numbers: the volume and the file's index on it
  // tell files apart, whatever the case or form of the names used.
  status.identity = FileIdentity{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  // 100-nanosecond steps since 1601.
  const uint64_t written = (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
  status.modified = static_cast<int64_t>(written / 10000000) - 11644473600;
  return status;
}

}  // namespace

// The command line as typed, not as the ANSI code page can spell it: split
// as the C library splits it, after the program's name (which ends at the
// first blank, or at its closing quote).
std::vector<std::string> wideArguments() {
  const std::string line = narrow(std::wstring(::GetCommandLineW()));
  size_t i = 0;
  if (!line.empty() && line[0] == '"') {
    i = line.find('"', 1);
    i = i == std::string::npos ? line.size() : i + 1;
  }
  while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
  std::vector<std::string> args{line.substr(0, i)};
  std::string error;
  if (!splitResponseText(std::string_view(line).substr(i), args, error, Quoting::windows)) return {};
  return args;
}

std::vector<std::string> startProgram(int argc, char** argv) {
  // The C library would write "\r\n" for every "\n" of text mode: outputs
  // and messages are to be the same bytes as everywhere else.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args = wideArguments();
  // Only where both agree on where the arguments are.
  if (static_cast<int>(args.size()) == argc) return args;
  return std::vector<std::string>(argv, argv + argc);
}

void keepFreedMemory() {}

std::string errorText(int error) { return std::strerror(error); }

void setEnvironment(const char* name, const char* value) { _putenv_s(name, value != nullptr ? value : ""); }

bool utcTime(int64_t seconds, std::tm& parts) {
  const __time64_t at = seconds;
  return _gmtime64_s(&parts, &at) == 0;
}

bool localTime(int64_t seconds, std::tm& parts) {
  const __time64_t at = seconds;
  return _localtime64_s(&parts, &at) == 0;
}

bool backslashSeparates() { return true; }

// A part of a name longer than the system's file systems take (255 UTF-16
// units): some of them call such a name missing, and an output would then be
// refused only when its temporary file is renamed, for a reason that misleads.
bool partTooLong(const std::wstring& path) {
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != L'\\' && path[i] != L'/') continue;
    if (i - start > 255) return true;
    start = i + 1;
  }
  return false;
}

FileStatus fileStatus(const std::string& name) {
  if (name.empty()) return missing(ENOENT);
  // No access asked for: only the file's information is wanted, and a
  // directory opens only with the backup flag.
  HANDLE handle = ::CreateFileW(systemName(name).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const int error = lastError();
    return missing(error == ENOENT && partTooLong(wide(name)) ? ENAMETOOLONG : error);
  }
  FileStatus status = describe(handle);
  ::CloseHandle(handle);
  return status;
}

bool entryExists(const std::string& name) {
  return !name.empty() && ::GetFileAttributesW(systemName(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int writeAccessError(const std::string& name) {
  const DWORD attributes = ::GetFileAttributesW(systemName(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return lastError();
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? EACCES : 0;
}

bool canListDirectory(const std::string& name) {
  const DWORD attributes = ::GetFileAttributesW(systemName(name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Links need a privilege to be made here and are rare: a name is taken as
// it is, and writing through a link replaces the link.
std::string followLinks(const std::string& name) { return name; }

std::string spellingKey(const std::string& name) {
  return narrow(upperCase(wide(name)));
}

bool sameSpelling(const std::string& a, const std::string& b) { return spellingKey(a) == spellingKey(b); }

NativeFile openForReading(const std::string& name, FileStatus& status) {
  if (name.empty()) {
    status = missing(ENOENT);
    return kNoFile;
  }
  // Shared for deleting too, so that an output may replace a file that is
  // still being read; the backup flag lets a directory be told as one.
  HANDLE handle = ::CreateFileW(systemName(name).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    status = missing(lastError());
    return kNoFile;
  }
  status = describe(handle);
  if (status.kind != Kind::regular) {
    ::CloseHandle(handle);
    return kNoFile;
  }
  return reinterpret_cast<NativeFile>(handle);
}

namespace {

constexpr size_t kMostPerCall = size_t{1} << 30;

}  // namespace

long long readAt(NativeFile file, uint64_t offset, void* into, size_t length) {
  HANDLE handle = reinterpret_cast<HANDLE>(file);
  // A read at an offset moves the handle's position here; it is put back,
  // so that reads from the position are not disturbed.
  LARGE_INTEGER zero{}, position{};
  if (!::SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) return -1;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const BOOL ok = ::ReadFile(handle, into, static_cast<DWORD>(std::min(length, kMostPerCall)), &got, &at);
  const DWORD error = ok ? 0 : ::GetLastError();
  ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  if (!ok) return error == ERROR_HANDLE_EOF ? 0 : -1;
  return got;
}

long long readNext(NativeFile file, void* into, size_t length) {
  DWORD got = 0;
  if (::ReadFile(reinterpret_cast<HANDLE>(file), into, static_cast<DWORD>(std::min(length, kMostPerCall)), &got,
                 nullptr))
    return got;
  const DWORD error = ::GetLastError();
  return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE ? 0 : -1;
}

void closeFile(NativeFile file) {
  if (file != kNoFile) ::CloseHandle(reinterpret_cast<HANDLE>(file));
}

// Windows keeps no permission bits to carry over; a file that may not be
// written is refused before a replacement is made.
NativeFile createNew(const std::string& name, const FileStatus* /*replacing*/, int& error) {
  // Deleting is shared so that an interruption can remove the file while
  // it is still open.
  HANDLE handle = ::CreateFileW(systemName(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = lastError();
    return kNoFile;
  }
  return reinterpret_cast<NativeFile>(handle);
}

std::FILE* streamForNew(NativeFile file, const std::string& name, int& error) {
  HANDLE handle = reinterpret_cast<HANDLE>(file);
  const int fd = _open_osfhandle(static_cast<intptr_t>(file), _O_BINARY | _O_WRONLY);
  if (fd < 0) {
    error = EMFILE;
    ::CloseHandle(handle);
    ::DeleteFileW(systemName(name).c_str());
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) {
    error = errno ? errno : EMFILE;
    _close(fd);
    ::DeleteFileW(systemName(name).c_str());
  }
  return stream;
}

int replaceFile(const std::string& from, const std::string& to) {
  const std::wstring target = systemName(to);
  if (::MoveFileExW(systemName(from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
  const int error = lastError();
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
  return error;
}

int linkFile(const std::string& existing, const std::string& name) {
  return ::CreateHardLinkW(systemName(name).c_str(), systemName(existing).c_str(), nullptr) ? 0 : lastError();
}

int removeFile(const std::string& name) { return ::DeleteFileW(systemName(name).c_str()) ? 0 : lastError(); }

bool seek(std::FILE* file, uint64_t offset) {
  return offset <= static_cast<uint64_t>(INT64_MAX) && _fseeki64(file, static_cast<int64_t>(offset), SEEK_SET) == 0;
}

// --- Interruptions -------------------------------------------------------

namespace {

std::atomic<void (*)()> gCleanup{nullptr};

// The console's events come on a thread of their own: the hold is a lock
// that the handler takes too.
std::recursive_mutex& hold() {
  static std::recursive_mutex lock;
  return lock;
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Kept to the end: the process is ending, and no new temporary file
      // may be made after the last was removed.
      hold().lock();
      if (auto cleanup = gCleanup.load()) cleanup();
      break;
    default:
      break;
  }
  // The system's own handler then ends the process as it always does.
  return FALSE;
}

}  // namespace

void cleanUpOnInterruption(void (*cleanup)()) {
  gCleanup.store(cleanup);
  static std::once_flag installed;
  std::call_once(installed, [] { ::SetConsoleCtrlHandler(onConsoleEvent, TRUE); });
}

void removeWhileInterrupted(const char* name) { ::DeleteFileW(systemName(name).c_str()); }

InterruptionsHeld::InterruptionsHeld() { hold().lock(); }
InterruptionsHeld::~InterruptionsHeld() { hold().unlock(); }

// --- Locking -------------------------------------------------------------

// A named mutex for the file's full name (case folded, as the file system
// folds it): unlike a lock on the file itself, it outlives the file's
// replacement by renaming, and the system releases it if the process dies.
int UpdateLock::acquire(const std::string& name) {
  release();
  const std::wstring path = upperCase(fullPath(wide(name)));
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (wchar_t c : path) hash = (hash ^ static_cast<uint16_t>(c)) * 0x100000001b3ULL;
  wchar_t mutexName[64];
  std::swprintf(mutexName, 64, L"Local\\tarsil-update-%016" PRIx64, hash);
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, mutexName);
  if (mutex == nullptr) return lastError();
  const DWORD waited = ::WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    return EIO;
  }
  cHandle = reinterpret_cast<intptr_t>(mutex);
  return 0;
}

void UpdateLock::release() {
  if (cHandle == -1) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(cHandle);
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
  cHandle = -1;
}

}  // namespace tarsil::platform

#endif
