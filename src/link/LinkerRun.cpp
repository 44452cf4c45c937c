// SPDX-License-Identifier: Apache-2.0
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "coff/Prefetch.h"
#include "link/Passes.h"
#include "map/ErrorMap.h"
#include "map/MapFile.h"
#include "map/MapView.h"
#include "support/Error.h"
#include "support/Threads.h"

namespace tarsil {

namespace {

// Parts of the inputs that no later stage reads are let go as soon as the
// stage that last reads them is done: the executable holds a copy of what
// it needs, and holding both would double the link's peak memory.
template <class T>
void release(std::vector<T>& v) {
  std::vector<T>().swap(v);
}

// Every external reference holds its definition's value now; nothing asks
// for a definition by name or a binding again. Assigned afresh, not
// cleared, so that their buckets and vectors go too.
void releaseBindings(LinkContext& linker) {
  linker.cExtRefDef = decltype(linker.cExtRefDef)();
  linker.cExtSymDef = decltype(linker.cExtSymDef)();
}

// The executable's symbol table now holds every input slot.
void releaseSymbols(LinkContext& linker) {
  // Letting a block go reads its allocator header, beside the block's start.
  for (size_t c = 0; c < linker.cCoff.size(); ++c) {
    prefetchAhead(linker.cCoff, c, &Coff::cSymTbl, &Coff::cSymKind);
    release(linker.cCoff[c]->cSymTbl);
    release(linker.cCoff[c]->cSymKind);
  }
}

// The records of the input sections led the stages to each piece; the
// executable's tables now hold what they led to.
void releaseInputSections(LinkContext& linker) {
  release(linker.cInputSections);
  release(linker.cInputSectionBase);
}

// The symbol definitions are taken from the inputs' symbols, the merged
// sections from their section headers: the one is made beside the other, and
// a failure of the sections' comes first, as where they are made in turn.
bool defineSymbolsBesideSections(LinkContext& ctx, std::string& error, bool& symbolsFailed) {
  bool defined = false;
  std::string definitionError;
  Beside definitions([&] { defined = buildExtSymDef(ctx, definitionError); });
  if (!buildSectionAttribs(ctx, error) || !verifySectionDesc(ctx, error)) return false;
  definitions.join();
  if (defined) return true;
  error = definitionError;
  symbolsFailed = true;
  return false;
}

// The executable's symbol table is made from the inputs' symbols; its bytes
// from their sections, and its section headers from the merged sections and
// where they were placed: the table is made beside the others, and comes
// first where they are made in turn.
bool buildSymbolsBesideSections(LinkContext& ctx, std::string& error) {
  bool symbolsMade = false;
  std::string symbolsError;
  Beside symbols([&] {
    symbolsMade = buildOutputScnNum(ctx, symbolsError) && buildOutputSymbolTbl(ctx, symbolsError);
    if (symbolsMade) releaseSymbols(ctx);
  });
  const bool sectionsMade = (symbols.started() || symbolsMade) && buildOutputRawData(ctx, error) &&
                            addInitScnNames(ctx, error) && buildOutputScnHdrs(ctx, error);
  symbols.join();
  if (symbolsMade) return sectionsMade;
  error = symbolsError;
  return false;
}

// The symbol table is final, and the string table too but for the names of
// fill sections: the maps' symbols are gathered meanwhile, and sorted for the
// text map, and the outputs written with them.
bool finishAndWrite(LinkContext& ctx, std::string& error) {
  std::optional<MapSymbols> mapSymbols;
  Beside listing([&] {
    if (ctx.cConfig.cMapFile.empty() && !ctx.cMapView) return;
    mapSymbols.emplace(ctx.cOutput, ctx.cSymBase);
    if (!ctx.cConfig.cMapFile.empty()) mapSymbols->sort();
  });
  if (!buildOutputLineInfo(ctx, error)) return false;
  releaseInputSections(ctx);
  if (!buildOutputHdrs(ctx, error)) return false;
  listing.join();
  buildOutputHoles(ctx);
  if (!ctx.cFillError.empty()) {
    error = ctx.cFillError;
    return false;
  }
  return writeOutputs(ctx, error, mapSymbols ? &*mapSymbols : nullptr);
}

// Each reference bound to its definition; in the gnu style every missing
// definition is reported where it is used.
bool bindReferences(LinkContext& ctx, std::string& error) {
  if (buildExtRefDef(ctx, error)) return true;
  if (Error::style() == Error::Style::gnu) reportUndefinedSymbols(ctx, error);
  return false;
}

// Which functions with activation records may be active together; the JSON
// map takes the call graph before the closure lets it go.
void analyseCalls(LinkContext& ctx) {
  if (!actRecScnExists(ctx)) return;
  buildCallGraph(ctx);
  if (ctx.cMapView) captureCallGraph(ctx, *ctx.cMapView);
  buildInterferenceGraph(ctx);
  buildScnActivationRecordMap(ctx);
}

}  // namespace

// The stages that go through the inputs side by side read each one's symbol
// table or sections; a thread takes inputs a run at a time, so the inputs
// after this one are most often its next.
void LinkContext::forEachInput(const std::function<void(size_t)>& fn) const {
  inOrderUntilFailure(cCoff.size(), [&fn, this](size_t c, unsigned) {
    prefetchAhead(cCoff, c, &Coff::cSymTbl, &Coff::cScnNum);
    fn(c);
    return true;
  });
}

bool LinkContext::forEachInputUntilFailure(const std::function<bool(size_t, std::string&)>& fn, std::string& error) const {
  const size_t n = cCoff.size();
  // Few inputs fail: each thread words a failure in its own string, and only
  // failures keep theirs, by input.
  std::vector<std::string> wording(threadCount());
  std::mutex keeping;
  std::vector<std::pair<size_t, std::string>> errors;
  const size_t failed = inOrderUntilFailure(n, [&](size_t c, unsigned worker) {
    prefetchAhead(cCoff, c, &Coff::cSymTbl, &Coff::cScnNum);
    std::string& text = wording[worker];
    text.clear();
    if (fn(c, text)) return true;
    const std::lock_guard<std::mutex> lock(keeping);
    errors.emplace_back(c, std::move(text));
    return false;
  });
  if (failed == n) return true;
  for (auto& [c, text] : errors)
    if (c == failed) error = std::move(text);
  return false;
}

// The link, pass by pass. A pass that fails has set `error`, or reported its
// own messages and left it empty.
bool runPasses(LinkContext& ctx, std::string& error) {
  Config& config = ctx.cConfig;
  if (config.cOutputFile.empty()) config.cOutputFile = "a.out";
  // From the symbol tables on, a failure leaves the error map behind: the
  // last chance to show how memory was used before the link gives up.
  auto failWithMap = [&ctx] {
    ctx.writeErrorMapFile();
    return false;
  };
  bool symbolsFailed = false;

  if (!buildCoffs(ctx, error)) return false;            // the objects, read whole
  if (!buildLibs(ctx, error)) return false;             // the libraries' headers and external names
  if (!verifyOutputs(ctx, error)) return false;         // no output replaces an input, before any is written
  if (!importLibraryMembers(ctx, error)) return false;  // the members that define what is wanted
  ctx.cArchive.clear();                                 // what remains of the libraries is never read
  if (!verifyProcessor(ctx, error)) return false;       // one device for every input
  warnAboutMemories(ctx);                               // memories and fills the device cannot hold
  mergeStringTbls(ctx);                                 // every name in one string table
  if (!defineSymbolsBesideSections(ctx, error, symbolsFailed))  // definitions; merged sections
    return symbolsFailed ? failWithMap() : false;
  if (!bindReferences(ctx, error)) return failWithMap();  // each reference to its definition
  analyseCalls(ctx);                                    // which activation records may share memory
  if (!mapSections(ctx, error)) return failWithMap();   // every section placed in a memory

  PendingErrorMap errorMap(config.cMapFile, ctx.memories());  // written if a pass below fails
  if (!loadSections(ctx, error)) return false;          // each input piece at its address
  if (!buildInitTable(ctx, error)) return false;        // the initialized-data table
  if (!relocateSymbols(ctx, error)) return false;       // symbols moved with their pieces
  if (!relocateLineInfo(ctx, error)) return false;      // line numbers moved with theirs
  if (!resolveExternals(ctx, error)) return false;      // references take their definitions' values
  releaseBindings(ctx);                                 // nothing asks for a name again
  if (!verifyRelocations(ctx, error)) return false;     // the family's checks of each relocation
  if (!patchSections(ctx, error)) return false;         // relocations applied to the bytes
  if (!buildSymbolsBesideSections(ctx, error)) return false;  // the executable's symbols, bytes, headers
  if (!finishAndWrite(ctx, error)) return false;        // its lines and holes; every output written
  errorMap.dismiss();
  return true;
}

}  // namespace tarsil
