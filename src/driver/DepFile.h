// SPDX-License-Identifier: Apache-2.0
#pragma once
// The dependency file of --depfile: one make rule, as compilers write them,
// that names every file the link read, so that make (through -include) and
// Ninja (deps = gcc) relink when any of them changes; and a rule without a
// recipe for each of those files, so that one the link no longer reads may
// be deleted.
#include <string>
#include <vector>

#include "link/Config.h"

namespace tarsil {

// The rules, names escaped for make. False with `error` set when a name
// cannot stand in a rule (it holds a line break).
bool dependencyRule(const std::string& target, const std::vector<std::string>& inputs, std::string& rule,
                    std::string& error);

// The dependency file `name` (as the user gave it) as one of the link's
// outputs: its rules are made, and its place tried, before the link writes
// anything.
Config::ExtraOutput dependencyFile(const std::string& name);

}  // namespace tarsil
