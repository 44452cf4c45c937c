// SPDX-License-Identifier: Apache-2.0
// tarsil-nm: the symbols of objects, library members and executables, one a
// line: value, a letter for where the symbol lives, name.
#include <cinttypes>
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "CoffNames.h"
#include "ToolFiles.h"
#include "map/MemoryUsage.h"
#include "support/ResponseFile.h"
#include "support/Usage.h"

namespace {

constexpr const char* kProgram = "tarsil-nm";

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: tarsil-nm [-g] [-u] [-n|-p] [-S] [-A] [file...]\n"
               "  -g, --extern-only     external symbols only\n"
               "  -u, --undefined-only  undefined symbols only\n"
               "  -n, --numeric-sort    in order of value (undefined symbols first)\n"
               "  -p, --no-sort         in the order of the symbol table\n"
               "  -S, --print-size      the size of each defined symbol after its value: the\n"
               "                        locations up to the next symbol of its section or the\n"
               "                        section's end\n"
               "  -A, --print-file-name each line starts with its file (lib.lib:member.o:)\n"
               "  --help                show this help\n"
               "  --version             show the version\n"
               "  @<file>               read further arguments from <file>\n"
               "Short options go together (-gn). Without -n or -p, symbols are in name order.\n"
               "Without a file, a.out. Letters, upper case for external symbols and lower case\n"
               "for the file's own: T code, R romdata, D initialized data, B uninitialized data\n"
               "and activation records, A absolute, U undefined (a reference; the format has no\n"
               "common symbols), ? a section of no known kind.\n"
               "Exit status: 0, 1 when a file could not be read, 2 for a usage mistake.\n");
}

struct Options {
  bool externOnly = false;
  bool undefinedOnly = false;
  enum class Order { name, value, table } order = Order::name;
  bool size = false;
  bool fileNames = false;
  std::vector<std::string> files;
};

struct Symbol {
  std::string name;
  uint32_t value;
  uint64_t size;
  char letter;
  bool hasSize;
  size_t index;  // in the symbol table
  bool external;
};

char sectionLetter(const tarsil::Coff& coff, int number) {
  auto name = coff.cScnNum.find(number);
  if (name == coff.cScnNum.end()) return '?';
  auto hdr = coff.cScnHdr.find(name->second);
  if (hdr == coff.cScnHdr.end()) return '?';
  switch (tarsil::Coff::getScnType(hdr->second)) {
    case tarsil::Coff::code:
      return 't';
    case tarsil::Coff::romdata:
      return 'r';
    case tarsil::Coff::idata:
      return 'd';
    case tarsil::Coff::udata:
    case tarsil::Coff::actrec:
      return 'b';
    default:
      return '?';
  }
}

// The symbols a listing shows: those of sections, absolute ones and
// references, as the linker reads the table (stepping over each symbol's
// auxiliary slots); the debugging entries (files, blocks) are left out.
std::vector<Symbol> collect(const tarsil::Coff& coff) {
  std::vector<Symbol> symbols;
  const auto& table = coff.cSymTbl;
  // An executable keeps each input's references beside the definitions
  // they were bound to: those are no longer undefined.
  std::set<std::string_view> defined;
  if (tarsil::isExecutable(coff.cFileHdr))
    for (size_t i = 0; i < table.size(); i += size_t{table[i].n_numaux} + 1)
      if (tarsil::Coff::isExtDefinition(table[i]))
        if (auto name = tarsil::Coff::nameView(table[i], coff.cStrTbl)) defined.insert(*name);
  for (size_t i = 0; i < table.size(); i += size_t{table[i].n_numaux} + 1) {
    const tarsil::syment& s = table[i];
    if (s.n_sclass != tarsil::C_EXT && s.n_sclass != tarsil::C_STAT && s.n_sclass != tarsil::C_LABEL) continue;
    if (s.n_scnum < -1) continue;
    if (tarsil::Coff::isExtReference(s) && !defined.empty()) {
      auto name = tarsil::Coff::nameView(s, coff.cStrTbl);
      if (name && defined.count(*name)) continue;
    }
    const bool external = s.n_sclass == tarsil::C_EXT;
    char letter = s.n_scnum == 0 ? (external ? 'U' : '?') : s.n_scnum == -1 ? 'a' : sectionLetter(coff, s.n_scnum);
    if (external && letter != '?') letter = static_cast<char>(letter & ~0x20);
    std::optional<std::string_view> name = tarsil::Coff::nameView(s, coff.cStrTbl);
    symbols.push_back({name ? tarsil::tools::printable(*name) : "<no name>", s.n_value, 0, letter, false, i, external});
  }
  return symbols;
}

// A defined symbol reaches the next symbol of its section, or the section's
// end, in locations.
void measure(const tarsil::Coff& coff, std::vector<Symbol>& symbols) {
  std::map<std::string_view, uint64_t> ends;
  for (const tarsil::SectionUse& u : tarsil::sectionUses(coff)) ends[u.name] = uint64_t{u.start} + u.locations;
  std::map<int, std::vector<Symbol*>> bySection;
  for (Symbol& s : symbols) {
    const int number = coff.cSymTbl[s.index].n_scnum;
    if (number > 0) bySection[number].push_back(&s);
  }
  for (auto& [number, list] : bySection) {
    auto name = coff.cScnNum.find(number);
    const uint64_t end = name == coff.cScnNum.end() || !ends.count(name->second) ? 0 : ends[name->second];
    std::stable_sort(list.begin(), list.end(), [](const Symbol* a, const Symbol* b) { return a->value < b->value; });
    for (size_t k = 0; k < list.size(); ++k) {
      uint64_t next = end;
      for (size_t j = k + 1; j < list.size(); ++j)
        if (list[j]->value > list[k]->value) {
          next = std::min<uint64_t>(next, list[j]->value);
          break;
        }
      list[k]->size = next > list[k]->value ? next - list[k]->value : 0;
      list[k]->hasSize = true;
    }
  }
}

void list(const tarsil::Coff& coff, const std::string& name, bool heading, const Options& options) {
  std::vector<Symbol> symbols = collect(coff);
  // Sizes reach the next symbol, listed or not.
  if (options.size) measure(coff, symbols);
  std::erase_if(symbols, [&](const Symbol& s) {
    return (options.externOnly && !s.external) || (options.undefinedOnly && s.letter != 'U');
  });
  if (options.order == Options::Order::name)
    std::stable_sort(symbols.begin(), symbols.end(), [](const Symbol& a, const Symbol& b) { return a.name < b.name; });
  if (options.order == Options::Order::value)
    std::stable_sort(symbols.begin(), symbols.end(), [](const Symbol& a, const Symbol& b) {
      const bool aUndefined = a.letter == 'U';
      const bool bUndefined = b.letter == 'U';
      if (aUndefined != bUndefined) return aUndefined;
      return a.value != b.value ? a.value < b.value : a.name < b.name;
    });
  if (heading && !options.fileNames) std::printf("\n%s:\n", name.c_str());
  for (const Symbol& s : symbols) {
    if (options.fileNames) std::printf("%s: ", name.c_str());
    if (s.letter == 'U') std::printf("%8s", "");
    else std::printf("%08x", s.value);
    if (options.size) {
      if (s.hasSize) std::printf(" %08" PRIx64, s.size);
      else std::printf(" %8s", "");
    }
    std::printf(" %c %s\n", s.letter, s.name.c_str());
  }
}

bool takeLetter(char letter, Options& options) {
  switch (letter) {
    case 'g': options.externOnly = true; return true;
    case 'u': options.undefinedOnly = true; return true;
    case 'n': options.order = Options::Order::value; return true;
    case 'p': options.order = Options::Order::table; return true;
    case 'S': options.size = true; return true;
    case 'A': options.fileNames = true; return true;
    default: return false;
  }
}

// -1 to go on; otherwise the exit status.
int parse(const std::vector<std::string>& args, Options& options) {
  static const std::map<std::string_view, char> longNames = {
      {"--extern-only", 'g'}, {"--undefined-only", 'u'}, {"--numeric-sort", 'n'},
      {"--no-sort", 'p'},     {"--print-size", 'S'},     {"--print-file-name", 'A'}};
  for (const std::string& arg : args) {
    if (int status = tarsil::tools::answerInfoRequest(arg, kProgram, usage); status >= 0) return status;
    if (auto found = longNames.find(arg); found != longNames.end()) {
      takeLetter(found->second, options);
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
      for (char letter : std::string_view(arg).substr(1))
        if (!takeLetter(letter, options))
          return tarsil::usageMistake(kProgram, "unknown option '-" + std::string(1, letter) + "'");
    } else if (arg.size() > 1 && arg[0] == '-') {
      return tarsil::usageMistake(kProgram, "unknown option '" + arg + "'");
    } else {
      options.files.push_back(arg);
    }
  }
  if (options.files.empty()) options.files.emplace_back("a.out");
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  if (!tarsil::expandArguments(argc, argv, kProgram, args)) return 1;
  Options options;
  if (int status = parse(args, options); status >= 0) return status;

  const bool ok = tarsil::tools::forEachObject(
      options.files, kProgram, [&](const tarsil::Coff& coff, const std::string& file, const std::string& member) {
        if (member.empty()) list(coff, file, options.files.size() > 1, options);
        else list(coff, file + ":" + member, true, options);
      });
  return ok ? 0 : 1;
}
