#include "TestSupport.h"
#include "support/ResponseFile.h"

using namespace tarsil;
using namespace tarsil::test;
using Args = std::vector<std::string>;

TEST(ResponseText, QuotesGroupAndBackslashesEscape) {
  struct Case {
    const char* text;
    Args args;
  };
  const Case cases[] = {
      {"", {}},
      {" \t\r\n", {}},
      {"a.o  b.o\r\nc.lib\n", {"a.o", "b.o", "c.lib"}},
      {"\"my dir/x.o\" -o\"out file.cof\"", {"my dir/x.o", "-oout file.cof"}},
      {"\"\" x", {"", "x"}},
      {"a\\ b \\\"q\\\" c\\\\d", {"a b", "\"q\"", "c\\d"}},
      {"\"in \\\" quotes\"", {"in \" quotes"}},
      {"@nested", {"@nested"}},
  };
  for (const Case& c : cases) {
    Args args;
    std::string error;
    EXPECT_TRUE(splitResponseText(c.text, args, error)) << c.text;
    EXPECT_EQ(args, c.args) << c.text;
  }
  for (const char* bad : {"\"open", "a \"b c", "trailing\\"}) {
    Args args;
    std::string error;
    EXPECT_FALSE(splitResponseText(bad, args, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
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
