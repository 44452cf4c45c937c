// SPDX-License-Identifier: Apache-2.0
#include "support/Version.h"

namespace tarsil {

#define TARSIL_RELEASE "3.40"

const char* Version::linker() { return "TARSIL " TARSIL_RELEASE ", Linker"; }

const char* Version::notice() {
  return "Relocating linker for 8-bit Harvard-architecture microcontrollers.";
}

const char* Version::number() { return TARSIL_RELEASE; }

}  // namespace tarsil
