// SPDX-License-Identifier: Apache-2.0
// tarsil-lib: the librarian. Makes libraries of relocatable objects and
// keeps them: the command line of the usual archiver (an operation letter
// with modifiers, then the library, then members), with long options beside.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "Librarian.h"
#include "device/DeviceFile.h"
#include "support/Error.h"
#include "support/ResponseFile.h"
#include "support/Usage.h"

namespace {

using tarsil::lib::Operation;
using tarsil::lib::Request;

const char kUsage[] =
    "usage: tarsil-lib OPERATION[MODIFIERS] [options] LIBRARY [FILE...]\n"
    "  c, --create LIB OBJ...     a new library of the objects, in the order given\n"
    "  r, --replace LIB OBJ...    add objects, replacing members of the same name in\n"
    "                             place; new ones go at the end; makes LIB if missing\n"
    "  d, --delete LIB MEMBER...  remove members\n"
    "  t, --list LIB              member names; with v also size, date and the\n"
    "                             external names each member defines\n"
    "  x, --extract LIB [MEMBER...]  write members (all when none is named) into\n"
    "                             the current directory or the -C directory\n"
    "  p, --print LIB [MEMBER...] the members' bytes (all when none is named) on\n"
    "                             standard output; with v each after its name\n"
    "  s, --symbols LIB           the index the linker uses, in its look-up order\n"
    "modifiers (in any order, in the operation's word or in words of their own)\n"
    "and options:\n"
    "  v, -v, --verbose           list what is done (with t: the long listing)\n"
    "  f, -f, --force             x replaces existing files\n"
    "  D, -D, --deterministic     every member dated 0\n"
    "  u, -u, --newer             r replaces only members older than their file\n"
    "  c                          with r: accepted, r makes a missing library\n"
    "  s                          with an operation: accepted, no effect (the\n"
    "                             linker indexes the members itself)\n"
    "  q, -q, --quiet             no error or warning messages (not the usual\n"
    "                             archiver's quick append)\n"
    "  -C DIR, --directory=DIR    x writes into DIR\n"
    "  --device-file FILE         add the devices FILE lists to the processor table\n"
    "  --help, --version\n"
    "  --                         every later argument is the library or a file\n"
    "  @FILE                      the arguments FILE holds, in its place\n"
    "A member is named after its object without the directory, and dated with the\n"
    "object's time stamp. SOURCE_DATE_EPOCH, when set, dates every member unless D\n"
    "is given; it must then be a whole number of seconds from 0 to 4294967295.\n"
    "Exit status: 0 done (warnings may have been shown); 1 refused or failed (the\n"
    "library unchanged); 2 a mistake on the command line.\n";

struct UsageError {
  std::string message;
};

void setOperation(Request& request, Operation op, const std::string& spelling) {
  if (request.op != Operation::none && request.op != op)
    throw UsageError{"more than one operation ('" + spelling + "')"};
  request.op = op;
}

// The letters of every cluster ("crs", "-tv"), and the clusters, for messages.
struct Letters {
  std::string all;
  std::string spelling;
};

void addLetters(Letters& letters, std::string_view cluster, const std::string& spelling) {
  for (char letter : cluster)
    if (std::string_view("crdtxpsvfDuq").find(letter) == std::string_view::npos)
      throw UsageError{"unknown operation or modifier '" + std::string(1, letter) + "' in '" + spelling + "'"};
  letters.all += cluster;
  letters.spelling += letters.spelling.empty() ? spelling : " " + spelling;
}

// The letters as the usual archiver takes them, in any order: one of r, d,
// t, x, p is the operation, and c and s are modifiers beside it; alone, c
// makes a library and s shows the index.
void settleLetters(Request& request, const Letters& letters) {
  const std::string& all = letters.all;
  auto has = [&all](char letter) { return all.find(letter) != std::string::npos; };
  request.verbose = request.verbose || has('v');
  request.force = request.force || has('f');
  request.deterministic = request.deterministic || has('D');
  request.quiet = request.quiet || has('q');
  request.newer = request.newer || has('u');
  Operation op = Operation::none;
  for (char letter : all) {
    Operation named = letter == 'r' ? Operation::replace
                      : letter == 'd' ? Operation::remove
                      : letter == 't' ? Operation::list
                      : letter == 'x' ? Operation::extract
                      : letter == 'p' ? Operation::print
                                      : Operation::none;
    if (named == Operation::none) continue;
    if (op != Operation::none && op != named) throw UsageError{"more than one operation ('" + letters.spelling + "')"};
    op = named;
  }
  if (op == Operation::none && has('c')) op = Operation::create;
  else if (op == Operation::none && has('s')) op = Operation::symbols;
  else if (has('c') && op != Operation::replace && op != Operation::create)
    throw UsageError{"more than one operation ('" + letters.spelling + "')"};
  if (op != Operation::none) setOperation(request, op, letters.spelling);
}

// The outcome of the command line: a request, or a reason to stop at once.
enum class Stop { none, help, version };

// A long option; false when `arg` is not one the librarian knows.
bool longOption(Request& request, const std::string& arg, const std::vector<std::string>& args, size_t& i) {
  const size_t equals = arg.find('=');
  const std::string name = arg.substr(0, equals);
  auto value = [&](const char* what) {
    if (equals != std::string::npos) return arg.substr(equals + 1);
    if (i + 1 < args.size()) return args[++i];
    throw UsageError{"'" + name + "' needs " + what};
  };
  if (name == "--directory") {
    request.directory = value("a directory");
  } else if (name == "--device-file") {
    request.deviceFiles.push_back(value("a file name"));
    if (request.deviceFiles.back().empty()) throw UsageError{"'--device-file' needs a file name"};
  } else {
    static const std::pair<const char*, Operation> operations[] = {
        {"--create", Operation::create}, {"--replace", Operation::replace}, {"--delete", Operation::remove},
        {"--list", Operation::list},     {"--extract", Operation::extract}, {"--print", Operation::print},
        {"--symbols", Operation::symbols}};
    bool* flag = name == "--verbose"         ? &request.verbose
                 : name == "--force"         ? &request.force
                 : name == "--deterministic" ? &request.deterministic
                 : name == "--quiet"         ? &request.quiet
                 : name == "--newer"         ? &request.newer
                                             : nullptr;
    const auto* op = std::find_if(std::begin(operations), std::end(operations),
                                  [&name](const auto& entry) { return name == entry.first; });
    if (!flag && op == std::end(operations)) return false;
    if (equals != std::string::npos) throw UsageError{"option '" + name + "' takes no value"};
    if (flag) *flag = true;
    else setOperation(request, op->second, arg);
  }
  return true;
}

Stop parse(const std::vector<std::string>& args, Request& request) {
  bool options = true;
  bool haveKey = false;
  bool haveLibrary = false;
  Letters letters;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && arg.rfind("--", 0) == 0) {
      const std::string name = arg.substr(0, arg.find('='));
      if (name == "--help") return Stop::help;
      if (name == "--version") return Stop::version;
      if (!longOption(request, arg, args, i)) throw UsageError{"unknown option '" + name + "'"};
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      if (arg == "-h") return Stop::help;
      if (arg.rfind("-C", 0) == 0) {
        if (arg.size() > 2) request.directory = arg.substr(2);
        else if (i + 1 < args.size()) request.directory = args[++i];
        else throw UsageError{"'-C' needs a directory"};
      } else {
        addLetters(letters, std::string_view(arg).substr(1), arg);
      }
    } else if (request.op == Operation::none && !haveKey && letters.all.find_first_of("crdtxps") == std::string::npos) {
      haveKey = true;
      addLetters(letters, arg, arg);
    } else if (!haveLibrary) {
      haveLibrary = true;
      request.library = arg;
    } else {
      request.files.push_back(arg);
    }
  }
  settleLetters(request, letters);

  if (request.op == Operation::none) throw UsageError{"no operation (c, r, d, t, x, p or s)"};
  if (!haveLibrary || request.library.empty()) throw UsageError{"no library"};
  const bool listing = request.op == Operation::list || request.op == Operation::symbols;
  if (listing && !request.files.empty()) throw UsageError{"'" + request.files.front() + "': t and s take the library alone"};
  if (request.directory && request.op != Operation::extract) throw UsageError{"-C serves x alone"};
  if (request.directory && request.directory->empty()) throw UsageError{"'-C' needs a directory"};
  if (request.newer && request.op != Operation::replace) throw UsageError{"u serves r alone"};
  return Stop::none;
}

}  // namespace

int main(int argc, char** argv) {
  Request request;
  std::vector<std::string> args;
  if (!tarsil::expandArguments(argc, argv, "tarsil-lib", args)) return 1;
  try {
    switch (parse(args, request)) {
      case Stop::help:
        std::fputs(kUsage, stdout);
        return 0;
      case Stop::version:
        std::printf("%s\n", tarsil::versionLine("tarsil-lib").c_str());
        return 0;
      case Stop::none: break;
    }
  } catch (const UsageError& e) {
    return tarsil::usageMistake("tarsil-lib", e.message);
  }
  // Objects for added devices are read as the linker reads them.
  for (const std::string& name : request.deviceFiles)
    if (!tarsil::loadDeviceFile(name, "tarsil-lib", std::cerr)) return 1;
  // Messages go to standard output as the linker's do; warnings always show,
  // since a librarian's warnings are about the library it has just written.
  tarsil::Error::verbose(true);
  tarsil::Error::quiet(request.quiet);
  return tarsil::lib::run(request);
}
