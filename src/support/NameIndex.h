// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "support/NameHash.h"
#include "support/Strings.h"

namespace tarsil {

// Names to small values, for the stages that look thousands of names up
// thousands of times: open addressing, so that neither an entry nor a
// look-up allocates, and a hash that is cheap on short names.
//
// Entries stand densely in insertion order; the probed array holds only an
// 8-byte word per slot (32 bits of the hash and the entry's position), so a
// table of tens of thousands of names costs a few hundred KiB of slots and
// a probe rejects a foreign name without touching its entry. Growth moves
// the slots only: each keeps enough of its hash to find its new place.
//
// The table holds views: the names must outlive it, which the link's own
// tables (whose strings never move) guarantee. A pointer that emplace or
// find returns lasts until the next entry is made.
template <class Value>
class NameIndex {
public:
  // Named like a map's entry, so that a table built on this one can hand
  // entries out where a map's would have been.
  struct Entry {
    std::string_view first;
    Value second;
  };

  explicit NameIndex(size_t expected = 0) { reserve(expected); }

  // Room for `expected` entries in all, so that filling the table neither
  // moves the entries nor rehashes.
  void reserve(size_t expected) {
    cEntries.reserve(expected);
    const size_t slots = slotsFor(expected);
    if (slots > cSlots.size()) rehash(slots);
  }

  // The entry under `name`, made with `value` when there was none; the flag
  // tells whether it was made.
  std::pair<Value*, bool> emplace(std::string_view name, Value value) {
    auto [entry, made] = emplaceEntry(name, std::move(value));
    return {&entry->second, made};
  }
  std::pair<Entry*, bool> emplaceEntry(std::string_view name, Value value) {
    if (4 * (cEntries.size() + 1) > 3 * cSlots.size()) rehash(2 * cSlots.size());
    const uint32_t tag = tagOf(name);
    const size_t at = probe(name, tag);
    if (cSlots[at] != 0) return {&cEntries[positionIn(cSlots[at])], false};
    cSlots[at] = uint64_t{tag} << 32 | (cEntries.size() + 1);
    cEntries.push_back(Entry{name, std::move(value)});
    return {&cEntries.back(), true};
  }

  Value* find(std::string_view name) {
    Entry* entry = findEntry(name);
    return entry ? &entry->second : nullptr;
  }
  const Value* find(std::string_view name) const {
    const Entry* entry = findEntry(name);
    return entry ? &entry->second : nullptr;
  }
  Entry* findEntry(std::string_view name) {
    const uint64_t slot = cSlots[probe(name, tagOf(name))];
    return slot != 0 ? &cEntries[positionIn(slot)] : nullptr;
  }
  const Entry* findEntry(std::string_view name) const {
    const uint64_t slot = cSlots[probe(name, tagOf(name))];
    return slot != 0 ? &cEntries[positionIn(slot)] : nullptr;
  }

  size_t size() const { return cEntries.size(); }
  bool empty() const { return cEntries.empty(); }

  // Entries in insertion order.
  const Entry* begin() const { return cEntries.data(); }
  const Entry* end() const { return cEntries.data() + cEntries.size(); }

  // Forgets every entry and gives the memory back.
  void clear() {
    std::vector<Entry>().swap(cEntries);
    cSlots.assign(kMinSlots, 0);
    cSlots.shrink_to_fit();
  }

private:
  static constexpr size_t kMinSlots = 16;

  // At most three quarters full: short probe runs with linear probing, and
  // an empty slot always ends a walk.
  static size_t slotsFor(size_t expected) {
    size_t slots = kMinSlots;
    while (4 * expected > 3 * slots) slots *= 2;
    return slots;
  }

  // The high half of the hash: NameHash mixes its high bits best, and the
  // slot word keeps all of it for growth.
  uint32_t tagOf(std::string_view name) const { return static_cast<uint32_t>(uint64_t{cHash(name)} >> 32); }
  static size_t positionIn(uint64_t slot) { return static_cast<size_t>(static_cast<uint32_t>(slot) - 1); }

  // The slot that holds `name`, or the empty slot where it belongs.
  size_t probe(std::string_view name, uint32_t tag) const {
    const size_t mask = cSlots.size() - 1;
    for (size_t i = tag & mask;; i = (i + 1) & mask) {
      const uint64_t slot = cSlots[i];
      if (slot == 0) return i;
      if (static_cast<uint32_t>(slot >> 32) == tag && sameText(cEntries[positionIn(slot)].first, name)) return i;
    }
  }

  void rehash(size_t slots) {
    std::vector<uint64_t> old(slots, 0);
    old.swap(cSlots);
    const size_t mask = slots - 1;
    for (uint64_t slot : old) {
      if (slot == 0) continue;
      size_t i = static_cast<size_t>(slot >> 32) & mask;
      while (cSlots[i] != 0) i = (i + 1) & mask;
      cSlots[i] = slot;
    }
  }

  NameHash cHash;
  std::vector<Entry> cEntries;
  std::vector<uint64_t> cSlots;
};

}  // namespace tarsil
