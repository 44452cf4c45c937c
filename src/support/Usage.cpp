// SPDX-License-Identifier: Apache-2.0
#include "support/Usage.h"

#include <cstdio>

#include "support/Version.h"

namespace tarsil {

std::string versionLine(const char* program) { return std::string(program) + " (tarsil) " + Version::number(); }

int usageMistake(const char* program, const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s; '%s --help' shows the usage\n", program, what.c_str(), program);
  std::fflush(stderr);
  return 2;
}

}  // namespace tarsil
