// SPDX-License-Identifier: Apache-2.0
#include "driver/Driver.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "driver/DepFile.h"
#include "driver/Parser.h"
#include "link/Linker.h"
#include "map/MemoryUsage.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/ResponseFile.h"
#include "support/TimeStamp.h"
#include "support/Version.h"

namespace tarsil {

static const char* const kDebugChannels[] = {
    "Coff::preWrite",
    "Linker::mapSections",
    "Linker::allocateAbsAssigned",
    "Linker::allocateAbsUnassigned",
    "Linker::allocateRelUnassigned",
    "Linker::allocateActUnassigned",
    "Linker::allocateRelAssigned",
    "Linker::relocateSymbols",
    "Linker::relocateLineInfo",
    "Coff::fixupAuxFcns",
    "Linker::mergeStringTbls",
    "Linker::replaceStringTbl",
    "Linker::importLibraryMembers",
    "Linker::buildExtSymDef",
    "Linker::resolveExternals",
    "Linker::print",
    "Linker::patchSections",
    "Linker::doPatchCore16E",
    "Linker::doPatchCore16",
    "Linker::doPatchCore12",
    "Linker::doPatchCore14",
    "Linker::doPatch",
    "Linker::buildOutputScnNum",
    "Linker::buildOutputSymbolTbl",
    "Linker::buildOutputRawData",
    "Linker::buildOutputLineInfo",
    "Linker::buildOutputHole",
    "MapFile::write",
    "Linker::buildInterferenceGraph",
};

// Only the exact two-character forms count here: a longer word that starts
// like the switch is left to the parser, after the banner.
static bool isQuietSwitch(const char* arg) {
  return std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "/q") == 0 || std::strcmp(arg, "-Q") == 0 ||
         std::strcmp(arg, "/Q") == 0;
}

// A name the command line already took as an input keeps that meaning even
// when it starts with '@'; only other '@' arguments are response files.
static bool isInputName(const std::string& arg) {
  return Parser::isObjectFile(arg) || Parser::isLibraryFile(arg) || Parser::isCmdFile(arg);
}

void runTarsil(int argc, char** argv) {
  Debug("debug", Debug::initialLevel());
  if (Debug("debug")) {
    for (const char* channel : kDebugChannels) Debug(channel, 1);
  }

  // Response files are expanded first, so that every later step, the quiet
  // scan included, sees the arguments they hold.
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string argsError;
  std::vector<char*> expanded;
  if (expandResponseFiles(args, argsError, isInputName)) {
    expanded.push_back(argc > 0 ? argv[0] : nullptr);
    for (std::string& arg : args) expanded.push_back(arg.data());
    expanded.push_back(nullptr);
    argc = static_cast<int>(expanded.size()) - 1;
    argv = expanded.data();
    Parser::InfoRequest request = Parser::findInfoRequest(argc, argv);
    if (request != Parser::InfoRequest::none) Parser::showInfo(request);
    if (Parser::findGnuStyle(argc, argv)) Error::style(Error::Style::gnu);
  }

  Config config;
  Parser parser;

  // After "--" every argument is a file name.
  for (int i = 0; i < argc && !(i > 0 && argv[i] && std::strcmp(argv[i], "--") == 0); ++i)
    if (argv[i] && isQuietSwitch(argv[i])) Error::quiet(true);

  // Build systems want silence from a link that succeeds.
  if (!Error::isQuiet() && Error::style() == Error::Style::classic) {
    std::printf("%s\n", Version::linker());
    std::fflush(stdout);
    std::printf("%s\n", Version::notice());
    std::fflush(stdout);
  }
  if (!argsError.empty()) Parser::usage(argsError);

  if (Debug("debug")) {
    for (int i = 0; i < argc; ++i) std::printf("_tarsil: argv[%d]='%s'\n", i, argv[i] ? argv[i] : "");
  }

  parser.parse(argc, argv, config);
  for (const auto* names : {&parser.cmdFilesRead(), &parser.deviceFiles()})
    for (const std::string& name : *names) config.recordInputFile(name);
  if (!parser.depFile().empty()) config.addOutput(dependencyFile(parser.depFile()));
  config.cMapJsonFile = parser.mapJson();
  config.cMapHtmlFile = parser.mapHtml();

  const std::string dateProblem = sourceDateProblem();
  if (!dateProblem.empty()) Parser::usage(dateProblem);

  Linker linker(std::move(config));
  std::string error;
  bool linked = linker.run(error);

  if (Debug("debug")) {
    std::fflush(stdout);
    linker.print(std::cout);
    std::cout.flush();
  }

  if (linked) {
    // Asked for by name, so shown even in quiet mode.
    if (parser.printMemoryUsage()) {
      std::fflush(stdout);
      writeMemoryUsage(std::cout, linker.memories(), linker.executable());
      std::cout.flush();
    }
    Error::terminate(0);
  }
  if (!error.empty()) Error::report(Error::error, "main()", error, false);
  Error::terminate(1);
}

}  // namespace tarsil
