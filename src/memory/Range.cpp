// SPDX-License-Identifier: Apache-2.0
#include "memory/Range.h"

#include <ostream>

#include "support/Assert.h"
#include "support/Strings.h"

namespace tarsil {

const std::map<std::string, uint32_t>& Range::getActRecs() const {
  static const std::map<std::string, uint32_t> none;
  return cActRecs ? *cActRecs : none;
}

Range::Range(uint32_t start, uint64_t size, MemType type, uint16_t widthBits)
    : cStart(start), cPc(start), cSize(size), cType(type), cWidthBits(widthBits) {}

uint32_t Range::getEnd() const {
  TARSIL_ASSERT(cSize > 0);
  return static_cast<uint32_t>(cStart + cSize - 1);
}

uint32_t Range::recordOffset(const std::string& recName) const {
  if (!cActRecs) return 0;
  auto it = cActRecs->find(recName);
  return it == cActRecs->end() ? 0 : it->second;
}

uint32_t Range::getStart(const std::string& recName) const { return cStart + recordOffset(recName); }

uint32_t Range::getStart(const std::string& file, const std::string& recName) const {
  const Piece* piece = findLoaded(file);
  TARSIL_ASSERT_TEXT(piece != nullptr, "isLoaded (file)");
  return piece->start + recordOffset(recName);
}

namespace {
// Below this many pieces a scan costs less than hashing the name.
constexpr std::size_t kScannedPieces = 8;
}  // namespace

Range::Range(const Range& other)
    : cAllocName(other.cAllocName), cActRecs(other.cActRecs), cStart(other.cStart), cPc(other.cPc),
      cSize(other.cSize), cType(other.cType), cWidthBits(other.cWidthBits), cIsOverlay(other.cIsOverlay),
      cLoadComplete(other.cLoadComplete), cPieceCount(other.cPieceCount), cFirstPiece(other.cFirstPiece),
      cMore(other.cMore ? std::make_unique<MorePieces>(*other.cMore) : nullptr) {}

Range& Range::operator=(const Range& other) {
  if (this != &other) *this = Range(other);
  return *this;
}

const Range::Piece* Range::findLoaded(const std::string& file) const {
  if (cPieceCount <= kScannedPieces) {
    for (size_t i = 0; i < cPieceCount; ++i)
      if (piece(i).file == file) return &piece(i);
    return nullptr;
  }
  auto it = cMore->index.find(file);
  return it == cMore->index.end() ? nullptr : &piece(it->second);
}

std::list<std::string> Range::getLoaded() const {
  std::list<std::string> files;
  for (size_t i = 0; i < cPieceCount; ++i) files.push_back(piece(i).file);
  return files;
}

uint16_t Range::getWidth() const {
  TARSIL_ASSERT(cWidthBits);
  return cWidthBits;
}

unsigned Range::bytesPerLocation() const { return (getWidth() + 7u) / 8u; }

uint64_t Range::locs(uint64_t bytes) const {
  uint64_t perLocation = bytesPerLocation();
  return bytes / perLocation + (bytes % perLocation != 0 ? 1 : 0);
}

uint64_t Range::size() const { return static_cast<uint64_t>(bytesPerLocation()) * cSize; }

uint64_t Range::size(const std::string& file) const {
  const Piece* piece = findLoaded(file);
  TARSIL_ASSERT_TEXT(piece != nullptr, "isLoaded (file)");
  return piece->size;
}

bool Range::canFit(uint64_t length, unsigned short alignment) const {
  if (length == 0) return true;
  if (cSize == 0) return false;
  uint64_t usable = size();
  if (alignment > 1 && cStart % alignment != 0) {
    // The skipped locations are whole locations, so they cost bytes per
    // location each; a hole shorter than the skip has nothing usable.
    uint64_t skipped = static_cast<uint64_t>(alignment - cStart % alignment) * bytesPerLocation();
    if (skipped >= usable) return false;
    usable -= skipped;
  }
  return length <= usable;
}

bool Range::canFit(uint64_t start, uint64_t length) const {
  if (length == 0) return true;
  if (cSize == 0) return false;
  // start + locs(length) may pass 32 bits for an absolute section near the
  // top of the address space; compare without wrapping.
  return cStart <= start && start - cStart < cSize && locs(length) <= cSize - (start - cStart);
}

void Range::carve(uint64_t start, uint64_t length, Leftovers& left) {
  if (length == 0) {
    // An empty section takes no location: the hole goes back whole.
    left.add(cStart, cSize);
    cStart = static_cast<uint32_t>(start);
    cSize = 0;
    cPc = cStart;
    return;
  }
  uint32_t oldStart = cStart;
  uint32_t oldEnd = getEnd();
  uint32_t first = static_cast<uint32_t>(start);
  uint64_t count = locs(length);
  uint32_t last = static_cast<uint32_t>(first + count - 1);
  cStart = first;
  cSize = count;
  cPc = first;
  if (first != oldStart) left.add(oldStart, first - oldStart);
  if (last != oldEnd) left.add(last + 1, oldEnd - last);
}

void Range::pushLeftovers(const Leftovers& left, std::list<Range>& newHoles) const {
  for (int i = 0; i < left.count; ++i)
    newHoles.push_back(Range(left.hole[i].first, left.hole[i].second, cType, cWidthBits));
}

void Range::allocate(const std::string& name, uint64_t start, uint64_t length, bool isOverlay,
                     Leftovers& left) {
  TARSIL_ASSERT_TEXT(!isAllocated(), "!isAllocated ()");
  TARSIL_ASSERT_TEXT(canFit(start, length), "canFit (start, length)");
  cAllocName = name;
  cIsOverlay = isOverlay;
  carve(start, length, left);
}

void Range::allocate(const std::string& name, uint64_t start, uint64_t length, std::list<Range>& newHoles,
                     bool isOverlay) {
  Leftovers left;
  allocate(name, start, length, isOverlay, left);
  pushLeftovers(left, newHoles);
}

void Range::allocateActRecs(const ActRecOffsets& records, uint64_t start, uint64_t length,
                            Leftovers& left) {
  TARSIL_ASSERT_TEXT(!isAllocated(), "!isAllocated ()");
  TARSIL_ASSERT_TEXT(canFit(start, length), "canFit (start, length)");
  auto recs = std::make_shared<std::map<std::string, uint32_t>>();
  for (const auto& [name, offset] : records) recs->emplace(name, static_cast<uint32_t>(offset));
  cActRecs = std::move(recs);
  cIsOverlay = false;
  carve(start, length, left);
}

void Range::allocateActRecs(const ActRecOffsets& records, uint64_t start, uint64_t length,
                            std::list<Range>& newHoles) {
  Leftovers left;
  allocateActRecs(records, start, length, left);
  pushLeftovers(left, newHoles);
}

bool Range::markLoaded(const std::string& file, uint32_t start, uint64_t length) {
  // Telling whether the file has a piece here already and entering its
  // piece take one search, not one each.
  if (cPieceCount > kScannedPieces) {
    if (!cMore->index.emplace(file, static_cast<uint32_t>(cPieceCount)).second) return false;
    cMore->pieces.push_back({file, start, length});
    ++cPieceCount;
    return true;
  }
  if (isLoaded(file)) return false;
  if (cPieceCount == 0) {
    cFirstPiece = {file, start, length};
  } else {
    if (cMore == nullptr) cMore = std::make_unique<MorePieces>();
    cMore->pieces.push_back({file, start, length});
  }
  ++cPieceCount;
  if (cPieceCount > kScannedPieces)
    for (uint32_t i = 0; i < cPieceCount; ++i) cMore->index.emplace(piece(i).file, i);
  return true;
}

bool Range::load(const std::string& file, uint64_t length) {
  TARSIL_ASSERT_TEXT(isAllocated(), "isAllocated ()");
  // A second piece of the file is refused before anything else is asked.
  if (!markLoaded(file, cPc, length)) return false;
  if (length > 0) TARSIL_ASSERT_TEXT(!loadComplete(), "!loadComplete ()");
  if (cSize == 0) {
    if (!cIsOverlay) cLoadComplete = true;
    return true;
  }
  uint64_t newPc = cPc + locs(length);
  TARSIL_ASSERT_TEXT(newPc <= static_cast<uint64_t>(getEnd()) + 1, "newPc <= (getEnd () + 1)");
  if (cIsOverlay) return true;
  cPc = static_cast<uint32_t>(newPc);
  if (newPc > getEnd()) cLoadComplete = true;
  return true;
}

bool Range::load(const std::string& file, uint64_t start, uint64_t length) {
  TARSIL_ASSERT_TEXT(isAllocated(), "isAllocated ()");
  if (!markLoaded(file, cStart, size())) return false;
  TARSIL_ASSERT_TEXT(!loadComplete(), "!loadComplete ()");
  TARSIL_ASSERT_TEXT(start == cStart, "start == cStart");
  if (!cIsOverlay) TARSIL_ASSERT_TEXT(locs(length) == cSize, "locs (length) == cSize");
  if (cIsOverlay) return true;
  cLoadComplete = true;
  if (cSize > 0) cPc = getEnd() + 1;
  return true;
}

void Range::print(std::ostream& os, const std::string& indent) const {
  // A dump may be asked for before the memories know their width, so the
  // byte size is worked out here without insisting on one.
  uint64_t bytes = static_cast<uint64_t>((cWidthBits + 7u) / 8u) * cSize;
  os << indent;
  if (cAllocName.empty() && !getActRecs().empty()) {
    os << "Range:    actRecs=";
    const char* separator = "";
    for (const auto& entry : getActRecs()) {
      os << separator << entry.first;
      separator = ", ";
    }
  } else {
    os << "Range:   allocName=" << cAllocName << " start=" << hexPrint(cStart, 4) << " size=" << hexPrint(bytes, 4);
  }
  if (cSize > 0) os << " end=" << hexPrint(getEnd(), 4);
  os << " type=" << (cType == rom ? "rom" : "ram") << " pc=" << hexPrint(cPc, 4) << " isOverlay=" << cIsOverlay
     << "\n";
  for (size_t i = 0; i < cPieceCount; ++i)
    os << indent << "Loaded Section: file=" << piece(i).file << " start=" << hexPrint(piece(i).start, 4)
       << " size=" << hexPrint(piece(i).size, 4) << "\n";
}

}  // namespace tarsil
