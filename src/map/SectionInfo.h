// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <iosfwd>
#include <string>

#include "coff/Coff.h"

namespace tarsil {

// One section of a finished executable as the map lists it.
class SectionInfo {
public:
  enum Location { program = 0, data = 1 };

  SectionInfo(const std::string& name, uint32_t address, uint32_t size, Location location, Coff::ScnType type,
              bool isAbs, bool isShared, bool isAccess);

  // Data-memory kinds live in data memory, everything else in program memory.
  static Location locationOf(Coff::ScnType type);

  const std::string& getName() const { return cName; }
  uint32_t getAddress() const { return cAddress; }
  uint32_t getSize() const { return cSize; }
  Location getLocation() const { return cLocation; }
  Coff::ScnType getType() const { return cType; }
  bool isAbs() const { return cAbs; }
  bool isShared() const { return cShared; }
  bool isAccess() const { return cAccess; }

  void print(std::ostream& os) const;

private:
  std::string cName;
  uint32_t cAddress;
  uint32_t cSize;
  Location cLocation;
  Coff::ScnType cType;
  bool cAbs;
  bool cShared;
  bool cAccess;
};

bool sectioninfo_address_less(const SectionInfo& a, const SectionInfo& b);

}  // namespace tarsil
