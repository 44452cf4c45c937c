// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The symbolic names of the object format's numbers, shared by the object
// dumper (which prints them) and the YAML object maker (which reads them), so
// that a dump and a description spell every flag and type the same way.
namespace tarsil::tools {

struct NamedValue {
  const char* name;
  uint32_t value;
};

std::span<const NamedValue> fileFlagNames();
std::span<const NamedValue> sectionFlagNames();
std::span<const NamedValue> relocTypeNames();
std::span<const NamedValue> storageClassNames();

const char* nameOf(std::span<const NamedValue> table, uint32_t value);
std::optional<uint32_t> valueOf(std::span<const NamedValue> table, std::string_view name);

// "F_EXEC|F_LNNO", with any bits no name covers appended in hexadecimal, or
// "0" when no bit is set.
std::string flagText(std::span<const NamedValue> table, uint32_t value);

// Bytes outside printable ASCII as \xNN, so that a hostile name cannot upset
// the terminal or the line structure of a listing.
std::string printable(std::string_view text);

}  // namespace tarsil::tools
