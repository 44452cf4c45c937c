// SPDX-License-Identifier: Apache-2.0
#include "Fields.h"

#include <cctype>
#include <limits>

namespace tarsil::tools {

int lineOf(const YAML::Node& node) {
  YAML::Mark mark = node.Mark();
  return mark.line < 0 ? 0 : mark.line + 1;
}

void fail(const YAML::Node& node, const std::string& message) { throw DescError(lineOf(node), message); }

void requireMap(const YAML::Node& node, const char* what) {
  if (!node.IsMap()) fail(node, std::string(what) + " must be a map");
}

void requireSequence(const YAML::Node& node, const char* what) {
  if (!node.IsSequence()) fail(node, std::string(what) + " must be a list");
}

void checkKeys(const YAML::Node& map, std::initializer_list<const char*> allowed, const char* what) {
  requireMap(map, what);
  for (const auto& entry : map) {
    std::string key = entry.first.IsScalar() ? entry.first.Scalar() : std::string();
    bool known = false;
    for (const char* name : allowed)
      if (key == name) known = true;
    if (!known) fail(entry.first, "unknown key '" + key + "' in " + what);
  }
}

std::string scalar(const YAML::Node& node, const char* what) {
  if (!node.IsScalar()) fail(node, std::string(what) + " must be a single value");
  return node.Scalar();
}

bool parseInteger(const std::string& text, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  unsigned base = 10;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;
  // Anything beyond 64 bits is out of every field's range anyway.
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    int c = static_cast<unsigned char>(text[i]);
    unsigned digit;
    if (std::isdigit(c)) digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && std::isxdigit(c)) digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    else return false;
    if (digit >= base) return false;
    if (magnitude > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - digit) / base) return false;
    magnitude = magnitude * base + digit;
  }
  value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

uint32_t fieldValue(const YAML::Node& node, unsigned bits) {
  std::string text = scalar(node, "a number");
  int64_t value;
  if (!parseInteger(text, value)) fail(node, "'" + text + "' is not a number");
  int64_t high = (int64_t{1} << bits) - 1;
  int64_t low = -(int64_t{1} << (bits - 1));
  if (value > high || value < low)
    fail(node, "'" + text + "' does not fit in " + std::to_string(bits) + " bits");
  return static_cast<uint32_t>(static_cast<uint64_t>(value) & static_cast<uint64_t>(high));
}

uint32_t namedValue(const YAML::Node& node, std::span<const NamedValue> table, unsigned bits, const char* what) {
  std::string text = scalar(node, what);
  if (auto known = valueOf(table, text)) return *known;
  int64_t value;
  if (!parseInteger(text, value)) fail(node, "unknown " + std::string(what) + " '" + text + "'");
  return fieldValue(node, bits);
}

uint32_t flagsValue(const YAML::Node& node, std::span<const NamedValue> table, unsigned bits, const char* what) {
  uint32_t flags = 0;
  auto addWord = [&](const YAML::Node& at, const std::string& word) {
    std::string trimmed;
    for (char c : word)
      if (!std::isspace(static_cast<unsigned char>(c))) trimmed += c;
    if (trimmed.empty()) fail(at, std::string("empty ") + what);
    if (auto known = valueOf(table, trimmed)) {
      flags |= *known;
      return;
    }
    int64_t value;
    if (!parseInteger(trimmed, value)) fail(at, "unknown " + std::string(what) + " '" + trimmed + "'");
    flags |= fieldValue(YAML::Node(trimmed), bits);
  };
  auto addScalar = [&](const YAML::Node& at) {
    std::string text = scalar(at, what);
    size_t start = 0;
    for (;;) {
      size_t bar = text.find('|', start);
      addWord(at, text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
  };
  try {
    if (node.IsSequence())
      for (const auto& item : node) addScalar(item);
    else
      addScalar(node);
  } catch (const DescError& e) {
    // A word converted on its own has no position: give it the node's.
    if (e.line() == 0) fail(node, e.what());
    throw;
  }
  return flags;
}

std::vector<char> hexBytes(const YAML::Node& node) {
  std::string text = node.IsNull() ? std::string() : scalar(node, "hexadecimal data");
  std::vector<char> bytes;
  int high = -1;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isspace(u)) continue;
    if (!std::isxdigit(u)) fail(node, std::string("'") + c + "' is not a hexadecimal digit");
    int digit = std::isdigit(u) ? u - '0' : std::tolower(u) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0) fail(node, "hexadecimal data has an odd number of digits");
  return bytes;
}

}  // namespace tarsil::tools
