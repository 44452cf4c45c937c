#include "link/Linker.h"

#include <algorithm>
#include <string_view>
#include <tuple>
#include <vector>

#include "support/NameIndex.h"

namespace tarsil {

namespace {

// One section name's merged attributes while the inputs are walked.
struct Merged {
  std::string_view name;
  unsigned long size = 0;
  Coff::ScnType type = Coff::unknown;
  bool complete = false;  // false: only the size was taken before a failure
  bool abs = false;
  bool share = false;
  bool access = false;
  bool overlay = false;
  unsigned long absStart = 0;
  unsigned long absSize = 0;
};

bool flagIn(const Linker::ScnFlags& flags, const std::string& name) {
  auto it = flags.find(name);
  return it != flags.end() && it->second;
}

}  // namespace

namespace {

// Appends names that come in ascending order: the hint at the end takes each
// with a comparison or two instead of a walk down the tree.
template <typename Map, typename Value>
void append(Map& map, std::string_view name, Value value) {
  map.emplace_hint(map.end(), std::piecewise_construct, std::forward_as_tuple(name), std::forward_as_tuple(value));
}

// A flag map lists only the names whose flag is set (see Linker.h).
void setFlag(Linker::ScnFlags& map, const std::string& name, bool set) {
  if (set)
    map.insert_or_assign(map.end(), name, true);
  else
    map.erase(name);
}

template <typename Order>
void fillEmptyAttribs(Linker& l, const Order& order) {
  for (const auto& [prefix, m] : order) {
    append(l.cScnSize, m->name, m->size);
    if (!m->complete) continue;
    append(l.cScnType, m->name, m->type);
    if (m->abs) append(l.cScnAbs, m->name, true);
    if (m->share) append(l.cScnShare, m->name, true);
    if (m->access) append(l.cScnAccess, m->name, true);
    if (m->overlay) append(l.cScnOverlay, m->name, true);
    if (m->abs) {
      append(l.cScnAbsStart, m->name, m->absStart);
      append(l.cScnAbsSize, m->name, m->absSize);
    }
  }
}

}  // namespace

bool Linker::buildSectionAttribs(std::string& error) {
  // Merging works on a hashed table and fills the name-ordered maps once at
  // the end: a name met in many inputs then costs one hash per piece instead
  // of a walk down every map.
  // Sized for the case where every piece has its own name, so that neither
  // table grows while the inputs are walked.
  size_t pieces = cScnSize.size();
  for (const auto& coff : cCoff) pieces += coff->cScnNum.size();
  std::vector<Merged> merged;
  merged.reserve(pieces);
  NameIndex<uint32_t> index(pieces);
  for (const auto& [name, size] : cScnSize) {
    Merged m;
    m.name = name;
    m.size = size;
    auto type = cScnType.find(name);
    m.complete = type != cScnType.end();
    if (m.complete) m.type = type->second;
    m.abs = flagIn(cScnAbs, name);
    m.share = flagIn(cScnShare, name);
    m.access = flagIn(cScnAccess, name);
    m.overlay = flagIn(cScnOverlay, name);
    if (auto it = cScnAbsStart.find(name); it != cScnAbsStart.end()) m.absStart = it->second;
    if (auto it = cScnAbsSize.find(name); it != cScnAbsSize.end()) m.absSize = it->second;
    index.emplace(m.name, static_cast<uint32_t>(merged.size()));
    merged.push_back(m);
  }

  auto flush = [&]() {
    // Sorted by the first eight bytes as one number, and by the whole name
    // only where those agree: most section names are short.
    std::vector<std::pair<uint64_t, const Merged*>> order;
    order.reserve(merged.size());
    for (const Merged& m : merged) {
      uint64_t prefix = 0;
      for (std::size_t i = 0; i < 8; ++i)
        prefix = prefix << 8 | (i < m.name.size() ? static_cast<unsigned char>(m.name[i]) : 0u);
      order.emplace_back(prefix, &m);
    }
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : a.second->name < b.second->name;
    });
    // One block of the arena takes every node: a node per name in the size
    // map, per complete name in the type map and per set flag in its map,
    // and per absolute name in two more. A node is the entry and a tree's
    // links.
    size_t nodes = 0;
    for (const Merged& m : merged) {
      nodes += 1;
      if (m.complete) nodes += 1 + m.abs + m.share + m.access + m.overlay + (m.abs ? 2 : 0);
    }
    cScnArena.expect(nodes * (4 * sizeof(void*) + sizeof(ScnValues::value_type)));
    if (cScnSize.empty() && cScnType.empty() && cScnAbs.empty() && cScnShare.empty() && cScnAccess.empty() &&
        cScnOverlay.empty() && cScnAbsStart.empty() && cScnAbsSize.empty()) {
      fillEmptyAttribs(*this, order);
      return;
    }
    for (const auto& [prefix, m] : order) {
      const std::string name(m->name);
      cScnSize.insert_or_assign(cScnSize.end(), name, m->size);
      if (!m->complete) continue;
      cScnType.insert_or_assign(cScnType.end(), name, m->type);
      setFlag(cScnAbs, name, m->abs);
      setFlag(cScnShare, name, m->share);
      setFlag(cScnAccess, name, m->access);
      setFlag(cScnOverlay, name, m->overlay);
      if (m->abs) {
        cScnAbsStart.insert_or_assign(cScnAbsStart.end(), name, m->absStart);
        cScnAbsSize.insert_or_assign(cScnAbsSize.end(), name, m->absSize);
      }
    }
  };
  auto fail = [&](const std::string& text) {
    error = text;
    flush();
    return false;
  };

  for (const auto& coff : cCoff) {
    for (const auto& [number, name] : coff->cScnNum) {
      auto found = coff->cScnHdr.find(name);
      if (found == coff->cScnHdr.end()) continue;
      const scnhdr& hdr = found->second;
      const Coff::ScnType type = Coff::getScnType(hdr);
      const bool isAbs = Coff::isAbs(hdr);
      const bool isOverlay = Coff::isOverlay(hdr);

      auto [slot, first] = index.emplace(name, static_cast<uint32_t>(merged.size()));
      if (first) {
        Merged m;
        m.name = name;
        m.size = hdr.s_size;
        merged.push_back(m);
        if (type == Coff::unknown)
          return fail("unknown section type for '" + name + "' in file '" + coff->cFileName + "'.");
        Merged& n = merged.back();
        n.complete = true;
        n.type = type;
        n.abs = isAbs;
        n.share = Coff::isShared(hdr);
        n.access = Coff::isAccess(hdr);
        if (isAbs) {
          n.absStart = hdr.s_paddr;
          n.absSize = hdr.s_size;
        }
        n.overlay = isOverlay;
        continue;
      }
      Merged& m = merged[*slot];

      // The order of these checks decides which message a user sees when a
      // section disagrees in several ways at once; keep it.
      if (isOverlay != m.overlay)
        return fail("section overlay types for '" + name + "' do not match across input files.");
      // Overlay pieces share one start, so the section is as long as its
      // longest piece; other pieces are laid end to end.
      if (isOverlay)
        m.size = std::max<unsigned long>(m.size, hdr.s_size);
      else
        m.size += hdr.s_size;
      if (isAbs != m.abs)
        return fail("section absolute types for '" + name + "' do not match across input files.");
      if (isAbs) {
        if (hdr.s_paddr != m.absStart)
          return fail("starting addresses for absolute overlay section '" + name +
                      "' do not match across all input files.");
        m.absSize = m.size;
      }
      if (type != m.type) return fail("section types for '" + name + "' do not match across input files.");
      if (Coff::isShared(hdr) != m.share)
        return fail("section share types for '" + name + "' do not match across input files.");
      if (Coff::isAccess(hdr) != m.access)
        return fail("section access types for '" + name + "' do not match across input files.");
      if (!isOverlay && isAbs)
        return fail("section '" + name + "' type is non-overlay and absolute but occurs in more than one input file.");
    }
  }
  flush();
  return true;
}

bool Linker::verifySectionDesc(std::string& error) {
  for (const SectionDesc& desc : cSectionDesc) {
    const std::string& name = desc.getName();
    auto type = cScnType.find(name);
    if (type == cScnType.end()) continue;
    const bool hasRom = !desc.getLoadMemory().empty();
    const bool hasRam = !desc.getRunMemory().empty();
    const char* contents = nullptr;
    const char* attribute = nullptr;
    switch (type->second) {
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
  return true;
}

}  // namespace tarsil
