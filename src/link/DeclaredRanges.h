// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace tarsil {

// The address ranges of the memories declared so far in one address space,
// by start, so that each new declaration is checked against all of them
// without a walk over every one: a command file may declare a hundred
// thousand memories.
//
// A range is recorded only after it was found to overlap none recorded
// before, so the recorded ranges never overlap one another and their ends
// rise with their starts. Those that overlap a new range are then the run
// that ends just below the first one starting after it.
class DeclaredRanges {
public:
  // Where the memory is recorded: its list (in the order the lists are
  // checked) and its place in that list.
  struct Owner {
    int list = 0;
    size_t index = 0;
    bool operator<(const Owner& other) const {
      return list != other.list ? list < other.list : index < other.index;
    }
  };

  void add(uint32_t start, uint32_t end, Owner owner) {
    // An inverted range overlaps nothing (Memory::overlap).
    if (end >= start) cRanges.emplace(start, std::make_pair(end, owner));
  }

  // Of the recorded ranges that overlap [start, end], the one met first when
  // the lists are walked in order, as the message names it.
  std::optional<Owner> firstOverlap(uint32_t start, uint32_t end) const {
    if (end < start) return std::nullopt;
    std::optional<Owner> first;
    for (auto it = cRanges.upper_bound(end); it != cRanges.begin();) {
      --it;
      if (it->second.first < start) break;
      if (!first || it->second.second < *first) first = it->second.second;
    }
    return first;
  }

private:
  // Start to (end, owner).
  std::map<uint32_t, std::pair<uint32_t, Owner>> cRanges;
};

}  // namespace tarsil
