// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/Strings.h"

namespace tarsil {

// Keys to values in key order, held in one array: for the small tables of
// every input that are filled once, in order, and walked again and again.
// A walk reads consecutive memory instead of chasing one node per entry,
// and an entry costs its key and value alone.
//
// Unlike a map's, its entries move when one is made: a pointer, reference
// or iterator into the table lasts only until the next entry is made.
template <class Key, class Value>
class FlatMap {
public:
  using key_type = Key;
  using mapped_type = Value;
  using value_type = std::pair<Key, Value>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;
  using reverse_iterator = typename std::vector<value_type>::reverse_iterator;
  using const_reverse_iterator = typename std::vector<value_type>::const_reverse_iterator;

  FlatMap() = default;
  FlatMap(std::initializer_list<value_type> entries) {
    for (const value_type& entry : entries) try_emplace(entry.first, entry.second);
  }

  iterator begin() { return cEntries.begin(); }
  iterator end() { return cEntries.end(); }
  const_iterator begin() const { return cEntries.begin(); }
  const_iterator end() const { return cEntries.end(); }
  const_iterator cbegin() const { return cEntries.cbegin(); }
  const_iterator cend() const { return cEntries.cend(); }
  reverse_iterator rbegin() { return cEntries.rbegin(); }
  reverse_iterator rend() { return cEntries.rend(); }
  const_reverse_iterator rbegin() const { return cEntries.rbegin(); }
  const_reverse_iterator rend() const { return cEntries.rend(); }

  const value_type* data() const { return cEntries.data(); }
  size_t size() const { return cEntries.size(); }
  bool empty() const { return cEntries.empty(); }
  void clear() { cEntries.clear(); }
  void reserve(size_t n) { cEntries.reserve(n); }

  iterator find(const Key& key) { return cEntries.begin() + (std::as_const(*this).find(key) - cEntries.cbegin()); }
  const_iterator find(const Key& key) const {
    // An input's few sections are found by a walk that compares names word
    // by word, cheaper than the ordered comparisons of a search.
    if constexpr (std::is_same_v<Key, std::string>) {
      if (cEntries.size() <= kScanned) {
        for (auto at = cEntries.cbegin(); at != cEntries.cend(); ++at)
          if (sameText(at->first, key)) return at;
        return cEntries.cend();
      }
    }
    auto at = lowerBound(key);
    return at != cEntries.end() && at->first == key ? at : cEntries.end();
  }
  size_t count(const Key& key) const { return find(key) != end() ? 1 : 0; }

  // The entry under `key`, made from `args` when there was none; the flag
  // tells whether it was made. A key above every other, as when the table
  // is filled in order, goes on the end without a search.
  template <class... Args>
  std::pair<iterator, bool> try_emplace(const Key& key, Args&&... args) {
    if (cEntries.empty() || cEntries.back().first < key) {
      cEntries.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                            std::forward_as_tuple(std::forward<Args>(args)...));
      return {cEntries.end() - 1, true};
    }
    auto at = lowerBound(key);
    if (at != cEntries.end() && at->first == key) return {at, false};
    at = cEntries.emplace(at, std::piecewise_construct, std::forward_as_tuple(key),
                          std::forward_as_tuple(std::forward<Args>(args)...));
    return {at, true};
  }
  // As a map's: the hint is where the caller expects the entry, here the end.
  template <class... Args>
  iterator try_emplace(const_iterator /*hint*/, const Key& key, Args&&... args) {
    return try_emplace(key, std::forward<Args>(args)...).first;
  }
  template <class... Args>
  iterator emplace_hint(const_iterator /*hint*/, const Key& key, Args&&... args) {
    return try_emplace(key, std::forward<Args>(args)...).first;
  }
  template <class V>
  std::pair<iterator, bool> insert_or_assign(const Key& key, V&& value) {
    auto made = try_emplace(key, std::forward<V>(value));
    if (!made.second) made.first->second = std::forward<V>(value);
    return made;
  }
  template <class V>
  iterator insert_or_assign(const_iterator /*hint*/, const Key& key, V&& value) {
    return insert_or_assign(key, std::forward<V>(value)).first;
  }
  Value& operator[](const Key& key) { return try_emplace(key).first->second; }
  Value& at(const Key& key) {
    auto found = find(key);
    if (found == end()) throw std::out_of_range("FlatMap::at");
    return found->second;
  }
  const Value& at(const Key& key) const {
    auto found = find(key);
    if (found == end()) throw std::out_of_range("FlatMap::at");
    return found->second;
  }

  // Takes over entries already in key order, no key twice, in one step: for
  // a table made by sorting rather than entry by entry.
  void assignSorted(std::vector<value_type> entries) { cEntries = std::move(entries); }

  // Takes `entries`, in any order, with one sort instead of a search and a
  // move of the later entries for each: a table filled from a file, whose
  // entries come in any order and in any number, so costs n log n and not
  // n squared. A key already present, or given more than once, keeps the
  // entry first made under it, into which combine(kept, incoming) folds the
  // others in the order given.
  template <class Combine>
  void mergeIn(std::vector<value_type> entries, Combine combine) {
    if (entries.empty()) return;
    auto byKey = [](const value_type& a, const value_type& b) { return a.first < b.first; };
    // Most tables are a handful of entries, for which a stable sort's
    // buffer would cost more than the sort.
    constexpr size_t kFew = 16;
    if (entries.size() <= kFew) {
      for (size_t i = 1; i < entries.size(); ++i)
        for (size_t j = i; j > 0 && byKey(entries[j], entries[j - 1]); --j) std::swap(entries[j], entries[j - 1]);
    } else if (!std::is_sorted(entries.begin(), entries.end(), byKey)) {
      sortLarge(entries);
    }
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (kept != 0 && entries[kept - 1].first == entries[i].first) {
        combine(entries[kept - 1].second, std::move(entries[i].second));
      } else {
        if (kept != i) entries[kept] = std::move(entries[i]);
        ++kept;
      }
    }
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
    if (cEntries.empty()) {
      cEntries = std::move(entries);
      return;
    }
    if (cEntries.back().first < entries.front().first) {
      cEntries.insert(cEntries.end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
      return;
    }
    std::vector<value_type> merged;
    merged.reserve(cEntries.size() + entries.size());
    auto old = cEntries.begin();
    auto given = entries.begin();
    while (old != cEntries.end() || given != entries.end()) {
      if (given == entries.end() || (old != cEntries.end() && old->first < given->first)) {
        merged.push_back(std::move(*old++));
      } else if (old == cEntries.end() || given->first < old->first) {
        merged.push_back(std::move(*given++));
      } else {
        combine(old->second, std::move(given->second));
        merged.push_back(std::move(*old++));
        ++given;
      }
    }
    cEntries = std::move(merged);
  }

  iterator erase(const_iterator at) { return cEntries.erase(at); }
  size_t erase(const Key& key) {
    auto at = find(key);
    if (at == end()) return 0;
    cEntries.erase(at);
    return 1;
  }

  template <class Pred>
  friend size_t erase_if(FlatMap& map, Pred pred) {
    return std::erase_if(map.cEntries, pred);
  }

  friend bool operator==(const FlatMap& a, const FlatMap& b) { return a.cEntries == b.cEntries; }

private:
  static constexpr size_t kScanned = 8;

  // A stable sort by key. Names are sorted by their first eight bytes as
  // one number, and by the whole name only where those agree: most names
  // differ early, and a comparison of two numbers reads no text.
  static void sortLarge(std::vector<value_type>& entries) {
    if constexpr (std::is_same_v<Key, std::string>) {
      std::vector<std::pair<uint64_t, uint32_t>> order(entries.size());
      for (size_t i = 0; i < entries.size(); ++i)
        order[i] = {leadingBytes(entries[i].first), static_cast<uint32_t>(i)};
      std::sort(order.begin(), order.end(), [&entries](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        const int c = entries[a.second].first.compare(entries[b.second].first);
        return c != 0 ? c < 0 : a.second < b.second;
      });
      // The entries are moved into their places cycle by cycle, without a
      // second array of them: order[k] names the entry that belongs at k,
      // and is marked once that move is made.
      constexpr uint32_t kPlaced = UINT32_MAX;
      for (size_t start = 0; start < order.size(); ++start) {
        if (order[start].second == kPlaced) continue;
        value_type held = std::move(entries[start]);
        size_t at = start;
        while (order[at].second != start) {
          const size_t from = order[at].second;
          entries[at] = std::move(entries[from]);
          order[at].second = kPlaced;
          at = from;
        }
        entries[at] = std::move(held);
        order[at].second = kPlaced;
      }
    } else {
      std::stable_sort(entries.begin(), entries.end(),
                       [](const value_type& a, const value_type& b) { return a.first < b.first; });
    }
  }

  iterator lowerBound(const Key& key) {
    return std::lower_bound(cEntries.begin(), cEntries.end(), key,
                            [](const value_type& entry, const Key& k) { return entry.first < k; });
  }
  const_iterator lowerBound(const Key& key) const {
    return std::lower_bound(cEntries.begin(), cEntries.end(), key,
                            [](const value_type& entry, const Key& k) { return entry.first < k; });
  }

  std::vector<value_type> cEntries;
};

}  // namespace tarsil
