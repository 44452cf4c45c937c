#include "TestSupport.h"
#include "driver/DepFile.h"
#include "driver/Parser.h"
#include "support/ResponseFile.h"

using namespace tarsil;
using namespace tarsil::test;

TEST(ParserPredicates, FileNamesNeedANameAndTheirExtension) {
  for (const char* yes : {"main.o", "dir\\MAIN.O"}) EXPECT_TRUE(Parser::isObjectFile(yes)) << yes;
  for (const char* no : {"main.o.bak", "main.obj", "main.O/"}) EXPECT_FALSE(Parser::isObjectFile(no)) << no;
  EXPECT_TRUE(Parser::isLibraryFile("archive.tar.Lib"));
  EXPECT_FALSE(Parser::isLibraryFile("lib"));
  EXPECT_TRUE(Parser::isCmdFile("sub/dev.LKR"));
  for (const char* no : {"", "x.lk", "x.lkrr"}) EXPECT_FALSE(Parser::isCmdFile(no)) << no;
  EXPECT_TRUE(Parser::isFile("noext"));
  for (const char* no : {"", "dir\\", "dir/"}) EXPECT_FALSE(Parser::isFile(no)) << no;
  EXPECT_TRUE(Parser::isDir("no/such/dir"));
  EXPECT_FALSE(Parser::isDir(""));
  for (const char* yes : {"0", "0060"}) EXPECT_TRUE(Parser::isNum(yes)) << yes;
  for (const char* no : {"", "-1", "0x10", "12 "}) EXPECT_FALSE(Parser::isNum(no)) << no;
}

TEST(ParserCmdFile, CommentsEndTheLineAndFillIsWidenedToWholeWords) {
  const std::pair<std::string, std::string> comments[] = {
      {"FILES a.o // b.o // c.o", "FILES a.o "}, {"/ / not a comment /", "/ / not a comment /"}, {"//", ""}};
  for (auto [line, kept] : comments) {
    Parser::eatComments(line);
    EXPECT_EQ(line, kept);
  }
  const std::pair<const char*, const char*> fills[] = {
      {"0x3FFF", "0x3FFF"}, {"0x3FF", "0x03FF"}, {"0x1", "0x0001"}, {"0x12345", "0x00012345"},
      {"0X3F", "0x003F"},   {"0", "0"},          {"0x", "0x"},      {"1234", "1234"}};
  for (const auto& [fill, padded] : fills) EXPECT_EQ(Parser::padFill(fill), padded) << fill;
}

TEST(ParserCmdFile, AttributesInAnyOrder) {
  std::istringstream in("END=0x7FF PROTECTED NAME=page0 START=0x0 ");
  Memory m = Parser::parseMemory(in, "CODEPAGE", "f.lkr", 1, rom);
  EXPECT_EQ(m.getName(), "page0");
  EXPECT_EQ(m.size(), 0x800u);

  // Values are everything after the first '='; decimal unless "0x".
  std::istringstream bank("NAME=a=b START=010 END=0X1f");
  Memory b = Parser::parseMemory(bank, "DATABANK", "f.lkr", 1, ram);
  EXPECT_EQ(b.getName(), "a=b");
  EXPECT_EQ(b.size(), 22u);

  // Addresses are 32-bit: larger numbers stop at the top address.
  std::istringstream wide("NAME=w START=0xFFFFFFFE END=0x123456789");
  EXPECT_EQ(Parser::parseMemory(wide, "DATABANK", "f.lkr", 1, ram).size(), 2u);

  std::istringstream section("RAM=gpr0 NAME=.data");
  SectionDesc s = Parser::parseSection(section, "f.lkr", 1);
  EXPECT_EQ(s.getName(), ".data");
  EXPECT_EQ(s.getLoadMemory(), "");
  EXPECT_EQ(s.getRunMemory(), "gpr0");

  std::istringstream stack("SIZE=0x20");
  StackDesc st = Parser::parseStack(stack, "f.lkr", 1);
  EXPECT_EQ(st.getSize(), 0x20u);
  EXPECT_EQ(st.getRunMemory(), "");

  std::istringstream heap("MINSIZE=100");
  EXPECT_EQ(Parser::parseHeap(heap, "f.lkr", 1), 100u);
}

TEST(ParserCmdFileDeath, AttributeErrorsEndTheProcess) {
  std::istringstream in("NAME=p START=0 END=1 FILL=0");
  EXPECT_EXIT(Parser::parseMemory(in, "DATABANK", "f.lkr", 7, ram), testing::ExitedWithCode(1), "");
  std::istringstream inverted("NAME=p START=2 END=1");
  EXPECT_EXIT(Parser::parseMemory(inverted, "CODEPAGE", "f.lkr", 7, rom), testing::ExitedWithCode(255), "");
}

// Backslashes reach the rule only where '\\' is no directory separator;
// make takes them as they are except before a character it reads specially
// and at the end of a name, where it halves them.
TEST(DependencyRule, BackslashesAsMakeReadsThem) {
  std::string rule, error;
  ASSERT_TRUE(dependencyRule("out%.cof", {"dir\\x.o", "a\\ b.o", "./end\\"}, rule, error)) << error;
  EXPECT_EQ(rule,
            "out\\%.cof: \\\n dir\\x.o \\\n a\\\\\\ b.o \\\n end\\\\ \n"
            "\ndir\\x.o:\n\na\\\\\\ b.o:\n\nend\\\\:\n");
}

using Args = std::vector<std::string>;

struct SplitCase {
  const char* text;
  Args args;
  bool ok = true;
};

void expectSplits(const std::vector<SplitCase>& cases, Quoting quoting) {
  for (const auto& c : cases) {
    Args args;
    std::string error;
    EXPECT_EQ(splitResponseText(c.text, args, error, quoting), c.ok) << c.text;
    EXPECT_EQ(error.empty(), c.ok) << c.text;
    if (c.ok) { EXPECT_EQ(args, c.args) << c.text; }
  }
}

TEST(ResponseText, QuotesGroupAndBackslashesEscape) {
  expectSplits({
      {"", {}}, {" \t\r\n", {}},
      {"a.o  b.o\r\nc.lib\n", {"a.o", "b.o", "c.lib"}},
      {"\"my dir/x.o\" -o\"out file.cof\"", {"my dir/x.o", "-oout file.cof"}},
      {"\"\" x", {"", "x"}},
      {"a\\ b \\\"q\\\" c\\\\d", {"a b", "\"q\"", "c\\d"}},
      {"\"in \\\" quotes\"", {"in \" quotes"}},
      {"@nested", {"@nested"}},
      {"\"open", {}, false}, {"a \"b c", {}, false}, {"trailing\\", {}, false},
  }, Quoting::posix);
}

// As Windows programs split their command lines: a directory's backslashes
// stay, and count only before a quote.
TEST(ResponseText, WindowsQuotingKeepsBackslashesBetweenDirectories) {
  expectSplits({
      {"C:\\users\\me\\x.o \\\\server\\share\\y.lib", {"C:\\users\\me\\x.o", "\\\\server\\share\\y.lib"}},
      {"\"C:\\my dir\\\\\" end\\", {"C:\\my dir\\", "end\\"}},
      {"a\\\"b \"c\"\"d\" \"\"", {"a\"b", "c\"d", ""}},
      {"\\\\\\\"q", {"\\\"q"}},
      {"\"open", {}, false},
  }, Quoting::windows);
}

TEST(ResponseFiles, ExpandInPlaceNestedAndRefuseWhatCannotEnd) {
  const fs::path dir = tempPath("rsp");
  fs::remove_all(dir);
  fs::create_directories(dir);
  auto file = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return (dir / name).string();
  };
  const std::string outer = file("outer", "a.o @" + file("inner", "b.o \"c d.o\"") + " e.o");
  const std::string self = file("self", "x @" + (dir / "self").string());
  std::string chain = file("level0", "end");
  for (int i = 1; i <= kMaxResponseDepth; ++i) chain = file("level" + std::to_string(i), "@" + chain);

  auto expand = [](Args args, std::string& error, std::function<bool(const std::string&)> literal = {}) {
    error.clear();
    return expandResponseFiles(args, error, literal) ? args : Args{"<failed>"};
  };
  std::string error;
  EXPECT_EQ(expand({"first", "@" + outer, "last"}, error), (Args{"first", "a.o", "b.o", "c d.o", "e.o", "last"}));
  EXPECT_EQ(expand({"@" + file("empty", "")}, error), Args{});
  // Up to the deepest nesting allowed, and one level more.
  EXPECT_EQ(expand({"@" + (dir / "level7").string()}, error), Args{"end"});
  EXPECT_EQ(expand({"@" + chain}, error), Args{"<failed>"});
  EXPECT_NE(error.find("nested more than 8"), std::string::npos) << error;
  // An argument the caller keeps as it stands is not read.
  EXPECT_EQ(expand({"@x.o"}, error, [](const std::string& a) { return a == "@x.o"; }), Args{"@x.o"});

  const std::pair<Args, std::string> refused[] = {
      {{"@" + (dir / "missing").string()}, "Could not open response file '" + (dir / "missing").string() + "'"},
      {{"@" + self}, "Response file '" + self + "' includes itself"},
      {{"@" + dir.string()}, "Response file '" + dir.string() + "' is not a regular file"},
      {{"@" + file("quote", "\"a")}, "Response file '" + (dir / "quote").string() + "' has a quote that is not closed"},
  };
  for (const auto& [args, message] : refused) {
    EXPECT_EQ(expand(args, error), Args{"<failed>"}) << message;
    EXPECT_EQ(error, message);
  }
  fs::remove_all(dir);
}
