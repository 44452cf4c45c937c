#include <ctime>
#include <sstream>

#include "link/Linker.h"
#include "support/AtomicFile.h"
#include "support/Error.h"
#include "support/Version.h"

namespace tarsil {

unsigned long Linker::calcProgMemSize() const {
  unsigned long total = 0;
  for (const Memory& m : cCodePage) total += m.size();
  return total;
}

namespace {

void displayGroup(std::ostream& os, const char* title, const std::vector<Memory>& memories) {
  os << title << "\n";
  bool first = true;
  for (const Memory& m : memories) {
    m.display(os, first);
    // Each memory's block ends with an empty line of its own.
    os << "\n";
    first = false;
  }
  os << "\n";
}

}  // namespace

void Linker::renderErrorMap(std::ostream& os, const std::string& created) const {
  os << Version::linker() << "\nLinker Error Map File - Created " << created
     << "\n*Warning* - This is only a partial map file due to a link time error.\n"
     << "   Only sections which were allocated prior to the error are shown below.\n\n";
  displayGroup(os, "CODEPAGES:", cCodePage);
  displayGroup(os, "SHAREBANKS:", cShareBanks);
  displayGroup(os, "DATABANKS:", cDataBanks);
  displayGroup(os, "ACCESSBANKS:", cAccessBanks);
}

void Linker::writeErrorMapFile() {
  if (cMapFile.empty()) return;
  std::time_t now = std::time(nullptr);
  const char* created = std::ctime(&now);
  std::ostringstream text;
  renderErrorMap(text, created ? created : "\n");
  // A map that cannot be written costs the user the listing, not the link.
  if (!writeFileAtomically(cMapFile, text.str()))
    Error::report(Error::error, "Linker::writeErrorMapFile()",
                  "Could not open map file '" + cMapFile + "' for writing.", false);
}

}  // namespace tarsil
