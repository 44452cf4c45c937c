#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "driver/Parser.h"

using namespace tarsil;

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
  const std::pair<const char*, const char*> fills[] = {{"0x3FFF", "0x3FFF"}, {"0x3FF", "0x03FF"}, {"0x1", "0x0001"},
      {"0x12345", "0x00012345"}, {"0X3F", "0x003F"}, {"0", "0"}, {"0x", "0x"}, {"1234", "1234"}};
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

namespace {

// Records every declaration as one line, in the order it arrives.
class Recorder : public ParserClient {
public:
  std::vector<std::string> calls;

  bool AddMinHeapSize(unsigned long size, std::string&) override { return add("heap " + std::to_string(size)); }
  bool AddMapFile(const std::string& n, std::string&) override { return add("map " + n); }
  bool AddOutputFile(const std::string& n, std::string&) override { return add("out " + n); }
  bool AddObjectFile(const std::string& n, std::string&) override { return add("obj " + n); }
  bool AddLibraryFile(const std::string& n, std::string&) override { return add("lib " + n); }
  bool AddCodePage(const Memory& m, std::string&) override { return add("code " + m.getName()); }
  bool AddDataBank(const Memory& m, std::string&) override { return add("data " + m.getName()); }
  bool AddShareBank(const Memory& m, std::string&) override { return add("share " + m.getName()); }
  bool AddAccessBank(const Memory& m, std::string&) override { return add("access " + m.getName()); }
  bool AddSectionDesc(const SectionDesc& s, std::string&) override {
    return add("section " + s.getName() + " " + s.getLoadMemory() + "/" + s.getRunMemory());
  }
  bool AddStackDesc(const StackDesc& s, std::string&) override {
    return add("stack " + std::to_string(s.getSize()) + " " + s.getRunMemory());
  }
  bool AddLibPath(const std::string& d, std::string&) override { return add("libpath " + d); }
  bool AddStrip(bool s, std::string&) override { return add(s ? "strip" : "nostrip"); }

private:
  bool add(const std::string& call) {
    calls.push_back(call);
    return true;
  }
};

class CmdFiles : public testing::Test {
protected:
  void SetUp() override {
    dir = std::filesystem::path(testing::TempDir()) /
          ("tarsil-parser-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "inc");
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return (dir / name).string();
  }

  std::filesystem::path dir;
};

}  // namespace

TEST_F(CmdFiles, DirectivesArriveInReadingOrderWithIncludesInPlace) {
  write("inc/inner.lkr", "CODEPAGE NAME=p START=0 END=0xFF\nFILES \"in ner.o\"\n");
  Recorder client;
  Parser parser;
  std::string good = write("good.lkr",
                           "LKRPATH " + (dir / "inc").string() + "\n"
                           "LIBPATH a;b FILES x.o y.LIB // z.o\n"
                           "INCLUDE inner.lkr\n"
                           "\r\n"
                           "SHAREBANK NAME=s START=0x70 END=0x7F\n"
                           "ACCESSBANK NAME=a START=0 END=0xF\n"
                           "DATABANK NAME=d START=0x20 END=0x6F\n"
                           "SECTION NAME=.t ROM=p RAM=d\r\n"
                           "STACK SIZE=8 RAM=d\n"
                           "HEAP MINSIZE=0x40");
  parser.parseCmdFile(good, client);
  EXPECT_EQ(client.calls, (std::vector<std::string>{"libpath a", "libpath b", "obj x.o", "lib y.LIB", "code p",
                                                    "obj in ner.o", "share s", "access a", "data d",
                                                    "section .t p/d", "stack 8 d", "heap 64"}));
  EXPECT_EQ(parser.cmdFilesRead(), (std::vector<std::string>{good, (dir / "inc" / "inner.lkr").string()}));
  EXPECT_EQ(parser.cmdFileDirs(), (std::vector<std::string>{(dir / "inc").string()}));
}
