// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

#include "link/ParserClient.h"
#include "link/SectionDesc.h"
#include "memory/Memory.h"

namespace tarsil {

// Reads the command line and the linker command files and hands every
// declaration to a ParserClient. Any error in either ends the process.
class Parser {
public:
  void parse(int argc, char** argv, ParserClient& client);

  // Finds the command file through "." and the command-file directories, and
  // hands each of its directives to `client` as it is read.
  void parseCmdFile(const std::string& name, ParserClient& client);

  [[noreturn]] static void usage(const std::string& message);
  [[noreturn]] static void showHelp();
  // A mistake in the additions to the command line (long options): one line
  // on standard error and exit status 2, without the summary.
  [[noreturn]] static void usageMistake(const std::string& message);

  // What is settled before the banner, from the arguments that stand as
  // switches (not as the value of one, nor after "--"): --help and --version,
  // answered at once with status 0, and the style of the messages.
  enum class InfoRequest { none, help, version };
  static InfoRequest findInfoRequest(int argc, char** argv);
  [[noreturn]] static void showInfo(InfoRequest request);
  // True when --diagnostics=gnu (or "--diagnostics gnu") is the last word
  // on the style.
  static bool findGnuStyle(int argc, char** argv);
  // Build systems give absolute names: one that starts with '/' and names
  // something that exists is a file, not a switch.
  static bool isAbsoluteName(const std::string& arg);

  // What the long options asked for.
  const std::string& depFile() const { return cDepFile; }
  const std::string& mapJson() const { return cMapJson; }
  const std::string& mapHtml() const { return cMapHtml; }
  bool printMemoryUsage() const { return cPrintMemoryUsage; }
  const std::vector<std::string>& deviceFiles() const { return cDeviceFiles; }

  static bool isDir(const std::string& s);
  static bool isFile(const std::string& s);
  static bool isNum(const std::string& s);
  static bool isObjectFile(const std::string& s);
  static bool isLibraryFile(const std::string& s);
  static bool isCmdFile(const std::string& s);

  static void eatComments(std::string& line);

  // Fill patterns are whole program words: a hexadecimal value is widened
  // with leading zeros to a multiple of four digits.
  static std::string padFill(const std::string& fill);

  static Memory parseMemory(std::istream& in, const std::string& keyword, const std::string& file, int line,
                            MemType type);
  static StackDesc parseStack(std::istream& in, const std::string& file, int line);
  static uint64_t parseHeap(std::istream& in, const std::string& file, int line);
  static SectionDesc parseSection(std::istream& in, const std::string& file, int line);

  const std::vector<std::string>& cmdFilesRead() const { return cCmdFilesRead; }
  const std::vector<std::string>& cmdFileDirs() const { return cCmdFileDirs; }

private:
  static void printHelpScreen();
  static void printLongHelp();
  void parseLongOption(const std::string& arg, int& i, int argc, char** argv);
  void readCmdFile(std::istream& in, const std::string& file, ParserClient& client);
  std::string findCmdFile(const std::string& name) const;

  std::vector<std::string> cCmdFilesRead;
  std::set<std::string> cCmdFilesSeen;
  std::vector<std::string> cCmdFileDirs;
  int cIncludeDepth = 0;
  std::string cDepFile;
  std::string cMapJson;
  std::string cMapHtml;
  bool cPrintMemoryUsage = false;
  std::vector<std::string> cDeviceFiles;
  static constexpr int kMaxIncludeDepth = 200;
};

}  // namespace tarsil
