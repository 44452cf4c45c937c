// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <iosfwd>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "coff/Archive.h"
#include "coff/Coff.h"
#include "support/Data.h"
#include "support/FileIdentity.h"
#include "support/NodeArena.h"

#include "link/Config.h"
#include "link/MergedSections.h"
#include "link/SectionDesc.h"
#include "link/SymbolTables.h"
#include "map/MapFile.h"
#include "memory/Memory.h"

namespace tarsil {

class AtomicFile;
class CoffWriter;
struct MapView;
class MapViewFiles;
class Target;

// The state of one link and the stages that compute it: the Config it was
// made from, the inputs, the symbol tables, the merged sections, the
// memories and the executable being built. It lives for the whole run; only
// src/link/ and the tests that drive single stages see it.
struct LinkContext {
  explicit LinkContext(Config config);

  Config cConfig;
  // Every file the link reads, found where it is, each once: the command
  // files first, then the objects and libraries as found.
  FileSet cInputFiles;

  // Every file the link writes, in the order written, where each is written.
  std::vector<OutputName> outputs() const;

  void print(std::ostream& os) const;

  DeclaredMemories memories() const {
    return {cConfig.cCodePage, cConfig.cDataBanks, cConfig.cShareBanks, cConfig.cAccessBanks};
  }

  // Number of program addresses the command files declare.
  uint64_t calcProgMemSize() const;

  // Map files.
  void writeErrorMapFile();
  // What the JSON map and its page show, gathered while the link still holds
  // it; null when neither was asked for.
  std::shared_ptr<MapView> cMapView;

  // ---- Helpers of the stages, one block per stage file. ------------------

  // LinkerOverlays.cpp
  // One function defined in an input. Its name views the input's symbol or
  // string table, which outlive the graphs.
  struct Func {
    const syment* cSym = nullptr;
    std::string_view cName;
    bool cHasActRec = false;
    uint32_t cInterrupt = 0;  // 0: not a handler; otherwise its class
  };
  // The calls of the program over numbered nodes, flat: node v calls
  // cCallees[cStart[v], cStart[v + 1]), each set ascending and without
  // repeats. Nodes 0 to cFuncs.size() - 1 are the functions of cFuncs in
  // their order; then come the callees that are not among them (data
  // symbols, unresolved references, leaf functions left out of cFuncs).
  // Handler edges go through at most two shared nodes without a
  // symbol, one that calls every handler and one that calls every class-2
  // handler, so that a program with many handlers and many interruptible
  // functions costs one edge per function rather than one per pair.
  class CallGraph {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;
    size_t size() const { return cNodes.size(); }
    bool empty() const { return cNodes.empty(); }
    std::span<const uint32_t> callees(uint32_t v) const {
      return {cCallees.data() + cStart[v], cStart[v + 1] - cStart[v]};
    }
    // The node of `s`, or kNone.
    uint32_t find(const syment* s) const;
    // The symbols `f` calls, handlers reached through the shared nodes
    // included, in node order; empty for an unknown `f`.
    std::vector<const syment*> calleesOf(const syment* f) const;
    void swap(CallGraph& other) noexcept {
      cNodes.swap(other.cNodes);
      cStart.swap(other.cStart);
      cCallees.swap(other.cCallees);
      cBySymbol.swap(other.cBySymbol);
    }

    std::vector<const syment*> cNodes;  // null for the shared handler nodes
    std::vector<uint32_t> cStart;
    std::vector<uint32_t> cCallees;
    // (symbol, node) by symbol, for find.
    std::vector<std::pair<const syment*, uint32_t>> cBySymbol;
  };
  // Activation records to place, (section name, size in bytes), ordered by
  // size alone; equal sizes keep their insertion order.
  struct ActRecSizeLess {
    bool operator()(const std::pair<std::string, uint64_t>& a,
                    const std::pair<std::string, uint64_t>& b) const {
      return a.second < b.second;
    }
  };
  using ActRecSet = std::multiset<std::pair<std::string, uint64_t>, ActRecSizeLess>;
  // Which functions with records may run while another one is active: the
  // transitive closure of the call graph, kept as one bit row per function
  // with a record because the closure of a large program would not fit in
  // sets of pointers.
  class Interference {
  public:
    // True when `g` may run while `f` is active (f reaches g by calls). The
    // rows cover only functions that own records; any other pair is false.
    bool reaches(const syment* f, const syment* g) const;
    // Either reaches the other; a function the graph does not know is
    // assumed to interfere with everything.
    bool interferes(const syment* a, const syment* b) const;
    // The row of a function with a record, or UINT32_MAX.
    uint32_t row(const syment* f) const;
    void clear();
    void swap(Interference& other) noexcept {
      cRow.swap(other.cRow);
      cBits.swap(other.cBits);
      cConflict.swap(other.cConflict);
      std::swap(cWords, other.cWords);
    }

    // (function with a record, its row), ascending by symbol.
    std::vector<std::pair<const syment*, uint32_t>> cRow;
    std::vector<uint64_t> cBits;  // rows of cWords words each
    // The same rows made symmetric (either reaches the other), so that the
    // packing finds a record's conflicts with one pass over a row.
    std::vector<uint64_t> cConflict;
    size_t cWords = 0;
  };

  // Input order. Only the functions the graphs need: those with a record,
  // a call or an interrupt class, and "main"; with a graph listing asked
  // for, every function.
  std::vector<Func> cFuncs;
  CallGraph cCallGraph;
  Interference cInterferenceGraph;
  std::map<std::string, const syment*> cScnActRec;
  // Names of every node of the call graph, callees that are not functions
  // included, for the debug listings.
  std::map<const syment*, std::string> cCallNodeName;
  // Every function that owns a record, as (input, symbol index) in input
  // and symbol order; the call graph finds them on its way.
  std::vector<std::pair<size_t, size_t>> cRecordOwners;
  bool cRecordOwnersKnown = false;

  // LinkerAllocation.cpp
  std::map<std::string, uint64_t> cScnPlacementLength;
  mutable std::map<std::string, std::size_t> cSectionDescIndex;
  // Scratch of placeRelUnassigned, kept so that each section does not
  // allocate its own.
  std::vector<MemorySize> cCandidates;

  // Symbols name their section by a signed 16-bit number.
  static constexpr size_t kMaxSections = 32767;
  // The library each imported input came from, by position in cCoff; empty
  // for the objects of the command line.
  std::vector<std::string> cMemberOf;

  // LinkerRun.cpp
  // Calls fn(c) for each input c, side by side unless a debug channel is on
  // (its lines keep their order so); fn may change input c's records only.
  void forEachInput(const std::function<void(size_t)>& fn) const;
  // The same for work that can fail: fn(c, error) returns false with `error`
  // set. The outcome is that of going through the inputs in order: false
  // with the first failing input's error, inputs after it perhaps not done.
  bool forEachInputUntilFailure(const std::function<bool(size_t, std::string&)>& fn, std::string& error) const;

  // Output index of each input's first symbol slot, one per input of cCoff:
  // kept by position, since two inputs may carry the same file name.
  std::vector<uint32_t> cSymBase;
  // Fill sections made so far; the next one is named after the count.
  uint64_t cFillCount = 0;
  // The first fill that could not be made; the fill stage cannot fail by its
  // signature, so the run reports this after it.
  std::string cFillError;

  std::string cStackScnName = ".stack";

  // ---- Link state, filled by the stages in run order. -------------------

  // Inputs: object files in command order, then imported library members.
  std::vector<std::unique_ptr<Coff>> cCoff;
  std::vector<std::unique_ptr<Archive>> cArchive;
  int cProcType = 0;
  int cInstSet = 0;
  uint16_t cRomWidthBits = 0;
  uint16_t cRamWidthBits = 0;

  // Every section of every input, as the records the stages after the merge
  // walk: input by input, each input's in number order, input c's at
  // [cInputSectionBase[c], cInputSectionBase[c + 1]). Made with the merged
  // sections, which they point at.
  std::vector<InputSection> cInputSections;
  std::vector<size_t> cInputSectionBase;
  std::span<InputSection> sectionsOf(size_t c) {
    return {cInputSections.data() + cInputSectionBase[c], cInputSectionBase[c + 1] - cInputSectionBase[c]};
  }
  std::span<const InputSection> sectionsOf(size_t c) const {
    return {cInputSections.data() + cInputSectionBase[c], cInputSectionBase[c + 1] - cInputSectionBase[c]};
  }
  // Input c's section numbered `number`, or null.
  InputSection* sectionNumbered(size_t c, int number);
  // Finds each merged section's memory and range once placement is done,
  // for the stages that place and patch the pieces.
  void findPlacedRanges();

  // Merged section attributes by section name, one record per section.
  // They are filled at once and kept for the whole link, tens of thousands
  // of nodes at the largest sizes: the nodes come from one arena, which
  // must outlive the table.
  NodeArena cScnArena;
  MergedSections cScns{&cScnArena};
  // The record of a merged section, or null.
  const MergedSection* findScn(const std::string& scnName) const;
  MergedSection* findScn(const std::string& scnName);
  // The memory that holds each placed section; points into the memory lists
  // above, which no longer change once the link runs.
  std::map<std::string, Memory*> cScnMem;

  // Symbols: the merged string table (string to offset; the names are views
  // of the output Coff's own table, which holds the same entries),
  // definitions by name, and each reference bound to its definition.
  // Nothing lists the two name tables in name order, so they are hashed.
  std::unordered_map<std::string_view, int, NameHash, std::equal_to<>> cOutputStrTbl;
  SymbolDefinitions cExtSymDef;
  ExtRefBindings cExtRefDef;
  // The linker's own symbols; their addresses stay fixed for the run.
  syment cCinitSym{};
  syment cStackSym{};
  syment cStksizeSym{};

  // The initialized-data table.
  std::string cInitTableName = ".cinit";
  Data cInitTable;

  // The executable being built.
  Coff cOutput;
};

}  // namespace tarsil
