// SPDX-License-Identifier: Apache-2.0
// tarsil-objdump: prints an object, library or executable, part by part.
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "Dump.h"
#include "ToolFiles.h"
#include "coff/Archive.h"
#include "coff/Coff.h"
#include "device/DeviceFile.h"
#include "device/Processor.h"
#include "support/Error.h"
#include "support/ResponseFile.h"
#include "support/Usage.h"

namespace {

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: tarsil-objdump [options] <file>...\n"
               "  --headers   file header and optional header\n"
               "  --sections  section headers\n"
               "  --data      raw data of each section\n"
               "  --relocs, -r  relocation entries (with -d, beside each instruction)\n"
               "  --lines     line numbers\n"
               "  --syms, -t  symbol table with auxiliary entries\n"
               "  --strings   string table\n"
               "  --archive   library members and symbol index\n"
               "  --all       every part (the default)\n"
               "  --verify    check the object's internal references too\n"
               "  -d, --disassemble      code as instructions, romdata as data words\n"
               "  -D, --disassemble-all  every section with data as instructions\n"
               "  --start-address=<a>, --stop-address=<a>\n"
               "              disassemble program addresses from <a>, and below <a>\n"
               "  --no-show-raw-insn     disassemble without the instruction words\n"
               "  -l, --line-numbers     disassemble with file:line before each line's instructions\n"
               "  -S, --source           the same with each source line, where its file is found\n"
               "  --source-dir <dir>     look for source files in <dir> too (may be repeated)\n"
               "  short options go together: -dr, -dlS\n"
               "  --devices   list the processor table and stop\n"
               "  --device-file <file>  add the devices listed in <file> to the table\n"
               "  -h, --help  show this help\n"
               "  --version   show the version\n"
               "  --          every later argument is a file\n"
               "  @<file>     read further arguments from <file>\n"
               "Exit status: 0 shown; 1 a file could not be read or failed a check; 2 a\n"
               "mistake on the command line.\n");
}

// A group of short options ("-dr"), as the usual tools take them; false,
// with nothing taken, when any letter is unknown.
bool takeShortOptions(const std::string& arg, tarsil::tools::DumpParts& parts, bool& relocs) {
  if (arg.size() < 3 || arg[0] != '-' || arg[1] == '-') return false;
  tarsil::tools::DumpParts taken = parts;
  bool takenRelocs = relocs;
  for (char letter : std::string_view(arg).substr(1)) {
    if (letter == 'r') takenRelocs = true;
    else if (letter == 't') taken.syms = true;
    else if (!tarsil::tools::takeDisasmLetter(letter, taken.disasm)) return false;
  }
  parts = taken;
  relocs = takenRelocs;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using tarsil::tools::DumpParts;
  DumpParts parts;
  bool verify = false;
  std::vector<std::string> files;
  bool listTable = false;
  // -r: the relocations dump, unless the disassembly shows them already.
  bool shortRelocs = false;
  std::vector<std::string> args;
  if (!tarsil::expandArguments(argc, argv, "tarsil-objdump", args)) return 1;
  // The expanded arguments as an argument vector, for the option parsers
  // that take one.
  std::vector<char*> argp;
  for (std::string& arg : args) argp.push_back(arg.data());
  const int argCount = static_cast<int>(argp.size());
  for (int i = 0; i < argCount; ++i) {
    const std::string arg = argp[i];
    if (arg == "--headers") parts.fileHeader = true;
    else if (arg == "--sections") parts.sections = true;
    else if (arg == "--data") parts.data = true;
    else if (arg == "--relocs") parts.relocs = true;
    else if (arg == "-r") shortRelocs = true;
    else if (arg == "-t") parts.syms = true;
    else if (takeShortOptions(arg, parts, shortRelocs)) continue;
    else if (arg == "--lines") parts.lines = true;
    else if (arg == "--syms") parts.syms = true;
    else if (arg == "--strings") parts.strings = true;
    else if (arg == "--archive") parts.archive = true;
    else if (arg == "--all") parts.selectAll();
    else if (arg == "--verify") verify = true;
    else if (auto taken = tarsil::tools::parseDisasmOption(argCount, argp.data(), i, parts.disasm);
             taken != tarsil::tools::OptionResult::notMine) {
      if (taken == tarsil::tools::OptionResult::bad) return 2;
    }
    else if (arg == "--devices") listTable = true;
    else if (arg == "--device-file" || arg.rfind("--device-file=", 0) == 0) {
      // The table grows before any file is read, wherever the option stands.
      std::string name = arg.size() > 13 ? arg.substr(14) : i + 1 < argCount ? argp[++i] : std::string();
      if (name.empty()) return tarsil::usageMistake("tarsil-objdump", "option '--device-file' needs a file name");
      if (!tarsil::loadDeviceFile(name, "tarsil-objdump", std::cerr)) return 1;
    } else if (arg == "--version") {
      std::printf("%s\n", tarsil::versionLine("tarsil-objdump").c_str());
      return 0;
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else if (arg == "--") {
      files.insert(files.end(), argp.begin() + i + 1, argp.end());
      break;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return tarsil::usageMistake("tarsil-objdump", "unknown option '" + arg + "'");
    } else {
      files.push_back(arg);
    }
  }
  if (listTable) {
    tarsil::listDevices(std::cout);
    return 0;
  }
  if (files.empty()) return tarsil::usageMistake("tarsil-objdump", "no file given");
  // Line numbers and source are shown in the disassembly, which they ask for.
  if (parts.disasm.lines) parts.disasm.enabled = true;
  if (shortRelocs && !parts.disasm.enabled) parts.relocs = true;
  if (!parts.any()) parts = DumpParts::all();

  // The readers report through the linker's own reporter, so a bad file
  // shows exactly the message the linker would give.
  bool ok = true;
  for (const std::string& name : files) {
    std::cout << "file: " << name << '\n' << std::flush;
    if (tarsil::tools::isLibraryFile(name)) {
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
