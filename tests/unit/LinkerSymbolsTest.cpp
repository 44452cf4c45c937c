#include <set>

#include "LinkerRig.h"

using namespace tarsil;
using namespace tarsil::testing;

namespace {

void add(LinkContext& l, Input& in) { l.cCoff.push_back(std::move(in.c)); }

using LinkerSymbolsRig = LinkerRig;

}  // namespace

TEST_F(LinkerSymbolsRig, ReferencesTakeTheValueOfTheDefinitionTheyWereBoundTo) {
  // Lengths around the 8-character field and the hash's steps, last-character
  // differences, and bytes a word-at-a-time NUL search could mistake.
  std::vector<std::string> names;
  for (size_t n = 1; n <= 18; ++n) names.push_back(std::string(n, 'q'));
  for (const char* s : {"symbol_x", "symbol_y", "long_symbol_name_x", "long_symbol_name_y", "abc", "abd", "cba"})
    names.push_back(s);
  for (const char* s : {"\x80\x01z\xff", "\xfe\x01\x01\x80\x7f\x01\x02"}) names.push_back(s);

  Input defs("./defs.o"), refs("./refs.o");
  for (const auto& n : names) defs.symbol(n, 1), refs.symbol(n, 0);
  refs.lookalikeAux("qq");
  add(refs);
  add(defs);
  mergeStringTbls(l);
  ASSERT_TRUE(buildExtSymDef(l, error)) << error;
  ASSERT_TRUE(buildExtRefDef(l, error)) << error;
  EXPECT_EQ(l.cExtSymDef.size(), 3 + names.size() + 1);  // "f" of the look-alike too
  EXPECT_EQ(l.cExtRefDef.size(), names.size());

  Coff& d = *l.cCoff[1];
  for (size_t i = 0; i < names.size(); ++i) d.cSymTbl[i].n_value = 0x100 + static_cast<uint32_t>(i);
  Coff& r = *l.cCoff[0];
  const size_t aux = names.size() + 1;
  r.cSymTbl[aux].n_value = 0x77;

  ASSERT_TRUE(resolveExternals(l, error)) << error;
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(r.cSymTbl[i].n_value, 0x100 + i) << names[i];
    EXPECT_EQ(r.cSymTbl[i].n_scnum, 0);
  }
  EXPECT_EQ(r.cSymTbl[aux].n_value, 0x77u);  // not a symbol
}

TEST_F(LinkerSymbolsRig, MergedStringsStandInByteOrderBeyondTheirFirstWord) {
  // Equal first eight bytes, prefixes, and top-bit bytes that sort after ASCII.
  const std::vector<std::string> texts = {"common_prefix_b", "common_prefix_a", "common_p", "common_prefix",
                                          "\xe9t\xe9_source.asm", "Zed.asm", "common_prefix_a", "c",
                                          "a\xe9.asm", "b.asm"};
  const std::set<std::string> expected(texts.begin(), texts.end());
  for (size_t i = 0; i < texts.size(); ++i) {
    Input in("./s" + std::to_string(i) + ".o");
    add(in.file(texts[i]));
  }
  mergeStringTbls(l);
  std::vector<std::string> order;
  uint32_t next = 4;
  for (const auto& [offset, text] : l.cOutput.cStrTbl) {
    EXPECT_EQ(offset, next);
    next += static_cast<uint32_t>(text.size()) + 1;
    order.emplace_back(text);
  }
  EXPECT_EQ(order, std::vector<std::string>(expected.begin(), expected.end()));
  for (size_t i = 0; i < texts.size(); ++i) {
    const Coff& c = *l.cCoff[i];
    EXPECT_EQ(Coff::getName(getAux<aux_file>(c.cSymTbl[1]), c.cStrTbl), texts[i]);
  }
}

TEST_F(LinkerSymbolsRig, AStringHeldTwiceByOneInputMovesToOneOffsetFromBoth) {
  // Old-layout inputs may hold a name again at a later offset; both land on one entry.
  Input a("./a.o");
  a.symbol("twice_held_name", 1).symbol("zz_other_long_name", 1);
  Input b("./b.o");
  b.symbol("aa_first_in_order", 1);
  Coff& ca = *a.c;
  const uint32_t again = ca.cStrTbl.add("twice_held_name");
  syment copy = ca.cSymTbl[0];
  copy.set_n_offset(again);
  copy.n_scnum = 0;  // a reference to the name through the second copy
  a.slot(copy, AuxKind::none);
  add(a);
  add(b);
  mergeStringTbls(l);

  EXPECT_EQ(l.cOutput.cStrTbl, (StringTable{"aa_first_in_order", "twice_held_name", "zz_other_long_name"}));
  const Coff& merged = *l.cCoff[0];
  EXPECT_EQ(merged.cSymTbl[0].n_offset(), 22u);
  EXPECT_EQ(merged.cSymTbl[2].n_offset(), 22u);
  EXPECT_EQ(merged.cSymTbl[1].n_offset(), 38u);
  EXPECT_EQ(Coff::getName(merged.cSymTbl[2], merged.cStrTbl), "twice_held_name");
  EXPECT_EQ(l.cCoff[1]->cSymTbl[0].n_offset(), 4u);
}

TEST(LinkerSymbols, TheFirstUnboundReferenceInInputOrderIsReported) {
  // Inputs may be bound in any order; the earliest input here has the higher table.
  for (bool noName : {false, true}) {
    Input x("./x.o");
    x.symbol("defined", 1).symbol("missing_in_x", 0);
    Input y("./y.o");
    y.symbol("missing_in_y", 0).symbol("defined_too", 1);
    const bool xHigher = std::less<const syment*>{}(y.c->cSymTbl.data(), x.c->cSymTbl.data());
    Input &first = xHigher ? x : y, &second = xHigher ? y : x;
    const std::string firstFile = first.c->cFileName, firstMissing = xHigher ? "missing_in_x" : "missing_in_y";
    if (noName)  // the earlier input's reference names a string its table lacks
      for (syment& s : first.c->cSymTbl)
        if (Coff::isExtReference(s)) s.set_n_offset(9999);
    LinkContext l{Config()};
    add(l, first);
    add(l, second);
    std::string error;
    ASSERT_TRUE(buildExtSymDef(l, error)) << error;
    EXPECT_FALSE(buildExtRefDef(l, error));
    if (noName)
      EXPECT_EQ(error, "symbol " + std::to_string(firstMissing == "missing_in_x" ? 1 : 0) + " in file '" + firstFile +
                           "' has no name in the string table.");
    else
      EXPECT_EQ(error, "could not find definition of symbol '" + firstMissing + "' in file '" + firstFile + "'.");
    EXPECT_TRUE(l.cExtRefDef.empty());
  }
}
