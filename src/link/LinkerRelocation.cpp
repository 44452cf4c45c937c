// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <iostream>
#include <span>

#include "coff/Prefetch.h"
#include "device/Processor.h"
#include "link/Passes.h"
#include "link/target/TargetSupport.h"
#include "support/Assert.h"
#include "support/Debug.h"
#include "support/Threads.h"

namespace tarsil {

using namespace patching;

namespace {

std::string where(const Coff& coff, const std::string& scnName) {
  return "file '" + coff.cFileName + "', section '" + scnName + "', ";
}

// Every relocation of one input, each patched by the target; on failure,
// `error` says where and why.
bool patchInput(Coff& coff, std::span<InputSection> pieces, bool debug, std::string& error, const Target& target) {
  const std::string& file = coff.cFileName;
  const size_t slots = coff.cSymTbl.size();
  const size_t kinds = coff.cSymKind.size();
  std::string text;
  for (const InputSection& piece : pieces) {
    if (piece.relocs == nullptr || piece.relocs->empty()) continue;
    const std::string& scnName = *piece.name;
    if (!piece.loaded) {
      error = where(coff, scnName) + "the section has relocations but was never placed in memory.";
      return false;
    }
    // A section without data still has its relocations checked: each then
    // fails as lying outside the (empty) data instead of being skipped.
    Data empty;
    const Location at{piece.bytes != nullptr ? *piece.bytes : empty, piece.address};

    for (const reloc& r : *piece.relocs) {
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
      const syment* sym = plain ? &coff.cSymTbl[r.r_symndx] : relocSymbol(coff, r, text);
      if (sym == nullptr || !target.relocate(at, r, Referent{*sym, coff.cStrTbl}, text)) {
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
bool patchEach(LinkContext& linker, std::string& error, const Target& target) {
  const bool debug = static_cast<bool>(Debug("Linker::patchSections"));
  const TraceScope tracing;
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
        const std::span<InputSection> pieces = linker.sectionsOf(c);
        if (!patchInput(coff, pieces, debug, failure, target)) return false;
        // Every relocation is in the bytes now, and nothing reads them again:
        // let them go here, side by side, rather than in a walk of their own.
        for (InputSection& piece : pieces) piece.relocs = nullptr;
        coff.cReloc.clear();
        return true;
      },
      error);
}

}  // namespace

const syment* relocSymbol(const Coff& coff, const reloc& r, std::string& error) {
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

std::unique_ptr<Target> makeTarget(const LinkContext& ctx) {
  TargetDevice device;
  device.procType = ctx.cProcType;
  device.instSet = ctx.cInstSet;
  device.accessBanks = &ctx.cConfig.cAccessBanks;
  device.sectionSize = [&ctx](const std::string& name) -> std::optional<uint64_t> {
    const MergedSection* scn = ctx.findScn(name);
    if (scn == nullptr || !scn->sized) return std::nullopt;
    return scn->size;
  };
  return Target::forDevice(std::move(device));
}

bool verifyRelocations(LinkContext& ctx, std::string& error) {
  const std::unique_ptr<Target> target = makeTarget(ctx);
  if (!target->hasChecks()) return true;
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    const Coff& coff = *ctx.cCoff[c];
    for (const InputSection& piece : ctx.sectionsOf(c)) {
      if (piece.relocs == nullptr) continue;
      for (const reloc& r : *piece.relocs) {
        if (!target->checks(r.r_type)) continue;
        std::string text;
        const syment* sym = relocSymbol(coff, r, text);
        if (sym == nullptr || !target->check(r, Referent{*sym, coff.cStrTbl}, text)) {
          error = where(coff, *piece.name) + text;
          return false;
        }
      }
    }
  }
  return true;
}

bool patchSections(LinkContext& ctx, std::string& error) {
  return patchEach(ctx, error, *makeTarget(ctx));
}

}  // namespace tarsil
