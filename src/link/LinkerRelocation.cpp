// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <iostream>
#include <span>

#include "coff/Prefetch.h"
#include "device/Processor.h"
#include "link/Linker.h"
#include "link/PlacedRanges.h"
#include "link/patch/PatchSupport.h"
#include "support/Assert.h"
#include "support/Debug.h"
#include "support/Threads.h"

namespace tarsil {

using namespace patching;

namespace {

std::string where(const Coff& coff, const std::string& scnName) {
  return "file '" + coff.cFileName + "', section '" + scnName + "', ";
}

void setBit(char& byte, unsigned bit, bool on) {
  const auto mask = static_cast<unsigned char>(1u << bit);
  const auto old = static_cast<unsigned char>(byte);
  byte = static_cast<char>(on ? (old | mask) : (old & ~mask));
}

// Every relocation of one input, each patched by `patchOne`; on failure,
// `error` says where and why.
template <class PatchOne>
bool patchInput(Coff& coff, std::span<const Linker::PieceLoad> loads, const PlacedRanges& ranges, bool debug,
                std::string& error, PatchOne& patchOne) {
  const std::string& file = coff.cFileName;
  const size_t slots = coff.cSymTbl.size();
  const size_t kinds = coff.cSymKind.size();
  std::string text;
  for (const auto& [number, scnName] : coff.cScnNum) {
    auto relocs = coff.cReloc.find(scnName);
    if (relocs == coff.cReloc.end() || relocs->second.empty()) continue;

    // Where the piece was loaded, as loading left it, or else as its range
    // tells; once for all its relocations.
    const PlacedRanges::Placed* placed = nullptr;
    const bool known = !loads.empty();
    const Linker::PieceLoad* load =
        known && number >= 1 && static_cast<size_t>(number) <= loads.size() ? &loads[static_cast<size_t>(number) - 1]
                                                                              : nullptr;
    if (!known) placed = ranges.find(scnName);
    if (known ? load == nullptr || !load->placed : placed == nullptr || !placed->range->isLoaded(file)) {
      error = where(coff, scnName) + "the section has relocations but was never placed in memory.";
      return false;
    }
    const uint32_t scnAddr = known ? load->address : placed->range->getStart(file, scnName);

    auto raw = coff.cRawData.find(scnName);
    // A section without data still has its relocations checked: each then
    // fails as lying outside the (empty) data instead of being skipped.
    Data empty;
    Data& data = raw != coff.cRawData.end() ? raw->second : empty;

    for (const reloc& r : relocs->second) {
      if (debug) {
        std::printf("Linker::patchSections() -  file '%s', section '%s', r_vaddr=0x%04x r_symndx=%u r_offset=%d "
                    "r_type=%s\n",
                    file.c_str(), scnName.c_str(), static_cast<unsigned>(r.r_vaddr),
                    static_cast<unsigned>(r.r_symndx), static_cast<int>(r.r_offset),
                    relocTypeText(r.r_type).c_str());
      }
      // The common case inline; anything doubtful goes through the check
      // that words the message.
      const bool plain = r.r_symndx < slots && (r.r_symndx >= kinds || coff.cSymKind[r.r_symndx] == AuxKind::none);
      if ((!plain && !Linker::relocSymbol(coff, r, text)) || !patchOne(scnAddr, data, r, coff, text)) {
        error = where(coff, scnName) + text;
        return false;
      }
    }
  }
  return true;
}

// Every relocation of every input. Inputs are patched side by side, each
// writing only its own data; when several fail, the message is the one a
// link patching them in order would give, the first failing input's.
template <class PatchOne>
bool patchEach(const Linker& linker, std::string& error, PatchOne patchOne) {
  const bool debug = static_cast<bool>(Debug("Linker::patchSections"));
  const TraceScope tracing;
  const PlacedRanges& ranges = linker.placedRanges();
  return linker.forEachInputUntilFailure(
      [&](size_t c, std::string& failure) {
        // The relocations and bytes of the inputs a few on: their tables'
        // entries first, then the arrays those point at.
        const auto& inputs = linker.cCoff;
        prefetchAhead(inputs, c, &Coff::cReloc, &Coff::cRawData);
        if (c + 2 < std::min(inputs.size(), runEnd())) {
          const Coff& soon = *inputs[c + 2];
          for (const auto& [name, relocs] : soon.cReloc) prefetch::start(relocs);
          for (const auto& [name, bytes] : soon.cRawData) __builtin_prefetch(bytes.made());
        }
        Coff& coff = *linker.cCoff[c];
        if (!patchInput(coff, linker.piecesLoaded(c), ranges, debug, failure, patchOne)) return false;
        // Every relocation is in the bytes now, and nothing reads them again:
        // let them go here, side by side, rather than in a walk of their own.
        coff.cReloc.clear();
        return true;
      },
      error);
}

}  // namespace

const syment* Linker::relocSymbol(const Coff& coff, const reloc& r, std::string& error) {
  const syment* sym = symbolOf(coff.cSymTbl, r, error);
  if (!sym) return nullptr;
  // An auxiliary slot decodes as a symbol too, with whatever value its bytes
  // spell; patching with it would write garbage without a word of warning.
  if (r.r_symndx < coff.cSymKind.size() && coff.cSymKind[r.r_symndx] != AuxKind::none) {
    error = describe(r) + " names symbol " + std::to_string(r.r_symndx) + ", which is an auxiliary entry.";
    return nullptr;
  }
  return sym;
}

bool Linker::verifyRelocations(std::string& error) {
  if (cInstSet != instSetCore12) return true;
  const uint32_t page = getLocationsPerPage(cProcType);
  const uint32_t half = page / 2;
  for (const auto& coff : cCoff) {
    for (const auto& [number, scnName] : coff->cScnNum) {
      auto relocs = coff->cReloc.find(scnName);
      if (relocs == coff->cReloc.end()) continue;
      for (const reloc& r : relocs->second) {
        if (r.r_type != RELOCT_CALL) continue;
        std::string text;
        const syment* sym = relocSymbol(*coff, r, text);
        if (!sym) {
          error = where(*coff, scnName) + text;
          return false;
        }
        if (relocValue(*sym, r) % page >= half) {
          error = where(*coff, scnName) + "performs a call to \n symbol '" +
                  Coff::findName(*sym, coff->cStrTbl).value_or("") + "' which is not in the lower half of a page.";
          return false;
        }
      }
    }
  }
  return true;
}

bool Linker::patchSections(std::string& error) {
  // The family is chosen once for the whole link rather than per
  // relocation: the loop then calls its patcher directly.
  switch (cInstSet) {
    case instSetCore16E:
      return patchEach(*this, error, [this](uint32_t scnAddr, Data& data, const reloc& r, const Coff& coff, std::string& text) {
        return doPatchCore16E(scnAddr, data, r, coff.cSymTbl, coff.cStrTbl, text);
      });
    case instSetCore16:
      return patchEach(*this, error, [this](uint32_t, Data& data, const reloc& r, const Coff& coff, std::string& text) {
        return doPatchCore16(data, r, coff.cSymTbl, text);
      });
    case instSetCore12:
      return patchEach(*this, error, [this](uint32_t, Data& data, const reloc& r, const Coff& coff, std::string& text) {
        return doPatchCore12(data, r, coff.cSymTbl, text);
      });
    case instSetCore14:
      return patchEach(*this, error, [this](uint32_t, Data& data, const reloc& r, const Coff& coff, std::string& text) {
        return doPatchCore14(data, r, coff.cSymTbl, text);
      });
    default:
      return patchEach(*this, error, [this](uint32_t scnAddr, Data& data, const reloc& r, const Coff& coff,
                                     std::string& text) {
        return doPatch(scnAddr, data, r, coff.cSymTbl, coff.cStrTbl, text);
      });
  }
}

bool Linker::doPatch(uint32_t scnAddr, Data& data, const reloc& r, const std::vector<syment>& symTbl,
                     const std::map<int, std::string>& strTbl, std::string& error) {
  switch (cInstSet) {
    case instSetCore16E: return doPatchCore16E(scnAddr, data, r, symTbl, strTbl, error);
    case instSetCore16: return doPatchCore16(data, r, symTbl, error);
    case instSetCore12: return doPatchCore12(data, r, symTbl, error);
    case instSetCore14: return doPatchCore14(data, r, symTbl, error);
    default: return false;
  }
}

void Linker::patch(Data& d, uint32_t rawOffset, uint32_t value, uint16_t srcBegin, uint16_t dstBegin,
                   uint16_t width) {
  TARSIL_ASSERT(width <= 16);
  TARSIL_ASSERT(srcBegin < 32);
  TARSIL_ASSERT(dstBegin < 16);
  TARSIL_ASSERT((srcBegin + width) < 32);
  const uint32_t dsize = d.size();
  TARSIL_ASSERT(rawOffset <= dsize);
  // Callers check their fields against the data first; a field that still
  // runs past the end is a patcher's mistake, never something to write.
  TARSIL_ASSERT_TEXT(static_cast<uint64_t>(rawOffset) * 8 + dstBegin + width <= static_cast<uint64_t>(dsize) * 8,
                     "field lies within the data");
  if (width == 0) return;
  mergeBits(d.bytes() + rawOffset, value, srcBegin, dstBegin, width);
}

void Linker::bitToggle(Data& d, uint32_t bitPos, bool on) {
  TARSIL_ASSERT(bitPos < 8 * static_cast<uint64_t>(d.size()));
  setBit(d.bytes()[bitPos / 8], bitPos % 8, on);
}

}  // namespace tarsil
