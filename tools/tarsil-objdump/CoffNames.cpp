// SPDX-License-Identifier: Apache-2.0
#include "CoffNames.h"

#include <vector>

#include "coff/CoffFormat.h"
#include "support/HexText.h"

namespace tarsil::tools {

namespace {

// Each name is the constant's own, spelled once: a table cannot drift from
// the format's values.
#define TARSIL_NAMED(constant) NamedValue{#constant, constant}

const NamedValue kFileFlags[] = {
    TARSIL_NAMED(F_RELFLG), TARSIL_NAMED(F_EXEC), TARSIL_NAMED(F_LNNO), TARSIL_NAMED(F_LSYMS), TARSIL_NAMED(F_GENERIC),
};

const NamedValue kSectionFlags[] = {
    TARSIL_NAMED(STYP_TEXT),     TARSIL_NAMED(STYP_DATA),   TARSIL_NAMED(STYP_BSS),
    TARSIL_NAMED(STYP_DATA_ROM), TARSIL_NAMED(STYP_ABS),    TARSIL_NAMED(STYP_SHARED),
    TARSIL_NAMED(STYP_OVRLY),    TARSIL_NAMED(STYP_ACCESS), TARSIL_NAMED(STYP_ACTREC),
};

const NamedValue kStorageClasses[] = {
    {"C_NULL", 0},           TARSIL_NAMED(C_EXT),   TARSIL_NAMED(C_STAT),  TARSIL_NAMED(C_LABEL),
    TARSIL_NAMED(C_STRTAG),  TARSIL_NAMED(C_UNTAG), TARSIL_NAMED(C_ENTAG), TARSIL_NAMED(C_FIELD),
    TARSIL_NAMED(C_BLOCK),   TARSIL_NAMED(C_FCN),   TARSIL_NAMED(C_EOS),   TARSIL_NAMED(C_FILE),
    TARSIL_NAMED(C_SECTION),
};

#undef TARSIL_NAMED

}  // namespace

std::span<const NamedValue> fileFlagNames() { return kFileFlags; }
std::span<const NamedValue> sectionFlagNames() { return kSectionFlags; }
std::span<const NamedValue> relocTypeNames() {
  // The linker's own names, so that its messages, the dumps and the
  // descriptions spell every type alike.
  static const std::vector<NamedValue> names = [] {
    std::vector<NamedValue> table;
    for (uint16_t type = 1; type <= kRelocTypeCount; ++type) table.push_back({relocTypeName(type), type});
    return table;
  }();
  return names;
}
std::span<const NamedValue> storageClassNames() { return kStorageClasses; }

const char* nameOf(std::span<const NamedValue> table, uint32_t value) {
  for (const NamedValue& entry : table)
    if (entry.value == value) return entry.name;
  return nullptr;
}

std::optional<uint32_t> valueOf(std::span<const NamedValue> table, std::string_view name) {
  for (const NamedValue& entry : table)
    if (name == entry.name) return entry.value;
  return std::nullopt;
}

std::string flagText(std::span<const NamedValue> table, uint32_t value) {
  std::string text;
  uint32_t rest = value;
  for (const NamedValue& entry : table) {
    if ((value & entry.value) == entry.value && entry.value != 0) {
      if (!text.empty()) text += '|';
      text += entry.name;
      rest &= ~entry.value;
    }
  }
  if (rest != 0) {
    if (!text.empty()) text += '|';
    text += hexText(rest);
  }
  return text.empty() ? "0" : text;
}

std::string printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '\\') {
      out += c;
    } else {
      out += "\\x" + hexText(u, 2, hexBare);
    }
  }
  return out;
}

}  // namespace tarsil::tools
