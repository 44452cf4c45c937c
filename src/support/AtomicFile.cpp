// SPDX-License-Identifier: Apache-2.0
#include "support/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "support/HexText.h"
#include "support/Platform.h"
#include "support/Temporaries.h"

namespace tarsil {

namespace {

// Distinct enough for one process writing a handful of files, several of
// them at once on different threads; creation that never opens an existing
// file makes a clash with a stranger's file fail instead of overwriting it.
// The name is the target's, cut short where the target's own name is near
// the longest a directory takes (255 bytes or characters), so that a valid
// output name never fails for its temporary's sake.
std::string temporaryName(const std::string& target, unsigned attempt) {
  static std::atomic<uint64_t> counter{0};
  const uint64_t count = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  uint64_t stamp = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  uint64_t mix = stamp ^ (count * 0x9E3779B97F4A7C15ULL) ^ attempt;
  constexpr size_t kKept = 200;
  const size_t slash = target.find_last_of(platform::backslashSeparates() ? "/\\" : "/");
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  size_t end = target.size();
  if (end - name > kKept) {
    end = name + kKept;
    // Not inside a character of several bytes.
    while (end > name && (static_cast<unsigned char>(target[end]) & 0xC0) == 0x80) --end;
  }
  return target.substr(0, end) + ".tmp-" + hexText(mix & 0xFFFFFFFF, 8, hexBare);
}

// A run has a few files open at once; one beyond the registry's slots is
// still written, only not removed by an interruption. The librarian extracts
// a whole library before it renames any member's file.
constinit Temporaries gTemporaries;

// The registry may not free names from a handler; the process is ending anyway.
void removeTemporariesNow() { gTemporaries.removeAll(false); }

// Asked whenever a temporary file is made, since the program may change its
// handlers in between.
void installHandlers() {
  static std::once_flag atExit;
  // Error::terminate ends a run with exit() wherever it is, a writer's own
  // fatal report included.
  std::call_once(atExit, [] { std::atexit([] { gTemporaries.removeAll(true); }); });
  platform::cleanUpOnInterruption(removeTemporariesNow);
}

char* copyOf(const std::string& name) {
  char* copy = static_cast<char*>(std::malloc(name.size() + 1));
  if (copy) std::memcpy(copy, name.c_str(), name.size() + 1);
  return copy;
}

// Creates the file and records its name in one window that an interruption
// on another thread waits out. The stream is opened after the window, since
// it allocates, and the handler may have stopped a thread inside malloc.
platform::NativeFile createRegistered(const std::string& name, const platform::FileStatus* replacing, int& error,
                                      int& slot) {
  char* copy = copyOf(name);
  if (!gTemporaries.beginCreating()) {
    // The process is being ended and its files removed: nothing more is made.
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  const platform::NativeFile file = platform::createNew(name, replacing, error);
  slot = file != platform::kNoFile && copy ? gTemporaries.add(copy) : -1;
  gTemporaries.endCreating();
  if (slot < 0) std::free(copy);
  return file;
}

// What would keep a new file from taking the target's place, as an errno
// value: a directory, anything but a regular file, a file that may not be
// written, or a name that cannot be looked at (too long, say: the temporary
// file's shorter name would not fail for it).
int targetError(const std::string& target, const platform::FileStatus& status) {
  switch (status.kind) {
    case platform::Kind::missing: return status.error == ENOENT ? 0 : status.error;
    case platform::Kind::directory: return EISDIR;
    case platform::Kind::other: return ENOTSUP;
    case platform::Kind::regular: break;
  }
  return platform::writeAccessError(target);
}

// A second name for the target's present file, kept until the targets after
// it are in place; empty when none could be made.
std::string keepPrevious(const std::string& target) {
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    std::string name = temporaryName(target, attempt);
    const int error = platform::linkFile(target, name);
    if (error == 0) return name;
    if (error != EEXIST) break;
  }
  return std::string();
}

}  // namespace

AtomicFile::AtomicFile(std::string target) : cTarget(std::move(target)) {}

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::fail(Step step, int error) {
  if (cFailedStep == Step::none) {
    cFailedStep = step;
    cError = error;
  }
  return false;
}

bool AtomicFile::open() {
  discard();
  cFailedStep = Step::none;
  cError = 0;
  // Through a symbolic link, the file it points to is replaced and the link
  // stays; the temporary file is made beside that file, on its file system.
  cPath = platform::followLinks(cTarget);
  const platform::FileStatus status = platform::fileStatus(cPath);
  if (int error = targetError(cPath, status)) return fail(Step::target, error);
  const platform::FileStatus* replacing = status.kind == platform::Kind::regular ? &status : nullptr;
  installHandlers();
  platform::InterruptionsHeld held;
  int error = EEXIST;
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    std::string name = temporaryName(cPath, attempt);
    int slot = -1;
    const platform::NativeFile file = createRegistered(name, replacing, error, slot);
    if (file == platform::kNoFile) {
      if (error != EEXIST) break;
      continue;
    }
    cFile = platform::streamForNew(file, name, error);
    if (!cFile) {
      gTemporaries.forget(slot);
      break;
    }
    cTemp = std::move(name);
    cSlot = slot;
    return true;
  }
  return fail(Step::create, error);
}

bool AtomicFile::write(std::string_view bytes) {
  if (!cFile) return fail(Step::write, EBADF);
  errno = 0;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), cFile) != bytes.size())
    fail(Step::write, errno ? errno : EIO);
  return cFailedStep == Step::none;
}

bool AtomicFile::finishWriting() {
  if (!cFile) return cTemp.empty() ? fail(Step::write, EBADF) : cFailedStep == Step::none;
  // Writers that were handed file() leave their failures in the stream.
  if (std::ferror(cFile)) fail(Step::write, EIO);
  errno = 0;
  if (std::fclose(cFile) != 0) fail(Step::write, errno ? errno : EIO);
  cFile = nullptr;
  return cFailedStep == Step::none;
}

void AtomicFile::forgetTemporary() {
  gTemporaries.forget(cSlot);
  cSlot = -1;
  cTemp.clear();
}

bool AtomicFile::close() {
  platform::InterruptionsHeld held;
  return finishWriting();
}

bool AtomicFile::commit() { return commitAll({this}); }

bool AtomicFile::commitAll(const std::vector<AtomicFile*>& files) {
  platform::InterruptionsHeld held;
  bool written = true;
  for (AtomicFile* file : files) written = file->finishWriting() && written;
  if (!written) {
    for (AtomicFile* file : files) file->discard();
    return false;
  }

  struct Replaced {
    const std::string* path;
    bool existed;
    std::string previous;  // a second name of the file it replaced
  };
  std::vector<Replaced> replaced;
  for (size_t i = 0; i < files.size(); ++i) {
    AtomicFile& file = *files[i];
    Replaced entry{&file.cPath, platform::entryExists(file.cPath), std::string()};
    // The last target has none after it that could fail.
    if (entry.existed && i + 1 < files.size()) entry.previous = keepPrevious(file.cPath);
    if (const int error = platform::replaceFile(file.cTemp, file.cPath)) {
      file.fail(Step::rename, error);
      if (!entry.previous.empty()) platform::removeFile(entry.previous);
      for (auto back = replaced.rbegin(); back != replaced.rend(); ++back) {
        if (!back->previous.empty()) platform::replaceFile(back->previous, *back->path);
        else if (!back->existed) platform::removeFile(*back->path);
      }
      for (AtomicFile* other : files) other->discard();
      return false;
    }
    file.forgetTemporary();
    replaced.push_back(std::move(entry));
  }
  for (const Replaced& entry : replaced)
    if (!entry.previous.empty()) platform::removeFile(entry.previous);
  return true;
}

void AtomicFile::discard() {
  if (!cFile && cTemp.empty()) return;
  platform::InterruptionsHeld held;
  if (cFile) {
    std::fclose(cFile);
    cFile = nullptr;
  }
  if (!cTemp.empty()) {
    platform::removeFile(cTemp);
    forgetTemporary();
  }
}

std::string AtomicFile::reason() const { return platform::errorText(cError); }

std::string AtomicFile::withReason(const std::string& message) const {
  return cError == 0 ? message : message + " " + reason() + ".";
}

bool writeFileAtomically(const std::string& target, std::string_view bytes) {
  AtomicFile file(target);
  return file.open() && file.write(bytes) && file.commit();
}

}  // namespace tarsil
