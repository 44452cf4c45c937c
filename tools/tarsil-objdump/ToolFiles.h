// SPDX-License-Identifier: Apache-2.0
#pragma once
// The files a listing tool is given: objects, executables and libraries,
// told apart as the linker tells them apart, and read by its own readers.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "coff/Archive.h"
#include "coff/Coff.h"

namespace tarsil::tools {

// A ".lib" name is read as a library whatever it holds; any other file is
// one when it starts with the archive magic.
bool isLibraryFile(const std::string& name);

// One file read: a library, or an object or executable.
struct ToolFile {
  std::unique_ptr<Archive> archive;
  std::unique_ptr<Coff> coff;
};

// Reads `name` with the readers' messages written to standard error as
// "<program>: error: <message>" instead of standard output, which carries
// the listing; false when the file could not be read or the reader found
// fault with it.
bool readToolFile(const std::string& name, const char* program, ToolFile& file);

// Calls list(object, file, member) for each file named, or for each member of
// a library (`member` is empty for a plain file), reading them with
// readToolFile; false when a file could not be read, after the others.
bool forEachObject(const std::vector<std::string>& files, const char* program,
                   const std::function<void(const Coff&, const std::string&, const std::string&)>& list);

// The two requests every listing tool answers alike: --help prints `usage`
// to standard output and --version the suite's version line. The exit
// status when `arg` is one of them, else -1.
int answerInfoRequest(const std::string& arg, const char* program, void (*usage)(std::FILE*));

}  // namespace tarsil::tools
