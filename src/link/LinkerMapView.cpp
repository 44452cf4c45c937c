// SPDX-License-Identifier: Apache-2.0
// What the JSON map and its page show, gathered from the link: the one
// place that knows both the link's records and the view the writers read.
#include "map/MapView.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "device/Processor.h"
#include "link/Passes.h"
#include "support/NameHash.h"
#include "support/NameIndex.h"
#include "support/TimeStamp.h"

namespace tarsil {

namespace {

using IndexByName = NameIndex<uint32_t>;

// Which input's symbol table holds a symbol, by where the tables lie.
class SymbolOwners {
public:
  explicit SymbolOwners(const LinkContext& linker) {
    for (size_t c = 0; c < linker.cCoff.size(); ++c) {
      const auto& table = linker.cCoff[c]->cSymTbl;
      if (!table.empty()) cTables.push_back({table.data(), table.data() + table.size(), static_cast<uint32_t>(c)});
    }
    std::sort(cTables.begin(), cTables.end(), [](const Table& a, const Table& b) { return a.begin < b.begin; });
  }
  uint32_t of(const syment* s) const {
    auto it = std::upper_bound(cTables.begin(), cTables.end(), s,
                               [](const syment* p, const Table& t) { return std::less<>()(p, t.begin); });
    if (it == cTables.begin()) return MapView::kNone;
    --it;
    return std::less<>()(s, it->end) ? it->input : MapView::kNone;
  }

private:
  struct Table {
    const syment* begin;
    const syment* end;
    uint32_t input;
  };
  std::vector<Table> cTables;
};

// A name in the symbol itself or in its input's string table.
std::string_view symbolName(const syment& s, const StringTable& strTbl) {
  if (!Coff::needsString(s)) return MapSymbols::shortName(s);
  return Coff::nameView(s, strTbl).value_or(std::string_view());
}

void gatherDevice(const LinkContext& linker, MapView& view) {
  MapView::Device& d = view.device;
  const opthdr& o = linker.cOutput.cOptHdr;
  d.code = o.proc_type & 0xFFFF;
  d.name = findDvsProcName(d.code);
  d.family = linker.cInstSet != 0 ? getInstSetName(linker.cInstSet) : "";
  d.programBits = o.rom_width_bits;
  d.dataBits = o.ram_width_bits;
  d.programBytesPerLocation = programBytesPerLocation(linker.cOutput);
}

void gatherMemories(std::span<const MemoryUse> memories, MapView& view) {
  for (const MemoryUse& use : memories) {
    const Memory& m = *use.memory;
    MapView::Memory out{m.getName(), use.kind, m.type() == rom, m.getPhysicalStart(), m.getPhysicalEnd(),
                        m.isProtected(), m.hasFill(), m.getFill(), use.used, use.filled, {}};
    for (const Range& hole : m.getHoles()) out.holes.push_back({hole.getStart(), hole.getLocations()});
    std::sort(out.holes.begin(), out.holes.end(),
              [](const MapView::Stretch& a, const MapView::Stretch& b) { return a.start < b.start; });
    view.memories.push_back(std::move(out));
  }
}

void gatherInputs(const LinkContext& linker, MapView& view) {
  view.inputs.reserve(linker.cCoff.size());
  for (size_t c = 0; c < linker.cCoff.size(); ++c)
    view.inputs.push_back({linker.cCoff[c]->cFileName,
                           c < linker.cMemberOf.size() ? std::string_view(linker.cMemberOf[c]) : ""});
}

// Which memory holds a location, by address: the memories of one space
// never overlap.
class MemoryFinder {
public:
  explicit MemoryFinder(const MapView& view) {
    for (uint32_t m = 0; m < view.memories.size(); ++m) {
      const MapView::Memory& memory = view.memories[m];
      cSpans[memory.program].push_back({memory.start, memory.end, m});
    }
    for (auto& spans : cSpans)
      std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
  }
  uint32_t find(bool program, uint32_t address) const {
    const std::vector<Span>& spans = cSpans[program];
    auto it = std::upper_bound(spans.begin(), spans.end(), address,
                               [](uint32_t a, const Span& s) { return a < s.start; });
    if (it == spans.begin() || address > std::prev(it)->end) return MapView::kNone;
    return std::prev(it)->index;
  }

private:
  struct Span {
    uint32_t start;
    uint32_t end;
    uint32_t index;
  };
  std::vector<Span> cSpans[2];
};

// The input a piece came from, by the file name loading gave it. Pieces
// mostly come in input order: the input after the last one found is tried
// before the names are hashed.
class InputFinder {
public:
  explicit InputFinder(const MapView& view) : cInputs(view.inputs) {}
  uint32_t find(std::string_view file) {
    if (cNext < cInputs.size() && cInputs[cNext].file == file) return cNext++;
    if (cByName.size() == 0) {
      cByName.reserve(cInputs.size());
      // A name finds the first input of that name, as loading does.
      for (uint32_t c = 0; c < cInputs.size(); ++c) cByName.emplace(cInputs[c].file, c);
    }
    const uint32_t* found = cByName.find(file);
    if (found == nullptr) return MapView::kNone;
    cNext = *found + 1;
    return *found;
  }

private:
  const std::vector<MapView::Input>& cInputs;
  IndexByName cByName;
  uint32_t cNext = 0;
};

void gatherPieces(const Range& range, std::string_view name, unsigned perLocation, InputFinder& inputs,
                  MapView::Section& out, std::vector<MapView::Piece>& pieces) {
  const uint32_t record = range.getActRecs().empty() ? 0 : range.recordOffset(std::string(name));
  out.firstPiece = static_cast<uint32_t>(pieces.size());
  out.pieceCount = static_cast<uint32_t>(range.pieceCount());
  for (size_t i = 0; i < range.pieceCount(); ++i) {
    const Range::Piece& p = range.piece(i);
    pieces.push_back({inputs.find(p.file), p.start + record, uint64_t{p.start - range.getStart()} * perLocation,
                      p.size});
  }
}

void gatherSections(std::span<const SectionUse> sections, std::span<const MemoryUse> memories, MapView& view) {
  const MemoryFinder finder(view);
  InputFinder inputs(view);
  view.sections.reserve(sections.size());
  for (const SectionUse& s : sections) {
    const scnhdr& h = *s.header;
    const bool program = inProgramMemory(s.use);
    const uint32_t memory = finder.find(program, s.start);
    MapView::Section out{s.name, s.use, memory, s.start, s.locations, s.bytes, Coff::isAbs(h),
                         Coff::isShared(h), Coff::isAccess(h), Coff::isOverlay(h)};
    // The linker's own sections are placed but have no pieces; fill is not
    // placed at all.
    if (memory != MapView::kNone && s.use != UsageClass::fill)
      if (const Range* range = memories[memory].memory->findAllocated(std::string(s.name)))
        gatherPieces(*range, s.name, program ? view.device.programBytesPerLocation : 1, inputs, out, view.pieces);
    view.sections.push_back(std::move(out));
  }
}

// The symbols are the text map's: the view only says which section and
// source file of its own each refers to. Source files are told apart by
// name, each listed once.
void gatherSymbols(const MapSymbols& symbols, std::span<const SectionUse> sections, MapView& view) {
  view.symbols = &symbols;
  // Symbols carry 16-bit section numbers.
  auto symbolsCanName = [](int number) { return number > 0 && number <= INT16_MAX; };
  int highest = 0;
  for (const SectionUse& s : sections)
    if (symbolsCanName(s.number)) highest = std::max(highest, s.number);
  view.sectionOfNumber.assign(static_cast<size_t>(highest) + 1, MapView::kNone);
  for (uint32_t s = 0; s < sections.size(); ++s)
    if (symbolsCanName(sections[s].number)) view.sectionOfNumber[static_cast<size_t>(sections[s].number)] = s;
  const std::vector<std::string_view>& files = symbols.files();
  IndexByName fileIndex(files.size());
  view.sourceOfFile.reserve(files.size());
  view.sourceOfFile.push_back(MapView::kNone);
  for (size_t f = 1; f < files.size(); ++f) {
    auto [index, added] = fileIndex.emplace(files[f], static_cast<uint32_t>(view.sourceFiles.size()));
    if (added) view.sourceFiles.push_back(files[f]);
    view.sourceOfFile.push_back(*index);
  }
}

// The shared ranges of the records, once each (every record of a range is
// placed under a copy of it), and each function's record and range.
void gatherGroups(std::span<const MemoryUse> uses, MapView& view) {
  IndexByName sections;
  for (uint32_t s = 0; s < view.sections.size(); ++s)
    if (view.sections[s].use == UsageClass::actrec) sections.emplace(view.sections[s].name, s);
  if (sections.size() == 0) return;
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> groupAt;  // (memory, address)
  std::unordered_map<uint32_t, uint32_t> groupOf;             // record section
  for (uint32_t m = 0; m < uses.size(); ++m) {
    uses[m].memory->forEachAllocated([&](std::string_view, const Range& range) {
      const auto& records = range.getActRecs();
      if (records.empty()) return;
      auto [at, added] = groupAt.try_emplace({m, range.getStart()}, static_cast<uint32_t>(view.groups.size()));
      if (!added) return;
      MapView::RecordGroup group{m, range.getStart(), range.getLocations(), {}};
      for (const auto& [name, offset] : records) {
        const uint32_t* section = sections.find(name);
        if (section == nullptr) continue;
        group.records.emplace_back(*section, offset);
        groupOf.emplace(*section, at->second);
      }
      view.groups.push_back(std::move(group));
    });
  }
  for (MapView::Function& f : view.functions) {
    const uint32_t* section = sections.find(f.recordName);
    if (section == nullptr) continue;
    f.record = *section;
    if (auto group = groupOf.find(f.record); group != groupOf.end()) f.group = group->second;
  }
}

// The section of a function's activation record, from its function record;
// empty when it has none.
std::string_view recordOf(const Coff& coff, const syment* s) {
  const size_t i = static_cast<size_t>(s - coff.cSymTbl.data());
  if (i + 1 >= coff.cSymTbl.size() || i + 1 >= coff.cSymKind.size() || s->n_numaux == 0) return {};
  if (auxRecord(*s, coff.cSymKind[i + 1]) != AuxKind::fcn) return {};
  const int16_t number = getAux<aux_fcn>(coff.cSymTbl[i + 1]).x_actscnum;
  auto section = coff.cScnNum.find(number);
  return number == 0 || section == coff.cScnNum.end() ? std::string_view() : std::string_view(section->second);
}

}  // namespace

void captureCallGraph(const LinkContext& ctx, MapView& view) {
  const LinkContext::CallGraph& graph = ctx.cCallGraph;
  if (graph.empty()) return;
  const SymbolOwners owners(ctx);
  std::map<const syment*, uint32_t> interrupt;
  for (const LinkContext::Func& f : ctx.cFuncs) interrupt[f.cSym] = f.cInterrupt;

  std::unordered_map<const syment*, uint32_t> index;
  for (const syment* s : graph.cNodes) {
    if (s == nullptr) continue;
    const uint32_t input = owners.of(s);
    MapView::Function f;
    if (input != MapView::kNone) {
      f.name = symbolName(*s, ctx.cCoff[input]->cStrTbl);
      f.recordName = recordOf(*ctx.cCoff[input], s);
    }
    f.input = input;
    if (auto i = interrupt.find(s); i != interrupt.end()) f.interrupt = i->second;
    index.emplace(s, static_cast<uint32_t>(view.functions.size()));
    view.functions.push_back(std::move(f));
  }
  for (const syment* s : graph.cNodes) {
    if (s == nullptr) continue;
    MapView::Function& f = view.functions[index[s]];
    for (const syment* callee : graph.calleesOf(s))
      if (auto it = index.find(callee); it != index.end()) f.calls.push_back(it->second);
  }
}

void gatherMapView(const LinkContext& ctx, MapView& view, const MapSymbols& symbols) {
  view.output = ctx.cConfig.cOutputFile;
  view.created = outputTimeStamp();
  gatherDevice(ctx, view);
  const std::vector<SectionUse> uses = sectionUses(ctx.cOutput);
  const std::vector<MemoryUse> memories = memoryUses(ctx.memories(), uses);
  gatherMemories(memories, view);
  gatherInputs(ctx, view);
  gatherSections(uses, memories, view);
  gatherSymbols(symbols, uses, view);
  gatherGroups(memories, view);
}

}  // namespace tarsil
