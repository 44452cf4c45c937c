#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "link/Linker.h"
#include "link/PlacedRanges.h"
#include "support/Debug.h"

namespace tarsil {

namespace {

// Auxiliary slots decode as symbols too; only real symbols take part.
bool isSymbolSlot(const Coff& coff, size_t index) {
  return index >= coff.cSymKind.size() || coff.cSymKind[index] == AuxKind::none;
}

std::string nameOf(const Coff& coff, const syment& s) { return Coff::findName(s, coff.cStrTbl).value_or(""); }

unsigned hex4(uint32_t v) { return v & 0xFFFF; }

// The range a section holds in `mem`, or null.
const Range* rangeIn(const Memory* mem, const std::string& name) {
  return mem == nullptr ? nullptr : mem->findAllocated(name);
}

// The range a placed section holds in its memory, or null.
const Range* placedRange(const std::map<std::string, Memory*>& scnMem, const std::string& name) {
  auto mem = scnMem.find(name);
  return mem == scnMem.end() ? nullptr : rangeIn(mem->second, name);
}

const Range* rangeOf(const PlacedRanges& placed, std::string_view name) {
  const PlacedRanges::Placed* found = placed.find(name);
  return found == nullptr ? nullptr : found->range;
}

}  // namespace

size_t Linker::displacementSlots(const Coff& coff) {
  // Section numbers 1 to the highest; a symbol's section number cannot
  // exceed the 16-bit field's largest value.
  const int highest = coff.cScnNum.empty() ? 0 : coff.cScnNum.rbegin()->first;
  return highest < 1 ? 0 : static_cast<size_t>(std::min(highest, int{std::numeric_limits<int16_t>::max()}));
}

bool Linker::loadedDisplacement(const Coff& coff, const std::string& scnName, const Range* range,
                                uint32_t& displacement, std::string& error) {
  auto hdr = coff.cScnHdr.find(scnName);
  if (range == nullptr || hdr == coff.cScnHdr.end() || !range->isLoaded(coff.cFileName)) {
    error = "section '" + scnName + "' of file '" + coff.cFileName + "' was never placed in memory.";
    return false;
  }
  // Unsigned wrap-around is intended: a piece loaded below its header's
  // address moves its symbols down by the same amount.
  displacement = range->getStart(coff.cFileName, scnName) - hdr->second.s_paddr;
  return true;
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

  // One displacement per section number, then one pass over the symbols:
  // linear in the table whatever the number of sections. Section numbers
  // run from 1 up, as the reader numbers them. loadSections has usually
  // found them all already.
  const bool loaded = cScnDisplacementLoaded && cScnDisplacementBase.size() == cCoff.size() + 1;
  if (!loaded) {
    const PlacedRanges& placed = placedRanges(true);
    cScnDisplacement.clear();
    cScnDisplacementBase.clear();
    cScnDisplacementBase.reserve(cCoff.size() + 1);
    for (auto& coff : cCoff) {
      const size_t base = cScnDisplacement.size();
      cScnDisplacementBase.push_back(base);
      const size_t count = displacementSlots(*coff);
      cScnDisplacement.resize(base + count, kNotPlaced);
      for (const auto& [number, scnName] : coff->cScnNum) {
        uint32_t d = 0;
        if (!loadedDisplacement(*coff, scnName, rangeOf(placed, scnName), d, error)) return false;
        if (number >= 1 && static_cast<size_t>(number) <= count)
          cScnDisplacement[base + static_cast<size_t>(number) - 1] = d;
      }
    }
    cScnDisplacementBase.push_back(cScnDisplacement.size());
  }
  for (size_t c = 0; c < cCoff.size(); ++c) {
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
  }
  return true;
}

bool Linker::relocateLineInfo(std::string& error) {
  const bool debug = static_cast<bool>(Debug("Linker::relocateLineInfo"));
  // relocateSymbols has found every piece's displacement already, unless the
  // inputs changed since.
  const bool known = cScnDisplacementBase.size() == cCoff.size() + 1;
  for (size_t c = 0; c < cCoff.size(); ++c) {
    Coff& coff = *cCoff[c];
    if (coff.cLineInfo.empty()) continue;
    for (const auto& [number, scnName] : coff.cScnNum) {
      uint64_t d = kNotPlaced;
      if (known && number >= 1) {
        const size_t at = cScnDisplacementBase[c] + static_cast<size_t>(number) - 1;
        if (at < cScnDisplacementBase[c + 1]) d = cScnDisplacement[at];
      }
      // Loading marked the code sections; other sections' lines stay.
      if (d != kNotPlaced && cScnDisplacementLoaded && (d & kCodeSection) == 0) continue;
      // The input's own few line tables first, the link's many kinds after.
      auto lines = coff.cLineInfo.find(scnName);
      if (lines == coff.cLineInfo.end() || lines->second.empty()) continue;
      if (d == kNotPlaced || !cScnDisplacementLoaded) {
        auto type = cScnType.find(scnName);
        if (type == cScnType.end() || type->second != Coff::code) continue;
      }
      if (d == kNotPlaced) {
        uint32_t found = 0;
        if (!loadedDisplacement(coff, scnName, placedRange(cScnMem, scnName), found, error)) return false;
        d = found;
      }
      for (coff_lineno& line : lines->second) {
        const uint32_t old = line.l_paddr;
        line.l_paddr = old + static_cast<uint32_t>(d);
        if (debug)
          std::printf("Linker::relocateLineInfo() - file '%s', section '%s', line %u from 0x%04x to 0x%04x\n",
                      coff.cFileName.c_str(), scnName.c_str(), static_cast<unsigned>(line.l_lnno), hex4(old),
                      hex4(line.l_paddr));
      }
    }
  }
  cScnDisplacement = {};
  cScnDisplacementBase = {};
  cScnDisplacementLoaded = false;
  return true;
}

bool Linker::resolveExternals(std::string& error) {
  const bool debug = static_cast<bool>(Debug("Linker::resolveExternals"));
  for (auto& coff : cCoff) {
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
        value = next->second->n_value;
      } else {
        const std::string name = nameOf(*coff, s);
        if (!name.empty() && name[0] == '.') {
          const std::string scnName = name.substr(1);
          auto mem = cScnMem.find(scnName);
          if (!cScnSize.count(scnName) || mem == cScnMem.end() || !mem->second->isAllocated(scnName)) {
            error = "could not resolve section reference '" + scnName + "' in file '" + coff->cFileName + "'.";
            return false;
          }
          value = mem->second->getAllocatedStart(scnName);
        } else {
          auto def = cExtSymDef.find(name);
          if (def == cExtSymDef.end()) {
            error = "could not resolve symbol '" + name + "' in file '" + coff->cFileName + "'.";
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
  }
  return true;
}

}  // namespace tarsil
