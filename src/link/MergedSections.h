// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <map>
#include <memory_resource>
#include <string>
#include <vector>

#include "coff/Coff.h"

namespace tarsil {

class Memory;
class Range;

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
  // Once placement is done: the memory that holds the section and its range
  // there, null when it was never placed.
  const Memory* memory = nullptr;
  Range* range = nullptr;
  // The section's place among what an output stage makes of each section,
  // kNoSlot for none: the stage's own index, set as it starts.
  static constexpr uint32_t kNoSlot = UINT32_MAX;
  uint32_t slot = kNoSlot;

  bool merged() const { return type != Coff::unknown; }
  void setSize(uint64_t bytes) {
    size = bytes;
    sized = true;
  }
};

// In name order, which is the order of the executable's section headers.
using MergedSections = std::pmr::map<std::string, MergedSection>;

// One section of one input: its header, bytes, relocations and line numbers
// where its input holds them (null where it has none), the merged section it
// joins, and where loading put it.
struct InputSection {
  Coff* file = nullptr;
  int number = 0;
  // Its input's own copy of the name.
  const std::string* name = nullptr;
  scnhdr* header = nullptr;
  Data* bytes = nullptr;
  std::vector<reloc>* relocs = nullptr;
  std::vector<coff_lineno>* lines = nullptr;
  MergedSection* output = nullptr;
  // The piece's address once loaded (its range's start, its own place and
  // any record's offset), and how far into its range it starts, in
  // locations of its memory.
  uint32_t address = 0;
  uint32_t inRange = 0;
  bool loaded = false;
};

}  // namespace tarsil
