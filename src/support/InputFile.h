// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reading the files a run is given. Only a regular file is read: a FIFO
// would stop the run on opening and a device may never end, so opening never
// waits and anything else is refused as a file that cannot be opened. The
// readers ask for the extents their headers describe and only those are
// read, so that a file costs the bytes a run uses, not the length it has.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <streambuf>
#include <string>
#include <vector>

#include "support/FileIdentity.h"

namespace tarsil {

class InputFile {
public:
  InputFile() = default;
  ~InputFile() { close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Why a name could not be opened: nothing there (or a path through
  // something that is no directory), a directory, anything else that is no
  // regular file, or another failure (no permission, say).
  enum class Failure { none, absent, directory, notRegular, other };

  // False, with nothing open, when the name cannot be opened for reading or
  // leads to anything but a regular file; `notRegular`, when given, tells
  // the second from the first, and failure() says more.
  bool open(const std::string& name, bool* notRegular = nullptr);
  Failure failure() const { return cFailure; }
  void close();
  bool isOpen() const { return cHandle != -1; }
  // The length the file had when it was opened, and the file itself.
  uint64_t size() const { return cSize; }
  const FileIdentity& identity() const { return cIdentity; }
  // Up to `length` bytes at `offset`, never past the length the file had
  // when opened: the count read, short only there, or -1 when reading failed.
  long long readAt(uint64_t offset, void* into, size_t length) const;
  // The next bytes, up to `length`, to the file's end as it is now: the
  // count read, 0 at the end, or -1 when reading failed.
  long long read(void* into, size_t length);

private:
  // The system's descriptor or handle (platform::NativeFile); -1 when none.
  intptr_t cHandle = -1;
  uint64_t cSize = 0;
  FileIdentity cIdentity;
  Failure cFailure = Failure::none;
};

// An open input read from start to end, for text taken line by line.
class InputFileBuf : public std::streambuf {
public:
  explicit InputFileBuf(InputFile& file) : cFile(file) {}

protected:
  int_type underflow() override;

private:
  InputFile& cFile;
  char cBuffer[8192];
};

// The bytes of an image held in memory or of an input file, handed out as
// readers ask for them. A file is read a window at a time around what is
// asked, so that objects and libraries read in order cost a few large reads;
// when what is asked lies scattered, reading ahead is given up rather than
// let the bytes read outgrow the bytes used.
class InputBytes {
public:
  InputBytes() = default;
  explicit InputBytes(std::span<const uint8_t> bytes);
  InputBytes(const InputBytes&) = delete;
  InputBytes& operator=(const InputBytes&) = delete;

  // Reads from the named file from now on (see InputFile::open). The
  // buffers of earlier files are kept, so one object serves a run of files
  // without allocating afresh for each.
  bool open(const std::string& name);
  void close();
  // The open file's identity, and why the last open() failed.
  const FileIdentity& identity() const { return cFile.identity(); }
  InputFile::Failure failure() const { return cFile.failure(); }
  bool isOpen() const { return cFile.isOpen(); }

  uint64_t size() const { return cSize; }
  // The `length` bytes at `offset`, valid until the next call; null when
  // they lie beyond the end or cannot be read.
  const uint8_t* view(uint64_t offset, size_t length) {
    // Most extents lie in the window of the one before.
    const Window& w = cWindows[cLast];
    if (w.data != nullptr && offset >= w.start && offset - w.start <= w.length &&
        length <= w.length - (offset - w.start)) {
      cAsked += length;
      return w.data + (offset - w.start);
    }
    return viewElsewhere(offset, length);
  }
  // The same bytes copied to `into`; large extents are read there directly.
  bool copy(uint64_t offset, size_t length, void* into);

  // The bytes read around what is asked at each read, and how many of them
  // come before it.
  static constexpr size_t kWindow = 64 * 1024;
  static constexpr size_t kBehind = 8 * 1024;

private:
  struct Window {
    std::vector<uint8_t> buffer;
    // The window's bytes, in `buffer` or in the memory given; null when the
    // window holds nothing.
    const uint8_t* data = nullptr;
    uint64_t start = 0;
    size_t length = 0;
    uint64_t lastUse = 0;
  };

  const uint8_t* viewElsewhere(uint64_t offset, size_t length);
  bool inRange(uint64_t offset, size_t length) const { return offset <= cSize && length <= cSize - offset; }
  Window* find(uint64_t offset, size_t length);

  InputFile cFile;
  uint64_t cSize = 0;
  // A few windows, so that a reader going through raw data, relocations and
  // line numbers side by side keeps one for each. Memory given whole is the
  // first window.
  std::array<Window, 4> cWindows;
  size_t cLast = 0;
  uint64_t cUses = 0;
  // Bytes asked for and bytes read for this file.
  uint64_t cAsked = 0;
  uint64_t cRead = 0;
};

}  // namespace tarsil
