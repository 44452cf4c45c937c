// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <map>
#include <memory_resource>
#include <string>

#include "coff/Coff.h"

namespace tarsil {

class Memory;

// One output section's attributes, merged from every input piece of its
// name: the one record that merging fills, placement reads and the output
// stages describe. Sizes are in bytes and kept wide, so that a sum of
// hostile 32-bit sizes cannot wrap.
struct MergedSection {
  uint64_t size = 0;
  // Whether a size was taken: a merge that fails on a section's first piece
  // keeps only its size, and a section the linker makes has a kind only.
  bool sized = false;
  // Unknown until the attributes are merged; a merged section always has a
  // kind, since a piece of unknown kind fails the merge.
  Coff::ScnType type = Coff::unknown;
  bool abs = false;
  bool share = false;
  bool access = false;
  bool overlay = false;
  // Where an absolute section starts, and its length; zero otherwise.
  uint64_t absStart = 0;
  uint64_t absSize = 0;
  // The memory that placement gave the section, until it is entered among
  // the placed sections.
  Memory* placed = nullptr;

  bool merged() const { return type != Coff::unknown; }
  void setSize(uint64_t bytes) {
    size = bytes;
    sized = true;
  }
};

// In name order, which is the order of the executable's section headers.
using MergedSections = std::pmr::map<std::string, MergedSection>;

}  // namespace tarsil
