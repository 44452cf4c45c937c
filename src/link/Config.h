// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link/DeclaredRanges.h"
#include "link/ParserClient.h"
#include "link/SectionDesc.h"
#include "memory/Memory.h"

namespace tarsil {

// What the command line and the command files say, as the parser fills it
// in: each declaration is checked against those taken before it, and a
// refused one leaves no trace. It holds nothing the link computes.
class Config : public ParserClient {
public:
  bool AddMinHeapSize(uint64_t size, std::string& error) override;
  bool AddMapFile(const std::string& name, std::string& error) override;
  bool AddOutputFile(const std::string& name, std::string& error) override;
  bool AddObjectFile(const std::string& name, std::string& error) override;
  bool AddLibraryFile(const std::string& name, std::string& error) override;
  bool AddCodePage(const Memory& memory, std::string& error) override;
  bool AddDataBank(const Memory& memory, std::string& error) override;
  bool AddShareBank(const Memory& memory, std::string& error) override;
  bool AddAccessBank(const Memory& memory, std::string& error) override;
  bool AddSectionDesc(const SectionDesc& section, std::string& error) override;
  bool AddStackDesc(const StackDesc& stack, std::string& error) override;
  bool AddLibPath(const std::string& directory, std::string& error) override;
  bool AddStrip(bool strip, std::string& error) override;

  bool cHeapDeclared = false;
  bool cStackDeclared = false;
  uint32_t cMinHeapSize = 32;
  StackDesc cStackDesc;
  std::string cMapFile;
  std::string cOutputFile;
  // The JSON map and its page (--map-json, --map-html); empty for none.
  std::string cMapJsonFile;
  std::string cMapHtmlFile;
  std::vector<std::string> cObjectFile;
  std::vector<std::string> cLibraryFile;
  std::vector<Memory> cCodePage;
  std::vector<Memory> cDataBanks;
  std::vector<Memory> cShareBanks;
  std::vector<Memory> cAccessBanks;
  std::vector<SectionDesc> cSectionDesc;
  std::vector<std::string> cLibPath;
  bool cStrip = false;

private:
  bool verifyUnique(const Memory& memory, bool isShareBank, std::string& error) const;
  bool verifyCodeNonoverlap(const Memory& memory, std::string& error) const;
  bool verifyDataNonoverlap(const Memory& memory, std::string& error) const;
  bool isDataMemory(const std::string& name) const;

  // Name indexes over the lists above, so that a long command file is checked
  // in near-linear time.
  std::set<std::string> cObjectFileNames;
  std::set<std::string> cLibraryFileNames;
  std::set<std::string> cCodePageNames;
  std::set<std::string> cBankNames;  // data and access banks
  // Each shared bank's name, to the place of its first declaration.
  std::map<std::string, size_t> cShareBankNames;
  // The ranges of the code pages, and of all data memories together.
  DeclaredRanges cCodeRanges;
  DeclaredRanges cDataRanges;
  std::set<std::string> cSectionDescNames;
};

}  // namespace tarsil
