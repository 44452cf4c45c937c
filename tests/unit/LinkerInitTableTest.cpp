#include <gtest/gtest.h>

#include "TestDevices.h"

#include <memory>
#include <string>
#include <vector>

#include "coff/Coff.h"
#include "link/Linker.h"

using namespace tarsil;

namespace {

using namespace tarsil::testdev;

class InitTable : public ::testing::Test {
protected:
  // One input holding `sections` (name, flags, size, address), the pages and
  // banks given, loaded and merged.
  struct Scn {
    std::string name;
    uint32_t flags;
    uint32_t size;
    uint32_t paddr = 0;
  };

  void link(uint16_t device, const std::vector<Scn>& sections) {
    auto c = std::make_unique<Coff>();
    c->cFileName = "a.o";
    c->cOptHdr.proc_type = device;
    for (const auto& s : sections) {
      scnhdr h{};
      h.s_flags = s.flags;
      h.s_size = s.size;
      h.s_paddr = s.paddr;
      c->cScnNum[static_cast<int>(c->cScnNum.size()) + 1] = s.name;
      c->cScnHdr[s.name] = h;
    }
    linker.cCoff.push_back(std::move(c));
    ASSERT_TRUE(linker.verifyProcessor(error)) << error;
    ASSERT_TRUE(linker.buildSectionAttribs(error)) << error;
  }

  void memory(bool code, const std::string& name, uint32_t start, uint32_t end) {
    Memory m(name, start, end, code ? rom : ram, false, false, "");
    ASSERT_TRUE(code ? linker.AddCodePage(m, error) : linker.AddDataBank(m, error)) << error;
  }

  std::vector<uint8_t> table() const {
    const char* bytes = linker.cInitTable.bytes();
    return std::vector<uint8_t>(bytes, bytes + linker.cInitTable.size());
  }

  uint32_t startOf(const std::string& name) const {
    return linker.cScnMem.at(name)->getAllocatedStart(name);
  }

  Linker linker;
  std::string error;
};

TEST_F(InitTable, imageNames) {
  EXPECT_EQ(linker.getInitImageName("data"), "data_i");
  EXPECT_EQ(linker.getInitRamName("x_i"), "x");
  EXPECT_EQ(linker.getInitRamName("x_i_i"), "x_i");
  EXPECT_EQ(linker.getInitRamName("_i"), "_i");
  EXPECT_EQ(linker.getInitRamName("data"), "data");
  EXPECT_EQ(linker.getInitRamName("x_j"), "x_j");
}

TEST_F(InitTable, sizesCountEverySectionButListOnlyThoseWithData) {
  memory(true, "p", 0, 0xFF);
  memory(false, "d", 0x20, 0x6F);
  link(core14Dev, {{"a", STYP_DATA, 4}, {"b", STYP_DATA, 0}, {"c", STYP_TEXT, 2}});
  EXPECT_EQ(linker.getInitTableSize(), 28u);
  EXPECT_EQ(linker.getInitImageSize(4), 8u);

  ASSERT_TRUE(linker.mapSections(error)) << error;
  ASSERT_TRUE(linker.loadSections(error)) << error;
  ASSERT_TRUE(linker.buildInitTable(error)) << error;
  uint32_t image = startOf("a_i");
  uint32_t data = startOf("a");
  std::vector<uint8_t> expected{1, 0, uint8_t(image), uint8_t(image >> 8), uint8_t(data), uint8_t(data >> 8), 4, 0};
  EXPECT_EQ(table(), expected);
  EXPECT_EQ(linker.cScnMem.at("a_i")->getAllocatedSize("a_i"), 8u);
  EXPECT_EQ(linker.cScnMem.at(".cinit")->getAllocatedSize(".cinit"), 28u);
  EXPECT_EQ(linker.cScns.at("a_i").type, Coff::romdata);
  EXPECT_EQ(linker.cCinitSym.n_value, startOf(".cinit"));
}

TEST_F(InitTable, sizesByFamily) {
  struct Case {
    uint16_t device;
    unsigned long empty, withTwo;
  };
  for (const Case& c : {Case{core12Dev, 4, 28}, Case{core16Dev, 2, 14}, Case{core16eDev, 2, 26}}) {
    SCOPED_TRACE(c.device);
    linker.cCoff.clear();
    linker.cScns.clear();
    link(c.device, {});
    EXPECT_EQ(linker.getInitTableSize(), c.empty);
    linker.cScns["x"].type = Coff::idata;
    linker.cScns["y"].type = Coff::idata;
    EXPECT_EQ(linker.getInitTableSize(), c.withTwo);
  }
}

TEST_F(InitTable, wideEntriesKeepEveryByteOfTheAddresses) {
  memory(true, "p", 0, 0xFF);
  memory(true, "hi", 0x12300, 0x123FF);
  memory(false, "d", 0x100, 0x1FF);
  ASSERT_TRUE(linker.AddSectionDesc(SectionDesc("d_i", "hi", ""), error)) << error;
  ASSERT_TRUE(linker.AddSectionDesc(SectionDesc(".cinit", "hi", ""), error)) << error;
  link(core16eDev, {{"d", STYP_DATA | STYP_ABS, 3, 0x100}});
  ASSERT_TRUE(linker.mapSections(error)) << error;
  ASSERT_TRUE(linker.loadSections(error)) << error;
  ASSERT_TRUE(linker.buildInitTable(error)) << error;
  // The table is placed first, before the directives are served.
  EXPECT_EQ(startOf(".cinit"), 0x12300u);
  EXPECT_EQ(linker.cCinitSym.n_value, 0x12300u);
  EXPECT_EQ(startOf("d_i"), 0x12300u + 14);
  std::vector<uint8_t> expected{1, 0, 0x0E, 0x23, 0x01, 0, 0x00, 0x01, 0, 0, 3, 0, 0, 0};
  EXPECT_EQ(table(), expected);
}

TEST_F(InitTable, longImageNamesJoinTheStringTable) {
  linker.cScns["abcdefg"].type = Coff::idata;  // image name of 9 characters
  linker.cScns["short"].type = Coff::idata;    // 7: stays in the header
  linker.cScns["longer_code"].type = Coff::code;
  ASSERT_TRUE(linker.addInitScnNames(error));
  ASSERT_EQ(linker.cOutput.cStrTbl.size(), 1u);
  EXPECT_EQ(linker.cOutput.cStrTbl.at(4), "abcdefg_i");
  EXPECT_EQ(linker.cOutputStrTbl.at("abcdefg_i"), 4);

  Linker other;
  other.cOutput.cStrTbl[4] = "longer_code";
  other.cOutputStrTbl["longer_code"] = 4;
  other.cScns[".initialized"].type = Coff::idata;
  other.cScns["abcdefg"].type = Coff::idata;
  ASSERT_TRUE(other.addInitScnNames(error));
  EXPECT_EQ(other.cOutput.cStrTbl.at(16), ".initialized_i");
  EXPECT_EQ(other.cOutput.cStrTbl.at(31), "abcdefg_i");
  EXPECT_EQ(other.cOutputStrTbl.at("abcdefg_i"), 31);
}

}  // namespace
