// SPDX-License-Identifier: Apache-2.0
#include "map/SymbolInfo.h"

#include <ostream>

#include "support/Strings.h"

namespace tarsil {

SymbolInfo::SymbolInfo(const std::string& name, uint32_t address, SectionInfo::Location location,
                       StorageClass storageClass, Kind kind, const std::string& file)
    : cName(name), cAddress(address), cLocation(location), cStorageClass(storageClass), cKind(kind), cFile(file) {}

void SymbolInfo::print(std::ostream& os) const {
  os << "SymbolInfo: name='" << cName << "' address=" << hexPrint(cAddress, 4)
     << " location=" << (cLocation == SectionInfo::data ? "data" : "program")
     << " storage=" << (cStorageClass == externClass ? "extern" : "static")
     << " kind=" << (cKind == function ? "function" : "variable") << " file='" << cFile << "'\n";
}

bool symbolinfo_name_less(const SymbolInfo& a, const SymbolInfo& b) { return a.getName() < b.getName(); }

bool symbolinfo_address_less(const SymbolInfo& a, const SymbolInfo& b) { return a.getAddress() < b.getAddress(); }

}  // namespace tarsil
