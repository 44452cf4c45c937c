// SPDX-License-Identifier: Apache-2.0
#include "map/MemoryUsage.h"

#include <cinttypes>
#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>

#include "device/Processor.h"
#include "map/MapText.h"
#include "support/NameIndex.h"

namespace tarsil {

namespace {

// The linker names its fill sections ".fill_" and a count from 1.
bool isFillName(std::string_view name) {
  constexpr std::string_view prefix = ".fill_";
  if (!name.starts_with(prefix) || name.size() == prefix.size()) return false;
  return std::all_of(name.begin() + prefix.size(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether `coff` has an initialized-data section of that name.
bool hasIdata(const Coff& coff, std::string_view name) {
  auto found = coff.cScnHdr.find(std::string(name));
  return found != coff.cScnHdr.end() && Coff::getScnType(found->second) == Coff::idata;
}

UsageClass classOf(const Coff& coff, std::string_view name, Coff::ScnType kind, bool linked) {
  switch (kind) {
    case Coff::code:
      return linked && isFillName(name) ? UsageClass::fill : UsageClass::code;
    case Coff::romdata:
      // The table and the images of initialized data: "<section>_i".
      if (linked && (name == ".cinit" || (name.ends_with("_i") && hasIdata(coff, name.substr(0, name.size() - 2)))))
        return UsageClass::init;
      return UsageClass::romdata;
    case Coff::idata:
      return UsageClass::idata;
    case Coff::udata:
      return linked && name == ".stack" ? UsageClass::stack : UsageClass::udata;
    case Coff::actrec:
      return UsageClass::actrec;
    default:
      return UsageClass::unknown;
  }
}

}  // namespace

const char* usageClassName(UsageClass c) {
  static const char* const names[kUsageClasses] = {"code",  "romdata", "init", "idata",  "udata",
                                                   "stack", "actrec",  "fill", "unknown"};
  return names[static_cast<size_t>(c)];
}

bool inProgramMemory(UsageClass c) {
  return c != UsageClass::idata && c != UsageClass::udata && c != UsageClass::stack && c != UsageClass::actrec;
}

unsigned programBytesPerLocation(const Coff& coff) {
  const int procType = coff.cFileHdr.f_opthdr == OPTHDR_SIZE ? convertDvsProcType(coff.cOptHdr.proc_type) : 0;
  const uint64_t bits = procType != noSuchProcType ? getRomWidth(procType) : coff.cOptHdr.rom_width_bits;
  const uint64_t bytes = (bits + 7) / 8;
  return bytes == 0 ? 1 : static_cast<unsigned>(std::min<uint64_t>(bytes, 4));
}

std::vector<SectionUse> sectionUses(const Coff& coff) {
  const bool linked = isExecutable(coff.cFileHdr);
  const unsigned perLocation = programBytesPerLocation(coff);
  // An executable has thousands of sections: its headers are hashed once
  // rather than searched by name for each number.
  NameIndex<const scnhdr*> headers(coff.cScnHdr.size());
  for (const auto& [name, hdr] : coff.cScnHdr) headers.emplace(name, &hdr);
  std::vector<SectionUse> uses;
  uses.reserve(coff.cScnNum.size());
  for (const auto& [number, name] : coff.cScnNum) {
    const scnhdr* const* found = headers.find(name);
    if (found == nullptr) continue;
    const scnhdr& hdr = **found;
    SectionUse use;
    use.name = name;
    use.header = &hdr;
    use.number = number;
    use.start = hdr.s_paddr;
    use.bytes = hdr.s_size;
    use.use = classOf(coff, name, Coff::getScnType(hdr), linked);
    use.locations = inProgramMemory(use.use) ? (use.bytes + perLocation - 1) / perLocation : use.bytes;
    uses.push_back(use);
  }
  return uses;
}

MemoryCount::MemoryCount(std::span<const SectionUse> uses, bool program, uint32_t classes)
    : MemoryCount(byStart(uses), program, classes) {}

std::vector<const SectionUse*> MemoryCount::byStart(std::span<const SectionUse> uses) {
  std::vector<const SectionUse*> sorted;
  sorted.reserve(uses.size());
  for (const SectionUse& u : uses)
    if (u.locations != 0) sorted.push_back(&u);
  std::sort(sorted.begin(), sorted.end(), [](const SectionUse* a, const SectionUse* b) { return a->start < b->start; });
  return sorted;
}

MemoryCount::MemoryCount(std::span<const SectionUse* const> sorted, bool program, uint32_t classes) {
  // Overlapping stretches (records of one group) become one.
  for (const SectionUse* u : sorted) {
    if (u->locations == 0 || inProgramMemory(u->use) != program || (classes & usageBit(u->use)) == 0) continue;
    const uint64_t end = uint64_t{u->start} + u->locations;
    if (!cStretches.empty() && u->start <= cStretches.back().second)
      cStretches.back().second = std::max(cStretches.back().second, end);
    else
      cStretches.emplace_back(u->start, end);
  }
}

uint64_t MemoryCount::covered(uint64_t first, uint64_t last) const {
  if (last < first) return 0;
  const uint64_t end = last == UINT64_MAX ? UINT64_MAX : last + 1;
  auto it = std::upper_bound(cStretches.begin(), cStretches.end(), first,
                             [](uint64_t value, const auto& s) { return value < s.second; });
  uint64_t count = 0;
  for (; it != cStretches.end() && it->first < end; ++it) count += std::min(it->second, end) - std::max(it->first, first);
  return count;
}

std::vector<MemoryUse> memoryUses(const DeclaredMemories& declared, const Coff& output) {
  return memoryUses(declared, sectionUses(output));
}

std::vector<MemoryUse> memoryUses(const DeclaredMemories& declared, std::span<const SectionUse> uses) {
  const std::vector<const SectionUse*> sorted = MemoryCount::byStart(uses);
  const MemoryCount usedProgram(sorted, true, kUsedClasses);
  const MemoryCount usedData(sorted, false, kUsedClasses);
  const MemoryCount filled(sorted, true, kFillClasses);
  const std::pair<const char*, const std::vector<Memory>*> kinds[] = {
      {"CODEPAGE", &declared.codePages},
      {"DATABANK", &declared.dataBanks},
      {"SHAREBANK", &declared.shareBanks},
      {"ACCESSBANK", &declared.accessBanks},
  };
  std::vector<MemoryUse> rows;
  for (const auto& [kind, memories] : kinds) {
    for (const Memory& m : *memories) {
      const bool program = m.type() == rom;
      const MemoryCount& used = program ? usedProgram : usedData;
      rows.push_back({&m, kind, m.size(), used.covered(m.getPhysicalStart(), m.getPhysicalEnd()),
                      program ? filled.covered(m.getPhysicalStart(), m.getPhysicalEnd()) : 0});
    }
  }
  return rows;
}

void writeMemoryUsage(std::ostream& os, const DeclaredMemories& declared, const Coff& output) {
  const std::vector<MemoryUse> rows = memoryUses(declared, output);
  int nameWidth = 6;
  for (const MemoryUse& row : rows) nameWidth = std::max(nameWidth, static_cast<int>(row.memory->getName().size()));

  os << "Memory usage (program memory in locations, data memory in bytes):\n";
  char line[256];
  std::snprintf(line, sizeof line, "%-*s  %-10s  %10s  %10s  %10s  %10s  %6s\n", nameWidth, "Memory", "Kind", "Start",
                "End", "Used", "Size", "Used%");
  os << line;
  for (const MemoryUse& row : rows) {
    const Memory& m = *row.memory;
    // Tenths of a percent, truncated: a memory shows 100.0% only when full.
    const uint64_t tenths = row.used * 1000 / row.size;
    os << m.getName() << std::string(nameWidth - m.getName().size(), ' ');
    std::snprintf(line, sizeof line, "  %-10s  %10s  %10s  %10" PRIu64 "  %10" PRIu64 "  %3" PRIu64 ".%" PRIu64 "%%\n", row.kind,
                  hexText(m.getPhysicalStart(), mapHexDigits).c_str(),
                  hexText(m.getPhysicalEnd(), mapHexDigits).c_str(), row.used, row.size, tenths / 10, tenths % 10);
    os << line;
  }
}

}  // namespace tarsil
