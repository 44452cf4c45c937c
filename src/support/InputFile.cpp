// SPDX-License-Identifier: Apache-2.0
#include "support/InputFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/Platform.h"

namespace tarsil {

bool InputFile::open(const std::string& name, bool* notRegular) {
  close();
  if (notRegular) *notRegular = false;
  cFailure = Failure::none;
  platform::FileStatus status;
  const platform::NativeFile file = platform::openForReading(name, status);
  if (file == platform::kNoFile) {
    using platform::Kind;
    if (notRegular) *notRegular = status.kind == Kind::directory || status.kind == Kind::other;
    cFailure = status.kind == Kind::directory ? Failure::directory
               : status.kind == Kind::other   ? Failure::notRegular
               : status.kind == Kind::missing && (status.error == ENOENT || status.error == ENOTDIR)
                   ? Failure::absent
                   : Failure::other;
    return false;
  }
  cHandle = file;
  cSize = status.size;
  cIdentity = status.identity;
  return true;
}

void InputFile::close() {
  platform::closeFile(cHandle);
  cHandle = platform::kNoFile;
  cSize = 0;
}

// A file is read as long as it was when opened: a short read before that
// is tried again, and nothing past it is asked for.
long long InputFile::readAt(uint64_t offset, void* into, size_t length) const {
  if (offset >= cSize) return 0;
  length = static_cast<size_t>(std::min<uint64_t>(length, cSize - offset));
  auto* to = static_cast<char*>(into);
  size_t done = 0;
  while (done < length) {
    const long long n = platform::readAt(cHandle, offset + done, to + done, length - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long long>(done);
}

long long InputFile::read(void* into, size_t length) { return platform::readNext(cHandle, into, length); }

InputFileBuf::int_type InputFileBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const long long n = cFile.read(cBuffer, sizeof cBuffer);
  if (n <= 0) return traits_type::eof();
  setg(cBuffer, cBuffer, cBuffer + n);
  return traits_type::to_int_type(*gptr());
}

InputBytes::InputBytes(std::span<const uint8_t> bytes) : cSize(bytes.size()) {
  cWindows[0].data = bytes.data();
  cWindows[0].length = bytes.size();
}

bool InputBytes::open(const std::string& name) {
  close();
  if (!cFile.open(name)) return false;
  cSize = cFile.size();
  return true;
}

void InputBytes::close() {
  cFile.close();
  cSize = 0;
  cAsked = 0;
  cRead = 0;
  for (Window& w : cWindows) {
    w.data = nullptr;
    w.length = 0;
  }
}

InputBytes::Window* InputBytes::find(uint64_t offset, size_t length) {
  for (size_t i = 0; i < cWindows.size(); ++i) {
    Window& w = cWindows[i];
    if (w.data != nullptr && offset >= w.start && offset - w.start <= w.length &&
        length <= w.length - (offset - w.start)) {
      w.lastUse = ++cUses;
      cLast = i;
      return &w;
    }
  }
  return nullptr;
}

const uint8_t* InputBytes::viewElsewhere(uint64_t offset, size_t length) {
  if (!inRange(offset, length)) return nullptr;
  // Somewhere to point for nothing at all, even in an empty image.
  static const uint8_t nothing = 0;
  if (length == 0) return &nothing;
  if (!cFile.isOpen()) return nullptr;
  cAsked += length;
  if (Window* w = find(offset, length)) return w->data + (offset - w->start);

  // Reading ahead pays for itself while what is read is mostly used; past
  // twice the bytes asked for, only what is asked is read. A window also
  // takes a little of what comes before: an object's string table is asked
  // for first, at its end, and the rest of a small object just before it.
  uint64_t start = offset;
  size_t want = length;
  if (cRead <= 2 * cAsked) {
    start = offset - std::min<uint64_t>(offset, kBehind);
    want = std::max<size_t>(length + static_cast<size_t>(offset - start), kWindow);
  }
  want = static_cast<size_t>(std::min<uint64_t>(want, cSize - start));
  auto oldest = std::min_element(cWindows.begin(), cWindows.end(),
                                 [](const Window& a, const Window& b) { return a.lastUse < b.lastUse; });
  Window& w = *oldest;
  w.data = nullptr;
  if (w.buffer.size() < want) w.buffer.resize(want);
  const long long n = cFile.readAt(start, w.buffer.data(), want);
  if (n < 0 || static_cast<uint64_t>(n) < offset - start + length) return nullptr;
  cRead += static_cast<uint64_t>(n);
  w.data = w.buffer.data();
  w.start = start;
  w.length = static_cast<size_t>(n);
  w.lastUse = ++cUses;
  cLast = static_cast<size_t>(oldest - cWindows.begin());
  return w.data + (offset - start);
}

bool InputBytes::copy(uint64_t offset, size_t length, void* into) {
  if (!inRange(offset, length)) return false;
  if (length == 0) return true;
  if (cFile.isOpen() && length >= kWindow && find(offset, length) == nullptr) {
    cAsked += length;
    cRead += length;
    return cFile.readAt(offset, into, length) == static_cast<long long>(length);
  }
  const uint8_t* bytes = view(offset, length);
  if (bytes == nullptr) return false;
  std::memcpy(into, bytes, length);
  return true;
}

}  // namespace tarsil
