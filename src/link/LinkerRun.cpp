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

bool LinkContext::run(std::string& error) {
  if (cConfig.cOutputFile.empty()) cConfig.cOutputFile = "a.out";
  if (!readInputs(error) || !bindSymbols(error)) return false;
  if (!mapSections(error)) {
    writeErrorMapFile();
    return false;
  }
  // Written only if a stage below fails.
  PendingErrorMap errorMap(cConfig.cMapFile, memories());
  if (!relocateInputs(error) || !buildExecutable(error)) return false;
  errorMap.dismiss();
  return true;
}

bool LinkContext::readInputs(std::string& error) {
  if (!buildCoffs(error)) return false;
  if (!buildLibs(error)) return false;
  // Before the first file is written, which may be the error map.
  if (!verifyOutputs(error)) return false;
  if (!importLibraryMembers(error)) return false;
  // Imported members have left their libraries; what remains is never read.
  cArchive.clear();
  if (!verifyProcessor(error)) return false;
  warnAboutMemories();
  return true;
}

bool LinkContext::bindSymbols(std::string& error) {
  mergeStringTbls();
  // The definitions are taken from the inputs' symbols, the merged sections
  // from their section headers: the one is made beside the other, and a
  // failure of the sections' comes first, as where they are made in turn.
  bool defined = false;
  std::string definitionError;
  Beside definitions([&] { defined = buildExtSymDef(definitionError); });
  if (!buildSectionAttribs(error)) return false;
  if (!verifySectionDesc(error)) return false;
  definitions.join();

  // The symbol tables are the last chance to show how memory was used before
  // the link gives up, so a failure here still leaves an error map behind.
  if (!defined) {
    error = definitionError;
    writeErrorMapFile();
    return false;
  }
  if (!buildExtRefDef(error)) {
    if (Error::style() == Error::Style::gnu) reportUndefinedSymbols(error);
    writeErrorMapFile();
    return false;
  }

  if (actRecScnExists()) {
    buildCallGraph();
    // The closure is the call graph's last reader and lets it go.
    if (cMapView) captureCallGraph(*cMapView);
    buildInterferenceGraph();
    buildScnActivationRecordMap();
  }
  return true;
}

bool LinkContext::relocateInputs(std::string& error) {
  if (!loadSections(error)) return false;
  if (!buildInitTable(*this, error)) return false;
  if (!relocateSymbols(*this, error)) return false;
  if (!relocateLineInfo(*this, error)) return false;
  if (!resolveExternals(*this, error)) return false;
  releaseBindings(*this);
  if (!verifyRelocations(*this, error)) return false;
  // Patching lets each input's relocations go once they are in its bytes.
  return patchSections(*this, error);
}

bool LinkContext::buildExecutable(std::string& error) {
  // The executable's symbol table is made from the inputs' symbols; its
  // bytes from their sections, and its section headers from the merged
  // sections and where they were placed: the table is made beside the
  // others, and comes first where they are made in turn.
  bool symbolsMade = false;
  std::string symbolsError;
  Beside symbols([&] {
    symbolsMade = buildOutputScnNum(symbolsError) && buildOutputSymbolTbl(symbolsError);
    if (symbolsMade) releaseSymbols(*this);
  });
  const bool sectionsMade = (symbols.started() || symbolsMade) && buildOutputRawData(error) &&
                            addInitScnNames(*this, error) && buildOutputScnHdrs(error);
  symbols.join();
  if (!symbolsMade) {
    error = symbolsError;
    return false;
  }
  if (!sectionsMade) return false;
  // The symbol table is final, and the string table too but for the names
  // of fill sections: the maps' symbols are gathered meanwhile, and sorted
  // for the text map.
  std::optional<MapSymbols> mapSymbols;
  Beside listing([&] {
    if (cConfig.cMapFile.empty() && !cMapView) return;
    mapSymbols.emplace(cOutput, cSymBase);
    if (!cConfig.cMapFile.empty()) mapSymbols->sort();
  });
  if (!buildOutputLineInfo(error)) return false;
  releaseInputSections(*this);
  if (!buildOutputHdrs(error)) return false;
  listing.join();
  buildOutputHoles();
  if (!cFillError.empty()) {
    error = cFillError;
    return false;
  }

  return writeOutputs(error, mapSymbols ? &*mapSymbols : nullptr);
}

}  // namespace tarsil
