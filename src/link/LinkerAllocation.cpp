// Placement: every merged section, the stack, the initialized-data table and
// its images get a memory and a start; then each input's piece of every
// section gets its own start inside its section's range.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "link/Linker.h"
#include "support/Assert.h"
#include "support/Debug.h"

namespace tarsil {

namespace {

// The full value, at least eight digits: a hostile size above 32 bits must
// not be shown as a smaller one that would have fitted.
std::string hex8(unsigned long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08lx", value);
  return text;
}

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

// Walks one name-ordered map alongside another: asked for names in
// ascending order, it finds each in amortized constant time.
template <typename Map>
class Cursor {
public:
  explicit Cursor(const Map& map) : cMap(map), cIt(map.begin()) {}
  const typename Map::mapped_type* find(const std::string& name) {
    while (cIt != cMap.end() && cIt->first < name) ++cIt;
    return cIt != cMap.end() && cIt->first == name ? &cIt->second : nullptr;
  }

private:
  const Map& cMap;
  typename Map::const_iterator cIt;
};

}  // namespace

void Linker::gatherScnAttrs() {
  cScnAttrs.clear();
  cScnAttrs.reserve(cScnType.size());
  Cursor abs(cScnAbs), share(cScnShare), access(cScnAccess), overlay(cScnOverlay);
  Cursor size(cScnSize), absStart(cScnAbsStart);
  for (const auto& [name, kind] : cScnType) {
    ScnAttr attr;
    attr.type = kind;
    if (const bool* f = abs.find(name)) attr.abs = *f;
    if (const bool* f = share.find(name)) attr.share = *f;
    if (const bool* f = access.find(name)) attr.access = *f;
    if (const bool* f = overlay.find(name)) attr.overlay = *f;
    if (const unsigned long* v = size.find(name)) attr.size = *v;
    if (const unsigned long* v = absStart.find(name)) attr.absStart = *v;
    cScnAttrs.emplace(name, attr);
  }
}

Linker::ScnAttr Linker::scnAttr(const std::string& scnName) const {
  if (auto it = cScnAttrs.find(scnName); it != cScnAttrs.end()) return it->second;
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

std::vector<Memory>* Linker::scnMemories(const std::string& scnName) {
  const ScnAttr attr = scnAttr(scnName);
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

const std::string& Linker::scnDirectiveMemory(const std::string& scnName, const SectionDesc& desc) const {
  const Coff::ScnType kind = scnAttr(scnName).type;
  bool inProgramMemory = kind == Coff::code || kind == Coff::romdata;
  return inProgramMemory ? desc.getLoadMemory() : desc.getRunMemory();
}

const SectionDesc* Linker::findSectionDesc(const std::string& scnName) const {
  // Directive names are unique, so an index built once answers every lookup
  // of a long command file without rescanning it.
  if (cSectionDescIndex.size() != cSectionDesc.size()) {
    cSectionDescIndex.clear();
    for (std::size_t i = 0; i < cSectionDesc.size(); ++i) cSectionDescIndex.emplace(cSectionDesc[i].getName(), i);
  }
  auto it = cSectionDescIndex.find(scnName);
  return it == cSectionDescIndex.end() ? nullptr : &cSectionDesc[it->second];
}

unsigned long Linker::placementLength(const std::string& scnName) const {
  if (!cScnPlacementLength.empty()) {
    auto grown = cScnPlacementLength.find(scnName);
    if (grown != cScnPlacementLength.end()) return grown->second;
  }
  return scnAttr(scnName).size;
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

bool Linker::allocateAbsAssigned(std::vector<Memory>& mems, const std::string& memName, const std::string& scnName,
                                 unsigned long start, unsigned long length, bool isOverlay, std::string& error) {
  if (!wordAligned(scnAttr(scnName).type, scnName, start, cRomWidthBits, error)) return false;
  Memory* mem = findMemory(mems, memName);
  if (mem == nullptr) {
    error = "section '" + scnName + "' has a memory '" + memName + "' which is not defined in the linker command file.";
    return false;
  }
  if (Debug("Linker::allocateAbsAssigned"))
    std::cout << "Linker::allocateAbsAssigned() - section '" << scnName << "' memory '" << memName
              << "' start=" << hex8(start) << " length=" << hex8(length) << "\n";
  if (!mem->canFit(start, length)) {
    error = "section '" + scnName + "' has a memory '" + memName + "' which can not fit the absolute section. Section '" +
            scnName + "' start=" + hex8(start) + ", length=" + hex8(length) + ".";
    return false;
  }
  mem->allocateAbsSection(scnName, start, length, isOverlay);
  cScnMem[scnName] = mem;
  return true;
}

bool Linker::allocateAbsUnassigned(std::vector<Memory>& mems, const std::string& scnName, unsigned long start,
                                   unsigned long length, bool isOverlay, std::string& error) {
  if (!wordAligned(scnAttr(scnName).type, scnName, start, cRomWidthBits, error)) return false;
  if (Debug("Linker::allocateAbsUnassigned"))
    std::cout << "Linker::allocateAbsUnassigned() - section '" << scnName << "' start=" << hex8(start)
              << " length=" << hex8(length) << "\n";
  // An absolute address is the user's explicit choice, so a protected memory
  // takes the section as readily as any other.
  for (auto& mem : mems) {
    if (!mem.canFit(start, length)) continue;
    mem.allocateAbsSection(scnName, start, length, isOverlay);
    cScnMem[scnName] = &mem;
    return true;
  }
  error = "section '" + scnName + "' can not fit the absolute section. Section '" + scnName +
          "' start=" + hex8(start) + ", length=" + hex8(length);
  return false;
}

bool Linker::allocateRelAssigned(std::vector<Memory>& mems, const std::string& memName, const std::string& scnName,
                                 unsigned long length, bool isOverlay, std::string& error) {
  Memory* mem = findMemory(mems, memName);
  if (mem == nullptr) {
    error = "section '" + scnName + "' has a memory '" + memName + "' which is not defined in the linker command file.";
    return false;
  }
  unsigned short alignment = scnAlignment(scnAttr(scnName).type, cRomWidthBits);
  if (Debug("Linker::allocateRelAssigned"))
    std::cout << "Linker::allocateRelAssigned() - section '" << scnName << "' memory '" << memName
              << "' length=" << hex8(length) << " alignment=" << alignment << "\n";
  if (!mem->canFit(length, alignment)) {
    error = "section '" + scnName + "' has a memory '" + memName + "' which can not fit the section. Section '" +
            scnName + "' length=" + hex8(length) + ".";
    return false;
  }
  mem->allocateSection(scnName, length, isOverlay, alignment);
  cScnMem[scnName] = mem;
  return true;
}

bool Linker::allocateRelUnassigned(std::vector<Memory>& mems, const std::string& scnName, unsigned long length,
                                   bool isOverlay, std::string& error) {
  std::vector<MemorySize> candidates;
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
  unsigned short alignment = scnAlignment(scnAttr(scnName).type, cRomWidthBits);
  for (const auto& candidate : candidates) {
    Memory* mem = candidate.first;
    if (!mem->canFit(length, alignment)) continue;
    mem->allocateSection(scnName, length, isOverlay, alignment);
    cScnMem[scnName] = mem;
    return true;
  }
  error = "section '" + scnName + "' can not fit the section. Section '" + scnName + "' length=" + hex8(length);
  return false;
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
  std::string name;
  unsigned long size;
  bool isImage;
};

// Each entry's place in ascending name order, where the first `sorted`
// entries are already in that order and the rest are few.
std::vector<uint32_t> nameRanks(const std::vector<Pending>& entries, std::size_t sorted) {
  std::vector<std::size_t> rest;
  for (std::size_t i = sorted; i < entries.size(); ++i) rest.push_back(i);
  std::sort(rest.begin(), rest.end(),
            [&](std::size_t a, std::size_t b) { return entries[a].name < entries[b].name; });
  std::vector<uint32_t> rank(entries.size());
  std::size_t i = 0, j = 0;
  uint32_t next = 0;
  while (i < sorted || j < rest.size()) {
    if (j == rest.size() || (i < sorted && entries[i].name < entries[rest[j]].name))
      rank[i++] = next++;
    else
      rank[rest[j++]] = next++;
  }
  return rank;
}

void dumpPass(const char* title, const std::vector<Pending>& list) {
  std::cout << title << "\n";
  for (const auto& entry : list) std::cout << "    section '" << entry.name << "', size=" << entry.size << "\n";
}

}  // namespace

bool Linker::mapSections(std::string& error) {
  gatherScnAttrs();
  bool mapped = placeSections(error);
  // The gathered attributes view names that later stages may change.
  std::unordered_map<std::string_view, ScnAttr>().swap(cScnAttrs);
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
  for (const auto& coff : cCoff) {
    if (wholeBytes) break;
    for (const auto& [number, name] : coff->cScnNum) {
      auto header = coff->cScnHdr.find(name);
      auto attr = cScnAttrs.find(name);
      if (header == coff->cScnHdr.end() || attr == cScnAttrs.end()) continue;
      if (attr->second.abs || attr->second.overlay) continue;
      if (attr->second.type != Coff::code && attr->second.type != Coff::romdata) continue;
      unsigned long perLocation = bytesPerLocation(rom);
      unsigned long bytes = header->second.s_size;
      unsigned long whole = (bytes + perLocation - 1) / perLocation * perLocation;
      auto [slot, inserted] = cScnPlacementLength.emplace(name, 0);
      slot->second += whole;
    }
  }
  for (auto it = cScnPlacementLength.begin(); it != cScnPlacementLength.end();) {
    if (it->second == scnAttr(it->first).size)
      it = cScnPlacementLength.erase(it);
    else
      ++it;
  }

  std::vector<Pending> absolutes, assigned, unassigned, records;

  // Fixed addresses first: they admit no choice, and everything else must
  // then work around them.
  for (const auto& [name, isAbs] : cScnAbs) {
    if (!isAbs) continue;
    const ScnAttr attr = scnAttr(name);
    unsigned long start = attr.absStart;
    unsigned long length = attr.size;
    bool isOverlay = attr.overlay;
    absolutes.push_back({name, length, false});
    std::vector<Memory>* mems = scnMemories(name);
    if (mems == nullptr) {
      error = "unknown section type for section '" + name + "'.";
      return false;
    }
    const SectionDesc* desc = findSectionDesc(name);
    bool placed;
    if (desc != nullptr) {
      if (debug) {
        std::cout << "Linker::mapSections() - absolute section '" << name << "' has the following SECTION:\n";
        desc->print(std::cout);
      }
      placed = allocateAbsAssigned(*mems, scnDirectiveMemory(name, *desc), name, start, length, isOverlay, error);
    } else {
      placed = allocateAbsUnassigned(*mems, name, start, length, isOverlay, error);
    }
    if (!placed) return false;
  }

  if (isStackAssigned() && !allocateStack(error)) return false;
  if (isInitTableAssigned() && !allocateInitTable(error)) return false;

  for (const auto& desc : cSectionDesc) {
    const std::string& name = desc.getName();
    if (images.count(name) != 0) {
      assigned.push_back({name, 0, true});
      if (!allocateInitSection(name, error)) return false;
      continue;
    }
    auto kind = cScnType.find(name);
    if (kind == cScnType.end() || scnAttr(name).abs) continue;
    unsigned long length = placementLength(name);
    assigned.push_back({name, length, false});
    if (debug) {
      std::cout << "Linker::mapSections() - relocatable section '" << name << "' has the following SECTION:\n";
      desc.print(std::cout);
    }
    std::vector<Memory>* mems = scnMemories(name);
    if (mems == nullptr) {
      error = "unknown section type for section '" + name + "'.";
      return false;
    }
    if (!allocateRelAssigned(*mems, scnDirectiveMemory(name, desc), name, length, scnAttr(name).overlay, error))
      return false;
  }

  if (!isStackAssigned() && !allocateStack(error)) return false;
  if (!isInitTableAssigned() && !allocateInitTable(error)) return false;

  for (const auto& [name, kind] : cScnType) {
    if (kind == Coff::actrec || (!images.empty() && images.count(name) != 0)) continue;
    const ScnAttr attr = scnAttr(name);
    if (attr.abs || findSectionDesc(name) != nullptr) continue;
    unassigned.push_back({name, placementLength(name), false});
  }
  const std::size_t sectionCount = unassigned.size();  // these came in name order
  for (const auto& [name, kind] : cScnType) {
    if (kind != Coff::idata) continue;
    std::string image = getInitImageName(name);
    if (findSectionDesc(image) == nullptr) unassigned.push_back({image, getInitImageSize(scnAttr(name).size), true});
  }
  // Largest first, while the holes are still large; equal sizes go in
  // descending name order so that the result never depends on input order.
  // Many sections share a size, so names would be compared often: each
  // entry gets its place in name order once, and the sort compares numbers.
  const std::vector<uint32_t> rank = nameRanks(unassigned, sectionCount);
  std::vector<const Pending*> order;
  {
    std::vector<std::tuple<unsigned long, uint32_t, const Pending*>> keyed;
    keyed.reserve(unassigned.size());
    for (std::size_t i = 0; i < unassigned.size(); ++i)
      keyed.emplace_back(unassigned[i].size, rank[i], &unassigned[i]);
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
      if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) > std::get<0>(b);
      return std::get<1>(a) > std::get<1>(b);
    });
    order.reserve(keyed.size());
    for (const auto& entry : keyed) order.push_back(std::get<2>(entry));
  }
  for (const Pending* pending : order) {
    const Pending& entry = *pending;
    if (entry.isImage) {
      if (!allocateInitSection(entry.name, error)) return false;
      continue;
    }
    std::vector<Memory>* mems = scnMemories(entry.name);
    if (mems == nullptr) {
      error = "unknown section type for section '" + entry.name + "'.";
      return false;
    }
    if (!allocateRelUnassigned(*mems, entry.name, entry.size, scnAttr(entry.name).overlay, error)) return false;
  }

  // Activation records go last: they overlay one another wherever the call
  // graph allows, in whatever data memory the sections above have left.
  if (!cScnActRec.empty()) {
    ActRecSet recordSet;
    for (const auto& [name, owner] : cScnActRec) {
      // A function's record field may point at any of its input's sections;
      // only an activation-record section may be overlaid.
      auto kind = cScnType.find(name);
      if (kind == cScnType.end() || kind->second != Coff::actrec) {
        error = "section '" + name + "' is given as a function's activation record but is not an activation record section.";
        return false;
      }
      unsigned long size = scnAttr(name).size;
      recordSet.insert({name, size});
      records.push_back({name, size, false});
    }
    if (!allocateActUnassigned(recordSet, cDataBanks, error)) return false;
  }

  // A section that no pass took would leave its pieces nowhere to load.
  for (const auto& [name, kind] : cScnType) {
    if (cScnMem.count(name) != 0) continue;
    if (kind == Coff::actrec)
      error = "section '" + name + "' holds activation records but no function owns it.";
    else
      error = "section '" + name + "' was not placed in any memory.";
    return false;
  }

  if (debug) {
    std::cout << "Linker::mapSections():\n";
    dumpPass("  absolute dump: ", absolutes);
    dumpPass("  relocatable assigned dump: ", assigned);
    std::cout << "  relocatable unassigned dump: " << "\n";
    for (const Pending* entry : order)
      std::cout << "    section '" << entry->name << "', size=" << entry->size << "\n";
    dumpPass("  activation record dump: ", records);
  }
  return true;
}

bool Linker::loadSections(std::string& error) {
  // Every piece asks where its section went; one hash serves each.
  struct Placed {
    Memory* mem;
    bool abs;
  };
  std::unordered_map<std::string_view, Placed> placed;
  placed.reserve(cScnMem.size());
  Cursor absFlags(cScnAbs);
  for (const auto& [name, mem] : cScnMem) {
    const bool* abs = absFlags.find(name);
    placed.emplace(name, Placed{mem, abs != nullptr && *abs});
  }
  for (const auto& coff : cCoff) {
    const std::string& file = coff->cFileName;
    for (const auto& [number, name] : coff->cScnNum) {
      auto header = coff->cScnHdr.find(name);
      TARSIL_ASSERT(header != coff->cScnHdr.end());
      auto where = placed.find(name);
      if (where == placed.end()) {
        if (Debug("Linker::loadSections")) std::cout << name << " not allocated???\n";
        bool mem = false;
        TARSIL_ASSERT(mem);
      }
      Memory* mem = where->second.mem;
      // Pieces are told apart by their file's name; two inputs of one name
      // that both add to a section would share one start.
      if (mem->isLoaded(file, name)) {
        error = "section '" + name + "' has more than one piece from input files named '" + file + "'.";
        return false;
      }
      const scnhdr& h = header->second;
      if (where->second.abs)
        mem->loadAbsSection(file, name, h.s_paddr, h.s_size);
      else
        mem->loadSection(file, name, h.s_size);
    }
  }
  return true;
}

}  // namespace tarsil
