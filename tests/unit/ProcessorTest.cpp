#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device/Processor.h"

using namespace tarsil;

namespace {

std::vector<int> devicesOf(int instSet) {
  std::vector<int> found;
  for (int p = 1; p <= procTypeCount; ++p)
    if (getInstSet(p) == instSet) found.push_back(p);
  return found;
}

// The first device of a family that satisfies `pred`; fails the test when
// the table has none, since the case it stands for would go untested.
int deviceWhere(int instSet, const std::function<bool(int)>& pred) {
  for (int p : devicesOf(instSet))
    if (pred(p)) return p;
  ADD_FAILURE() << "no " << getInstSetName(instSet) << " device of the wanted kind";
  return 1;
}

// Where general-purpose registers start in a bank, found through isGpr alone.
unsigned firstGpr(int p) {
  for (unsigned offset = 0; offset < getLocationsPerBank(p); ++offset)
    if (isGpr(p, offset)) return offset;
  return getLocationsPerBank(p);
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::set<std::uint32_t> programSizes(int instSet) {
  std::set<std::uint32_t> sizes;
  for (int p : devicesOf(instSet)) sizes.insert(getProgramLocations(p));
  return sizes;
}

std::set<std::uint32_t> dataSizes(int instSet) {
  std::set<std::uint32_t> sizes;
  for (int p : devicesOf(instSet)) sizes.insert(getDataLocations(p));
  return sizes;
}

using Sizes = std::set<std::uint32_t>;

}  // namespace

TEST(ProcessorTable, familiesHaveTheirDeviceCountsAndOnlyTheirOwnSizes) {
  EXPECT_EQ(devicesOf(instSetCore12).size(), 36u);
  EXPECT_EQ(devicesOf(instSetCore14).size(), 109u);
  EXPECT_EQ(devicesOf(instSetCore16).size(), 11u);
  EXPECT_EQ(devicesOf(instSetCore16E).size(), 44u);

  EXPECT_EQ(programSizes(instSetCore12), (Sizes{0x180, 0x200, 0x400, 0x800}));
  EXPECT_EQ(programSizes(instSetCore14), (Sizes{0x200, 0x400, 0x800, 0x1000, 0x1800, 0x2000}));
  EXPECT_EQ(programSizes(instSetCore16), (Sizes{0x800, 0x1000, 0x2000, 0x4000}));
  EXPECT_EQ(dataSizes(instSetCore12), (Sizes{0x20, 0x40, 0x50, 0x80}));
  EXPECT_EQ(dataSizes(instSetCore14), (Sizes{0x80, 0x100, 0x200}));
  EXPECT_EQ(dataSizes(instSetCore16), (Sizes{0x400, 0x800}));

  Sizes program = programSizes(instSetCore16E);
  for (std::uint32_t s : {0x0u, 0x1000u, 0x20000u, 0x200000u}) EXPECT_EQ(program.count(s), 1u) << std::hex << s;
  for (std::uint32_t s : program)
    EXPECT_TRUE(s == 0 || s == 0x200000 || (s >= 0x1000 && s <= 0x20000)) << std::hex << s;
  Sizes data = dataSizes(instSetCore16E);
  EXPECT_EQ(data.count(0x100), 1u);
  EXPECT_EQ(data.count(0xF00), 1u);
  for (std::uint32_t s : data) EXPECT_TRUE(s % 0x80 == 0 && s >= 0x100 && s <= 0xF00) << std::hex << s;

  // A memory larger than the family can address would make the link place
  // code or data where no instruction reaches it.
  for (int p = 1; p <= procTypeCount; ++p) {
    EXPECT_LE(getProgramLocations(p), getMaxROMAddr(p) + 1) << getDvsProcName(p);
    EXPECT_LE(getDataLocations(p), getMaxRAMAddr(p) + 1) << getDvsProcName(p);
  }
}

TEST(ProcessorTable, firstRegisterOffsetsPerFamily) {
  auto offsets = [](int instSet) {
    std::map<unsigned, int> count;
    for (int p : devicesOf(instSet)) ++count[firstGpr(p)];
    return count;
  };
  using Counts = std::map<unsigned, int>;
  EXPECT_EQ(offsets(instSetCore12), (Counts{{7, 13}, {8, 23}}));
  EXPECT_EQ(offsets(instSetCore14), (Counts{{0x0C, 6}, {0x20, 103}}));
  EXPECT_EQ(offsets(instSetCore16), (Counts{{0x20, 11}}));
  EXPECT_EQ(offsets(instSetCore16E), (Counts{{0, 44}}));
}

TEST(ProcessorTable, namesAndCodesIdentifyOneDeviceEach) {
  std::set<std::string> names;
  std::set<std::uint16_t> codes;
  for (int p = 1; p <= procTypeCount; ++p) {
    std::string name = getDvsProcName(p);
    std::uint16_t code = getDvsProcType(p);
    // Lookup ignores case, so names must differ in more than case.
    EXPECT_TRUE(names.insert(lower(name)).second) << name;
    EXPECT_TRUE(codes.insert(code).second) << name;
    // An erased or zeroed header field must not pass for a device.
    EXPECT_NE(code, 0x0000) << name;
    EXPECT_NE(code, 0xFFFF) << name;

    EXPECT_TRUE(isDvsProcTypeSupported(code));
    EXPECT_EQ(convertDvsProcType(code), p);
    EXPECT_EQ(findDvsProcName(code), name);
    int found = 0;
    EXPECT_TRUE(convertDvsProcName(name, &found));
    EXPECT_EQ(found, p);
  }

  int supported = 0;
  for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
    int p = convertDvsProcType(code);
    EXPECT_EQ(isDvsProcTypeSupported(code), p != noSuchProcType);
    if (p == noSuchProcType) {
      EXPECT_TRUE(findDvsProcName(code).empty());
      continue;
    }
    ++supported;
    EXPECT_EQ(getDvsProcType(p), code);
    // The processor-type field of a file is 32 bits wide; only its low half
    // names the device.
    EXPECT_EQ(convertDvsProcType(code | 0xABCD0000u), p);
  }
  EXPECT_EQ(supported, procTypeCount);
}

TEST(ProcessorTable, namesTellFamilyAndSizes) {
  auto sizeText = [](std::uint32_t n) {
    if (n == 0) return std::string("0k");
    if (n % 0x100000 == 0) return std::to_string(n >> 20) + "m";
    if (n % 0x400 == 0) return std::to_string(n >> 10) + "k";
    return std::to_string(n);
  };
  const std::map<int, std::string> tags = {
      {instSetCore12, "t12"}, {instSetCore14, "t14"}, {instSetCore16, "t16"}, {instSetCore16E, "t16e"}};
  for (int p = 1; p <= procTypeCount; ++p) {
    std::string stem = tags.at(getInstSet(p)) + "-" + sizeText(getProgramLocations(p)) + "-" +
                       std::to_string(getDataLocations(p));
    std::string name = getDvsProcName(p);
    ASSERT_EQ(name.size(), stem.size() + 1) << name << " vs " << stem;
    EXPECT_EQ(name.substr(0, stem.size()), stem);
    EXPECT_TRUE(name.back() >= 'a' && name.back() <= 'z') << name;
  }
}

TEST(ProcessorNames, lookupIgnoresCaseButMatchesOnlyWholeNames) {
  for (int p = 1; p <= procTypeCount; ++p) {
    int found = -1;
    EXPECT_TRUE(convertDvsProcName(upper(getDvsProcName(p)), &found));
    EXPECT_EQ(found, p);
  }
  int found = -1;
  EXPECT_TRUE(convertDvsProcName("T16E-2M-3840a", &found));
  EXPECT_EQ(getProgramLocations(found), 0x200000u);
  EXPECT_TRUE(convertDvsProcName("t12-384-32A", nullptr));

  const std::string name = getDvsProcName(1);
  const std::string misses[] = {
      "",
      name.substr(0, name.size() - 1),
      name + "x",
      " " + name,
      name + " ",
      name + std::string(1, '\0'),
      "\xC4\xD6\xFF",
  };
  for (const std::string& miss : misses) {
    int untouched = 77;
    EXPECT_FALSE(convertDvsProcName(miss, &untouched)) << miss;
    EXPECT_EQ(untouched, 77) << miss;
  }
}

TEST(ProcessorGeometry, familyConstants) {
  struct Expect {
    int instSet;
    unsigned romWidth, perPage, perBank, maxRom, maxRam;
  };
  const Expect expected[] = {
      {instSetCore12, 12, 0x200, 0x20, 0x7FF, 0x7F},
      {instSetCore14, 14, 0x800, 0x80, 0x1FFF, 0x1FF},
      {instSetCore16, 16, 0x2000, 0x100, 0xFFFF, 0xFFF},
      {instSetCore16E, 8, 0x200000, 0x100, 0x1FFFFF, 0xFFF},
  };
  for (const Expect& e : expected) {
    for (int p : devicesOf(e.instSet)) {
      SCOPED_TRACE(getDvsProcName(p));
      EXPECT_EQ(getRomWidth(p), e.romWidth);
      EXPECT_EQ(getRamWidth(p), 8u);
      EXPECT_EQ(getLocationsPerPage(p), e.perPage);
      EXPECT_EQ(getLocationsPerBank(p), e.perBank);
      EXPECT_EQ(getMaxROMAddr(p), e.maxRom);
      EXPECT_EQ(getMaxRAMAddr(p), e.maxRam);
    }
  }
}

TEST(ProcessorGeometry, pagesAndBanksRoundUpPartialOnes) {
  auto withSizes = [](int instSet, std::uint32_t program, std::uint32_t data) {
    return deviceWhere(instSet, [=](int p) {
      return (program == ~0u || getProgramLocations(p) == program) && (data == ~0u || getDataLocations(p) == data);
    });
  };
  const std::uint32_t any = ~0u;
  EXPECT_EQ(getNumberOfPages(withSizes(instSetCore12, 0x180, any)), 1u);
  EXPECT_EQ(getNumberOfPages(withSizes(instSetCore12, 0x800, any)), 4u);
  EXPECT_EQ(getNumberOfPages(withSizes(instSetCore14, 0x1800, any)), 3u);
  EXPECT_EQ(getNumberOfPages(withSizes(instSetCore14, 0x2000, any)), 4u);
  EXPECT_EQ(getNumberOfPages(withSizes(instSetCore16, 0x4000, any)), 2u);
  EXPECT_EQ(getNumberOfBanks(withSizes(instSetCore12, any, 0x50)), 3u);
  EXPECT_EQ(getNumberOfBanks(withSizes(instSetCore12, any, 0x20)), 1u);
  EXPECT_EQ(getNumberOfBanks(withSizes(instSetCore14, any, 0x200)), 4u);
  EXPECT_EQ(getNumberOfBanks(withSizes(instSetCore16E, any, 0x180)), 2u);

  std::set<std::uint32_t> banks;
  int withoutProgramMemory = 0;
  for (int p : devicesOf(instSetCore16E)) {
    banks.insert(getNumberOfBanks(p));
    std::uint32_t pages = getNumberOfPages(p);
    EXPECT_EQ(pages, getProgramLocations(p) == 0 ? 0u : 1u) << getDvsProcName(p);
    withoutProgramMemory += pages == 0;
  }
  EXPECT_EQ(withoutProgramMemory, 2);
  EXPECT_EQ(*banks.begin(), 1u);
  EXPECT_EQ(*banks.rbegin(), 15u);
}

TEST(ProcessorRegisters, bankNumberOffsetAndGprTest) {
  auto gprFrom = [](int instSet, unsigned offset) {
    return deviceWhere(instSet, [=](int p) { return firstGpr(p) == offset; });
  };

  int c14 = gprFrom(instSetCore14, 0x20), c14low = gprFrom(instSetCore14, 0x0C);
  EXPECT_EQ(getDataBankNumber(c14, 0x1A5), 3);
  EXPECT_EQ(getDataBankOffset(c14, 0x1A5), 0x25);
  EXPECT_TRUE(isGpr(c14, 0x1A5));
  EXPECT_TRUE(isGpr(c14, 0x1A0));
  EXPECT_FALSE(isGpr(c14, 0x19F));
  EXPECT_TRUE(isGpr(c14low, 0x19F));
  EXPECT_FALSE(isGpr(c14low, 0x18B));

  int c12at7 = gprFrom(instSetCore12, 7), c12at8 = gprFrom(instSetCore12, 8);
  EXPECT_EQ(getDataBankNumber(c12at7, 0x47), 2);
  EXPECT_EQ(getDataBankOffset(c12at7, 0x47), 7);
  EXPECT_TRUE(isGpr(c12at7, 0x47));
  EXPECT_FALSE(isGpr(c12at8, 0x47));
  EXPECT_TRUE(isGpr(c12at8, 0x48));

  int c16 = devicesOf(instSetCore16).front();
  EXPECT_EQ(getDataBankNumber(c16, 0x320), 3);
  EXPECT_TRUE(isGpr(c16, 0x320));
  EXPECT_EQ(getDataBankNumber(c16, 0x310), 3);
  EXPECT_EQ(getDataBankOffset(c16, 0x310), 0x10);
  EXPECT_FALSE(isGpr(c16, 0x310));

  for (int p : devicesOf(instSetCore16E))
    for (std::uint32_t a = 0; a <= getMaxRAMAddr(p); ++a) ASSERT_TRUE(isGpr(p, a)) << getDvsProcName(p) << " " << a;
  int c16e = devicesOf(instSetCore16E).front();
  EXPECT_EQ(getDataBankNumber(c16e, 0xEFF), 14);

  // Bank numbers keep only 16 bits, whatever the address.
  EXPECT_EQ(getDataBankNumber(c12at7, 0x200047), 2);
  EXPECT_EQ(getDataBankOffset(c12at7, 0x200047), 7);
  EXPECT_EQ(getDataBankNumber(c16e, 0xFFFFFFFF), 0xFFFF);
  EXPECT_EQ(getDataBankOffset(c16e, 0xFFFFFFFF), 0xFF);
}

TEST(ProcessorDeathTest, numbersOutsideTheTableStopNamingTheModule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::uint32_t unused = 0;
  while (isDvsProcTypeSupported(unused)) ++unused;
  EXPECT_EQ(convertDvsProcType(unused), noSuchProcType);
  EXPECT_DEATH(getInstSet(convertDvsProcType(unused)), "LanguageToolShared/mgproc");
  EXPECT_DEATH(getRomWidth(procTypeCount + 1), "LanguageToolShared/mgproc");
  EXPECT_DEATH(isGpr(-1, 0), "LanguageToolShared/mgproc");
  EXPECT_DEATH(getInstSetName(0), "LanguageToolShared/mgproc");
}

TEST(DeviceListing, oneLinePerDeviceAgreeingWithTheQueries) {
  const std::map<int, std::string> familyNames = {
      {1, "Core14"}, {2, "Core16"}, {3, "Core12"}, {4, "Core16E"}};
  std::ostringstream out;
  listDevices(out);
  std::istringstream in(out.str());
  std::string line;
  int p = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '#') {
      EXPECT_EQ(p, 0) << "header lines come first";
      continue;
    }
    ++p;
    ASSERT_LE(p, procTypeCount);
    SCOPED_TRACE(line);
    std::istringstream fields(line);
    std::string name, code, family, extra;
    unsigned long program = 0, data = 0, gpr = 0;
    fields >> name >> code >> family >> std::hex >> program >> data >> gpr;
    ASSERT_FALSE(fields.fail());
    EXPECT_FALSE(fields >> extra);
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, "0x%04X", getDvsProcType(p));
    EXPECT_EQ(name, getDvsProcName(p));
    EXPECT_EQ(code, wanted);
    EXPECT_EQ(family, familyNames.at(getInstSet(p)));
    EXPECT_EQ(program, getProgramLocations(p));
    EXPECT_EQ(data, getDataLocations(p));
    EXPECT_EQ(gpr, firstGpr(p));
  }
  EXPECT_EQ(p, procTypeCount);
}

// A device file's rows face the checks every built-in row passes.
TEST(DeviceRows, builtInRowsPassTheChecksThatRefuseImpossibleDevices) {
  for (int p = 1; p <= procTypeCount; ++p) {
    DeviceRow row{getDvsProcName(p), getDvsProcType(p), getInstSet(p), getProgramLocations(p), getDataLocations(p),
                  firstGpr(p)};
    EXPECT_EQ(checkDeviceRow(row), "") << row.name;
  }
  const DeviceRow good{"t14-3k-256x", 0x7E57, instSetCore14, 0xC00, 0x100, 0x20};
  ASSERT_EQ(checkDeviceRow(good), "");
  const std::pair<std::function<void(DeviceRow&)>, const char*> refused[] = {
      {[](DeviceRow& r) { r.name = "two words"; }, "may hold only"},
      {[](DeviceRow& r) { r.name = std::string(41, 'x'); }, "1 to 40 characters"},
      {[](DeviceRow& r) { r.code = 0xFFFF; }, "0xFFFF is reserved"},
      {[](DeviceRow& r) { r.code = 0; }, "0x0 is reserved"},
      {[](DeviceRow& r) { r.programLocations = 0x2001; }, "more than Core14 addresses (0x2000)"},
      {[](DeviceRow& r) { r.programLocations = 0; }, "has program memory"},
      {[](DeviceRow& r) { r.dataLocations = 0x201; }, "more than Core14 addresses (0x200)"},
      {[](DeviceRow& r) { r.dataLocations = 0; }, "has data memory"},
      {[](DeviceRow& r) { r.firstGpr = 0x80; }, "beyond a bank of 0x80"},
      {[](DeviceRow& r) { r.instSet = instSetCore16, r.programLocations = 0x1000, r.firstGpr = 0x10; },
       "Core16 registers are general purpose from 0x20, not 0x10"},
  };
  for (const auto& [change, message] : refused) {
    DeviceRow row = good;
    change(row);
    EXPECT_NE(checkDeviceRow(row).find(message), std::string::npos) << checkDeviceRow(row);
  }
}
