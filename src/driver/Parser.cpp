// SPDX-License-Identifier: Apache-2.0
#include "driver/Parser.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "device/DeviceFile.h"
#include "support/Error.h"
#include "support/FileInfo.h"
#include "support/Platform.h"
#include "support/Strings.h"
#include "support/Threads.h"
#include "support/Usage.h"
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

void Parser::usageMistake(const std::string& message) { Error::leave(tarsil::usageMistake("tarsil", message)); }

namespace {

// Long options that take a value in the next argument when none follows '='.
bool takesValue(const std::string& option) {
  return option == "--depfile" || option == "--device-file" || option == "--threads" || option == "--diagnostics" ||
         option == "--map-json" || option == "--map-html";
}

// Calls `visit` with each argument that stands as a switch, and the one
// after it (null at the end), skipping the values of the switches that take
// one and stopping at "--".
template <class Visit>
void forEachSwitch(int argc, char** argv, Visit visit) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] ? argv[i] : "";
    if (arg == "--") return;
    if (arg.empty() || (arg[0] != '-' && arg[0] != '/') || Parser::isAbsoluteName(arg)) continue;
    visit(arg, i + 1 < argc ? argv[i + 1] : nullptr);
    bool shortWithValue = arg.size() == 2 && std::string("omnalkOMNALK").find(arg[1]) != std::string::npos;
    if (shortWithValue || takesValue(arg)) ++i;
  }
}

const char* const kLongHelp[] = {
    "Usage: tarsil [options] cmdfile.lkr [objfile.o ...] [libfile.lib ...]",
    "",
    "Links relocatable objects (.o) and libraries (.lib) into one absolute",
    "executable, placed as the linker command files (.lkr) declare. Command files",
    "are read where they stand on the command line.",
    "",
    "Switches (introduced by '-' or '/', the letter in either case; a value is",
    "attached, as in -omain.cof, or is the next argument):",
    "  -o <filename>         output file, default 'a.out'",
    "  -m <filename>         write a map file",
    "  -l <pathlist>         directories (separated by ';') to search for",
    "                        libraries and objects",
    "  -k <pathlist>         directories (separated by ';') to search for linker",
    "                        command files",
    "  -q                    quiet: print nothing, not even errors",
    "  -v                    verbose: print warnings and the warning count too",
    "  -s                    strip the symbol table from the executable",
    "  -h, -?                the short help screen (exit status 255)",
    "  -n <length>           accepted for compatibility; no effect",
    "  -a <hexformat>        accepted for compatibility (INHX8M, INHX8S or",
    "                        INHX32); no effect",
    "  -d                    accepted for compatibility; no effect",
    "",
    "Long options (a value follows '=' or is the next argument):",
    "  --depfile <filename>  also write a make rule naming every file the link read",
    "  --diagnostics <style> classic (the default): messages on standard output;",
    "                        gnu: one line per error or warning on standard",
    "                        error, warnings always, nothing else",
    "  --print-memory-usage  show how much of each declared memory the link used",
    "  --map-json <filename> also write the map as JSON (schema tarsil-map/1)",
    "  --map-html <filename> also write a page that draws the map, for a browser",
    "  --device-file <filename>",
    "                        add the devices the file lists to the processor table",
    "  --threads <n>         use at most n threads; 1 links on one thread",
    "  --help                show this help",
    "  --version             show the version",
    "  --                    every later argument is a file name",
    "  @<filename>           the arguments the file holds, in its place",
    "",
    "An argument that starts with '/' and names an existing file or directory is",
    "a file name, not a switch.",
    "",
    "Exit status: 0 linked (warnings may have been counted); 1 the link failed, or",
    "the command line or a command file was wrong; 2 a mistake in a long option;",
    "255 a fatal error, or the short help screen.",
    "",
    "Environment:",
    "  SOURCE_DATE_EPOCH     a time in seconds from 1970 to date the executable and",
    "                        the map with, so that two links give the same bytes",
    "  TARSIL_THREADS        the most threads, as --threads",
};

}  // namespace

bool Parser::isAbsoluteName(const std::string& arg) {
  if (arg.size() < 2 || arg[0] != '/') return false;
  return platform::fileStatus(arg).kind != platform::Kind::missing;
}

Parser::InfoRequest Parser::findInfoRequest(int argc, char** argv) {
  InfoRequest request = InfoRequest::none;
  forEachSwitch(argc, argv, [&request](const std::string& arg, const char*) {
    if (request != InfoRequest::none) return;
    if (arg == "--help") request = InfoRequest::help;
    if (arg == "--version") request = InfoRequest::version;
  });
  return request;
}

bool Parser::findGnuStyle(int argc, char** argv) {
  bool gnu = false;
  forEachSwitch(argc, argv, [&gnu](const std::string& arg, const char* next) {
    std::string value;
    if (arg.rfind("--diagnostics=", 0) == 0) value = arg.substr(14);
    else if (arg == "--diagnostics" && next) value = next;
    // A wrong value is the parser's to report; it leaves the style as it was.
    if (value == "gnu" || value == "classic") gnu = value == "gnu";
  });
  return gnu;
}

void Parser::printLongHelp() {
  for (const char* line : kLongHelp) std::printf("%s\n", line);
}

void Parser::showInfo(InfoRequest request) {
  if (request == InfoRequest::version) std::printf("%s\n", versionLine("tarsil").c_str());
  else printLongHelp();
  std::fflush(stdout);
  std::exit(0);
}

void Parser::parseLongOption(const std::string& arg, int& i, int argc, char** argv) {
  const size_t eq = arg.find('=');
  const std::string option = arg.substr(0, eq);
  const bool bare = option == "--print-memory-usage" || option == "--help" || option == "--version";
  if (!bare && !takesValue(option)) usageMistake("unknown option '" + option + "'");
  if (bare && eq != std::string::npos) usageMistake("option '" + option + "' takes no value");
  auto value = [&](const char* what) {
    std::string v;
    if (eq != std::string::npos) v = arg.substr(eq + 1);
    else if (i + 1 < argc) v = argv[++i];
    if (v.empty()) usageMistake("option '" + option + "' needs " + what);
    return v;
  };
  if (option == "--depfile") {
    cDepFile = value("a file name");
    if (!isFile(cDepFile)) usageMistake("option '--depfile' needs a file name");
  } else if (option == "--map-json" || option == "--map-html") {
    std::string& name = option == "--map-json" ? cMapJson : cMapHtml;
    name = value("a file name");
    if (!isFile(name)) usageMistake("option '" + option + "' needs a file name");
  } else if (option == "--device-file") {
    std::string name = value("a file name");
    std::vector<std::string> warnings;
    std::string error;
    bool loaded = loadDeviceFile(name, warnings, error);
    for (const std::string& warning : warnings) Error::report(Error::warning, "Parser::parse()", warning, false);
    if (!loaded) usage(error);
    cDeviceFiles.push_back(name);
  } else if (option == "--threads") {
    // The outputs do not depend on it: only how long the link takes.
    std::string count = value("a number");
    if (!isNum(count) || count.size() > 4 || std::stoul(count) == 0)
      usageMistake("option '--threads' needs a number from 1 to 9999");
    setThreadCount(static_cast<unsigned>(std::stoul(count)));
  } else if (option == "--diagnostics") {
    // Settled before the banner; here the value is only checked.
    std::string style = value("gnu or classic");
    if (style != "gnu" && style != "classic") usageMistake("option '--diagnostics' takes gnu or classic");
  } else if (option == "--print-memory-usage") {
    cPrintMemoryUsage = true;
  } else {
    showInfo(option == "--help" ? InfoRequest::help : InfoRequest::version);
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

  bool filesOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    sawArgument = true;

    if (!filesOnly && arg == "--") {
      filesOnly = true;
      continue;
    }
    if (filesOnly || (arg[0] != '-' && arg[0] != '/') || isAbsoluteName(arg)) {
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
