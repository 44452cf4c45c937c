// SPDX-License-Identifier: Apache-2.0
#pragma once
// The symbol tables the link keeps beside its inputs: definitions by name and
// each external reference bound to its definition.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "coff/CoffFormat.h"
#include "support/NameHash.h"
#include "support/NameIndex.h"

namespace tarsil {

template <class Value>
using NameTable = std::unordered_map<std::string, Value, NameHash, std::equal_to<>>;

// External definitions by name. A table of tens of thousands of names that
// lives until the executable's symbol table is built: the names are views
// into the inputs' symbol and string tables (which stay put until then) and
// the entries stand in one block, instead of a node and a copy of the name
// per definition. Look-ups hand out the entry or end(), as a map's would.
class SymbolDefinitions {
public:
  using Entry = NameIndex<syment*>::Entry;

  const Entry* find(std::string_view name) const { return cIndex.findEntry(name); }
  const Entry* end() const { return nullptr; }
  size_t count(std::string_view name) const { return find(name) != end() ? 1 : 0; }
  syment* at(std::string_view name) const {
    const Entry* entry = find(name);
    if (entry == end()) throw std::out_of_range("SymbolDefinitions::at");
    return entry->second;
  }
  // The definition under `name`, null when it was not there; `name` must
  // outlive the table.
  syment*& operator[](std::string_view name) { return *cIndex.emplace(name, nullptr).first; }
  // Enters `def` unless `name` is taken; the flag tells whether it was.
  std::pair<const Entry*, bool> emplace(std::string_view name, syment* def) {
    auto [entry, made] = cIndex.emplaceEntry(name, def);
    return {entry, made};
  }

  size_t size() const { return cIndex.size(); }
  bool empty() const { return cIndex.empty(); }
  // Room for this many definitions in all, so that filling never rehashes.
  void reserve(size_t n) { cIndex.reserve(n); }
  // Forgets every definition and gives the memory back.
  void clear() { cIndex.clear(); }

private:
  NameIndex<syment*> cIndex;
};

// Each external reference and its definition, as one vector sorted by the
// reference's address. A reference is a slot of its input's symbol table, so
// one input's references stand together, in slot order: the stages that walk
// an input's table find its bindings in one search instead of one per symbol,
// and a binding costs two pointers rather than a tree node.
class ExtRefBindings {
public:
  using value_type = std::pair<const syment*, syment*>;
  using const_iterator = std::vector<value_type>::const_iterator;

  const_iterator begin() const { return cBindings.begin(); }
  const_iterator end() const { return cBindings.end(); }
  size_t size() const { return cBindings.size(); }
  bool empty() const { return cBindings.empty(); }
  void clear() { cBindings.clear(); }

  const_iterator find(const syment* ref) const {
    auto it = lowerBound(ref);
    return it != cBindings.end() && it->first == ref ? it : cBindings.end();
  }
  size_t count(const syment* ref) const { return find(ref) != end() ? 1 : 0; }
  syment* at(const syment* ref) const {
    auto it = find(ref);
    if (it == end()) throw std::out_of_range("ExtRefBindings::at");
    return it->second;
  }

  // The bindings of the references in `table`, in slot order.
  std::span<const value_type> within(const std::vector<syment>& table) const {
    if (table.empty()) return {};
    // One search: an input's references are few, the whole table is not.
    const syment* last = table.data() + table.size();
    auto from = lowerBound(table.data());
    auto to = from;
    while (to != cBindings.end() && std::less<const syment*>{}(to->first, last)) ++to;
    return {from, to};
  }

  // Takes every binding at once: `runs` holds one group per symbol table,
  // each group in slot order, the groups in any order.
  struct Run {
    size_t first;
    size_t count;
  };
  void assign(std::vector<value_type> bindings, std::vector<Run> runs);

private:
  static bool keyLess(const value_type& a, const syment* b) { return std::less<const syment*>{}(a.first, b); }
  const_iterator lowerBound(const syment* ref) const {
    return std::lower_bound(cBindings.begin(), cBindings.end(), ref, keyLess);
  }

  std::vector<value_type> cBindings;
};

}  // namespace tarsil
