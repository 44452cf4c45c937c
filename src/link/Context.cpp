// SPDX-License-Identifier: Apache-2.0
#include "link/Passes.h"

#include <ostream>

#include "map/ErrorMap.h"
#include "map/MapView.h"
#include "support/AtomicFile.h"
#include "support/Debug.h"
#include "support/FileInfo.h"
#include "support/Strings.h"

namespace tarsil {

LinkContext::LinkContext(Config config) : cConfig(std::move(config)) {
  for (const std::string& name : cConfig.cCommandFiles) cInputFiles.add(hostPath(name));
  if (!cConfig.cMapJsonFile.empty() || !cConfig.cMapHtmlFile.empty()) cMapView = std::make_shared<MapView>();
}

std::vector<OutputName> LinkContext::outputs() const {
  auto path = [](const std::string& name) { return name.empty() ? name : hostPath(name); };
  std::vector<OutputName> names{{"output file", path(cConfig.cOutputFile.empty() ? "a.out" : cConfig.cOutputFile)},
                                {"map file", path(cConfig.cMapFile)},
                                {"JSON map file", path(cConfig.cMapJsonFile)},
                                {"HTML map file", path(cConfig.cMapHtmlFile)}};
  for (const Config::ExtraOutput& extra : cConfig.cExtraOutputs) names.push_back({extra.kind, path(extra.name)});
  return names;
}

bool verifyOutputs(const LinkContext& ctx, std::string& error) {
  error = outputClash(ctx.outputs(), ctx.cInputFiles);
  if (!error.empty()) return false;
  // A directory that is missing or cannot take the JSON map or its page is
  // found now, before the link writes anything.
  for (const std::string* name : {&ctx.cConfig.cMapJsonFile, &ctx.cConfig.cMapHtmlFile}) {
    if (name->empty()) continue;
    AtomicFile probe(hostPath(*name));
    if (!probe.open()) {
      error = "Could not open map file '" + *name + "' for writing.";
      return false;
    }
  }
  for (const Config::ExtraOutput& extra : ctx.cConfig.cExtraOutputs)
    if (extra.check && !extra.check(ctx.cConfig, ctx.cInputFiles, error)) return false;
  return true;
}

template <typename T>
static void printStrings(std::ostream& os, const char* label, const std::vector<T>& list) {
  for (size_t i = 0; i < list.size(); ++i) os << "  " << label << "[" << i << "]=" << list[i] << "\n";
}

template <typename T>
static void printItems(std::ostream& os, const char* label, const std::vector<T>& list) {
  for (size_t i = 0; i < list.size(); ++i) {
    os << "  " << label << "[" << i << "]=";
    list[i].print(os);
  }
}

void LinkContext::print(std::ostream& os) const {
  os << "Linker:\n";
  os << "  cMinHeapSize=" << hexPrint(cConfig.cMinHeapSize, 4) << "\n";
  os << "  cStackDesc=";
  cConfig.cStackDesc.print(os);
  os << "  cMapFile=" << cConfig.cMapFile << "\n";
  os << "  cOutputFile=" << cConfig.cOutputFile << "\n";
  printStrings(os, "cObjectFile", cConfig.cObjectFile);
  printStrings(os, "cLibraryFile", cConfig.cLibraryFile);
  printItems(os, "cCodePage", cConfig.cCodePage);
  printItems(os, "cDataBanks", cConfig.cDataBanks);
  printItems(os, "cShareBanks", cConfig.cShareBanks);
  printItems(os, "cAccessBanks", cConfig.cAccessBanks);
  printItems(os, "cSectionDesc", cConfig.cSectionDesc);
  printStrings(os, "cLibPath", cConfig.cLibPath);
  os << "  cStrip=" << (cConfig.cStrip ? 1 : 0) << "\n";
  if (Debug("Linker::print")) {
    os << "------- Linker Internals: \n";
    for (size_t i = 0; i < cCoff.size(); ++i) os << "  cCoff[" << i << "]=" << cCoff[i]->cFileName << "\n";
    os << "  cOutput=" << cOutput.cFileName << "\n";
    for (const auto& entry : cScns) {
      const std::string& name = entry.first;
      const MergedSection& scn = entry.second;
      if (!scn.sized) continue;
      // Every merged name has each flag, set or not; an unmerged one shows
      // only the flags that are set.
      const bool merged = scn.merged();
      auto flag = [&](const char* label, bool set) {
        if (merged || set) os << "  " << label << "[" << name << "]=" << (set ? 1 : 0) << "\n";
      };
      os << "  cScnSize[" << name << "]=" << scn.size << "\n";
      if (merged) os << "  cScnType[" << name << "]=" << static_cast<int>(scn.type) << "\n";
      flag("cScnAbs", scn.abs);
      flag("cScnShare", scn.share);
      flag("cScnAccess", scn.access);
      if (merged && scn.abs) {
        os << "  cScnAbsStart[" << name << "]=" << hexPrint(scn.absStart, 4) << "\n";
        os << "  cScnAbsSize[" << name << "]=" << hexPrint(scn.absSize, 4) << "\n";
      }
      if (auto mem = cScnMem.find(name); mem != cScnMem.end() && mem->second)
        os << "  cScnMem[" << name << "]=" << mem->second->getName() << "\n";
    }
  }
}

uint64_t LinkContext::calcProgMemSize() const {
  uint64_t total = 0;
  for (const Memory& m : cConfig.cCodePage) total += m.size();
  return total;
}

void LinkContext::writeErrorMapFile() {
  if (!cConfig.cMapFile.empty()) writeErrorMap(cConfig.cMapFile, memories());
}

}  // namespace tarsil
