#include <cstdlib>
#include <stdexcept>
#include <tuple>

#include "TestSupport.h"
#include "support/Error.h"
#include "support/FileInfo.h"
#include "support/FlatMap.h"
#include "support/HexText.h"
#include "support/Platform.h"
#include "support/Strings.h"
#include "support/Threads.h"
#include "support/TimeStamp.h"

using namespace tarsil;

TEST(Strings, str2ulReadsHexOnlyAfterAnXInSecondPlace) {
  // In "1x10" the first character is not looked at.
  const std::pair<const char*, uint64_t> cases[] = {{"0x1F", 31}, {"0X1f", 31}, {"10", 10}, {"0x", 0}, {"010", 10},
      {"abc", 0}, {"12ab", 12}, {"1x10", 16}, {"0x99999999999999999999", ~0UL}};
  for (const auto& [text, value] : cases) EXPECT_EQ(str2ul(text), value) << text;
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
  // An empty quoted stretch appends nothing; "open" is unterminated.
  const std::pair<bool, const char*> reads[] = {
      {true, "one"}, {true, "two words"}, {false, nullptr}, {true, "threex yz"}, {false, "open"}, {false, nullptr}};
  std::string t;
  for (auto [ok, text] : reads) {
    EXPECT_EQ(extractToken(in, t), ok) << t;
    if (text) { EXPECT_EQ(t, text); }
  }
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
  // Bits above the width never show, whatever the width of uint64_t.
  const std::tuple<uint64_t, int, const char*> prints[] = {{0x1234, 1, "0x34"}, {5, 4, "0x00000005"},
      {0xABCDEF, 3, "0xabcdef"}, {0x1FFFFFFFFUL, 4, "0xffffffff"}, {0xFEDCBA, 2, "0xdcba"}, {5, 0, "<NaN>"},
      {5, 5, "<NaN>"}};
  for (const auto& [value, bytes, text] : prints) EXPECT_EQ(hexPrint(value, bytes), text) << text;
  EXPECT_EQ(swapBytes(0x12345678), 0x78563412);
  EXPECT_EQ(quote("a b"), "\"a b\"");
  EXPECT_EQ(unquote("\"a\" \"b\""), "a b");
}

// Files fill their tables in order, so the other paths (a key in the middle,
// a key already there) are the ones a link seldom takes.
TEST(FlatMap, KeepsKeyOrderWhateverTheInsertionOrder) {
  FlatMap<int, std::string> m;
  m[5] = "e";
  m.try_emplace(1, "a");
  m.emplace_hint(m.end(), 3, "c");
  EXPECT_FALSE(m.try_emplace(3, "other").second);
  m[7] = "g";
  EXPECT_EQ(m, (FlatMap<int, std::string>{{1, "a"}, {3, "c"}, {5, "e"}, {7, "g"}}));
  EXPECT_EQ(m.at(3), "c");
  EXPECT_EQ(m.find(4), m.end());
  EXPECT_EQ(m.count(2) + m.count(7), 1u);
  EXPECT_EQ(erase_if(m, [](const auto& entry) { return entry.first % 3 == 1; }), 2u);
  EXPECT_EQ(m, (FlatMap<int, std::string>{{3, "c"}, {5, "e"}}));
  EXPECT_THROW(m.at(1), std::out_of_range);
}

TEST(FlatMap, MergeInCombinesRepeatedKeysInTheOrderGiven) {
  auto joined = [](std::string& kept, std::string&& incoming) { kept += incoming; };
  // Past a handful of entries the sort is another one; both keep the order
  // in which repeated keys were given.
  for (int n : {6, 200}) {
    FlatMap<int, std::string> m{{0, "x"}, {n + 100, "y"}};
    std::vector<std::pair<int, std::string>> given;
    std::string repeated = "x";
    for (int i = n; i > 0; --i) {
      given.emplace_back(i % 3 == 0 ? 0 : i, std::to_string(i) + ";");
      if (i % 3 == 0) repeated += std::to_string(i) + ";";
    }
    m.mergeIn(given, joined);
    EXPECT_EQ(m.at(0), repeated) << n;
    EXPECT_EQ(m.at(n + 100), "y");
    EXPECT_EQ(m.at(1), "1;");
    EXPECT_EQ(m.size(), static_cast<size_t>(n - n / 3 + 2));
    EXPECT_TRUE(std::is_sorted(m.begin(), m.end(), [](const auto& a, const auto& b) { return a.first < b.first; }));
  }
}

TEST(FlatMap, MergeInSortsLongNamesThatShareTheirFirstBytes) {
  // Names alike in their first eight bytes are told apart by the rest, and
  // a repeated one still gathers in the order given.
  std::vector<std::pair<std::string, std::string>> given;
  for (int i = 40; i > 0; --i) given.emplace_back("section_" + std::to_string(i % 20), std::to_string(i) + ";");
  given.emplace_back("sect", "short;");
  FlatMap<std::string, std::string> m;
  m.mergeIn(given, [](std::string& kept, std::string&& incoming) { kept += incoming; });
  ASSERT_EQ(m.size(), 21u);
  EXPECT_EQ(m.begin()->first, "sect");
  EXPECT_EQ(m.at("section_7"), "27;7;");
  EXPECT_EQ(m.at("section_0"), "40;20;");
  EXPECT_TRUE(std::is_sorted(m.begin(), m.end(), [](const auto& a, const auto& b) { return a.first < b.first; }));
}

TEST(FlatMap, FindsNamesOfEveryLengthInSmallTables) {
  // A few names are found by comparing them word by word: names alike but
  // for their last byte, of each length the comparison treats apart.
  const std::vector<std::string> names = {"a", ".c0", ".ud0", ".text_0", "section_0", "a_rather_long_name_0"};
  FlatMap<std::string, int> m;
  for (size_t i = 0; i < names.size(); ++i) m[names[i]] = static_cast<int>(i);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(m.find(names[i])->second, static_cast<int>(i)) << names[i];
    std::string other = names[i];
    other.back() = '1';
    EXPECT_EQ(m.find(other), m.end()) << other;
    EXPECT_EQ(m.find(names[i] + "0"), m.end()) << names[i];
  }
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
  platform::setEnvironment("SOURCE_DATE_EPOCH", "1700000000");
  EXPECT_EQ(outputTimeStamp(), 1700000000u);
  for (const char* bad : {"17e8", "-1", "4294967296", " 1"}) {
    platform::setEnvironment("SOURCE_DATE_EPOCH", bad);
    SourceDate date = sourceDateEpoch();
    EXPECT_TRUE(date.set && !date.valid) << bad;
  }
  platform::setEnvironment("SOURCE_DATE_EPOCH", nullptr);
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

// The place a message quotes leads its line, with the words that brought it
// in; a quoted name that only looks like a place, and line breaks, do not.
TEST(GnuLine, ThePlaceLeadsAndEveryMessageIsOneLine) {
  const std::pair<const char*, const char*> lines[] = {
      {"Invalid device in 'p.dev:12': bad name", "p.dev:12: error: Invalid device: bad name"},
      {"could not find file 'x:y.o'.", "tarsil: error: could not find file 'x:y.o'."},
      {"Fill pattern for 'm' doesn't divide evenly into\n          unused locations.",
       "tarsil: error: Fill pattern for 'm' doesn't divide evenly into unused locations."},
  };
  for (const auto& [message, line] : lines) EXPECT_EQ(Error::gnuLine(Error::error, message), line);
  EXPECT_EQ(Error::gnuLine(Error::warning, "Device 'a' is replaced by 'b' from 'p.dev:2'"),
            "p.dev:2: warning: Device 'a' is replaced by 'b'");
}

// Work done side by side answers as one thread going through it in order
// would: the messages of the calls up to the first failure, in order; a fatal
// message before that failure ends the run, one after it never shows.
TEST(InOrderUntilFailure, MessagesAndTheFailureAreThoseOfIndexOrder) {
  Error::reset();
  setThreadCount(4);
  auto work = [](size_t fatal) {
    return [fatal](size_t i, unsigned) {
      if (i % 8 == 1) Error::report(Error::error, "test", "note " + std::to_string(i), false);
      if (i == fatal) Error::report(Error::error, "test", "fatal " + std::to_string(i), true);
      return i != 40 && i != 20;
    };
  };
  size_t failed = 0;
  EXPECT_EQ(test::said([&] { failed = inOrderUntilFailure(64, work(30)); }),
            "Error - note 1\nError - note 9\nError - note 17\n");
  EXPECT_EQ(failed, 20u);

  Error::reset();
  Error::setTerminateHook(throwCode);
  int code = 0;
  EXPECT_EQ(test::said([&] { code = endWith([&] { inOrderUntilFailure(64, work(10)); }); }),
            "Error - note 1\nError - note 9\nError - fatal 10\nErrors    : 3\n\n");
  EXPECT_EQ(code, -1);
  Error::setTerminateHook(nullptr);
  setThreadCount(0);
  Error::reset();
}

// Work beside the caller speaks when it is joined, after what the caller
// said meanwhile, and throws there; with one thread it runs where it stands.
TEST(Beside, HeldUntilJoinedOrRunAtOnceOnOneThread) {
  Error::reset();
  auto link = [] {
    Beside work([] { Error::report(Error::error, "test", "beside", false); });
    Error::report(Error::error, "test", "caller", false);
    work.join();
  };
  setThreadCount(2);
  EXPECT_EQ(test::said(link), "Error - caller\nError - beside\n");
  setThreadCount(1);
  EXPECT_EQ(test::said(link), "Error - beside\nError - caller\n");

  setThreadCount(2);
  Beside failing([] { throw std::runtime_error("beside failed"); });
  EXPECT_THROW(failing.join(), std::runtime_error);
  setThreadCount(0);
  Error::reset();
}
