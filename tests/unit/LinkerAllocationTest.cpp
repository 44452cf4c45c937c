#include <gtest/gtest.h>

#include "TestDevices.h"

#include <memory>
#include <string>

#include "coff/Coff.h"
#include "link/Linker.h"

using namespace tarsil;

namespace {

using namespace tarsil::testdev;

// A linker with its inputs loaded and merged, ready for placement.
class Placement : public ::testing::Test {
protected:
  Coff& input(const std::string& file, uint16_t device = core14Dev) {
    auto c = std::make_unique<Coff>();
    c->cFileName = file;
    c->cOptHdr.proc_type = device;
    linker.cCoff.push_back(std::move(c));
    return *linker.cCoff.back();
  }

  static void section(Coff& c, const std::string& name, uint32_t flags, uint32_t size, uint32_t paddr = 0) {
    scnhdr h{};
    h.s_flags = flags;
    h.s_size = size;
    h.s_paddr = paddr;
    int number = static_cast<int>(c.cScnNum.size()) + 1;
    c.cScnNum[number] = name;
    c.cScnHdr[name] = h;
  }

  void codePage(const std::string& name, uint32_t start, uint32_t end) {
    ASSERT_TRUE(linker.AddCodePage(Memory(name, start, end, rom, false, false, ""), error)) << error;
  }

  void dataBank(const std::string& name, uint32_t start, uint32_t end) {
    ASSERT_TRUE(linker.AddDataBank(Memory(name, start, end, ram, false, false, ""), error)) << error;
  }

  void prepare() {
    ASSERT_TRUE(linker.verifyProcessor(error)) << error;
    ASSERT_TRUE(linker.buildSectionAttribs(error)) << error;
  }

  Linker linker;
  std::string error;
};

TEST_F(Placement, piecesThatEndInsideAWordStillGetWholeWords) {
  // Two 3-byte pieces in 2-byte words take two words each; the section must
  // get four words, not the three its 6 bytes would suggest, or the second
  // piece would run past its range.
  Coff& a = input("a.o", core16Dev);
  section(a, "r", STYP_DATA_ROM, 3);
  Coff& b = input("b.o", core16Dev);
  section(b, "r", STYP_DATA_ROM, 3);
  section(b, "after", STYP_TEXT, 2);
  codePage("p", 0, 0xFF);
  prepare();

  ASSERT_TRUE(linker.mapSections(error)) << error;
  ASSERT_TRUE(linker.loadSections(error)) << error;
  Memory* mem = linker.cScnMem.at("r");
  uint32_t start = mem->getAllocatedStart("r");
  EXPECT_EQ(mem->getAllocatedSize("r"), 8u);
  EXPECT_EQ(mem->getLoadedStart("a.o", "r"), start);
  EXPECT_EQ(mem->getLoadedStart("b.o", "r"), start + 2);
  uint32_t after = linker.cScnMem.at("after")->getAllocatedStart("after");
  EXPECT_TRUE(after + 1 <= start || after >= start + 4) << "'after' overlaps 'r'";
}

TEST_F(Placement, imagesTakeTheirNamePlaceAmongSectionsOfEqualSize) {
  // Core14 images are twice their data: "m_i" needs 4 bytes like "a", "m0"
  // and "z". Equal sizes go in descending name order, so the image, which
  // is named apart from the sections, must fall between "m0" and "a".
  Coff& a = input("a.o");
  section(a, "a", STYP_TEXT, 4);
  section(a, "z", STYP_TEXT, 4);
  section(a, "m0", STYP_TEXT, 4);
  section(a, "m", STYP_DATA, 2);
  codePage("p", 0, 0xFF);
  dataBank("d", 0x20, 0x6F);
  prepare();

  ASSERT_TRUE(linker.mapSections(error)) << error;
  auto start = [&](const std::string& name) { return linker.cScnMem.at(name)->getAllocatedStart(name); };
  EXPECT_LT(start("z"), start("m_i"));
  EXPECT_LT(start("m_i"), start("m0"));
  EXPECT_LT(start("m0"), start("a"));
}

// Two pieces whose sum passes 32 bits: the message must show the sum, not a
// wrapped value that would have fitted.
class HostileSize : public Placement, public ::testing::WithParamInterface<bool> {};

TEST_P(HostileSize, isReportedWhole) {
  const bool assigned = GetParam();
  Coff& a = input("a.o");
  section(a, "u", STYP_BSS, 0x80000002u);
  Coff& b = input("b.o");
  section(b, "u", STYP_BSS, 0x80000002u);
  codePage("p", 0, 0xFF);
  dataBank("d", 0x20, 0x6F);
  if (assigned) {
    ASSERT_TRUE(linker.AddSectionDesc(SectionDesc("u", "", "d"), error)) << error;
  }
  prepare();
  EXPECT_FALSE(linker.mapSections(error));
  EXPECT_EQ(error, assigned ? "section 'u' has a memory 'd' which can not fit the section. Section 'u' "
                              "length=0x100000004."
                            : "section 'u' can not fit the section. Section 'u' length=0x100000004");
  EXPECT_EQ(linker.cScnMem.count("u"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Placement, HostileSize, ::testing::Bool());

TEST_F(Placement, absoluteSectionsNearTheTopOfTheAddressSpace) {
  Coff& a = input("a.o", core16eDev);
  section(a, "top", STYP_TEXT | STYP_ABS, 8, 0xFFFFFFFCu);
  codePage("p", 0, 0xFF);
  codePage("high", 0xFFFFFF00u, 0xFFFFFFFFu);
  prepare();
  EXPECT_FALSE(linker.mapSections(error));
  EXPECT_EQ(error, "section 'top' can not fit the absolute section. Section 'top' start=0xfffffffc, length=0x00000008");
}

TEST_F(Placement, piecesFromTwoInputsOfOneNameAreRefused) {
  Coff& a = input("x.o");
  section(a, ".text", STYP_TEXT, 2);
  Coff& b = input("x.o");
  section(b, ".text", STYP_TEXT, 2);
  codePage("p", 0, 0xFF);
  prepare();
  ASSERT_TRUE(linker.mapSections(error)) << error;
  EXPECT_FALSE(linker.loadSections(error));
  EXPECT_EQ(error, "section '.text' has more than one piece from input files named 'x.o'.");
}

TEST_F(Placement, anActivationRecordWithoutOwnerIsRefused) {
  Coff& a = input("a.o");
  section(a, ".text", STYP_TEXT, 2);
  section(a, "rec", STYP_ACTREC, 2);
  codePage("p", 0, 0xFF);
  dataBank("d", 0x20, 0x6F);
  prepare();

  EXPECT_FALSE(linker.mapSections(error));
  EXPECT_EQ(error, "section 'rec' holds activation records but no function owns it.");
}

TEST_F(Placement, aRecordFieldThatNamesCodeIsRefused) {
  Coff& a = input("a.o");
  section(a, ".text", STYP_TEXT, 2);
  codePage("p", 0, 0xFF);
  dataBank("d", 0x20, 0x6F);
  prepare();
  syment owner{};
  linker.cScnActRec[".text"] = &owner;
  EXPECT_FALSE(linker.mapSections(error));
  EXPECT_EQ(error,
            "section '.text' is given as a function's activation record but is not an activation record section.");
}

TEST_F(Placement, everyPassEntersItsSectionsWithTheirMemories) {
  // Absolute, assigned and unassigned sections, the stack, the table and an
  // image all end up in the section table, each under the memory that
  // holds it, whichever pass placed it.
  Coff& a = input("a.o");
  section(a, "abs", STYP_TEXT | STYP_ABS, 4, 0x80);
  section(a, "mine", STYP_TEXT, 4);
  section(a, "zfree", STYP_TEXT, 6);
  section(a, "data", STYP_DATA, 2);
  section(a, "bss", STYP_BSS, 3);
  codePage("p", 0, 0xFF);
  codePage("q", 0x100, 0x1FF);
  dataBank("d", 0x20, 0x6F);
  ASSERT_TRUE(linker.AddSectionDesc(SectionDesc("mine", "q", ""), error)) << error;
  ASSERT_TRUE(linker.AddStackDesc(StackDesc(8, ""), error)) << error;
  prepare();

  ASSERT_TRUE(linker.mapSections(error)) << error;
  std::vector<std::string> names;
  for (const auto& [name, mem] : linker.cScnMem) {
    names.push_back(name);
    ASSERT_NE(mem, nullptr) << name;
    EXPECT_TRUE(mem->isAllocated(name)) << name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{".cinit", ".stack", "abs", "bss", "data", "data_i", "mine", "zfree"}));
  EXPECT_EQ(linker.cScnMem.at("mine")->getName(), "q");
  EXPECT_EQ(linker.cScnMem.at("abs")->getAllocatedStart("abs"), 0x80u);
  EXPECT_EQ(linker.cScnMem.at("bss")->getName(), "d");
}

TEST_F(Placement, loadedPiecesMoveTheirSymbolsAndOnlyCodeLines) {
  // The second input's piece of "t" starts after the first one's, and its
  // symbol and line move with it; lines of a section that is not code stay
  // where they are.
  Coff& a = input("a.o");
  section(a, "t", STYP_TEXT, 4);
  section(a, "r", STYP_DATA_ROM, 2);
  a.cLineInfo["r"] = {coff_lineno(0, 7, 1, 0, 0)};
  Coff& b = input("b.o");
  section(b, "x", STYP_BSS, 1);
  section(b, "t", STYP_TEXT, 4, 0x10);
  syment label{};
  label.n_value = 0x11;
  label.n_scnum = 2;
  label.n_sclass = 3;
  b.cSymTbl.push_back(label);
  b.cLineInfo["t"] = {coff_lineno(0, 9, 0x12, 0, 0)};
  codePage("p", 0, 0xFF);
  dataBank("d", 0x20, 0x6F);
  prepare();

  ASSERT_TRUE(linker.mapSections(error)) << error;
  ASSERT_TRUE(linker.loadSections(error)) << error;
  ASSERT_TRUE(linker.relocateSymbols(error)) << error;
  ASSERT_TRUE(linker.relocateLineInfo(error)) << error;
  const uint32_t second = linker.cScnMem.at("t")->getLoadedStart("b.o", "t");
  EXPECT_EQ(second, linker.cScnMem.at("t")->getAllocatedStart("t") + 2);
  EXPECT_EQ(linker.cCoff[1]->cSymTbl[0].n_value, second + 1);
  EXPECT_EQ(linker.cCoff[1]->cLineInfo.at("t")[0].l_paddr, second + 2);
  EXPECT_EQ(linker.cCoff[0]->cLineInfo.at("r")[0].l_paddr, 1u);
}

TEST_F(Placement, bytesPerLocationFollowTheWidths) {
  input("a.o", core16eDev);
  codePage("p", 0, 0xFF);
  prepare();
  EXPECT_EQ(linker.bytesPerLocation(rom), 1u);
  EXPECT_EQ(linker.bytesPerLocation(ram), 1u);
  linker.cRomWidthBits = 14;
  EXPECT_EQ(linker.bytesPerLocation(rom), 2u);
}

}  // namespace
