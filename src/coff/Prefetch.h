// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "coff/Coff.h"
#include "support/FlatMap.h"
#include "support/Threads.h"

namespace tarsil {

// A walk over thousands of small inputs waits on memory at each one: for
// its record, then for what the record points at, long evicted from the
// cache once the link's data outgrows it. Asked for some inputs ahead, both
// are there when the walk comes to them.
//
// Every function here is always inlined: a prefetch has no effect the
// compiler can see, so a call of a function made only of prefetches would be
// dropped as doing nothing.

namespace prefetch {

constexpr size_t lineBytes = 64;
// The whole of a small input's array (a symbol table of a few dozen
// entries: the processor's own prefetching takes several misses to start,
// which is most of such a table), and enough of a larger one's for that
// prefetching to carry on.
constexpr size_t arrayBytes = 16 * lineBytes;

template <class Member>
[[gnu::always_inline]] inline void member(const Member& m) {
  // A member may straddle two lines of the record.
  const char* first = reinterpret_cast<const char*>(&m);
  __builtin_prefetch(first);
  __builtin_prefetch(first + sizeof(Member) - 1);
}

template <class T>
[[gnu::always_inline]] inline void bytes(const T* first, size_t count) {
  const char* start = reinterpret_cast<const char*>(first);
  const size_t n = std::min(count * sizeof(T), arrayBytes);
  for (size_t at = 0; at < n; at += lineBytes) __builtin_prefetch(start + at);
}

// A member held in the record itself (a header) has nothing further to fetch.
template <class T>
[[gnu::always_inline]] inline void start(const T&) {}
template <class T>
[[gnu::always_inline]] inline void start(const std::vector<T>& v) {
  bytes(v.data(), v.size());
}
template <class Key, class Value>
[[gnu::always_inline]] inline void start(const FlatMap<Key, Value>& m) {
  bytes(m.data(), m.size());
}
[[gnu::always_inline]] inline void start(const std::string& s) { bytes(s.data(), s.size()); }
// The first node of a small tree: the others were made right after it.
template <class Key, class Value, class Less>
[[gnu::always_inline]] inline void start(const std::map<Key, Value, Less>& m) {
  if (!m.empty()) bytes(&*m.begin(), 1);
}

}  // namespace prefetch

// How far ahead of the walk: the record is asked for first, and what it
// points at once the record has had time to come.
constexpr size_t recordAhead = 8;
constexpr size_t partAhead = 4;

// For a walk that reads only the given members of each record (sizes,
// headers), not what they point at, at position `at` now of a walk that
// takes the inputs in the order `inputAt(position)` gives, `count`
// positions in all. Work side by side asks only within the run of inputs
// its thread holds: the next run's inputs may be changing under another
// thread.
template <class InputAt, class... Parts>
[[gnu::always_inline]] inline void prefetchRecordsAheadOf(InputAt inputAt, size_t count, size_t at,
                                                          Parts Coff::*... parts) {
  count = std::min(count, runEnd());
  if (at + recordAhead < count) {
    const Coff& record = inputAt(at + recordAhead);
    (prefetch::member(record.*parts), ...);
  }
}

// The same for a walk that reads the given members (`&Coff::cSymTbl`,
// `&Coff::cScnNum`...) and what they point at.
template <class InputAt, class... Parts>
[[gnu::always_inline]] inline void prefetchAheadOf(InputAt inputAt, size_t count, size_t at, Parts Coff::*... parts) {
  prefetchRecordsAheadOf(inputAt, count, at, parts...);
  if (at + partAhead < std::min(count, runEnd())) {
    const Coff& record = inputAt(at + partAhead);
    (prefetch::start(record.*parts), ...);
  }
}
template <class... Parts>
[[gnu::always_inline]] inline void prefetchRecordsAhead(const std::vector<std::unique_ptr<Coff>>& inputs, size_t at,
                                                        Parts Coff::*... parts) {
  prefetchRecordsAheadOf([&inputs](size_t i) -> const Coff& { return *inputs[i]; }, inputs.size(), at, parts...);
}

// The same for a walk in input order.
template <class... Parts>
[[gnu::always_inline]] inline void prefetchAhead(const std::vector<std::unique_ptr<Coff>>& inputs, size_t at,
                                                 Parts Coff::*... parts) {
  prefetchAheadOf([&inputs](size_t i) -> const Coff& { return *inputs[i]; }, inputs.size(), at, parts...);
}

}  // namespace tarsil
