#pragma once
// One named target memory of the command file, with its free holes and the
// ranges placed in it. Addresses and Memory::size() count locations; section
// lengths, largestHole() and the allocated and loaded sizes count bytes.
#include <cstdint>
#include <iosfwd>
#include <list>
#include <map>
#include <string>
#include <utility>

#include "memory/Range.h"

namespace tarsil {

class Memory {
public:
  // Called once per hole by fillHoles: context, memory name, first and last
  // location of the hole, and the fill text as written in the command file.
  using FillCallback = void (*)(void* context, const std::string& memory, unsigned long start, unsigned long end,
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
  uint32_t size() const { return cPhysicalEnd - cPhysicalStart + 1; }
  bool overlap(const Memory& other) const;

  // Every hole takes the memory's word width; ranges carved later inherit it.
  void setRangeWidths(uint16_t bits);

  // A length of 0 always fits. See Range for why the alignment is unsigned short.
  bool canFit(unsigned long length, unsigned short alignment) const;
  bool canFit(unsigned long start, unsigned long length) const;
  unsigned long largestHole() const;
  // Increasing size, stable on equal sizes, which makes the first fitting
  // hole the best fit.
  void sortHoles();

  void allocateSection(const std::string& secName, unsigned long length, bool isOverlay, unsigned short alignment);
  void allocateAbsSection(const std::string& secName, unsigned long start, unsigned long length, bool isOverlay);
  // One range of `length` bytes for a group of records that may overlap; each
  // record name maps to its own copy of the group's range.
  void allocateActRecs(const ActRecOffsets& records, unsigned long length);

  void loadSection(const std::string& file, const std::string& secName, unsigned long length);
  void loadAbsSection(const std::string& file, const std::string& secName, unsigned long start, unsigned long length);

  bool isAllocated(const std::string& secName) const { return cAllocated.count(secName) != 0; }
  bool isLoaded(const std::string& file, const std::string& secName) const;

  uint32_t getAllocatedStart(const std::string& secName) const;
  unsigned long getAllocatedSize(const std::string& secName) const;
  uint32_t getLoadedStart(const std::string& file, const std::string& secName) const;
  unsigned long getLoadedSize(const std::string& file, const std::string& secName) const;

  void fillHoles(FillCallback callback, void* context) const;

  const std::list<Range>& getHoles() const { return cHoles; }
  const std::map<std::string, Range>& getAllocated() const { return cAllocated; }

  // The memory's block of the error map file.
  void display(std::ostream& os, bool withHeader) const;
  // Debug dump.
  void print(std::ostream& os) const;

private:
  const Range& allocatedRange(const std::string& secName) const;
  // Carves `hole` (an element of cHoles) and moves it to cAllocated under
  // `secName`; the leftovers join the holes.
  Range& take(std::list<Range>::iterator hole, const std::string& secName);
  // A memory whose holes are all used still takes empty sections: they get a
  // zero-size range that covers nothing.
  void allocateEmpty(const std::string& secName, unsigned long start, bool isOverlay);

  std::string cName;
  MemType cType;
  bool cProtected;
  bool cHasFill;
  std::string cFill;
  uint32_t cPhysicalStart;
  uint32_t cPhysicalEnd;
  std::list<Range> cHoles;
  std::map<std::string, Range> cAllocated;
  // The width the holes were given, for the empty ranges that no hole backs.
  uint16_t cWidthBits = 0;
};

// Orders (memory, hole size in bytes) pairs by the size alone.
using MemorySize = std::pair<Memory*, unsigned long>;
bool memsize_less(const MemorySize& a, const MemorySize& b);
bool memsize_greater(const MemorySize& a, const MemorySize& b);

}  // namespace tarsil
