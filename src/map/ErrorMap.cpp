// SPDX-License-Identifier: Apache-2.0
#include "map/ErrorMap.h"

#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "memory/Memory.h"
#include "support/AtomicFile.h"
#include "support/Error.h"
#include "support/FileInfo.h"
#include "support/TimeStamp.h"
#include "support/Version.h"

namespace tarsil {

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

// The error map goes to its file in blocks as it is written, rather than
// whole from a string: it lists every placed section, and it is written at
// every link that asks for a map.
class FileBuffer : public std::streambuf {
public:
  // Not zeroed: a failed link writes one, and most of the block stays unused.
  explicit FileBuffer(AtomicFile& file) : cFile(file), cBuffer(std::make_unique_for_overwrite<char[]>(kSize)) {
    reset();
  }

  // Hands on what is buffered; false when any of the text was refused.
  bool drain() {
    const std::ptrdiff_t held = pptr() - pbase();
    if (held > 0 && !cFile.write({pbase(), static_cast<size_t>(held)})) cFailed = true;
    reset();
    return !cFailed;
  }

protected:
  int_type overflow(int_type c) override {
    if (!drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return drain() ? 0 : -1; }

private:
  static constexpr size_t kSize = 1 << 16;

  void reset() { setp(cBuffer.get(), cBuffer.get() + kSize); }

  AtomicFile& cFile;
  std::unique_ptr<char[]> cBuffer;
  bool cFailed = false;
};

}  // namespace

void renderErrorMap(std::ostream& os, const std::string& created, const DeclaredMemories& memories) {
  os << Version::linker() << "\nLinker Error Map File - Created " << created
     << "\n*Warning* - This is only a partial map file due to a link time error.\n"
     << "   Only sections which were allocated prior to the error are shown below.\n\n";
  displayGroup(os, "CODEPAGES:", memories.codePages);
  displayGroup(os, "SHAREBANKS:", memories.shareBanks);
  displayGroup(os, "DATABANKS:", memories.dataBanks);
  displayGroup(os, "ACCESSBANKS:", memories.accessBanks);
}

namespace {

void reportUnwritable(const std::string& name, const AtomicFile& file) {
  // A map that cannot be written costs the user the listing, not the link.
  Error::report(Error::error, "Linker::writeErrorMapFile()",
                file.withReason("Could not open map file '" + name + "' for writing."), false);
}

// False after reporting why the map could not be written.
bool writeNow(const std::string& name, const std::string& created, const DeclaredMemories& memories) {
  AtomicFile file(hostPath(name));
  if (file.open()) {
    FileBuffer buffer(file);
    std::ostream os(&buffer);
    renderErrorMap(os, created, memories);
    if (buffer.drain() && file.commit()) return true;
  }
  reportUnwritable(name, file);
  return false;
}

// What would make the write fail: no room for the file beside the target, or
// something in the target's place that the file cannot replace.
bool canWrite(const std::string& name) {
  AtomicFile file(hostPath(name));
  if (file.open()) return true;
  reportUnwritable(name, file);
  return false;
}

}  // namespace

void writeErrorMap(const std::string& name, const DeclaredMemories& memories) {
  writeNow(name, outputTimeText(), memories);
}

PendingErrorMap::PendingErrorMap(const std::string& name, const DeclaredMemories& memories)
    : cName(name), cMemories(memories) {
  if (name.empty()) return;
  if (!canWrite(name)) return;
  cCreated = outputTimeText();
  cPending = true;
}

PendingErrorMap::~PendingErrorMap() {
  if (cPending) writeNow(cName, cCreated, cMemories);
}

}  // namespace tarsil
