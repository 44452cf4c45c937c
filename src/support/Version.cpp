#include "support/Version.h"

namespace tarsil {

const char* Version::linker() { return "TARSIL 3.40, Linker"; }

const char* Version::notice() {
  return "Relocating linker for 8-bit Harvard-architecture microcontrollers.";
}

}  // namespace tarsil
