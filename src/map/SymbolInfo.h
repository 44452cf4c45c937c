// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <iosfwd>
#include <string>

#include "map/SectionInfo.h"

namespace tarsil {

// One symbol of a finished executable as the map lists it.
class SymbolInfo {
public:
  enum StorageClass { externClass = 0, staticClass = 1 };
  enum Kind { function = 0, variable = 1 };

  SymbolInfo(const std::string& name, uint32_t address, SectionInfo::Location location, StorageClass storageClass,
             Kind kind, const std::string& file);

  const std::string& getName() const { return cName; }
  uint32_t getAddress() const { return cAddress; }
  SectionInfo::Location getLocation() const { return cLocation; }
  StorageClass getStorageClass() const { return cStorageClass; }
  Kind getKind() const { return cKind; }
  // The source file that defines the symbol; empty when the table names none.
  const std::string& getFile() const { return cFile; }

  void print(std::ostream& os) const;

private:
  std::string cName;
  uint32_t cAddress;
  SectionInfo::Location cLocation;
  StorageClass cStorageClass;
  Kind cKind;
  std::string cFile;
};

// Byte-wise name order and unsigned address order.
bool symbolinfo_name_less(const SymbolInfo& a, const SymbolInfo& b);
bool symbolinfo_address_less(const SymbolInfo& a, const SymbolInfo& b);

}  // namespace tarsil
