#include "link/PlacedRanges.h"

#include <memory>

#include <algorithm>
#include <vector>

#include "link/Linker.h"

namespace tarsil {

PlacedRanges::PlacedRanges(const std::map<std::string, Memory*>& scnMem) : cIndex(scnMem.size()) {
  NameIndex<const Memory*> owner(scnMem.size());
  std::vector<const Memory*> memories;
  for (const auto& [name, memory] : scnMem) {
    if (memory == nullptr) continue;
    owner.emplace(name, memory);
    if (std::find(memories.begin(), memories.end(), memory) == memories.end()) memories.push_back(memory);
  }
  // Each memory's table is walked once; a name counts only in the memory
  // that the section table gives it.
  for (const Memory* memory : memories) {
    memory->forEachAllocated([&](std::string_view name, const Range& range) {
      const Memory* const* own = owner.find(name);
      if (own != nullptr && *own == memory) cIndex.emplace(name, Placed{memory, &range});
    });
  }
}

const PlacedRanges& Linker::placedRanges(bool afresh) const {
  if (afresh || !cPlacedRanges || cPlacedRangesFor != cScnMem.size()) {
    cPlacedRanges = std::make_shared<const PlacedRanges>(cScnMem);
    cPlacedRangesFor = cScnMem.size();
  }
  return *cPlacedRanges;
}

}  // namespace tarsil
