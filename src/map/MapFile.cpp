#include "map/MapFile.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <sstream>
#include <vector>

#include "device/Processor.h"
#include "support/AtomicFile.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/Strings.h"
#include "support/Version.h"

namespace tarsil {

namespace {

// printf's "%*s" and "%-*s": padded, never cut, so a long name pushes the rest
// of its row along instead of losing characters.
std::string right(const std::string& text, size_t width) {
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

// A row is put together in one buffer and written at once: the symbol
// listings have two rows per symbol, and a temporary string per column
// cost more than everything else the map does.
void column(std::string& row, const std::string& text, size_t width, bool alignRight) {
  const size_t fill = text.size() < width ? width - text.size() : 0;
  if (alignRight) row.append(fill, ' ');
  row += text;
  if (!alignRight) row.append(fill, ' ');
}

void row(std::ostream& os, const std::string& a, const std::string& b, const std::string& c, const std::string& d,
         const std::string& e, bool lastRight) {
  std::string line;
  line.reserve(96);
  column(line, a, 25, true);
  line += ' ';
  column(line, b, 10, true);
  line += ' ';
  column(line, c, 10, true);
  line += ' ';
  column(line, d, 10, true);
  line += ' ';
  column(line, e, lastRight ? 10 : 25, lastRight);
  line += '\n';
  os.write(line.data(), static_cast<std::streamsize>(line.size()));
}

void sectionRow(std::ostream& os, const std::string& a, const std::string& b, const std::string& c,
                const std::string& d, const std::string& e) {
  row(os, a, b, c, d, e, true);
}

void symbolRow(std::ostream& os, const std::string& a, const std::string& b, const std::string& c,
               const std::string& d, const std::string& e) {
  row(os, a, b, c, d, e, false);
}

void usageRow(std::ostream& os, const std::string& start, const std::string& end) {
  os << std::string(26, ' ') << right(start, 10) << "  " << right(end, 10) << "      \n";
}

const std::string rule = "---------";

// Activation records are named after their function's source path; only the
// last component is worth a column.
std::string baseName(const std::string& name) {
  size_t cut = name.rfind('\\');
  if (cut == std::string::npos) cut = name.rfind('/');
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

unsigned long bytesPerProgramLocation(const opthdr& h) {
  int procType = convertDvsProcType(h.proc_type);
  unsigned long bits = procType != noSuchProcType ? getRomWidth(procType) : h.rom_width_bits;
  unsigned long bytes = (bits + 7) / 8;
  return bytes == 0 ? 1 : bytes;
}

struct Listing {
  std::vector<SectionInfo> progSections;
  std::vector<SectionInfo> dataSections;
  std::vector<SymbolInfo> progSymbols;
  std::vector<SymbolInfo> dataSymbols;
};

void collectSections(const Coff& output, Listing& listing) {
  for (const auto& [number, name] : output.cScnNum) {
    auto hdr = output.cScnHdr.find(name);
    if (hdr == output.cScnHdr.end()) continue;
    const scnhdr& h = hdr->second;
    Coff::ScnType type = Coff::getScnType(h);
    SectionInfo info(name, h.s_paddr, h.s_size, SectionInfo::locationOf(type), type, Coff::isAbs(h),
                     Coff::isShared(h), Coff::isAccess(h));
    (info.getLocation() == SectionInfo::data ? listing.dataSections : listing.progSections).push_back(info);
  }
}

void collectSymbols(const Coff& output, Listing& listing) {
  const auto& table = output.cSymTbl;
  const bool kindsKnown = output.cSymKind.size() == table.size();
  std::vector<std::string> files;
  size_t i = 0;
  while (i < table.size()) {
    const syment& sym = table[i];
    const std::string name = Coff::findName(sym, output.cStrTbl).value_or("");
    size_t next = i + 1;
    if (kindsKnown) {
      while (next < table.size() && output.cSymKind[next] != AuxKind::none) ++next;
    } else {
      next += sym.n_numaux;
    }
    const bool hasAuxSlot = next > i + 1 && i + 1 < table.size();

    if (name == ".file") {
      // A file without its name still opens a scope, so that its ".eof"
      // closes the right one.
      std::string file;
      if (hasAuxSlot) file = Coff::findName(getAux<aux_file>(table[i + 1]), output.cStrTbl).value_or("");
      files.push_back(file);
    } else if (name == ".eof") {
      if (!files.empty()) files.pop_back();
    } else if (sym.n_scnum > 0 &&
               (sym.n_sclass == C_EXT || sym.n_sclass == C_STAT || sym.n_sclass == C_LABEL)) {
      SectionInfo::Location location = SectionInfo::program;
      auto scn = output.cScnNum.find(sym.n_scnum);
      if (scn != output.cScnNum.end()) {
        auto hdr = output.cScnHdr.find(scn->second);
        if (hdr != output.cScnHdr.end()) location = SectionInfo::locationOf(Coff::getScnType(hdr->second));
      }
      SymbolInfo info(name, sym.n_value, location,
                      sym.n_sclass == C_EXT ? SymbolInfo::externClass : SymbolInfo::staticClass,
                      isFcn(sym) ? SymbolInfo::function : SymbolInfo::variable, files.empty() ? "" : files.back());
      (location == SectionInfo::data ? listing.dataSymbols : listing.progSymbols).push_back(info);
    }
    i = std::max(next, i + 1);
  }
}

template <class Info>
void dump(const std::vector<Info>& list) {
  for (const Info& info : list) info.print(std::cout);
}

void listSections(std::ostream& os, Listing& listing, bool debug) {
  // Equal addresses may come in any order; keeping the section order makes
  // the listing the same from run to run.
  std::stable_sort(listing.progSections.begin(), listing.progSections.end(), sectioninfo_address_less);
  std::stable_sort(listing.dataSections.begin(), listing.dataSections.end(), sectioninfo_address_less);
  if (debug) {
    dump(listing.progSections);
    dump(listing.dataSections);
  }
  os << "\n                                 Section Info\n";
  sectionRow(os, "Section", "Type", "Address", "Location", "Size(Bytes)");
  sectionRow(os, rule, rule, rule, rule, rule);
  for (const SectionInfo& s : listing.progSections)
    sectionRow(os, s.getName(), MapFile::strType(s.getType()), hexPrint(s.getAddress(), 3),
               MapFile::strLocation(s.getLocation()), hexPrint(s.getSize(), 3));
  for (const SectionInfo& s : listing.dataSections) {
    const std::string name = s.getType() == Coff::actrec ? baseName(s.getName()) : s.getName();
    sectionRow(os, name, MapFile::strType(s.getType()), hexPrint(s.getAddress(), 3),
               MapFile::strLocation(s.getLocation()), hexPrint(s.getSize(), 3));
  }
  os << "\n\n";
}

void listUsage(std::ostream& os, const Listing& listing, unsigned long bytesPerLocation,
               unsigned long progMemSize) {
  os << "\n                              Program Memory Usage \n";
  usageRow(os, "Start", "End");
  usageRow(os, rule, rule);
  // Counted wide: a fill section of a large device easily holds more than
  // 65535 locations.
  uint64_t used = 0;
  bool open = false;
  uint64_t rangeStart = 0;
  uint64_t rangeEnd = 0;
  for (const SectionInfo& s : listing.progSections) {
    const uint64_t count = (uint64_t{s.getSize()} + bytesPerLocation - 1) / bytesPerLocation;
    if (count == 0) continue;
    used += count;
    if (open && s.getAddress() == rangeEnd + 1) {
      rangeEnd += count;
      continue;
    }
    if (open) usageRow(os, hexPrint(static_cast<unsigned long>(rangeStart), 3),
                       hexPrint(static_cast<unsigned long>(rangeEnd), 3));
    open = true;
    rangeStart = s.getAddress();
    rangeEnd = rangeStart + count - 1;
  }
  if (open)
    usageRow(os, hexPrint(static_cast<unsigned long>(rangeStart), 3),
             hexPrint(static_cast<unsigned long>(rangeEnd), 3));

  const uint64_t percent = (progMemSize == 0 || used >= progMemSize) ? 100 : used * 100 / progMemSize;
  os << "            " << used << " out of " << progMemSize
     << " program addresses used, program memory utilization is " << percent << "%\n";
  os << "\n\n";
}

// Sorted through pointers: moving the records themselves, names and all,
// cost more than the comparisons. The second sort starts from the order the
// first one left, as sorting the records in place would.
void listSymbols(std::ostream& os, std::vector<const SymbolInfo*>& prog, std::vector<const SymbolInfo*>& data,
                 const char* title, bool (*less)(const SymbolInfo&, const SymbolInfo&), bool debug) {
  auto byPointer = [less](const SymbolInfo* a, const SymbolInfo* b) { return less(*a, *b); };
  std::stable_sort(prog.begin(), prog.end(), byPointer);
  std::stable_sort(data.begin(), data.end(), byPointer);
  if (debug)
    for (const auto* list : {&prog, &data})
      for (const SymbolInfo* s : *list) s->print(std::cout);
  os << "\n                              Symbols - Sorted by " << title << '\n';
  symbolRow(os, "Name", "Address", "Location", "Storage", "File");
  symbolRow(os, rule, rule, rule, rule, rule);
  for (const auto* list : {&prog, &data})
    for (const SymbolInfo* s : *list)
      symbolRow(os, s->getName(), hexPrint(s->getAddress(), 3), MapFile::strLocation(s->getLocation()),
                MapFile::strStorageClass(s->getStorageClass()), s->getFile());
  os << "\n\n";
}

std::vector<const SymbolInfo*> pointersTo(const std::vector<SymbolInfo>& list) {
  std::vector<const SymbolInfo*> pointers;
  pointers.reserve(list.size());
  for (const SymbolInfo& s : list) pointers.push_back(&s);
  return pointers;
}

// The listing replaces the map only once it is whole, so an interrupted or
// failed write never leaves a partial map under the map's name.
bool replaceFile(const std::string& name, const std::string& text) {
  const std::string where = "MapFile::write()";
  AtomicFile file(name);
  if (!file.open()) {
    Error::report(Error::error, where, "Could not open map file '" + name + "' for writing.", false);
    return false;
  }
  if (!file.write(text) || !file.commit()) {
    Error::report(Error::error, where, "Could not write map file '" + name + "'.", false);
    return false;
  }
  return true;
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

void MapFile::list(std::ostream& os, const Coff& output, unsigned long progMemSize, const std::string& created) {
  const bool debug = static_cast<bool>(Debug("MapFile::write"));
  Listing listing;
  collectSections(output, listing);
  collectSymbols(output, listing);

  os << Version::linker() << "\nLinker Map File - Created " << created;
  listSections(os, listing, debug);
  listUsage(os, listing, bytesPerProgramLocation(output.cOptHdr), progMemSize);
  std::vector<const SymbolInfo*> prog = pointersTo(listing.progSymbols);
  std::vector<const SymbolInfo*> data = pointersTo(listing.dataSymbols);
  listSymbols(os, prog, data, "Name", symbolinfo_name_less, debug);
  listSymbols(os, prog, data, "Address", symbolinfo_address_less, debug);
}

bool MapFile::write(const std::string& name, const Coff& output, unsigned long progMemSize) {
  std::time_t now = std::time(nullptr);
  const char* created = std::ctime(&now);
  std::ostringstream text;
  list(text, output, progMemSize, created != nullptr ? created : "\n");
  return replaceFile(name, text.str());
}

}  // namespace tarsil
