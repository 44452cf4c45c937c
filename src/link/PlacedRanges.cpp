#include "link/PlacedRanges.h"

#include <memory>

#include "link/Linker.h"
#include "support/SortedWalk.h"

namespace tarsil {

PlacedRanges::PlacedRanges(const std::map<std::string, Memory*>& scnMem,
                           const std::pmr::map<std::string, Coff::ScnType>* kinds,
                           const std::pmr::map<std::string, bool>* absFlags) {
  cIndex.reserve(scnMem.size());
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
    cIndex.emplace(name, placed);
  }
}

const PlacedRanges::Placed* PlacedRanges::find(std::string_view name) const { return cIndex.find(name); }

const PlacedRanges& Linker::placedRanges(bool afresh) const {
  if (afresh || !cPlacedRanges || cPlacedRangesFor != cScnMem.size()) {
    cPlacedRanges = std::make_shared<const PlacedRanges>(cScnMem, &cScnType, &cScnAbs);
    cPlacedRangesFor = cScnMem.size();
  }
  return *cPlacedRanges;
}

}  // namespace tarsil
