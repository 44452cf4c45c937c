// SPDX-License-Identifier: Apache-2.0
// tarsil-lib: the librarian. Makes libraries of relocatable objects and
// keeps them: the command line of the usual archiver (an operation letter
// with modifiers, then the library, then members), with long options beside.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Librarian.h"
#include "support/Error.h"
#include "support/ResponseFile.h"
#include "support/Version.h"

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
    "  s, --symbols LIB           the index the linker uses, in its look-up order\n"
    "modifiers and options:\n"
    "  v, -v, --verbose           list what is done (with t: the long listing)\n"
    "  f, -f, --force             x replaces existing files\n"
    "  D, -D, --deterministic     every member dated 0\n"
    "  q, -q, --quiet             no error or warning messages\n"
    "  -C DIR, --directory=DIR    x writes into DIR\n"
    "  --help, --version\n"
    "  @FILE                      the arguments FILE holds, in its place\n"
    "A member is named after its object without the directory. SOURCE_DATE_EPOCH,\n"
    "when set, dates every member unless D is given; it must then be a whole number\n"
    "of seconds from 0 to 4294967295. Exit status: 0 done, 1 refused\n"
    "or failed (the library unchanged), 2 a mistake on the command line.\n";

struct UsageError {
  std::string message;
};

constexpr std::string_view kOperations = "crdtxs";

Operation operationOf(char letter) {
  switch (letter) {
    case 'c': return Operation::create;
    case 'r': return Operation::replace;
    case 'd': return Operation::remove;
    case 't': return Operation::list;
    case 'x': return Operation::extract;
    case 's': return Operation::symbols;
    default: return Operation::none;
  }
}

void setOperation(Request& request, Operation op, const std::string& spelling) {
  if (request.op != Operation::none && request.op != op)
    throw UsageError{"more than one operation ('" + spelling + "')"};
  request.op = op;
}

// A cluster of letters, such as the key "tv" or "-cD": at most one operation,
// the rest modifiers. After r, the usual archiver's c (create quietly) and s
// (write the index) are taken and change nothing: r makes a missing library,
// and the linker builds its index from the members.
void applyLetters(Request& request, std::string_view letters, const std::string& spelling) {
  for (char letter : letters) {
    switch (letter) {
      case 'v': request.verbose = true; continue;
      case 'f': request.force = true; continue;
      case 'D': request.deterministic = true; continue;
      case 'q': request.quiet = true; continue;
      default: break;
    }
    if (request.op == Operation::replace && (letter == 'c' || letter == 's')) continue;
    if (kOperations.find(letter) == std::string_view::npos)
      throw UsageError{"unknown operation or modifier '" + std::string(1, letter) + "' in '" + spelling + "'"};
    setOperation(request, operationOf(letter), spelling);
  }
}

// The outcome of the command line: a request, or a reason to stop at once.
enum class Stop { none, help, version };

Stop parse(const std::vector<std::string>& args, Request& request) {
  bool options = true;
  bool haveKey = false;
  bool haveLibrary = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && arg.rfind("--", 0) == 0) {
      const size_t equals = arg.find('=');
      const std::string name = arg.substr(0, equals);
      if (name == "--help") return Stop::help;
      if (name == "--version") return Stop::version;
      if (name == "--directory") {
        if (equals != std::string::npos) request.directory = arg.substr(equals + 1);
        else if (i + 1 < args.size()) request.directory = args[++i];
        else throw UsageError{"'--directory' needs a directory"};
        continue;
      }
      if (equals != std::string::npos) throw UsageError{"option '" + name + "' takes no value"};
      if (name == "--create") setOperation(request, Operation::create, arg);
      else if (name == "--replace") setOperation(request, Operation::replace, arg);
      else if (name == "--delete") setOperation(request, Operation::remove, arg);
      else if (name == "--list") setOperation(request, Operation::list, arg);
      else if (name == "--extract") setOperation(request, Operation::extract, arg);
      else if (name == "--symbols") setOperation(request, Operation::symbols, arg);
      else if (name == "--verbose") request.verbose = true;
      else if (name == "--force") request.force = true;
      else if (name == "--deterministic") request.deterministic = true;
      else if (name == "--quiet") request.quiet = true;
      else throw UsageError{"unknown option '" + arg + "'"};
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      if (arg == "-h") return Stop::help;
      if (arg.rfind("-C", 0) == 0) {
        if (arg.size() > 2) request.directory = arg.substr(2);
        else if (i + 1 < args.size()) request.directory = args[++i];
        else throw UsageError{"'-C' needs a directory"};
      } else {
        applyLetters(request, std::string_view(arg).substr(1), arg);
      }
    } else if (request.op == Operation::none && !haveKey) {
      haveKey = true;
      applyLetters(request, arg, arg);
    } else if (!haveLibrary) {
      haveLibrary = true;
      request.library = arg;
    } else {
      request.files.push_back(arg);
    }
  }

  if (request.op == Operation::none) throw UsageError{"no operation (c, r, d, t, x or s)"};
  if (!haveLibrary || request.library.empty()) throw UsageError{"no library"};
  const bool listing = request.op == Operation::list || request.op == Operation::symbols;
  if (listing && !request.files.empty()) throw UsageError{"'" + request.files.front() + "': t and s take the library alone"};
  if (request.directory && request.op != Operation::extract) throw UsageError{"-C serves x alone"};
  if (request.directory && request.directory->empty()) throw UsageError{"'-C' needs a directory"};
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
        std::printf("tarsil-lib (TARSIL) %s\n", tarsil::Version::number());
        return 0;
      case Stop::none: break;
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "tarsil-lib: %s; 'tarsil-lib --help' shows the usage\n", e.message.c_str());
    return 2;
  }
  // Messages go to standard output as the linker's do; warnings always show,
  // since a librarian's warnings are about the library it has just written.
  tarsil::Error::verbose(true);
  tarsil::Error::quiet(request.quiet);
  return tarsil::lib::run(request);
}
