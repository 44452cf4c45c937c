#pragma once
#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "coff/Coff.h"

namespace tarsil {

// A walk over thousands of small inputs waits on memory at each one: for
// its record, then for the array the record points at, long evicted from
// the cache once the link's data outgrows it. Asked for some inputs ahead,
// both are there when the walk comes to them. `part` is the array the walk
// reads (a symbol table, the section numbers).
//
// Always inlined: a prefetch has no effect the compiler can see, so a call
// of a function made only of prefetches is dropped as doing nothing.
template <class Part>
[[gnu::always_inline]] inline void prefetchAhead(const std::vector<std::unique_ptr<Coff>>& inputs, size_t at, Part Coff::*part) {
  constexpr size_t recordAhead = 8;
  constexpr size_t partAhead = 4;
  if (at + recordAhead < inputs.size()) {
    // The member may straddle two lines of the record.
    const char* member = reinterpret_cast<const char*>(&(inputs[at + recordAhead].get()->*part));
    __builtin_prefetch(member);
    __builtin_prefetch(member + sizeof(Part) - 1);
  }
  if (at + partAhead < inputs.size()) {
    // The first lines of the array: enough for the processor's own
    // prefetching to carry on with the rest.
    const Part& array = inputs[at + partAhead].get()->*part;
    const char* first = reinterpret_cast<const char*>(array.data());
    const size_t bytes = std::min<size_t>(array.size() * sizeof(*array.data()), 256);
    for (size_t line = 0; line < bytes; line += 64) __builtin_prefetch(first + line);
  }
}

}  // namespace tarsil
