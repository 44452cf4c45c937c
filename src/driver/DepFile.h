// SPDX-License-Identifier: Apache-2.0
#pragma once
// The dependency file of --depfile: one make rule, as compilers write them,
// that names every file the link read, so that make (through -include) and
// Ninja (deps = gcc) relink when any of them changes.
#include <string>
#include <vector>

namespace tarsil {

// "target: \" and one input a line, names escaped for make. False with
// `error` set when a name cannot stand in a rule (it holds a line break).
bool dependencyRule(const std::string& target, const std::vector<std::string>& inputs, std::string& rule,
                    std::string& error);

}  // namespace tarsil
