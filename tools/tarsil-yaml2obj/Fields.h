// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "CoffNames.h"

// Reading values out of a YAML description: every failure carries the line of
// the node at fault, so that a hand-written description is quick to fix.
namespace tarsil::tools {

class DescError : public std::runtime_error {
public:
  DescError(int line, const std::string& message) : std::runtime_error(message), cLine(line) {}
  int line() const { return cLine; }

private:
  int cLine;
};

// One-based line of a node (yaml-cpp counts from zero).
int lineOf(const YAML::Node& node);
[[noreturn]] void fail(const YAML::Node& node, const std::string& message);

// Rejects keys outside `allowed`, so that a misspelt key is not silently
// ignored; `what` names the map in the message.
void checkKeys(const YAML::Node& map, std::initializer_list<const char*> allowed, const char* what);
void requireMap(const YAML::Node& node, const char* what);
void requireSequence(const YAML::Node& node, const char* what);
std::string scalar(const YAML::Node& node, const char* what);

// A decimal or 0x-prefixed hexadecimal integer, optionally negative.
bool parseInteger(const std::string& text, int64_t& value);

// A field of `bits` bits: accepts every value that fits it either unsigned or
// as two's complement, so that -1 gives all ones.
uint32_t fieldValue(const YAML::Node& node, unsigned bits);

// A number, or one name of `table`, or (for flag words) several names as a
// sequence or joined by '|'.
uint32_t namedValue(const YAML::Node& node, std::span<const NamedValue> table, unsigned bits, const char* what);
uint32_t flagsValue(const YAML::Node& node, std::span<const NamedValue> table, unsigned bits, const char* what);

// Hexadecimal bytes; blanks between and inside pairs are ignored.
std::vector<char> hexBytes(const YAML::Node& node);

}  // namespace tarsil::tools
