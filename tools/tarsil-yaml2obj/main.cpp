// SPDX-License-Identifier: Apache-2.0
// tarsil-yaml2obj: makes an object file or a library from a YAML description,
// for the end-to-end tests and for anyone who needs a precise input by hand.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include <yaml-cpp/yaml.h>

#include "Build.h"
#include "Fields.h"
#include "support/AtomicFile.h"
#include "support/FileIdentity.h"
#include "support/ResponseFile.h"
#include "support/Usage.h"

namespace {

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: tarsil-yaml2obj <description.yaml | -> [-o <output>]\n"
               "  -o <output>  the object or library to write (default, and '-': standard\n"
               "               output)\n"
               "  -h, --help   show this help\n"
               "  --version    show the version\n"
               "  --           the next argument is the description, whatever its name\n"
               "  @<file>      read further arguments from <file>\n"
               "Exit status: 0 written; 1 the description was refused or the output could\n"
               "not be written; 2 a mistake on the command line.\n");
}

int mistake(const std::string& what) { return tarsil::usageMistake("tarsil-yaml2obj", what); }

}  // namespace

int main(int argc, char** argv) {
  std::string input, output;
  bool haveInput = false;
  std::vector<std::string> args;
  if (!tarsil::expandArguments(argc, argv, "tarsil-yaml2obj", args)) return 1;
  bool filesOnly = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (filesOnly || arg == "--") {
      if (!filesOnly) {
        filesOnly = true;
        continue;
      }
      if (haveInput) return mistake("only one description at a time");
      input = arg;
      haveInput = true;
    } else if (arg == "-o") {
      if (++i == args.size()) return mistake("option '-o' needs a file name");
      output = args[i];
    } else if (arg.rfind("-o", 0) == 0 && arg.size() > 2) {
      output = arg.substr(2);
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("%s\n", tarsil::versionLine("tarsil-yaml2obj").c_str());
      return 0;
    } else if (arg != "-" && arg.size() > 1 && arg[0] == '-') {
      return mistake("unknown option '" + arg + "'");
    } else {
      if (haveInput) return mistake("only one description at a time");
      input = arg;
      haveInput = true;
    }
  }
  if (!haveInput) return mistake("no description given");
  const bool toStdout = output.empty() || output == "-";
  if (!toStdout && input != "-" && tarsil::sameFile(input, output)) {
    std::fprintf(stderr, "tarsil-yaml2obj: output '%s' would replace the input '%s'\n", output.c_str(), input.c_str());
    return 1;
  }

  std::string text;
  std::string label = input == "-" ? "<stdin>" : input;
  if (input == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(input, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "tarsil-yaml2obj: cannot read '%s'\n", input.c_str());
      return 1;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::vector<char> image;
  try {
    // One description a file: several inputs of a test live in separate
    // split-file parts rather than numbered documents.
    std::vector<YAML::Node> documents = YAML::LoadAll(text);
    if (documents.size() > 1) tarsil::tools::fail(documents[1], "a file holds one description; found another here");
    image = tarsil::tools::buildFile(documents.empty() ? YAML::Node() : documents[0]);
  } catch (const YAML::Exception& e) {
    std::fprintf(stderr, "%s:%d: %s\n", label.c_str(), e.mark.line + 1, e.msg.c_str());
    return 1;
  } catch (const tarsil::tools::DescError& e) {
    std::fprintf(stderr, "%s:%d: %s\n", label.c_str(), e.line(), e.what());
    return 1;
  }

  if (toStdout) {
    bool ok = image.empty() || std::fwrite(image.data(), 1, image.size(), stdout) == image.size();
    if (std::fflush(stdout) != 0 || !ok) {
      std::fprintf(stderr, "tarsil-yaml2obj: cannot write '<stdout>'\n");
      return 1;
    }
    return 0;
  }
  // Tests make their inputs with this tool: a failed or interrupted run must
  // not leave half an object for the next step to read.
  tarsil::AtomicFile file(output);
  if (!file.open() || !file.write({image.data(), image.size()}) || !file.commit()) {
    std::fprintf(stderr, "tarsil-yaml2obj: cannot write '%s': %s\n", output.c_str(), std::strerror(file.error()));
    return 1;
  }
  return 0;
}
