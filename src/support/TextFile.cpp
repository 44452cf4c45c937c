#include "support/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tarsil {

TextFileRead readTextFile(const std::string& name, size_t limit, std::string& text, FileIdentity* identity) {
  text.clear();
  // Non-blocking, so that opening a FIFO with no writer returns at once; the
  // type is then checked on what was opened, not on the name.
  int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return TextFileRead::cannotOpen;
  struct stat st {};
  TextFileRead result = TextFileRead::ok;
  if (::fstat(fd, &st) != 0) {
    result = TextFileRead::cannotOpen;
  } else if (!S_ISREG(st.st_mode)) {
    result = TextFileRead::notRegular;
  } else {
    if (identity) *identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    // The size is only a hint: the file may grow while it is read, so the
    // limit is enforced on the bytes themselves.
    char buffer[1 << 16];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = TextFileRead::readFailed;
        break;
      }
      if (n == 0) break;
      if (text.size() + static_cast<size_t>(n) > limit) {
        result = TextFileRead::tooLarge;
        break;
      }
      text.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  if (result != TextFileRead::ok) text.clear();
  return result;
}

std::string textFileProblem(TextFileRead result, const std::string& kind, const std::string& name, size_t limit) {
  std::string role = kind;
  if (!role.empty() && role[0] >= 'a' && role[0] <= 'z') role[0] = static_cast<char>(role[0] - 'a' + 'A');
  switch (result) {
  case TextFileRead::ok:
    break;
  case TextFileRead::cannotOpen:
    return "Could not open " + kind + " '" + name + "'";
  case TextFileRead::notRegular:
    return role + " '" + name + "' is not a regular file";
  case TextFileRead::tooLarge:
    return role + " '" + name + "' is larger than " + std::to_string(limit >> 20) + " MiB";
  case TextFileRead::readFailed:
    return "Could not read " + kind + " '" + name + "'";
  }
  return std::string();
}

}  // namespace tarsil
