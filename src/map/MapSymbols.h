// SPDX-License-Identifier: Apache-2.0
#pragma once
// The symbols the maps list, gathered once from the executable's symbol
// table for the text map and the JSON map alike, so the two cannot disagree
// and a link writing both reads the table once.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "coff/Coff.h"

namespace tarsil {

class MapSymbols {
public:
  // Twenty-four bytes a symbol: the listings read them in name and in
  // address order, which are neither the table's, and the table is many
  // times the size of these records.
  struct Symbol {
    // A name kept in the slot itself, copied here; for a name out of the
    // string table, its place among longNames.
    union {
      char text[8];
      uint32_t longName;
    };
    uint32_t address;
    // Index into files(); 0 is "no file".
    uint32_t file;
    // The input whose symbols the table took it from, kNoInput when unknown.
    uint32_t input;
    // Positive: whether the symbol is listed in program or in data memory is
    // known only once the sections are.
    uint16_t section;
    // Of a name kept in the slot itself.
    uint8_t length;
    bool isLong : 1;
    bool isStatic : 1;
    bool isFunction : 1;
  };
  static constexpr uint32_t kNoInput = UINT32_MAX;

  // Every symbol of a section, external, static or label, with the source
  // file whose markers enclose it. `bases` are where each input's symbols
  // start in the table, ascending; empty when they are not known. Made once
  // the table is final; the string table may grow meanwhile, as long as its
  // strings stay put (long names are viewed where they lie).
  explicit MapSymbols(const Coff& output, std::span<const uint32_t> bases = {});

  // A name kept in the symbol itself: up to eight bytes, ended early by a
  // zero.
  static std::string_view shortName(const syment& s);

  // In the table's order.
  const std::vector<Symbol>& symbols() const { return cSymbols; }
  std::string_view name(const Symbol& s) const {
    return s.isLong ? cLongNames[s.longName] : std::string_view(s.text, s.length);
  }
  // One entry per file marker, in the table's order, after the empty one.
  const std::vector<std::string_view>& files() const { return cFiles; }

  // Name order, and address order among that, program and data symbols
  // together: made by sort(), which only the text map needs.
  void sort();
  const std::vector<uint32_t>& byName() const { return cByName; }
  const std::vector<uint32_t>& byAddress() const { return cByAddress; }
  bool sorted() const { return cSorted; }

private:
  void collect(const Coff& output, std::span<const uint32_t> bases);

  std::vector<Symbol> cSymbols;
  std::vector<std::string_view> cLongNames;
  std::vector<std::string_view> cFiles{std::string_view()};
  std::vector<uint32_t> cByName;
  std::vector<uint32_t> cByAddress;
  bool cSorted = false;
};

}  // namespace tarsil
