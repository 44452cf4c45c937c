// SPDX-License-Identifier: Apache-2.0
#include "device/Processor.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <memory>
#include <ostream>
#include <unordered_map>
#include <vector>

#include "support/Assert.h"
#include "support/HexText.h"

namespace tarsil {

namespace {

constexpr const char* moduleName = "LanguageToolShared/mgproc";

constexpr int Core12 = instSetCore12;
constexpr int Core14 = instSetCore14;
constexpr int Core16 = instSetCore16;
constexpr int Core16E = instSetCore16E;

struct Device {
  const char* name;
  std::uint16_t code;
  int instSet;
  std::uint32_t programLocations;
  std::uint32_t dataLocations;
  std::uint8_t firstGpr;  // Core12 and Core14; the other families decide by family
};

constexpr Device devices[] = {
#define TARSIL_DEVICE(name, code, family, program, data, gpr) {name, code, family, program, data, gpr},
#include "device/Devices.def"
#undef TARSIL_DEVICE
};
static_assert(std::size(devices) == procTypeCount, "the table must hold one row per processor number");

struct Family {
  const char* name;
  std::uint16_t romWidth;
  std::uint16_t ramWidth;
  std::uint32_t locationsPerPage;
  unsigned bankBits;  // log2 of the locations per bank
  std::uint32_t maxRomAddr;
  std::uint32_t maxRamAddr;
  // Bank offset from which Core16 and Core16E registers are general purpose;
  // the other families take it from the device's row.
  std::uint8_t firstGpr;
};

// Indexed by instruction set.
constexpr Family families[] = {
    {nullptr, 0, 0, 0, 0, 0, 0, 0},
    {"Core14", 14, 8, 0x800, 7, 0x1FFF, 0x1FF, 0},
    {"Core16", 16, 8, 0x2000, 8, 0xFFFF, 0xFFF, 0x20},
    {"Core12", 12, 8, 0x200, 5, 0x7FF, 0x7F, 0},
    {"Core16E", 8, 8, 0x200000, 8, 0x1FFFFF, 0xFFF, 0},
};

struct CodeEntry {
  std::uint16_t code;
  std::uint8_t procType;
};

// Device names are ASCII; folding by hand keeps the match independent of the
// C locale.
char foldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string folded(std::string_view name) {
  std::string s(name);
  for (char& c : s) c = foldCase(c);
  return s;
}

// The table once rows are added at run time: the built-in rows copied, then
// the added ones. Until then the queries read the built-in rows directly.
struct AddedTable {
  std::vector<Device> rows;
  std::vector<bool> added;
  std::deque<std::string> names;  // the added rows' names, which never move
  std::vector<std::uint32_t> byCode = std::vector<std::uint32_t>(0x10000);  // processor number, 0 for none
  std::unordered_map<std::string, int> byName;                                 // folded name to number
};
std::unique_ptr<AddedTable> addedTable;
const Device* rows = devices;
int rowCount = procTypeCount;

AddedTable& extendedTable() {
  if (!addedTable) {
    addedTable = std::make_unique<AddedTable>();
    AddedTable& t = *addedTable;
    t.rows.assign(std::begin(devices), std::end(devices));
    t.added.assign(t.rows.size(), false);
    for (int p = 1; p <= procTypeCount; ++p) {
      t.byCode[devices[p - 1].code] = static_cast<std::uint32_t>(p);
      t.byName.emplace(folded(devices[p - 1].name), p);
    }
  }
  return *addedTable;
}

// Device codes in ascending order, so that a file's code is found by binary
// search; built while compiling, which also proves the codes unique.
constexpr std::array<CodeEntry, procTypeCount> makeCodeIndex() {
  std::array<CodeEntry, procTypeCount> index{};
  for (int i = 0; i < procTypeCount; ++i) {
    CodeEntry e{devices[i].code, static_cast<std::uint8_t>(i + 1)};
    int j = i;
    for (; j > 0 && index[j - 1].code > e.code; --j) index[j] = index[j - 1];
    index[j] = e;
  }
  return index;
}
constexpr auto codeIndex = makeCodeIndex();

constexpr bool codesAreUnique() {
  for (std::size_t i = 1; i < codeIndex.size(); ++i)
    if (codeIndex[i - 1].code == codeIndex[i].code) return false;
  return true;
}
static_assert(codesAreUnique(), "two devices share a device code");

const Device& device(int procType) {
  TARSIL_ASSERT_MODULE(procType >= 1 && procType <= rowCount, moduleName);
  return rows[procType - 1];
}

const Family& familyOf(int procType) { return families[device(procType).instSet]; }

// The processor number of a device code, or noSuchProcType.
int findCode(std::uint32_t code) {
  auto wanted = static_cast<std::uint16_t>(code & 0xFFFF);
  if (addedTable) return static_cast<int>(addedTable->byCode[wanted]);
  auto it = std::lower_bound(codeIndex.begin(), codeIndex.end(), wanted,
                             [](const CodeEntry& e, std::uint16_t c) { return e.code < c; });
  return it != codeIndex.end() && it->code == wanted ? it->procType : noSuchProcType;
}

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return foldCase(x) == foldCase(y); });
}

unsigned firstGprOffset(int procType) {
  const Device& d = device(procType);
  return d.instSet == Core12 || d.instSet == Core14 ? d.firstGpr : families[d.instSet].firstGpr;
}

std::uint32_t divideRoundingUp(std::uint32_t n, std::uint32_t d) { return n / d + (n % d != 0 ? 1 : 0); }

}  // namespace

int getInstSet(int procType) { return device(procType).instSet; }

const char* getInstSetName(int instSet) {
  TARSIL_ASSERT_MODULE(instSet >= instSetCore14 && instSet <= instSetCore16E, moduleName);
  return families[instSet].name;
}

const char* getDvsProcName(int procType) { return device(procType).name; }

std::uint16_t getDvsProcType(int procType) { return device(procType).code; }

bool isDvsProcTypeSupported(std::uint32_t code) { return findCode(code) != noSuchProcType; }

int convertDvsProcType(std::uint32_t code) { return findCode(code); }

bool convertDvsProcName(std::string_view name, int* procType) {
  for (int i = 0; i < rowCount; ++i) {
    if (sameNameIgnoringCase(name, rows[i].name)) {
      if (procType) *procType = i + 1;
      return true;
    }
  }
  return false;
}

std::string_view findDvsProcName(std::uint32_t code) {
  int p = findCode(code);
  return p != noSuchProcType ? std::string_view(rows[p - 1].name) : std::string_view();
}

std::uint16_t getDataBankNumber(int procType, std::uint32_t address) {
  return static_cast<std::uint16_t>(address >> familyOf(procType).bankBits);
}

std::uint16_t getDataBankOffset(int procType, std::uint32_t address) {
  return static_cast<std::uint16_t>(address & (getLocationsPerBank(procType) - 1));
}

bool isGpr(int procType, std::uint32_t address) {
  return getDataBankOffset(procType, address) >= firstGprOffset(procType);
}

std::uint16_t getRomWidth(int procType) { return familyOf(procType).romWidth; }

std::uint16_t getRamWidth(int procType) { return familyOf(procType).ramWidth; }

std::uint32_t getNumberOfPages(int procType) {
  return divideRoundingUp(getProgramLocations(procType), getLocationsPerPage(procType));
}

std::uint32_t getProgramLocations(int procType) { return device(procType).programLocations; }

std::uint32_t getLocationsPerPage(int procType) { return familyOf(procType).locationsPerPage; }

std::uint32_t getNumberOfBanks(int procType) {
  return divideRoundingUp(getDataLocations(procType), getLocationsPerBank(procType));
}

std::uint32_t getDataLocations(int procType) { return device(procType).dataLocations; }

std::uint32_t getLocationsPerBank(int procType) { return std::uint32_t{1} << familyOf(procType).bankBits; }

std::uint32_t getMaxROMAddr(int procType) { return familyOf(procType).maxRomAddr; }

std::uint32_t getMaxRAMAddr(int procType) { return familyOf(procType).maxRamAddr; }

int getProcTypeCount() { return rowCount; }

int findInstSet(std::string_view familyName) {
  for (int s = instSetCore14; s <= instSetCore16E; ++s)
    if (familyName == families[s].name) return s;
  return 0;
}

std::string checkDeviceRow(const DeviceRow& row) {
  auto hex = [](std::uint32_t v) { return hexText(v, 1, hexUpper); };
  if (row.name.empty() || row.name.size() > 40) return "a device name has 1 to 40 characters";
  for (char c : row.name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
          c == '.' || c == '+'))
      return "device name '" + row.name + "' may hold only letters, digits and - _ . +";
  // An erased or zeroed header field must not pass for a device.
  if (row.code == 0x0000 || row.code == 0xFFFF) return "device code " + hex(row.code) + " is reserved";
  if (row.instSet < instSetCore14 || row.instSet > instSetCore16E) return "unknown family";
  const Family& f = families[row.instSet];
  const std::string family = f.name;
  // A memory larger than the family can address would make the link place
  // code or data where no instruction reaches it.
  if (row.programLocations > f.maxRomAddr + 1)
    return "program memory of " + hex(row.programLocations) + " locations is more than " + family + " addresses (" +
           hex(f.maxRomAddr + 1) + ")";
  if (row.programLocations == 0 && row.instSet != instSetCore16E)
    return "a " + family + " device has program memory";
  if (row.dataLocations == 0) return "a device has data memory";
  if (row.dataLocations > f.maxRamAddr + 1)
    return "data memory of " + hex(row.dataLocations) + " bytes is more than " + family + " addresses (" +
           hex(f.maxRamAddr + 1) + ")";
  const std::uint32_t perBank = std::uint32_t{1} << f.bankBits;
  if (row.instSet == instSetCore12 || row.instSet == instSetCore14) {
    if (row.firstGpr >= perBank)
      return "first general-purpose register " + hex(row.firstGpr) + " is beyond a bank of " + hex(perBank) +
             " bytes";
  } else if (row.firstGpr != f.firstGpr) {
    return family + " registers are general purpose from " + hex(f.firstGpr) + ", not " + hex(row.firstGpr);
  }
  return std::string();
}

bool addDevice(const DeviceRow& row, std::string& replaced, std::string& error) {
  TARSIL_ASSERT_MODULE(checkDeviceRow(row).empty(), moduleName);
  AddedTable& t = extendedTable();
  replaced.clear();
  int at = static_cast<int>(t.byCode[row.code]);
  if (at != noSuchProcType && t.added[at - 1]) {
    error = "device code is already that of '" + std::string(t.rows[at - 1].name) + "'";
    return false;
  }
  std::string key = folded(row.name);
  auto named = t.byName.find(key);
  if (named != t.byName.end() && named->second != at) {
    error = "device name '" + row.name + "' is already that of another device";
    return false;
  }
  t.names.push_back(row.name);
  Device d{t.names.back().c_str(), row.code, row.instSet, row.programLocations, row.dataLocations,
           static_cast<std::uint8_t>(row.instSet == instSetCore12 || row.instSet == instSetCore14 ? row.firstGpr : 0)};
  if (at != noSuchProcType) {
    replaced = t.rows[at - 1].name;
    t.byName.erase(folded(replaced));
    t.rows[at - 1] = d;
    t.added[at - 1] = true;
  } else {
    t.rows.push_back(d);
    t.added.push_back(true);
    at = static_cast<int>(t.rows.size());
    t.byCode[row.code] = static_cast<std::uint32_t>(at);
  }
  t.byName[key] = at;
  rows = t.rows.data();
  rowCount = static_cast<int>(t.rows.size());
  return true;
}

void listDevices(std::ostream& out) {
  out << "# name             code    family   program   data    gpr\n";
  char line[128];
  for (int p = 1; p <= rowCount; ++p) {
    const Device& d = rows[p - 1];
    std::snprintf(line, sizeof line, "%-17s  0x%04X  %-7s  0x%-6X  0x%-4X  0x%X\n", d.name, d.code,
                  families[d.instSet].name, d.programLocations, d.dataLocations, firstGprOffset(p));
    out << line;
  }
}

}  // namespace tarsil
