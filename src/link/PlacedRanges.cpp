// SPDX-License-Identifier: Apache-2.0
#include "link/PlacedRanges.h"

#include <memory>

#include "link/Linker.h"
#include "support/SortedWalk.h"

namespace tarsil {

PlacedRanges::PlacedRanges(const std::map<std::string, Memory*>& scnMem, const MergedSections* sections) {
  cIndex.reserve(scnMem.size());
  MergedSections::const_iterator scn;
  if (sections != nullptr) scn = sections->begin();
  // Both tables are in name order: one walk down each.
  for (const auto& [name, memory] : scnMem) {
    if (memory == nullptr) continue;
    const Range* range = memory->findAllocated(name);
    if (range == nullptr) continue;
    Placed placed{memory, range};
    if (sections != nullptr) {
      if (const MergedSection* s = advanceTo(*sections, scn, name)) {
        placed.kind = s->type;
        placed.abs = s->abs;
      }
    }
    cIndex.emplace(name, placed);
  }
}

const PlacedRanges::Placed* PlacedRanges::find(std::string_view name) const { return cIndex.find(name); }

const PlacedRanges& Linker::placedRanges(bool afresh) const {
  if (afresh || !cPlacedRanges || cPlacedRangesFor != cScnMem.size()) {
    cPlacedRanges = std::make_shared<const PlacedRanges>(cScnMem, &cScns);
    cPlacedRangesFor = cScnMem.size();
  }
  return *cPlacedRanges;
}

}  // namespace tarsil
