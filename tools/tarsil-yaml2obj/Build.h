// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <vector>

#include <yaml-cpp/yaml.h>

namespace tarsil::tools {

// The bytes of the object or library that a YAML description asks for.
// Throws DescError for a description that cannot be built.
std::vector<char> buildFile(const YAML::Node& root);

}  // namespace tarsil::tools
