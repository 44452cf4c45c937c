// SPDX-License-Identifier: Apache-2.0
#include "map/MapSymbols.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "support/Strings.h"

namespace tarsil {

namespace {

using Symbol = MapSymbols::Symbol;

// Names straight out of the output's tables, without a copy each.
class Names {
public:
  explicit Names(const StringTable& strTbl) : cTable(strTbl) {}

  // Empty when the table holds nothing at that offset.
  std::string_view at(uint32_t offset) const { return cTable.at(offset).value_or(std::string_view()); }

private:
  const StringTable& cTable;
};

// One name, as a symbol may hold it: a short name is compared in place, as
// one word (its bytes and the NUL that ends a shorter one); only a name in
// the string table is compared as text. Asked of every symbol.
class SymbolName {
public:
  explicit SymbolName(std::string_view name) : cName(name) {
    char bytes[8] = {};
    char mask[8] = {};
    const size_t n = std::min(name.size(), sizeof bytes);
    std::memcpy(bytes, name.data(), n);
    std::memset(mask, 0xFF, std::min(name.size() + 1, sizeof mask));
    std::memcpy(&cWord, bytes, sizeof cWord);
    std::memcpy(&cMask, mask, sizeof cMask);
  }
  bool names(const syment& sym, bool isLong, std::string_view longName) const {
    if (isLong) return longName == cName;
    if (cName.size() > sizeof sym.n_name) return false;
    uint64_t field;
    std::memcpy(&field, sym.n_name, sizeof field);
    return (field & cMask) == cWord;
  }

private:
  std::string_view cName;
  uint64_t cWord = 0;
  uint64_t cMask = 0;
};

// Least significant byte first, each pass stable, so the result is in key
// order and equal keys stay in the order they came in. The byte counts do not
// depend on the order, so one reading gives those of every pass; a pass whose
// byte is the same everywhere changes nothing and is skipped. The passes cost
// the same however few the items, more than a small link's handful takes to
// sort by insertion, which is stable too.
constexpr size_t kFewItems = 48;

template <unsigned Bytes, class Item, class Key>
void radixSort(std::vector<Item>& items, Key key) {
  if (items.size() <= kFewItems) {
    constexpr uint64_t mask = Bytes >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * Bytes)) - 1;
    for (size_t i = 1; i < items.size(); ++i) {
      const Item item = items[i];
      const uint64_t k = key(item) & mask;
      size_t j = i;
      for (; j > 0 && (key(items[j - 1]) & mask) > k; --j) items[j] = items[j - 1];
      items[j] = item;
    }
    return;
  }
  size_t start[Bytes][256] = {};
  for (const Item& item : items) {
    const uint64_t k = key(item);
    for (unsigned b = 0; b < Bytes; ++b) ++start[b][(k >> (8 * b)) & 0xFF];
  }
  std::vector<Item> moved(items.size());
  for (unsigned b = 0; b < Bytes; ++b) {
    size_t total = 0;
    bool oneValue = false;
    for (size_t& count : start[b]) {
      oneValue = oneValue || count == items.size();
      const size_t first = total;
      total += count;
      count = first;
    }
    if (oneValue) continue;
    for (const Item& item : items) moved[start[b][(key(item) >> (8 * b)) & 0xFF]++] = item;
    items.swap(moved);
  }
}

// Byte-wise name order, and among equal names the table's order, as a stable
// sort would leave them. The first eight bytes of each name decide nearly
// every place; only names that share them and run longer are compared whole.
// Eight bytes as a number that orders as they do.
uint64_t bigEndian(const char* at) {
  const auto* b = reinterpret_cast<const unsigned char*>(at);
  return uint64_t{b[0]} << 56 | uint64_t{b[1]} << 48 | uint64_t{b[2]} << 40 | uint64_t{b[3]} << 32 |
         uint64_t{b[4]} << 24 | uint64_t{b[5]} << 16 | uint64_t{b[6]} << 8 | uint64_t{b[7]};
}

// The first eight bytes of a symbol's name as a number that orders as they
// do, a shorter name padded with zeros. A name kept in the symbol has its
// eight bytes there whatever its length, so one load serves.
uint64_t namePrefix(const MapSymbols& listing, const Symbol& s) {
  if (s.isLong) return leadingBytes(listing.name(s));
  const uint64_t key = bigEndian(s.text);
  // Bytes after the name's end may be anything the file held.
  const size_t length = s.length;
  return length >= 8 ? key : length == 0 ? 0 : key & ~(~uint64_t{0} >> (8 * length));
}

std::vector<uint32_t> sortByName(const MapSymbols& listing, const std::vector<Symbol>& symbols) {
  std::vector<uint64_t> prefix(symbols.size());
  for (size_t k = 0; k < symbols.size(); ++k) prefix[k] = namePrefix(listing, symbols[k]);
  std::vector<uint32_t> order(symbols.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = static_cast<uint32_t>(k);
  radixSort<8>(order, [&prefix](uint32_t k) { return prefix[k]; });

  for (size_t first = 0; first < order.size();) {
    size_t last = first + 1;
    bool longer = listing.name(symbols[order[first]]).size() > 8;
    for (; last < order.size() && prefix[order[last]] == prefix[order[first]]; ++last)
      if (listing.name(symbols[order[last]]).size() > 8) longer = true;
    if (longer)
      std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(first),
                       order.begin() + static_cast<std::ptrdiff_t>(last),
                       [&](uint32_t a, uint32_t b) { return listing.name(symbols[a]) < listing.name(symbols[b]); });
    first = last;
  }
  return order;
}

}  // namespace

void MapSymbols::collect(const Coff& output, std::span<const uint32_t> bases) {
  const std::span<const syment> table = output.cSymTbl;
  Names names(output.cStrTbl);
  std::vector<uint32_t> open;
  const SymbolName fileName(".file");
  const SymbolName endName(".eof");
  size_t input = 0;
  for (size_t i = 0, next = 0; i < table.size(); i = next) {
    const syment& sym = table[i];
    // The executable's auxiliary counts are its inputs', which reading
    // checked against the slots they claim.
    next = i + 1 + sym.n_numaux;
    // Most of the table is neither listed nor a file's marker (whose short
    // names start with a dot), and a name out of the string table is looked
    // up only where it may be either.
    const bool listed = sym.n_scnum > 0 && (sym.n_sclass == C_EXT || sym.n_sclass == C_STAT || sym.n_sclass == C_LABEL);
    const bool isLong = Coff::needsString(sym);
    if (!listed && !isLong && sym.n_name[0] != '.') continue;
    const std::string_view longName = isLong ? names.at(sym.n_offset()) : std::string_view();
    if (fileName.names(sym, isLong, longName)) {
      // A file without its name still opens a scope, so that its ".eof"
      // closes the right one.
      std::string_view file;
      if (next > i + 1 && i + 1 < table.size()) file = names.at(getAux<aux_file>(table[i + 1]).x_offset);
      open.push_back(static_cast<uint32_t>(cFiles.size()));
      cFiles.push_back(file);
    } else if (endName.names(sym, isLong, longName)) {
      if (!open.empty()) open.pop_back();
    } else if (listed) {
      while (input + 1 < bases.size() && bases[input + 1] <= i) ++input;
      Symbol& s = cSymbols.emplace_back();
      s.section = static_cast<uint16_t>(sym.n_scnum);
      s.address = sym.n_value;
      s.file = open.empty() ? 0 : open.back();
      s.input = bases.empty() ? kNoInput : static_cast<uint32_t>(input);
      s.isLong = isLong;
      s.isStatic = sym.n_sclass != C_EXT;
      s.isFunction = isFcn(sym);
      if (isLong) {
        s.longName = static_cast<uint32_t>(cLongNames.size());
        cLongNames.push_back(longName);
      } else {
        std::memcpy(s.text, sym.n_name, sizeof s.text);
        s.length = static_cast<uint8_t>(shortName(sym).size());
      }
    }
  }
}

MapSymbols::MapSymbols(const Coff& output, std::span<const uint32_t> bases) { collect(output, bases); }

std::string_view MapSymbols::shortName(const syment& s) {
  // The first zero byte of the eight, found in one word: every listed
  // symbol's name is read here, and most are short.
  static_assert(sizeof s.n_name == 8);
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F;
  uint64_t word;
  std::memcpy(&word, s.n_name, 8);
  // The high bit of each byte that is zero, and of no other.
  const uint64_t zeros = ~(((word & kLow7) + kLow7) | word | kLow7);
  const int first = std::endian::native == std::endian::little ? std::countr_zero(zeros) : std::countl_zero(zeros);
  return {s.n_name, static_cast<size_t>(first / 8)};
}

void MapSymbols::sort() {
  if (cSorted) return;
  cByName = sortByName(*this, cSymbols);
  // Address order starting from the name order, as sorting the name-ordered
  // list again with a stable sort would leave it.
  cByAddress = cByName;
  radixSort<4>(cByAddress, [this](uint32_t k) { return uint64_t{cSymbols[k].address}; });
  cSorted = true;
}

}  // namespace tarsil
