#include "memory/Memory.h"

#include <algorithm>
#include <ostream>

namespace tarsil {

Memory::Memory(const std::string& name, uint32_t start, uint32_t end, MemType type, bool isProtected, bool hasFill,
               const std::string& fill)
    : cName(name), cType(type), cProtected(isProtected), cHasFill(hasFill), cFill(fill), cPhysicalStart(start),
      cPhysicalEnd(end) {}

bool Memory::overlap(const Memory& other) const {
  return std::max(cPhysicalStart, other.cPhysicalStart) <= std::min(cPhysicalEnd, other.cPhysicalEnd);
}

void Memory::print(std::ostream& os) const { os << "Memory: name=" << cName << "\n"; }

}  // namespace tarsil
