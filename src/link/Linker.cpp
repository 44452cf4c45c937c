// SPDX-License-Identifier: Apache-2.0
#include "link/Linker.h"

#include <ostream>

#include "map/ErrorMap.h"
#include "map/MapView.h"
#include "support/AtomicFile.h"
#include "support/Debug.h"
#include "support/FileInfo.h"
#include "support/Strings.h"

namespace tarsil {

void Linker::recordInputFile(const std::string& name) { cInputFiles.add(hostPath(name)); }

void Linker::setMapViews(const std::string& json, const std::string& html) {
  cMapJsonFile = json;
  cMapHtmlFile = html;
  if (!json.empty() || !html.empty()) cMapView = std::make_shared<MapView>();
}

std::vector<OutputName> Linker::outputs() const {
  auto path = [](const std::string& name) { return name.empty() ? name : hostPath(name); };
  std::vector<OutputName> names{{"output file", path(cOutputFile.empty() ? "a.out" : cOutputFile)},
                                {"map file", path(cMapFile)},
                                {"JSON map file", path(cMapJsonFile)},
                                {"HTML map file", path(cMapHtmlFile)}};
  for (const ExtraOutput& extra : cExtraOutputs) names.push_back({extra.kind, path(extra.name)});
  return names;
}

bool Linker::verifyOutputs(std::string& error) const {
  error = outputClash(outputs(), cInputFiles);
  if (!error.empty()) return false;
  // A directory that is missing or cannot take the JSON map or its page is
  // found now, before the link writes anything.
  for (const std::string* name : {&cMapJsonFile, &cMapHtmlFile}) {
    if (name->empty()) continue;
    AtomicFile probe(hostPath(*name));
    if (!probe.open()) {
      error = "Could not open map file '" + *name + "' for writing.";
      return false;
    }
  }
  for (const ExtraOutput& extra : cExtraOutputs)
    if (extra.check && !extra.check(*this, error)) return false;
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

void Linker::print(std::ostream& os) const {
  os << "Linker:\n";
  os << "  cMinHeapSize=" << hexPrint(cMinHeapSize, 4) << "\n";
  os << "  cStackDesc=";
  cStackDesc.print(os);
  os << "  cMapFile=" << cMapFile << "\n";
  os << "  cOutputFile=" << cOutputFile << "\n";
  printStrings(os, "cObjectFile", cObjectFile);
  printStrings(os, "cLibraryFile", cLibraryFile);
  printItems(os, "cCodePage", cCodePage);
  printItems(os, "cDataBanks", cDataBanks);
  printItems(os, "cShareBanks", cShareBanks);
  printItems(os, "cAccessBanks", cAccessBanks);
  printItems(os, "cSectionDesc", cSectionDesc);
  printStrings(os, "cLibPath", cLibPath);
  os << "  cStrip=" << (cStrip ? 1 : 0) << "\n";
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

uint64_t Linker::calcProgMemSize() const {
  uint64_t total = 0;
  for (const Memory& m : cCodePage) total += m.size();
  return total;
}

void Linker::writeErrorMapFile() {
  if (!cMapFile.empty()) writeErrorMap(cMapFile, memories());
}

}  // namespace tarsil
