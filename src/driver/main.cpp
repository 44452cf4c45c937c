// SPDX-License-Identifier: Apache-2.0
#include <cstdlib>  // defines __GLIBC__ where that is the C library

#include "driver/Driver.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // A link is one short process whose large tables (a library read whole,
  // the executable's symbol table) come and go while the heap still holds
  // room freed by earlier stages. By default the C library maps each such
  // block afresh and gives the top of the heap back on every large free, so
  // the kernel clears again memory the process already had: a sixth of a
  // large link's page faults. Kept in the heap, they reuse that room.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
#endif
  tarsil::runTarsil(argc, argv);
}
