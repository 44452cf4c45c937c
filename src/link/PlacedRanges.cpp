#include "link/PlacedRanges.h"

#include <memory>

#include "link/Linker.h"
#include "support/NameHash.h"
#include "support/SortedWalk.h"

namespace tarsil {

namespace {

constexpr uint64_t kIdBits = 0xFFFFFFFFull;

uint64_t nameHash(std::string_view name) { return static_cast<uint64_t>(NameHash{}(name)); }

}  // namespace

PlacedRanges::PlacedRanges(const std::map<std::string, Memory*>& scnMem,
                           const std::pmr::map<std::string, Coff::ScnType>* kinds,
                           const std::pmr::map<std::string, bool>* absFlags) {
  cEntries.reserve(scnMem.size());
  std::pmr::map<std::string, Coff::ScnType>::const_iterator kind;
  if (kinds != nullptr) kind = kinds->begin();
  std::pmr::map<std::string, bool>::const_iterator abs;
  if (absFlags != nullptr) abs = absFlags->begin();
  // The tables are all in name order: one walk down each.
  for (const auto& [name, memory] : scnMem) {
    if (memory == nullptr) continue;
    const Range* range = memory->findAllocated(name);
    if (range == nullptr) continue;
    Placed placed{memory, range};
    if (kinds != nullptr)
      if (const Coff::ScnType* k = advanceTo(*kinds, kind, name)) placed.kind = *k;
    if (absFlags != nullptr)
      if (const bool* a = advanceTo(*absFlags, abs, name)) placed.abs = *a;
    cEntries.push_back({name, placed});
  }
  size_t capacity = 16;
  while (capacity < 2 * cEntries.size() + 2) capacity *= 2;
  cSlots.assign(capacity, 0);
  const size_t mask = capacity - 1;
  for (size_t id = 0; id < cEntries.size(); ++id) {
    const uint64_t h = nameHash(cEntries[id].name);
    size_t i = static_cast<size_t>(h >> 7) & mask;
    while (cSlots[i] != 0) i = (i + 1) & mask;
    cSlots[i] = (h & ~kIdBits) | (uint64_t{id} + 1);
  }
}

const PlacedRanges::Placed* PlacedRanges::find(std::string_view name) const {
  const uint64_t h = nameHash(name);
  const uint64_t tag = h & ~kIdBits;
  const size_t mask = cSlots.size() - 1;
  for (size_t i = static_cast<size_t>(h >> 7) & mask;; i = (i + 1) & mask) {
    const uint64_t slot = cSlots[i];
    if (slot == 0) return nullptr;
    if ((slot & ~kIdBits) != tag) continue;
    const Entry& entry = cEntries[(slot & kIdBits) - 1];
    if (entry.name == name) return &entry.placed;
  }
}

const PlacedRanges& Linker::placedRanges(bool afresh) const {
  if (afresh || !cPlacedRanges || cPlacedRangesFor != cScnMem.size()) {
    cPlacedRanges = std::make_shared<const PlacedRanges>(cScnMem, &cScnType, &cScnAbs);
    cPlacedRangesFor = cScnMem.size();
  }
  return *cPlacedRanges;
}

}  // namespace tarsil
