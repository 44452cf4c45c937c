#include "link/Linker.h"

namespace tarsil {

unsigned long Linker::calcProgMemSize() const {
  unsigned long total = 0;
  for (const Memory& m : cCodePage) total += m.size();
  return total;
}

void Linker::writeErrorMapFile() { stageMissing("writeErrorMapFile"); }

}  // namespace tarsil
