#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "link/Linker.h"

using namespace tarsil;

namespace {

struct Sym {
  std::string name;
  int16_t scnum;
  uint8_t sclass = C_EXT;
};

class Input {
public:
  explicit Input(const std::string& file) : c(std::make_unique<Coff>()) { c->cFileName = file; }

  Input& section(const std::string& name) {
    scnhdr h;
    if (name.size() > 8) Coff::addString(c->cStrTbl, name);
    Coff::setName(h, c->cStrTbl, name);
    h.s_flags = STYP_TEXT;
    c->cScnHdr[name] = h;
    c->cScnNum[static_cast<int>(c->cScnNum.size()) + 1] = name;
    return *this;
  }

  Input& symbol(const Sym& s) {
    syment e;
    if (s.name.size() > 8) Coff::addString(c->cStrTbl, s.name);
    Coff::setName(e, c->cStrTbl, s.name);
    e.n_scnum = s.scnum;
    e.n_sclass = s.sclass;
    c->cSymTbl.push_back(e);
    c->cSymKind.push_back(AuxKind::none);
    return *this;
  }

  // A ".file" symbol with the source name in its auxiliary slot.
  Input& file(const std::string& source) {
    syment e;
    Coff::setName(e, c->cStrTbl, ".file");
    e.n_sclass = C_FILE;
    e.n_scnum = -2;
    e.n_numaux = 1;
    c->cSymTbl.push_back(e);
    c->cSymKind.push_back(AuxKind::none);
    aux_file aux;
    aux.x_offset = Coff::addString(c->cStrTbl, source);
    syment slot;
    setAux(slot, aux);
    c->cSymTbl.push_back(slot);
    c->cSymKind.push_back(AuxKind::file);
    return *this;
  }

  // An auxiliary slot whose bytes read as an external definition named `name`.
  Input& lookalikeAux(const std::string& name) {
    syment owner;
    Coff::setName(owner, c->cStrTbl, "f");
    owner.n_sclass = C_EXT;
    owner.n_scnum = 1;
    owner.n_numaux = 1;
    c->cSymTbl.push_back(owner);
    c->cSymKind.push_back(AuxKind::none);
    syment fake;
    Coff::setName(fake, c->cStrTbl, name);
    fake.n_sclass = C_EXT;
    fake.n_scnum = 1;
    c->cSymTbl.push_back(fake);
    c->cSymKind.push_back(AuxKind::fcn);
    return *this;
  }

  std::unique_ptr<Coff> c;
};

void add(Linker& l, Input& in) { l.cCoff.push_back(std::move(in.c)); }

std::string symName(const Coff& c, size_t i) { return Coff::getName(c.cSymTbl[i], c.cStrTbl); }

}  // namespace

TEST(LinkerSymbols, MergedStringTableIsSortedAndEveryInputPointsIntoIt) {
  Linker l;
  Input a("./a.o");
  a.section(".code_section_z").symbol({"shared_long_name", 1}).file("zeta_source.asm").symbol({"short", 1});
  Input b("./b.o");
  b.symbol({"alpha_long_name", 0}).section(".code_section_z").symbol({"shared_long_name", 0}).file("beta.asm");
  add(l, a);
  add(l, b);
  l.mergeStringTbls();

  // Byte-wise ascending, each string once, offsets from 4 with one NUL each.
  const std::map<int, std::string> expected = {{4, ".code_section_z"},
                                               {4 + 16, "alpha_long_name"},
                                               {4 + 16 + 16, "beta.asm"},
                                               {4 + 16 + 16 + 9, "shared_long_name"},
                                               {4 + 16 + 16 + 9 + 17, "zeta_source.asm"}};
  EXPECT_EQ(l.cOutput.cStrTbl, expected);
  for (const auto& [offset, text] : expected) EXPECT_EQ(l.cOutputStrTbl.at(text), offset);

  // Every name reads the same through the rewritten offsets, and the offsets
  // are the merged table's.
  const Coff& ca = *l.cCoff[0];
  const Coff& cb = *l.cCoff[1];
  EXPECT_EQ(Coff::getName(ca.cScnHdr.at(".code_section_z"), l.cOutput.cStrTbl), ".code_section_z");
  EXPECT_EQ(ca.cScnHdr.at(".code_section_z").s_offset(), 4u);
  EXPECT_EQ(symName(ca, 0), "shared_long_name");
  EXPECT_EQ(ca.cSymTbl[0].n_offset(), 45u);
  EXPECT_EQ(Coff::getName(getAux<aux_file>(ca.cSymTbl[2]), l.cOutput.cStrTbl), "zeta_source.asm");
  EXPECT_EQ(symName(ca, 3), "short");
  EXPECT_EQ(symName(cb, 0), "alpha_long_name");
  EXPECT_EQ(cb.cSymTbl[0].n_offset(), 20u);
  EXPECT_EQ(Coff::getName(cb.cSymTbl[1], l.cOutput.cStrTbl), "shared_long_name");
  EXPECT_EQ(Coff::getName(getAux<aux_file>(cb.cSymTbl[3]), cb.cStrTbl), "beta.asm");
  // An input keeps only the merged entries it uses.
  EXPECT_EQ(cb.cStrTbl.size(), 4u);
  EXPECT_EQ(cb.cStrTbl.count(4 + 16 + 16 + 9 + 17), 0u);
}

TEST(LinkerSymbols, DefinitionsIncludeTheLinkersOwnAndRefuseASecondOne) {
  Linker l;
  Input a("./a.o");
  a.symbol({"main", 1}).symbol({"local", 1, C_STAT}).symbol({"ext_ref", 0}).lookalikeAux("ghost");
  Input b("./b.o");
  b.symbol({"ext_ref", 1}).symbol({"ghost", 1});
  add(l, a);
  add(l, b);
  std::string error;
  ASSERT_TRUE(l.buildExtSymDef(error)) << error;
  EXPECT_EQ(l.cExtSymDef.size(), 3u + 4u);
  EXPECT_EQ(l.cExtSymDef.at("_cinit"), &l.cCinitSym);
  EXPECT_EQ(l.cExtSymDef.at("_stack"), &l.cStackSym);
  EXPECT_EQ(l.cExtSymDef.at("_stksize"), &l.cStksizeSym);
  EXPECT_EQ(Coff::getName(l.cStksizeSym, {}), "_stksize");
  EXPECT_EQ(l.cStackSym.n_sclass, C_EXT);
  EXPECT_EQ(l.cStackSym.n_scnum, 0);
  EXPECT_EQ(l.cStackSym.n_value, 0u);
  EXPECT_EQ(l.cExtSymDef.at("main"), &l.cCoff[0]->cSymTbl[0]);
  EXPECT_EQ(l.cExtSymDef.count("local"), 0u);
  // The auxiliary slot that looks like "ghost" is not a symbol; b's is.
  EXPECT_EQ(l.cExtSymDef.at("ghost"), &l.cCoff[1]->cSymTbl[1]);

  for (const std::string name : {"main", "_stksize", "_cinit"}) {
    Linker twice;
    Input x("./x.o");
    x.symbol({"main", 1});
    Input y("./y.o");
    y.symbol({"other", 1}).symbol({name, 2});
    add(twice, x);
    add(twice, y);
    error.clear();
    EXPECT_FALSE(twice.buildExtSymDef(error));
    EXPECT_EQ(error, "symbol '" + name + "' has multiple definitions.");
  }
}

TEST(LinkerSymbols, ReferencesBindToTheirDefinitionOrNameTheFile) {
  Linker l;
  Input a("./a.o");
  a.symbol({"callee_with_long_name", 0}).symbol({".code", 0}).symbol({"_stack", 0}).symbol({"main", 1});
  Input b("./lib.lib(b.o)");
  b.symbol({"callee_with_long_name", 1}).symbol({"main", 0});
  add(l, a);
  add(l, b);
  l.mergeStringTbls();
  std::string error;
  ASSERT_TRUE(l.buildExtSymDef(error));
  ASSERT_TRUE(l.buildExtRefDef(error)) << error;
  const Coff& ca = *l.cCoff[0];
  const Coff& cb = *l.cCoff[1];
  EXPECT_EQ(l.cExtRefDef.size(), 3u);
  EXPECT_EQ(l.cExtRefDef.at(&ca.cSymTbl[0]), &cb.cSymTbl[0]);
  EXPECT_EQ(l.cExtRefDef.at(&ca.cSymTbl[2]), &l.cStackSym);
  EXPECT_EQ(l.cExtRefDef.at(&cb.cSymTbl[1]), &ca.cSymTbl[3]);
  // Section references wait for placement.
  EXPECT_EQ(l.cExtRefDef.count(&ca.cSymTbl[1]), 0u);

  Linker missing;
  Input c("./c.o");
  c.symbol({"defined", 1}).symbol({"nowhere", 0}).symbol({"also_nowhere", 0});
  add(missing, c);
  error.clear();
  ASSERT_TRUE(missing.buildExtSymDef(error));
  EXPECT_FALSE(missing.buildExtRefDef(error));
  EXPECT_EQ(error, "could not find definition of symbol 'nowhere' in file './c.o'.");
}

TEST(LinkerSymbols, InputsKeepOnlyTheStringsTheyUse) {
  // Each input has its own long names and uses a shared one. Copying the
  // whole merged table into every input would make the merge quadratic in
  // the number of inputs; each input must keep only its own strings.
  const int inputs = 2000;
  Linker l;
  for (int i = 0; i < inputs; ++i) {
    Input in("./m" + std::to_string(i) + ".o");
    in.symbol({"function_number_" + std::to_string(i), 1})
        .symbol({"function_number_" + std::to_string((i + 1) % inputs), 0})
        .symbol({"shared_helper_name", i == 0 ? int16_t{1} : int16_t{0}});
    add(l, in);
  }
  l.mergeStringTbls();
  std::string error;
  EXPECT_TRUE(l.buildExtSymDef(error));
  EXPECT_TRUE(l.buildExtRefDef(error)) << error;
  EXPECT_EQ(l.cExtRefDef.size(), static_cast<size_t>(2 * inputs - 1));
  EXPECT_EQ(l.cOutput.cStrTbl.size(), static_cast<size_t>(inputs + 1));
  for (const auto& c : l.cCoff) EXPECT_LE(c->cStrTbl.size(), 3u);
}

TEST(LinkerSymbols, BindingsAreFoundWhereverTheInputsLieInMemory) {
  // The input bound first has the table that lies higher in memory.
  std::vector<syment> x(4), y(4);
  syment defs[3];
  std::vector<syment>& first = x.data() > y.data() ? x : y;
  std::vector<syment>& second = x.data() > y.data() ? y : x;

  ExtRefBindings b;
  b.assign({{&first[1], &defs[0]}, {&first[3], &defs[1]}, {&second[0], &defs[2]}}, {{0, 2}, {2, 1}, {3, 0}});
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(b.at(&first[1]), &defs[0]);
  EXPECT_EQ(b.at(&first[3]), &defs[1]);
  EXPECT_EQ(b.at(&second[0]), &defs[2]);
  EXPECT_EQ(b.count(&first[0]), 0u);
  EXPECT_TRUE(b.find(&second[3]) == b.end());
  EXPECT_THROW(b.at(&first[2]), std::out_of_range);

  // Each table sees only its own references, in slot order.
  auto mine = b.within(first);
  ASSERT_EQ(mine.size(), 2u);
  EXPECT_EQ(mine[0].first, &first[1]);
  EXPECT_EQ(mine[1].first, &first[3]);
  ASSERT_EQ(b.within(second).size(), 1u);
  EXPECT_TRUE(b.within(std::vector<syment>{}).empty());
}

TEST(LinkerSymbols, ReferencesTakeTheValueOfTheDefinitionTheyWereBoundTo) {
  // Names of every length around the inline field's 8 characters and the
  // hash's 8-byte steps, names that differ only in their last character, and
  // bytes that a word-at-a-time search for the ending NUL could mistake.
  std::vector<std::string> names;
  for (size_t n = 1; n <= 18; ++n) names.push_back(std::string(n, 'q'));
  for (const char* s : {"symbol_x", "symbol_y", "long_symbol_name_x", "long_symbol_name_y", "abc", "abd", "cba"})
    names.push_back(s);
  // Bytes with the top bit set, and a 1 right after the first character.
  names.push_back("\x80\x01z\xff");
  names.push_back("\xfe\x01\x01\x80\x7f\x01\x02");

  Linker l;
  Input defs("./defs.o");
  Input refs("./refs.o");
  for (const auto& n : names) {
    defs.symbol({n, 1});
    refs.symbol({n, 0});
  }
  refs.lookalikeAux("qq").symbol({".code", 0});
  add(l, refs);
  add(l, defs);
  l.mergeStringTbls();
  std::string error;
  ASSERT_TRUE(l.buildExtSymDef(error)) << error;
  ASSERT_TRUE(l.buildExtRefDef(error)) << error;
  EXPECT_EQ(l.cExtSymDef.size(), 3 + names.size() + 1);  // "f" of the look-alike too
  EXPECT_EQ(l.cExtRefDef.size(), names.size());

  // Stand-ins for the relocated values.
  Coff& d = *l.cCoff[1];
  for (size_t i = 0; i < names.size(); ++i) d.cSymTbl[i].n_value = 0x100 + static_cast<uint32_t>(i);
  Coff& r = *l.cCoff[0];
  const size_t aux = names.size() + 1;
  r.cSymTbl[aux].n_value = 0x77;
  l.cScns[".code"].setSize(0);
  l.cScns["code"].setSize(2);
  Memory code("code", 0, 0xFFFF, rom, false, false, "");
  code.setRangeWidths(14);
  code.allocateAbsSection("code", 0x480, 2, false);
  l.cScnMem["code"] = &code;

  ASSERT_TRUE(l.resolveExternals(error)) << error;
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(r.cSymTbl[i].n_value, 0x100 + i) << names[i];
    EXPECT_EQ(r.cSymTbl[i].n_scnum, 0);
  }
  EXPECT_EQ(r.cSymTbl[aux].n_value, 0x77u);  // not a symbol
  EXPECT_EQ(r.cSymTbl.back().n_value, 0x480u);
}

TEST(LinkerSymbols, MergedStringsStandInByteOrderBeyondTheirFirstWord) {
  // Strings equal in their first eight bytes, one a prefix of another, and
  // bytes with the top bit set, which sort after every ASCII byte.
  const std::vector<std::string> texts = {"common_prefix_b", "common_prefix_a", "common_p", "common_prefix",
                                          "\xe9t\xe9_source.asm", "Zed.asm", "common_prefix_a", "c",
                                          "a\xe9.asm", "b.asm"};
  Linker l;
  std::set<std::string> expected;
  for (size_t i = 0; i < texts.size(); ++i) {
    Input in("./s" + std::to_string(i) + ".o");
    in.file(texts[i]);
    add(l, in);
    expected.insert(texts[i]);
  }
  l.mergeStringTbls();
  std::vector<std::string> order;
  int next = 4;
  for (const auto& [offset, text] : l.cOutput.cStrTbl) {
    EXPECT_EQ(offset, next);
    next += static_cast<int>(text.size()) + 1;
    order.push_back(text);
  }
  EXPECT_EQ(order, std::vector<std::string>(expected.begin(), expected.end()));
  // Every input's file name still reads the same.
  for (size_t i = 0; i < texts.size(); ++i) {
    const Coff& c = *l.cCoff[i];
    EXPECT_EQ(Coff::getName(getAux<aux_file>(c.cSymTbl[1]), c.cStrTbl), texts[i]);
  }
}

TEST(LinkerSymbols, EachSectionIsLookedForInItsOwnMemory) {
  // Two memories whose sections interleave by name, and one section the
  // first memory holds but the section table never names.
  Memory low("low", 0, 0xFFFF, rom, false, false, "");
  Memory high("high", 0, 0xFFFF, rom, false, false, "");
  low.setRangeWidths(14);
  high.setRangeWidths(14);
  low.allocateAbsSection(".a", 0x100, 2, false);
  low.allocateAbsSection(".b", 0x200, 2, false);
  low.allocateAbsSection(".c", 0x300, 2, false);
  high.allocateAbsSection(".bb", 0x800, 2, false);

  Linker l;
  Input x("x.o");
  x.section(".a").section(".bb").section(".c");
  x.symbol({"in_a", 1, C_STAT}).symbol({"in_bb", 2, C_STAT}).symbol({"in_c", 3, C_STAT});
  add(l, x);
  l.cScnMem = {{".a", &low}, {".bb", &high}, {".c", &low}};
  std::string error;
  ASSERT_TRUE(l.loadSections(error)) << error;
  ASSERT_TRUE(l.relocateSymbols(error)) << error;
  const Coff& c = *l.cCoff[0];
  EXPECT_EQ(c.cSymTbl[0].n_value, 0x100u);
  EXPECT_EQ(c.cSymTbl[1].n_value, 0x800u);
  EXPECT_EQ(c.cSymTbl[2].n_value, 0x300u);
}

TEST(LinkerSymbols, AStringHeldTwiceByOneInputMovesToOneOffsetFromBoth) {
  // Old-layout inputs may hold a file name again at a later offset. Both
  // old offsets, and every name read through either, land on the one entry.
  Linker l;
  Input a("./a.o");
  a.symbol({"twice_held_name", 1}).symbol({"zz_other_long_name", 1});
  Input b("./b.o");
  b.symbol({"aa_first_in_order", 1});
  Coff& ca = *a.c;
  const int again = ca.cStrTbl.rbegin()->first + 40;
  ca.cStrTbl[again] = "twice_held_name";
  syment copy = ca.cSymTbl[0];
  copy.set_n_offset(static_cast<uint32_t>(again));
  copy.n_scnum = 0;  // a reference to the name through the second copy
  ca.cSymTbl.push_back(copy);
  ca.cSymKind.push_back(AuxKind::none);
  add(l, a);
  add(l, b);
  l.mergeStringTbls();

  const std::map<int, std::string> expected = {
      {4, "aa_first_in_order"}, {4 + 18, "twice_held_name"}, {4 + 18 + 16, "zz_other_long_name"}};
  EXPECT_EQ(l.cOutput.cStrTbl, expected);
  const Coff& merged = *l.cCoff[0];
  EXPECT_EQ(merged.cSymTbl[0].n_offset(), 22u);
  EXPECT_EQ(merged.cSymTbl[2].n_offset(), 22u);
  EXPECT_EQ(merged.cSymTbl[1].n_offset(), 38u);
  EXPECT_EQ(merged.cStrTbl.size(), 2u);
  EXPECT_EQ(symName(merged, 2), "twice_held_name");
  EXPECT_EQ(l.cCoff[1]->cSymTbl[0].n_offset(), 4u);

  // Definitions are views of the inputs' names: they read the same once
  // the tables were rewritten, and a name is found by its text alone.
  std::string error;
  ASSERT_TRUE(l.buildExtSymDef(error)) << error;
  EXPECT_EQ(l.cExtSymDef.at(std::string("twice_held_") + "name"), &merged.cSymTbl[0]);
  EXPECT_EQ(l.cExtSymDef.at("aa_first_in_order"), &l.cCoff[1]->cSymTbl[0]);
  EXPECT_EQ(l.cExtSymDef.count("twice_held"), 0u);
  ASSERT_TRUE(l.buildExtRefDef(error)) << error;
  EXPECT_EQ(l.cExtRefDef.at(&merged.cSymTbl[2]), &merged.cSymTbl[0]);
}

TEST(LinkerSymbols, TheFirstUnboundReferenceInInputOrderIsReported) {
  // Inputs may be bound in any order; the message must name the failure of
  // the earliest input, here the one whose table lies higher in memory.
  for (bool noName : {false, true}) {
    Input x("./x.o");
    x.symbol({"defined", 1}).symbol({"missing_in_x", 0});
    Input y("./y.o");
    y.symbol({"missing_in_y", 0}).symbol({"defined_too", 1});
    const bool xHigher = std::less<const syment*>{}(y.c->cSymTbl.data(), x.c->cSymTbl.data());
    Input& first = xHigher ? x : y;
    Input& second = xHigher ? y : x;
    const std::string firstFile = first.c->cFileName;
    const std::string firstMissing = xHigher ? "missing_in_x" : "missing_in_y";
    if (noName) {
      // The earlier input's reference names a string its table lacks.
      for (syment& s : first.c->cSymTbl)
        if (Coff::isExtReference(s)) s.set_n_offset(9999);
    }
    Linker l;
    add(l, first);
    add(l, second);
    std::string error;
    ASSERT_TRUE(l.buildExtSymDef(error)) << error;
    EXPECT_FALSE(l.buildExtRefDef(error));
    if (noName)
      EXPECT_EQ(error, "symbol " + std::to_string(firstMissing == "missing_in_x" ? 1 : 0) + " in file '" + firstFile +
                           "' has no name in the string table.");
    else
      EXPECT_EQ(error, "could not find definition of symbol '" + firstMissing + "' in file '" + firstFile + "'.");
    EXPECT_TRUE(l.cExtRefDef.empty());
  }
}
