// SPDX-License-Identifier: Apache-2.0
#include "support/AtomicFile.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "support/HexText.h"

namespace tarsil {

namespace {

// Distinct enough for one process writing a handful of files, several of
// them at once on different threads; "x" mode below makes a clash with a
// stranger's file fail instead of overwriting it.
std::string temporaryName(const std::string& target, unsigned attempt) {
  static std::atomic<uint64_t> counter{0};
  const uint64_t count = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  uint64_t stamp = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  uint64_t mix = stamp ^ (count * 0x9E3779B97F4A7C15ULL) ^ attempt;
  return target + ".tmp-" + hexText(mix & 0xFFFFFFFF, 8, hexBare);
}

// The temporary files open in this process, for the signal handler to
// remove. The handler may only read these slots and call unlink, so each
// holds its own copy of the name, and a slot is claimed and cleared with
// single atomic operations. A run has a few files open at once; one beyond
// the slots is still written, only not removed by a signal.
constexpr int kSlots = 64;
std::atomic<char*> gTemporaries[kSlots];
static_assert(std::atomic<char*>::is_always_lock_free);

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A signal handler may not free the names; the process is ending anyway.
void removeTemporaries(bool release) {
  for (auto& slot : gTemporaries) {
    char* name = slot.exchange(nullptr);
    if (!name) continue;
    ::unlink(name);
    if (release) std::free(name);
  }
}

extern "C" void removeTemporariesAndDie(int sig) {
  removeTemporaries(false);
  // The default action, so that whoever waits for the process sees the
  // signal that ended it. Delivered at the latest when the handler returns.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(sig, &dfl, nullptr);
  ::raise(sig);
}

// Looked at whenever a temporary file is made, since the program may change
// its dispositions in between. A signal ignored (under nohup) stays ignored,
// and a handler the program set itself stays its own.
void installHandlers() {
  static bool atExit = false;
  if (!atExit) {
    // Error::terminate ends a run with exit() wherever it is, a writer's own
    // fatal report included.
    atExit = std::atexit([] { removeTemporaries(true); }) == 0;
  }
  for (int sig : kSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = removeTemporariesAndDie;
    sigemptyset(&action.sa_mask);
    for (int other : kSignals) sigaddset(&action.sa_mask, other);
    ::sigaction(sig, &action, nullptr);
  }
}

int registerTemporary(const std::string& name) {
  installHandlers();
  char* copy = ::strdup(name.c_str());
  if (!copy) return -1;
  for (int i = 0; i < kSlots; ++i) {
    char* empty = nullptr;
    if (gTemporaries[i].compare_exchange_strong(empty, copy)) return i;
  }
  std::free(copy);
  return -1;
}

void unregisterTemporary(int slot) {
  if (slot < 0) return;
  std::free(gTemporaries[slot].exchange(nullptr));
}

// Holds off the three signals while a temporary file comes and goes with its
// slot, or while a group of targets is being replaced, so that the handler
// never meets either half done.
class SignalsHeld {
public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    ::pthread_sigmask(SIG_BLOCK, &set, &cSaved);
  }
  ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &cSaved, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
  sigset_t cSaved;
};

// What would keep a new file from taking the target's place, as an errno
// value: a directory, anything but a regular file, or a file that may not be
// written. A target that cannot be looked at is left to the creation of the
// temporary file to report.
int targetError(const std::string& target) {
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return ENOTSUP;
  if (::access(target.c_str(), W_OK) != 0) return errno;
  return 0;
}

bool exists(const std::string& name) {
  struct stat st {};
  return ::lstat(name.c_str(), &st) == 0;
}

// A second name for the target's present file, kept until the targets after
// it are in place; empty when none could be made.
std::string keepPrevious(const std::string& target) {
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    std::string name = temporaryName(target, attempt);
    if (::link(target.c_str(), name.c_str()) == 0) return name;
    if (errno != EEXIST) break;
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
  if (int error = targetError(cTarget)) return fail(Step::target, error);
  SignalsHeld held;
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    std::string name = temporaryName(cTarget, attempt);
    errno = 0;
    cFile = std::fopen(name.c_str(), "wbx");
    if (cFile) {
      cTemp = std::move(name);
      cSlot = registerTemporary(cTemp);
      return true;
    }
    if (errno != EEXIST) break;
  }
  return fail(Step::create, errno ? errno : EEXIST);
}

bool AtomicFile::write(std::string_view bytes) {
  if (!cFile) return fail(Step::write, EBADF);
  errno = 0;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), cFile) != bytes.size())
    fail(Step::write, errno ? errno : EIO);
  return cFailedStep == Step::none;
}

bool AtomicFile::finishWriting() {
  if (!cFile) return fail(Step::write, EBADF);
  // Writers that were handed file() leave their failures in the stream.
  if (std::ferror(cFile)) fail(Step::write, EIO);
  errno = 0;
  if (std::fclose(cFile) != 0) fail(Step::write, errno ? errno : EIO);
  cFile = nullptr;
  return cFailedStep == Step::none;
}

void AtomicFile::forgetTemporary() {
  unregisterTemporary(cSlot);
  cSlot = -1;
  cTemp.clear();
}

bool AtomicFile::commit() { return commitAll({this}); }

bool AtomicFile::commitAll(const std::vector<AtomicFile*>& files) {
  SignalsHeld held;
  bool written = true;
  for (AtomicFile* file : files) written = file->finishWriting() && written;
  if (!written) {
    for (AtomicFile* file : files) file->discard();
    return false;
  }

  struct Replaced {
    const std::string* target;
    bool existed;
    std::string previous;  // a second name of the file it replaced
  };
  std::vector<Replaced> replaced;
  for (size_t i = 0; i < files.size(); ++i) {
    AtomicFile& file = *files[i];
    Replaced entry{&file.cTarget, exists(file.cTarget), std::string()};
    // The last target has none after it that could fail.
    if (entry.existed && i + 1 < files.size()) entry.previous = keepPrevious(file.cTarget);
    if (std::rename(file.cTemp.c_str(), file.cTarget.c_str()) != 0) {
      file.fail(Step::rename, errno);
      if (!entry.previous.empty()) ::unlink(entry.previous.c_str());
      for (auto back = replaced.rbegin(); back != replaced.rend(); ++back) {
        if (!back->previous.empty()) std::rename(back->previous.c_str(), back->target->c_str());
        else if (!back->existed) std::remove(back->target->c_str());
      }
      for (AtomicFile* other : files) other->discard();
      return false;
    }
    file.forgetTemporary();
    replaced.push_back(std::move(entry));
  }
  for (const Replaced& entry : replaced)
    if (!entry.previous.empty()) ::unlink(entry.previous.c_str());
  return true;
}

void AtomicFile::discard() {
  if (!cFile && cTemp.empty()) return;
  SignalsHeld held;
  if (cFile) {
    std::fclose(cFile);
    cFile = nullptr;
  }
  if (!cTemp.empty()) {
    std::remove(cTemp.c_str());
    forgetTemporary();
  }
}

bool writeFileAtomically(const std::string& target, std::string_view bytes) {
  AtomicFile file(target);
  return file.open() && file.write(bytes) && file.commit();
}

}  // namespace tarsil
