// SPDX-License-Identifier: Apache-2.0
// Any byte string handed to the library reader: rejected with a message or
// read whole, never a crash. Every symbol of an index that was built must
// give a copy of its member. A library that reads must survive being written
// and read again unchanged, as the librarian rewrites whatever it is given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <sstream>

#include "Dump.h"
#include "coff/Archive.h"
#include "support/Error.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarsil::Error::quiet(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<tarsil::Archive> archive = tarsil::Archive::make(std::span<const uint8_t>(data, size), "fuzz.lib");
  if (!archive) return 0;
  std::ostringstream dump;
  tarsil::tools::dumpArchive(*archive, tarsil::tools::DumpParts::all(), dump);
  for (const auto& [symbol, member] : archive->cSymbols) {
    std::unique_ptr<tarsil::Coff> copy = archive->getCoff(symbol);
    if (!copy || copy->cFileName != member->cFileName) std::abort();
  }
  for (const auto& member : archive->cMembers) member->verify();
  tarsil::Archive copy(*archive);
  if (copy.cMembers.size() != archive->cMembers.size()) std::abort();

  const std::vector<uint8_t> image = copy.image();
  std::unique_ptr<tarsil::Archive> again = tarsil::Archive::make(std::span<const uint8_t>(image), "again.lib");
  if (!again || again->image() != image) std::abort();
  return 0;
}
