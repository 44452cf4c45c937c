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
  // A short name may stand in the string table; bytes after a field's NUL are no part of it.
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
  std::memcpy(main->cSymTbl[1].n_name, "ab\0junk!", 8);
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

}  // namespace
