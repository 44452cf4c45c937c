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

bool Linker::AddMinHeapSize(uint64_t size, std::string& error) {
  if (cHeapDeclared) {
    error = "multiple min heap sizes declared: '" + std::to_string(cMinHeapSize) + "', '" + std::to_string(size) + "'";
    return false;
  }
  cMinHeapSize = static_cast<uint32_t>(size);
  cHeapDeclared = true;
  return true;
}

bool Linker::AddMapFile(const std::string& name, std::string& error) {
  if (!cMapFile.empty()) {
    error = "multiple map files declared: '" + cMapFile + "', '" + name + "'";
    return false;
  }
  cMapFile = name;
  return true;
}

bool Linker::AddOutputFile(const std::string& name, std::string& error) {
  if (!cOutputFile.empty()) {
    error = "multiple output files declared: '" + cOutputFile + "', '" + name + "'";
    return false;
  }
  cOutputFile = name;
  return true;
}

bool Linker::AddObjectFile(const std::string& name, std::string& error) {
  if (!cObjectFileNames.insert(name).second) {
    error = "mutliple inclusion of object file '" + name + "' ";
    return false;
  }
  cObjectFile.push_back(name);
  return true;
}

bool Linker::AddLibraryFile(const std::string& name, std::string& error) {
  if (!cLibraryFileNames.insert(name).second) {
    error = "mutliple inclusion of library file '" + name + "' ";
    return false;
  }
  cLibraryFile.push_back(name);
  return true;
}

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

bool Linker::verifyUnique(const Memory& memory, bool isShareBank, std::string& error) const {
  const std::string& name = memory.getName();
  // Shared banks may repeat their own name (one declaration per bank that
  // maps the region), but no other kind of memory may reuse it.
  if (cCodePageNames.count(name) || cBankNames.count(name) || (!isShareBank && cShareBankNames.count(name))) {
    error = "duplicate definition of memory '" + name + "' ";
    return false;
  }
  return true;
}

namespace {

// The lists of data memories, in the order the overlap check walks them.
enum DataList { dataBanks = 0, shareBanks = 1, accessBanks = 2 };

}  // namespace

bool Linker::verifyCodeNonoverlap(const Memory& memory, std::string& error) const {
  auto owner = cCodeRanges.firstOverlap(memory.getPhysicalStart(), memory.getPhysicalEnd());
  if (!owner) return true;
  error = "memory '" + memory.getName() + "' overlaps memory '" + cCodePage[owner->index].getName() + "' ";
  return false;
}

bool Linker::verifyDataNonoverlap(const Memory& memory, std::string& error) const {
  auto owner = cDataRanges.firstOverlap(memory.getPhysicalStart(), memory.getPhysicalEnd());
  if (!owner) return true;
  const std::vector<Memory>& list =
      owner->list == dataBanks ? cDataBanks : owner->list == shareBanks ? cShareBanks : cAccessBanks;
  error = "memory '" + memory.getName() + "' overlaps memory '" + list[owner->index].getName() + "' ";
  return false;
}

bool Linker::AddCodePage(const Memory& memory, std::string& error) {
  if (!verifyUnique(memory, false, error) || !verifyCodeNonoverlap(memory, error)) return false;
  cCodeRanges.add(memory.getPhysicalStart(), memory.getPhysicalEnd(), {0, cCodePage.size()});
  cCodePage.push_back(memory);
  cCodePageNames.insert(memory.getName());
  return true;
}

bool Linker::AddDataBank(const Memory& memory, std::string& error) {
  if (!verifyUnique(memory, false, error) || !verifyDataNonoverlap(memory, error)) return false;
  cDataRanges.add(memory.getPhysicalStart(), memory.getPhysicalEnd(), {dataBanks, cDataBanks.size()});
  cDataBanks.push_back(memory);
  cBankNames.insert(memory.getName());
  return true;
}

bool Linker::AddAccessBank(const Memory& memory, std::string& error) {
  if (!verifyUnique(memory, false, error) || !verifyDataNonoverlap(memory, error)) return false;
  cDataRanges.add(memory.getPhysicalStart(), memory.getPhysicalEnd(), {accessBanks, cAccessBanks.size()});
  cAccessBanks.push_back(memory);
  cBankNames.insert(memory.getName());
  return true;
}

bool Linker::AddShareBank(const Memory& memory, std::string& error) {
  if (!verifyUnique(memory, true, error) || !verifyDataNonoverlap(memory, error)) return false;
  const std::string& name = memory.getName();
  // Every declaration of the region was checked against the first, so
  // comparing with the first stands for comparing with each in turn. The
  // data overlap check above already refuses an overlap with its own
  // message; the test stays so that the region's rule holds on its own.
  if (auto first = cShareBankNames.find(name); first != cShareBankNames.end()) {
    const Memory& m = cShareBanks[first->second];
    if (m.overlap(memory)) {
      error = "overlapping definitions of SHAREBANK '" + name + "' ";
      return false;
    }
    if (m.size() != memory.size()) {
      error = "inconsistent length definitions of SHAREBANK '" + name + "' ";
      return false;
    }
  }
  cDataRanges.add(memory.getPhysicalStart(), memory.getPhysicalEnd(), {shareBanks, cShareBanks.size()});
  cShareBankNames.emplace(name, cShareBanks.size());
  cShareBanks.push_back(memory);
  return true;
}

bool Linker::isDataMemory(const std::string& name) const {
  return cBankNames.count(name) || cShareBankNames.count(name);
}

bool Linker::AddSectionDesc(const SectionDesc& section, std::string& error) {
  const std::string& name = section.getName();
  if (cSectionDescNames.count(name)) {
    error = "duplicate definitions of SECTION '" + name + "' ";
    return false;
  }
  const std::string& load = section.getLoadMemory();
  if (!load.empty() && !cCodePageNames.count(load)) {
    error = "undefined CODEPAGE '" + load + "' for SECTION '" + name + "' ";
    return false;
  }
  const std::string& run = section.getRunMemory();
  if (!run.empty() && !isDataMemory(run)) {
    error = "undefined DATABANK/SHAREBANK '" + run + "' for SECTION '" + name + "' ";
    return false;
  }
  cSectionDesc.push_back(section);
  cSectionDescNames.insert(name);
  return true;
}

bool Linker::AddStackDesc(const StackDesc& stack, std::string& error) {
  if (cStackDeclared) {
    error = "multiple STACK definitions ";
    return false;
  }
  const std::string& run = stack.getRunMemory();
  if (!run.empty() && !isDataMemory(run)) {
    error = "undefined DATABANK/SHAREBANK '" + run + "' for STACK. ";
    return false;
  }
  cStackDesc = stack;
  cStackDeclared = true;
  return true;
}

bool Linker::AddLibPath(const std::string& directory, std::string& /*error*/) {
  cLibPath.push_back(directory);
  return true;
}

bool Linker::AddStrip(bool strip, std::string& /*error*/) {
  cStrip = strip;
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
