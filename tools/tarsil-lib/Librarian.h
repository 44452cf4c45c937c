// SPDX-License-Identifier: Apache-2.0
#pragma once
// The librarian's operations on one library: each reads everything it needs
// and checks it before the library or any extracted file is written, so that
// a refused run changes nothing.
#include <optional>
#include <string>
#include <vector>

namespace tarsil::lib {

enum class Operation { none, create, replace, remove, list, extract, print, symbols };

struct Request {
  Operation op = Operation::none;
  bool verbose = false;
  bool force = false;
  bool deterministic = false;
  bool quiet = false;
  // r replaces a member only when its file was changed after the member's date.
  bool newer = false;
  std::vector<std::string> deviceFiles;
  std::optional<std::string> directory;
  std::string library;
  // Objects for create and replace, member names for remove, extract and print.
  std::vector<std::string> files;
};

// Runs the request; 0 when it was done, 1 when it was refused or failed
// (after reporting why).
int run(const Request& request);

// Why a member could not be written under its own name inside a directory
// (a path, a drive, "..", a control character, a name the header cuts), or
// nothing when it can.
std::optional<std::string> unsafeMemberName(const std::string& name);

}  // namespace tarsil::lib
