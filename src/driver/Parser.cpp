// SPDX-License-Identifier: Apache-2.0
#include "driver/Parser.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "device/DeviceFile.h"
#include "support/Error.h"
#include "support/FileInfo.h"
#include "support/Strings.h"
#include "support/Threads.h"
#include "support/Version.h"

namespace tarsil {

void Parser::usage(const std::string& message) {
  Error::report(Error::error, "Parser::usage()", message, false);
  Error::terminate(1);
}

void Parser::printHelpScreen() {
  static const char* const lines[] = {
      "Syntax:   tarsil { cmdfile | [objfile] | [libfile] | [option] } ...",
      "  'cmdfile' is the name of a linker command file.",
      "       All linker command files must have the extension '.lkr'",
      "  'objfile' is the name of an assembler or compiler generated object file.",
      "       All object files must have the extension '.o'.",
      "  'libfile' is the name of a librarian created library file.",
      "       All library files must have the extension '.lib'.",
      "  'option'  is a linker command line option described below.",
      "",
      "Linker command line options:",
      "   /o <filename>   : specify output file 'filename', default is 'a.out'",
      "   /m <filename>   : create map file 'filename'",
      "   /l <pathlist>   : list of directories to search for library/object files",
      "   /k <pathlist>   : list of directories to search for linker command files",
      "   /n <length>     : number of lines per listing page (0 = no pagination)",
      "   /h, /?          : show this help screen",
      "   /a <hexformat>  : specify format of hex programming file",
      "                     valid formats are INHX8M, INHX8S, INHX32",
      "   /d              : don't create listing file",
      "   /q              : quiet mode operation (display no warnings or errors)",
      "   /v              : verbose mode operation (display all warnings and errors)",
  };
  for (const char* line : lines) std::printf("%s\n", line);
}

void Parser::showHelp() {
  printHelpScreen();
  std::fflush(stdout);
  // -1, as 255 on every system (Windows would pass the whole int on).
  std::exit(255);
}

namespace {

// Long options that take a value in the next argument when none follows '='.
bool takesValue(const std::string& option) { return option == "--depfile" || option == "--device-file"; }

}  // namespace

Parser::InfoRequest Parser::findInfoRequest(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") return InfoRequest::help;
    if (arg == "--version") return InfoRequest::version;
    bool shortWithValue = arg.size() == 2 && (arg[0] == '-' || arg[0] == '/') &&
                          std::string("omnalkOMNALK").find(arg[1]) != std::string::npos;
    if (shortWithValue || takesValue(arg)) ++i;
  }
  return InfoRequest::none;
}

void Parser::showInfo(InfoRequest request) {
  if (request == InfoRequest::version) {
    std::printf("%s\n", Version::linker());
  } else {
    // The screen above is the one the short switches show; the additions
    // follow it, so that the long options are found where the others are.
    printHelpScreen();
    static const char* const lines[] = {
        "",
        "Long options and response files:",
        "   --depfile <filename>      : write the files the link read as a make rule",
        "   --print-memory-usage      : show how much of each memory the link used",
        "   --threads=<n>             : use at most n threads (1: none beside the main one)",
        "   --device-file <filename>  : add the devices listed in 'filename'",
        "   --help                    : show this help screen",
        "   --version                 : show the version",
        "   @<filename>               : read further arguments from 'filename'",
    };
    for (const char* line : lines) std::printf("%s\n", line);
  }
  std::fflush(stdout);
  std::exit(0);
}

void Parser::parseLongOption(const std::string& arg, int& i, int argc, char** argv) {
  size_t eq = arg.find('=');
  std::string option = arg.substr(0, eq);
  auto value = [&](const char* what) {
    std::string v;
    if (eq != std::string::npos) v = arg.substr(eq + 1);
    else if (i + 1 < argc) v = argv[++i];
    if (v.empty() || !isFile(v)) usage(option + " requires " + what);
    return v;
  };
  if (option == "--depfile") {
    cDepFile = value("<filename>");
  } else if (option == "--device-file") {
    std::string name = value("<filename>");
    std::vector<std::string> warnings;
    std::string error;
    bool loaded = loadDeviceFile(name, warnings, error);
    for (const std::string& warning : warnings) Error::report(Error::warning, "Parser::parse()", warning, false);
    if (!loaded) usage(error);
    cDeviceFiles.push_back(name);
  } else if (option == "--threads") {
    // The outputs do not depend on it: only how long the link takes.
    std::string count = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
    if (!isNum(count) || count.size() > 4 || std::stoul(count) == 0) usage("--threads requires a number from 1");
    setThreadCount(static_cast<unsigned>(std::stoul(count)));
  } else if (option == "--print-memory-usage" && eq == std::string::npos) {
    cPrintMemoryUsage = true;
  } else if ((option == "--help" || option == "--version") && eq == std::string::npos) {
    showInfo(option == "--help" ? InfoRequest::help : InfoRequest::version);
  } else {
    usage("unknown switch: " + arg);
  }
}

bool Parser::isDir(const std::string& s) { return !DirInfo(s).name().empty(); }

bool Parser::isFile(const std::string& s) { return !FileInfo(s).name().empty(); }

bool Parser::isNum(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

static bool hasExtension(const std::string& s, const char* wanted) {
  FileInfo info(s);
  if (info.name().empty()) return false;
  const std::string& ext = info.ext();
  size_t i = 0;
  for (; i < ext.size() && wanted[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(ext[i])) != wanted[i]) return false;
  return i == ext.size() && wanted[i] == '\0';
}

bool Parser::isObjectFile(const std::string& s) { return hasExtension(s, ".o"); }
bool Parser::isLibraryFile(const std::string& s) { return hasExtension(s, ".lib"); }
bool Parser::isCmdFile(const std::string& s) { return hasExtension(s, ".lkr"); }

static std::vector<std::string> pathList(const std::string& value, const std::string& message) {
  std::list<std::string> parts = split(value, ';');
  if (parts.empty()) Parser::usage(message);
  for (const std::string& dir : parts)
    if (!Parser::isDir(dir)) Parser::usage(message);
  return {parts.begin(), parts.end()};
}

void Parser::parse(int argc, char** argv, ParserClient& client) {
  bool sawArgument = false;
  bool sawCmdFile = false;
  std::string error;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    sawArgument = true;

    if (arg[0] != '-' && arg[0] != '/') {
      if (isObjectFile(arg)) {
        if (!client.AddObjectFile(arg, error)) usage(error);
      } else if (isLibraryFile(arg)) {
        if (!client.AddLibraryFile(arg, error)) usage(error);
      } else if (isCmdFile(arg)) {
        parseCmdFile(arg, client);
        sawCmdFile = true;
      } else {
        usage("unrecognized input: " + arg);
      }
      continue;
    }

    // Long options are additions: today's switches are one letter, so a
    // second '-' never named one.
    if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
      parseLongOption(arg, i, argc, argv);
      continue;
    }

    // A lone "-" or "/" has no letter; it falls through to the unknown switch.
    char letter = arg.size() > 1 ? static_cast<char>(std::tolower(static_cast<unsigned char>(arg[1]))) : '\0';
    if (arg.size() > 1) arg[1] = letter;

    auto value = [&]() -> std::string {
      if (arg.size() > 2) return arg.substr(2);
      if (i + 1 < argc) return argv[++i];
      return std::string();
    };

    switch (letter) {
    case 'o':
    case 'm': {
      std::string name = value();
      if (name.empty() || !isFile(name))
        usage(letter == 'o' ? "-o switch requires <filename>" : "-m switch requires <filename>");
      bool ok = letter == 'o' ? client.AddOutputFile(name, error) : client.AddMapFile(name, error);
      if (!ok) usage(error);
      break;
    }
    case 'n':
      if (!isNum(value())) usage("-n switch requires <length>");
      break;
    case 'a': {
      std::string format = value();
      if (format != "INHX8M" && format != "INHX8S" && format != "INHX32") usage("-a switch requires <hexformat>");
      break;
    }
    case 'l':
      for (const std::string& dir : pathList(value(), "-l switch requires <pathlist>"))
        if (!client.AddLibPath(dir, error)) usage(error);
      break;
    case 'k':
      for (const std::string& dir : pathList(value(), "-k switch requires <pathlist>")) cCmdFileDirs.push_back(dir);
      break;
    case 'q':
      Error::quiet(true);
      break;
    case 'v':
      Error::verbose(true);
      break;
    case 's':
      if (!client.AddStrip(true, error)) usage(error);
      break;
    case 'h':
    case '?':
      showHelp();
    case 'd':
      break;
    default:
      usage("unknown switch: " + arg);
    }
  }

  if (!sawArgument) showHelp();
  if (!sawCmdFile) usage("linker command file required.");
}

}  // namespace tarsil
