#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "device/Processor.h"
#include "link/Linker.h"
#include "support/Error.h"

using namespace tarsil;

namespace {

// Sets one attribute in each named section's record.
template <class T>
void setAll(Linker& l, T MergedSection::*field, std::initializer_list<std::pair<const char*, T>> values) {
  for (const auto& [name, value] : values) {
    MergedSection& scn = l.cScns[name];
    scn.*field = value;
    if constexpr (std::is_same_v<T, unsigned long>) scn.sized = scn.sized || field == &MergedSection::size;
  }
}

// An input object built field by field: sections with their bytes, and a
// symbol table slot by slot.
struct Input {
  explicit Input(const std::string& name) : coff(std::make_unique<Coff>()) { coff->cFileName = name; }

  Input& section(const std::string& name, Coff::ScnType type, const std::vector<uint8_t>& bytes = {},
                 uint32_t address = 0) {
    scnhdr h{};
    Coff::setName(h, coff->cStrTbl, name);
    h.s_paddr = address;
    h.s_size = static_cast<uint32_t>(bytes.size());
    Coff::setScnFlags(h, type, false, false, false);
    coff->cScnNum[static_cast<int>(coff->cScnNum.size()) + 1] = name;
    coff->cScnHdr[name] = h;
    if (!bytes.empty())
      coff->cRawData[name] =
          Data(static_cast<unsigned long>(bytes.size()), reinterpret_cast<const char*>(bytes.data()));
    return *this;
  }

  Input& symbol(const char* name, int16_t scnum, uint8_t numaux = 0, uint16_t type = 0) {
    syment s{};
    Coff::setName(s, coff->cStrTbl, name);
    s.n_scnum = scnum;
    s.n_sclass = C_EXT;
    s.n_type = type;
    s.n_numaux = numaux;
    coff->cSymTbl.push_back(s);
    coff->cSymKind.push_back(AuxKind::none);
    return *this;
  }

  template <class Aux>
  Input& aux(const Aux& a, AuxKind kind) {
    syment slot{};
    setAux(slot, a);
    coff->cSymTbl.push_back(slot);
    coff->cSymKind.push_back(kind);
    return *this;
  }

  std::unique_ptr<Coff> coff;
};

std::vector<uint8_t> bytesOf(const Data& d) {
  return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(d.bytes()),
                              reinterpret_cast<const uint8_t*>(d.bytes()) + d.size());
}

class LinkerOutputTest : public ::testing::Test {
protected:
  void SetUp() override {
    Error::reset();
    Error::quiet(true);
  }
  void TearDown() override { Error::reset(); }

  void device(uint16_t code) {
    l.cProcType = convertDvsProcType(code);
    l.cInstSet = getInstSet(l.cProcType);
    l.cRomWidthBits = getRomWidth(l.cProcType);
    l.cRamWidthBits = getRamWidth(l.cProcType);
  }

  void add(Input& input) { l.cCoff.push_back(std::move(input.coff)); }

  Linker l;
  std::string error;
};

}  // namespace

TEST_F(LinkerOutputTest, SectionsAreNumberedInInputOrderThenTableAndStack) {
  Input a("a.o"), b("b.o");
  a.section("a", Coff::code).section("d", Coff::idata).section("b", Coff::code);
  b.section("b", Coff::code).section("c", Coff::udata).section("d", Coff::idata);
  add(a);
  add(b);
  setAll(l, &MergedSection::type, {{"a", Coff::code}, {"b", Coff::code}, {"c", Coff::udata}, {"d", Coff::idata}});
  ASSERT_TRUE(l.AddStackDesc(StackDesc(16, ""), error));
  ASSERT_TRUE(l.buildOutputScnNum(error));
  const std::map<int, std::string> expected{{1, "a"}, {2, "d"},      {3, "d_i"},   {4, "b"},
                                            {5, "c"}, {6, ".cinit"}, {7, ".stack"}};
  EXPECT_EQ(l.cOutput.cScnNum, expected);
}

TEST_F(LinkerOutputTest, SymbolIndicesAreRebasedPerInput) {
  Input a("a.o"), b("b.o");
  a.section("text", Coff::code);
  a.symbol("one", 1).symbol("two", 1);
  b.section("data", Coff::udata).section("text", Coff::code);
  aux_fcn fcn{};
  fcn.x_tagndx = 0;
  fcn.x_endndx = 12;
  aux_fcn_calls call{};
  call.x_calleendx = 3;
  aux_fcn_calls indirect{};
  indirect.x_calleendx = NO_CALLEE;
  aux_file file{};
  aux_fcn_calls notACall{};
  notACall.x_calleendx = 7;
  b.symbol("f", 2, 3, 0x20).aux(fcn, AuxKind::fcn).aux(call, AuxKind::fcn_calls).aux(indirect, AuxKind::fcn_calls);
  // Further slots of a symbol that is not a function are not call records,
  // whatever the reader called them.
  b.symbol(".file", -2, 2).aux(file, AuxKind::file).aux(notACall, AuxKind::fcn_calls);
  b.symbol("ext", 0);
  add(a);
  add(b);
  setAll(l, &MergedSection::type, {{"data", Coff::udata}, {"text", Coff::code}});
  ASSERT_TRUE(l.buildOutputScnNum(error));
  ASSERT_TRUE(l.buildOutputSymbolTbl(error));

  ASSERT_EQ(l.cSymBase, (std::vector<uint32_t>{0, 2}));
  const auto& out = l.cOutput.cSymTbl;
  ASSERT_EQ(out.size(), 10u);
  EXPECT_EQ(l.cOutput.cSymKind[3], AuxKind::fcn);
  // b's section 2 is "text", which is the output's section 1.
  EXPECT_EQ(out[2].n_scnum, 1);
  EXPECT_EQ(getAux<aux_fcn>(out[3]).x_tagndx, 2u);
  EXPECT_EQ(getAux<aux_fcn>(out[3]).x_endndx, 14u);
  EXPECT_EQ(getAux<aux_fcn_calls>(out[4]).x_calleendx, 5u);
  EXPECT_EQ(getAux<aux_fcn_calls>(out[5]).x_calleendx, NO_CALLEE);
  EXPECT_EQ(out[6].n_scnum, -2);
  EXPECT_EQ(getAux<aux_fcn_calls>(out[8]).x_calleendx, 7u);
  EXPECT_EQ(out[9].n_scnum, 0);
}

TEST_F(LinkerOutputTest, SymbolsFollowTheirSectionsNumbersEvenWithGaps) {
  // Numbers as an object built in memory may hold them: a gap, and a section
  // the output does not know. A symbol on a number without a section, or on
  // the unknown one, keeps its number; the others take the output's.
  Input a("a.o"), b("b.o");
  a.section("x", Coff::code);
  b.section("y", Coff::code);
  b.coff->cScnNum = {{1, "y"}, {3, "x"}, {5, "z"}};
  b.symbol("on3", 3).symbol("on1", 1).symbol("on2", 2).symbol("on5", 5).symbol("on9", 9);
  add(a);
  add(b);
  setAll(l, &MergedSection::type, {{"x", Coff::code}, {"y", Coff::code}});
  ASSERT_TRUE(l.buildOutputScnNum(error));
  l.cOutput.cScnNum.erase(std::find_if(l.cOutput.cScnNum.begin(), l.cOutput.cScnNum.end(),
                                       [](const auto& entry) { return entry.second == "z"; }));
  ASSERT_TRUE(l.buildOutputSymbolTbl(error));
  const auto& out = l.cOutput.cSymTbl;
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0].n_scnum, 1);  // x
  EXPECT_EQ(out[1].n_scnum, 2);  // y
  EXPECT_EQ(out[2].n_scnum, 2);  // no section 2 in b: kept
  EXPECT_EQ(out[3].n_scnum, 5);  // z has no output number: kept
  EXPECT_EQ(out[4].n_scnum, 9);
}

TEST_F(LinkerOutputTest, LineEntriesFollowTheirInputsSymbols) {
  Input a("a.o"), b("b.o");
  a.section("text", Coff::code).symbol("x", 1).symbol("y", 1).symbol("z", 1);
  b.section("text", Coff::code).section("ram", Coff::udata).symbol("w", 1);
  coff_lineno line{};
  line.l_srcndx = 0;
  line.l_lnno = 10;
  line.l_flags = LINENO_HASFCN;
  line.l_fcnndx = 0;
  b.coff->cLineInfo["text"].push_back(line);
  b.coff->cLineInfo["ram"].push_back(line);  // only code sections keep lines
  add(a);
  add(b);
  setAll(l, &MergedSection::type, {{"ram", Coff::udata}, {"text", Coff::code}});
  ASSERT_TRUE(l.buildOutputScnNum(error));
  ASSERT_TRUE(l.buildOutputSymbolTbl(error));
  ASSERT_TRUE(l.buildOutputLineInfo(error));
  ASSERT_EQ(l.cOutput.cLineInfo.size(), 1u);
  ASSERT_EQ(l.cOutput.cLineInfo["text"].size(), 1u);
  EXPECT_EQ(l.cOutput.cLineInfo["text"][0].l_srcndx, 3u);
  EXPECT_EQ(l.cOutput.cLineInfo["text"][0].l_fcnndx, 3u);
}

TEST_F(LinkerOutputTest, StripLeavesNoSymbolsNorLinesAndSaysSo) {
  device(0xD91D);
  Input a("a.o");
  a.section("text", Coff::code).symbol("x", 1);
  a.coff->cLineInfo["text"].push_back(coff_lineno{});
  a.coff->cOptHdr.magic = 0x5678;
  a.coff->cOptHdr.vstamp = 2;
  add(a);
  setAll(l, &MergedSection::type, {{"text", Coff::code}});
  ASSERT_TRUE(l.AddStrip(true, error));
  ASSERT_TRUE(l.AddOutputFile("prog.cof", error));
  ASSERT_TRUE(l.buildOutputScnNum(error));
  ASSERT_TRUE(l.buildOutputSymbolTbl(error));
  ASSERT_TRUE(l.buildOutputLineInfo(error));
  ASSERT_TRUE(l.buildOutputHdrs(error));
  EXPECT_TRUE(l.cOutput.cSymTbl.empty());
  EXPECT_TRUE(l.cOutput.cLineInfo.empty());
  EXPECT_EQ(l.cOutput.cFileHdr.f_flags, 0x0086);
  EXPECT_EQ(l.cOutput.cFileHdr.f_opthdr, 16);
  EXPECT_EQ(l.cOutput.cOptHdr.magic, 0x5678);
  EXPECT_EQ(l.cOutput.cOptHdr.vstamp, 2);
  EXPECT_EQ(l.cOutput.cOptHdr.proc_type, 0xD91Du);
  EXPECT_EQ(l.cOutput.cOptHdr.rom_width_bits, 14u);
  EXPECT_EQ(l.cOutput.cFileName, "prog.cof");
}

// Raw data of a Core14 link: two pieces of one code section, where the first
// ends inside a location, an absolute piece of odd length, and an idata
// section with its image.
TEST_F(LinkerOutputTest, PiecesLandAtTheirLoadedLocationsAndImagesBecomeReturns) {
  device(0xD91D);
  Memory page("page", 0, 0x7FF, rom, false, false, "");
  Memory bank("bank", 0x20, 0x6F, ram, false, false, "");
  page.setRangeWidths(14);
  bank.setRangeWidths(8);
  Input a("a.o"), b("b.o");
  a.section("text", Coff::code, {0x01, 0x02, 0x03}).section("init", Coff::idata, {0x01, 0x02, 0x03});
  b.section("text", Coff::code, {0x04, 0x05}).section("fixed", Coff::code, {0xAA, 0xBB, 0xCC}, 0x100);
  page.allocateSection("text", 6, false, 1);
  page.allocateAbsSection("fixed", 0x100, 3, false);
  page.allocateSection("init_i", 6, false, 1);
  page.allocateSection(".cinit", 16, false, 1);
  bank.allocateSection("init", 3, false, 1);
  page.loadSection("a.o", "text", 3);
  page.loadSection("b.o", "text", 2);
  page.loadAbsSection("b.o", "fixed", 0x100, 3);
  bank.loadSection("a.o", "init", 3);
  add(a);
  add(b);
  setAll(l, &MergedSection::type,
         {{"fixed", Coff::code}, {"init", Coff::idata}, {"init_i", Coff::romdata}, {"text", Coff::code}});
  setAll(l, &MergedSection::size, {{"fixed", 3}, {"init", 3}, {"init_i", 6}, {"text", 5}});
  l.cScnMem = {{"fixed", &page}, {"init", &bank}, {"init_i", &page}, {"text", &page}, {".cinit", &page}};
  const uint8_t table[] = {0x01, 0x00, 0x08, 0x00};
  l.cInitTable = Data(sizeof table, reinterpret_cast<const char*>(table));
  ASSERT_TRUE(l.AddStackDesc(StackDesc(5, ""), error));
  ASSERT_TRUE(l.buildOutputRawData(error));

  auto& raw = l.cOutput.cRawData;
  EXPECT_EQ(bytesOf(raw["text"]), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x00, 0x04, 0x05}));
  EXPECT_EQ(bytesOf(raw["fixed"]), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(bytesOf(raw["init"]), (std::vector<uint8_t>{0x01, 0x02, 0x03}));
  EXPECT_EQ(bytesOf(raw["init_i"]), (std::vector<uint8_t>{0x01, 0x34, 0x02, 0x34, 0x03, 0x34}));
  EXPECT_EQ(bytesOf(raw[".cinit"]), (std::vector<uint8_t>{0x01, 0x34, 0x00, 0x34, 0x08, 0x34, 0x00, 0x34}));
  EXPECT_EQ(raw.count(".stack"), 0u);

  ASSERT_TRUE(l.buildOutputScnHdrs(error));
  const auto& hdr = l.cOutput.cScnHdr;
  EXPECT_EQ(hdr.at("fixed").s_paddr, 0x100u);
  EXPECT_EQ(hdr.at("init").s_paddr, 0x20u);
  EXPECT_EQ(hdr.at("init").s_flags, STYP_DATA);
  EXPECT_EQ(hdr.at("init_i").s_flags, STYP_DATA_ROM);
  EXPECT_EQ(hdr.at(".cinit").s_flags, STYP_DATA_ROM);
  EXPECT_EQ(hdr.at(".stack").s_flags, STYP_BSS);
  EXPECT_EQ(hdr.at(".stack").s_size, 5u);
  EXPECT_EQ(hdr.at("init_i").s_vaddr, 0u);
}

TEST_F(LinkerOutputTest, ByteWideProgramMemoryKeepsInitialDataAsItIs) {
  device(0x0486);
  Memory page("page", 0, 0xFFF, rom, false, false, "");
  Memory bank("bank", 0x100, 0x1FF, ram, false, false, "");
  page.setRangeWidths(16);
  bank.setRangeWidths(8);
  Input a("a.o");
  a.section("init", Coff::idata, {0x11, 0x22, 0x33});
  bank.allocateSection("init", 3, false, 1);
  bank.loadSection("a.o", "init", 3);
  add(a);
  setAll(l, &MergedSection::type, {{"init", Coff::idata}});
  setAll(l, &MergedSection::size, {{"init", 3}});
  l.cScnMem = {{"init", &bank}};
  const uint8_t table[] = {0x01, 0x00, 0x00, 0x20};
  l.cInitTable = Data(sizeof table, reinterpret_cast<const char*>(table));
  ASSERT_TRUE(l.buildOutputRawData(error));
  EXPECT_EQ(bytesOf(l.cOutput.cRawData["init_i"]), (std::vector<uint8_t>{0x11, 0x22, 0x33}));
  EXPECT_EQ(bytesOf(l.cOutput.cRawData[".cinit"]), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x20}));
}

TEST_F(LinkerOutputTest, FillPatternsAndTheirTruncationWarning) {
  struct Case {
    uint16_t device;
    unsigned long locations;
    const char* fill;
    std::vector<uint8_t> bytes;
    int warnings;
  };
  const Case cases[] = {
      {0xD91D, 3, "0x1234", {0x34, 0x12, 0x34, 0x12, 0x34, 0x12}, 0},
      {0xD91D, 3, "0x12345678", {0x34, 0x12, 0x78, 0x56, 0x34, 0x12}, 1},
      {0xD91D, 2, "0x12345678", {0x34, 0x12, 0x78, 0x56}, 0},
      {0xD91D, 2, "4660", {0x34, 0x12, 0x34, 0x12}, 0},
      {0x0486, 5, "65535", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 1},
      {0x0486, 3, "0x1234", {0x34, 0x12, 0x34}, 1},
      {0x0486, 3, "0x0000ABCD", {0x00, 0x00, 0xCD}, 1},
      {0x0486, 4, "70000", {0x70, 0x11, 0x70, 0x11}, 0},
  };
  for (const Case& c : cases) {
    Linker fresh;
    fresh.cRomWidthBits = getRomWidth(convertDvsProcType(c.device));
    Error::reset();
    Error::quiet(true);
    fresh.buildOutputHole("page", 0x10, 0x10 + c.locations - 1, c.fill);
    SCOPED_TRACE(c.fill);
    EXPECT_EQ(bytesOf(fresh.cOutput.cRawData[".fill_1"]), c.bytes);
    EXPECT_EQ(Error::warnings(), c.warnings);
    const scnhdr& h = fresh.cOutput.cScnHdr.at(".fill_1");
    EXPECT_EQ(h.s_paddr, 0x10u);
    EXPECT_EQ(h.s_flags, STYP_TEXT);
  }
}

TEST_F(LinkerOutputTest, FillSectionsAreCountedAcrossMemoriesAndNamedUniquely) {
  device(0xD91D);
  ASSERT_TRUE(l.AddCodePage(Memory("p0", 0x0, 0x1F, rom, false, true, "0x3FFF"), error));
  ASSERT_TRUE(l.AddCodePage(Memory("p1", 0x20, 0x3F, rom, false, false, ""), error));
  ASSERT_TRUE(l.AddCodePage(Memory("p2", 0x40, 0x4F, rom, false, true, "0"), error));
  // An input section already holds the name the second fill would get.
  l.cOutput.cScnNum[1] = ".fill_2";
  l.cOutput.cScnHdr[".fill_2"] = scnhdr{};
  l.buildOutputHoles();
  const std::map<int, std::string> expected{{1, ".fill_2"}, {2, ".fill_1"}, {3, ".fill_3"}};
  EXPECT_EQ(l.cOutput.cScnNum, expected);
  EXPECT_EQ(l.cOutput.cScnHdr.at(".fill_3").s_paddr, 0x40u);
  EXPECT_EQ(l.cOutput.cRawData.at(".fill_3").size(), 32u);

  // From the hundredth on, the name goes to the string table.
  l.cFillCount = 99;
  l.buildOutputHole("p0", 0x100, 0x100, "0");
  ASSERT_EQ(l.cOutput.cStrTbl.size(), 1u);
  EXPECT_EQ(l.cOutput.cStrTbl.begin()->second, ".fill_100");
  EXPECT_EQ(Coff::getName(l.cOutput.cScnHdr.at(".fill_100"), l.cOutput.cStrTbl), ".fill_100");

  // A name an input's table already holds is used where it stands.
  l.cOutput.cStrTbl.emplace(14, ".fill_101");
  l.cOutputStrTbl.emplace(".fill_101", 14);
  l.buildOutputHole("p0", 0x102, 0x102, "0");
  EXPECT_EQ(l.cOutput.cStrTbl.size(), 2u);
  EXPECT_EQ(Coff::getName(l.cOutput.cScnHdr.at(".fill_101"), l.cOutput.cStrTbl), ".fill_101");
}

TEST_F(LinkerOutputTest, TheExecutableIsReplacedWholeOrNotAtAll) {
  device(0xD91D);
  const std::string path = ::testing::TempDir() + "tarsil-output-test.cof";
  {
    std::ofstream old(path, std::ios::binary);
    old << "previous executable";
  }
  ASSERT_TRUE(l.AddOutputFile(path, error));
  l.cCoff.push_back(std::make_unique<Coff>());
  ASSERT_TRUE(l.buildOutputHdrs(error));
  scnhdr h{};
  Coff::setName(h, l.cOutput.cStrTbl, "text");
  l.cOutput.cScnNum[1] = "text";
  l.cOutput.cScnHdr["text"] = h;
  l.cOutput.cRawData["text"] = Data(4, "\x01\x02\x03\x04");
  ASSERT_TRUE(l.writeOutputFile(error)) << error;
  auto written = Coff::make(path);
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(bytesOf(written->cRawData["text"]), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(written->cFileHdr.f_flags, F_EXEC);

  // A broken image is refused before anything is written.
  l.cOutput.cScnNum[2] = "ghost";
  EXPECT_FALSE(l.writeOutputFile(error));
  EXPECT_EQ(error, "Internal Coff output file is corrupt.");
  l.cOutput.cScnNum.erase(2);
  ASSERT_NE(Coff::make(path), nullptr);

  // A target that cannot be created is an error, with nothing left behind.
  error.clear();
  Error::reset();
  Error::quiet(true);
  Linker other;
  other.cRomWidthBits = 14;
  other.cOutput = l.cOutput;
  ASSERT_TRUE(other.AddOutputFile(::testing::TempDir() + "no-such-dir/a.out", error));
  EXPECT_FALSE(other.writeOutputFile(error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(Error::errors(), 1);
  std::remove(path.c_str());
  for (const auto& entry : std::filesystem::directory_iterator(::testing::TempDir()))
    EXPECT_EQ(entry.path().filename().string().find("tarsil-output-test.cof"), std::string::npos) << entry.path();
}

TEST_F(LinkerOutputTest, EachSectionHoldsItsBytesOnceAndShortPiecesArePadded) {
  device(0xD91D);
  Memory page("page", 0, 0x7FF, rom, false, false, "");
  page.setRangeWidths(14);
  Input a("a.o");
  a.section("whole", Coff::code, {0x01, 0x02, 0x03, 0x04}).section("short", Coff::code, {0x05, 0x06});
  page.allocateSection("whole", 4, false, 1);
  page.allocateSection("short", 6, false, 1);
  page.loadSection("a.o", "whole", 4);
  page.loadSection("a.o", "short", 2);
  add(a);
  setAll(l, &MergedSection::type, {{"short", Coff::code}, {"whole", Coff::code}});
  setAll(l, &MergedSection::size, {{"short", 6}, {"whole", 4}});
  l.cScnMem = {{"short", &page}, {"whole", &page}};
  ASSERT_TRUE(l.buildOutputRawData(error));

  auto& raw = l.cOutput.cRawData;
  EXPECT_EQ(bytesOf(raw["whole"]), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(bytesOf(raw["short"]), (std::vector<uint8_t>{0x05, 0x06, 0x00, 0x00, 0x00, 0x00}));
  // Nothing reads an input's bytes once the executable holds them.
  EXPECT_EQ(l.cCoff[0]->cRawData["whole"].size(), 0u);
  EXPECT_EQ(l.cCoff[0]->cRawData["short"].size(), 0u);
}

TEST_F(LinkerOutputTest, LineNumbersJoinInInputOrderRebasedAndLeaveTheInputs) {
  device(0xD91D);
  Input a("a.o");
  a.section("text", Coff::code).section("table", Coff::idata);
  a.coff->cLineInfo["text"] = {coff_lineno{0, 1, 0x10, LINENO_HASFCN, 2}, coff_lineno{1, 2, 0x11, 0, 0}};
  // Lines of a section that is no code never reach the executable.
  a.coff->cLineInfo["table"] = {coff_lineno{0, 3, 0x20, 0, 0}};
  Input b("b.o");
  b.section("text", Coff::code).section("solo", Coff::code);
  b.coff->cLineInfo["text"] = {coff_lineno{4, 7, 0x30, LINENO_HASFCN, 5}};
  // A section of one piece keeps the piece's own list, rebased.
  b.coff->cLineInfo["solo"] = {coff_lineno{1, 8, 0x40, LINENO_HASFCN, 3}, coff_lineno{2, 9, 0x41, 0, 0}};
  const coff_lineno* soloList = b.coff->cLineInfo["solo"].data();
  add(a);
  add(b);
  setAll(l, &MergedSection::type, {{"solo", Coff::code}, {"table", Coff::idata}, {"text", Coff::code}});
  l.cSymBase = {0, 100};
  ASSERT_TRUE(l.buildOutputLineInfo(error));

  const std::vector<coff_lineno>& solo = l.cOutput.cLineInfo.at("solo");
  ASSERT_EQ(solo.size(), 2u);
  EXPECT_EQ(solo.data(), soloList);
  EXPECT_EQ(solo[0].l_fcnndx, 103u);
  EXPECT_EQ(solo[1].l_srcndx, 102u);
  EXPECT_EQ(solo[1].l_fcnndx, 100u);
  EXPECT_TRUE(l.cCoff[1]->cLineInfo["solo"].empty());

  const std::vector<coff_lineno>& text = l.cOutput.cLineInfo.at("text");
  ASSERT_EQ(text.size(), 3u);
  EXPECT_EQ(text[0].l_fcnndx, 2u);
  EXPECT_EQ(text[1].l_srcndx, 1u);
  EXPECT_EQ(text[2].l_srcndx, 104u);
  EXPECT_EQ(text[2].l_fcnndx, 105u);
  EXPECT_EQ(text[2].l_paddr, 0x30u);
  EXPECT_EQ(l.cOutput.cLineInfo.count("table"), 0u);
  // The executable holds the only copy once it is built.
  EXPECT_TRUE(l.cCoff[0]->cLineInfo["text"].empty());
  EXPECT_EQ(l.cCoff[0]->cLineInfo["text"].capacity(), 0u);
  EXPECT_TRUE(l.cCoff[1]->cLineInfo["text"].empty());
}

TEST_F(LinkerOutputTest, LongSectionNamesTakeTheFirstEqualStringOfTheTable) {
  device(0xD91D);
  // Image names are appended to the table even when an input already had
  // the same string: the first one is the one a header names.
  l.cOutput.cStrTbl = {{4, "a_long_section"},  {19, "other_string"}, {32, "a_long_section"},
                       {47, "long_idata"},      {58, "long_idata_i"}, {71, "long_idata_i"}};
  setAll(l, &MergedSection::type, {{"a_long_section", Coff::code}, {"long_idata", Coff::idata}, {"short", Coff::code}});
  ASSERT_TRUE(l.buildOutputScnHdrs(error));

  auto offsetOf = [&](const std::string& name) {
    const scnhdr& h = l.cOutput.cScnHdr.at(name);
    EXPECT_TRUE(Coff::needsString(h)) << name;
    uint32_t offset = 0;
    for (int i = 0; i < 4; ++i) offset |= static_cast<uint32_t>(static_cast<uint8_t>(h.s_name[4 + i])) << (8 * i);
    return offset;
  };
  EXPECT_EQ(offsetOf("a_long_section"), 4u);
  EXPECT_EQ(offsetOf("long_idata"), 47u);
  EXPECT_EQ(offsetOf("long_idata_i"), 58u);
  EXPECT_EQ(std::string(l.cOutput.cScnHdr.at("short").s_name), "short");
  EXPECT_EQ(std::string(l.cOutput.cScnHdr.at(".cinit").s_name, 6), ".cinit");
}

TEST_F(LinkerOutputTest, HeaderFlagsComeFromTheirOwnSectionsAttributesWhateverTheTablesHold) {
  // The attribute tables need not hold every section, nor only sections of
  // the kinds table: each header takes the entries under its own name, and
  // a missing entry is a clear flag. Names of every length, some sharing
  // their first or last eight bytes.
  device(0xD91D);
  l.cOutput.cStrTbl = {{4, "section_one_abc"}, {20, "section_two_abc"}};
  setAll(l, &MergedSection::type, {{"a", Coff::code},           {"abcd", Coff::code}, {"abcdefg", Coff::udata},
                {"abcdefgh", Coff::romdata}, {"section_one_abc", Coff::code},
                {"section_two_abc", Coff::code}});
  setAll(l, &MergedSection::abs, {{"a", true}, {"abcdefg", false}, {"section_two_abc", true}, {"zzz", true}});
  setAll(l, &MergedSection::share, {{"abc", true}, {"abcd", true}, {"abcdefgh", true}});
  setAll(l, &MergedSection::access, {{"abcdefg", true}, {"section_one_abc", true}});
  setAll(l, &MergedSection::size, {{"abcdefg", 12}});
  ASSERT_TRUE(l.buildOutputScnHdrs(error));
  auto flags = [&](const std::string& name) { return l.cOutput.cScnHdr.at(name).s_flags; };
  EXPECT_EQ(flags("a"), STYP_TEXT | STYP_ABS);
  EXPECT_EQ(flags("abcd"), STYP_TEXT | STYP_SHARED);
  EXPECT_EQ(flags("abcdefg"), STYP_BSS | STYP_ACCESS);
  EXPECT_EQ(l.cOutput.cScnHdr.at("abcdefg").s_size, 12u);
  EXPECT_EQ(flags("abcdefgh"), STYP_DATA_ROM | STYP_SHARED);
  EXPECT_EQ(flags("section_one_abc"), STYP_TEXT | STYP_ACCESS);
  EXPECT_EQ(flags("section_two_abc"), STYP_TEXT | STYP_ABS);
}
