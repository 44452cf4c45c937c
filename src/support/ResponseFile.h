// SPDX-License-Identifier: Apache-2.0
#pragma once
// Arguments kept in files: a build that links thousands of objects passes
// "@FILE" where the names would not fit a command line. Every program of the
// project expands them the same way, before it reads its arguments.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/Platform.h"

namespace tarsil {

// How a system's command lines quote: on POSIX systems a backslash takes the
// next character as it is, inside quotes too; on Windows, where it separates
// directories, it counts only before a double quote.
enum class Quoting { posix, windows };
inline Quoting nativeQuoting() { return platform::backslashSeparates() ? Quoting::windows : Quoting::posix; }

// Splits the text of a response file into arguments, quoted as the system's
// own command lines are. White space separates them; double quotes group (so
// "" is an empty argument). False with `error` set when a quote is left open
// or, quoted for POSIX, the text ends in a backslash.
bool splitResponseText(std::string_view text, std::vector<std::string>& args, std::string& error,
                       Quoting quoting = nativeQuoting());

// Replaces each argument "@FILE" by the arguments FILE holds; an "@" in those
// is expanded in turn, up to a "--" (on the command line or in a file),
// after which every argument is kept as it is. A name is read as it stands (relative to the current
// directory). `literal`, when given, picks out arguments that start with '@'
// but keep their old meaning. False with `error` set, naming the file, when a
// file cannot be read, holds bad quoting, includes itself, or the files nest
// too deep or hold too much in all; `args` is then unspecified.
bool expandResponseFiles(std::vector<std::string>& args, std::string& error,
                         const std::function<bool(const std::string&)>& literal = {});

// For the companion programs: the process set up (platform::startProgram)
// and the arguments after the program's name, expanded. False after writing "<program>: <error>" to standard error.
bool expandArguments(int argc, char** argv, const char* program, std::vector<std::string>& args);

// Limits of one expansion: the nesting below the command line, the bytes
// read from every response file together (a file read twice counts twice)
// and the arguments they make, each of which costs a string, so that a file
// of one-letter words cannot take many times its size in memory.
inline constexpr int kMaxResponseDepth = 8;
inline constexpr size_t kMaxResponseBytes = size_t{64} << 20;
inline constexpr size_t kMaxResponseArguments = 1000000;

}  // namespace tarsil
