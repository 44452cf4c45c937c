// SPDX-License-Identifier: Apache-2.0
#pragma once
// Writing a file so that it is never seen half-written: the bytes go to a
// new file beside the target, which replaces the target only once every byte
// is on disk. A failed write leaves the previous file (or none) in place, and
// a run ended from outside (SIGINT, SIGTERM, SIGHUP, SIGXFSZ; Ctrl-C, Ctrl-Break
// or the console's closing on Windows) removes the temporary files it had open
// before it dies. Written through a symbolic link, the file the link points to
// is replaced; a replaced file's permission bits carry over.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tarsil {

class AtomicFile {
public:
  // Where a write failed, for messages that say so.
  enum class Step { none, target, create, write, rename };

  explicit AtomicFile(std::string target);
  // Removes the temporary file unless commit() succeeded.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file, opened for binary writing. The target is
  // looked at first: one that no new file could replace (a directory, a
  // device, a file that may not be written) is refused before anything is
  // created.
  bool open();
  // The open temporary file, for writers that take a FILE*; null before open().
  std::FILE* file() const { return cFile; }
  bool write(std::string_view bytes);
  // Ends the writing: the temporary file is complete on disk and closed, and
  // waits for commit() or discard(), so that many files can be made ready
  // without holding them all open. False when a write or the close failed.
  bool close();
  // Closes the temporary file and renames it over the target. False when any
  // write, the close or the rename failed; the target is then untouched.
  bool commit();
  // Gives up: the temporary file is removed, the target untouched.
  void discard();

  // Commits files that belong together (the two halves of a pair): all are
  // complete on disk before any target is replaced, and when one cannot take
  // its place, the targets replaced before it get their previous files back
  // (or are removed when there were none), where the file system allows it.
  // Every file is closed and none keeps a temporary afterwards.
  static bool commitAll(const std::vector<AtomicFile*>& files);

  const std::string& target() const { return cTarget; }
  const std::string& temporary() const { return cTemp; }
  // Why the write failed: the step and its errno value (none and 0 while all
  // went well).
  Step failedStep() const { return cFailedStep; }
  int error() const { return cError; }
  // The system's words for error(), for messages that say why.
  std::string reason() const;
  // `message`, then the reason as a sentence of its own when there is one:
  // "Could not open map file 'x.map' for writing. No space left on device."
  std::string withReason(const std::string& message) const;

private:
  bool fail(Step step, int error);
  bool finishWriting();
  void forgetTemporary();

  std::string cTarget;
  // The file that is replaced: the target, its symbolic links followed.
  std::string cPath;
  std::string cTemp;
  std::FILE* cFile = nullptr;
  // Where the signal handler finds the temporary's name; -1 when it does not.
  int cSlot = -1;
  Step cFailedStep = Step::none;
  int cError = 0;
};

// The whole file in one call.
bool writeFileAtomically(const std::string& target, std::string_view bytes);

}  // namespace tarsil
