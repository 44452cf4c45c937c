#pragma once
// Writing a file so that it is never seen half-written: the bytes go to a
// new file beside the target, which replaces the target only once every byte
// is on disk. A failed write leaves the previous file (or none) in place.
#include <cstdio>
#include <string>
#include <string_view>

namespace tarsil {

class AtomicFile {
public:
  explicit AtomicFile(std::string target);
  // Removes the temporary file unless commit() succeeded.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file, opened for binary writing.
  bool open();
  // The open temporary file, for writers that take a FILE*; null before open().
  std::FILE* file() const { return cFile; }
  bool write(std::string_view bytes);
  // Closes the temporary file and renames it over the target. False when any
  // write, the close or the rename failed; the target is then untouched.
  bool commit();
  // Gives up: the temporary file is removed, the target untouched.
  void discard();

  const std::string& target() const { return cTarget; }
  const std::string& temporary() const { return cTemp; }

private:
  std::string cTarget;
  std::string cTemp;
  std::FILE* cFile = nullptr;
  bool cFailed = false;
};

// The whole file in one call.
bool writeFileAtomically(const std::string& target, std::string_view bytes);

}  // namespace tarsil
