#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "support/NameHash.h"

namespace tarsil {

// Names to small values, for the stages that look thousands of section names
// up thousands of times: open addressing in one block, so that neither an
// entry nor a look-up allocates, and a hash that is cheap on short names.
// The table holds views: the names must outlive it, which the link's own
// tables (whose strings never move) guarantee.
template <class Value>
class NameIndex {
public:
  explicit NameIndex(size_t expected = 0) { rehash(capacityFor(expected)); }

  // The entry under `name`, made with `value` when there was none; the flag
  // tells whether it was made.
  std::pair<Value*, bool> emplace(std::string_view name, Value value) {
    if (2 * (cSize + 1) > cSlots.size()) rehash(2 * cSlots.size());
    const uint64_t h = hash(name);
    Slot& slot = cSlots[probe(name, h)];
    if (slot.used) return {&slot.value, false};
    slot.used = true;
    slot.hash = h;
    slot.name = name;
    slot.value = std::move(value);
    ++cSize;
    return {&slot.value, true};
  }

  Value* find(std::string_view name) {
    Slot& slot = cSlots[probe(name, hash(name))];
    return slot.used ? &slot.value : nullptr;
  }
  const Value* find(std::string_view name) const {
    const Slot& slot = cSlots[probe(name, hash(name))];
    return slot.used ? &slot.value : nullptr;
  }

  size_t size() const { return cSize; }

private:
  struct Slot {
    std::string_view name;
    Value value{};
    uint64_t hash = 0;
    bool used = false;
  };

  static size_t capacityFor(size_t expected) {
    size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    return capacity;
  }

  static uint64_t hash(std::string_view name) { return NameHash{}(name); }

  // The slot that holds `name`, or the free slot where it belongs. The table
  // is never more than half full, so the walk ends.
  size_t probe(std::string_view name, uint64_t h) const {
    const size_t mask = cSlots.size() - 1;
    for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask) {
      const Slot& slot = cSlots[i];
      if (!slot.used || (slot.hash == h && slot.name == name)) return i;
    }
  }

  void rehash(size_t capacity) {
    std::vector<Slot> old = std::move(cSlots);
    cSlots.assign(capacity, Slot{});
    for (Slot& slot : old) {
      if (!slot.used) continue;
      cSlots[probe(slot.name, slot.hash)] = std::move(slot);
    }
  }

  std::vector<Slot> cSlots;
  size_t cSize = 0;
};

}  // namespace tarsil
