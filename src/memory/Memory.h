// SPDX-License-Identifier: Apache-2.0
#pragma once
// One named target memory of the command file, with its free holes and the
// ranges placed in it. Addresses and Memory::size() count locations; section
// lengths, largestHole() and the allocated and loaded sizes count bytes.
#include <cstdint>
#include <iosfwd>
#include <list>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "memory/Range.h"

namespace tarsil {

class Memory {
public:
  // Called once per hole by fillHoles: context, memory name, first and last
  // location of the hole, and the fill text as written in the command file.
  using FillCallback = void (*)(void* context, const std::string& memory, uint64_t start, uint64_t end,
                                const std::string& fill);

  Memory(const std::string& name, uint32_t start, uint32_t end, MemType type, bool isProtected, bool hasFill,
         const std::string& fill);

  const std::string& getName() const { return cName; }
  MemType type() const { return cType; }
  bool isProtected() const { return cProtected; }
  bool hasFill() const { return cHasFill; }
  const std::string& getFill() const { return cFill; }
  uint32_t getPhysicalStart() const { return cPhysicalStart; }
  uint32_t getPhysicalEnd() const { return cPhysicalEnd; }
  // Wide: a memory from 0 to 0xFFFFFFFF holds 2^32 locations.
  uint64_t size() const { return uint64_t{cPhysicalEnd} - cPhysicalStart + 1; }
  bool overlap(const Memory& other) const;

  // Every hole takes the memory's word width; ranges carved later inherit it.
  void setRangeWidths(uint16_t bits);

  // A length of 0 always fits. See Range for why the alignment is unsigned short.
  bool canFit(uint64_t length, unsigned short alignment) const;
  bool canFit(uint64_t start, uint64_t length) const;
  uint64_t largestHole() const;
  // Increasing size, stable on equal sizes, which makes the first fitting
  // hole the best fit. The holes are kept in that order as they are made, so
  // this only settles the holes that the last placement left over.
  void sortHoles();

  void allocateSection(const std::string& secName, uint64_t length, bool isOverlay, unsigned short alignment);
  void allocateAbsSection(const std::string& secName, uint64_t start, uint64_t length, bool isOverlay);
  // One range of `length` bytes for a group of records that may overlap; each
  // record name maps to its own copy of the group's range.
  void allocateActRecs(const ActRecOffsets& records, uint64_t length);

  void loadSection(const std::string& file, const std::string& secName, uint64_t length);
  void loadAbsSection(const std::string& file, const std::string& secName, uint64_t start, uint64_t length);

  bool isAllocated(const std::string& secName) const { return findAllocated(secName) != nullptr; }
  // The range placed under a name, or null.
  const Range* findAllocated(const std::string& secName) const;
  bool isLoaded(const std::string& file, const std::string& secName) const;

  uint32_t getAllocatedStart(const std::string& secName) const;
  uint64_t getAllocatedSize(const std::string& secName) const;
  uint32_t getLoadedStart(const std::string& file, const std::string& secName) const;
  uint64_t getLoadedSize(const std::string& file, const std::string& secName) const;

  void fillHoles(FillCallback callback, void* context) const;

  // The holes in list order: by increasing size, equal sizes in the order
  // they were made, except that the leftovers of the last placement follow
  // the rest in the order they were cut.
  std::list<Range> getHoles() const;
  // Calls fn(name, range) for every placed name, in the order of placement.
  template <typename Fn>
  void forEachAllocated(Fn fn) const {
    for (const auto& chunk : cAllocated)
      for (const Allocated& entry : chunk) fn(std::string_view(entry.name()), entry.range);
  }
  size_t allocatedCount() const { return cAllocatedCount; }

  // The memory's block of the error map file.
  void display(std::ostream& os, bool withHeader) const;
  // Debug dump.
  void print(std::ostream& os) const;

  // A free stretch: its first location, its length in locations and when it
  // was made, which orders holes of equal size.
  struct Hole {
    uint32_t start;
    uint64_t size;
    uint64_t seq;
    bool operator<(const Hole& other) const {
      return size != other.size ? size < other.size : seq < other.seq;
    }
  };
  // The hole a relocatable section of `length` bytes goes to: the first in
  // list order after sortHoles() that fits it, or null.
  const Hole* bestFit(uint64_t length, unsigned short alignment) const;
  // The hole that holds [start, start + locs(length)), or, for a length of 0,
  // the first hole in list order; null when there is none.
  const Hole* holeAt(uint64_t start, uint64_t length) const;

private:
  // A placed name and its range. A section's name is its range's own; an
  // activation record's is a key of the group's offset table, which every
  // copy of the group shares, so neither is stored twice.
  struct Allocated {
    const std::string* record;
    Range range;
    const std::string& name() const { return record != nullptr ? *record : range.getAllocName(); }
  };

  Range* findRange(const std::string& secName) const;
  const Range& allocatedRange(const std::string& secName) const;
  Range& addAllocated(const std::string* record, Range range);
  const Allocated& entry(uint32_t id) const;
  void growIndex();
  void addHole(uint32_t start, uint64_t size);
  // Carves `hole` at `start` into the range of `secName` (or, with records,
  // of the group) and keeps what is left of it as holes.
  Range carve(Hole hole, uint64_t start, uint64_t length, const std::string& secName, bool isOverlay,
              const ActRecOffsets* records);
  // A memory whose holes are all used still takes empty sections: they get a
  // zero-size range that covers nothing.
  void allocateEmpty(const std::string& secName, uint64_t start, bool isOverlay);
  unsigned bytesPerLocation() const;
  Range holeRange(const Hole& hole) const;
  // Calls fn(hole) for every hole in list order.
  template <typename Fn>
  void forEachHole(Fn fn) const;

  std::string cName;
  MemType cType;
  bool cProtected;
  bool cHasFill;
  std::string cFill;
  uint32_t cPhysicalStart;
  uint32_t cPhysicalEnd;
  // Holes by start, and the same holes by (size, age), once for all and once
  // for those that start at an even location: best fit is then a search, not
  // a scan and a sort, however many holes the placements leave.
  std::map<uint32_t, Hole> cHoles;
  std::set<Hole> cHolesBySize;
  std::set<Hole> cEvenHolesBySize;
  uint64_t cNextSeq = 0;
  // Holes made by the last placement; list order has them last until the
  // next placement sorts them in.
  uint64_t cRecentSeq = 0;
  // The placed ranges in chunks that never move once filled, so that a
  // range keeps its address for the stages that hold on to it, and a memory
  // of thousands of sections costs no allocation per section.
  std::vector<std::vector<Allocated>> cAllocated;
  uint32_t cAllocatedCount = 0;
  // Names to ranges by open addressing: each slot holds a range's number
  // plus one in its low half and the high half of the name's hash above it,
  // so that a probe compares names only when the hashes agree. Never more
  // than half full. Slots hold numbers, not views of the names as a
  // NameIndex would: a copied memory's ranges, and the names in them, move,
  // and the copy's index must still hold.
  std::vector<uint64_t> cIndex;
  // The width of every hole, and of the empty ranges that no hole backs.
  uint16_t cWidthBits = 0;
};

// The memories the command files declared, kind by kind, each kind in the
// order of its declarations: what the listings show of a link's memories.
struct DeclaredMemories {
  const std::vector<Memory>& codePages;
  const std::vector<Memory>& dataBanks;
  const std::vector<Memory>& shareBanks;
  const std::vector<Memory>& accessBanks;
};

// Orders (memory, hole size in bytes) pairs by the size alone.
using MemorySize = std::pair<Memory*, uint64_t>;
bool memsize_less(const MemorySize& a, const MemorySize& b);

}  // namespace tarsil
