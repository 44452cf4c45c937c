#include "device/Processor.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ostream>

#include "support/Assert.h"

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
  TARSIL_ASSERT_MODULE(procType >= 1 && procType <= procTypeCount, moduleName);
  return devices[procType - 1];
}

const Family& familyOf(int procType) { return families[device(procType).instSet]; }

const CodeEntry* findCode(std::uint32_t code) {
  auto wanted = static_cast<std::uint16_t>(code & 0xFFFF);
  auto it = std::lower_bound(codeIndex.begin(), codeIndex.end(), wanted,
                             [](const CodeEntry& e, std::uint16_t c) { return e.code < c; });
  return it != codeIndex.end() && it->code == wanted ? &*it : nullptr;
}

// Device names are ASCII; folding by hand keeps the match independent of the
// C locale.
char foldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

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

bool isDvsProcTypeSupported(std::uint32_t code) { return findCode(code) != nullptr; }

int convertDvsProcType(std::uint32_t code) {
  const CodeEntry* e = findCode(code);
  return e ? e->procType : noSuchProcType;
}

bool convertDvsProcName(std::string_view name, int* procType) {
  for (int i = 0; i < procTypeCount; ++i) {
    if (sameNameIgnoringCase(name, devices[i].name)) {
      if (procType) *procType = i + 1;
      return true;
    }
  }
  return false;
}

std::string_view findDvsProcName(std::uint32_t code) {
  const CodeEntry* e = findCode(code);
  return e ? std::string_view(devices[e->procType - 1].name) : std::string_view();
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

void listDevices(std::ostream& out) {
  out << "# name             code    family   program   data    gpr\n";
  char line[128];
  for (int p = 1; p <= procTypeCount; ++p) {
    const Device& d = devices[p - 1];
    std::snprintf(line, sizeof line, "%-17s  0x%04X  %-7s  0x%-6X  0x%-4X  0x%X\n", d.name, d.code,
                  families[d.instSet].name, d.programLocations, d.dataLocations, firstGprOffset(p));
    out << line;
  }
}

}  // namespace tarsil
