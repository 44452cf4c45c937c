#include "memory/Memory.h"

#include <algorithm>
#include <ostream>
#include <vector>

#include "support/Assert.h"
#include "support/Strings.h"

namespace tarsil {

Memory::Memory(const std::string& name, uint32_t start, uint32_t end, MemType type, bool isProtected, bool hasFill,
               const std::string& fill)
    : cName(name), cType(type), cProtected(isProtected), cHasFill(hasFill), cFill(fill), cPhysicalStart(start),
      cPhysicalEnd(end) {
  // The command file checks that END is not below START. A memory spanning
  // all 2^32 addresses has more locations than a range can count; it loses
  // its last location rather than becoming a hole of size 0.
  if (end < start) return;
  uint32_t locations = end - start + 1;
  cHoles.push_back(Range(start, locations != 0 ? locations : 0xFFFFFFFFu, type, 0));
}

bool Memory::overlap(const Memory& other) const {
  return std::max(cPhysicalStart, other.cPhysicalStart) <= std::min(cPhysicalEnd, other.cPhysicalEnd);
}

void Memory::setRangeWidths(uint16_t bits) {
  cWidthBits = bits;
  for (auto& hole : cHoles) hole.setWidth(bits);
}

bool Memory::canFit(unsigned long length, unsigned short alignment) const {
  if (length == 0) return true;
  return std::any_of(cHoles.begin(), cHoles.end(),
                     [&](const Range& hole) { return hole.canFit(length, alignment); });
}

bool Memory::canFit(unsigned long start, unsigned long length) const {
  if (length == 0) return true;
  return std::any_of(cHoles.begin(), cHoles.end(), [&](const Range& hole) { return hole.canFit(start, length); });
}

unsigned long Memory::largestHole() const {
  unsigned long largest = 0;
  for (const auto& hole : cHoles) largest = std::max(largest, hole.size());
  return largest;
}

void Memory::sortHoles() {
  // list::sort is a stable merge sort that relinks nodes without copying them.
  cHoles.sort([](const Range& a, const Range& b) { return a.size() < b.size(); });
}

Range& Memory::take(std::list<Range>::iterator hole, const std::string& secName) {
  auto [slot, inserted] = cAllocated.emplace(secName, *hole);
  TARSIL_ASSERT(inserted);
  cHoles.erase(hole);
  return slot->second;
}

void Memory::allocateEmpty(const std::string& secName, unsigned long start, bool isOverlay) {
  Range range(static_cast<uint32_t>(start), 1, cType, cWidthBits);
  std::list<Range> unused;
  range.allocate(secName, start, 0, unused, isOverlay);
  cAllocated.emplace(secName, range);
}

void Memory::allocateSection(const std::string& secName, unsigned long length, bool isOverlay,
                             unsigned short alignment) {
  TARSIL_ASSERT_TEXT(!isAllocated(secName), "!isAllocated (secName)");
  TARSIL_ASSERT_TEXT(canFit(length, alignment), "canFit (length, alignment)");
  sortHoles();
  auto hole = std::find_if(cHoles.begin(), cHoles.end(),
                           [&](const Range& h) { return h.canFit(length, alignment); });
  if (hole == cHoles.end() && length == 0) return allocateEmpty(secName, cPhysicalStart, isOverlay);
  bool found = hole != cHoles.end();
  TARSIL_ASSERT(found);
  unsigned long start = hole->getStart();
  if (alignment > 1 && start % alignment != 0) start += alignment - start % alignment;
  std::list<Range> newHoles;
  hole->allocate(secName, start, length, newHoles, isOverlay);
  take(hole, secName);
  cHoles.splice(cHoles.end(), newHoles);
}

void Memory::allocateAbsSection(const std::string& secName, unsigned long start, unsigned long length,
                                bool isOverlay) {
  TARSIL_ASSERT_TEXT(!isAllocated(secName), "!isAllocated (secName)");
  TARSIL_ASSERT_TEXT(canFit(start, length), "canFit (start, length)");
  sortHoles();
  auto hole =
      std::find_if(cHoles.begin(), cHoles.end(), [&](const Range& h) { return h.canFit(start, length); });
  if (hole == cHoles.end() && length == 0) return allocateEmpty(secName, start, isOverlay);
  bool found = hole != cHoles.end();
  TARSIL_ASSERT(found);
  std::list<Range> newHoles;
  hole->allocate(secName, start, length, newHoles, isOverlay);
  take(hole, secName);
  cHoles.splice(cHoles.end(), newHoles);
}

void Memory::allocateActRecs(const ActRecOffsets& records, unsigned long length) {
  TARSIL_ASSERT_TEXT(canFit(length, static_cast<unsigned short>(1)), "canFit (length, (unsigned short)1)");
  for (const auto& record : records)
    TARSIL_ASSERT_TEXT(!isAllocated(record.first), "!isAllocated (secName)");
  sortHoles();
  auto hole = std::find_if(cHoles.begin(), cHoles.end(),
                           [&](const Range& h) { return h.canFit(length, static_cast<unsigned short>(1)); });
  Range group(cPhysicalStart, 1, cType, cWidthBits);
  std::list<Range> newHoles;
  if (hole == cHoles.end() && length == 0) {
    group.allocateActRecs(records, cPhysicalStart, 0, newHoles);
  } else {
    bool found = hole != cHoles.end();
    TARSIL_ASSERT(found);
    hole->allocateActRecs(records, hole->getStart(), length, newHoles);
    group = *hole;
    cHoles.erase(hole);
    cHoles.splice(cHoles.end(), newHoles);
  }
  for (const auto& record : records) cAllocated.emplace(record.first, group);
}

void Memory::loadSection(const std::string& file, const std::string& secName, unsigned long length) {
  TARSIL_ASSERT_TEXT(isAllocated(secName), "isAllocated (secName)");
  TARSIL_ASSERT_TEXT(!isLoaded(file, secName), "!isLoaded (file, secName)");
  cAllocated.find(secName)->second.load(file, length);
}

void Memory::loadAbsSection(const std::string& file, const std::string& secName, unsigned long start,
                            unsigned long length) {
  TARSIL_ASSERT_TEXT(isAllocated(secName), "isAllocated (secName)");
  TARSIL_ASSERT_TEXT(!isLoaded(file, secName), "!isLoaded (file, secName)");
  cAllocated.find(secName)->second.load(file, start, length);
}

bool Memory::isLoaded(const std::string& file, const std::string& secName) const {
  auto it = cAllocated.find(secName);
  return it != cAllocated.end() && it->second.isLoaded(file);
}

const Range& Memory::allocatedRange(const std::string& secName) const {
  auto it = cAllocated.find(secName);
  TARSIL_ASSERT_TEXT(it != cAllocated.end(), "isAllocated (secName)");
  return it->second;
}

uint32_t Memory::getAllocatedStart(const std::string& secName) const {
  return allocatedRange(secName).getStart(secName);
}

unsigned long Memory::getAllocatedSize(const std::string& secName) const { return allocatedRange(secName).size(); }

uint32_t Memory::getLoadedStart(const std::string& file, const std::string& secName) const {
  TARSIL_ASSERT_TEXT(isLoaded(file, secName), "isLoaded (file, secName)");
  return allocatedRange(secName).getStart(file, secName);
}

unsigned long Memory::getLoadedSize(const std::string& file, const std::string& secName) const {
  TARSIL_ASSERT_TEXT(isLoaded(file, secName), "isLoaded (file, secName)");
  return allocatedRange(secName).size(file);
}

void Memory::fillHoles(FillCallback callback, void* context) const {
  if (!cHasFill) return;
  for (const auto& hole : cHoles) callback(context, cName, hole.getStart(), hole.getEnd(), cFill);
}

namespace {

// printf's "%*s": right-aligned, never cut, so a long name pushes the rest of
// the line along instead of losing characters.
void column(std::ostream& os, const std::string& text, std::size_t width) {
  if (text.size() < width) os << std::string(width - text.size(), ' ');
  os << text;
}

void displayLine(std::ostream& os, const std::string& memory, const std::string& start, const std::string& end,
                 const std::string& section, const std::string& address, const std::string& size) {
  column(os, memory, 10);
  os << ' ';
  column(os, start, 10);
  os << ' ';
  column(os, end, 10);
  os << ' ';
  column(os, section, 20);
  os << ' ';
  column(os, address, 10);
  os << ' ';
  column(os, size, 10);
  os << '\n';
}

}  // namespace

void Memory::display(std::ostream& os, bool withHeader) const {
  if (withHeader) {
    displayLine(os, "Memory", "Start", "End", "Section", "Address", "Size(Bytes)");
    const std::string rule = "---------";
    displayLine(os, rule, rule, rule, rule, rule, rule);
  }
  std::vector<std::pair<const std::string*, const Range*>> placed;
  placed.reserve(cAllocated.size());
  for (const auto& [name, range] : cAllocated) placed.emplace_back(&name, &range);
  std::stable_sort(placed.begin(), placed.end(),
                   [](const auto& a, const auto& b) { return a.second->getStart() < b.second->getStart(); });

  std::string name = cName;
  std::string start = hexPrint(cPhysicalStart, 2);
  std::string end = hexPrint(cPhysicalEnd, 2);
  if (placed.empty()) displayLine(os, name, start, end, "", "", "");
  for (const auto& [secName, range] : placed) {
    displayLine(os, name, start, end, *secName, hexPrint(range->getStart(), 2), hexPrint(range->size(), 2));
    name.clear();
    start.clear();
    end.clear();
  }
}

void Memory::print(std::ostream& os) const {
  os << "Memory: name=" << cName << " start=" << hexPrint(cPhysicalStart, 4) << " end=" << hexPrint(cPhysicalEnd, 4)
     << " type=" << (cType == rom ? "rom" : "ram") << " protected=" << cProtected << " hasFill=" << cHasFill
     << " fill=" << cFill << "\n";
  const std::string indent(10, ' ');
  os << "---Allocated Ranges---\n\n";
  for (const auto& entry : cAllocated) entry.second.print(os, indent);
  os << "---Unallocated Ranges---\n\n";
  for (const auto& hole : cHoles) hole.print(os, indent);
}

bool memsize_less(const MemorySize& a, const MemorySize& b) { return a.second < b.second; }

bool memsize_greater(const MemorySize& a, const MemorySize& b) { return a.second > b.second; }

}  // namespace tarsil
