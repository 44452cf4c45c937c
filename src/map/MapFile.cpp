// SPDX-License-Identifier: Apache-2.0
#include "map/MapFile.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <string_view>
#include <vector>

#include "map/MapSymbols.h"
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

struct Section {
  const std::string* name;
  const scnhdr* hdr;
  Coff::ScnType type;
};

using Symbol = MapSymbols::Symbol;

struct Listing {
  bool inData(const Symbol& s) const {
    return s.section < dataSectionNumbers.size() && dataSectionNumbers[s.section] != 0;
  }

  std::vector<Section> progSections;
  std::vector<Section> dataSections;
  // By section number: 1 for the numbers of data-memory sections. Symbols of
  // numbers the output does not know count as program symbols.
  std::vector<uint8_t> dataSectionNumbers;
  const MapSymbols* symbols = nullptr;
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

SymbolInfo symbolInfo(const Symbol& s, SectionInfo::Location location, const MapSymbols& listing) {
  return SymbolInfo(std::string(listing.name(s)), s.address, location,
                    s.isStatic ? SymbolInfo::staticClass : SymbolInfo::externClass,
                    s.isFunction ? SymbolInfo::function : SymbolInfo::variable, std::string(listing.files()[s.file]));
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
  const MapSymbols& sorted = *listing.symbols;
  const SymbolColumns columns(data ? "data" : "program");
  for (uint32_t k : order) {
    const Symbol& s = sorted.symbols()[k];
    if (listing.inData(s) != data) continue;
    const std::string_view file = sorted.files()[s.file];
    const std::string_view name = sorted.name(s);
    MapRow r = out.row(name.size() + file.size() + rowSlack);
    r.right<25>(name).put(' ').hex<10>(s.address).copy<SymbolColumns::width>(columns.text[s.isStatic]);
    r.left<25>(file).put('\n');
    out.add(r);
  }
}

void listSymbols(MapText& out, const Listing& listing, const std::vector<uint32_t>& order, std::string_view title,
                 bool debug) {
  const MapSymbols& sorted = *listing.symbols;
  if (debug) {
    for (const bool data : {false, true})
      for (uint32_t k : order)
        if (listing.inData(sorted.symbols()[k]) == data)
          symbolInfo(sorted.symbols()[k], data ? SectionInfo::data : SectionInfo::program, sorted).print(std::cout);
  }
  out.put("\n                              Symbols - Sorted by ").put(title).put("\n");
  out.put("                     Name    Address   Location    Storage File                     \n");
  out.put("                ---------  ---------  ---------  --------- ---------                \n");
  symbolRows(out, listing, order, false);
  symbolRows(out, listing, order, true);
  out.put("\n\n");
}

void listAll(MapText& out, const Coff& output, uint64_t progMemSize, std::string_view created,
             const MapSymbols& symbols) {
  const bool debug = static_cast<bool>(Debug("MapFile::write"));
  Listing listing;
  collectSections(output, listing);
  listing.symbols = &symbols;

  out.put(Version::linker()).put("\nLinker Map File - Created ").put(created);
  const std::vector<uint32_t> progSections = byAddress(listing.progSections);
  const std::vector<uint32_t> dataSections = byAddress(listing.dataSections);
  listSections(out, listing, progSections, dataSections, debug);
  listUsage(out, listing, progSections, programBytesPerLocation(output), progMemSize);

  listSymbols(out, listing, listing.symbols->byName(), "Name", debug);
  listSymbols(out, listing, listing.symbols->byAddress(), "Address", debug);
}

}  // namespace

std::string MapFile::strType(Coff::ScnType type) { return Coff::scnTypeName(type); }

std::string MapFile::strLocation(SectionInfo::Location location) {
  return location == SectionInfo::data ? "data" : "program";
}

std::string MapFile::strStorageClass(SymbolInfo::StorageClass storageClass) {
  return storageClass == SymbolInfo::externClass ? "extern" : "static";
}

std::string MapFile::strKind(SymbolInfo::Kind kind) { return kind == SymbolInfo::function ? "function" : "variable"; }

void MapFile::Pending::open() {
  cOpened = cFile.open();
  cCreated = outputTimeText();
}

void MapFile::Pending::list(const Coff& output, uint64_t progMemSize, MapSymbols* symbols) {
  if (!cOpened) return;
  MapText out(cFile);
  std::optional<MapSymbols> gathered;
  if (symbols == nullptr) symbols = &gathered.emplace(output);
  symbols->sort();
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
