#include <gtest/gtest.h>

#include <sstream>

#include "link/Linker.h"
#include "support/Debug.h"

using namespace tarsil;

namespace {

Memory code(const std::string& name, uint32_t start, uint32_t end) {
  return Memory(name, start, end, rom, false, false, "");
}

Memory data(const std::string& name, uint32_t start, uint32_t end) {
  return Memory(name, start, end, ram, false, false, "");
}

std::string dump(const Memory& m) {
  std::ostringstream os;
  m.print(os);
  return os.str();
}

}  // namespace

TEST(LinkerConfig, SingleValuedDeclarationsKeepTheFirst) {
  Linker l;
  std::string error;
  EXPECT_EQ(l.getMinHeapSize(), 32u);
  EXPECT_FALSE(l.heapDeclared());

  EXPECT_TRUE(l.AddMinHeapSize(64, error));
  EXPECT_FALSE(l.AddMinHeapSize(16, error));
  EXPECT_EQ(error, "multiple min heap sizes declared: '64', '16'");
  EXPECT_EQ(l.getMinHeapSize(), 64u);

  EXPECT_TRUE(l.AddMapFile("a.map", error));
  EXPECT_FALSE(l.AddMapFile("a.map", error));
  EXPECT_EQ(error, "multiple map files declared: 'a.map', 'a.map'");

  EXPECT_TRUE(l.AddOutputFile("a.cof", error));
  EXPECT_FALSE(l.AddOutputFile("b.cof", error));
  EXPECT_EQ(error, "multiple output files declared: 'a.cof', 'b.cof'");
  EXPECT_EQ(l.getOutputFile(), "a.cof");
}

TEST(LinkerConfig, InputFilesKeepOrderAndAreComparedExactly) {
  Linker l;
  std::string error;
  EXPECT_TRUE(l.AddObjectFile("b.o", error));
  EXPECT_TRUE(l.AddObjectFile("a.o", error));
  EXPECT_TRUE(l.AddObjectFile("./a.o", error));
  EXPECT_FALSE(l.AddObjectFile("a.o", error));
  EXPECT_EQ(error, "mutliple inclusion of object file 'a.o' ");
  EXPECT_EQ(l.getObjectFiles(), (std::vector<std::string>{"b.o", "a.o", "./a.o"}));

  // Objects and libraries are separate lists: one name may be both.
  EXPECT_TRUE(l.AddLibraryFile("a.o", error));
  EXPECT_FALSE(l.AddLibraryFile("a.o", error));
  EXPECT_EQ(error, "mutliple inclusion of library file 'a.o' ");
  EXPECT_EQ(l.getLibraryFiles().size(), 1u);

  EXPECT_TRUE(l.AddLibPath("x", error));
  EXPECT_TRUE(l.AddLibPath("x", error));
  EXPECT_EQ(l.getLibPaths().size(), 2u);
}

TEST(LinkerConfig, OneNamespaceForAllMemoriesButSharedBanksRepeat) {
  Linker l;
  std::string error;
  ASSERT_TRUE(l.AddCodePage(code("m", 0, 0xFF), error));
  EXPECT_FALSE(l.AddDataBank(data("m", 0, 0xFF), error));
  EXPECT_EQ(error, "duplicate definition of memory 'm' ");
  EXPECT_FALSE(l.AddShareBank(data("m", 0x100, 0x1FF), error));
  EXPECT_EQ(error, "duplicate definition of memory 'm' ");

  ASSERT_TRUE(l.AddShareBank(data("s", 0x70, 0x7F), error));
  EXPECT_TRUE(l.AddShareBank(data("s", 0xF0, 0xFF), error));
  EXPECT_FALSE(l.AddAccessBank(data("s", 0x200, 0x2FF), error));
  EXPECT_EQ(error, "duplicate definition of memory 's' ");
  EXPECT_FALSE(l.AddCodePage(code("s", 0x100, 0x1FF), error));
  EXPECT_EQ(error, "duplicate definition of memory 's' ");
  EXPECT_EQ(l.getShareBanks().size(), 2u);
}

TEST(LinkerConfig, OverlapIsCheckedWithinEachAddressSpace) {
  Linker l;
  std::string error;
  ASSERT_TRUE(l.AddCodePage(code("p0", 0, 0x7FF), error));
  ASSERT_TRUE(l.AddCodePage(code("p1", 0x800, 0xFFF), error));
  EXPECT_FALSE(l.AddCodePage(code("p2", 0xFFF, 0x17FF), error));
  EXPECT_EQ(error, "memory 'p2' overlaps memory 'p1' ");
  // A range over several names the one declared first, lowest or not.
  EXPECT_FALSE(l.AddCodePage(code("all", 0, 0x17FF), error));
  EXPECT_EQ(error, "memory 'all' overlaps memory 'p0' ");
  ASSERT_TRUE(l.AddCodePage(code("p3", 0x2000, 0x27FF), error));
  ASSERT_TRUE(l.AddCodePage(code("p4", 0x1800, 0x1FFF), error));
  EXPECT_FALSE(l.AddCodePage(code("p5", 0x1F00, 0x2100), error));
  EXPECT_EQ(error, "memory 'p5' overlaps memory 'p3' ");

  // Same addresses in data memory are a different space.
  EXPECT_TRUE(l.AddDataBank(data("b0", 0, 0x7F), error));
  ASSERT_TRUE(l.AddAccessBank(data("acc", 0x100, 0x17F), error));
  ASSERT_TRUE(l.AddShareBank(data("s", 0x80, 0x8F), error));
  // Data banks, then shared banks, then access banks, whatever the order
  // of declaration.
  EXPECT_FALSE(l.AddDataBank(data("b1", 0x88, 0x10F), error));
  EXPECT_EQ(error, "memory 'b1' overlaps memory 's' ");
  EXPECT_FALSE(l.AddAccessBank(data("a1", 0x7F, 0x80), error));
  EXPECT_EQ(error, "memory 'a1' overlaps memory 'b0' ");
}

TEST(LinkerConfig, SharedRegionKeepsItsLength) {
  Linker l;
  std::string error;
  ASSERT_TRUE(l.AddShareBank(data("s", 0x70, 0x7F), error));
  EXPECT_FALSE(l.AddShareBank(data("s", 0xF0, 0xFE), error));
  EXPECT_EQ(error, "inconsistent length definitions of SHAREBANK 's' ");
  EXPECT_FALSE(l.AddShareBank(data("s", 0x7F, 0x8E), error));
  EXPECT_EQ(error, "memory 's' overlaps memory 's' ");
  EXPECT_EQ(l.getShareBanks().size(), 1u);
}

TEST(LinkerConfig, RefusedDeclarationLeavesNoTrace) {
  Linker l;
  std::string error;
  ASSERT_TRUE(l.AddCodePage(code("p0", 0, 0xFF), error));
  ASSERT_FALSE(l.AddCodePage(code("p1", 0x80, 0x17F), error));
  // The refused page neither exists for SECTION nor holds its name.
  EXPECT_FALSE(l.AddSectionDesc(SectionDesc(".t", "p1", ""), error));
  EXPECT_EQ(error, "undefined CODEPAGE 'p1' for SECTION '.t' ");
  EXPECT_TRUE(l.AddDataBank(data("p1", 0x80, 0x17F), error));

  ASSERT_TRUE(l.AddShareBank(data("s", 0x200, 0x20F), error));
  ASSERT_FALSE(l.AddShareBank(data("s", 0x300, 0x310), error));
  ASSERT_FALSE(l.AddSectionDesc(SectionDesc(".u", "nowhere", ""), error));
  EXPECT_TRUE(l.AddSectionDesc(SectionDesc(".u", "p0", ""), error));

  ASSERT_FALSE(l.AddStackDesc(StackDesc(16, "nowhere"), error));
  EXPECT_FALSE(l.stackDeclared());
  EXPECT_TRUE(l.AddStackDesc(StackDesc(16, ""), error));

  EXPECT_EQ(l.getCodePages().size(), 1u);
  EXPECT_EQ(l.getShareBanks().size(), 1u);
  EXPECT_EQ(l.getSectionDescs().size(), 1u);
}

TEST(LinkerConfig, SectionsAndStackNameEarlierMemories) {
  Linker l;
  std::string error;
  EXPECT_FALSE(l.AddSectionDesc(SectionDesc(".text", "p", ""), error));
  EXPECT_EQ(error, "undefined CODEPAGE 'p' for SECTION '.text' ");
  ASSERT_TRUE(l.AddCodePage(code("p", 0, 0xFF), error));
  ASSERT_TRUE(l.AddShareBank(data("s", 0x70, 0x7F), error));
  ASSERT_TRUE(l.AddAccessBank(data("a", 0, 0x5F), error));

  EXPECT_TRUE(l.AddSectionDesc(SectionDesc(".text", "p", ""), error));
  EXPECT_FALSE(l.AddSectionDesc(SectionDesc(".text", "", "s"), error));
  EXPECT_EQ(error, "duplicate definitions of SECTION '.text' ");
  // A code page is no data memory.
  EXPECT_FALSE(l.AddSectionDesc(SectionDesc(".data", "", "p"), error));
  EXPECT_EQ(error, "undefined DATABANK/SHAREBANK 'p' for SECTION '.data' ");
  EXPECT_TRUE(l.AddSectionDesc(SectionDesc(".shr", "", "s"), error));
  EXPECT_TRUE(l.AddSectionDesc(SectionDesc(".acc", "p", "a"), error));

  EXPECT_FALSE(l.AddStackDesc(StackDesc(16, "p"), error));
  EXPECT_EQ(error, "undefined DATABANK/SHAREBANK 'p' for STACK. ");
  EXPECT_TRUE(l.AddStackDesc(StackDesc(16, "a"), error));
  EXPECT_FALSE(l.AddStackDesc(StackDesc(16, "a"), error));
  EXPECT_EQ(error, "multiple STACK definitions ");
  EXPECT_EQ(l.getStackDesc().getRunMemory(), "a");
}

TEST(LinkerConfig, ProgramSizeSumsTheCodePages) {
  Linker l;
  std::string error;
  EXPECT_EQ(l.calcProgMemSize(), 0u);
  ASSERT_TRUE(l.AddCodePage(code("p0", 0, 0x7FF), error));
  ASSERT_TRUE(l.AddCodePage(code("p1", 0x800, 0x800), error));
  ASSERT_TRUE(l.AddDataBank(data("b", 0, 0xFF), error));
  EXPECT_EQ(l.calcProgMemSize(), 0x801u);
}

TEST(LinkerConfig, PrintListsEveryMemberInOrder) {
  Linker l;
  std::string error;
  Memory p0 = code("p0", 0, 0xFF);
  Memory b0 = data("b0", 0x20, 0x7F);
  Memory s0 = data("s0", 0x80, 0x8F);
  Memory a0 = data("a0", 0x90, 0x9F);
  ASSERT_TRUE(l.AddMinHeapSize(0x40, error));
  ASSERT_TRUE(l.AddStackDesc(StackDesc(0x10, ""), error));
  ASSERT_TRUE(l.AddMapFile("m.map", error));
  ASSERT_TRUE(l.AddObjectFile("x.o", error));
  ASSERT_TRUE(l.AddObjectFile("y.o", error));
  ASSERT_TRUE(l.AddLibraryFile("z.lib", error));
  ASSERT_TRUE(l.AddCodePage(p0, error));
  ASSERT_TRUE(l.AddDataBank(b0, error));
  ASSERT_TRUE(l.AddShareBank(s0, error));
  ASSERT_TRUE(l.AddAccessBank(a0, error));
  ASSERT_TRUE(l.AddSectionDesc(SectionDesc(".t", "p0", ""), error));
  ASSERT_TRUE(l.AddLibPath("lib", error));
  ASSERT_TRUE(l.AddStrip(true, error));

  Debug("Linker::print", 0);
  std::ostringstream os;
  l.print(os);
  EXPECT_EQ(os.str(), "Linker:\n"
                      "  cMinHeapSize=0x00000040\n"
                      "  cStackDesc=StackDesc:  cSize=0x00000010, cRunMemory=\n"
                      "  cMapFile=m.map\n"
                      "  cOutputFile=\n"
                      "  cObjectFile[0]=x.o\n"
                      "  cObjectFile[1]=y.o\n"
                      "  cLibraryFile[0]=z.lib\n"
                      "  cCodePage[0]=" + dump(p0) +
                      "  cDataBanks[0]=" + dump(b0) +
                      "  cShareBanks[0]=" + dump(s0) +
                      "  cAccessBanks[0]=" + dump(a0) +
                      "  cSectionDesc[0]=SectionDesc:  cName=.t, cLoadMemory=p0, cRunMemory=\n"
                      "  cLibPath[0]=lib\n"
                      "  cStrip=1\n");

  Debug("Linker::print", 1);
  std::ostringstream internals;
  l.print(internals);
  EXPECT_NE(internals.str().find("  cStrip=1\n------- Linker Internals: \n"), std::string::npos);
  Debug("Linker::print", 0);
}

TEST(LinkerRun, AFailingStageFailsTheRunAndTheOutputNameDefaults) {
  Linker l;
  std::string error;
  EXPECT_FALSE(l.run(error));
  EXPECT_EQ(error, "no input object files specified.");
  EXPECT_EQ(l.getOutputFile(), "a.out");

  Linker named;
  ASSERT_TRUE(named.AddOutputFile("x.cof", error));
  EXPECT_FALSE(named.run(error));
  EXPECT_EQ(named.getOutputFile(), "x.cof");
}
