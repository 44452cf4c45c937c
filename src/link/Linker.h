#pragma once
#include <cstdint>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

#include "link/ParserClient.h"
#include "link/SectionDesc.h"
#include "memory/Memory.h"

namespace tarsil {

// The link: the configuration that the command line and the command files
// declare, and the stages that turn it into an executable. One object lives
// for the whole run and owns everything the stages compute.
class Linker : public ParserClient {
public:
  Linker() = default;

  bool AddMinHeapSize(unsigned long size, std::string& error) override;
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

  // Runs every stage in order; false with `error` set (or empty when the
  // failing stage reported its own messages) ends the link.
  bool run(std::string& error);

  void print(std::ostream& os) const;

  bool heapDeclared() const { return cHeapDeclared; }
  bool stackDeclared() const { return cStackDeclared; }
  uint32_t getMinHeapSize() const { return cMinHeapSize; }
  const StackDesc& getStackDesc() const { return cStackDesc; }
  const std::string& getStackScnName() const { return cStackScnName; }
  const std::string& getMapFile() const { return cMapFile; }
  const std::string& getOutputFile() const { return cOutputFile; }
  const std::vector<std::string>& getObjectFiles() const { return cObjectFile; }
  const std::vector<std::string>& getLibraryFiles() const { return cLibraryFile; }
  const std::vector<Memory>& getCodePages() const { return cCodePage; }
  const std::vector<Memory>& getDataBanks() const { return cDataBanks; }
  const std::vector<Memory>& getShareBanks() const { return cShareBanks; }
  const std::vector<Memory>& getAccessBanks() const { return cAccessBanks; }
  const std::vector<SectionDesc>& getSectionDescs() const { return cSectionDesc; }
  const std::vector<std::string>& getLibPaths() const { return cLibPath; }
  bool getStrip() const { return cStrip; }

  // Number of program addresses the command files declare.
  unsigned long calcProgMemSize() const;

  // Inputs.
  bool buildCoffs(std::string& error);
  bool buildLibs(std::string& error);
  bool importLibraryMembers(std::string& error);
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

private:
  bool verifyUnique(const Memory& memory, bool isShareBank, std::string& error) const;
  bool verifyCodeNonoverlap(const Memory& memory, std::string& error) const;
  bool verifyDataNonoverlap(const Memory& memory, std::string& error) const;
  bool isDataMemory(const std::string& name) const;

  // A stage that cannot fail by its signature records here that this build
  // lacks it, so that the run still refuses to report success.
  void stageMissing(const char* stage);
  bool stagesAvailable(std::string& error) const;
  static bool stageUnavailable(const char* stage, std::string& error);

  bool cHeapDeclared = false;
  bool cStackDeclared = false;
  uint32_t cMinHeapSize = 32;
  StackDesc cStackDesc;
  std::string cStackScnName = ".stack";
  std::string cMapFile;
  std::string cOutputFile;
  std::vector<std::string> cObjectFile;
  std::vector<std::string> cLibraryFile;
  std::vector<Memory> cCodePage;
  std::vector<Memory> cDataBanks;
  std::vector<Memory> cShareBanks;
  std::vector<Memory> cAccessBanks;
  std::vector<SectionDesc> cSectionDesc;
  std::vector<std::string> cLibPath;
  bool cStrip = false;

  // Name indexes over the lists above, so that a long command file is checked
  // in near-linear time.
  std::set<std::string> cObjectFileNames;
  std::set<std::string> cLibraryFileNames;
  std::set<std::string> cCodePageNames;
  std::set<std::string> cBankNames;  // data and access banks
  std::set<std::string> cShareBankNames;
  std::set<std::string> cSectionDescNames;

  std::string cMissingStage;
};

}  // namespace tarsil
