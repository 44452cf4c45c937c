// SPDX-License-Identifier: Apache-2.0
#include "support/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace tarsil {

void assertionFailed(const char* condition, const char* module, const char* file, int line) {
  std::fflush(stdout);
  if (module)
    std::fprintf(stderr, "Assertion failed: %s, module %s, file %s, line %d\n", condition, module, file, line);
  else
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, file, line);
  std::abort();
}

}  // namespace tarsil
