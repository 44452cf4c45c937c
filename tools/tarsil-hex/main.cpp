// SPDX-License-Identifier: Apache-2.0
// tarsil-hex: turns a linked executable into the programming file that a
// device programmer reads.
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Hex.h"
#include "coff/Coff.h"
#include "device/DeviceFile.h"
#include "support/Error.h"
#include "support/FileIdentity.h"
#include "support/FileInfo.h"
#include "support/ResponseFile.h"
#include "support/Usage.h"

namespace {

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: tarsil-hex [-a INHX8M|INHX8S|INHX32] [-o <file>] <executable>\n"
               "  -a INHX8M  one file, byte addresses up to 64 KiB (the default while every\n"
               "             address fits)\n"
               "  -a INHX8S  two files: <stem>.hxl with the low bytes and <stem>.hxh with the\n"
               "             high bytes of each 16-bit word\n"
               "  -a INHX32  one file with extended linear addresses (the default when an\n"
               "             address is beyond 64 KiB)\n"
               "  -o <file>  output file (default: the executable's name with .hex; for\n"
               "             INHX8S the pair is named after its stem)\n"
               "  --device-file <file>  add the devices listed in <file> to the table\n"
               "  -h, -?, --help  show this help\n"
               "  --version  show the version\n"
               "  --         the next argument is the executable, whatever its name\n"
               "  @<file>    read further arguments from <file>\n"
               "A value may also follow its letter directly: -aINHX32, -oout.hex.\n"
               "Exit status: 0 written; 1 the executable or a device file was refused, or\n"
               "an output could not be written; 2 a mistake on the command line.\n");
}

int mistake(const std::string& message) { return tarsil::usageMistake("tarsil-hex", message); }

}  // namespace

int main(int argc, char** argv) {
  using namespace tarsil;
  std::optional<hex::Format> format;
  std::string output;
  std::string input;
  std::vector<std::string> args;
  if (!expandArguments(argc, argv, "tarsil-hex", args)) return 1;
  bool filesOnly = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!filesOnly && arg == "--") {
      filesOnly = true;
      continue;
    }
    if (filesOnly) {
      if (!input.empty()) return mistake("only one executable at a time");
      input = hostPath(arg);
      continue;
    }
    if (arg == "-h" || arg == "--help" || arg == "-?") {
      usage(stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("%s\n", versionLine("tarsil-hex").c_str());
      return 0;
    }
    if (arg == "--device-file" || arg.rfind("--device-file=", 0) == 0) {
      std::string name = arg.size() > 13 ? arg.substr(14) : i + 1 < args.size() ? args[++i] : std::string();
      if (name.empty()) return mistake("option '--device-file' needs a file name");
      if (!loadDeviceFile(name, "tarsil-hex", std::cerr)) return 1;
      continue;
    }
    char letter = arg.size() >= 2 && arg[0] == '-' ? arg[1] : '\0';
    if (letter == 'a' || letter == 'A' || letter == 'o' || letter == 'O') {
      // As on the linker's command line, the value may follow the letter
      // directly ("-aINHX32") or come as the next argument.
      std::string value;
      if (arg.size() > 2) {
        value = arg.substr(2);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return mistake("option '" + arg + "' needs a value");
      }
      if (letter == 'o' || letter == 'O') {
        if (value.empty()) return mistake("option '" + arg + "' needs a file name");
        // Names may use '\' between directories, as the linker's do.
        output = hostPath(value);
      } else if (!(format = hex::parseFormat(value))) {
        return mistake("unknown format '" + value + "'");
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return mistake("unknown option '" + arg + "'");
    } else if (!input.empty()) {
      return mistake("only one executable at a time");
    } else {
      input = hostPath(arg);
    }
  }
  if (input.empty()) return mistake("no executable given");

  std::unique_ptr<Coff> coff = Coff::make(input);
  if (!coff) return 1;
  hex::Program program;
  if (!hex::extractProgram(*coff, program)) return 1;
  std::optional<hex::Format> chosen = hex::chooseFormat(format, program);
  if (!chosen) return 1;

  FileSet inputs;
  inputs.add(input);
  std::vector<std::string> names = hex::outputNames(*chosen, input, output);
  for (const std::string& name : names)
    if (inputs.find(name)) {
      Error::report(Error::error, "tarsil-hex", "Output file '" + name + "' would replace the executable.", false);
      return 1;
    }
  if (!hex::writeFiles(hex::render(program, *chosen, names))) return 1;
  // A reader that complained but went on (an older layout) fails the run.
  return Error::errors() == 0 ? 0 : 1;
}
