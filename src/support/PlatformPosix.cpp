// SPDX-License-Identifier: Apache-2.0
// The platform layer on POSIX systems (Linux, macOS). Names are bytes here,
// so UTF-8 passes through untouched.
#if !defined(_WIN32)

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/Platform.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tarsil::platform {

std::vector<std::string> startProgram(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void keepFreedMemory() {
#if defined(__GLIBC__)
  // A link is one short process whose large tables (a library read whole,
  // the executable's symbol table) come and go while the heap still holds
  // room freed by earlier stages. By default the C library maps each such
  // block afresh and gives the top of the heap back on every large free, so
  // the kernel clears again memory the process already had: a sixth of a
  // large link's page faults. Kept in the heap, they reuse that room.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
#endif
}

std::string errorText(int error) { return std::strerror(error); }

void setEnvironment(const char* name, const char* value) {
  if (value != nullptr) ::setenv(name, value, 1);
  else ::unsetenv(name);
}

bool utcTime(int64_t seconds, std::tm& parts) {
  const std::time_t at = static_cast<std::time_t>(seconds);
  return ::gmtime_r(&at, &parts) != nullptr;
}

bool localTime(int64_t seconds, std::tm& parts) {
  const std::time_t at = static_cast<std::time_t>(seconds);
  return ::localtime_r(&at, &parts) != nullptr;
}

namespace {

FileStatus describe(const struct stat& st) {
  FileStatus status;
  status.kind = S_ISREG(st.st_mode) ? Kind::regular : S_ISDIR(st.st_mode) ? Kind::directory : Kind::other;
  status.size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  status.identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  status.permissions = static_cast<uint32_t>(st.st_mode & 07777);
  status.modified = static_cast<int64_t>(st.st_mtime);
  return status;
}

FileStatus missing(int error) {
  FileStatus status;
  status.error = error;
  return status;
}

}  // namespace

bool backslashSeparates() { return false; }

FileStatus fileStatus(const std::string& name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return missing(errno);
  return describe(st);
}

bool entryExists(const std::string& name) {
  struct stat st {};
  return ::lstat(name.c_str(), &st) == 0;
}

int writeAccessError(const std::string& name) { return ::access(name.c_str(), W_OK) == 0 ? 0 : errno; }

bool canListDirectory(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::string followLinks(const std::string& name) {
  std::string path = name;
  // As many links as the system itself follows before it gives up (ELOOP),
  // which the write then reports.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256), '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) > target.size()) return name;
    target.resize(static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    path = target[0] == '/' || slash == std::string::npos ? target : path.substr(0, slash + 1) + target;
  }
  return name;
}

bool sameSpelling(const std::string& a, const std::string& b) { return a == b; }
std::string spellingKey(const std::string& name) { return name; }

NativeFile openForReading(const std::string& name, FileStatus& status) {
  // Not blocking matters only for a FIFO, which is refused at once; a
  // regular file is read as ever, since the flag does not apply to it.
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    status = missing(errno);
    return kNoFile;
  }
  // The kind is that of what was opened, not of the name.
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    status = missing(errno);
    ::close(fd);
    return kNoFile;
  }
  status = describe(st);
  if (status.kind != Kind::regular || st.st_size < 0) {
    ::close(fd);
    return kNoFile;
  }
  return fd;
}

long long readAt(NativeFile file, uint64_t offset, void* into, size_t length) {
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(file), into, length, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

long long readNext(NativeFile file, void* into, size_t length) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(file), into, length);
    if (n >= 0 || errno != EINTR) return n;
  }
}

void closeFile(NativeFile file) {
  if (file != kNoFile) ::close(static_cast<int>(file));
}

NativeFile createNew(const std::string& name, const FileStatus* replacing, int& error) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = errno;
    return kNoFile;
  }
  // Set outright, past the umask: the replacement has the bits the file
  // had, a private library stays private.
  if (replacing != nullptr && ::fchmod(fd, static_cast<mode_t>(replacing->permissions)) != 0) {
    error = errno;
    ::close(fd);
    ::unlink(name.c_str());
    return kNoFile;
  }
  return fd;
}

std::FILE* streamForNew(NativeFile file, const std::string& name, int& error) {
  const int fd = static_cast<int>(file);
  std::FILE* stream = ::fdopen(fd, "wb");
  if (stream == nullptr) {
    error = errno;
    ::close(fd);
    ::unlink(name.c_str());
  }
  return stream;
}

int replaceFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int linkFile(const std::string& existing, const std::string& name) {
  return ::link(existing.c_str(), name.c_str()) == 0 ? 0 : errno;
}

int removeFile(const std::string& name) { return ::unlink(name.c_str()) == 0 ? 0 : errno; }

bool seek(std::FILE* file, uint64_t offset) {
  return offset <= static_cast<uint64_t>(INT64_MAX) && ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// --- Interruptions -------------------------------------------------------

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};
std::atomic<void (*)()> gCleanup{nullptr};

extern "C" void cleanUpAndDie(int sig) {
  if (auto cleanup = gCleanup.load()) cleanup();
  // The default action, so that whoever waits for the process sees the
  // signal that ended it. Delivered at the latest when the handler returns.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(sig, &dfl, nullptr);
  ::raise(sig);
}

}  // namespace

void cleanUpOnInterruption(void (*cleanup)()) {
  gCleanup.store(cleanup);
  for (int sig : kSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = cleanUpAndDie;
    sigemptyset(&action.sa_mask);
    for (int other : kSignals) sigaddset(&action.sa_mask, other);
    ::sigaction(sig, &action, nullptr);
  }
}

void removeWhileInterrupted(const char* name) { ::unlink(name); }

static_assert(sizeof(sigset_t) <= 128 && alignof(sigset_t) <= 8);

InterruptionsHeld::InterruptionsHeld() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kSignals) sigaddset(&set, sig);
  ::pthread_sigmask(SIG_BLOCK, &set, reinterpret_cast<sigset_t*>(cSaved.data()));
}

InterruptionsHeld::~InterruptionsHeld() {
  ::pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(cSaved.data()), nullptr);
}

// --- Locking -------------------------------------------------------------

// The lock is taken on the directory that holds the file, not on the file:
// a file replaced by renaming is a new file, and a lock on the old one would
// let the next process in to read what is already gone. The directory
// stays, whether the file exists yet or not.
int UpdateLock::acquire(const std::string& name) {
  release();
  const std::string target = followLinks(name);
  const size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  const int fd = ::open(directory.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    return error;
  }
  cHandle = fd;
  return 0;
}

void UpdateLock::release() {
  if (cHandle < 0) return;
  ::close(static_cast<int>(cHandle));
  cHandle = -1;
}

}  // namespace tarsil::platform

#endif
