// The executable's tables where the end-to-end tests cannot reach them.
#include "LinkerRig.h"

using namespace tarsil;
using namespace tarsil::testing;

namespace {

using LinkerOutput = LinkerRig;

TEST_F(LinkerOutput, LineNumbersJoinInInputOrderRebasedAndLeaveTheInputs) {
  Input a("a.o"), b("b.o");
  a.section("text", STYP_TEXT, 2).section("table", STYP_DATA, 2);
  a.c->cLineInfo["text"] = {coff_lineno{0, 1, 0x10, LINENO_HASFCN, 2}, coff_lineno{1, 2, 0x11, 0, 0}};
  // Lines of a section that is no code never reach the executable.
  a.c->cLineInfo["table"] = {coff_lineno{0, 3, 0x20, 0, 0}};
  b.section("text", STYP_TEXT, 2).section("solo", STYP_TEXT, 2);
  b.c->cLineInfo["text"] = {coff_lineno{4, 7, 0x30, LINENO_HASFCN, 5}};
  // A section of one piece takes over the piece's own list, rebased.
  b.c->cLineInfo["solo"] = {coff_lineno{1, 8, 0x40, LINENO_HASFCN, 3}, coff_lineno{2, 9, 0x41, 0, 0}};
  const coff_lineno* soloList = b.c->cLineInfo["solo"].data();
  add(a);
  add(b);
  prepare();
  l.cSymBase = {0, 100};
  ASSERT_TRUE(buildOutputLineInfo(l, error));

  const std::vector<coff_lineno>& solo = l.cOutput.cLineInfo.at("solo");
  ASSERT_EQ(solo.size(), 2u);
  EXPECT_EQ(solo.data(), soloList);
  EXPECT_EQ(solo[0].l_fcnndx, 103u);
  EXPECT_EQ(solo[1].l_srcndx, 102u);
  EXPECT_EQ(solo[1].l_fcnndx, 100u);

  const std::vector<coff_lineno>& text = l.cOutput.cLineInfo.at("text");
  ASSERT_EQ(text.size(), 3u);
  EXPECT_EQ(text[0].l_fcnndx, 2u);
  EXPECT_EQ(text[1].l_srcndx, 1u);
  EXPECT_EQ(text[2].l_srcndx, 104u);
  EXPECT_EQ(text[2].l_fcnndx, 105u);
  EXPECT_EQ(text[2].l_paddr, 0x30u);
  EXPECT_EQ(l.cOutput.cLineInfo.count("table"), 0u);
  EXPECT_EQ(l.cCoff[0]->cLineInfo["text"].capacity(), 0u);
  EXPECT_TRUE(l.cCoff[1]->cLineInfo["text"].empty());
  EXPECT_TRUE(l.cCoff[1]->cLineInfo["solo"].empty());
}

// A function whose type also makes it an array (0xE0) keeps a function
// record: its end index moves with its input's slots, where an array's
// dimensions in the same bytes stay as they are.
TEST_F(LinkerOutput, AFunctionReturningAnArrayHasItsFunctionRecordRebased) {
  Input a("a.o"), b("b.o");
  a.symbol("x", 0).symbol("y", 0);
  b.symbol("f", 0).aux(aux_fcn{0, 0, 0, 3, 0, {}}, AuxKind::arr).symbol("v", 0).aux(aux_fcn{0, 0, 0, 3, 0, {}},
                                                                                         AuxKind::arr);
  b.c->cSymTbl[0].n_type = 0xE0;
  b.c->cSymTbl[0].n_numaux = 1;
  b.c->cSymTbl[2].n_type = 0x30;
  b.c->cSymTbl[2].n_numaux = 1;
  add(a);
  add(b);
  ASSERT_TRUE(buildOutputSymbolTbl(l, error)) << error;
  const std::vector<syment>& out = l.cOutput.cSymTbl;
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(getAux<aux_fcn>(out[3]).x_endndx, 5u);
  EXPECT_EQ(getAux<aux_fcn>(out[3]).x_tagndx, 2u);
  EXPECT_EQ(getAux<aux_fcn>(out[5]).x_endndx, 3u);
  EXPECT_EQ(getAux<aux_fcn>(out[5]).x_tagndx, 2u);
}

TEST_F(LinkerOutput, FillSectionsAreCountedAcrossMemoriesAndNamedUniquely) {
  Input a("a.o");
  add(a);
  prepare();
  ASSERT_TRUE(l.cConfig.AddCodePage(Memory("p0", 0x0, 0x1F, rom, false, true, "0x3FFF"), error));
  ASSERT_TRUE(l.cConfig.AddCodePage(Memory("p1", 0x20, 0x3F, rom, false, false, ""), error));
  ASSERT_TRUE(l.cConfig.AddCodePage(Memory("p2", 0x40, 0x4F, rom, false, true, "0"), error));
  // An input section already holds the name the second fill would get.
  l.cOutput.cScnNum[1] = ".fill_2";
  l.cOutput.cScnHdr[".fill_2"] = scnhdr{};
  buildOutputHoles(l);
  const decltype(l.cOutput.cScnNum) expected{{1, ".fill_2"}, {2, ".fill_1"}, {3, ".fill_3"}};
  EXPECT_EQ(l.cOutput.cScnNum, expected);

  // From the hundredth on, the name goes to the string table.
  l.cFillCount = 99;
  buildOutputHole(l, "p0", 0x100, 0x100, "0");
  ASSERT_EQ(l.cOutput.cStrTbl.size(), 1u);
  EXPECT_EQ(l.cOutput.cStrTbl.begin()->second, ".fill_100");
  EXPECT_EQ(Coff::getName(l.cOutput.cScnHdr.at(".fill_100"), l.cOutput.cStrTbl), ".fill_100");

  // A name an input's table already holds is used where it stands.
  l.cOutputStrTbl.emplace(".fill_101", l.cOutput.cStrTbl.add(".fill_101"));
  buildOutputHole(l, "p0", 0x102, 0x102, "0");
  EXPECT_EQ(l.cOutput.cStrTbl.size(), 2u);
  EXPECT_EQ(Coff::getName(l.cOutput.cScnHdr.at(".fill_101"), l.cOutput.cStrTbl), ".fill_101");
}

TEST_F(LinkerOutput, LongImageNamesJoinTheStringTableAfterItsLastString) {
  Input a("a.o");
  a.section("longer_code", STYP_TEXT, 2).section(".initialized", STYP_DATA, 2).section("abcdefg", STYP_DATA, 2);
  a.section("short", STYP_DATA, 2);  // its image name stays in the header
  add(a);
  prepare();
  mergeStringTbls(l);
  ASSERT_TRUE(addInitScnNames(l, error));
  const std::vector<std::pair<uint32_t, std::string_view>> expected{
      {4, ".initialized"}, {17, "longer_code"}, {29, ".initialized_i"}, {44, "abcdefg_i"}};
  std::vector<std::pair<uint32_t, std::string_view>> strings;
  for (const auto& [offset, text] : l.cOutput.cStrTbl) strings.emplace_back(offset, text);
  EXPECT_EQ(strings, expected);
  for (const auto& [offset, text] : expected) EXPECT_EQ(l.cOutputStrTbl.at(text), static_cast<int>(offset)) << text;
}

TEST_F(LinkerOutput, AnImageThatDoesNotHoldTogetherIsNeverWritten) {
  const std::string path = ::testing::TempDir() + "tarsil-output-test.cof";
  std::filesystem::remove(path);
  Input a("a.o");
  add(a);
  prepare();
  ASSERT_TRUE(l.cConfig.AddOutputFile(path, error));
  ASSERT_TRUE(buildOutputHdrs(l, error));
  l.cOutput.cScnNum[1] = "ghost";
  EXPECT_FALSE(writeOutputs(l, error));
  EXPECT_EQ(error, "Internal Coff output file is corrupt.");
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
