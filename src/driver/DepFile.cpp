// SPDX-License-Identifier: Apache-2.0
#include "driver/DepFile.h"

#include <memory>

#include "support/AtomicFile.h"
#include "support/FileIdentity.h"
#include "support/FileInfo.h"

namespace tarsil {

namespace {

enum class Role { target, prerequisite };

// Writes `name` as make reads it back. Blanks, '#' and ':' take a
// backslash, and so does '%' in a target, where it would make a pattern
// rule (in a prerequisite of an explicit rule make takes it as it is and
// would keep the backslash); backslashes just before any of these, and at
// the end of the name, double, since make halves them there. '$' doubles.
// False when the name holds a line break, which make cannot read.
bool escapeName(const std::string& name, Role role, std::string& out) {
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
    bool special = c == ' ' || c == '\t' || c == '#' || c == ':' || (c == '%' && role == Role::target);
    out.append(special ? 2 * backslashes : backslashes, '\\');
    backslashes = 0;
    if (special) out += '\\';
    if (c == '$') out += '$';
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return true;
}

std::string unexpressible(const std::string& name) {
  return "'" + name + "' cannot be named in a dependency file: its name holds a line break";
}

}  // namespace

bool dependencyRule(const std::string& target, const std::vector<std::string>& inputs, std::string& rule,
                    std::string& error) {
  rule.clear();
  if (!escapeName(target, Role::target, rule)) {
    error = unexpressible(target);
    return false;
  }
  rule += ':';
  std::string phony;
  for (const std::string& input : inputs) {
    rule += " \\\n ";
    std::string asTarget;
    if (!escapeName(input, Role::prerequisite, rule) || !escapeName(input, Role::target, asTarget)) {
      error = unexpressible(input);
      return false;
    }
    // One rule without a recipe per input, so that an input the link no
    // longer reads and that is gone does not stop make.
    phony += "\n" + asTarget + ":\n";
  }
  // Backslashes doubled at the end of the last name must not meet the line
  // break, which make would take them with.
  if (!rule.empty() && rule.back() == '\\') rule += ' ';
  rule += '\n';
  rule += phony;
  return true;
}

Config::ExtraOutput dependencyFile(const std::string& name) {
  auto rule = std::make_shared<std::string>();
  auto check = [rule, name](const Config& config, const FileSet& inputs, std::string& error) {
    const std::string& target = config.cOutputFile;
    if (!dependencyRule(target.empty() ? "a.out" : hostPath(target), inputs.names(), *rule, error))
      return false;
    // A directory that is missing or cannot take the file is found now,
    // before the link has written anything.
    AtomicFile probe(hostPath(name));
    if (!probe.open()) {
      error = "Could not write dependency file '" + name + "'.";
      return false;
    }
    return true;
  };
  auto write = [rule](AtomicFile& file) { return file.write(*rule); };
  return {"dependency file", name, check, write};
}

}  // namespace tarsil
