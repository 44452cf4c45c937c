#include <gtest/gtest.h>

#include <functional>
#include <set>
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

// Where general-purpose registers start in a bank, found through isGpr alone.
unsigned firstGpr(int p) {
  for (unsigned offset = 0; offset < getLocationsPerBank(p); ++offset)
    if (isGpr(p, offset)) return offset;
  return getLocationsPerBank(p);
}

// The first device of a family with the given sizes (0 for any) or first
// register; fails the test when the table has none, since the case it stands
// for would go untested.
int device(int instSet, uint32_t program, uint32_t data = 0, unsigned gpr = ~0u) {
  for (int p : devicesOf(instSet))
    if ((!program || getProgramLocations(p) == program) && (!data || getDataLocations(p) == data) &&
        (gpr == ~0u || firstGpr(p) == gpr))
      return p;
  ADD_FAILURE() << "no such " << getInstSetName(instSet) << " device";
  return 1;
}

std::string changeCase(std::string s, bool up) {
  for (char& c : s) c = static_cast<char>(up ? std::toupper(c) : std::tolower(c));
  return s;
}

}  // namespace

// Names and codes each identify one device, both ways; lookup ignores case,
// so names must differ in more than case, and an erased or zeroed header
// field must not pass for a device. The processor-type field of a file is
// 32 bits wide: only its low half names the device.
TEST(ProcessorTable, namesAndCodesIdentifyOneDeviceEach) {
  EXPECT_EQ(devicesOf(instSetCore12).size(), 36u);
  EXPECT_EQ(devicesOf(instSetCore14).size(), 109u);
  EXPECT_EQ(devicesOf(instSetCore16).size(), 11u);
  EXPECT_EQ(devicesOf(instSetCore16E).size(), 44u);
  std::set<std::string> names;
  for (int p = 1; p <= procTypeCount; ++p) {
    const std::string name = getDvsProcName(p);
    EXPECT_TRUE(names.insert(changeCase(name, false)).second) << name;
    int found = 0;
    EXPECT_TRUE(convertDvsProcName(changeCase(name, true), &found));
    EXPECT_EQ(found, p);
    // A memory larger than the family can address would make the link place
    // code or data where no instruction reaches it.
    EXPECT_LE(getProgramLocations(p), getMaxROMAddr(p) + 1) << name;
    EXPECT_LE(getDataLocations(p), getMaxRAMAddr(p) + 1) << name;
  }
  int supported = 0;
  for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
    int p = convertDvsProcType(code);
    EXPECT_EQ(isDvsProcTypeSupported(code), p != noSuchProcType);
    if (p == noSuchProcType) continue;
    ++supported;
    EXPECT_EQ(getDvsProcType(p), code);
    EXPECT_EQ(findDvsProcName(code), getDvsProcName(p));
    EXPECT_EQ(convertDvsProcType(code | 0xABCD0000u), p);
  }
  EXPECT_EQ(supported, procTypeCount);
  EXPECT_FALSE(isDvsProcTypeSupported(0) || isDvsProcTypeSupported(0xFFFF));

  const std::string name = getDvsProcName(1);
  for (const std::string& miss : {std::string(), name.substr(0, name.size() - 1), name + "x", " " + name,
                                  name + std::string(1, '\0'), std::string("\xC4\xD6\xFF")}) {
    int untouched = 77;
    EXPECT_FALSE(convertDvsProcName(miss, &untouched)) << miss;
    EXPECT_EQ(untouched, 77) << miss;
  }
}

TEST(ProcessorGeometry, partialPagesAndBanksCount) {
  EXPECT_EQ(getNumberOfPages(device(instSetCore12, 0x180)), 1u);
  EXPECT_EQ(getNumberOfPages(device(instSetCore14, 0x1800)), 3u);
  EXPECT_EQ(getNumberOfPages(device(instSetCore16, 0x4000)), 2u);
  EXPECT_EQ(getNumberOfBanks(device(instSetCore12, 0, 0x50)), 3u);
  EXPECT_EQ(getNumberOfBanks(device(instSetCore14, 0, 0x200)), 4u);
  EXPECT_EQ(getNumberOfBanks(device(instSetCore16E, 0, 0x180)), 2u);
  int withoutProgramMemory = 0;
  for (int p : devicesOf(instSetCore16E)) {
    EXPECT_EQ(getNumberOfPages(p), getProgramLocations(p) == 0 ? 0u : 1u) << getDvsProcName(p);
    withoutProgramMemory += getProgramLocations(p) == 0;
  }
  EXPECT_EQ(withoutProgramMemory, 2);
}

TEST(ProcessorRegisters, bankNumberOffsetAndGprTest) {
  const int c14 = device(instSetCore14, 0, 0, 0x20), c14low = device(instSetCore14, 0, 0, 0x0C);
  EXPECT_EQ(getDataBankNumber(c14, 0x1A5), 3);
  EXPECT_EQ(getDataBankOffset(c14, 0x1A5), 0x25);
  EXPECT_TRUE(isGpr(c14, 0x1A0));
  EXPECT_FALSE(isGpr(c14, 0x19F));
  EXPECT_TRUE(isGpr(c14low, 0x19F));
  EXPECT_FALSE(isGpr(c14low, 0x18B));
  const int c12at7 = device(instSetCore12, 0, 0, 7), c12at8 = device(instSetCore12, 0, 0, 8);
  EXPECT_TRUE(isGpr(c12at7, 0x47));
  EXPECT_FALSE(isGpr(c12at8, 0x47));
  EXPECT_TRUE(isGpr(c12at8, 0x48));
  const int c16 = devicesOf(instSetCore16).front();
  EXPECT_EQ(getDataBankNumber(c16, 0x310), 3);
  EXPECT_EQ(getDataBankOffset(c16, 0x310), 0x10);
  EXPECT_FALSE(isGpr(c16, 0x310));
  for (int p : devicesOf(instSetCore16E))
    for (std::uint32_t a = 0; a <= getMaxRAMAddr(p); ++a) ASSERT_TRUE(isGpr(p, a)) << getDvsProcName(p) << " " << a;
  // Bank numbers keep only 16 bits, whatever the address.
  const int c16e = devicesOf(instSetCore16E).front();
  EXPECT_EQ(getDataBankNumber(c12at7, 0x200047), 2);
  EXPECT_EQ(getDataBankOffset(c12at7, 0x200047), 7);
  EXPECT_EQ(getDataBankNumber(c16e, 0xFFFFFFFF), 0xFFFF);
  EXPECT_EQ(getDataBankOffset(c16e, 0xFFFFFFFF), 0xFF);
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
