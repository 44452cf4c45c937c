// SPDX-License-Identifier: Apache-2.0
#pragma once
// One contiguous stretch of a target memory: either a hole (free space) or
// the space given to one section or to one group of overlaid activation
// records, together with the pieces that the inputs load into it.
//
// Units: starts, ends and sizes of the stretch count locations (one program
// word, or one data byte); lengths handed in and sizes handed out by size()
// count bytes, as section headers do. A stretch may hold all 2^32 locations
// of the address space (the hole of a memory declared from 0 to
// 0xFFFFFFFF), one more than 32 bits count, so its size has 64.
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/NameHash.h"

namespace tarsil {

enum MemType { rom = 0, ram = 1 };

// Activation records of one group: record name and its offset from the
// group's start. Equal entries are kept, as the packer may hand them in.
using ActRecOffsets = std::multiset<std::pair<std::string, uint64_t>>;

class Range {
public:
  // A hole of `size` locations.
  Range(uint32_t start, uint64_t size, MemType type, uint16_t widthBits);

  uint32_t getStart() const { return cStart; }
  uint32_t getEnd() const;
  // Length in locations.
  uint64_t getLocations() const { return cSize; }
  // Start of one activation record of the group; a section's own name (or any
  // name not in the group) is at offset 0.
  uint32_t getStart(const std::string& recName) const;
  // Start of the piece that `file` loaded, moved by the record's offset.
  uint32_t getStart(const std::string& file, const std::string& recName) const;

  uint16_t getWidth() const;
  void setWidth(uint16_t bits) { cWidthBits = bits; }
  unsigned bytesPerLocation() const;
  uint64_t locs(uint64_t bytes) const;

  uint64_t size() const;
  uint64_t size(const std::string& file) const;

  bool isAllocated() const { return !cAllocName.empty() || !getActRecs().empty(); }
  bool isLoaded(const std::string& file) const { return findLoaded(file) != nullptr; }
  bool loadComplete() const { return cLoadComplete; }
  bool isOverlay() const { return cIsOverlay; }
  MemType type() const { return cType; }
  const std::string& getAllocName() const { return cAllocName; }
  const std::map<std::string, uint32_t>& getActRecs() const;
  // Files whose pieces were loaded, in load order.
  std::list<std::string> getLoaded() const;
  uint32_t getPc() const { return cPc; }

  // One input's piece: where it starts (locations) and its length in bytes.
  struct Piece {
    std::string file;
    uint32_t start = 0;
    uint64_t size = 0;
  };
  const Piece* findLoaded(const std::string& file) const;
  size_t pieceCount() const { return cPieceCount; }
  // The pieces in load order, i below pieceCount().
  const Piece& piece(size_t i) const { return i == 0 ? cFirstPiece : cMore->pieces[i - 1]; }

  Range(const Range& other);
  Range(Range&& other) noexcept = default;
  Range& operator=(const Range& other);
  Range& operator=(Range&& other) noexcept = default;
  ~Range() = default;
  // Offset of an activation record from the group's start; 0 for any other name.
  uint32_t recordOffset(const std::string& recName) const;

  // The alignment form takes an unsigned short so that the two overloads stay
  // apart: canFit(length, (unsigned short)1) against canFit(start, length).
  bool canFit(uint64_t length, unsigned short alignment) const;
  bool canFit(uint64_t start, uint64_t length) const;

  // Turns this hole into the range [start, locs(length)) and appends what is
  // left of the hole before and after it to newHoles.
  void allocate(const std::string& name, uint64_t start, uint64_t length, std::list<Range>& newHoles,
                bool isOverlay);
  void allocateActRecs(const ActRecOffsets& records, uint64_t start, uint64_t length,
                       std::list<Range>& newHoles);
  // What a carve leaves of the hole, as (start, locations): at most the
  // stretch before the range and the one after it, in that order.
  struct Leftovers {
    std::pair<uint32_t, uint64_t> hole[2];
    int count = 0;
    void add(uint32_t start, uint64_t size) { hole[count++] = {start, size}; }
  };
  // The same carves, for a caller that keeps its holes apart from ranges.
  void allocate(const std::string& name, uint64_t start, uint64_t length, bool isOverlay,
                Leftovers& left);
  void allocateActRecs(const ActRecOffsets& records, uint64_t start, uint64_t length, Leftovers& left);

  // A relocatable piece goes at the load pointer; an absolute one covers the
  // whole range. False, with nothing changed, when `file` has a piece here
  // already.
  [[nodiscard]] bool load(const std::string& file, uint64_t length);
  [[nodiscard]] bool load(const std::string& file, uint64_t start, uint64_t length);

  void print(std::ostream& os, const std::string& indent = "") const;

private:
  void carve(uint64_t start, uint64_t length, Leftovers& left);
  void pushLeftovers(const Leftovers& left, std::list<Range>& newHoles) const;
  bool markLoaded(const std::string& file, uint32_t start, uint64_t length);

  std::string cAllocName;
  // Every record of a group maps to a copy of the group's range; the copies
  // share one offset table, so a group of G records costs O(G), not O(G^2).
  std::shared_ptr<const std::map<std::string, uint32_t>> cActRecs;
  uint32_t cStart;
  uint32_t cPc;
  uint64_t cSize;
  MemType cType;
  uint16_t cWidthBits;
  bool cIsOverlay = false;
  bool cLoadComplete = false;
  // The loaded pieces in load order. Most sections come from one input, so
  // the first piece lives in the range itself and costs no allocation. A
  // section merged from many inputs is asked for each of its pieces, so
  // past a few pieces they are also found by file name through a hash,
  // which only such a range pays for.
  struct MorePieces {
    std::vector<Piece> pieces;  // the second piece on
    std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>> index;
  };
  uint32_t cPieceCount = 0;
  Piece cFirstPiece;
  std::unique_ptr<MorePieces> cMore;
};

}  // namespace tarsil
