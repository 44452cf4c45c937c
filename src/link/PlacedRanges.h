#pragma once
#include <map>
#include <string>
#include <string_view>

#include "memory/Memory.h"
#include "support/NameIndex.h"

namespace tarsil {

// Where each placed section lies: its memory and its range there. The
// relocation and output stages ask this for every piece of every input;
// hashing the name once replaces a search of the section table and another
// of the memory's own table.
class PlacedRanges {
public:
  struct Placed {
    const Memory* memory = nullptr;
    const Range* range = nullptr;
  };

  // Every section of `scnMem` that its memory has allocated.
  explicit PlacedRanges(const std::map<std::string, Memory*>& scnMem);

  // Null when the section was never allocated in its memory.
  const Placed* find(std::string_view name) const { return cIndex.find(name); }

private:
  NameIndex<Placed> cIndex;
};

}  // namespace tarsil
