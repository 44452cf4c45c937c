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



}  // namespace

TEST(ProcessorTable, familiesHaveTheirDeviceCountsAndAddressTheirMemories) {
  EXPECT_EQ(devicesOf(instSetCore12).size(), 36u);
  EXPECT_EQ(devicesOf(instSetCore14).size(), 109u);
  EXPECT_EQ(devicesOf(instSetCore16).size(), 11u);
  EXPECT_EQ(devicesOf(instSetCore16E).size(), 44u);
  // A memory larger than the family can address would make the link place
  // code or data where no instruction reaches it.
  for (int p = 1; p <= procTypeCount; ++p) {
    EXPECT_LE(getProgramLocations(p), getMaxROMAddr(p) + 1) << getDvsProcName(p);
    EXPECT_LE(getDataLocations(p), getMaxRAMAddr(p) + 1) << getDvsProcName(p);
  }
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
