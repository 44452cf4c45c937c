// SPDX-License-Identifier: Apache-2.0
// The initialized-data table: every idata section keeps its first contents in
// a program-memory image, and ".cinit" tells the start-up code where each
// image lies, where its section lies and how many bytes to copy.
#include <vector>

#include "device/Processor.h"
#include "link/Passes.h"
#include "support/Assert.h"

namespace tarsil {

std::string getInitImageName(const std::string& ramName) { return ramName + "_i"; }

std::string getInitRamName(const std::string& imageName) {
  const std::size_t n = imageName.size();
  if (n > 2 && imageName.compare(n - 2, 2, "_i") == 0) return imageName.substr(0, n - 2);
  return imageName;
}

uint64_t getInitImageSize(const LinkContext& ctx, uint64_t size) {
  // Program memory whose words are not whole bytes cannot be read as data;
  // each byte then becomes an instruction word that returns it.
  return ctx.cRomWidthBits % 8 != 0 ? 2 * size : size;
}

uint64_t getInitEntrySize(const LinkContext& ctx) {
  return getMaxROMAddr(ctx.cProcType) < 0x10000 && getMaxRAMAddr(ctx.cProcType) < 0x10000 ? 6 : 12;
}

bool allocateInitSection(LinkContext& ctx, const std::string& imageName, std::string& error) {
  const std::string ramName = getInitRamName(imageName);
  const std::string image = getInitImageName(ramName);
  const MergedSection* ram = ctx.findScn(ramName);
  uint64_t imageSize = getInitImageSize(ctx, ram == nullptr ? 0 : ram->size);
  bool placed;
  if (const SectionDesc* desc = findSectionDesc(ctx, image); desc == nullptr) {
    placed = allocateRelUnassigned(ctx, ctx.cConfig.cCodePage, image, imageSize, false, error);
  } else if (!desc->getRunMemory().empty()) {
    error = "section '" + image + "' can not have a 'RAM' memory attribute specified in the linker command file.";
    return false;
  } else {
    placed = allocateRelAssigned(ctx, ctx.cConfig.cCodePage, desc->getLoadMemory(), image, imageSize, false, error);
  }
  if (placed) ctx.cScns[image].type = Coff::romdata;
  return placed;
}

bool isInitTableAssigned(const LinkContext& ctx) { return findSectionDesc(ctx, ctx.cInitTableName) != nullptr; }

uint64_t getInitTableSize(const LinkContext& ctx) {
  // Empty sections are counted although they get no entry, so the table's
  // room can exceed its contents; the start-up code reads only the count.
  uint64_t count = 0;
  for (const auto& [name, scn] : ctx.cScns)
    if (scn.type == Coff::idata) ++count;
  return getInitImageSize(ctx, 2 + count * getInitEntrySize(ctx));
}

bool allocateInitTable(LinkContext& ctx, std::string& error) {
  uint64_t size = getInitTableSize(ctx);
  bool placed;
  if (const SectionDesc* desc = findSectionDesc(ctx, ctx.cInitTableName); desc == nullptr) {
    placed = allocateRelUnassigned(ctx, ctx.cConfig.cCodePage, ctx.cInitTableName, size, false, error);
  } else if (!desc->getRunMemory().empty()) {
    error = "section '" + ctx.cInitTableName +
            "' contains initialized rom data and can not have a 'RAM' memory attribute specified in the linker "
            "command file.";
    return false;
  } else {
    placed =
        allocateRelAssigned(ctx, ctx.cConfig.cCodePage, desc->getLoadMemory(), ctx.cInitTableName, size, false, error);
  }
  if (!placed) return false;
  ctx.cCinitSym.n_value = ctx.cScnMem.at(ctx.cInitTableName)->getAllocatedStart(ctx.cInitTableName);
  return true;
}

namespace {

// Little-endian, low bytes only: the table holds what the field can hold.
void putField(std::vector<char>& out, uint64_t value, uint64_t width) {
  for (uint64_t i = 0; i < width; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

bool buildInitTable(LinkContext& ctx, std::string& /*error*/) {
  const uint64_t fieldWidth = getInitEntrySize(ctx) / 3;
  std::vector<char> table(2, 0);
  uint64_t count = 0;
  for (const auto& [name, scn] : ctx.cScns) {
    if (scn.type != Coff::idata) continue;
    const std::string image = getInitImageName(name);
    auto imageMem = ctx.cScnMem.find(image);
    auto dataMem = ctx.cScnMem.find(name);
    TARSIL_ASSERT(imageMem != ctx.cScnMem.end() && dataMem != ctx.cScnMem.end());
    uint64_t size = dataMem->second->getAllocatedSize(name);
    if (size == 0) continue;
    putField(table, imageMem->second->getAllocatedStart(image), fieldWidth);
    putField(table, dataMem->second->getAllocatedStart(name), fieldWidth);
    putField(table, size, fieldWidth);
    ++count;
  }
  table[0] = static_cast<char>(count & 0xFF);
  table[1] = static_cast<char>((count >> 8) & 0xFF);
  ctx.cInitTable = Data(table.size(), table.data());
  return true;
}

bool addInitScnNames(LinkContext& ctx, std::string& /*error*/) {
  for (const auto& [name, scn] : ctx.cScns) {
    if (scn.type != Coff::idata) continue;
    // A section header holds up to 8 characters of its name itself.
    const std::string image = getInitImageName(name);
    if (image.size() <= 8) continue;
    const uint32_t offset = ctx.cOutput.cStrTbl.add(image);
    ctx.cOutputStrTbl[*ctx.cOutput.cStrTbl.at(offset)] = static_cast<int>(offset);
  }
  return true;
}

}  // namespace tarsil
