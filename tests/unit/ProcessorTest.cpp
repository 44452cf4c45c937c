#include <set>

#include "TestSupport.h"
#include "device/Processor.h"

using namespace tarsil;

namespace {

unsigned firstGpr(int p) {
  for (unsigned offset = 0; offset < getLocationsPerBank(p); ++offset)
    if (isGpr(p, offset)) return offset;
  return getLocationsPerBank(p);
}

std::string changeCase(std::string s, bool up) {
  for (char& c : s) c = static_cast<char>(up ? std::toupper(c) : std::tolower(c));
  return s;
}

}  // namespace

// Lookup ignores case, so names must differ in more than case; an erased or zeroed field is
// no device, and only the low half of the 32-bit field names one.
TEST(ProcessorTable, namesAndCodesIdentifyOneDeviceEach) {
  std::set<std::string> names;
  std::map<int, int> perSet;
  for (int p = 1; p <= procTypeCount; ++p) {
    ++perSet[getInstSet(p)];
    const std::string name = getDvsProcName(p);
    EXPECT_TRUE(names.insert(changeCase(name, false)).second) << name;
    int found = 0;
    EXPECT_TRUE(convertDvsProcName(changeCase(name, true), &found));
    EXPECT_EQ(found, p);
    // Otherwise code or data would land where no instruction reaches it.
    EXPECT_LE(getProgramLocations(p), getMaxROMAddr(p) + 1) << name;
    EXPECT_LE(getDataLocations(p), getMaxRAMAddr(p) + 1) << name;
  }
  EXPECT_EQ(perSet,
            (std::map<int, int>{{instSetCore12, 36}, {instSetCore14, 109}, {instSetCore16, 11}, {instSetCore16E, 44}}));
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
