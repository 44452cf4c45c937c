// SPDX-License-Identifier: Apache-2.0
#include "map/SectionInfo.h"

#include <ostream>

#include "support/Strings.h"

namespace tarsil {

SectionInfo::SectionInfo(const std::string& name, uint32_t address, uint32_t size, Location location,
                         Coff::ScnType type, bool isAbs, bool isShared, bool isAccess)
    : cName(name),
      cAddress(address),
      cSize(size),
      cLocation(location),
      cType(type),
      cAbs(isAbs),
      cShared(isShared),
      cAccess(isAccess) {}

SectionInfo::Location SectionInfo::locationOf(Coff::ScnType type) {
  switch (type) {
    case Coff::idata:
    case Coff::udata:
    case Coff::actrec:
      return data;
    default:
      return program;
  }
}

void SectionInfo::print(std::ostream& os) const {
  os << "SectionInfo: name='" << cName << "' address=" << hexPrint(cAddress, 4) << " size=" << hexPrint(cSize, 4)
     << " location=" << (cLocation == data ? "data" : "program") << " type=" << Coff::scnTypeName(cType)
     << " abs=" << cAbs << " shared=" << cShared << " access=" << cAccess << '\n';
}

bool sectioninfo_address_less(const SectionInfo& a, const SectionInfo& b) { return a.getAddress() < b.getAddress(); }

}  // namespace tarsil
