// SPDX-License-Identifier: Apache-2.0
#pragma once
// The link as passes: functions over its context, each reading what the ones
// before it left there. runPasses lists them in order; the tests call single
// passes on hand-built contexts. Internal to src/link/.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/Context.h"

namespace tarsil {

class Target;

// Runs every pass in order; false with `error` set (or empty when the
// failing pass reported its own messages) ends the link.
bool runPasses(LinkContext& ctx, std::string& error);

// ---- Inputs. -------------------------------------------------------------
bool buildCoffs(LinkContext& ctx, std::string& error);
bool buildLibs(LinkContext& ctx, std::string& error);
bool importLibraryMembers(LinkContext& ctx, std::string& error);
bool verifyProcessor(LinkContext& ctx, std::string& error);
// Refuses outputs that would replace an input or one another; the command
// files, objects and libraries must all be found by then.
bool verifyOutputs(const LinkContext& ctx, std::string& error);
// Warns of memories outside the device's and of FILL values wider than
// its instruction word: a command file may be shared between devices, so
// neither is an error.
void warnAboutMemories(const LinkContext& ctx);

// ---- Symbols and sections. ----------------------------------------------
void mergeStringTbls(LinkContext& ctx);
bool buildExtSymDef(LinkContext& ctx, std::string& error);
bool buildSectionAttribs(LinkContext& ctx, std::string& error);
bool verifySectionDesc(LinkContext& ctx, std::string& error);
bool buildExtRefDef(LinkContext& ctx, std::string& error);
// In the gnu style a missing definition is reported for every undefined
// name and every input that refers to it, with the section and offset of
// its first use there. False when no name is undefined (the failure was
// of another kind); true with `error` cleared once all are reported.
bool reportUndefinedSymbols(const LinkContext& ctx, std::string& error);

// ---- Overlaid activation records. -----------------------------------------
bool actRecScnExists(LinkContext& ctx);
void buildCallGraph(LinkContext& ctx);
void buildInterferenceGraph(LinkContext& ctx);
void buildScnActivationRecordMap(LinkContext& ctx);

// ---- Placement, then the initialized data. ---------------------------------
bool mapSections(LinkContext& ctx, std::string& error);
bool loadSections(LinkContext& ctx, std::string& error);
bool buildInitTable(LinkContext& ctx, std::string& error);

// ---- Relocation. ----------------------------------------------------------
bool relocateSymbols(LinkContext& ctx, std::string& error);
bool relocateLineInfo(LinkContext& ctx, std::string& error);
bool resolveExternals(LinkContext& ctx, std::string& error);
bool verifyRelocations(LinkContext& ctx, std::string& error);
bool patchSections(LinkContext& ctx, std::string& error);

// ---- The executable and the outputs. ----------------------------------------
bool buildOutputScnNum(LinkContext& ctx, std::string& error);
bool buildOutputSymbolTbl(LinkContext& ctx, std::string& error);
bool buildOutputRawData(LinkContext& ctx, std::string& error);
bool addInitScnNames(LinkContext& ctx, std::string& error);
bool buildOutputScnHdrs(LinkContext& ctx, std::string& error);
bool buildOutputLineInfo(LinkContext& ctx, std::string& error);
bool buildOutputHdrs(LinkContext& ctx, std::string& error);
void buildOutputHoles(LinkContext& ctx);
// Lays the executable out, checks it and writes it, then the full map
// when one was asked for (with its symbols gathered already when given)
// and the extra outputs, and puts them all in place together; false with
// `error` set (or empty when a writer reported its own message), and
// then no output was replaced.
bool writeOutputs(LinkContext& ctx, std::string& error, MapSymbols* mapSymbols = nullptr);

// ---- The JSON map's view. ---------------------------------------------------
// The overlay call graph, taken before the closure lets it go; a link
// without activation records leaves the view's functions empty.
void captureCallGraph(const LinkContext& ctx, MapView& view);
// Everything else, from the finished link: its memories, inputs, the
// executable's sections and symbols, and the records' groups.
void gatherMapView(const LinkContext& ctx, MapView& view, const MapSymbols& symbols);

// ---- What the passes share. -------------------------------------------------
// The symbol a relocation of `coff` names, or null with `error` set when the
// index is out of the table or lands on an auxiliary slot.
const syment* relocSymbol(const Coff& coff, const reloc& r, std::string& error);
// The target of the link's device, made afresh: its family's relocations.
std::unique_ptr<Target> makeTarget(const LinkContext& ctx);
std::string getInitImageName(const std::string& ramName);
std::string getInitRamName(const std::string& imageName);
uint64_t getInitImageSize(const LinkContext& ctx, uint64_t size);
// Bytes of one table entry: 6 where every address fits 16 bits, else 12.
uint64_t getInitEntrySize(const LinkContext& ctx);
unsigned bytesPerLocation(const LinkContext& ctx, MemType memType);
// The SECTION directive that names a section, or null.
const SectionDesc* findSectionDesc(const LinkContext& ctx, const std::string& scnName);
// Lengths are in bytes, starts in locations of the memory.
bool allocateRelAssigned(LinkContext& ctx, std::vector<Memory>& mems, const std::string& memName,
                         const std::string& scnName, uint64_t length, bool isOverlay, std::string& error);
bool allocateRelUnassigned(LinkContext& ctx, std::vector<Memory>& mems, const std::string& scnName, uint64_t length,
                           bool isOverlay, std::string& error);
bool allocateInitSection(LinkContext& ctx, const std::string& imageName, std::string& error);
bool isInitTableAssigned(const LinkContext& ctx);
uint64_t getInitTableSize(const LinkContext& ctx);
bool allocateInitTable(LinkContext& ctx, std::string& error);
// Rewrites every string-table offset of `coff` to the merged table's, which
// it then shares: `moved` pairs each old offset with its new one, in the
// table's (ascending) order.
void moveStrings(Coff& coff, const std::vector<std::pair<uint32_t, uint32_t>>& moved,
                 const StringTable& merged);
// Names the linker's own symbols and enters them as definitions.
void setupLinkerSymbols(LinkContext& ctx);
// Whether some word of the fill pattern has bits above the instruction word.
bool fillTooWide(const LinkContext& ctx, const std::string& fill);
// Warns of SECTION directives that no input section answers: a misspelt
// name would otherwise leave its section to the general placement.
void warnAboutSectionDescs(const LinkContext& ctx);
std::string tooManySections();
// Input c as messages name it: a library member as "lib.lib(member.o)".
std::string inputName(const LinkContext& ctx, size_t c);
// The input whose symbol table holds `sym`, or "the linker" for its own.
std::string definedIn(const LinkContext& ctx, const syment* sym);
// The message of a second definition of `name` in input c; in the gnu
// style it names the first definition's input too.
std::string duplicateDefinition(const LinkContext& ctx, std::string_view name, const syment* first, size_t c);
// Placement is the last reader of the interference graph: it goes once
// placement is done. The call graph goes with the closure built from it.
void releaseCallGraphs(LinkContext& ctx);
bool allocateActUnassigned(LinkContext& ctx, LinkContext::ActRecSet& records, std::vector<Memory>& mems, std::string& err);
void buildOutputHole(LinkContext& ctx, const std::string& memory, uint64_t start, uint64_t end, const std::string& fill);

}  // namespace tarsil
