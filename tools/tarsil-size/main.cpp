// SPDX-License-Identifier: Apache-2.0
// tarsil-size: how much program and data memory objects, library members
// and executables take, counted as the linker counts its memory summary.
#include <cinttypes>
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "ToolFiles.h"
#include "map/MemoryUsage.h"
#include "support/ResponseFile.h"
#include "support/Usage.h"

namespace {

using tarsil::MemoryCount;
using tarsil::SectionUse;
using tarsil::UsageClass;

constexpr const char* kProgram = "tarsil-size";

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: tarsil-size [-A|-B] [--totals] [file...]\n"
               "  -B, --format=berkeley  one row per file: locations of program memory and bytes of\n"
               "                         data memory per section kind (the default)\n"
               "  -A, --format=sysv      one row per section, then the file's totals\n"
               "  -t, --totals           a last row with the sum of every column (-B)\n"
               "  --help                 show this help\n"
               "  --version              show the version\n"
               "  @<file>                read further arguments from <file>\n"
               "Objects, executables and libraries (one row per member, as lib.lib(member.o));\n"
               "without a file, a.out. Program memory counts locations (words, or bytes on\n"
               "Core16E), data memory bytes; fill sections are counted apart. In an executable\n"
               "each location counts once, so overlaid activation records count as the linker's\n"
               "memory summary counts them.\n"
               "Exit status: 0, 1 when a file could not be read, 2 for a usage mistake.\n");
}

// The Berkeley columns: the section kinds, then the totals.
enum Column { code, romdata, idata, udata, actrec, program, data, fill, kColumns };
constexpr std::array<const char*, kColumns> kHeadings = {"code",    "romdata", "idata", "udata",
                                                         "actrec",  "program", "data",  "fill"};

// The classes each column counts; the linker's own sections go with their
// kind (the initialized-data images and table are romdata, the stack udata).
constexpr std::array<uint32_t, kColumns> kClasses = {
    tarsil::usageBit(UsageClass::code) | tarsil::usageBit(UsageClass::unknown),
    tarsil::usageBit(UsageClass::romdata) | tarsil::usageBit(UsageClass::init),
    tarsil::usageBit(UsageClass::idata),
    tarsil::usageBit(UsageClass::udata) | tarsil::usageBit(UsageClass::stack),
    tarsil::usageBit(UsageClass::actrec),
    tarsil::kUsedClasses,
    tarsil::kUsedClasses,
    tarsil::kFillClasses,
};

bool programColumn(int column) { return column <= romdata || column == program || column == fill; }

struct Counts {
  std::string name;
  std::array<uint64_t, kColumns> values{};
};

// An executable's sections have their addresses: a location two sections
// share counts once. An object's all start at 0, each on its own.
Counts count(const tarsil::Coff& coff, const std::string& name) {
  const std::vector<SectionUse> uses = tarsil::sectionUses(coff);
  Counts counts{name, {}};
  const bool linked = tarsil::isExecutable(coff.cFileHdr);
  for (int column = 0; column < kColumns; ++column) {
    if (linked) {
      counts.values[column] = MemoryCount(uses, programColumn(column), kClasses[column]).total();
      continue;
    }
    for (const SectionUse& u : uses)
      if (tarsil::inProgramMemory(u.use) == programColumn(column) && (kClasses[column] & tarsil::usageBit(u.use)))
        counts.values[column] += u.locations;
  }
  return counts;
}

void berkeleyRow(const Counts& counts) {
  for (uint64_t value : counts.values) std::printf("%9" PRIu64 " ", value);
  std::printf("%s\n", counts.name.c_str());
}

void sysvListing(const tarsil::Coff& coff, const Counts& counts) {
  const std::vector<SectionUse> uses = tarsil::sectionUses(coff);
  int width = 7;
  for (const SectionUse& u : uses) width = std::max(width, static_cast<int>(u.name.size()));
  std::printf("%s:\n%-*s  %-7s  %10s  %10s  %10s\n", counts.name.c_str(), width, "section", "kind", "address", "bytes",
              "locations");
  for (const SectionUse& u : uses)
    std::printf("%-*.*s  %-7s  0x%08x  %10" PRIu64 "  %10" PRIu64 "\n", width, static_cast<int>(u.name.size()), u.name.data(),
                tarsil::usageClassName(u.use), u.start, u.bytes, u.locations);
  for (Column column : {program, data, fill})
    std::printf("%-*s  %-7s  %10s  %10s  %10" PRIu64 "\n", width, "total", kHeadings[column], "", "", counts.values[column]);
  std::printf("\n");
}

struct Options {
  bool sysv = false;
  bool totals = false;
  std::vector<std::string> files;
};

// -1 to go on; otherwise the exit status.
int parse(const std::vector<std::string>& args, Options& options) {
  for (const std::string& arg : args) {
    if (int status = tarsil::tools::answerInfoRequest(arg, kProgram, usage); status >= 0) return status;
    if (arg == "-A" || arg == "--format=sysv" || arg == "--format=SysV") options.sysv = true;
    else if (arg == "-B" || arg == "--format=berkeley") options.sysv = false;
    else if (arg == "-t" || arg == "--totals") options.totals = true;
    else if (arg.starts_with("--format")) return tarsil::usageMistake(kProgram, "unknown format in '" + arg + "'");
    else if (arg.size() > 1 && arg[0] == '-') return tarsil::usageMistake(kProgram, "unknown option '" + arg + "'");
    else options.files.push_back(arg);
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

  if (!options.sysv) {
    for (const char* heading : kHeadings) std::printf("%9s ", heading);
    std::printf("filename\n");
  }
  Counts totals{"(TOTALS)", {}};
  const bool ok = tarsil::tools::forEachObject(
      options.files, kProgram, [&](const tarsil::Coff& coff, const std::string& file, const std::string& member) {
        const Counts counts = count(coff, member.empty() ? file : file + "(" + member + ")");
        for (int column = 0; column < kColumns; ++column) totals.values[column] += counts.values[column];
        if (options.sysv) sysvListing(coff, counts);
        else berkeleyRow(counts);
      });
  if (options.totals && !options.sysv) berkeleyRow(totals);
  return ok ? 0 : 1;
}
