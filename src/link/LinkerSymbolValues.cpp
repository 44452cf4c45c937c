// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <string>
#include <vector>

#include "coff/Prefetch.h"
#include "link/Linker.h"
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

size_t Linker::displacementSlots(const Coff& coff) {
  // Section numbers 1 to the highest: the reader numbers an input's sections
  // from 1 to its 16-bit count.
  const int highest = coff.cScnNum.empty() ? 0 : coff.cScnNum.rbegin()->first;
  return highest < 1 ? 0 : static_cast<size_t>(highest);
}

bool Linker::relocateSymbols(std::string& error) {
  const bool debug = static_cast<bool>(Debug("Linker::relocateSymbols"));
  if (stackDeclared()) {
    auto mem = cScnMem.find(cStackScnName);
    if (mem == cScnMem.end() || !mem->second->isAllocated(cStackScnName)) {
      error = "stack section '" + cStackScnName + "' was never placed in memory.";
      return false;
    }
    cStackSym.n_value = mem->second->getAllocatedStart(cStackScnName);
    cStksizeSym.n_value = static_cast<uint32_t>(mem->second->getAllocatedSize(cStackScnName));
  }

  // loadSections left every piece's displacement by section number, so one
  // pass over the symbols moves them: linear in the table whatever the
  // number of sections.
  TARSIL_ASSERT_TEXT(cScnDisplacementLoaded && cScnDisplacementBase.size() == cCoff.size() + 1,
                     "loadSections ran before relocateSymbols");
  forEachInput([&](size_t c) {
    prefetchAhead(cCoff, c, &Coff::cSymKind);
    Coff* coff = cCoff[c].get();
    const size_t base = cScnDisplacementBase[c];
    const size_t count = cScnDisplacementBase[c + 1] - base;
    for (size_t i = 0; i < coff->cSymTbl.size(); ++i) {
      syment& s = coff->cSymTbl[i];
      if (!isSymbolSlot(*coff, i) || !isRelocatable(s)) continue;
      const size_t number = static_cast<size_t>(s.n_scnum);  // positive: relocatable
      if (number > count) continue;
      const uint64_t d = cScnDisplacement[base + number - 1];
      if (d == kNotPlaced) continue;
      const uint32_t old = s.n_value;
      s.n_value = old + static_cast<uint32_t>(d);
      if (debug)
        std::printf("Linker::relocateSymbols() - file '%s', symbol '%s' from 0x%04x to 0x%04x\n",
                    coff->cFileName.c_str(), nameOf(*coff, s).c_str(), hex4(old), hex4(s.n_value));
    }
  });
  return true;
}

bool Linker::relocateLineInfo(std::string& /*error*/) {
  const bool debug = static_cast<bool>(Debug("Linker::relocateLineInfo"));
  TARSIL_ASSERT_TEXT(cScnDisplacementLoaded && cScnDisplacementBase.size() == cCoff.size() + 1,
                     "loadSections ran before relocateLineInfo");
  forEachInput([&](size_t c) {
    prefetchAhead(cCoff, c, &Coff::cLineInfo);
    Coff& coff = *cCoff[c];
    if (coff.cLineInfo.empty()) return;
    const size_t base = cScnDisplacementBase[c];
    const size_t count = cScnDisplacementBase[c + 1] - base;
    for (const auto& [number, scnName] : coff.cScnNum) {
      if (number < 1 || static_cast<size_t>(number) > count) continue;
      const uint64_t d = cScnDisplacement[base + static_cast<size_t>(number) - 1];
      // Only code sections' lines move.
      if (d == kNotPlaced || (d & kCodeSection) == 0) continue;
      auto lines = coff.cLineInfo.find(scnName);
      if (lines == coff.cLineInfo.end()) continue;
      for (coff_lineno& line : lines->second) {
        const uint32_t old = line.l_paddr;
        line.l_paddr = old + static_cast<uint32_t>(d);
        if (debug)
          std::printf("Linker::relocateLineInfo() - file '%s', section '%s', line %u from 0x%04x to 0x%04x\n",
                      coff.cFileName.c_str(), scnName.c_str(), static_cast<unsigned>(line.l_lnno), hex4(old),
                      hex4(line.l_paddr));
      }
    }
  });
  cScnDisplacement = {};
  cScnDisplacementLoaded = false;
  return true;
}

std::span<const Linker::PieceLoad> Linker::piecesLoaded(size_t c) const {
  if (!cScnLoadKept || c + 1 >= cScnDisplacementBase.size()) return {};
  const size_t base = cScnDisplacementBase[c];
  return std::span<const PieceLoad>(cScnLoad).subspan(base, cScnDisplacementBase[c + 1] - base);
}

bool Linker::resolveExternals(std::string& error) {
  const bool debug = static_cast<bool>(Debug("Linker::resolveExternals"));
  return forEachInputUntilFailure([&](size_t c, std::string& failure) {
    Coff* coff = cCoff[c].get();
    // buildExtRefDef bound this input's references in slot order; the ones
    // it left unbound, section references first of all, go by name.
    const auto bound = cExtRefDef.within(coff->cSymTbl);
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
          auto mem = cScnMem.find(scnName);
          const MergedSection* scn = findScn(scnName);
          if (scn == nullptr || !scn->sized || mem == cScnMem.end() || !mem->second->isAllocated(scnName)) {
            failure = "could not resolve section reference '" + scnName + "' in file '" + coff->cFileName + "'.";
            return false;
          }
          value = mem->second->getAllocatedStart(scnName);
        } else {
          auto def = cExtSymDef.find(name);
          if (def == cExtSymDef.end()) {
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
