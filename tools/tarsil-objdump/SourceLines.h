// SPDX-License-Identifier: Apache-2.0
#pragma once
// The line numbers of a section as the disassembly meets them: "file:line"
// before the instructions a line covers and, when its file can be found,
// the line's text.
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "coff/Coff.h"

namespace tarsil::tools {

struct DisasmOptions;

class SourceLines {
public:
  SourceLines(const Coff& coff, const DisasmOptions& options);
  ~SourceLines();
  SourceLines(const SourceLines&) = delete;
  SourceLines& operator=(const SourceLines&) = delete;

  // The lines of one section, from its first address on.
  void startSection(const std::string& name);
  // True when lines begin before `end` that take() has not handed out.
  bool due(uint64_t end) const { return cNext < cEntries.size() && cEntries[cNext].address < end; }
  // Writes those lines (or, when not `shown`, only passes them).
  void take(uint64_t end, bool shown, std::ostream& os);

private:
  struct Entry {
    uint32_t address;
    uint32_t line;
    uint32_t file;  // symbol index of the file's C_FILE symbol
  };
  struct Source;

  const std::string& fileName(uint32_t symbol);
  const Source& source(const std::string& name);

  const Coff& cCoff;
  const DisasmOptions& cOptions;
  std::vector<Entry> cEntries;
  size_t cNext = 0;
  std::map<uint32_t, std::string> cFileNames;
  std::map<std::string, std::unique_ptr<Source>> cSources;
};

}  // namespace tarsil::tools
