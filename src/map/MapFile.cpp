// SPDX-License-Identifier: Apache-2.0
#include "map/MapFile.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <string_view>
#include <vector>

#include "map/MapText.h"
#include "map/MemoryUsage.h"
#include "support/AtomicFile.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/NameIndex.h"
#include "support/Strings.h"
#include "support/TimeStamp.h"
#include "support/Version.h"

namespace tarsil {

namespace {

constexpr std::string_view rule = "---------";

// Activation records are named after their function's source path; only the
// last component is worth a column.
std::string_view baseName(std::string_view name) {
  size_t cut = name.rfind('\\');
  if (cut == std::string_view::npos) cut = name.rfind('/');
  return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

// Names straight out of the output's tables, without a copy each.
class Names {
public:
  explicit Names(const StringTable& strTbl) : cTable(strTbl) {}

  // Empty when the table holds nothing at that offset.
  std::string_view at(uint32_t offset) const { return cTable.at(offset).value_or(std::string_view()); }

private:
  const StringTable& cTable;
};

// A name kept in the symbol itself: up to eight bytes, ended early by a zero.
std::string_view shortName(const syment& s) {
  const void* end = std::memchr(s.n_name, 0, sizeof s.n_name);
  return {s.n_name, end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - s.n_name) : sizeof s.n_name};
}

struct Section {
  const std::string* name;
  const scnhdr* hdr;
  Coff::ScnType type;
};

// Twenty bytes a symbol.
struct Symbol {
  // A name kept in the slot itself, copied here: the listings read symbols
  // in name and in address order, which are neither the table's, and the
  // table is many times the size of these records. For a name out of the
  // string table, its place among the listing's long names.
  union {
    char text[8];
    uint32_t longName;
  };
  uint32_t address;
  // Index into the listing's file names; 0 is "no file".
  uint32_t file;
  // The symbol's section number, positive: whether the symbol is listed
  // in program or in data memory is known only once the sections are.
  uint16_t section;
  // Of a name kept in the slot itself.
  uint8_t length;
  bool isLong : 1;
  bool isStatic : 1;
  bool isFunction : 1;
};
static_assert(sizeof(Symbol) == 20);

}  // namespace

// The listing's symbols in the table's order, and that order sorted by
// name and by address, program and data symbols together: each kind's rows
// keep the order they have among all.
struct MapFile::Symbols::Sorted {
  std::string_view name(const Symbol& s) const {
    return s.isLong ? longNames[s.longName] : std::string_view(s.text, s.length);
  }

  std::vector<Symbol> symbols;
  std::vector<std::string_view> longNames;
  std::vector<std::string_view> files{std::string_view()};
  std::vector<uint32_t> byName;
  std::vector<uint32_t> byAddress;
};

namespace {

using Sorted = MapFile::Symbols::Sorted;

struct Listing {
  bool inData(const Symbol& s) const {
    return s.section < dataSectionNumbers.size() && dataSectionNumbers[s.section] != 0;
  }

  std::vector<Section> progSections;
  std::vector<Section> dataSections;
  // By section number: 1 for the numbers of data-memory sections. Symbols of
  // numbers the output does not know count as program symbols.
  std::vector<uint8_t> dataSectionNumbers;
  const Sorted* symbols = nullptr;
};

void collectSections(const Coff& output, Listing& listing) {
  // An executable has thousands of sections: hashing each name once costs
  // far less than a search of the headers by string comparison per number.
  NameIndex<const scnhdr*> headers(output.cScnHdr.size());
  for (const auto& [name, hdr] : output.cScnHdr) headers.emplace(name, &hdr);
  for (const auto& entry : output.cScnNum) {
    const scnhdr* const* found = headers.find(entry.second);
    if (found == nullptr) continue;
    const scnhdr* hdr = *found;
    const Coff::ScnType type = Coff::getScnType(*hdr);
    if (SectionInfo::locationOf(type) == SectionInfo::program) {
      listing.progSections.push_back({&entry.second, hdr, type});
      continue;
    }
    listing.dataSections.push_back({&entry.second, hdr, type});
    // Symbols carry 16-bit section numbers; no symbol can name the others.
    if (entry.first <= 0 || entry.first > INT16_MAX) continue;
    const size_t number = static_cast<size_t>(entry.first);
    if (listing.dataSectionNumbers.size() <= number) listing.dataSectionNumbers.resize(number + 1, 0);
    listing.dataSectionNumbers[number] = 1;
  }
}

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

void collectSymbols(const Coff& output, Sorted& listing) {
  const auto& table = output.cSymTbl;
  const bool kindsKnown = output.cSymKind.size() == table.size();
  Names names(output.cStrTbl);
  std::vector<uint32_t> open;
  const SymbolName fileName(".file");
  const SymbolName endName(".eof");
  size_t i = 0;
  while (i < table.size()) {
    const syment& sym = table[i];
    const bool isLong = Coff::needsString(sym);
    const std::string_view longName = isLong ? names.at(sym.n_offset()) : std::string_view();
    size_t next = i + 1;
    if (kindsKnown) {
      while (next < table.size() && output.cSymKind[next] != AuxKind::none) ++next;
    } else {
      next += sym.n_numaux;
    }
    const bool hasAuxSlot = next > i + 1 && i + 1 < table.size();

    if (fileName.names(sym, isLong, longName)) {
      // A file without its name still opens a scope, so that its ".eof"
      // closes the right one.
      std::string_view file;
      if (hasAuxSlot) file = names.at(getAux<aux_file>(table[i + 1]).x_offset);
      open.push_back(static_cast<uint32_t>(listing.files.size()));
      listing.files.push_back(file);
    } else if (endName.names(sym, isLong, longName)) {
      if (!open.empty()) open.pop_back();
    } else if (sym.n_scnum > 0 && (sym.n_sclass == C_EXT || sym.n_sclass == C_STAT || sym.n_sclass == C_LABEL)) {
      Symbol s{};
      s.section = static_cast<uint16_t>(sym.n_scnum);
      s.address = sym.n_value;
      s.file = open.empty() ? 0 : open.back();
      s.isLong = isLong;
      s.isStatic = sym.n_sclass != C_EXT;
      s.isFunction = isFcn(sym);
      if (isLong) {
        s.longName = static_cast<uint32_t>(listing.longNames.size());
        listing.longNames.push_back(longName);
      } else {
        std::memcpy(s.text, sym.n_name, sizeof s.text);
        s.length = static_cast<uint8_t>(shortName(sym).size());
      }
      listing.symbols.push_back(s);
    }
    i = std::max(next, i + 1);
  }
}

// Equal addresses may come in any order; keeping the section order makes the
// listing the same from run to run.
std::vector<uint32_t> byAddress(const std::vector<Section>& sections) {
  std::vector<uint64_t> keys;
  keys.reserve(sections.size());
  for (size_t k = 0; k < sections.size(); ++k) keys.push_back(uint64_t{sections[k].hdr->s_paddr} << 32 | k);
  std::sort(keys.begin(), keys.end());
  std::vector<uint32_t> order;
  order.reserve(keys.size());
  for (uint64_t key : keys) order.push_back(static_cast<uint32_t>(key));
  return order;
}

SectionInfo sectionInfo(const Section& s) {
  const scnhdr& h = *s.hdr;
  return SectionInfo(*s.name, h.s_paddr, h.s_size, SectionInfo::locationOf(s.type), s.type, Coff::isAbs(h),
                     Coff::isShared(h), Coff::isAccess(h));
}

SymbolInfo symbolInfo(const Symbol& s, SectionInfo::Location location, const Sorted& listing) {
  return SymbolInfo(std::string(listing.name(s)), s.address, location,
                    s.isStatic ? SymbolInfo::staticClass : SymbolInfo::externClass,
                    s.isFunction ? SymbolInfo::function : SymbolInfo::variable, std::string(listing.files[s.file]));
}

// Room for a row's fixed columns: separators, the line break, and every
// number and keyword at its widest.
constexpr size_t rowSlack = 128;

void sectionRow(MapText& out, std::string_view name, std::string_view type, std::string_view address,
                std::string_view location, std::string_view size) {
  MapRow r = out.row(name.size() + type.size() + address.size() + location.size() + size.size() + rowSlack);
  r.right<25>(name).put(' ').right<10>(type).put(' ').right<10>(address).put(' ').right<10>(location).put(' ');
  r.right<10>(size).put('\n');
  out.add(r);
}

void sectionRow(MapText& out, std::string_view name, Coff::ScnType type, const scnhdr& h, std::string_view location) {
  MapRow r = out.row(name.size() + rowSlack);
  r.right<25>(name).put(' ').right<10>(Coff::scnTypeName(type)).put(' ').hex<10>(h.s_paddr).put(' ');
  r.right<10>(location).put(' ').hex<10>(h.s_size).put('\n');
  out.add(r);
}

void listSections(MapText& out, const Listing& listing, const std::vector<uint32_t>& prog,
                  const std::vector<uint32_t>& data, bool debug) {
  if (debug) {
    for (uint32_t k : prog) sectionInfo(listing.progSections[k]).print(std::cout);
    for (uint32_t k : data) sectionInfo(listing.dataSections[k]).print(std::cout);
  }
  out.put("\n                                 Section Info\n");
  sectionRow(out, "Section", "Type", "Address", "Location", "Size(Bytes)");
  sectionRow(out, rule, rule, rule, rule, rule);
  for (uint32_t k : prog) {
    const Section& s = listing.progSections[k];
    sectionRow(out, *s.name, s.type, *s.hdr, "program");
  }
  for (uint32_t k : data) {
    const Section& s = listing.dataSections[k];
    const std::string_view name = s.type == Coff::actrec ? baseName(*s.name) : std::string_view(*s.name);
    sectionRow(out, name, s.type, *s.hdr, "data");
  }
  out.put("\n\n");
}

void usageRow(MapText& out, std::string_view start, std::string_view end) {
  MapRow r = out.row(start.size() + end.size() + rowSlack);
  r.spaces<26>().right<10>(start).put("  ").right<10>(end).put("      \n");
  out.add(r);
}

void usageRow(MapText& out, uint64_t start, uint64_t end) {
  MapRow r = out.row(rowSlack);
  r.spaces<26>().hex<10>(start).put("  ").hex<10>(end).put("      \n");
  out.add(r);
}

void listUsage(MapText& out, const Listing& listing, const std::vector<uint32_t>& prog, uint64_t bytesPerLocation,
               uint64_t progMemSize) {
  out.put("\n                              Program Memory Usage \n");
  usageRow(out, "Start", "End");
  usageRow(out, rule, rule);
  // Counted wide: a fill section of a large device easily holds more than
  // 65535 locations.
  uint64_t used = 0;
  bool open = false;
  uint64_t rangeStart = 0;
  uint64_t rangeEnd = 0;
  for (uint32_t k : prog) {
    const scnhdr& h = *listing.progSections[k].hdr;
    const uint64_t count = (uint64_t{h.s_size} + bytesPerLocation - 1) / bytesPerLocation;
    if (count == 0) continue;
    used += count;
    if (open && h.s_paddr == rangeEnd + 1) {
      rangeEnd += count;
      continue;
    }
    if (open) usageRow(out, rangeStart, rangeEnd);
    open = true;
    rangeStart = h.s_paddr;
    rangeEnd = rangeStart + count - 1;
  }
  if (open) usageRow(out, rangeStart, rangeEnd);

  const uint64_t percent = (progMemSize == 0 || used >= progMemSize) ? 100 : used * 100 / progMemSize;
  out.put("            ").decimal(used).put(" out of ").decimal(progMemSize);
  out.put(" program addresses used, program memory utilization is ").decimal(percent).put("%\n\n\n");
}

// Least significant byte first, each pass stable, so the result is in key
// order and equal keys stay in the order they came in. The byte counts do not
// depend on the order, so one reading gives those of every pass; a pass whose
// byte is the same everywhere changes nothing and is skipped.
template <unsigned Bytes, class Item, class Key>
void radixSort(std::vector<Item>& items, Key key) {
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
uint64_t namePrefix(const Sorted& listing, const Symbol& s) {
  if (s.isLong) return leadingBytes(listing.longNames[s.longName]);
  const uint64_t key = bigEndian(s.text);
  // Bytes after the name's end may be anything the file held.
  const size_t length = s.length;
  return length >= 8 ? key : length == 0 ? 0 : key & ~(~uint64_t{0} >> (8 * length));
}

std::vector<uint32_t> sortByName(const Sorted& listing, const std::vector<Symbol>& symbols) {
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

// Address order starting from the name order, as sorting the name-ordered
// list again with a stable sort would leave it.
void sortByAddress(const std::vector<Symbol>& symbols, std::vector<uint32_t>& order) {
  radixSort<4>(order, [&symbols](uint32_t k) { return uint64_t{symbols[k].address}; });
}

// The columns between the address and the file are the same in most rows:
// put together once, they are copied whole.
struct SymbolColumns {
  static constexpr size_t width = 23;
  // By isStatic.
  char text[2][width];

  explicit SymbolColumns(std::string_view location) {
    for (int isStatic = 0; isStatic < 2; ++isStatic) {
      MapRow r(text[isStatic]);
      r.put(' ').right<10>(location).put(' ').right<10>(isStatic != 0 ? "static" : "extern").put(' ');
    }
  }
};

// The rows of one memory's symbols, in the order given for all.
void symbolRows(MapText& out, const Listing& listing, const std::vector<uint32_t>& order, bool data) {
  const Sorted& sorted = *listing.symbols;
  const SymbolColumns columns(data ? "data" : "program");
  for (uint32_t k : order) {
    const Symbol& s = sorted.symbols[k];
    if (listing.inData(s) != data) continue;
    const std::string_view file = sorted.files[s.file];
    const std::string_view name = sorted.name(s);
    MapRow r = out.row(name.size() + file.size() + rowSlack);
    r.right<25>(name).put(' ').hex<10>(s.address).copy<SymbolColumns::width>(columns.text[s.isStatic]);
    r.left<25>(file).put('\n');
    out.add(r);
  }
}

void listSymbols(MapText& out, const Listing& listing, const std::vector<uint32_t>& order, std::string_view title,
                 bool debug) {
  const Sorted& sorted = *listing.symbols;
  if (debug) {
    for (const bool data : {false, true})
      for (uint32_t k : order)
        if (listing.inData(sorted.symbols[k]) == data)
          symbolInfo(sorted.symbols[k], data ? SectionInfo::data : SectionInfo::program, sorted).print(std::cout);
  }
  out.put("\n                              Symbols - Sorted by ").put(title).put("\n");
  out.put("                     Name    Address   Location    Storage File                     \n");
  out.put("                ---------  ---------  ---------  --------- ---------                \n");
  symbolRows(out, listing, order, false);
  symbolRows(out, listing, order, true);
  out.put("\n\n");
}

void listAll(MapText& out, const Coff& output, uint64_t progMemSize, std::string_view created,
             const MapFile::Symbols& symbols) {
  const bool debug = static_cast<bool>(Debug("MapFile::write"));
  Listing listing;
  collectSections(output, listing);
  listing.symbols = &symbols.sorted();

  out.put(Version::linker()).put("\nLinker Map File - Created ").put(created);
  const std::vector<uint32_t> progSections = byAddress(listing.progSections);
  const std::vector<uint32_t> dataSections = byAddress(listing.dataSections);
  listSections(out, listing, progSections, dataSections, debug);
  listUsage(out, listing, progSections, programBytesPerLocation(output), progMemSize);

  listSymbols(out, listing, listing.symbols->byName, "Name", debug);
  listSymbols(out, listing, listing.symbols->byAddress, "Address", debug);
}

}  // namespace

MapFile::Symbols::Symbols(const Coff& output) : cSorted(std::make_unique<Sorted>()) {
  Sorted& sorted = *cSorted;
  collectSymbols(output, sorted);
  sorted.byName = sortByName(sorted, sorted.symbols);
  sorted.byAddress = sorted.byName;
  sortByAddress(sorted.symbols, sorted.byAddress);
}

MapFile::Symbols::~Symbols() = default;

std::string MapFile::strType(Coff::ScnType type) { return Coff::scnTypeName(type); }

std::string MapFile::strLocation(SectionInfo::Location location) {
  return location == SectionInfo::data ? "data" : "program";
}

std::string MapFile::strStorageClass(SymbolInfo::StorageClass storageClass) {
  return storageClass == SymbolInfo::externClass ? "extern" : "static";
}

std::string MapFile::strKind(SymbolInfo::Kind kind) { return kind == SymbolInfo::function ? "function" : "variable"; }

void MapFile::list(std::ostream& os, const Coff& output, uint64_t progMemSize, const std::string& created) {
  MapText out(os);
  listAll(out, output, progMemSize, created, Symbols(output));
  out.flush();
}

void MapFile::Pending::open() {
  cOpened = cFile.open();
  cCreated = outputTimeText();
}

void MapFile::Pending::list(const Coff& output, uint64_t progMemSize, const Symbols* symbols) {
  if (!cOpened) return;
  MapText out(cFile);
  std::optional<Symbols> gathered;
  if (symbols == nullptr) symbols = &gathered.emplace(output);
  listAll(out, output, progMemSize, cCreated, *symbols);
  cWritten = out.flush();
}

bool MapFile::Pending::ready() {
  const std::string where = "MapFile::write()";
  if (!cOpened) {
    Error::report(Error::error, where, cFile.withReason("Could not open map file '" + cName + "' for writing."), false);
    return false;
  }
  if (!cWritten) {
    Error::report(Error::error, where, cFile.withReason(writeFailure()), false);
    cFile.discard();
    return false;
  }
  return true;
}

}  // namespace tarsil
