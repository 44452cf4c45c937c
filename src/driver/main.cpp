// Placeholder entry until the driver lands.
#include "support/Error.h"
#include "support/Version.h"
#include <cstdio>

int main() {
  std::printf("%s\n", tarsil::Version::linker());
  tarsil::Error::terminate(1);
}
