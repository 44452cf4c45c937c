// SPDX-License-Identifier: Apache-2.0
#pragma once
// Everything the programs ask of the operating system, in one small
// interface: PlatformPosix.cpp (Linux, macOS) and PlatformWindows.cpp
// implement it side by side, each compiled only where it belongs, so that no
// other file needs to know which system it runs on. Names are UTF-8 on every
// system; failures are errno values, so that messages are made one way.
#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "support/FileIdentity.h"

namespace tarsil::platform {

// --- The process ---------------------------------------------------------

// The first call of every program: standard streams carry bytes as they are
// (a line ends in "\n" on every system, so outputs compare byte for byte),
// and the arguments come back as UTF-8, the program's name first.
std::vector<std::string> startProgram(int argc, char** argv);

// For the linker's one short process: memory freed by one stage is kept for
// the next instead of being given back to the system and asked for again.
void keepFreedMemory();

// The system's description of an errno value, for messages that say why.
std::string errorText(int error);

// Sets (or, with null, removes) a variable of the process's environment.
void setEnvironment(const char* name, const char* value);

// --- Time ----------------------------------------------------------------

// The broken-down time of `seconds` since 1970 in UTC, or in the machine's
// time zone; false when the system cannot represent it.
bool utcTime(int64_t seconds, std::tm& parts);
bool localTime(int64_t seconds, std::tm& parts);

// --- Names ---------------------------------------------------------------

// Whether a backslash separates directories, as '/' does (Windows), rather than
// being a character that names may hold.
bool backslashSeparates();

// --- Looking at files ----------------------------------------------------

enum class Kind { missing, regular, directory, other };

struct FileStatus {
  Kind kind = Kind::missing;
  uint64_t size = 0;
  FileIdentity identity;
  // The permission bits a file replacing this one keeps (0 where the system
  // has none).
  uint32_t permissions = 0;
  // When it was last written, in seconds since 1970.
  int64_t modified = 0;
  // Why it is missing: ENOENT or ENOTDIR when nothing is there, anything
  // else when it could not be looked at.
  int error = 0;
};

// What `name` leads to, symbolic links followed.
FileStatus fileStatus(const std::string& name);
// Whether there is an entry of this name at all, itself a link or not.
bool entryExists(const std::string& name);
// 0 when the file may be written by this process, else why not.
int writeAccessError(const std::string& name);
// Whether `name` is a directory that can be listed.
bool canListDirectory(const std::string& name);
// The name of the file that `name` leads to once symbolic links are followed
// (however many, relative or not), so that a file written through a link
// replaces the file it points to and the link stays. `name` itself where it
// is no link or the links lead nowhere that can be resolved.
std::string followLinks(const std::string& name);
// Two names of files that do not exist yet, compared as the file system
// compares them: on one that ignores case, "A.map" and "a.map" are one.
bool sameSpelling(const std::string& a, const std::string& b);
// A key with the same meaning for sets of names.
std::string spellingKey(const std::string& name);

// --- Reading -------------------------------------------------------------

// A file open for reading: a descriptor or a handle, by system.
using NativeFile = intptr_t;
inline constexpr NativeFile kNoFile = -1;

// Opens a regular file for reading, without waiting when the name is a FIFO
// and without handing the file to child processes. Anything else is closed
// at once and kNoFile returned, `status` telling what was found (or, kind
// `missing`, why nothing could be opened).
NativeFile openForReading(const std::string& name, FileStatus& status);
// Up to `length` bytes at `offset`, the file's own position untouched: the
// count read (0 at the end), or -1. An interrupted call is repeated.
long long readAt(NativeFile file, uint64_t offset, void* into, size_t length);
// Up to `length` bytes from the file's position onwards, likewise.
long long readNext(NativeFile file, void* into, size_t length);
void closeFile(NativeFile file);

// --- Writing -------------------------------------------------------------

// Creates `name`, which must not exist yet, for binary writing: never opens a
// file that is already there (EEXIST then). With `replacing`, the new file
// gets the permission bits of that file, which it is to replace; without,
// those a new file gets. kNoFile with `error` set on failure. Allocates
// nothing on POSIX systems, so that it may run while an interruption waits.
NativeFile createNew(const std::string& name, const FileStatus* replacing, int& error);
// The stream that writes a file createNew made. On failure the file is
// closed and removed, and null returned with `error` set.
std::FILE* streamForNew(NativeFile file, const std::string& name, int& error);
// Renames `from` to `to`, replacing `to` when it exists: 0 or why not.
int replaceFile(const std::string& from, const std::string& to);
// Gives the file `existing` the second name `name` (which must not exist).
int linkFile(const std::string& existing, const std::string& name);
// Removes the name: 0 or why not.
int removeFile(const std::string& name);
// Seeks an open stream to a byte offset of any size.
bool seek(std::FILE* file, uint64_t offset);

// --- Interruptions -------------------------------------------------------

// Makes sure that `cleanup` runs when the process is ended from outside:
// SIGINT, SIGTERM, SIGHUP and SIGXFSZ (a file grown past the size limit) on
// POSIX systems, Ctrl-C, Ctrl-Break and the console's closing on Windows.
// The process then ends as the interruption would have ended it. A signal
// that is ignored (under nohup) stays ignored, and a handler the program set
// itself stays its own. Called again whenever it matters, since the program
// may change its handlers in between; `cleanup` must be the same each time.
// `cleanup` may only read memory and call removeWhileInterrupted.
void cleanUpOnInterruption(void (*cleanup)());
// Removes a file from within `cleanup`.
void removeWhileInterrupted(const char* name);

// Holds `cleanup` off for as long as it lives, on every thread, so that it
// never meets a change half made. Holds nest.
class InterruptionsHeld {
public:
  InterruptionsHeld();
  ~InterruptionsHeld();
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;

private:
  // What the system needs to restore afterwards.
  alignas(8) std::array<unsigned char, 128> cSaved{};
};

// --- Locking -------------------------------------------------------------

// An exclusive right to update a file, held until destroyed: a second process
// that asks for the same file waits for the first to finish. Only programs
// that ask for it are kept out; readers never wait.
class UpdateLock {
public:
  UpdateLock() = default;
  ~UpdateLock() { release(); }
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;

  // Waits for the lock on the file `name` (which need not exist yet): 0 when
  // taken, else why it could not be.
  int acquire(const std::string& name);
  void release();

private:
  intptr_t cHandle = -1;
};

}  // namespace tarsil::platform
