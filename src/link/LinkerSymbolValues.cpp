// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <string>
#include <vector>

#include "coff/Prefetch.h"
#include "link/Passes.h"
#include "support/Assert.h"
#include "support/Debug.h"

namespace tarsil {

namespace {

// Auxiliary slots decode as symbols too; only real symbols take part.
bool isSymbolSlot(const Coff& coff, size_t index) {
  return index >= coff.cSymKind.size() || coff.cSymKind[index] == AuxKind::none;
}

std::string nameOf(const Coff& coff, const syment& s) { return Coff::findName(s, coff.cStrTbl).value_or(""); }

unsigned hex4(uint32_t v) { return v & 0xFFFF; }

}  // namespace

bool relocateSymbols(LinkContext& ctx, std::string& error) {
  const bool debug = static_cast<bool>(Debug("Linker::relocateSymbols"));
  if (ctx.cConfig.cStackDeclared) {
    auto mem = ctx.cScnMem.find(ctx.cStackScnName);
    if (mem == ctx.cScnMem.end() || !mem->second->isAllocated(ctx.cStackScnName)) {
      error = "stack section '" + ctx.cStackScnName + "' was never placed in memory.";
      return false;
    }
    ctx.cStackSym.n_value = mem->second->getAllocatedStart(ctx.cStackScnName);
    ctx.cStksizeSym.n_value = static_cast<uint32_t>(mem->second->getAllocatedSize(ctx.cStackScnName));
  }

  // Each symbol moves by its section's piece: from the address the header
  // gave the section to where the piece was loaded. Unsigned wrap-around is
  // intended: a piece loaded below its header's address moves its symbols
  // down by the same amount.
  ctx.forEachInput([&](size_t c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cSymKind);
    Coff* coff = ctx.cCoff[c].get();
    for (size_t i = 0; i < coff->cSymTbl.size(); ++i) {
      syment& s = coff->cSymTbl[i];
      if (!isSymbolSlot(*coff, i) || !isRelocatable(s)) continue;
      const InputSection* piece = ctx.sectionNumbered(c, s.n_scnum);
      if (piece == nullptr || !piece->loaded) continue;
      const uint32_t old = s.n_value;
      s.n_value = old + (piece->address - piece->header->s_paddr);
      if (debug)
        std::printf("Linker::relocateSymbols() - file '%s', symbol '%s' from 0x%04x to 0x%04x\n",
                    coff->cFileName.c_str(), nameOf(*coff, s).c_str(), hex4(old), hex4(s.n_value));
    }
  });
  return true;
}

bool relocateLineInfo(LinkContext& ctx, std::string& /*error*/) {
  const bool debug = static_cast<bool>(Debug("Linker::relocateLineInfo"));
  ctx.forEachInput([&](size_t c) {
    const Coff& coff = *ctx.cCoff[c];
    for (const InputSection& piece : ctx.sectionsOf(c)) {
      // Only code sections' lines move.
      if (piece.lines == nullptr || !piece.loaded || piece.output->type != Coff::code) continue;
      const uint32_t displacement = piece.address - piece.header->s_paddr;
      for (coff_lineno& line : *piece.lines) {
        const uint32_t old = line.l_paddr;
        line.l_paddr = old + displacement;
        if (debug)
          std::printf("Linker::relocateLineInfo() - file '%s', section '%s', line %u from 0x%04x to 0x%04x\n",
                      coff.cFileName.c_str(), piece.name->c_str(), static_cast<unsigned>(line.l_lnno), hex4(old),
                      hex4(line.l_paddr));
      }
    }
  });
  return true;
}

bool resolveExternals(LinkContext& ctx, std::string& error) {
  const bool debug = static_cast<bool>(Debug("Linker::resolveExternals"));
  return ctx.forEachInputUntilFailure([&](size_t c, std::string& failure) {
    Coff* coff = ctx.cCoff[c].get();
    // buildExtRefDef bound this input's references in slot order; the ones
    // it left unbound, section references first of all, go by name.
    const auto bound = ctx.cExtRefDef.within(coff->cSymTbl);
    auto next = bound.begin();
    for (size_t i = 0; i < coff->cSymTbl.size(); ++i) {
      syment& s = coff->cSymTbl[i];
      if (!isSymbolSlot(*coff, i) || !Coff::isExtReference(s)) continue;
      while (next != bound.end() && next->first < &s) ++next;
      uint32_t value = 0;
      if (next != bound.end() && next->first == &s) {
        // Definitions lie in other inputs, anywhere: the ones a few
        // references on are asked for now.
        constexpr auto ahead = static_cast<std::ptrdiff_t>(recordAhead);
        if (bound.end() - next > ahead) __builtin_prefetch(&next[ahead].second->n_value);
        value = next->second->n_value;
      } else {
        const std::string name = nameOf(*coff, s);
        if (!name.empty() && name[0] == '.') {
          const std::string scnName = name.substr(1);
          auto mem = ctx.cScnMem.find(scnName);
          const MergedSection* scn = ctx.findScn(scnName);
          if (scn == nullptr || !scn->sized || mem == ctx.cScnMem.end() || !mem->second->isAllocated(scnName)) {
            failure = "could not resolve section reference '" + scnName + "' in file '" + coff->cFileName + "'.";
            return false;
          }
          value = mem->second->getAllocatedStart(scnName);
        } else {
          auto def = ctx.cExtSymDef.find(name);
          if (def == ctx.cExtSymDef.end()) {
            failure = "could not resolve symbol '" + name + "' in file '" + coff->cFileName + "'.";
            return false;
          }
          value = def->second->n_value;
        }
      }
      if (debug)
        std::printf("Linker::resolveExternals() - resolving external reference symbol '%s'; from 0x%04x to address "
                    "0x%04x\n",
                    nameOf(*coff, s).c_str(), hex4(s.n_value), hex4(value));
      s.n_value = value;
    }
    return true;
  }, error);
}

}  // namespace tarsil
