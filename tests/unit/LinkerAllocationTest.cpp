// Placement's refusals that no command file and object reach end to end.
#include "LinkerRig.h"

using namespace tarsil;
using namespace tarsil::testing;

namespace {

using testdev::core16eDev;
using Placement = LinkerRig;

// The message must show a sum past 32 bits, not a wrapped value that would have fitted.
class HostileSize : public LinkerRig, public ::testing::WithParamInterface<bool> {};

TEST_P(HostileSize, isReportedWhole) {
  const bool assigned = GetParam();
  Input a("a.o"), b("b.o");
  for (Input* in : {&a, &b}) add(in->section("u", STYP_BSS, 0x80000002u));
  codePage("p", 0, 0xFF);
  dataBank("d", 0x20, 0x6F);
  if (assigned) { ASSERT_TRUE(l.cConfig.AddSectionDesc(SectionDesc("u", "", "d"), error)) << error; }
  prepare();
  EXPECT_FALSE(mapSections(l, error));
  EXPECT_EQ(error, assigned ? "section 'u' has a memory 'd' which can not fit the section. Section 'u' "
                              "length=0x100000004."
                            : "section 'u' can not fit the section. Section 'u' length=0x100000004");
  EXPECT_EQ(l.cScnMem.count("u"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Placement, HostileSize, ::testing::Bool());

TEST_F(Placement, absoluteSectionsNearTheTopOfTheAddressSpace) {
  Input a("a.o", core16eDev);
  a.section("top", STYP_TEXT | STYP_ABS, 8, 0xFFFFFFFCu);
  add(a);
  codePage("p", 0, 0xFF);
  codePage("high", 0xFFFFFF00u, 0xFFFFFFFFu);
  prepare();
  EXPECT_FALSE(mapSections(l, error));
  EXPECT_EQ(error, "section 'top' can not fit the absolute section. Section 'top' start=0xfffffffc, length=0x00000008");
}

// Whether the section has few pieces so far, searched one by one, or many,
// found through their index: the number of other inputs' pieces between.
class RepeatedName : public LinkerRig, public ::testing::WithParamInterface<int> {};

TEST_P(RepeatedName, secondPieceOfTheNameIsRefused) {
  Input a("x.o"), b("x.o");
  std::vector<Input> between;
  for (int i = 0; i < GetParam(); ++i) between.emplace_back("y" + std::to_string(i) + ".o");
  add(a.section(".text", STYP_TEXT, 2));
  for (Input& in : between) add(in.section(".text", STYP_TEXT, 2));
  add(b.section(".text", STYP_TEXT, 2));
  codePage("p", 0, 0xFF);
  prepare();
  ASSERT_TRUE(mapSections(l, error)) << error;
  EXPECT_FALSE(loadSections(l, error));
  EXPECT_EQ(error, "section '.text' has more than one piece from input files named 'x.o'.");
}

INSTANTIATE_TEST_SUITE_P(Placement, RepeatedName, ::testing::Values(0, 12));

TEST_F(Placement, aRecordFieldThatNamesCodeIsRefused) {
  Input a("a.o");
  a.section(".text", STYP_TEXT, 2);
  add(a);
  codePage("p", 0, 0xFF);
  dataBank("d", 0x20, 0x6F);
  prepare();
  syment owner{};
  l.cScnActRec[".text"] = &owner;
  EXPECT_FALSE(mapSections(l, error));
  EXPECT_EQ(error,
            "section '.text' is given as a function's activation record but is not an activation record section.");
}

}  // namespace
