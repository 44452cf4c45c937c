#include <cstdlib>

#include "TestSupport.h"
#include "support/Error.h"
#include "support/FileInfo.h"
#include "support/HexText.h"
#include "support/Strings.h"
#include "support/TimeStamp.h"

using namespace tarsil;

TEST(Strings, str2ulReadsHexOnlyAfterAnXInSecondPlace) {
  EXPECT_EQ(str2ul("0x1F"), 31u);
  EXPECT_EQ(str2ul("0X1f"), 31u);
  EXPECT_EQ(str2ul("10"), 10u);
  EXPECT_EQ(str2ul("0x"), 0u);
  EXPECT_EQ(str2ul("010"), 10u);
  EXPECT_EQ(str2ul("abc"), 0u);
  EXPECT_EQ(str2ul("12ab"), 12u);
  EXPECT_EQ(str2ul("1x10"), 16u);  // the first character is not looked at
  EXPECT_EQ(str2ul("0x99999999999999999999"), ~0UL);
}

TEST(Strings, splitKeepsEmptyElementsButNoTrailingOne) {
  using L = std::list<std::string>;
  EXPECT_EQ(split("a;;b", ';'), (L{"a", "", "b"}));
  EXPECT_EQ(split("a;", ';'), (L{"a"}));
  EXPECT_EQ(split(";a", ';'), (L{"", "a"}));
  EXPECT_EQ(split("", ';'), L{});
}

TEST(Strings, extractTokenHonoursQuotes) {
  std::istringstream in("  one \"two words\" \"\" three\"x y\"z \"open");
  std::string t;
  EXPECT_TRUE(extractToken(in, t));
  EXPECT_EQ(t, "one");
  EXPECT_TRUE(extractToken(in, t));
  EXPECT_EQ(t, "two words");
  EXPECT_FALSE(extractToken(in, t));  // an empty quoted stretch appends nothing
  EXPECT_TRUE(extractToken(in, t));
  EXPECT_EQ(t, "threex yz");
  EXPECT_FALSE(extractToken(in, t));  // unterminated
  EXPECT_EQ(t, "open");
  EXPECT_FALSE(extractToken(in, t));
}

TEST(Strings, hexTextKeepsEveryDigitAndHexPrintCuts) {
  const struct { uint64_t value; int minDigits; unsigned options; const char* text; } cases[] = {
      {0, 6, hexPrefixed, "0x000000"},          {0xabc, 6, hexPrefixed, "0x000abc"},
      {0x1000000, 6, hexPrefixed, "0x1000000"}, {0x1ffffffffULL, 8, hexPrefixed, "0x1ffffffff"},
      {UINT64_MAX, 6, hexPrefixed, "0xffffffffffffffff"},
      {0, 0, hexPrefixed, "0x0"},               {0xabc, 1, hexBare, "abc"},
      {0x7e57, 4, hexUpper, "0x7E57"},          {0xa, 2, hexBare | hexUpper, "0A"},
  };
  for (const auto& c : cases) EXPECT_EQ(hexText(c.value, c.minDigits, c.options), c.text) << c.text;
  EXPECT_EQ(hexPrint(0x1234, 1), "0x34");
  EXPECT_EQ(hexPrint(5, 4), "0x00000005");
  EXPECT_EQ(hexPrint(0xABCDEF, 3), "0xabcdef");
  // Bits above the width never show, whatever the width of unsigned long.
  EXPECT_EQ(hexPrint(0x1FFFFFFFFUL, 4), "0xffffffff");
  EXPECT_EQ(hexPrint(0xFEDCBA, 2), "0xdcba");
  EXPECT_EQ(hexPrint(5, 0), "<NaN>");
  EXPECT_EQ(hexPrint(5, 5), "<NaN>");
  EXPECT_EQ(swapBytes(0x12345678), 0x78563412);
  EXPECT_EQ(quote("a b"), "\"a b\"");
  EXPECT_EQ(unquote("\"a\" \"b\""), "a b");
}

TEST(FileInfo, splitsPathNameAndExtension) {
  FileInfo f("dir\\sub\\main.tar.o");
  EXPECT_EQ(f.path(), "dir\\sub");
  EXPECT_EQ(f.name(), "main.tar.o");
  EXPECT_EQ(f.basename(), "main.tar");
  EXPECT_EQ(f.ext(), ".o");
  EXPECT_EQ(f.fullName(), "dir\\sub/main.tar.o");
  EXPECT_FALSE(FileInfo("x.o").hasPath());
  EXPECT_FALSE(FileInfo("dir\\").hasName());
  EXPECT_EQ(FileInfo("dir/x.o").path(), "dir");
  EXPECT_EQ(FileInfo("noext").ext(), "");
  EXPECT_TRUE(FileInfo("/a.out").hasPath());
}

TEST(TimeStamp, sourceDateEpochStandsInForTheClockOnlyWhenItIsAWholeNumber) {
  ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  EXPECT_EQ(outputTimeStamp(), 1700000000u);
  for (const char* bad : {"17e8", "-1", "4294967296", " 1"}) {
    ::setenv("SOURCE_DATE_EPOCH", bad, 1);
    SourceDate date = sourceDateEpoch();
    EXPECT_TRUE(date.set && !date.valid) << bad;
  }
  ::unsetenv("SOURCE_DATE_EPOCH");
  EXPECT_FALSE(sourceDateEpoch().set);
  EXPECT_GT(outputTimeStamp(), 1700000000u);
}

namespace {

struct Ended { int code; };

[[noreturn]] void throwCode(int code) { throw Ended{code}; }

int endWith(const std::function<void()>& call) {
  try { call(); } catch (const Ended& e) { return e.code; }
  return -999;
}
int endWith(int code) { return endWith([code] { Error::terminate(code); }); }

}  // namespace

// Resetting the counters for the next run keeps the hook, which belongs to the host.
TEST(TerminateHookTest, AFatalReportReachesTheHostWithItsCodeAndCount) {
  Error::reset();
  Error::quiet(true);
  Error::setTerminateHook(throwCode);
  EXPECT_EQ(endWith(0), 0);
  EXPECT_EQ(endWith([] { Error::report(Error::error, "test", "bad input", true); }), -1);
  EXPECT_EQ(Error::errors(), 1);
  Error::reset();
  EXPECT_EQ(endWith(1), 1);
  Error::setTerminateHook(nullptr);
  Error::reset();
}
