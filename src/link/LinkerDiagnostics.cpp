// SPDX-License-Identifier: Apache-2.0
// Warnings about declarations that link without complaint but put code where
// the device has none, and the names that messages give the inputs.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "device/Processor.h"
#include "link/Passes.h"
#include "support/Error.h"
#include "support/HexText.h"
#include "support/Strings.h"

namespace tarsil {

namespace {

std::string span(uint64_t first, uint64_t last) {
  return hexText(first, 1, hexUpper) + " to " + hexText(last, 1, hexUpper);
}

void warn(const std::string& text) { Error::report(Error::warning, "Linker::warnAboutMemories()", text, false); }

// Command files are shared between devices of a family, so a memory beyond
// this device's is legal; but the placement fills it like any other, and
// the code put there is never run. Protected memories take only what is
// placed there by name (configuration words, registers), so they are left
// alone.
void warnOutside(const std::vector<Memory>& memories, const char* keyword, const char* kind, uint64_t locations,
                 int procType) {
  if (locations == 0) return;
  for (const Memory& memory : memories) {
    if (memory.isProtected() || memory.getPhysicalEnd() < locations) continue;
    warn(std::string(keyword) + " '" + memory.getName() + "' (" +
         span(memory.getPhysicalStart(), memory.getPhysicalEnd()) + ") is not within the " + kind +
         " memory of device '" + getDvsProcName(procType) + "' (" + span(0, locations - 1) + ").");
  }
}

unsigned instructionBits(const LinkContext& ctx) {
  switch (ctx.cInstSet) {
    case instSetCore12: return 12;
    case instSetCore14: return 14;
    default: return 16;
  }
}

}  // namespace

bool fillTooWide(const LinkContext& ctx, const std::string& fill) {
  // The words as the fill lays them down: four hexadecimal digits each, or
  // the one decimal value.
  std::vector<uint64_t> words;
  if (fill.size() > 2 && (fill[1] == 'x' || fill[1] == 'X')) {
    for (size_t i = 2; i < fill.size(); i += 4) words.push_back(str2ul("0x" + fill.substr(i, 4)));
  } else {
    words.push_back(str2ul(fill));
  }
  for (uint64_t word : words)
    if (word >> instructionBits(ctx) != 0) return true;
  return false;
}

void warnAboutMemories(const LinkContext& ctx) {
  warnOutside(ctx.cConfig.cCodePage, "CODEPAGE", "program", getProgramLocations(ctx.cProcType), ctx.cProcType);
  const uint64_t data = getDataLocations(ctx.cProcType);
  warnOutside(ctx.cConfig.cDataBanks, "DATABANK", "data", data, ctx.cProcType);
  warnOutside(ctx.cConfig.cShareBanks, "SHAREBANK", "data", data, ctx.cProcType);
  warnOutside(ctx.cConfig.cAccessBanks, "ACCESSBANK", "data", data, ctx.cProcType);
  for (const Memory& memory : ctx.cConfig.cCodePage) {
    if (!memory.hasFill() || !fillTooWide(ctx, memory.getFill())) continue;
    warn("FILL value '" + memory.getFill() + "' of memory '" + memory.getName() + "' has bits beyond the " +
         std::to_string(instructionBits(ctx)) + "-bit instruction word.");
  }
}

void warnAboutSectionDescs(const LinkContext& ctx) {
  for (const SectionDesc& desc : ctx.cConfig.cSectionDesc) {
    const std::string& name = desc.getName();
    const MergedSection* scn = ctx.findScn(name);
    if (scn != nullptr && scn->merged()) continue;
    // The linker's own sections are there whether the inputs name them or not.
    if (name == ctx.cInitTableName || name == ctx.cStackScnName) continue;
    const MergedSection* data = ctx.findScn(getInitRamName(name));
    if (name != getInitRamName(name) && data != nullptr && data->type == Coff::idata) continue;
    warn("SECTION '" + name + "' names no input section.");
  }
}

std::string tooManySections() {
  return "The executable would have more than " + std::to_string(LinkContext::kMaxSections) +
         " sections, the most its section numbers can count.";
}

std::string inputName(const LinkContext& ctx, size_t c) {
  const std::string& file = ctx.cCoff[c]->cFileName;
  if (c < ctx.cMemberOf.size() && !ctx.cMemberOf[c].empty()) return ctx.cMemberOf[c] + "(" + file + ")";
  return file;
}

std::string definedIn(const LinkContext& ctx, const syment* sym) {
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    const std::vector<syment>& table = ctx.cCoff[c]->cSymTbl;
    if (!table.empty() && sym >= table.data() && sym < table.data() + table.size()) return inputName(ctx, c);
  }
  return "the linker";
}

std::string duplicateDefinition(const LinkContext& ctx, std::string_view name, const syment* first, size_t c) {
  if (Error::style() == Error::Style::classic) return "symbol '" + std::string(name) + "' has multiple definitions.";
  return "duplicate symbol: " + std::string(name) + ", defined in " + definedIn(ctx, first) + " and in " + inputName(ctx, c);
}

namespace {

// An undefined name, with the inputs that refer to it (input, symbol slot),
// in input order.
struct Undefined {
  std::string name;
  std::vector<std::pair<size_t, size_t>> references;
};

// Where input `coff` first uses each of `slots`: the section and the offset
// of the first relocation that names it, in section order.
std::map<size_t, std::string> firstUses(const Coff& coff, const std::set<size_t>& slots) {
  std::map<size_t, std::string> uses;
  for (const auto& [number, scnName] : coff.cScnNum) {
    auto relocs = coff.cReloc.find(scnName);
    if (relocs == coff.cReloc.end()) continue;
    for (const reloc& r : relocs->second)
      if (slots.count(r.r_symndx) != 0 && uses.count(r.r_symndx) == 0)
        uses.emplace(r.r_symndx, "(" + scnName + "+" + hexText(r.r_vaddr) + ")");
  }
  return uses;
}

}  // namespace

bool reportUndefinedSymbols(const LinkContext& ctx, std::string& error) {
  std::vector<Undefined> undefined;
  std::map<std::string, size_t, std::less<>> byName;
  std::vector<std::set<size_t>> slots(ctx.cCoff.size());
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    const std::vector<syment>& table = ctx.cCoff[c]->cSymTbl;
    for (size_t i = 0; i < table.size(); i += size_t{table[i].n_numaux} + 1) {
      if (!Coff::isExtReference(table[i])) continue;
      std::optional<std::string> name = Coff::findName(table[i], ctx.cCoff[c]->cStrTbl);
      // Section references are bound once sections are placed.
      if (!name || (!name->empty() && (*name)[0] == '.') || ctx.cExtSymDef.find(*name) != ctx.cExtSymDef.end()) continue;
      auto [at, fresh] = byName.emplace(*name, undefined.size());
      if (fresh) undefined.push_back({*name, {}});
      undefined[at->second].references.emplace_back(c, i);
      slots[c].insert(i);
    }
  }
  // The failure was of another kind: it is reported as it is.
  if (undefined.empty()) return false;
  std::vector<std::map<size_t, std::string>> uses(ctx.cCoff.size());
  for (size_t c = 0; c < ctx.cCoff.size(); ++c)
    if (!slots[c].empty()) uses[c] = firstUses(*ctx.cCoff[c], slots[c]);
  for (const Undefined& u : undefined) {
    for (const auto& [c, slot] : u.references) {
      auto use = uses[c].find(slot);
      Error::report(Error::error, "Linker::reportUndefinedSymbols()",
                    "undefined symbol: " + u.name + ", referenced by " + inputName(ctx, c) +
                        (use == uses[c].end() ? std::string() : ":" + use->second),
                    false);
    }
  }
  error.clear();
  return true;
}

}  // namespace tarsil
