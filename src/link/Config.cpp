// SPDX-License-Identifier: Apache-2.0
#include "link/Config.h"

namespace tarsil {

bool Config::AddMinHeapSize(uint64_t size, std::string& error) {
  if (cHeapDeclared) {
    error = "multiple min heap sizes declared: '" + std::to_string(cMinHeapSize) + "', '" + std::to_string(size) + "'";
    return false;
  }
  cMinHeapSize = static_cast<uint32_t>(size);
  cHeapDeclared = true;
  return true;
}

bool Config::AddMapFile(const std::string& name, std::string& error) {
  if (!cMapFile.empty()) {
    error = "multiple map files declared: '" + cMapFile + "', '" + name + "'";
    return false;
  }
  cMapFile = name;
  return true;
}

bool Config::AddOutputFile(const std::string& name, std::string& error) {
  if (!cOutputFile.empty()) {
    error = "multiple output files declared: '" + cOutputFile + "', '" + name + "'";
    return false;
  }
  cOutputFile = name;
  return true;
}

bool Config::AddObjectFile(const std::string& name, std::string& error) {
  if (!cObjectFileNames.insert(name).second) {
    error = "mutliple inclusion of object file '" + name + "' ";
    return false;
  }
  cObjectFile.push_back(name);
  return true;
}

bool Config::AddLibraryFile(const std::string& name, std::string& error) {
  if (!cLibraryFileNames.insert(name).second) {
    error = "mutliple inclusion of library file '" + name + "' ";
    return false;
  }
  cLibraryFile.push_back(name);
  return true;
}

bool Config::verifyUnique(const Memory& memory, bool isShareBank, std::string& error) const {
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

bool Config::verifyCodeNonoverlap(const Memory& memory, std::string& error) const {
  auto owner = cCodeRanges.firstOverlap(memory.getPhysicalStart(), memory.getPhysicalEnd());
  if (!owner) return true;
  error = "memory '" + memory.getName() + "' overlaps memory '" + cCodePage[owner->index].getName() + "' ";
  return false;
}

bool Config::verifyDataNonoverlap(const Memory& memory, std::string& error) const {
  auto owner = cDataRanges.firstOverlap(memory.getPhysicalStart(), memory.getPhysicalEnd());
  if (!owner) return true;
  const std::vector<Memory>& list =
      owner->list == dataBanks ? cDataBanks : owner->list == shareBanks ? cShareBanks : cAccessBanks;
  error = "memory '" + memory.getName() + "' overlaps memory '" + list[owner->index].getName() + "' ";
  return false;
}

bool Config::AddCodePage(const Memory& memory, std::string& error) {
  if (!verifyUnique(memory, false, error) || !verifyCodeNonoverlap(memory, error)) return false;
  cCodeRanges.add(memory.getPhysicalStart(), memory.getPhysicalEnd(), {0, cCodePage.size()});
  cCodePage.push_back(memory);
  cCodePageNames.insert(memory.getName());
  return true;
}

bool Config::AddDataBank(const Memory& memory, std::string& error) {
  if (!verifyUnique(memory, false, error) || !verifyDataNonoverlap(memory, error)) return false;
  cDataRanges.add(memory.getPhysicalStart(), memory.getPhysicalEnd(), {dataBanks, cDataBanks.size()});
  cDataBanks.push_back(memory);
  cBankNames.insert(memory.getName());
  return true;
}

bool Config::AddAccessBank(const Memory& memory, std::string& error) {
  if (!verifyUnique(memory, false, error) || !verifyDataNonoverlap(memory, error)) return false;
  cDataRanges.add(memory.getPhysicalStart(), memory.getPhysicalEnd(), {accessBanks, cAccessBanks.size()});
  cAccessBanks.push_back(memory);
  cBankNames.insert(memory.getName());
  return true;
}

bool Config::AddShareBank(const Memory& memory, std::string& error) {
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

bool Config::isDataMemory(const std::string& name) const {
  return cBankNames.count(name) || cShareBankNames.count(name);
}

bool Config::AddSectionDesc(const SectionDesc& section, std::string& error) {
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

bool Config::AddStackDesc(const StackDesc& stack, std::string& error) {
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

bool Config::AddLibPath(const std::string& directory, std::string& /*error*/) {
  cLibPath.push_back(directory);
  return true;
}

bool Config::AddStrip(bool strip, std::string& /*error*/) {
  cStrip = strip;
  return true;
}

}  // namespace tarsil
