// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <map>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "coff/Coff.h"
#include "link/MergedSections.h"
#include "memory/Memory.h"
#include "support/NameIndex.h"

namespace tarsil {

// Where each placed section lies: its memory and its range there. The
// loading, relocation and output stages ask this for every piece of every
// input; hashing the name once replaces a search of the section table and
// another of the memory's own table.
class PlacedRanges {
public:
  struct Placed {
    const Memory* memory = nullptr;
    const Range* range = nullptr;
    Coff::ScnType kind = Coff::unknown;
    bool abs = false;
  };

  // Every section of `scnMem` that its memory has allocated, with its kind
  // and absolute flag from the section records when they are given.
  explicit PlacedRanges(const std::map<std::string, Memory*>& scnMem, const MergedSections* sections = nullptr);

  // Null when the section was never allocated in its memory.
  const Placed* find(std::string_view name) const;

private:
  // Names are views of the section table's keys, which outlive the index.
  NameIndex<Placed> cIndex;
};

}  // namespace tarsil
