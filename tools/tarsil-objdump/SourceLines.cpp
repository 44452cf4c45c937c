// SPDX-License-Identifier: Apache-2.0
#include "SourceLines.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string_view>

#include "CoffNames.h"
#include "Disassemble.h"
#include "support/TextFile.h"

namespace tarsil::tools {

namespace {

// Source files are read whole, once each; one larger than this is taken
// for something that is not source.
constexpr size_t kSourceLimit = size_t{64} << 20;

std::string_view baseName(std::string_view name) {
  const size_t cut = name.find_last_of("/\\");
  return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

bool isAbsolute(std::string_view name) {
  return name.starts_with('/') || name.starts_with('\\') || (name.size() > 1 && name[1] == ':');
}

// A source line as it stands, tabs and text beyond ASCII included; only
// control characters, which could upset the terminal, are spelled out.
std::string sourceText(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  std::string text;
  text.reserve(line.size());
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\t' || byte >= 0x80 || (byte >= 0x20 && byte != 0x7F)) text += c;
    else text += printable(std::string_view(&c, 1));
  }
  return text;
}

}  // namespace

struct SourceLines::Source {
  bool found = false;
  std::string text;
  std::vector<size_t> starts;  // where each line begins; line n at starts[n - 1]

  std::string_view line(uint32_t number) const {
    if (number == 0 || number > starts.size()) return {};
    const size_t begin = starts[number - 1];
    const size_t end = number < starts.size() ? starts[number] - 1 : text.size();
    std::string_view view = std::string_view(text).substr(begin, end - begin);
    if (view.ends_with('\n')) view.remove_suffix(1);
    return view;
  }
};

SourceLines::SourceLines(const Coff& coff, const DisasmOptions& options) : cCoff(coff), cOptions(options) {}

SourceLines::~SourceLines() = default;

void SourceLines::startSection(const std::string& name) {
  cEntries.clear();
  cNext = 0;
  auto found = cCoff.cLineInfo.find(name);
  if (found == cCoff.cLineInfo.end()) return;
  cEntries.reserve(found->second.size());
  for (const coff_lineno& l : found->second) cEntries.push_back({l.l_paddr, l.l_lnno, l.l_srcndx});
  // Lines at one address keep the order the file gives them.
  std::stable_sort(cEntries.begin(), cEntries.end(),
                   [](const Entry& a, const Entry& b) { return a.address < b.address; });
}

void SourceLines::take(uint64_t end, bool shown, std::ostream& os) {
  for (; due(end); ++cNext) {
    if (!shown) continue;
    const Entry& e = cEntries[cNext];
    const std::string& file = fileName(e.file);
    os << printable(file) << ':' << e.line << '\n';
    if (!cOptions.source) continue;
    const Source& s = source(file);
    if (s.found && e.line <= s.starts.size()) os << sourceText(s.line(e.line)) << '\n';
  }
}

// The name in the auxiliary record of the C_FILE symbol a line names; "??"
// when the index leads anywhere else.
const std::string& SourceLines::fileName(uint32_t symbol) {
  auto [it, added] = cFileNames.try_emplace(symbol, "??");
  if (!added) return it->second;
  const auto& table = cCoff.cSymTbl;
  const auto& kinds = cCoff.cSymKind;
  if (symbol + size_t{1} >= table.size() || symbol + size_t{1} >= kinds.size()) return it->second;
  if (kinds[symbol] != AuxKind::none || table[symbol].n_sclass != C_FILE || kinds[symbol + 1] != AuxKind::file)
    return it->second;
  std::optional<std::string> name = Coff::findName(getAux<aux_file>(table[symbol + 1]), cCoff.cStrTbl);
  if (name) it->second = std::move(*name);
  return it->second;
}

// The file as named, from the current directory, then in each source
// directory: under its name there, then under its last component, since an
// assembler often records the directory it ran in.
const SourceLines::Source& SourceLines::source(const std::string& name) {
  auto [it, added] = cSources.try_emplace(name);
  if (!added) return *it->second;
  it->second = std::make_unique<Source>();
  Source& s = *it->second;
  std::vector<std::string> candidates{name};
  if (!isAbsolute(name)) {
    for (const std::string& dir : cOptions.sourceDirs) {
      const std::string base = dir.empty() || dir.ends_with('/') ? dir : dir + '/';
      candidates.push_back(base + name);
      if (baseName(name) != name) candidates.push_back(base + std::string(baseName(name)));
    }
  }
  for (const std::string& candidate : candidates) {
    const TextFileRead read = readTextFile(candidate, kSourceLimit, s.text);
    if (read == TextFileRead::cannotOpen) continue;
    if (read != TextFileRead::ok) {
      std::fprintf(stderr, "tarsil-objdump: %s\n",
                   textFileProblem(read, "source file", printable(candidate), kSourceLimit).c_str());
      break;
    }
    s.found = true;
    s.starts.push_back(0);
    for (size_t at = s.text.find('\n'); at != std::string::npos; at = s.text.find('\n', at + 1))
      if (at + 1 < s.text.size()) s.starts.push_back(at + 1);
    if (s.text.empty()) s.starts.clear();
    return s;
  }
  return s;
}

}  // namespace tarsil::tools
