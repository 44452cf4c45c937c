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

// The link: what the command line and the command files declare (its
// Config), and the stages that turn it into an executable. One object lives
// for the whole run and owns everything the stages compute.
class Linker : public Config {
public:
  Linker() = default;

  // A command or device file the parser read: the outputs may replace none
  // of them, and the dependency file names them first.
  void recordInputFile(const std::string& name);
  // The JSON map and its page (--map-json, --map-html); empty for none.
  void setMapViews(const std::string& json, const std::string& html);
  // An output beside the executable and the map (the dependency file, other
  // kinds of map): checked before the link writes anything, written into
  // its temporary file once the link has succeeded, and put in place with
  // the executable and the map, all of them or none.
  struct ExtraOutput {
    std::string kind;  // "dependency file", as messages name it
    std::string name;  // as the user gave it
    // Called once every input is found; false with `error` set refuses the
    // link before it writes anything.
    std::function<bool(const Linker&, std::string& error)> check;
    // Writes the whole output into `file`, opened on its temporary.
    std::function<bool(const Linker&, AtomicFile& file)> write;
  };
  void addOutput(ExtraOutput output) { cExtraOutputs.push_back(std::move(output)); }
  // Every file the link read, each once, in the order first read: those
  // recorded above, then the objects and libraries as found.
  const FileSet& getInputFiles() const { return cInputFiles; }
  // Every file the link writes, in the order written, where each is written.
  std::vector<OutputName> outputs() const;

  // Runs every stage in order; false with `error` set (or empty when the
  // failing stage reported its own messages) ends the link.
  bool run(std::string& error);
  // run's phases, in order: the inputs read and the members imported; the
  // symbols bound and the sections merged; (mapSections); the inputs placed,
  // relocated and patched; the executable made and every output written.
  bool readInputs(std::string& error);
  bool bindSymbols(std::string& error);
  bool relocateInputs(std::string& error);
  bool buildExecutable(std::string& error);

  void print(std::ostream& os) const;

  bool stackDeclared() const { return cStackDeclared; }
  uint32_t getMinHeapSize() const { return cMinHeapSize; }
  const StackDesc& getStackDesc() const { return cStackDesc; }
  const std::string& getMapFile() const { return cMapFile; }
  const std::string& getOutputFile() const { return cOutputFile; }
  const std::vector<std::string>& getObjectFiles() const { return cObjectFile; }
  DeclaredMemories memories() const { return {cCodePage, cDataBanks, cShareBanks, cAccessBanks}; }
  const std::vector<SectionDesc>& getSectionDescs() const { return cSectionDesc; }

  // Number of program addresses the command files declare.
  uint64_t calcProgMemSize() const;

  // Inputs.
  bool buildCoffs(std::string& error);
  bool buildLibs(std::string& error);
  // Refuses outputs that would replace an input or one another; the command
  // files, objects and libraries must all be found by then.
  bool verifyOutputs(std::string& error) const;
  bool importLibraryMembers(std::string& error);
  // Reads the rest of each member imported, `imported` naming its library.
  bool decodeMembers(const std::vector<std::pair<size_t, const Coff*>>& imported,
                     std::vector<std::unique_ptr<Coff>>& members) const;
  bool verifyProcessor(std::string& error);

  // Section attributes.
  bool buildSectionAttribs(std::string& error);
  bool verifySectionDesc(std::string& error);

  // Symbols.
  void mergeStringTbls();
  bool buildExtSymDef(std::string& error);
  bool buildExtRefDef(std::string& error);
  bool relocateSymbols(std::string& error);
  bool relocateLineInfo(std::string& error);
  bool resolveExternals(std::string& error);

  // Overlaid activation records.
  bool actRecScnExists();
  void buildCallGraph();
  void buildInterferenceGraph();
  void buildScnActivationRecordMap();

  // Placement.
  bool mapSections(std::string& error);
  bool loadSections(std::string& error);

  // Initialized data.
  bool buildInitTable(std::string& error);
  bool addInitScnNames(std::string& error);

  // Relocation.
  bool verifyRelocations(std::string& error);
  bool patchSections(std::string& error);

  // Output.
  bool buildOutputScnNum(std::string& error);
  bool buildOutputSymbolTbl(std::string& error);
  bool buildOutputRawData(std::string& error);
  bool buildOutputLineInfo(std::string& error);
  bool buildOutputScnHdrs(std::string& error);
  bool buildOutputHdrs(std::string& error);
  void buildOutputHoles();

  // Map files.
  void writeErrorMapFile();
  // What the JSON map and its page show, gathered while the link still holds
  // it; null when neither was asked for.
  std::shared_ptr<MapView> cMapView;
  // The overlay call graph, taken before the closure lets it go; a link
  // without activation records leaves the view's functions empty.
  void captureCallGraph(MapView& view) const;
  // Everything else, from the finished link: its memories, inputs, the
  // executable's sections and symbols, and the records' groups.
  void gatherMapView(MapView& view, const MapSymbols& symbols) const;

  // ---- Helpers of the stages, one block per stage file. ------------------

  // LinkerSymbols.cpp
  // Rewrites every string-table offset of `coff` to the merged table's, which
  // it then shares: `moved` pairs each old offset with its new one, in the
  // table's (ascending) order.
  static void moveStrings(Coff& coff, const std::vector<std::pair<uint32_t, uint32_t>>& moved,
                          const StringTable& merged);
  // Names the linker's own symbols and enters them as definitions.
  void setupLinkerSymbols();

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

  // Marks with `mark` in `visited` every node that `f` reaches in the call
  // graph, itself included, skipping nodes that carry the mark already.
  void propagateInterruptCalls(std::vector<uint8_t>& visited, uint32_t f, uint8_t mark) const;
  bool allocateActUnassigned(ActRecSet& records, std::vector<Memory>& mems, std::string& err);

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
  // Placement is the last reader of the interference graph: it goes once
  // placement is done. The call graph goes with the closure built from it.
  void releaseCallGraphs();

  // LinkerAllocation.cpp
  // Lengths are in bytes, starts in locations of the memory.
  bool allocateRelAssigned(std::vector<Memory>& mems, const std::string& memName, const std::string& scnName,
                           uint64_t length, bool isOverlay, std::string& error);
  bool allocateRelUnassigned(std::vector<Memory>& mems, const std::string& scnName, uint64_t length,
                             bool isOverlay, std::string& error);
  bool isStackAssigned() const;
  bool allocateStack(std::string& error);
  unsigned bytesPerLocation(MemType memType) const;
  // The memories that can hold a section of this name, and the memory a
  // SECTION directive gives it; null for a kind no memory list serves.
  std::vector<Memory>* scnMemories(const std::string& scnName);
  std::vector<Memory>* scnMemories(const MergedSection& scn);
  const std::string& scnDirectiveMemory(const std::string& scnName, const SectionDesc& desc) const;
  // The SECTION directive that names a section, or null.
  const SectionDesc* findSectionDesc(const std::string& scnName) const;
  // Bytes a relocatable section needs: its size, grown where pieces that end
  // inside a location push the next piece to the following one.
  uint64_t placementLength(const std::string& scnName, const MergedSection& scn) const;
  std::map<std::string, uint64_t> cScnPlacementLength;
  mutable std::map<std::string, std::size_t> cSectionDescIndex;
  // Enters the memories that placement recorded in the section records into
  // cScnMem, in one ordered sweep.
  void flushPlacedMemories();
  // mapSections' passes, each a step of Placement (LinkerAllocation.cpp).
  bool placeSections(std::string& error);
  struct Placement;
  // The placing operations behind the allocate* stages: the memory that
  // took the section, or null with `error` set. They leave cScnMem alone.
  Memory* placeAbsAssigned(std::vector<Memory>& mems, const std::string& memName, const std::string& scnName,
                           Coff::ScnType kind, uint64_t start, uint64_t length, bool isOverlay,
                           std::string& error);
  Memory* placeAbsUnassigned(std::vector<Memory>& mems, const std::string& scnName, Coff::ScnType kind,
                             uint64_t start, uint64_t length, bool isOverlay, std::string& error);
  Memory* placeRelAssigned(std::vector<Memory>& mems, const std::string& memName, const std::string& scnName,
                           Coff::ScnType kind, uint64_t length, bool isOverlay, std::string& error);
  Memory* placeRelUnassigned(std::vector<Memory>& mems, const std::string& scnName, Coff::ScnType kind,
                             uint64_t length, bool isOverlay, std::string& error);
  Coff::ScnType scnKind(const std::string& scnName) const;
  // Scratch of placeRelUnassigned, kept so that each section does not
  // allocate its own.
  std::vector<MemorySize> cCandidates;

  // LinkerInitTable.cpp
  std::string getInitImageName(const std::string& ramName) const;
  std::string getInitRamName(const std::string& imageName) const;
  uint64_t getInitImageSize(uint64_t size) const;
  bool allocateInitSection(const std::string& imageName, std::string& error);
  bool isInitTableAssigned() const;
  uint64_t getInitTableSize() const;
  bool allocateInitTable(std::string& error);
  // Bytes of one table entry: 6 where every address fits 16 bits, else 12.
  uint64_t getInitEntrySize() const;

  // LinkerRelocation.cpp
  // The target of the link's device, made afresh: its family's relocations.
  std::unique_ptr<Target> makeTarget() const;
  // The symbol a relocation of `coff` names, or null with `error` set when the
  // index is out of the table or lands on an auxiliary slot.
  static const syment* relocSymbol(const Coff& coff, const reloc& r, std::string& error);

  // LinkerDiagnostics.cpp
  // Warns of memories outside the device's and of FILL values wider than
  // its instruction word: a command file may be shared between devices, so
  // neither is an error.
  void warnAboutMemories() const;
  // Warns of SECTION directives that no input section answers: a misspelt
  // name would otherwise leave its section to the general placement.
  void warnAboutSectionDescs() const;
  unsigned instructionBits() const;
  // Whether some word of the fill pattern has bits above the instruction word.
  bool fillTooWide(const std::string& fill) const;
  // Input c as messages name it: a library member as "lib.lib(member.o)".
  std::string inputName(size_t c) const;
  // The input whose symbol table holds `sym`, or "the linker" for its own.
  std::string definedIn(const syment* sym) const;
  // The message of a second definition of `name` in input c; in the gnu
  // style it names the first definition's input too.
  std::string duplicateDefinition(std::string_view name, const syment* first, size_t c) const;
  // In the gnu style a missing definition is reported for every undefined
  // name and every input that refers to it, with the section and offset of
  // its first use there. False when no name is undefined (the failure was
  // of another kind); true with `error` cleared once all are reported.
  bool reportUndefinedSymbols(std::string& error) const;
  // Symbols name their section by a signed 16-bit number.
  static constexpr size_t kMaxSections = 32767;
  static std::string tooManySections();
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

  // LinkerOutput.cpp
  // Handed to Memory::fillHoles with the linker as context.
  static void fillCB(void* linker, const std::string& memory, uint64_t start, uint64_t end,
                     const std::string& fill);
  void buildOutputHole(const std::string& memory, uint64_t start, uint64_t end, const std::string& fill);
  // Lays the executable out, checks it and writes it, then the full map
  // when one was asked for (with its symbols gathered already when given)
  // and the extra outputs, and puts them all in place together; false with
  // `error` set (or empty when a writer reported its own message), and
  // then no output was replaced.
  bool writeOutputs(std::string& error, MapSymbols* mapSymbols = nullptr);
  enum class Written { ok, corrupt, failed };
  // Lays the executable out, checks it and writes it into `file`'s
  // temporary; corrupt when the check fails (nothing written), failed with
  // the message reported.
  Written layOutAndWrite(CoffWriter& writer, AtomicFile& file);
  // Writes the extra outputs and puts every output in place, the executable,
  // the map and the JSON map and its page (when given) first.
  bool commitOutputs(AtomicFile& executable, MapFile::Pending* map, MapViewFiles* views);
  // Output index of each input's first symbol slot, one per input of cCoff:
  // kept by position, since two inputs may carry the same file name.
  std::vector<uint32_t> cSymBase;
  // Fill sections made so far; the next one is named after the count.
  uint64_t cFillCount = 0;
  // The first fill that could not be made; the fill stage cannot fail by its
  // signature, so the run reports this after it.
  std::string cFillError;

private:
  std::string cStackScnName = ".stack";
  std::vector<ExtraOutput> cExtraOutputs;
  // Every file the link reads, found where it is, each once.
  FileSet cInputFiles;

public:
  // ---- Link state, filled by the stages in run order. -------------------
  // Members are public so that the stage files and their tests can reach
  // them; nothing outside src/link/ and src/map/ writes them.

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
