// Placement: every merged section, the stack, the initialized-data table and
// its images get a memory and a start; then each input's piece of every
// section gets its own start inside its section's range.
#include <algorithm>
#include <iostream>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "link/Linker.h"
#include "link/PlacedRanges.h"
#include "support/Assert.h"
#include "support/Debug.h"
#include "support/HexText.h"
#include "support/NameIndex.h"
#include "support/SortedWalk.h"

namespace tarsil {

namespace {

Memory* findMemory(std::vector<Memory>& mems, const std::string& name) {
  auto it = std::find_if(mems.begin(), mems.end(), [&](const Memory& m) { return m.getName() == name; });
  return it == mems.end() ? nullptr : &*it;
}

// Lookups that never add an entry to the shared attribute maps.
bool flagOf(const Linker::ScnFlags& flags, const std::string& name) {
  auto it = flags.find(name);
  return it != flags.end() && it->second;
}

unsigned long valueOf(const Linker::ScnValues& values, const std::string& name) {
  auto it = values.find(name);
  return it == values.end() ? 0 : it->second;
}

}  // namespace

unsigned Linker::bytesPerLocation(MemType memType) const {
  TARSIL_ASSERT_TEXT((memType == rom) || (memType == ram), "(memType == rom) || (memType == ram)");
  if (memType == rom) {
    TARSIL_ASSERT(cRomWidthBits);
    return (cRomWidthBits + 7u) / 8u;
  }
  TARSIL_ASSERT(cRamWidthBits);
  return (cRamWidthBits + 7u) / 8u;
}

namespace {

// advanceTo, trying the entry under the cursor for the very name first.
template <class Map>
auto walkTo(const Map& map, typename Map::const_iterator& it, const std::string& name)
    -> const typename Map::mapped_type* {
  if (it != map.end() && it->first == name) return &(it++)->second;
  return advanceTo(map, it, name);
}

}  // namespace

void Linker::gatherScnAttrs() {
  cScnAttrs.clear();
  cScnAttrs.reserve(cScnType.size());
  auto abs = cScnAbs.cbegin();
  auto share = cScnShare.cbegin();
  auto access = cScnAccess.cbegin();
  auto overlay = cScnOverlay.cbegin();
  auto size = cScnSize.cbegin();
  auto absStart = cScnAbsStart.cbegin();
  for (const auto& [name, kind] : cScnType) {
    ScnAttr attr;
    attr.name = &name;
    attr.type = kind;
    if (const bool* f = walkTo(cScnAbs, abs, name)) attr.abs = *f;
    if (const bool* f = walkTo(cScnShare, share, name)) attr.share = *f;
    if (const bool* f = walkTo(cScnAccess, access, name)) attr.access = *f;
    if (const bool* f = walkTo(cScnOverlay, overlay, name)) attr.overlay = *f;
    if (const unsigned long* v = walkTo(cScnSize, size, name)) attr.size = *v;
    if (const unsigned long* v = walkTo(cScnAbsStart, absStart, name)) attr.absStart = *v;
    cScnAttrs.push_back(attr);
  }
}

Linker::ScnAttr* Linker::findScnAttr(const std::string& scnName) {
  auto it = std::lower_bound(cScnAttrs.begin(), cScnAttrs.end(), scnName,
                             [](const ScnAttr& a, const std::string& name) { return *a.name < name; });
  return it != cScnAttrs.end() && *it->name == scnName ? &*it : nullptr;
}

Linker::ScnAttr Linker::scnAttr(const std::string& scnName) const {
  if (ScnAttr* found = const_cast<Linker*>(this)->findScnAttr(scnName)) return *found;
  // Sections the linker makes while placing are not gathered; they are few.
  ScnAttr attr;
  if (auto it = cScnType.find(scnName); it != cScnType.end()) attr.type = it->second;
  attr.abs = flagOf(cScnAbs, scnName);
  attr.share = flagOf(cScnShare, scnName);
  attr.access = flagOf(cScnAccess, scnName);
  attr.overlay = flagOf(cScnOverlay, scnName);
  attr.size = valueOf(cScnSize, scnName);
  attr.absStart = valueOf(cScnAbsStart, scnName);
  return attr;
}

Coff::ScnType Linker::scnKind(const std::string& scnName) const {
  if (ScnAttr* found = const_cast<Linker*>(this)->findScnAttr(scnName)) return found->type;
  auto it = cScnType.find(scnName);
  return it == cScnType.end() ? Coff::unknown : it->second;
}

std::vector<Memory>* Linker::scnMemories(const ScnAttr& attr) {
  switch (attr.type) {
    case Coff::code:
    case Coff::romdata:
      return &cCodePage;
    case Coff::idata:
    case Coff::udata: {
      if (attr.share) return &cShareBanks;
      if (attr.access) return &cAccessBanks;
      return &cDataBanks;
    }
    default:
      return nullptr;
  }
}

std::vector<Memory>* Linker::scnMemories(const std::string& scnName) { return scnMemories(scnAttr(scnName)); }

const std::string& Linker::scnDirectiveMemory(const std::string& scnName, const SectionDesc& desc) const {
  const Coff::ScnType kind = scnKind(scnName);
  bool inProgramMemory = kind == Coff::code || kind == Coff::romdata;
  return inProgramMemory ? desc.getLoadMemory() : desc.getRunMemory();
}

const SectionDesc* Linker::findSectionDesc(const std::string& scnName) const {
  if (cSectionDesc.empty()) return nullptr;
  // Directive names are unique, so an index built once answers every lookup
  // of a long command file without rescanning it.
  if (cSectionDescIndex.size() != cSectionDesc.size()) {
    cSectionDescIndex.clear();
    for (std::size_t i = 0; i < cSectionDesc.size(); ++i) cSectionDescIndex.emplace(cSectionDesc[i].getName(), i);
  }
  auto it = cSectionDescIndex.find(scnName);
  return it == cSectionDescIndex.end() ? nullptr : &cSectionDesc[it->second];
}

unsigned long Linker::placementLength(const ScnAttr& attr) const {
  if (!cScnPlacementLength.empty()) {
    auto grown = cScnPlacementLength.find(*attr.name);
    if (grown != cScnPlacementLength.end()) return grown->second;
  }
  return attr.size;
}

namespace {

unsigned short scnAlignment(Coff::ScnType kind, uint16_t romWidthBits) {
  // Byte-addressed program memory fetches whole instruction words, so code
  // must begin on an even address.
  return static_cast<unsigned short>(kind == Coff::code && romWidthBits == 8 ? 2 : 1);
}

bool wordAligned(Coff::ScnType kind, const std::string& scnName, unsigned long start, uint16_t romWidthBits,
                 std::string& error) {
  if (scnAlignment(kind, romWidthBits) == 1 || start % 2 == 0) return true;
  error = "Absolute code section '" + scnName + "' must start at a word-aligned address.";
  return false;
}

}  // namespace

Memory* Linker::placeAbsAssigned(std::vector<Memory>& mems, const std::string& memName, const std::string& scnName,
                                 Coff::ScnType kind, unsigned long start, unsigned long length, bool isOverlay,
                                 std::string& error) {
  if (!wordAligned(kind, scnName, start, cRomWidthBits, error)) return nullptr;
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

Memory* Linker::placeAbsUnassigned(std::vector<Memory>& mems, const std::string& scnName, Coff::ScnType kind,
                                   unsigned long start, unsigned long length, bool isOverlay, std::string& error) {
  if (!wordAligned(kind, scnName, start, cRomWidthBits, error)) return nullptr;
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

Memory* Linker::placeRelAssigned(std::vector<Memory>& mems, const std::string& memName, const std::string& scnName,
                                 Coff::ScnType kind, unsigned long length, bool isOverlay, std::string& error) {
  Memory* mem = findMemory(mems, memName);
  if (mem == nullptr) {
    error = "section '" + scnName + "' has a memory '" + memName + "' which is not defined in the linker command file.";
    return nullptr;
  }
  unsigned short alignment = scnAlignment(kind, cRomWidthBits);
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

Memory* Linker::placeRelUnassigned(std::vector<Memory>& mems, const std::string& scnName, Coff::ScnType kind,
                                   unsigned long length, bool isOverlay, std::string& error) {
  std::vector<MemorySize>& candidates = cCandidates;
  candidates.clear();
  for (auto& mem : mems) {
    if (mem.isProtected()) continue;
    unsigned long largest = mem.largestHole();
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
  unsigned short alignment = scnAlignment(kind, cRomWidthBits);
  for (const auto& candidate : candidates) {
    Memory* mem = candidate.first;
    if (!mem->canFit(length, alignment)) continue;
    mem->allocateSection(scnName, length, isOverlay, alignment);
    return mem;
  }
  error = "section '" + scnName + "' can not fit the section. Section '" + scnName + "' length=" + hexText(length, 8);
  return nullptr;
}

namespace {

bool entered(std::map<std::string, Memory*>& scnMem, const std::string& scnName, Memory* mem) {
  if (mem == nullptr) return false;
  scnMem[scnName] = mem;
  return true;
}

}  // namespace

bool Linker::allocateAbsAssigned(std::vector<Memory>& mems, const std::string& memName, const std::string& scnName,
                                 unsigned long start, unsigned long length, bool isOverlay, std::string& error) {
  return entered(cScnMem, scnName,
                 placeAbsAssigned(mems, memName, scnName, scnKind(scnName), start, length, isOverlay, error));
}

bool Linker::allocateAbsUnassigned(std::vector<Memory>& mems, const std::string& scnName, unsigned long start,
                                   unsigned long length, bool isOverlay, std::string& error) {
  return entered(cScnMem, scnName,
                 placeAbsUnassigned(mems, scnName, scnKind(scnName), start, length, isOverlay, error));
}

bool Linker::allocateRelAssigned(std::vector<Memory>& mems, const std::string& memName, const std::string& scnName,
                                 unsigned long length, bool isOverlay, std::string& error) {
  return entered(cScnMem, scnName, placeRelAssigned(mems, memName, scnName, scnKind(scnName), length, isOverlay, error));
}

bool Linker::allocateRelUnassigned(std::vector<Memory>& mems, const std::string& scnName, unsigned long length,
                                   bool isOverlay, std::string& error) {
  return entered(cScnMem, scnName, placeRelUnassigned(mems, scnName, scnKind(scnName), length, isOverlay, error));
}

bool Linker::isStackAssigned() const { return cStackDeclared && !cStackDesc.getRunMemory().empty(); }

bool Linker::allocateStack(std::string& error) {
  if (!cStackDeclared) return true;
  unsigned long size = cStackDesc.getSize();
  const std::string& memName = cStackDesc.getRunMemory();
  if (memName.empty()) return allocateRelUnassigned(cDataBanks, cStackScnName, size, false, error);
  for (auto* list : {&cDataBanks, &cShareBanks, &cAccessBanks})
    if (findMemory(*list, memName) != nullptr)
      return allocateRelAssigned(*list, memName, cStackScnName, size, false, error);
  error = "undefined DATABANK/SHAREBANK '" + memName + "' for STACK. ";
  return false;
}

namespace {

struct Pending {
  const std::string* name;
  unsigned long size;
  // Null for an initialized-data image, which the linker makes itself.
  Linker::ScnAttr* attr;
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

}  // namespace

void Linker::flushPlacedMemories() {
  // Both sides are in name order: the sections placed by position merge
  // with what the allocate* stages entered by name, each entry going in at
  // the end of the new map without a search.
  std::map<std::string, Memory*> merged;
  auto old = cScnMem.begin();
  auto takeOld = [&]() {
    auto next = std::next(old);
    merged.insert(merged.end(), cScnMem.extract(old));
    old = next;
  };
  for (const ScnAttr& attr : cScnAttrs) {
    if (attr.mem == nullptr) continue;
    while (old != cScnMem.end() && old->first < *attr.name) takeOld();
    if (old != cScnMem.end() && old->first == *attr.name) {
      old->second = attr.mem;
      takeOld();
    } else {
      merged.emplace_hint(merged.end(), *attr.name, attr.mem);
    }
  }
  while (old != cScnMem.end()) takeOld();
  cScnMem.swap(merged);
}

bool Linker::mapSections(std::string& error) {
  gatherScnAttrs();
  bool mapped = placeSections(error);
  flushPlacedMemories();
  // The gathered attributes point at names that later stages may change.
  std::vector<ScnAttr>().swap(cScnAttrs);
  std::vector<MemorySize>().swap(cCandidates);
  releaseCallGraphs();
  return mapped;
}

bool Linker::placeSections(std::string& error) {
  const bool debug = static_cast<bool>(Debug("Linker::mapSections"));

  std::set<std::string> images;
  for (const auto& [name, kind] : cScnType)
    if (kind == Coff::idata) images.insert(getInitImageName(name));

  // The linker makes sections of its own under these names; an input
  // section of the same name would be placed twice over them.
  for (const auto& [name, kind] : cScnType) {
    if (kind == Coff::idata && cScnType.count(getInitImageName(name)) != 0) {
      error = "section '" + getInitImageName(name) + "' has the name of the initialized-data image of section '" +
              name + "'.";
      return false;
    }
  }
  if (cScnType.count(cInitTableName) != 0) {
    error = "section '" + cInitTableName + "' has the name of the initialized-data table that the linker builds.";
    return false;
  }
  if (cStackDeclared && cScnType.count(cStackScnName) != 0) {
    error = "section '" + cStackScnName + "' has the name of the stack section that the linker builds.";
    return false;
  }

  // Pieces of a section that end inside a program word push the next piece
  // to the following word, so the section needs that much more room than
  // the sum of its byte sizes.
  cScnPlacementLength.clear();
  // With one byte per location no piece can end inside one.
  const bool wholeBytes = cRomWidthBits != 0 && bytesPerLocation(rom) == 1;
  if (!wholeBytes && !cCoff.empty()) {
    const unsigned long perLocation = bytesPerLocation(rom);
    NameIndex<ScnAttr*> byName(cScnAttrs.size());
    for (ScnAttr& attr : cScnAttrs) byName.emplace(*attr.name, &attr);
    std::vector<unsigned long> whole(cScnAttrs.size(), 0);
    std::vector<bool> grown(cScnAttrs.size(), false);
    for (const auto& coff : cCoff) {
      // Each piece of a section counts once, whatever its number.
      for (const auto& [name, header] : coff->cScnHdr) {
        ScnAttr* const* found = byName.find(name);
        if (found == nullptr) continue;
        const ScnAttr& attr = **found;
        if (attr.abs || attr.overlay) continue;
        if (attr.type != Coff::code && attr.type != Coff::romdata) continue;
        const size_t at = static_cast<size_t>(&attr - cScnAttrs.data());
        whole[at] += (header.s_size + perLocation - 1) / perLocation * perLocation;
        grown[at] = true;
      }
    }
    for (size_t i = 0; i < cScnAttrs.size(); ++i)
      if (grown[i] && whole[i] != cScnAttrs[i].size)
        cScnPlacementLength.emplace_hint(cScnPlacementLength.end(), *cScnAttrs[i].name, whole[i]);
  }

  std::vector<Pending> absolutes, assigned, unassigned, records;

  // Fixed addresses first: they admit no choice, and everything else must
  // then work around them. cScnAbs and the gathered sections are both in
  // name order, so one walk finds each.
  auto gathered = cScnAttrs.begin();
  for (const auto& [name, isAbs] : cScnAbs) {
    if (!isAbs) continue;
    while (gathered != cScnAttrs.end() && *gathered->name < name) ++gathered;
    ScnAttr* attr = gathered != cScnAttrs.end() && *gathered->name == name ? &*gathered : nullptr;
    const ScnAttr plain = attr != nullptr ? *attr : scnAttr(name);
    absolutes.push_back({&name, plain.size, attr});
    std::vector<Memory>* mems = scnMemories(plain);
    if (mems == nullptr) {
      error = "unknown section type for section '" + name + "'.";
      return false;
    }
    const SectionDesc* desc = findSectionDesc(name);
    Memory* mem;
    if (desc != nullptr) {
      if (debug) {
        std::cout << "Linker::mapSections() - absolute section '" << name << "' has the following SECTION:\n";
        desc->print(std::cout);
      }
      mem = placeAbsAssigned(*mems, scnDirectiveMemory(name, *desc), name, plain.type, plain.absStart, plain.size,
                             plain.overlay, error);
    } else {
      mem = placeAbsUnassigned(*mems, name, plain.type, plain.absStart, plain.size, plain.overlay, error);
    }
    if (mem == nullptr) return false;
    // Every name of cScnAbs is a section of cScnType, so `attr` is known.
    if (attr != nullptr)
      attr->mem = mem;
    else
      cScnMem[name] = mem;
  }

  if (isStackAssigned() && !allocateStack(error)) return false;
  if (isInitTableAssigned() && !allocateInitTable(error)) return false;

  for (const auto& desc : cSectionDesc) {
    const std::string& name = desc.getName();
    if (images.count(name) != 0) {
      assigned.push_back({&name, 0, nullptr});
      if (!allocateInitSection(name, error)) return false;
      continue;
    }
    ScnAttr* attr = findScnAttr(name);
    if (attr == nullptr || attr->abs) continue;
    unsigned long length = placementLength(*attr);
    assigned.push_back({&name, length, attr});
    if (debug) {
      std::cout << "Linker::mapSections() - relocatable section '" << name << "' has the following SECTION:\n";
      desc.print(std::cout);
    }
    std::vector<Memory>* mems = scnMemories(*attr);
    if (mems == nullptr) {
      error = "unknown section type for section '" + name + "'.";
      return false;
    }
    const bool code = attr->type == Coff::code || attr->type == Coff::romdata;
    attr->mem = placeRelAssigned(*mems, code ? desc.getLoadMemory() : desc.getRunMemory(), name, attr->type, length,
                                 attr->overlay, error);
    if (attr->mem == nullptr) return false;
  }

  if (!isStackAssigned() && !allocateStack(error)) return false;
  if (!isInitTableAssigned() && !allocateInitTable(error)) return false;

  unassigned.reserve(cScnAttrs.size() + images.size());
  for (ScnAttr& attr : cScnAttrs) {
    if (attr.type == Coff::actrec || (!images.empty() && images.count(*attr.name) != 0)) continue;
    if (attr.abs || findSectionDesc(*attr.name) != nullptr) continue;
    unassigned.push_back({attr.name, placementLength(attr), &attr});
  }
  const std::size_t sectionCount = unassigned.size();  // these came in name order
  // The images' names stay where they are while the entries point at them.
  std::vector<std::string> imageNames;
  imageNames.reserve(images.size());
  std::vector<unsigned long> imageSizes;
  for (const ScnAttr& attr : cScnAttrs) {
    if (attr.type != Coff::idata) continue;
    std::string image = getInitImageName(*attr.name);
    if (findSectionDesc(image) != nullptr) continue;
    imageNames.push_back(std::move(image));
    imageSizes.push_back(getInitImageSize(attr.size));
  }
  for (std::size_t i = 0; i < imageNames.size(); ++i) unassigned.push_back({&imageNames[i], imageSizes[i], nullptr});
  // Largest first, while the holes are still large; equal sizes go in
  // descending name order so that the result never depends on input order.
  // Many sections share a size, so names would be compared often: each
  // entry gets its place in name order once, and the sort compares numbers.
  const std::vector<uint32_t> rank = nameRanks(unassigned, sectionCount);
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
    std::vector<std::tuple<unsigned long, uint32_t, const Pending*>> keyed;
    keyed.reserve(unassigned.size());
    for (std::size_t i = 0; i < unassigned.size(); ++i)
      keyed.emplace_back(unassigned[i].size, rank[i], &unassigned[i]);
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
      if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) > std::get<0>(b);
      return std::get<1>(a) > std::get<1>(b);
    });
    for (const auto& entry : keyed) order.push_back(std::get<2>(entry));
  }
  for (const Pending* pending : order) {
    const Pending& entry = *pending;
    if (entry.attr == nullptr) {
      if (!allocateInitSection(*entry.name, error)) return false;
      continue;
    }
    ScnAttr& attr = *entry.attr;
    std::vector<Memory>* mems = scnMemories(attr);
    if (mems == nullptr) {
      error = "unknown section type for section '" + *entry.name + "'.";
      return false;
    }
    attr.mem = placeRelUnassigned(*mems, *entry.name, attr.type, entry.size, attr.overlay, error);
    if (attr.mem == nullptr) return false;
  }

  // Activation records go last: they overlay one another wherever the call
  // graph allows, in whatever data memory the sections above have left.
  if (!cScnActRec.empty()) {
    ActRecSet recordSet;
    for (const auto& [name, owner] : cScnActRec) {
      // A function's record field may point at any of its input's sections;
      // only an activation-record section may be overlaid.
      ScnAttr* attr = findScnAttr(name);
      if (attr == nullptr || attr->type != Coff::actrec) {
        error = "section '" + name + "' is given as a function's activation record but is not an activation record section.";
        return false;
      }
      recordSet.insert({name, attr->size});
      records.push_back({&name, attr->size, attr});
    }
    if (!allocateActUnassigned(recordSet, cDataBanks, error)) return false;
  }

  // A section that no pass took would leave its pieces nowhere to load.
  for (const ScnAttr& attr : cScnAttrs) {
    if (attr.mem != nullptr || cScnMem.count(*attr.name) != 0) continue;
    if (attr.type == Coff::actrec)
      error = "section '" + *attr.name + "' holds activation records but no function owns it.";
    else
      error = "section '" + *attr.name + "' was not placed in any memory.";
    return false;
  }

  if (debug) {
    std::cout << "Linker::mapSections():\n";
    dumpPass("  absolute dump: ", absolutes);
    dumpPass("  relocatable assigned dump: ", assigned);
    std::cout << "  relocatable unassigned dump: " << "\n";
    for (const Pending* entry : order)
      std::cout << "    section '" << *entry->name << "', size=" << entry->size << "\n";
    dumpPass("  activation record dump: ", records);
  }
  return true;
}

bool Linker::loadSections(std::string& error) {
  // Every piece asks where its section went; one hash serves each. The
  // ranges belong to this linker's memories, which it may change.
  const PlacedRanges& ranges = placedRanges(true);
  // Each piece's displacement, from the address its header gave it to where
  // it is loaded, is known here at no cost; the symbol stages take it from
  // this table instead of searching the range for the piece again.
  cScnDisplacement.clear();
  cScnDisplacementBase.clear();
  cScnDisplacementBase.reserve(cCoff.size() + 1);
  cScnDisplacementLoaded = false;
  for (const auto& coff : cCoff) {
    const std::string& file = coff->cFileName;
    const size_t base = cScnDisplacement.size();
    cScnDisplacementBase.push_back(base);
    const size_t count = displacementSlots(*coff);
    cScnDisplacement.resize(base + count, kNotPlaced);
    for (const auto& [number, name] : coff->cScnNum) {
      auto header = coff->cScnHdr.find(name);
      TARSIL_ASSERT(header != coff->cScnHdr.end());
      const PlacedRanges::Placed* where = ranges.find(name);
      if (where == nullptr) {
        if (Debug("Linker::loadSections")) std::cout << name << " not allocated???\n";
        bool mem = false;
        TARSIL_ASSERT(mem);
      }
      Range& range = const_cast<Range&>(*where->range);
      // Pieces are told apart by their file's name; two inputs of one name
      // that both add to a section would share one start.
      if (range.isLoaded(file)) {
        error = "section '" + name + "' has more than one piece from input files named '" + file + "'.";
        return false;
      }
      const scnhdr& h = header->second;
      uint32_t start;
      if (where->abs) {
        start = range.getStart();
        range.load(file, h.s_paddr, h.s_size);
      } else {
        start = range.getPc();
        range.load(file, h.s_size);
      }
      if (number >= 1 && static_cast<size_t>(number) <= count) {
        // Unsigned wrap-around is intended: a piece loaded below its
        // header's address moves its symbols down by the same amount.
        const uint32_t displacement = start + range.recordOffset(name) - h.s_paddr;
        cScnDisplacement[base + static_cast<size_t>(number) - 1] =
            displacement | (where->kind == Coff::code ? kCodeSection : 0);
      }
    }
  }
  cScnDisplacementBase.push_back(cScnDisplacement.size());
  cScnDisplacementLoaded = true;
  return true;
}

}  // namespace tarsil
