#include "driver/Parser.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "support/Error.h"
#include "support/FileInfo.h"
#include "support/Strings.h"

namespace tarsil {

void Parser::usage(const std::string& message) {
  Error::report(Error::error, "Parser::usage()", message, false);
  Error::terminate(1);
}

void Parser::showHelp() {
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
  std::fflush(stdout);
  std::exit(-1);
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
