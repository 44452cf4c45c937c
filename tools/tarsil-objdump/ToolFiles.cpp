// SPDX-License-Identifier: Apache-2.0
#include "ToolFiles.h"

#include <cstdio>
#include <cstring>

#include "support/Error.h"
#include "support/InputFile.h"
#include "support/Usage.h"

namespace tarsil::tools {

bool isLibraryFile(const std::string& name) {
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".lib") == 0) return true;
  InputBytes bytes;
  if (!bytes.open(name)) return false;
  const uint8_t* magic = bytes.view(0, SARMAG);
  return magic != nullptr && std::memcmp(magic, ARMAG, SARMAG) == 0;
}

bool readToolFile(const std::string& name, const char* program, ToolFile& file) {
  std::vector<Error::Message> messages;
  bool halted = false;
  {
    // Held, not printed: the readers' messages would otherwise go to
    // standard output among the rows.
    Error::Hold hold(messages);
    try {
      if (isLibraryFile(name)) file.archive = Archive::make(name);
      else file.coff = Coff::makeVerified(name);
    } catch (const Error::Halted&) {
      halted = true;
    }
  }
  bool faulted = halted;
  for (const Error::Message& m : messages) {
    std::fprintf(stderr, "%s: %s: %s\n", program, m.type == Error::warning ? "warning" : "error", m.text.c_str());
    faulted = faulted || m.type == Error::error;
  }
  if (faulted || (!file.archive && !file.coff)) {
    file = {};
    return false;
  }
  return true;
}

bool forEachObject(const std::vector<std::string>& files, const char* program,
                   const std::function<void(const Coff&, const std::string&, const std::string&)>& list) {
  bool ok = true;
  for (const std::string& name : files) {
    ToolFile file;
    if (!readToolFile(name, program, file)) {
      ok = false;
      continue;
    }
    if (file.coff) list(*file.coff, name, std::string());
    else
      for (const auto& member : file.archive->cMembers) list(*member, name, member->cFileName);
  }
  return ok;
}

int answerInfoRequest(const std::string& arg, const char* program, void (*usage)(std::FILE*)) {
  if (arg == "--help") usage(stdout);
  else if (arg == "--version") std::printf("%s\n", versionLine(program).c_str());
  else return -1;
  return 0;
}

}  // namespace tarsil::tools
