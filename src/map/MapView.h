// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the JSON and HTML maps show of a finished link, in one plain record.
// It is filled in one place (the pass gatherMapView, and the call graph by
// captureCallGraph while placement still holds it) from the link's own
// results; its symbols are the text map's own. The writers read nothing
// else.
// Names view the link's tables, so a view lives no longer than its link.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "map/MapSymbols.h"
#include "map/MemoryUsage.h"

namespace tarsil {

struct MapView {
  // Indices into the lists below; kNone where there is nothing to point at.
  static constexpr uint32_t kNone = UINT32_MAX;

  struct Device {
    std::string_view name;  // empty when the table does not know the code
    uint32_t code = 0;
    std::string_view family;
    unsigned programBits = 0;
    unsigned dataBits = 0;
    unsigned programBytesPerLocation = 2;
  };

  // One stretch of a memory, in its locations.
  struct Stretch {
    uint32_t start;
    uint64_t locations;
  };

  struct Memory {
    std::string_view name;
    const char* kind;  // "CODEPAGE", "DATABANK", "SHAREBANK", "ACCESSBANK"
    bool program;
    uint32_t start;
    uint32_t end;
    bool isProtected;
    bool hasFill;
    std::string_view fill;  // as the command file wrote it
    uint64_t used;          // locations sections took
    uint64_t filled;        // locations fill sections took
    std::vector<Stretch> holes;  // what placement left, by address
  };

  struct Input {
    std::string_view file;     // the object, or the member's name
    std::string_view library;  // the library a member came from; empty for an object
  };

  // One input's part of an output section.
  struct Piece {
    uint32_t input;
    uint32_t address;  // first location
    uint64_t offset;   // bytes from the section's start
    uint64_t bytes;
  };

  struct Section {
    std::string_view name;
    UsageClass use;
    uint32_t memory;  // kNone when no declared memory holds it
    uint32_t address;
    uint64_t locations;
    uint64_t bytes;
    bool absolute;
    bool shared;
    bool access;
    bool overlay;
    // Its pieces, pieces[firstPiece, firstPiece + pieceCount), in load
    // order; none for the linker's own sections.
    uint32_t firstPiece = 0;
    uint32_t pieceCount = 0;
  };

  // The call graph of the functions whose locals may share memory, as it
  // stood when the activation records were placed.
  struct Function {
    std::string name;  // copied: the graph and the inputs' tables go first
    uint32_t input;
    std::string recordName;   // the activation record's section, as captured
    uint32_t record = kNone;  // the same, by index once the sections are known
    uint32_t group = kNone;   // the shared range its record lies in
    uint32_t interrupt = 0;   // 0, or the handler's class
    std::vector<uint32_t> calls;  // functions, by index, handlers included
  };

  // A range of data memory that activation records share: records of
  // functions that are never active together start at the same offsets.
  struct RecordGroup {
    uint32_t memory;
    uint32_t address;
    uint64_t locations;
    std::vector<std::pair<uint32_t, uint32_t>> records;  // (section, offset in locations)
  };

  std::string_view output;
  uint32_t created = 0;  // seconds since 1970, SOURCE_DATE_EPOCH when set
  Device device;
  std::vector<Memory> memories;
  std::vector<Input> inputs;
  std::vector<std::string_view> sourceFiles;
  std::vector<Section> sections;
  std::vector<Piece> pieces;
  // The symbols, as the text map lists them; null for none.
  const MapSymbols* symbols = nullptr;
  // Indices into sections by the symbols' section numbers, and into
  // sourceFiles by their files: kNone, or past the end, for none.
  std::vector<uint32_t> sectionOfNumber;
  std::vector<uint32_t> sourceOfFile;
  std::vector<Function> functions;
  std::vector<RecordGroup> groups;
};

}  // namespace tarsil
