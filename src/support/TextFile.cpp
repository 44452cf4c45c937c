// SPDX-License-Identifier: Apache-2.0
#include "support/TextFile.h"

#include "support/InputFile.h"

namespace tarsil {

TextFileRead readTextFile(const std::string& name, size_t limit, std::string& text, FileIdentity* identity) {
  text.clear();
  InputFile file;
  bool notRegular = false;
  if (!file.open(name, &notRegular)) return notRegular ? TextFileRead::notRegular : TextFileRead::cannotOpen;
  if (identity) *identity = file.identity();
  // The size is only a hint: the file may grow while it is read, so the
  // limit is enforced on the bytes themselves.
  char buffer[1 << 16];
  for (;;) {
    const long long n = file.read(buffer, sizeof buffer);
    if (n == 0) return TextFileRead::ok;
    const TextFileRead problem = n < 0 ? TextFileRead::readFailed : TextFileRead::tooLarge;
    if (n < 0 || text.size() + static_cast<size_t>(n) > limit) {
      text.clear();
      return problem;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
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
