// SPDX-License-Identifier: Apache-2.0
#include "link/Passes.h"

#include <algorithm>
#include <string_view>
#include <tuple>
#include <vector>

#include "coff/Prefetch.h"
#include "support/NameIndex.h"
#include "support/Strings.h"

namespace tarsil {

namespace {

constexpr uint32_t kNoJoin = UINT32_MAX;

// One section name's merged attributes while the inputs are walked.
struct Merged {
  std::string_view name;
  MergedSection scn;
};

// A section's attributes from its first piece; false for a piece of unknown
// kind, which fails the merge with only its size taken.
bool startMerge(MergedSection& n, const scnhdr& hdr) {
  n.setSize(hdr.s_size);
  const Coff::ScnType type = Coff::getScnType(hdr);
  if (type == Coff::unknown) return false;
  n.type = type;
  n.abs = Coff::isAbs(hdr);
  n.share = Coff::isShared(hdr);
  n.access = Coff::isAccess(hdr);
  if (n.abs) {
    n.absStart = hdr.s_paddr;
    n.absSize = hdr.s_size;
  }
  n.overlay = Coff::isOverlay(hdr);
  return true;
}

// A later piece of section `name` joins `m`: the message when it disagrees
// with the pieces before it, empty when it agrees.
std::string mergePiece(MergedSection& m, const scnhdr& hdr, const std::string& name) {
  const bool isAbs = Coff::isAbs(hdr);
  const bool isOverlay = Coff::isOverlay(hdr);
  // The order of these checks decides which message a user sees when a
  // section disagrees in several ways at once; keep it.
  if (isOverlay != m.overlay) return "section overlay types for '" + name + "' do not match across input files.";
  // Overlay pieces share one start, so the section is as long as its
  // longest piece; other pieces are laid end to end.
  if (isOverlay)
    m.size = std::max<uint64_t>(m.size, hdr.s_size);
  else
    m.size += hdr.s_size;
  if (isAbs != m.abs) return "section absolute types for '" + name + "' do not match across input files.";
  if (isAbs) {
    if (hdr.s_paddr != m.absStart)
      return "starting addresses for absolute overlay section '" + name + "' do not match across all input files.";
    m.absSize = m.size;
  }
  if (Coff::getScnType(hdr) != m.type) return "section types for '" + name + "' do not match across input files.";
  if (Coff::isShared(hdr) != m.share) return "section share types for '" + name + "' do not match across input files.";
  if (Coff::isAccess(hdr) != m.access)
    return "section access types for '" + name + "' do not match across input files.";
  if (!isOverlay && isAbs)
    return "section '" + name + "' type is non-overlay and absolute but occurs in more than one input file.";
  return {};
}

}  // namespace

bool buildSectionAttribs(LinkContext& ctx, std::string& error) {
  // Merging works on a hashed table and fills the name-ordered table once at
  // the end: a name met in many inputs then costs one hash per piece instead
  // of a walk down the tree.
  // Sized for the case where every piece has its own name, so that neither
  // table grows while the inputs are walked.
  size_t pieces = ctx.cScns.size();
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cScnNum);
    pieces += ctx.cCoff[c]->cScnNum.size();
  }
  std::vector<Merged> merged;
  merged.reserve(pieces);
  NameIndex<uint32_t> index(pieces);
  for (const auto& [name, scn] : ctx.cScns) {
    if (!scn.sized) continue;
    index.emplace(name, static_cast<uint32_t>(merged.size()));
    merged.push_back({name, scn});
  }

  // Each input section's record, and the merged section it joins by its
  // place in `merged`, until the merged sections have their final home.
  ctx.cInputSections.clear();
  ctx.cInputSections.reserve(pieces);
  ctx.cInputSectionBase.assign(1, 0);
  std::vector<uint32_t> joins;
  joins.reserve(pieces);
  std::vector<MergedSection*> home;
  auto flush = [&]() {
    home.assign(merged.size(), nullptr);
    // Sorted by the first eight bytes as one number, and by the whole name
    // only where those agree: most section names are short.
    std::vector<std::pair<uint64_t, const Merged*>> order;
    order.reserve(merged.size());
    for (const Merged& m : merged) order.emplace_back(leadingBytes(m.name), &m);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : a.second->name < b.second->name;
    });
    // One block of the arena takes every node: a node is the record and a
    // tree's links.
    ctx.cScnArena.expect(merged.size() * (4 * sizeof(void*) + sizeof(MergedSections::value_type)));
    const bool empty = ctx.cScns.empty();
    for (const auto& [prefix, m] : order) {
      MergedSection& scn =
          empty ? ctx.cScns.emplace_hint(ctx.cScns.end(), std::piecewise_construct, std::forward_as_tuple(m->name),
                                     std::forward_as_tuple())
                      ->second
                : ctx.cScns[std::string(m->name)];
      scn = m->scn;
      home[static_cast<size_t>(m - merged.data())] = &scn;
    }
    for (size_t i = 0; i < joins.size(); ++i)
      if (joins[i] != kNoJoin) ctx.cInputSections[i].output = home[joins[i]];
    while (ctx.cInputSectionBase.size() <= ctx.cCoff.size()) ctx.cInputSectionBase.push_back(ctx.cInputSections.size());
  };
  auto fail = [&](const std::string& text) {
    error = text;
    flush();
    return false;
  };

  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cScnNum, &Coff::cScnHdr, &Coff::cRawData);
    const auto& coff = ctx.cCoff[c];
    ctx.cInputSectionBase.resize(c + 1, ctx.cInputSections.size());
    for (const auto& [number, name] : coff->cScnNum) {
      InputSection& piece = ctx.cInputSections.emplace_back();
      joins.push_back(kNoJoin);
      piece.file = coff.get();
      piece.number = number;
      piece.name = &name;
      auto found = coff->cScnHdr.find(name);
      if (found == coff->cScnHdr.end()) continue;
      piece.header = &found->second;
      if (auto bytes = coff->cRawData.find(name); bytes != coff->cRawData.end()) piece.bytes = &bytes->second;
      if (auto relocs = coff->cReloc.find(name); relocs != coff->cReloc.end()) piece.relocs = &relocs->second;
      if (auto lines = coff->cLineInfo.find(name); lines != coff->cLineInfo.end()) piece.lines = &lines->second;
      const scnhdr& hdr = found->second;
      auto [slot, first] = index.emplace(name, static_cast<uint32_t>(merged.size()));
      joins.back() = *slot;
      if (first) {
        merged.push_back({name, {}});
        if (!startMerge(merged.back().scn, hdr))
          return fail("unknown section type for '" + name + "' in file '" + coff->cFileName + "'.");
        continue;
      }
      if (std::string text = mergePiece(merged[*slot].scn, hdr, name); !text.empty()) return fail(text);
    }
  }
  flush();
  return true;
}

bool verifySectionDesc(LinkContext& ctx, std::string& error) {
  for (const SectionDesc& desc : ctx.cConfig.cSectionDesc) {
    const std::string& name = desc.getName();
    const MergedSection* scn = ctx.findScn(name);
    if (scn == nullptr || !scn->merged()) continue;
    const bool hasRom = !desc.getLoadMemory().empty();
    const bool hasRam = !desc.getRunMemory().empty();
    const char* contents = nullptr;
    const char* attribute = nullptr;
    switch (scn->type) {
      case Coff::code:
        if (hasRam) contents = "code", attribute = "RAM";
        break;
      case Coff::idata:
        if (hasRom) contents = "initialized data", attribute = "ROM";
        break;
      case Coff::udata:
        if (hasRom) contents = "uninitialized data", attribute = "ROM";
        break;
      case Coff::romdata:
        if (hasRam) contents = "initialized rom data", attribute = "RAM";
        break;
      case Coff::actrec:
      case Coff::unknown:
        break;
    }
    if (contents) {
      error = "section '" + name + "' contains " + contents + " and can not have a '" + attribute +
              "' memory attribute specified in the linker command file.";
      return false;
    }
  }
  warnAboutSectionDescs(ctx);
  return true;
}

}  // namespace tarsil
