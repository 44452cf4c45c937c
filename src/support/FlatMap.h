#pragma once
#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

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
  reverse_iterator rbegin() { return cEntries.rbegin(); }
  reverse_iterator rend() { return cEntries.rend(); }
  const_reverse_iterator rbegin() const { return cEntries.rbegin(); }
  const_reverse_iterator rend() const { return cEntries.rend(); }

  const value_type* data() const { return cEntries.data(); }
  size_t size() const { return cEntries.size(); }
  bool empty() const { return cEntries.empty(); }
  void clear() { cEntries.clear(); }
  void reserve(size_t n) { cEntries.reserve(n); }

  iterator find(const Key& key) {
    auto at = lowerBound(key);
    return at != cEntries.end() && at->first == key ? at : cEntries.end();
  }
  const_iterator find(const Key& key) const {
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
  Value& operator[](const Key& key) { return try_emplace(key).first->second; }
  const Value& at(const Key& key) const {
    auto found = find(key);
    if (found == end()) throw std::out_of_range("FlatMap::at");
    return found->second;
  }

  // Takes over entries already in key order, no key twice, in one step: for
  // a table made by sorting rather than entry by entry.
  void assignSorted(std::vector<value_type> entries) { cEntries = std::move(entries); }

  template <class Pred>
  friend size_t erase_if(FlatMap& map, Pred pred) {
    return std::erase_if(map.cEntries, pred);
  }

  friend bool operator==(const FlatMap& a, const FlatMap& b) { return a.cEntries == b.cEntries; }

private:
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
