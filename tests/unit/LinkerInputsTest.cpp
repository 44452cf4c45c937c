#include <gtest/gtest.h>

#include "TestDevices.h"

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "coff/Archive.h"
#include "device/Processor.h"
#include "link/Linker.h"
#include "support/Error.h"

using namespace tarsil;

namespace {

using namespace tarsil::testdev;

void addSymbol(Coff& c, const std::string& name, int16_t scnum, uint8_t sclass = C_EXT) {
  syment s;
  if (name.size() > 8) Coff::addString(c.cStrTbl, name);
  Coff::setName(s, c.cStrTbl, name);
  s.n_scnum = scnum;
  s.n_sclass = sclass;
  c.cSymTbl.push_back(s);
  c.cSymKind.push_back(AuxKind::none);
}

std::unique_ptr<Coff> object(const std::string& name, const std::vector<std::string>& defs,
                             const std::vector<std::string>& refs = {}, uint16_t device = core14Dev,
                             bool generic = false) {
  auto c = std::make_unique<Coff>();
  c->cFileName = name;
  c->cOptHdr.proc_type = device;
  if (generic) c->cFileHdr.f_flags |= F_GENERIC;
  for (const auto& d : defs) addSymbol(*c, d, 1);
  for (const auto& r : refs) addSymbol(*c, r, 0);
  return c;
}

std::unique_ptr<Archive> library(const std::string& name, std::vector<std::unique_ptr<Coff>> members) {
  auto a = std::make_unique<Archive>();
  a->cFileName = name;
  a->cMembers = std::move(members);
  a->makeSymbols();
  return a;
}

std::vector<std::unique_ptr<Coff>> members(std::unique_ptr<Coff> a, std::unique_ptr<Coff> b = nullptr,
                                           std::unique_ptr<Coff> c = nullptr) {
  std::vector<std::unique_ptr<Coff>> v;
  for (auto* m : {&a, &b, &c})
    if (*m) v.push_back(std::move(*m));
  return v;
}

std::vector<std::string> inputNames(const Linker& l) {
  std::vector<std::string> names;
  for (const auto& c : l.cCoff) names.push_back(c->cFileName);
  return names;
}

class LinkerInputsTest : public testing::Test {
protected:
  void SetUp() override { Error::reset(); }
  void TearDown() override { Error::reset(); }

  std::vector<std::string> import() {
    std::string error;
    EXPECT_TRUE(l.importLibraryMembers(error));
    EXPECT_EQ(error, "");
    return inputNames(l);
  }

  std::string verify() {
    std::string error;
    bool ok = l.verifyProcessor(error);
    EXPECT_EQ(ok, error.empty());
    return error;
  }

  Linker l;
};

TEST_F(LinkerInputsTest, ImportTakesTheFirstSatisfiableNameFromTheEarliestLibrary) {
  // Undefined at first: a, b, zz. 'a' comes from the first library (the second
  // defines it too) and pulls in 'c', which sorts before 'zz' and so is
  // imported before it. 'never' stays undefined without failing the stage.
  l.cCoff.push_back(object("main.o", {"main"}, {"zz", "b", "a", "never"}));
  l.cArchive.push_back(library("one.lib", members(object("A.o", {"a"}, {"c"}), object("B.o", {"b"}),
                                                  object("C.o", {"c"}))));
  l.cArchive.push_back(library("two.lib", members(object("A2.o", {"a"}), object("Z.o", {"zz"}))));
  EXPECT_EQ(import(), (std::vector<std::string>{"main.o", "A.o", "B.o", "C.o", "Z.o"}));
  // Imported members are handed over, not copied: a library keeps only what
  // stayed behind, and no longer offers what left it.
  EXPECT_TRUE(l.cArchive[0]->cMembers.empty());
  EXPECT_FALSE(l.cArchive[0]->hasExtDefinition("a"));
  ASSERT_EQ(l.cArchive[1]->cMembers.size(), 1u);
  EXPECT_EQ(l.cArchive[1]->cMembers[0]->cFileName, "A2.o");
  EXPECT_EQ(l.cArchive[1]->getCoff("a")->cFileName, "A2.o");
  EXPECT_EQ(l.cArchive[1]->getCoff("zz"), nullptr);
}

TEST_F(LinkerInputsTest, WhatIsDefinedAnywhereIsNeverImported) {
  // 'x' and 'y' are both defined by M, which joins once for 'x'; 'y' is then
  // defined, so the other library's Y is not taken. 'shared' is referenced by
  // one object and defined by another, in either order.
  l.cCoff.push_back(object("first.o", {}, {"y", "x", "shared"}));
  l.cCoff.push_back(object("second.o", {"shared"}, {"later"}));
  l.cCoff.push_back(object("third.o", {"later"}));
  l.cArchive.push_back(library("ys.lib", members(object("Y.o", {"y"}))));
  l.cArchive.push_back(library("m.lib", members(object("M.o", {"x", "y"}))));
  l.cArchive.push_back(library("s.lib", members(object("S.o", {"shared", "later"}))));
  // 'x' sorts before 'y', so M joins first and defines 'y' before the earlier
  // library ys.lib is ever asked for it.
  EXPECT_EQ(import(), (std::vector<std::string>{"first.o", "second.o", "third.o", "M.o"}));
}

TEST_F(LinkerInputsTest, OnlyExternalSymbolsTakePart) {
  // A static symbol named like a library definition neither asks for nor
  // satisfies anything; long names work like short ones.
  auto main = object("main.o", {}, {"a_rather_long_name"});
  addSymbol(*main, "helper", 1, C_STAT);
  addSymbol(*main, "static_r", 0, C_STAT);
  l.cCoff.push_back(std::move(main));
  l.cArchive.push_back(library("l.lib", members(object("long.o", {"a_rather_long_name"}),
                                                object("helper.o", {"helper", "static_r"}))));
  EXPECT_EQ(import(), (std::vector<std::string>{"main.o", "long.o"}));
}

TEST_F(LinkerInputsTest, ANameIsTheSameWhereverItIsHeld) {
  // A short name may also stand in the string table, and bytes after the
  // NUL of a name field are no part of the name; eight characters fill the
  // field with no NUL at all. Each pair below is one name.
  auto inTable = [](Coff& c, const std::string& name, int16_t scnum) {
    syment s;
    s.set_n_offset(Coff::addString(c.cStrTbl, name));
    s.n_scnum = scnum;
    s.n_sclass = C_EXT;
    c.cSymTbl.push_back(s);
    c.cSymKind.push_back(AuxKind::none);
  };
  auto main = object("main.o", {}, {"eightchr", "pad"});
  inTable(*main, "tab", 0);
  syment padded = main->cSymTbl[1];
  std::memcpy(padded.n_name, "ab\0junk!", 8);
  main->cSymTbl[1] = padded;
  l.cCoff.push_back(std::move(main));

  auto tab = object("tab.o", {});
  inTable(*tab, "ab", 1);
  l.cArchive.push_back(library("l.lib", members(object("eight.o", {"eightchr"}), object("t.o", {"tab"}), std::move(tab))));
  // 'ab' is defined only through the table, 'tab' only in a field.
  EXPECT_EQ(import(), (std::vector<std::string>{"main.o", "tab.o", "eight.o", "t.o"}));
  // A name one byte longer or shorter is another name.
  Linker other;
  other.cCoff.push_back(object("main.o", {}, {"eightch", "abc"}));
  other.cArchive.push_back(library("l.lib", members(object("eight.o", {"eightchr"}), object("ab.o", {"ab"}))));
  std::string error;
  EXPECT_TRUE(other.importLibraryMembers(error));
  EXPECT_EQ(inputNames(other), (std::vector<std::string>{"main.o"}));
}

TEST_F(LinkerInputsTest, LongChainsImportEveryMemberOnce) {
  // Member i defines s<i> and refers to s<i+1> and back to s<i-1>; the names
  // are numbered so that the alphabetical order is not the chain's order.
  constexpr int count = 3000;
  auto symbol = [](int i) { return "s" + std::to_string((i * 7919) % 10007); };
  std::vector<std::unique_ptr<Coff>> chain;
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> refs;
    if (i + 1 < count) refs.push_back(symbol(i + 1));
    if (i > 0) refs.push_back(symbol(i - 1));
    chain.push_back(object("m" + std::to_string(i) + ".o", {symbol(i)}, refs));
  }
  l.cCoff.push_back(object("main.o", {}, {symbol(0)}));
  l.cArchive.push_back(library("chain.lib", std::move(chain)));
  auto names = import();
  ASSERT_EQ(names.size(), static_cast<size_t>(count + 1));
  for (int i = 0; i < count; ++i) EXPECT_EQ(names[static_cast<size_t>(i + 1)], "m" + std::to_string(i) + ".o");
}

TEST_F(LinkerInputsTest, ManyPendingNamesFollowThePassByPassRule) {
  // Hundreds of names wait at once, members bring in names that sort before
  // or after the ones waiting, some names are never defined and a second
  // library repeats some of the first's. The import must match the rule run
  // literally: each pass takes the alphabetically first undefined name that
  // a library defines, from the earliest such library.
  // Short names, and long ones that agree in their first eight bytes, so
  // that the order is also decided past them and by length.
  auto name = [](int i) {
    static const char* const stems[] = {"n", "same8chr", "same8chr_", "same8c"};
    return stems[(i % 1000) % 4] + std::to_string(i % 1000);
  };
  struct Def {
    std::string member;
    std::vector<std::string> defs, refs;
  };
  std::vector<std::vector<Def>> libs(2);
  for (int k = 0; k < 600; ++k) {
    Def d{"a" + std::to_string(k) + ".o", {name(k * 37)}, {name(k * 53 + 11), name(k * 29 + 500)}};
    libs[k % 3 == 0 ? 1 : 0].push_back(d);
    if (k % 5 == 0) libs[1].push_back({"b" + std::to_string(k) + ".o", {name(k * 37)}, {}});
  }
  std::vector<std::string> mainRefs;
  for (int i = 0; i < 60; ++i) mainRefs.push_back(name(i * 131 + 7));

  // The earliest definer of each name: a member that has joined defines all
  // its names, so it is never asked again.
  std::map<std::string, const Def*> definer;
  for (const auto& lib : libs)
    for (const Def& d : lib)
      for (const std::string& n : d.defs) definer.emplace(n, &d);
  std::set<std::string> defined, referenced(mainRefs.begin(), mainRefs.end());
  std::vector<std::string> expected{"main.o"};
  while (true) {
    const Def* next = nullptr;
    for (const std::string& ref : referenced) {
      auto it = definer.find(ref);
      if (!defined.count(ref) && it != definer.end()) {
        next = it->second;
        break;
      }
    }
    if (!next) break;
    expected.push_back(next->member);
    defined.insert(next->defs.begin(), next->defs.end());
    referenced.insert(next->refs.begin(), next->refs.end());
  }
  ASSERT_GT(expected.size(), 100u);

  l.cCoff.push_back(object("main.o", {}, mainRefs));
  for (size_t a = 0; a < libs.size(); ++a) {
    std::vector<std::unique_ptr<Coff>> coffs;
    for (const Def& d : libs[a]) coffs.push_back(object(d.member, d.defs, d.refs));
    testing::internal::CaptureStdout();  // the repeated definitions are reported
    l.cArchive.push_back(library("l" + std::to_string(a) + ".lib", std::move(coffs)));
    testing::internal::GetCapturedStdout();
  }
  EXPECT_EQ(import(), expected);
}

TEST_F(LinkerInputsTest, ImportWithoutLibrariesOrReferencesChangesNothing) {
  l.cCoff.push_back(object("main.o", {"main"}, {"missing"}));
  EXPECT_EQ(import(), std::vector<std::string>{"main.o"});
  l.cArchive.push_back(library("empty.lib", {}));
  EXPECT_EQ(import(), std::vector<std::string>{"main.o"});
}

TEST_F(LinkerInputsTest, TheFirstDeviceSpecificObjectSettlesTheProcessor) {
  // Generic objects of one family may name any of its devices.
  const uint16_t otherCore14 = getDvsProcType(convertDvsProcType(core14Dev) - 1);
  ASSERT_EQ(getInstSet(convertDvsProcType(otherCore14)), instSetCore14);
  l.cCoff.push_back(object("g1.o", {}, {}, otherCore14, true));
  l.cCoff.push_back(object("g2.o", {}, {}, core14Dev, true));
  EXPECT_EQ(verify(), "");
  EXPECT_EQ(l.cProcType, convertDvsProcType(otherCore14));
  EXPECT_EQ(l.cInstSet, instSetCore14);

  l.cCoff.push_back(object("specific.o", {}, {}, core14Dev));
  l.cCoff.push_back(object("g3.o", {}, {}, otherCore14, true));
  EXPECT_EQ(verify(), "");
  EXPECT_EQ(l.cProcType, convertDvsProcType(core14Dev));
  EXPECT_EQ(l.cRomWidthBits, 14);
  EXPECT_EQ(l.cRamWidthBits, 8);

  l.cCoff.push_back(object("other.o", {}, {}, otherCore14));
  EXPECT_EQ(verify(), "processor types do not agree across all input files.");
}

TEST_F(LinkerInputsTest, AGenericObjectMustShareTheFamily) {
  l.cCoff.push_back(object("a.o", {}, {}, core16Dev));
  l.cCoff.push_back(object("b.o", {}, {}, core16eDev, true));
  EXPECT_EQ(verify(), "processor types do not agree across all input files.");
}

TEST_F(LinkerInputsTest, UnknownDeviceCodesAreNamedWhereverTheyStand) {
  // Only the low half of the field is the device code.
  l.cCoff.push_back(object("a.o", {}, {}, core12Dev));
  l.cCoff.back()->cOptHdr.proc_type |= 0xABCD0000;
  l.cCoff.push_back(object("b.o", {}, {}, core12Dev, true));
  EXPECT_EQ(verify(), "");
  ASSERT_FALSE(isDvsProcTypeSupported(0));
  // After the device is settled, and even when another object disagrees
  // earlier, the unknown code is what is reported.
  l.cCoff.push_back(object("c.o", {}, {}, core14Dev));
  l.cCoff.push_back(object("lib-member.o", {}, {}, 0));
  EXPECT_EQ(verify(), "Unsupported processor type in file 'lib-member.o'");
  l.cCoff.erase(l.cCoff.begin() + 2);
  l.cCoff.back()->cFileHdr.f_flags |= F_GENERIC;
  EXPECT_EQ(verify(), "Unsupported processor type in file 'lib-member.o'");
}

TEST_F(LinkerInputsTest, MemoriesTakeTheDevicesWordWidths) {
  std::string error;
  ASSERT_TRUE(l.AddCodePage(Memory("page", 0, 0x7FF, rom, false, false, ""), error));
  ASSERT_TRUE(l.AddDataBank(Memory("bank", 0x20, 0x7F, ram, false, false, ""), error));
  ASSERT_TRUE(l.AddShareBank(Memory("share", 0x80, 0x8F, ram, false, false, ""), error));
  ASSERT_TRUE(l.AddAccessBank(Memory("access", 0x90, 0x9F, ram, false, false, ""), error));
  l.cCoff.push_back(object("a.o", {}, {}, core12Dev));
  EXPECT_EQ(verify(), "");
  EXPECT_EQ(l.getCodePages()[0].getHoles().front().getWidth(), 12);
  for (const auto* banks : {&l.getDataBanks(), &l.getShareBanks(), &l.getAccessBanks()})
    EXPECT_EQ((*banks)[0].getHoles().front().getWidth(), 8);
}

}  // namespace
