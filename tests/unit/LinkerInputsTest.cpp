#include "LinkerRig.h"
#include "coff/Archive.h"
#include "support/Threads.h"

using namespace tarsil;
using namespace tarsil::testing;
using tarsil::test::said;

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
  EXPECT_TRUE(l.importLibraryMembers(error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(inputNames(l), (std::vector<std::string>{"main.o", "tab.o", "eight.o", "t.o"}));
  // A name one byte longer or shorter is another name.
  Linker other;
  other.cCoff.push_back(object("main.o", {}, {"eightch", "abc"}));
  other.cArchive.push_back(library("l.lib", members(object("eight.o", {"eightchr"}), object("ab.o", {"ab"}))));
  EXPECT_TRUE(other.importLibraryMembers(error));
  EXPECT_EQ(inputNames(other), (std::vector<std::string>{"main.o"}));
}

}  // namespace

namespace {
struct Stopped {
  int code;
};
[[noreturn]] void stop(int code) { throw Stopped{code}; }
}  // namespace

// Inputs done side by side answer as one thread going through them in order
// would: the messages of the inputs up to the first failure, in order, then
// that failure; a fatal message before it ends the run, one after it never
// shows.
TEST(LinkerSideBySide, MessagesAndFailuresComeInInputOrder) {
  Error::reset();
  setThreadCount(4);
  Linker l;
  for (int i = 0; i < 64; ++i) l.cCoff.push_back(std::make_unique<Coff>());
  auto work = [](size_t fatal) {
    return [fatal](size_t c, std::string& error) {
      if (c % 8 == 1) Error::report(Error::error, "test", "note " + std::to_string(c), false);
      if (c == fatal) Error::report(Error::error, "test", "fatal " + std::to_string(c), true);
      if (c == 40 || c == 20) {
        error = "failed " + std::to_string(c);
        return false;
      }
      return true;
    };
  };
  std::string error;
  EXPECT_EQ(said([&] { EXPECT_FALSE(l.forEachInputUntilFailure(work(30), error)); }),
            "Error - note 1\nError - note 9\nError - note 17\n");
  EXPECT_EQ(error, "failed 20");

  Error::reset();
  Error::setTerminateHook(stop);
  int code = 0;
  const std::string out = said([&] {
    try {
      l.forEachInputUntilFailure(work(10), error);
    } catch (const Stopped& s) {
      code = s.code;
    }
  });
  EXPECT_EQ(code, -1);
  EXPECT_EQ(out, "Error - note 1\nError - note 9\nError - fatal 10\nErrors    : 3\n\n");
  Error::setTerminateHook(nullptr);
  setThreadCount(0);
  Error::reset();
}
