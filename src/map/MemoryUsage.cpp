// SPDX-License-Identifier: Apache-2.0
#include "map/MemoryUsage.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "memory/Memory.h"
#include "map/MapText.h"

namespace tarsil {

void writeMemoryUsage(std::ostream& os, const DeclaredMemories& declared) {
  const std::pair<const char*, const std::vector<Memory>*> kinds[] = {
      {"CODEPAGE", &declared.codePages},
      {"DATABANK", &declared.dataBanks},
      {"SHAREBANK", &declared.shareBanks},
      {"ACCESSBANK", &declared.accessBanks},
  };
  int nameWidth = 6;
  for (const auto& [kind, memories] : kinds)
    for (const Memory& m : *memories) nameWidth = std::max(nameWidth, static_cast<int>(m.getName().size()));

  os << "Memory usage (program memory in locations, data memory in bytes):\n";
  char line[256];
  std::snprintf(line, sizeof line, "%-*s  %-10s  %10s  %10s  %10s  %10s  %6s\n", nameWidth, "Memory", "Kind", "Start",
                "End", "Used", "Size", "Used%");
  os << line;
  for (const auto& [kind, memories] : kinds) {
    for (const Memory& m : *memories) {
      // Wide, so that a memory declared over all 32 bits does not wrap.
      const uint64_t size = uint64_t{m.getPhysicalEnd()} - m.getPhysicalStart() + 1;
      uint64_t free = 0;
      for (const Range& hole : m.getHoles()) free += hole.getLocations();
      const uint64_t used = size - std::min(free, size);
      // Tenths of a percent, truncated: a memory shows 100.0% only when full.
      const uint64_t tenths = used * 1000 / size;
      os << m.getName() << std::string(nameWidth - m.getName().size(), ' ');
      std::snprintf(line, sizeof line, "  %-10s  %10s  %10s  %10llu  %10llu  %3llu.%llu%%\n", kind,
                    hexText(m.getPhysicalStart(), mapHexDigits).c_str(),
                    hexText(m.getPhysicalEnd(), mapHexDigits).c_str(), static_cast<unsigned long long>(used),
                    static_cast<unsigned long long>(size), static_cast<unsigned long long>(tenths / 10),
                    static_cast<unsigned long long>(tenths % 10));
      os << line;
    }
  }
}

}  // namespace tarsil
