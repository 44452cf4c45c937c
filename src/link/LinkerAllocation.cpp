// SPDX-License-Identifier: Apache-2.0
// Placement: every merged section, the stack, the initialized-data table and
// its images get a memory and a start; then each input's piece of every
// section gets its own start inside its section's range.
#include <algorithm>
#include <iostream>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "coff/Prefetch.h"
#include "link/Passes.h"
#include "support/Assert.h"
#include "support/Debug.h"
#include "support/HexText.h"
#include "support/NameIndex.h"

namespace tarsil {

namespace {

Memory* findMemory(std::vector<Memory>& mems, const std::string& name) {
  auto it = std::find_if(mems.begin(), mems.end(), [&](const Memory& m) { return m.getName() == name; });
  return it == mems.end() ? nullptr : &*it;
}

}  // namespace

unsigned bytesPerLocation(const LinkContext& ctx, MemType memType) {
  TARSIL_ASSERT_TEXT((memType == rom) || (memType == ram), "(memType == rom) || (memType == ram)");
  if (memType == rom) {
    TARSIL_ASSERT(ctx.cRomWidthBits);
    return (ctx.cRomWidthBits + 7u) / 8u;
  }
  TARSIL_ASSERT(ctx.cRamWidthBits);
  return (ctx.cRamWidthBits + 7u) / 8u;
}

const MergedSection* LinkContext::findScn(const std::string& scnName) const {
  auto it = cScns.find(scnName);
  return it == cScns.end() ? nullptr : &it->second;
}

MergedSection* LinkContext::findScn(const std::string& scnName) {
  auto it = cScns.find(scnName);
  return it == cScns.end() ? nullptr : &it->second;
}

namespace {

Coff::ScnType scnKind(const LinkContext& ctx, const std::string& scnName) {
  const MergedSection* scn = ctx.findScn(scnName);
  return scn == nullptr ? Coff::unknown : scn->type;
}

// The memories that can hold a section of this kind; null for a kind no
// memory list serves.
std::vector<Memory>* scnMemories(LinkContext& ctx, const MergedSection& scn) {
  switch (scn.type) {
    case Coff::code:
    case Coff::romdata:
      return &ctx.cConfig.cCodePage;
    case Coff::idata:
    case Coff::udata: {
      if (scn.share) return &ctx.cConfig.cShareBanks;
      if (scn.access) return &ctx.cConfig.cAccessBanks;
      return &ctx.cConfig.cDataBanks;
    }
    default:
      return nullptr;
  }
}

// The memory a SECTION directive gives a section.
const std::string& scnDirectiveMemory(const LinkContext& ctx, const std::string& scnName, const SectionDesc& desc) {
  const Coff::ScnType kind = scnKind(ctx, scnName);
  bool inProgramMemory = kind == Coff::code || kind == Coff::romdata;
  return inProgramMemory ? desc.getLoadMemory() : desc.getRunMemory();
}

}  // namespace

const SectionDesc* findSectionDesc(const LinkContext& ctx, const std::string& scnName) {
  if (ctx.cConfig.cSectionDesc.empty()) return nullptr;
  // Directive names are unique, so an index built once answers every lookup
  // of a long command file without rescanning it.
  if (ctx.cSectionDescIndex.size() != ctx.cConfig.cSectionDesc.size()) {
    ctx.cSectionDescIndex.clear();
    for (std::size_t i = 0; i < ctx.cConfig.cSectionDesc.size(); ++i)
      ctx.cSectionDescIndex.emplace(ctx.cConfig.cSectionDesc[i].getName(), i);
  }
  auto it = ctx.cSectionDescIndex.find(scnName);
  return it == ctx.cSectionDescIndex.end() ? nullptr : &ctx.cConfig.cSectionDesc[it->second];
}

namespace {

// Bytes a relocatable section needs: its size, grown where pieces that end
// inside a location push the next piece to the following one.
uint64_t placementLength(const LinkContext& ctx, const std::string& scnName, const MergedSection& scn) {
  if (!ctx.cScnPlacementLength.empty()) {
    auto grown = ctx.cScnPlacementLength.find(scnName);
    if (grown != ctx.cScnPlacementLength.end()) return grown->second;
  }
  return scn.size;
}

unsigned short scnAlignment(Coff::ScnType kind, uint16_t romWidthBits) {
  // Byte-addressed program memory fetches whole instruction words, so code
  // must begin on an even address.
  return static_cast<unsigned short>(kind == Coff::code && romWidthBits == 8 ? 2 : 1);
}

bool wordAligned(Coff::ScnType kind, const std::string& scnName, uint64_t start, uint16_t romWidthBits,
                 std::string& error) {
  if (scnAlignment(kind, romWidthBits) == 1 || start % 2 == 0) return true;
  error = "Absolute code section '" + scnName + "' must start at a word-aligned address.";
  return false;
}

// The placing operations behind the allocate* stages: the memory that
// took the section, or null with `error` set. They leave cScnMem alone.
Memory* placeAbsAssigned(LinkContext& ctx, std::vector<Memory>& mems, const std::string& memName,
                         const std::string& scnName, Coff::ScnType kind, uint64_t start, uint64_t length,
                         bool isOverlay, std::string& error) {
  if (!wordAligned(kind, scnName, start, ctx.cRomWidthBits, error)) return nullptr;
  Memory* mem = findMemory(mems, memName);
  if (mem == nullptr) {
    error = "section '" + scnName + "' has a memory '" + memName + "' which is not defined in the linker command file.";
    return nullptr;
  }
  if (Debug("Linker::allocateAbsAssigned"))
    std::cout << "Linker::allocateAbsAssigned() - section '" << scnName << "' memory '" << memName
              << "' start=" << hexText(start, 8) << " length=" << hexText(length, 8) << "\n";
  if (!mem->canFit(start, length)) {
    error = "section '" + scnName + "' has a memory '" + memName +
            "' which can not fit the absolute section. Section '" + scnName + "' start=" + hexText(start, 8) +
            ", length=" + hexText(length, 8) + ".";
    return nullptr;
  }
  mem->allocateAbsSection(scnName, start, length, isOverlay);
  return mem;
}

Memory* placeAbsUnassigned(LinkContext& ctx, std::vector<Memory>& mems, const std::string& scnName, Coff::ScnType kind,
                           uint64_t start, uint64_t length, bool isOverlay, std::string& error) {
  if (!wordAligned(kind, scnName, start, ctx.cRomWidthBits, error)) return nullptr;
  if (Debug("Linker::allocateAbsUnassigned"))
    std::cout << "Linker::allocateAbsUnassigned() - section '" << scnName << "' start=" << hexText(start, 8)
              << " length=" << hexText(length, 8) << "\n";
  // An absolute address is the user's explicit choice, so a protected memory
  // takes the section as readily as any other.
  for (auto& mem : mems) {
    if (!mem.canFit(start, length)) continue;
    mem.allocateAbsSection(scnName, start, length, isOverlay);
    return &mem;
  }
  error = "section '" + scnName + "' can not fit the absolute section. Section '" + scnName +
          "' start=" + hexText(start, 8) + ", length=" + hexText(length, 8);
  return nullptr;
}

Memory* placeRelAssigned(LinkContext& ctx, std::vector<Memory>& mems, const std::string& memName,
                         const std::string& scnName, Coff::ScnType kind, uint64_t length, bool isOverlay, std::string& error) {
  Memory* mem = findMemory(mems, memName);
  if (mem == nullptr) {
    error = "section '" + scnName + "' has a memory '" + memName + "' which is not defined in the linker command file.";
    return nullptr;
  }
  unsigned short alignment = scnAlignment(kind, ctx.cRomWidthBits);
  if (Debug("Linker::allocateRelAssigned"))
    std::cout << "Linker::allocateRelAssigned() - section '" << scnName << "' memory '" << memName
              << "' length=" << hexText(length, 8) << " alignment=" << alignment << "\n";
  if (!mem->canFit(length, alignment)) {
    error = "section '" + scnName + "' has a memory '" + memName + "' which can not fit the section. Section '" +
            scnName + "' length=" + hexText(length, 8) + ".";
    return nullptr;
  }
  mem->allocateSection(scnName, length, isOverlay, alignment);
  return mem;
}

Memory* placeRelUnassigned(LinkContext& ctx, std::vector<Memory>& mems, const std::string& scnName, Coff::ScnType kind,
                           uint64_t length, bool isOverlay, std::string& error) {
  std::vector<MemorySize>& candidates = ctx.cCandidates;
  candidates.clear();
  for (auto& mem : mems) {
    if (mem.isProtected()) continue;
    uint64_t largest = mem.largestHole();
    if (largest != 0) candidates.emplace_back(&mem, largest);
  }
  // The tightest memory that still takes the section keeps the large holes
  // free for the large sections that come later.
  // A handful of memories is sorted in place: stable like the library sort,
  // without the buffer that it allocates on every call.
  if (candidates.size() <= 32) {
    for (std::size_t i = 1; i < candidates.size(); ++i)
      for (std::size_t j = i; j > 0 && memsize_less(candidates[j], candidates[j - 1]); --j)
        std::swap(candidates[j], candidates[j - 1]);
  } else {
    std::stable_sort(candidates.begin(), candidates.end(), memsize_less);
  }
  if (Debug("Linker::allocateRelUnassigned")) {
    std::cout << "**********\ndumping memory's sorted by increasing largest hole size:\n";
    for (const auto& candidate : candidates) candidate.first->print(std::cout);
    std::cout << "**********\n";
  }
  unsigned short alignment = scnAlignment(kind, ctx.cRomWidthBits);
  for (const auto& candidate : candidates) {
    Memory* mem = candidate.first;
    if (!mem->canFit(length, alignment)) continue;
    mem->allocateSection(scnName, length, isOverlay, alignment);
    return mem;
  }
  error = "section '" + scnName + "' can not fit the section. Section '" + scnName + "' length=" + hexText(length, 8);
  return nullptr;
}

bool entered(std::map<std::string, Memory*>& scnMem, const std::string& scnName, Memory* mem) {
  if (mem == nullptr) return false;
  scnMem[scnName] = mem;
  return true;
}

}  // namespace

bool allocateRelAssigned(LinkContext& ctx, std::vector<Memory>& mems, const std::string& memName,
                         const std::string& scnName, uint64_t length, bool isOverlay, std::string& error) {
  return entered(ctx.cScnMem, scnName,
                 placeRelAssigned(ctx, mems, memName, scnName, scnKind(ctx, scnName), length, isOverlay, error));
}

bool allocateRelUnassigned(LinkContext& ctx, std::vector<Memory>& mems, const std::string& scnName, uint64_t length,
                           bool isOverlay, std::string& error) {
  return entered(ctx.cScnMem, scnName,
                 placeRelUnassigned(ctx, mems, scnName, scnKind(ctx, scnName), length, isOverlay, error));
}

namespace {

bool isStackAssigned(const LinkContext& ctx) {
  return ctx.cConfig.cStackDeclared && !ctx.cConfig.cStackDesc.getRunMemory().empty();
}

bool allocateStack(LinkContext& ctx, std::string& error) {
  if (!ctx.cConfig.cStackDeclared) return true;
  uint64_t size = ctx.cConfig.cStackDesc.getSize();
  const std::string& memName = ctx.cConfig.cStackDesc.getRunMemory();
  if (memName.empty()) return allocateRelUnassigned(ctx, ctx.cConfig.cDataBanks, ctx.cStackScnName, size, false, error);
  for (auto* list : {&ctx.cConfig.cDataBanks, &ctx.cConfig.cShareBanks, &ctx.cConfig.cAccessBanks})
    if (findMemory(*list, memName) != nullptr)
      return allocateRelAssigned(ctx, *list, memName, ctx.cStackScnName, size, false, error);
  error = "undefined DATABANK/SHAREBANK '" + memName + "' for STACK. ";
  return false;
}

struct Pending {
  const std::string* name;
  uint64_t size;
  // Null for an initialized-data image, which the linker makes itself.
  MergedSection* scn;
};

// Each entry's place in ascending name order, where the first `sorted`
// entries are already in that order and the rest are few.
std::vector<uint32_t> nameRanks(const std::vector<Pending>& entries, std::size_t sorted) {
  std::vector<std::size_t> rest;
  for (std::size_t i = sorted; i < entries.size(); ++i) rest.push_back(i);
  std::sort(rest.begin(), rest.end(),
            [&](std::size_t a, std::size_t b) { return *entries[a].name < *entries[b].name; });
  std::vector<uint32_t> rank(entries.size());
  std::size_t i = 0, j = 0;
  uint32_t next = 0;
  while (i < sorted || j < rest.size()) {
    if (j == rest.size() || (i < sorted && *entries[i].name < *entries[rest[j]].name))
      rank[i++] = next++;
    else
      rank[rest[j++]] = next++;
  }
  return rank;
}

void dumpPass(const char* title, const std::vector<Pending>& list) {
  std::cout << title << "\n";
  for (const auto& entry : list) std::cout << "    section '" << *entry.name << "', size=" << entry.size << "\n";
}

// Largest first, while the holes are still large; equal sizes go in
// descending name order so that the result never depends on input order.
// Many sections share a size, so names would be compared often: each
// entry gets its place in name order once, and the sort compares numbers.
// The first `sorted` entries are in name order already.
std::vector<const Pending*> largestFirst(const std::vector<Pending>& unassigned, std::size_t sorted) {
  const std::vector<uint32_t> rank = nameRanks(unassigned, sorted);
  std::vector<const Pending*> order;
  order.reserve(unassigned.size());
  const bool narrow = std::all_of(unassigned.begin(), unassigned.end(),
                                  [](const Pending& p) { return p.size <= 0xFFFFFFFFul; });
  if (narrow) {
    // Size and name rank in one word: the sort compares single numbers.
    std::vector<std::pair<uint64_t, uint32_t>> keyed;
    keyed.reserve(unassigned.size());
    for (std::size_t i = 0; i < unassigned.size(); ++i)
      keyed.emplace_back(uint64_t{unassigned[i].size} << 32 | rank[i], static_cast<uint32_t>(i));
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& entry : keyed) order.push_back(&unassigned[entry.second]);
  } else {
    std::vector<std::tuple<uint64_t, uint32_t, const Pending*>> keyed;
    keyed.reserve(unassigned.size());
    for (std::size_t i = 0; i < unassigned.size(); ++i)
      keyed.emplace_back(unassigned[i].size, rank[i], &unassigned[i]);
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
      if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) > std::get<0>(b);
      return std::get<1>(a) > std::get<1>(b);
    });
    for (const auto& entry : keyed) order.push_back(std::get<2>(entry));
  }
  return order;
}

// Enters the memories that placement recorded in the section records into
// cScnMem, in one ordered sweep.
void flushPlacedMemories(LinkContext& ctx) {
  // Both sides are in name order: the sections placed by position merge
  // with what the allocate* stages entered by name, each entry going in at
  // the end of the new map without a search.
  std::map<std::string, Memory*> merged;
  auto old = ctx.cScnMem.begin();
  auto takeOld = [&]() {
    auto next = std::next(old);
    merged.insert(merged.end(), ctx.cScnMem.extract(old));
    old = next;
  };
  for (auto& [name, scn] : ctx.cScns) {
    if (scn.placed == nullptr) continue;
    while (old != ctx.cScnMem.end() && old->first < name) takeOld();
    if (old != ctx.cScnMem.end() && old->first == name) {
      old->second = scn.placed;
      takeOld();
    } else {
      merged.emplace_hint(merged.end(), name, scn.placed);
    }
    scn.placed = nullptr;
  }
  while (old != ctx.cScnMem.end()) takeOld();
  ctx.cScnMem.swap(merged);
}

// The passes of placement, over the merged sections as placement begins.
struct Placement {
  LinkContext& l;
  std::string& error;
  const bool debug = static_cast<bool>(Debug("Linker::mapSections"));
  // In name order; the sections the linker makes while placing join the
  // table but not this list.
  std::vector<std::pair<const std::string*, MergedSection*>> sections;
  std::set<std::string> images;
  std::vector<Pending> absolutes, assigned, unassigned, records;
  // The images' names stay where they are while the entries point at them.
  std::vector<std::string> imageNames;
  std::vector<const Pending*> order;

  Placement(LinkContext& linker, std::string& failure) : l(linker), error(failure) {
    for (auto& [name, scn] : l.cScns)
      if (scn.merged()) sections.emplace_back(&name, &scn);
    for (const auto& [name, scn] : sections)
      if (scn->type == Coff::idata) images.insert(getInitImageName(*name));
  }

  bool unknownType(const std::string& name) {
    error = "unknown section type for section '" + name + "'.";
    return false;
  }

  // The linker makes sections of its own under these names; an input
  // section of the same name would be placed twice over them.
  bool refuseTheLinkersNames() {
    auto isMerged = [this](const std::string& name) {
      const MergedSection* scn = l.findScn(name);
      return scn != nullptr && scn->merged();
    };
    for (const auto& [name, scn] : sections) {
      if (scn->type == Coff::idata && isMerged(getInitImageName(*name))) {
        error = "section '" + getInitImageName(*name) +
                "' has the name of the initialized-data image of section '" + *name + "'.";
        return false;
      }
    }
    if (isMerged(l.cInitTableName)) {
      error = "section '" + l.cInitTableName + "' has the name of the initialized-data table that the linker builds.";
      return false;
    }
    if (l.cConfig.cStackDeclared && isMerged(l.cStackScnName)) {
      error = "section '" + l.cStackScnName + "' has the name of the stack section that the linker builds.";
      return false;
    }
    return true;
  }

  // Pieces of a section that end inside a program word push the next piece
  // to the following word, so the section needs that much more room than
  // the sum of its byte sizes.
  void measureRoundedLengths() {
    l.cScnPlacementLength.clear();
    // With one byte per location no piece can end inside one.
    const bool wholeBytes = l.cRomWidthBits != 0 && bytesPerLocation(l, rom) == 1;
    if (wholeBytes || l.cCoff.empty()) return;
    const uint64_t perLocation = bytesPerLocation(l, rom);
    NameIndex<size_t> byName(sections.size());
    for (size_t i = 0; i < sections.size(); ++i) byName.emplace(*sections[i].first, i);
    std::vector<uint64_t> whole(sections.size(), 0);
    std::vector<bool> grown(sections.size(), false);
    for (size_t c = 0; c < l.cCoff.size(); ++c) {
      prefetchAhead(l.cCoff, c, &Coff::cScnHdr);
      // Each piece of a section counts once, whatever its number.
      for (const auto& [name, header] : l.cCoff[c]->cScnHdr) {
        const size_t* at = byName.find(name);
        if (at == nullptr) continue;
        const MergedSection& scn = *sections[*at].second;
        if (scn.abs || scn.overlay) continue;
        if (scn.type != Coff::code && scn.type != Coff::romdata) continue;
        whole[*at] += (header.s_size + perLocation - 1) / perLocation * perLocation;
        grown[*at] = true;
      }
    }
    for (size_t i = 0; i < sections.size(); ++i)
      if (grown[i] && whole[i] != sections[i].second->size)
        l.cScnPlacementLength.emplace_hint(l.cScnPlacementLength.end(), *sections[i].first, whole[i]);
  }

  // Fixed addresses first: they admit no choice, and everything else must
  // then work around them.
  bool placeAbsolutes() {
    for (auto& [name, scn] : l.cScns) {
      if (!scn.abs) continue;
      absolutes.push_back({&name, scn.size, &scn});
      std::vector<Memory>* mems = scnMemories(l, scn);
      if (mems == nullptr) return unknownType(name);
      const SectionDesc* desc = findSectionDesc(l, name);
      Memory* mem;
      if (desc != nullptr) {
        if (debug) {
          std::cout << "Linker::mapSections() - absolute section '" << name << "' has the following SECTION:\n";
          desc->print(std::cout);
        }
        mem = placeAbsAssigned(l, *mems, scnDirectiveMemory(l, name, *desc), name, scn.type, scn.absStart, scn.size,
                                 scn.overlay, error);
      } else {
        mem = placeAbsUnassigned(l, *mems, name, scn.type, scn.absStart, scn.size, scn.overlay, error);
      }
      if (mem == nullptr) return false;
      scn.placed = mem;
    }
    return true;
  }

  // Then the sections a SECTION directive sends to a memory, with the stack
  // and the table where the command file names theirs.
  bool placeAssigned() {
    if (isStackAssigned(l) && !allocateStack(l, error)) return false;
    if (isInitTableAssigned(l) && !allocateInitTable(l, error)) return false;
    for (const auto& desc : l.cConfig.cSectionDesc) {
      const std::string& name = desc.getName();
      if (images.count(name) != 0) {
        assigned.push_back({&name, 0, nullptr});
        if (!allocateInitSection(l, name, error)) return false;
        continue;
      }
      MergedSection* scn = l.findScn(name);
      if (scn == nullptr || !scn->merged() || scn->abs) continue;
      uint64_t length = placementLength(l, name, *scn);
      assigned.push_back({&name, length, scn});
      if (debug) {
        std::cout << "Linker::mapSections() - relocatable section '" << name << "' has the following SECTION:\n";
        desc.print(std::cout);
      }
      std::vector<Memory>* mems = scnMemories(l, *scn);
      if (mems == nullptr) return unknownType(name);
      const bool code = scn->type == Coff::code || scn->type == Coff::romdata;
      scn->placed = placeRelAssigned(l, *mems, code ? desc.getLoadMemory() : desc.getRunMemory(), name, scn->type,
                                       length, scn->overlay, error);
      if (scn->placed == nullptr) return false;
    }
    if (!isStackAssigned(l) && !allocateStack(l, error)) return false;
    return isInitTableAssigned(l) || allocateInitTable(l, error);
  }

  // The rest, wherever they fit: the sections in name order, then the
  // images of initialized data that no directive placed.
  void gatherUnassigned() {
    unassigned.reserve(sections.size() + images.size());
    for (const auto& [name, scn] : sections) {
      if (scn->type == Coff::actrec || (!images.empty() && images.count(*name) != 0)) continue;
      if (scn->abs || findSectionDesc(l, *name) != nullptr) continue;
      unassigned.push_back({name, placementLength(l, *name, *scn), scn});
    }
    const std::size_t sectionCount = unassigned.size();  // these came in name order
    imageNames.reserve(images.size());
    std::vector<uint64_t> imageSizes;
    for (const auto& [name, scn] : sections) {
      if (scn->type != Coff::idata) continue;
      std::string image = getInitImageName(*name);
      if (findSectionDesc(l, image) != nullptr) continue;
      imageNames.push_back(std::move(image));
      imageSizes.push_back(getInitImageSize(l, scn->size));
    }
    for (std::size_t i = 0; i < imageNames.size(); ++i) unassigned.push_back({&imageNames[i], imageSizes[i], nullptr});
    order = largestFirst(unassigned, sectionCount);
  }

  bool placeUnassigned() {
    gatherUnassigned();
    for (const Pending* pending : order) {
      const Pending& entry = *pending;
      if (entry.scn == nullptr) {
        if (!allocateInitSection(l, *entry.name, error)) return false;
        continue;
      }
      MergedSection& scn = *entry.scn;
      std::vector<Memory>* mems = scnMemories(l, scn);
      if (mems == nullptr) return unknownType(*entry.name);
      scn.placed = placeRelUnassigned(l, *mems, *entry.name, scn.type, entry.size, scn.overlay, error);
      if (scn.placed == nullptr) return false;
    }
    return true;
  }

  // Activation records go last: they overlay one another wherever the call
  // graph allows, in whatever data memory the sections above have left.
  bool placeRecords() {
    if (l.cScnActRec.empty()) return true;
    LinkContext::ActRecSet recordSet;
    for (const auto& [name, owner] : l.cScnActRec) {
      // A function's record field may point at any of its input's sections;
      // only an activation-record section may be overlaid.
      MergedSection* scn = l.findScn(name);
      if (scn == nullptr || scn->type != Coff::actrec) {
        error = "section '" + name +
                "' is given as a function's activation record but is not an activation record section.";
        return false;
      }
      recordSet.insert({name, scn->size});
      records.push_back({&name, scn->size, scn});
    }
    return allocateActUnassigned(l, recordSet, l.cConfig.cDataBanks, error);
  }

  // A section that no pass took would leave its pieces nowhere to load.
  bool everySectionPlaced() {
    for (const auto& [name, scn] : sections) {
      if (scn->placed != nullptr || l.cScnMem.count(*name) != 0) continue;
      if (scn->type == Coff::actrec)
        error = "section '" + *name + "' holds activation records but no function owns it.";
      else
        error = "section '" + *name + "' was not placed in any memory.";
      return false;
    }
    return true;
  }

  void dump() const {
    std::cout << "Linker::mapSections():\n";
    dumpPass("  absolute dump: ", absolutes);
    dumpPass("  relocatable assigned dump: ", assigned);
    std::cout << "  relocatable unassigned dump: " << "\n";
    for (const Pending* entry : order) std::cout << "    section '" << *entry->name << "', size=" << entry->size << "\n";
    dumpPass("  activation record dump: ", records);
  }
};

bool placeSections(LinkContext& ctx, std::string& error) {
  Placement placement(ctx, error);
  if (!placement.refuseTheLinkersNames()) return false;
  placement.measureRoundedLengths();
  if (!placement.placeAbsolutes() || !placement.placeAssigned() || !placement.placeUnassigned() ||
      !placement.placeRecords() || !placement.everySectionPlaced())
    return false;
  if (placement.debug) placement.dump();
  return true;
}

}  // namespace

bool mapSections(LinkContext& ctx, std::string& error) {
  bool mapped = placeSections(ctx, error);
  flushPlacedMemories(ctx);
  std::vector<MemorySize>().swap(ctx.cCandidates);
  releaseCallGraphs(ctx);
  return mapped;
}

InputSection* LinkContext::sectionNumbered(size_t c, int number) {
  const std::span<InputSection> pieces = sectionsOf(c);
  // Readers number an input's sections from 1 in order, so the number is
  // the place; anything else is searched for.
  if (number >= 1 && static_cast<size_t>(number) <= pieces.size() && pieces[number - 1].number == number)
    return &pieces[number - 1];
  auto it = std::lower_bound(pieces.begin(), pieces.end(), number,
                             [](const InputSection& piece, int n) { return piece.number < n; });
  return it != pieces.end() && it->number == number ? &*it : nullptr;
}

void LinkContext::findPlacedRanges() {
  // Both tables are in name order: one walk down each.
  auto scn = cScns.begin();
  for (const auto& [name, memory] : cScnMem) {
    while (scn != cScns.end() && scn->first < name) ++scn;
    if (scn == cScns.end()) break;
    if (scn->first != name || memory == nullptr) continue;
    // The ranges belong to this linker's memories, which loading changes.
    scn->second.memory = memory;
    scn->second.range = const_cast<Range*>(memory->findAllocated(name));
  }
}

bool loadSections(LinkContext& ctx, std::string& error) {
  ctx.findPlacedRanges();
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cFileName);
    const std::string& file = ctx.cCoff[c]->cFileName;
    for (InputSection& piece : ctx.sectionsOf(c)) {
      TARSIL_ASSERT(piece.header != nullptr);
      const MergedSection* scn = piece.output;
      if (scn == nullptr || scn->range == nullptr) {
        if (Debug("Linker::loadSections")) std::cout << *piece.name << " not allocated???\n";
        bool mem = false;
        TARSIL_ASSERT(mem);
      }
      Range& range = *scn->range;
      const scnhdr& h = *piece.header;
      const uint32_t start = scn->abs ? range.getStart() : range.getPc();
      // Pieces are told apart by their file's name; two inputs of one name
      // that both add to a section would share one start.
      if (!(scn->abs ? range.load(file, h.s_paddr, h.s_size) : range.load(file, h.s_size))) {
        error = "section '" + *piece.name + "' has more than one piece from input files named '" + file + "'.";
        return false;
      }
      TARSIL_ASSERT(start >= range.getStart());
      piece.address = start + range.recordOffset(*piece.name);
      piece.inRange = start - range.getStart();
      piece.loaded = true;
    }
  }
  return true;
}

}  // namespace tarsil
