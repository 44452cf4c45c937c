#include "link/Linker.h"

#include <algorithm>

namespace tarsil {

bool Linker::buildSectionAttribs(std::string& error) {
  for (const auto& coff : cCoff) {
    for (const auto& [number, name] : coff->cScnNum) {
      auto found = coff->cScnHdr.find(name);
      if (found == coff->cScnHdr.end()) continue;
      const scnhdr& hdr = found->second;
      const Coff::ScnType type = Coff::getScnType(hdr);
      const bool isAbs = Coff::isAbs(hdr);
      const bool isOverlay = Coff::isOverlay(hdr);

      auto size = cScnSize.find(name);
      if (size == cScnSize.end()) {
        cScnSize[name] = hdr.s_size;
        if (type == Coff::unknown) {
          error = "unknown section type for '" + name + "' in file '" + coff->cFileName + "'.";
          return false;
        }
        cScnType[name] = type;
        cScnAbs[name] = isAbs;
        cScnShare[name] = Coff::isShared(hdr);
        cScnAccess[name] = Coff::isAccess(hdr);
        if (isAbs) {
          cScnAbsStart[name] = hdr.s_paddr;
          cScnAbsSize[name] = hdr.s_size;
        }
        cScnOverlay[name] = isOverlay;
        continue;
      }

      // The order of these checks decides which message a user sees when a
      // section disagrees in several ways at once; keep it.
      if (isOverlay != cScnOverlay[name]) {
        error = "section overlay types for '" + name + "' do not match across input files.";
        return false;
      }
      // Overlay pieces share one start, so the section is as long as its
      // longest piece; other pieces are laid end to end.
      if (isOverlay)
        size->second = std::max<unsigned long>(size->second, hdr.s_size);
      else
        size->second += hdr.s_size;
      if (isAbs != cScnAbs[name]) {
        error = "section absolute types for '" + name + "' do not match across input files.";
        return false;
      }
      if (isAbs) {
        if (hdr.s_paddr != cScnAbsStart[name]) {
          error = "starting addresses for absolute overlay section '" + name +
                  "' do not match across all input files.";
          return false;
        }
        cScnAbsSize[name] = size->second;
      }
      if (type != cScnType[name]) {
        error = "section types for '" + name + "' do not match across input files.";
        return false;
      }
      if (Coff::isShared(hdr) != cScnShare[name]) {
        error = "section share types for '" + name + "' do not match across input files.";
        return false;
      }
      if (Coff::isAccess(hdr) != cScnAccess[name]) {
        error = "section access types for '" + name + "' do not match across input files.";
        return false;
      }
      if (!isOverlay && isAbs) {
        error = "section '" + name + "' type is non-overlay and absolute but occurs in more than one input file.";
        return false;
      }
    }
  }
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
