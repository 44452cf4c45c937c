#include "driver/Driver.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "driver/Parser.h"
#include "link/Linker.h"
#include "support/Debug.h"
#include "support/Error.h"
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

void runTarsil(int argc, char** argv) {
  Debug("debug", Debug::initialLevel());
  if (Debug("debug")) {
    for (const char* channel : kDebugChannels) Debug(channel, 1);
  }

  Linker linker;
  Parser parser;

  for (int i = 0; i < argc; ++i)
    if (argv[i] && isQuietSwitch(argv[i])) Error::quiet(true);

  if (!Error::isQuiet()) {
    std::printf("%s\n", Version::linker());
    std::fflush(stdout);
    std::printf("%s\n", Version::notice());
    std::fflush(stdout);
  }

  if (Debug("debug")) {
    for (int i = 0; i < argc; ++i) std::printf("_tarsil: argv[%d]='%s'\n", i, argv[i] ? argv[i] : "");
  }

  parser.parse(argc, argv, linker);
  for (const std::string& name : parser.cmdFilesRead()) linker.recordCommandFile(name);

  std::string error;
  bool linked = linker.run(error);

  if (Debug("debug")) {
    std::fflush(stdout);
    linker.print(std::cout);
    std::cout.flush();
  }

  if (linked) Error::terminate(0);
  if (!error.empty()) Error::report(Error::error, "main()", error, false);
  Error::terminate(1);
}

}  // namespace tarsil
