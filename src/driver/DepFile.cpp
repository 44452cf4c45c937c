// SPDX-License-Identifier: Apache-2.0
#include "driver/DepFile.h"

namespace tarsil {

namespace {

// Blanks and '#' take a backslash, and backslashes just before them double,
// so that make reads the name back as it is; '$' doubles.
bool escapeName(const std::string& name, std::string& out) {
  // "./x.o" and "x.o" are one file to make; the rule reads like the command line.
  size_t from = 0;
  while (name.compare(from, 2, "./") == 0 && name.size() > from + 2) from += 2;
  size_t backslashes = 0;
  for (size_t i = from; i < name.size(); ++i) {
    char c = name[i];
    if (c == '\n' || c == '\r') return false;
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    bool special = c == ' ' || c == '\t' || c == '#';
    out.append(special ? 2 * backslashes : backslashes, '\\');
    backslashes = 0;
    if (special) out += '\\';
    if (c == '$') out += '$';
    out += c;
  }
  out.append(backslashes, '\\');
  return true;
}

}  // namespace

bool dependencyRule(const std::string& target, const std::vector<std::string>& inputs, std::string& rule,
                    std::string& error) {
  rule.clear();
  if (!escapeName(target, rule)) {
    error = "'" + target + "' cannot be named in a dependency file: its name holds a line break";
    return false;
  }
  rule += ':';
  for (const std::string& input : inputs) {
    rule += " \\\n ";
    if (!escapeName(input, rule)) {
      error = "'" + input + "' cannot be named in a dependency file: its name holds a line break";
      return false;
    }
  }
  rule += '\n';
  return true;
}

}  // namespace tarsil
