#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "coff/Archive.h"
#include "coff/Coff.h"
#include "device/Processor.h"
#include "link/Linker.h"
#include "support/Assert.h"
#include "support/Debug.h"

namespace tarsil {

namespace {

// A name with any separator is taken only where it points. FileInfo sees no
// path in "/x.o", a file of the root directory, so the test is made here.
bool hasDirectory(const std::string& name) { return name.find_first_of("\\/") != std::string::npos; }

// Names may be written with '\' between directories; the file system here
// knows only '/'.
std::string hostPath(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

// A directory of the same name is no candidate: taking it would hide the
// file further down the search list behind a read error.
bool isFileThere(const std::string& path) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// The path under which `name` is found, or nothing. Bare names are looked up
// in `dirs` in order; the current directory is searched only when listed.
std::optional<std::string> findFile(const std::string& name, const std::vector<std::string>& dirs) {
  if (hasDirectory(name)) {
    std::string path = hostPath(name);
    if (isFileThere(path)) return path;
    return std::nullopt;
  }
  for (const std::string& dir : dirs) {
    std::string candidate = dir;
    if (!candidate.empty() && candidate.back() != '/' && candidate.back() != '\\') candidate += '/';
    candidate += name;
    candidate = hostPath(candidate);
    if (isFileThere(candidate)) return candidate;
  }
  return std::nullopt;
}

bool findFiles(std::vector<std::string>& names, const std::vector<std::string>& dirs, std::string& error) {
  for (std::string& name : names) {
    auto found = findFile(name, dirs);
    if (!found) {
      error = "could not find file '" + name + "'.";
      return false;
    }
    name = *found;
  }
  return true;
}

uint16_t deviceCode(const Coff& coff) { return static_cast<uint16_t>(coff.cOptHdr.proc_type & 0xFFFF); }

bool isGeneric(const Coff& coff) { return (coff.cFileHdr.f_flags & F_GENERIC) != 0; }

// The external names one object defines and references. Slots are told apart
// by the kind the reader gave them, the same rule by which a library indexes
// its members' definitions, so that what the index offers and what the
// linker asks for are read alike.
template <typename Visit>
void forEachExternal(const Coff& coff, Visit&& visit) {
  const size_t slots = std::min(coff.cSymTbl.size(), coff.cSymKind.size());
  for (size_t i = 0; i < slots; ++i) {
    if (coff.cSymKind[i] != AuxKind::none) continue;
    const syment& sym = coff.cSymTbl[i];
    const bool isDef = Coff::isExtDefinition(sym);
    if (!isDef && !Coff::isExtReference(sym)) continue;
    // Inputs were checked on reading, so every name resolves; a name that
    // does not cannot be asked for or satisfied, and is passed over.
    auto name = Coff::findName(sym, coff.cStrTbl);
    if (name) visit(*name, isDef);
  }
}

// The undefined names of the link, kept up to date as objects join, and the
// subset of them that some library can satisfy. Each object's symbols are
// looked at once, so importing many members stays near-linear.
class UndefinedNames {
public:
  explicit UndefinedNames(const std::vector<std::unique_ptr<Archive>>& archives) {
    for (size_t a = 0; a < archives.size(); ++a)
      for (const auto& entry : archives[a]->cSymbols) cFirstArchive.emplace(entry.first, a);
  }

  void add(const Coff& coff) {
    forEachExternal(coff, [this](const std::string& name, bool isDef) {
      if (isDef) {
        if (cDefined.insert(name).second) {
          cUndefined.erase(name);
          cSatisfiable.erase(name);
        }
      } else if (!cDefined.count(name) && cUndefined.insert(name).second && cFirstArchive.count(name)) {
        cSatisfiable.insert(name);
      }
    });
  }

  bool empty() const { return cSatisfiable.empty(); }
  // The alphabetically first undefined name a library defines, and the
  // earliest library that does.
  const std::string& next() const { return *cSatisfiable.begin(); }
  size_t archiveFor(const std::string& name) const { return cFirstArchive.at(name); }

private:
  std::map<std::string, size_t> cFirstArchive;
  std::unordered_set<std::string> cDefined;
  std::set<std::string> cUndefined;
  std::set<std::string> cSatisfiable;
};

}  // namespace

bool Linker::buildCoffs(std::string& error) {
  if (cObjectFile.empty()) {
    error = "no input object files specified.";
    return false;
  }
  std::vector<std::string> dirs{"."};
  dirs.insert(dirs.end(), cLibPath.begin(), cLibPath.end());
  if (!findFiles(cObjectFile, dirs, error)) return false;

  for (const std::string& path : cObjectFile) {
    // The readers report their own failures; the stage adds nothing to them.
    auto coff = Coff::make(path);
    if (!coff) return false;
    if (!coff->verify()) return false;
    cCoff.push_back(std::move(coff));
  }
  return true;
}

bool Linker::buildLibs(std::string& error) {
  if (!findFiles(cLibraryFile, cLibPath, error)) return false;

  for (const std::string& path : cLibraryFile) {
    auto archive = Archive::make(path);
    if (!archive) return false;
    cArchive.push_back(std::move(archive));
  }
  return true;
}

bool Linker::importLibraryMembers(std::string& /*error*/) {
  UndefinedNames names(cArchive);
  for (const auto& coff : cCoff) names.add(*coff);

  while (!names.empty()) {
    // Copied: adding the member erases the name from the set that holds it.
    const std::string symbol = names.next();
    const Archive& archive = *cArchive[names.archiveFor(symbol)];
    auto member = archive.getCoff(symbol);
    TARSIL_ASSERT(member != nullptr);
    if (Debug("Linker::importLibraryMembers"))
      std::cout << "Linker::importLibraryMembers() - imported library '" << archive.cFileName << "', member '"
                << member->cFileName << "' for symbol '" << symbol << "'\n";
    names.add(*member);
    cCoff.push_back(std::move(member));
  }
  return true;
}

bool Linker::verifyProcessor(std::string& error) {
  if (cCoff.empty()) {
    error = "no input object files specified.";
    return false;
  }

  // Every object's device code is checked before any is converted, wherever
  // the object stands: an unknown code is named as such, not taken for a
  // disagreement.
  for (const auto& coff : cCoff) {
    if (!isDvsProcTypeSupported(deviceCode(*coff))) {
      error = "Unsupported processor type in file '" + coff->cFileName + "'";
      return false;
    }
  }

  // The first device-specific object settles the device; when every object
  // is generic, the first one does.
  const Coff* settler = cCoff.front().get();
  for (const auto& coff : cCoff) {
    if (!isGeneric(*coff)) {
      settler = coff.get();
      break;
    }
  }
  cProcType = convertDvsProcType(deviceCode(*settler));
  cInstSet = getInstSet(cProcType);
  cRomWidthBits = getRomWidth(cProcType);
  cRamWidthBits = getRamWidth(cProcType);

  for (const auto& coff : cCoff) {
    const int procType = convertDvsProcType(deviceCode(*coff));
    const bool agrees = isGeneric(*coff) ? getInstSet(procType) == cInstSet : procType == cProcType;
    if (!agrees) {
      error = "processor types do not agree across all input files.";
      return false;
    }
  }

  for (Memory& memory : cCodePage) memory.setRangeWidths(cRomWidthBits);
  for (auto* banks : {&cDataBanks, &cShareBanks, &cAccessBanks})
    for (Memory& memory : *banks) memory.setRangeWidths(cRamWidthBits);
  return true;
}

}  // namespace tarsil
