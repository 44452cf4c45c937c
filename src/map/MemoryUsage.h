// SPDX-License-Identifier: Apache-2.0
#pragma once
// How much memory a link uses, counted one way for everyone who shows it:
// the linker's summary (--print-memory-usage), its JSON and HTML maps, and
// tarsil-size, which reads the same numbers back from the executable.
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "coff/Coff.h"
#include "memory/Memory.h"

namespace tarsil {

// What a section holds, as the summaries tell sections apart: its kind,
// and, for the sections the linker makes itself, what they are for.
enum class UsageClass : uint8_t { code, romdata, init, idata, udata, stack, actrec, fill, unknown };
constexpr size_t kUsageClasses = 9;
// "code", "romdata", "init", "idata", "udata", "stack", "actrec", "fill", "unknown".
const char* usageClassName(UsageClass c);
// Program memory holds code, romdata, the initialized-data images and table,
// and fill; the rest lives in data memory.
bool inProgramMemory(UsageClass c);

// One section of a file as the summaries count it.
struct SectionUse {
  std::string_view name;  // views the file's own name
  const scnhdr* header = nullptr;
  int number = 0;
  uint32_t start = 0;     // first location: its address
  uint64_t locations = 0;
  uint64_t bytes = 0;
  UsageClass use = UsageClass::unknown;
};

// Bytes per location of a file's program memory: 1 on the byte-addressed
// core, 2 on the others (from its device, else from its word width).
unsigned programBytesPerLocation(const Coff& coff);

// The sections of an object or executable in section-number order. A
// section takes whole locations: a 3-byte piece of a 14-bit program memory
// takes two.
std::vector<SectionUse> sectionUses(const Coff& coff);

// The locations of a linked program's memories that sections cover, each
// counted once: overlaid activation records share theirs. Fill sections
// take unused locations and are counted apart, as `filled`.
// Sets of classes, as bits.
constexpr uint32_t usageBit(UsageClass c) { return uint32_t{1} << static_cast<unsigned>(c); }
constexpr uint32_t kUsedClasses = ((uint32_t{1} << kUsageClasses) - 1) & ~usageBit(UsageClass::fill);
constexpr uint32_t kFillClasses = usageBit(UsageClass::fill);

class MemoryCount {
public:
  // The sections of `program` or of data memory whose class is among `classes`.
  MemoryCount(std::span<const SectionUse> uses, bool program, uint32_t classes);
  // The same from the sections in order of their start (byStart), so that
  // several counts of one file sort it once.
  MemoryCount(std::span<const SectionUse* const> sorted, bool program, uint32_t classes);
  static std::vector<const SectionUse*> byStart(std::span<const SectionUse> uses);
  // Covered locations from `first` to `last`, both included.
  uint64_t covered(uint64_t first, uint64_t last) const;
  uint64_t total() const { return covered(0, UINT64_MAX); }

private:
  // Disjoint stretches [first, end), ascending.
  std::vector<std::pair<uint64_t, uint64_t>> cStretches;
};

// One declared memory and what the link did with it.
struct MemoryUse {
  const Memory* memory;
  const char* kind;  // "CODEPAGE", "DATABANK", "SHAREBANK", "ACCESSBANK"
  uint64_t size;     // locations
  uint64_t used;
  uint64_t filled;
};

// Every declared memory of a finished link, code pages then data, shared
// and access banks, each kind in declaration order, counted from the
// section headers of its executable `output`.
std::vector<MemoryUse> memoryUses(const DeclaredMemories& declared, const Coff& output);
// The same from the executable's sections, found already.
std::vector<MemoryUse> memoryUses(const DeclaredMemories& declared, std::span<const SectionUse> uses);

// The summary --print-memory-usage shows after a link: one row per declared
// memory, program memory counted in locations, data memory in bytes, as the
// header says.
void writeMemoryUsage(std::ostream& os, const DeclaredMemories& declared, const Coff& output);

}  // namespace tarsil
