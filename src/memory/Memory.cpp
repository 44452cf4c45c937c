// SPDX-License-Identifier: Apache-2.0
#include "memory/Memory.h"

#include <algorithm>
#include <bit>
#include <ostream>
#include <vector>

#include "support/Assert.h"
#include "support/HexText.h"
#include "support/NameHash.h"
#include "support/Strings.h"

namespace tarsil {

Memory::Memory(const std::string& name, uint32_t start, uint32_t end, MemType type, bool isProtected, bool hasFill,
               const std::string& fill)
    : cName(name), cType(type), cProtected(isProtected), cHasFill(hasFill), cFill(fill), cPhysicalStart(start),
      cPhysicalEnd(end) {
  // The command file checks that END is not below START. Counted in 64
  // bits, a memory spanning all 2^32 addresses is one hole of them all.
  if (end < start) return;
  addHole(start, uint64_t{end} - start + 1);
  cRecentSeq = cNextSeq;
}

bool Memory::overlap(const Memory& other) const {
  return std::max(cPhysicalStart, other.cPhysicalStart) <= std::min(cPhysicalEnd, other.cPhysicalEnd);
}

void Memory::setRangeWidths(uint16_t bits) { cWidthBits = bits; }

unsigned Memory::bytesPerLocation() const {
  TARSIL_ASSERT(cWidthBits);
  return (cWidthBits + 7u) / 8u;
}

Range Memory::holeRange(const Hole& hole) const { return Range(hole.start, hole.size, cType, cWidthBits); }

void Memory::addHole(uint32_t start, uint64_t size) {
  Hole hole{start, size, cNextSeq++};
  cHoles.emplace(start, hole);
  cHolesBySize.insert(hole);
  if (start % 2 == 0) cEvenHolesBySize.insert(hole);
}

template <typename Fn>
void Memory::forEachHole(Fn fn) const {
  for (const Hole& hole : cHolesBySize)
    if (hole.seq < cRecentSeq) fn(hole);
  std::vector<const Hole*> recent;
  for (const Hole& hole : cHolesBySize)
    if (hole.seq >= cRecentSeq) recent.push_back(&hole);
  std::sort(recent.begin(), recent.end(), [](const Hole* a, const Hole* b) { return a->seq < b->seq; });
  for (const Hole* hole : recent) fn(*hole);
}

std::list<Range> Memory::getHoles() const {
  std::list<Range> holes;
  forEachHole([&](const Hole& hole) { holes.push_back(holeRange(hole)); });
  return holes;
}

const Memory::Hole* Memory::bestFit(uint64_t length, unsigned short alignment) const {
  if (cHolesBySize.empty()) return nullptr;
  if (length == 0) return &*cHolesBySize.begin();
  const uint64_t perLocation = bytesPerLocation();
  const uint64_t need = length / perLocation + (length % perLocation != 0 ? 1 : 0);
  auto firstOfAtLeast = [](const std::set<Hole>& holes, uint64_t size) -> const Hole* {
    auto it = holes.lower_bound(Hole{0, size, 0});
    return it == holes.end() ? nullptr : &*it;
  };
  if (alignment <= 1) return firstOfAtLeast(cHolesBySize, need);
  if (alignment == 2) {
    // An odd start gives up one location: such a hole needs one more than an
    // even one, so among the holes of exactly `need` only even ones fit.
    const Hole* even = firstOfAtLeast(cEvenHolesBySize, need);
    if (even != nullptr && even->size == need) return even;
    return firstOfAtLeast(cHolesBySize, need + 1);
  }
  for (const Hole& hole : cHolesBySize)
    if (holeRange(hole).canFit(length, alignment)) return &hole;
  return nullptr;
}

const Memory::Hole* Memory::holeAt(uint64_t start, uint64_t length) const {
  if (cHoles.empty()) return nullptr;
  if (length == 0) return &*cHolesBySize.begin();
  if (start > 0xFFFFFFFFul) return nullptr;
  auto it = cHoles.upper_bound(static_cast<uint32_t>(start));
  if (it == cHoles.begin()) return nullptr;
  --it;
  return holeRange(it->second).canFit(start, length) ? &it->second : nullptr;
}

bool Memory::canFit(uint64_t length, unsigned short alignment) const {
  if (length == 0) return true;
  return bestFit(length, alignment) != nullptr;
}

bool Memory::canFit(uint64_t start, uint64_t length) const {
  if (length == 0) return true;
  return holeAt(start, length) != nullptr;
}

uint64_t Memory::largestHole() const {
  if (cHolesBySize.empty()) return 0;
  return static_cast<uint64_t>(bytesPerLocation()) * cHolesBySize.rbegin()->size;
}

void Memory::sortHoles() { cRecentSeq = cNextSeq; }

namespace {

constexpr uint64_t kIdBits = 0xFFFFFFFFull;

uint64_t nameHash(std::string_view name) { return static_cast<uint64_t>(NameHash{}(name)); }

// Chunk k holds 8 << k ranges up to the sixth chunk, then 256 each: a small
// memory wastes little, a large one at most one chunk.
constexpr uint32_t kGrowingChunks = 5;
constexpr uint32_t kInGrowingChunks = (8u << kGrowingChunks) - 8;  // 248
constexpr uint32_t kChunk = 256;

size_t chunkSize(size_t chunk) { return chunk < kGrowingChunks ? size_t{8} << chunk : kChunk; }

}  // namespace

const Memory::Allocated& Memory::entry(uint32_t id) const {
  if (id >= kInGrowingChunks) {
    const uint32_t rest = id - kInGrowingChunks;
    return cAllocated[kGrowingChunks + rest / kChunk][rest % kChunk];
  }
  // Below that a number finds its chunk by its top bit.
  const uint32_t biased = id + 8;
  const unsigned chunk = static_cast<unsigned>(std::bit_width(biased)) - 4;
  return cAllocated[chunk][biased - (8u << chunk)];
}

Range* Memory::findRange(const std::string& secName) const {
  if (cIndex.empty()) return nullptr;
  const uint64_t h = nameHash(secName);
  const uint64_t tag = h & ~kIdBits;
  const size_t mask = cIndex.size() - 1;
  for (size_t i = static_cast<size_t>(h >> 7) & mask;; i = (i + 1) & mask) {
    const uint64_t slot = cIndex[i];
    if (slot == 0) return nullptr;
    if ((slot & ~kIdBits) != tag) continue;
    const Allocated& found = entry(static_cast<uint32_t>((slot & kIdBits) - 1));
    if (found.name() == secName) return const_cast<Range*>(&found.range);
  }
}

const Range* Memory::findAllocated(const std::string& secName) const { return findRange(secName); }

void Memory::growIndex() {
  std::vector<uint64_t> old = std::move(cIndex);
  cIndex.assign(old.empty() ? 8 : 2 * old.size(), 0);
  const size_t mask = cIndex.size() - 1;
  for (uint64_t slot : old) {
    if (slot == 0) continue;
    const uint64_t h = nameHash(entry(static_cast<uint32_t>((slot & kIdBits) - 1)).name());
    size_t i = static_cast<size_t>(h >> 7) & mask;
    while (cIndex[i] != 0) i = (i + 1) & mask;
    cIndex[i] = slot;
  }
}

Range& Memory::addAllocated(const std::string* record, Range range) {
  if (2 * (cAllocatedCount + 1) > cIndex.size()) growIndex();
  const size_t full = chunkSize(cAllocated.empty() ? 0 : cAllocated.size() - 1);
  if (cAllocated.empty() || cAllocated.back().size() == full) {
    cAllocated.emplace_back();
    cAllocated.back().reserve(chunkSize(cAllocated.size() - 1));
  } else if (cAllocated.back().capacity() < full) {
    // A copied memory's last chunk holds only what it had.
    cAllocated.back().reserve(full);
  }
  cAllocated.back().push_back(Allocated{record, std::move(range)});
  const uint32_t id = cAllocatedCount++;
  const Allocated& added = cAllocated.back().back();
  const uint64_t h = nameHash(added.name());
  const size_t mask = cIndex.size() - 1;
  size_t i = static_cast<size_t>(h >> 7) & mask;
  while (cIndex[i] != 0) i = (i + 1) & mask;
  cIndex[i] = (h & ~kIdBits) | (uint64_t{id} + 1);
  return cAllocated.back().back().range;
}

Range Memory::carve(Hole hole, uint64_t start, uint64_t length, const std::string& secName,
                    bool isOverlay, const ActRecOffsets* records) {
  Range range = holeRange(hole);
  Range::Leftovers left;
  if (records != nullptr)
    range.allocateActRecs(*records, start, length, left);
  else
    range.allocate(secName, start, length, isOverlay, left);
  // The parted hole's tree nodes carry its first leftover: a placement that
  // leaves one hole behind, the usual case, allocates and frees nothing.
  auto byStart = cHoles.extract(hole.start);
  auto bySize = cHolesBySize.extract(hole);
  decltype(cEvenHolesBySize)::node_type even;
  if (hole.start % 2 == 0) even = cEvenHolesBySize.extract(hole);
  for (int i = 0; i < left.count; ++i) {
    const Hole made{left.hole[i].first, left.hole[i].second, cNextSeq++};
    if (byStart) {
      byStart.key() = made.start;
      byStart.mapped() = made;
      cHoles.insert(std::move(byStart));
    } else {
      cHoles.emplace(made.start, made);
    }
    if (bySize) {
      bySize.value() = made;
      cHolesBySize.insert(std::move(bySize));
    } else {
      cHolesBySize.insert(made);
    }
    if (made.start % 2 != 0) continue;
    if (even) {
      even.value() = made;
      cEvenHolesBySize.insert(std::move(even));
    } else {
      cEvenHolesBySize.insert(made);
    }
  }
  return range;
}

void Memory::allocateEmpty(const std::string& secName, uint64_t start, bool isOverlay) {
  Range range(static_cast<uint32_t>(start), 1, cType, cWidthBits);
  std::list<Range> unused;
  range.allocate(secName, start, 0, unused, isOverlay);
  addAllocated(nullptr, std::move(range));
}

void Memory::allocateSection(const std::string& secName, uint64_t length, bool isOverlay,
                             unsigned short alignment) {
  TARSIL_ASSERT_TEXT(!isAllocated(secName), "!isAllocated (secName)");
  const Hole* hole = bestFit(length, alignment);
  TARSIL_ASSERT_TEXT(length == 0 || hole != nullptr, "canFit (length, alignment)");
  sortHoles();
  if (hole == nullptr) return allocateEmpty(secName, cPhysicalStart, isOverlay);
  uint64_t start = hole->start;
  if (alignment > 1 && start % alignment != 0) start += alignment - start % alignment;
  addAllocated(nullptr, carve(*hole, start, length, secName, isOverlay, nullptr));
}

void Memory::allocateAbsSection(const std::string& secName, uint64_t start, uint64_t length,
                                bool isOverlay) {
  TARSIL_ASSERT_TEXT(!isAllocated(secName), "!isAllocated (secName)");
  const Hole* hole = holeAt(start, length);
  TARSIL_ASSERT_TEXT(length == 0 || hole != nullptr, "canFit (start, length)");
  sortHoles();
  if (hole == nullptr) return allocateEmpty(secName, start, isOverlay);
  addAllocated(nullptr, carve(*hole, start, length, secName, isOverlay, nullptr));
}

void Memory::allocateActRecs(const ActRecOffsets& records, uint64_t length) {
  const Hole* hole = bestFit(length, 1);
  TARSIL_ASSERT_TEXT(length == 0 || hole != nullptr, "canFit (length, (unsigned short)1)");
  for (const auto& record : records)
    TARSIL_ASSERT_TEXT(!isAllocated(record.first), "!isAllocated (secName)");
  sortHoles();
  Range group(cPhysicalStart, 1, cType, cWidthBits);
  if (hole == nullptr) {
    std::list<Range> unused;
    group.allocateActRecs(records, cPhysicalStart, 0, unused);
  } else {
    group = carve(*hole, hole->start, length, std::string(), false, &records);
  }
  for (const auto& record : records) {
    const auto& offsets = group.getActRecs();
    auto own = offsets.find(record.first);
    TARSIL_ASSERT_TEXT(own != offsets.end() && !isAllocated(record.first), "!isAllocated (secName)");
    addAllocated(&own->first, group);
  }
}

void Memory::loadSection(const std::string& file, const std::string& secName, uint64_t length) {
  Range* range = findRange(secName);
  TARSIL_ASSERT_TEXT(range != nullptr, "isAllocated (secName)");
  const bool loaded = range->load(file, length);
  TARSIL_ASSERT_TEXT(loaded, "!isLoaded (file, secName)");
}

void Memory::loadAbsSection(const std::string& file, const std::string& secName, uint64_t start,
                            uint64_t length) {
  Range* range = findRange(secName);
  TARSIL_ASSERT_TEXT(range != nullptr, "isAllocated (secName)");
  const bool loaded = range->load(file, start, length);
  TARSIL_ASSERT_TEXT(loaded, "!isLoaded (file, secName)");
}

bool Memory::isLoaded(const std::string& file, const std::string& secName) const {
  const Range* range = findRange(secName);
  return range != nullptr && range->isLoaded(file);
}

const Range& Memory::allocatedRange(const std::string& secName) const {
  const Range* range = findRange(secName);
  TARSIL_ASSERT_TEXT(range != nullptr, "isAllocated (secName)");
  return *range;
}

uint32_t Memory::getAllocatedStart(const std::string& secName) const {
  return allocatedRange(secName).getStart(secName);
}

uint64_t Memory::getAllocatedSize(const std::string& secName) const { return allocatedRange(secName).size(); }

uint32_t Memory::getLoadedStart(const std::string& file, const std::string& secName) const {
  const Range* range = findRange(secName);
  const Range::Piece* piece = range != nullptr ? range->findLoaded(file) : nullptr;
  TARSIL_ASSERT_TEXT(piece != nullptr, "isLoaded (file, secName)");
  return piece->start + range->recordOffset(secName);
}

uint64_t Memory::getLoadedSize(const std::string& file, const std::string& secName) const {
  const Range* range = findRange(secName);
  const Range::Piece* piece = range != nullptr ? range->findLoaded(file) : nullptr;
  TARSIL_ASSERT_TEXT(piece != nullptr, "isLoaded (file, secName)");
  return piece->size;
}

void Memory::fillHoles(FillCallback callback, void* context) const {
  if (!cHasFill) return;
  forEachHole([&](const Hole& hole) {
    callback(context, cName, hole.start, static_cast<uint64_t>(hole.start) + hole.size - 1, cFill);
  });
}

namespace {

// printf's "%*s": right-aligned, never cut, so a long name pushes the rest of
// the line along instead of losing characters.
void column(std::string& line, std::string_view text, std::size_t width) {
  if (text.size() < width) line.append(width - text.size(), ' ');
  line.append(text);
}

// "0x" and at least four hexadecimal digits: a value that needs more keeps
// all of them, as the full map's fields do, so an address above 0xFFFF is
// not shown as another one.
std::string_view hexField(uint64_t value, char (&text)[18]) {
  return std::string_view(text, static_cast<size_t>(putHexText(text, value, 4) - text));
}

// One line of the listing, appended to the memory's block: a memory of
// thousands of sections is listed in every run that asks for a map, and the
// block goes to the stream in one write.
void displayLine(std::string& line, std::string_view memory, std::string_view start, std::string_view end,
                 std::string_view section, std::string_view address, std::string_view size) {
  column(line, memory, 10);
  line += ' ';
  column(line, start, 10);
  line += ' ';
  column(line, end, 10);
  line += ' ';
  column(line, section, 20);
  line += ' ';
  column(line, address, 10);
  line += ' ';
  column(line, size, 10);
  line += '\n';
}

}  // namespace

void Memory::display(std::ostream& os, bool withHeader) const {
  std::string line;
  // Most lines are a little over 70 characters.
  line.reserve(80 * (cAllocatedCount + 3));
  if (withHeader) {
    displayLine(line, "Memory", "Start", "End", "Section", "Address", "Size(Bytes)");
    const std::string_view rule = "---------";
    displayLine(line, rule, rule, rule, rule, rule, rule);
  }
  // By start, and by name where starts are equal (empty sections, the
  // records of one group).
  std::vector<std::pair<const std::string*, const Range*>> placed;
  placed.reserve(cAllocatedCount);
  for (const auto& chunk : cAllocated)
    for (const Allocated& e : chunk) placed.emplace_back(&e.name(), &e.range);
  std::sort(placed.begin(), placed.end(), [](const auto& a, const auto& b) {
    if (a.second->getStart() != b.second->getStart()) return a.second->getStart() < b.second->getStart();
    return *a.first < *b.first;
  });

  char startText[18], endText[18], addressText[18], sizeText[18];
  std::string_view name = cName;
  std::string_view start = hexField(cPhysicalStart, startText);
  std::string_view end = hexField(cPhysicalEnd, endText);
  if (placed.empty()) displayLine(line, name, start, end, "", "", "");
  for (const auto& [secName, range] : placed) {
    displayLine(line, name, start, end, *secName, hexField(range->getStart(), addressText),
                hexField(range->size(), sizeText));
    name = start = end = std::string_view();
  }
  os.write(line.data(), static_cast<std::streamsize>(line.size()));
}

void Memory::print(std::ostream& os) const {
  os << "Memory: name=" << cName << " start=" << hexPrint(cPhysicalStart, 4) << " end=" << hexPrint(cPhysicalEnd, 4)
     << " type=" << (cType == rom ? "rom" : "ram") << " protected=" << cProtected << " hasFill=" << cHasFill
     << " fill=" << cFill << "\n";
  const std::string indent(10, ' ');
  os << "---Allocated Ranges---\n\n";
  std::vector<const Allocated*> byName;
  byName.reserve(cAllocatedCount);
  for (const auto& chunk : cAllocated)
    for (const Allocated& e : chunk) byName.push_back(&e);
  std::sort(byName.begin(), byName.end(), [](const Allocated* a, const Allocated* b) { return a->name() < b->name(); });
  for (const Allocated* e : byName) e->range.print(os, indent);
  os << "---Unallocated Ranges---\n\n";
  forEachHole([&](const Hole& hole) { holeRange(hole).print(os, indent); });
}

bool memsize_less(const MemorySize& a, const MemorySize& b) { return a.second < b.second; }

}  // namespace tarsil
