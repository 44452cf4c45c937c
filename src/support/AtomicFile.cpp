#include "support/AtomicFile.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>

namespace tarsil {

namespace {

// Distinct enough for one process writing a handful of files; "x" mode below
// makes a clash with a stranger's file fail instead of overwriting it.
std::string temporaryName(const std::string& target, unsigned attempt) {
  static uint64_t counter = 0;
  uint64_t stamp = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  uint64_t mix = stamp ^ (++counter * 0x9E3779B97F4A7C15ULL) ^ attempt;
  static const char digits[] = "0123456789abcdef";
  std::string suffix;
  for (int i = 0; i < 8; ++i) {
    suffix += digits[mix & 0xF];
    mix >>= 4;
  }
  return target + ".tmp-" + suffix;
}

}  // namespace

AtomicFile::AtomicFile(std::string target) : cTarget(std::move(target)) {}

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::open() {
  discard();
  cFailed = false;
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    std::string name = temporaryName(cTarget, attempt);
    errno = 0;
    cFile = std::fopen(name.c_str(), "wbx");
    if (cFile) {
      cTemp = std::move(name);
      return true;
    }
    if (errno != EEXIST) break;
  }
  return false;
}

bool AtomicFile::write(std::string_view bytes) {
  if (!cFile) return false;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), cFile) != bytes.size()) cFailed = true;
  return !cFailed;
}

bool AtomicFile::commit() {
  if (!cFile) return false;
  if (std::ferror(cFile)) cFailed = true;
  if (std::fclose(cFile) != 0) cFailed = true;
  cFile = nullptr;
  if (!cFailed && std::rename(cTemp.c_str(), cTarget.c_str()) == 0) {
    cTemp.clear();
    return true;
  }
  discard();
  return false;
}

void AtomicFile::discard() {
  if (cFile) {
    std::fclose(cFile);
    cFile = nullptr;
  }
  if (!cTemp.empty()) {
    std::remove(cTemp.c_str());
    cTemp.clear();
  }
}

bool writeFileAtomically(const std::string& target, std::string_view bytes) {
  AtomicFile file(target);
  return file.open() && file.write(bytes) && file.commit();
}

}  // namespace tarsil
