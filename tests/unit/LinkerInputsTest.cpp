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

std::vector<std::string> inputNames(const LinkContext& l) {
  std::vector<std::string> names;
  for (const auto& c : l.cCoff) names.push_back(c->cFileName);
  return names;
}

using LinkerInputsTest = LinkerRig;

TEST_F(LinkerInputsTest, ANameIsTheSameWhereverItIsHeld) {
  // A short name may stand in the string table; bytes after a field's NUL are no part of it.
  Input main("main.o"), tab("tab.o");
  main.symbol("eightchr", 0).symbol("pad", 0).symbol("tab", 0);
  main.c->cSymTbl[2].set_n_offset(Coff::addString(main.c->cStrTbl, "tab"));
  std::memcpy(main.c->cSymTbl[1].n_name, "ab\0junk!", 8);
  add(main);
  tab.symbol("ab", 1).c->cSymTbl[0].set_n_offset(Coff::addString(tab.c->cStrTbl, "ab"));
  l.cArchive.push_back(
      library("l.lib", members(object("eight.o", {"eightchr"}), object("t.o", {"tab"}), std::move(tab.c))));
  // 'ab' is defined only through the table, 'tab' only in a field.
  EXPECT_TRUE(importLibraryMembers(l, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(inputNames(l), (std::vector<std::string>{"main.o", "tab.o", "eight.o", "t.o"}));
  // A name one byte longer or shorter is another name.
  LinkContext other{Config()};
  other.cCoff.push_back(object("main.o", {}, {"eightch", "abc"}));
  other.cArchive.push_back(library("l.lib", members(object("eight.o", {"eightchr"}), object("ab.o", {"ab"}))));
  EXPECT_TRUE(importLibraryMembers(other, error));
  EXPECT_EQ(inputNames(other), (std::vector<std::string>{"main.o"}));
}

}  // namespace
