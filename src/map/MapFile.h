// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <iosfwd>
#include <string>

#include "coff/Coff.h"
#include "map/MapSymbols.h"
#include "map/SectionInfo.h"
#include "map/SymbolInfo.h"
#include "support/AtomicFile.h"

namespace tarsil {

// The map listing of a finished executable: its sections, the use of program
// memory, and its symbols by name and by address.
class MapFile {
public:
  // The listing of `output` written to a file, in steps, so that it can be
  // made while the executable is written: open() and ready() report,
  // list() writes only to the map's own temporary file and reads only
  // `output` (gathering its symbols unless given, sorting them if not yet). The temporary file
  // replaces the map only when the caller commits file(), together with the
  // link's other outputs; a map never committed leaves nothing behind.
  class Pending {
  public:
    // `name` as the user gave it, for messages; `path` where it is written.
    Pending(const std::string& name, const std::string& path) : cFile(path), cName(name) {}
    // Creates the temporary file.
    void open();
    void list(const Coff& output, uint64_t progMemSize, MapSymbols* symbols = nullptr);
    // Whether the whole listing is in the temporary file; reports why not.
    bool ready();
    AtomicFile& file() { return cFile; }
    // The message of a listing that could not be put in place.
    std::string writeFailure() const { return "Could not write map file '" + cName + "'."; }

  private:
    AtomicFile cFile;
    std::string cName;
    std::string cCreated;
    bool cOpened = false;
    bool cWritten = false;
  };

  static std::string strType(Coff::ScnType type);
  static std::string strLocation(SectionInfo::Location location);
  static std::string strStorageClass(SymbolInfo::StorageClass storageClass);
  static std::string strKind(SymbolInfo::Kind kind);
};

}  // namespace tarsil
