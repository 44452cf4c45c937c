// Which library members join the link, held to the pass-by-pass rule run
// literally over many pending names and to names held in either place; the
// order in small cases is pinned end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "LinkerRig.h"
#include "coff/Archive.h"

using namespace tarsil;
using namespace tarsil::testing;

namespace {

std::unique_ptr<Coff> object(const std::string& name, const std::vector<std::string>& defs,
                             const std::vector<std::string>& refs = {}) {
  Input in(name);
  for (const auto& d : defs) in.symbol(d, 1);
  for (const auto& r : refs) in.symbol(r, 0);
  return std::move(in.c);
}

std::unique_ptr<Archive> library(const std::string& name, std::vector<std::unique_ptr<Coff>> members) {
  auto a = std::make_unique<Archive>();
  a->cFileName = name;
  a->cMembers = std::move(members);
  a->makeSymbols();
  return a;
}

template <class... Objects>
std::vector<std::unique_ptr<Coff>> members(Objects... objects) {
  std::vector<std::unique_ptr<Coff>> v;
  (v.push_back(std::move(objects)), ...);
  return v;
}

std::vector<std::string> inputNames(const Linker& l) {
  std::vector<std::string> names;
  for (const auto& c : l.cCoff) names.push_back(c->cFileName);
  return names;
}

class LinkerInputsTest : public LinkerRig {
protected:
  std::vector<std::string> import() {
    EXPECT_TRUE(l.importLibraryMembers(error));
    EXPECT_EQ(error, "");
    return inputNames(l);
  }
};

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
  l.cArchive.push_back(
      library("l.lib", members(object("eight.o", {"eightchr"}), object("t.o", {"tab"}), std::move(tab))));
  // 'ab' is defined only through the table, 'tab' only in a field.
  EXPECT_EQ(import(), (std::vector<std::string>{"main.o", "tab.o", "eight.o", "t.o"}));
  // A name one byte longer or shorter is another name.
  Linker other;
  other.cCoff.push_back(object("main.o", {}, {"eightch", "abc"}));
  other.cArchive.push_back(library("l.lib", members(object("eight.o", {"eightchr"}), object("ab.o", {"ab"}))));
  EXPECT_TRUE(other.importLibraryMembers(error));
  EXPECT_EQ(inputNames(other), (std::vector<std::string>{"main.o"}));
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
    ::testing::internal::CaptureStdout();  // the repeated definitions are reported
    l.cArchive.push_back(library("l" + std::to_string(a) + ".lib", std::move(coffs)));
    ::testing::internal::GetCapturedStdout();
  }
  EXPECT_EQ(import(), expected);
  // Imported members are handed over, not copied: a library keeps only the
  // members that stayed behind, and offers nothing only the others defined.
  const std::set<std::string> joined(expected.begin(), expected.end());
  for (size_t a = 0; a < libs.size(); ++a) {
    std::vector<std::string> kept, keptNames;
    std::set<std::string> offered;
    for (const Def& d : libs[a])
      if (!joined.count(d.member)) kept.push_back(d.member), offered.insert(d.defs.begin(), d.defs.end());
    for (const auto& m : l.cArchive[a]->cMembers) keptNames.push_back(m->cFileName);
    EXPECT_EQ(keptNames, kept);
    for (const auto& entry : definer) {
      if (offered.count(entry.first) == 0) {
        EXPECT_FALSE(l.cArchive[a]->hasExtDefinition(entry.first)) << entry.first;
      }
    }
  }
}

}  // namespace
