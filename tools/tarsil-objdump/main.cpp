// tarsil-objdump: prints an object, library or executable, part by part.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "Dump.h"
#include "coff/Archive.h"
#include "coff/Coff.h"
#include "device/Processor.h"
#include "support/Error.h"
#include "support/InputFile.h"

namespace {

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: tarsil-objdump [options] <file>...\n"
               "  --headers   file header and optional header\n"
               "  --sections  section headers\n"
               "  --data      raw data of each section\n"
               "  --relocs    relocation entries\n"
               "  --lines     line numbers\n"
               "  --syms      symbol table with auxiliary entries\n"
               "  --strings   string table\n"
               "  --archive   library members and symbol index\n"
               "  --all       every part (the default)\n"
               "  --verify    check the object's internal references too\n"
               "  --devices   list the processor table and stop\n");
}

// As the linker does, a ".lib" name is read as a library whatever it holds;
// any other file is one when it starts with the archive magic.
bool isLibrary(const std::string& name) {
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".lib") == 0) return true;
  tarsil::InputBytes bytes;
  if (!bytes.open(name)) return false;
  const uint8_t* magic = bytes.view(0, tarsil::SARMAG);
  return magic != nullptr && std::memcmp(magic, tarsil::ARMAG, tarsil::SARMAG) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  using tarsil::tools::DumpParts;
  DumpParts parts;
  bool verify = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--headers") parts.fileHeader = true;
    else if (arg == "--sections") parts.sections = true;
    else if (arg == "--data") parts.data = true;
    else if (arg == "--relocs") parts.relocs = true;
    else if (arg == "--lines") parts.lines = true;
    else if (arg == "--syms") parts.syms = true;
    else if (arg == "--strings") parts.strings = true;
    else if (arg == "--archive") parts.archive = true;
    else if (arg == "--all") parts = DumpParts::all();
    else if (arg == "--verify") verify = true;
    else if (arg == "--devices") {
      tarsil::listDevices(std::cout);
      return 0;
    }
    else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "tarsil-objdump: unknown option '%s'\n", arg.c_str());
      usage(stderr);
      return 1;
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) {
    usage(stderr);
    return 1;
  }
  if (!parts.any()) parts = DumpParts::all();

  // The readers report through the linker's own reporter, so a bad file
  // shows exactly the message the linker would give.
  bool ok = true;
  for (const std::string& name : files) {
    std::cout << "file: " << name << '\n' << std::flush;
    if (isLibrary(name)) {
      std::unique_ptr<tarsil::Archive> archive = tarsil::Archive::make(name);
      if (!archive) {
        ok = false;
        continue;
      }
      std::cout << "format: library\n";
      tarsil::tools::dumpArchive(*archive, parts, std::cout);
      if (verify)
        for (const auto& member : archive->cMembers) ok = member->verify() && ok;
    } else {
      std::unique_ptr<tarsil::Coff> coff = tarsil::Coff::make(name);
      if (!coff) {
        ok = false;
        continue;
      }
      std::cout << "format: " << (tarsil::isExecutable(coff->cFileHdr) ? "executable" : "object") << '\n';
      tarsil::tools::dumpObject(*coff, parts, std::cout);
      std::cout << std::flush;
      if (verify) ok = coff->verify() && ok;
    }
    std::cout << std::flush;
  }
  std::cout << std::flush;
  // A reader that complained but still gave an object (an older layout, a
  // duplicate definition in a library) makes the run fail as a link would.
  return ok && tarsil::Error::errors() == 0 ? 0 : 1;
}
