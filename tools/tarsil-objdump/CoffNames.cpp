#include "CoffNames.h"

#include <cstdio>
#include <vector>

#include "coff/CoffFormat.h"

namespace tarsil::tools {

namespace {

const NamedValue kFileFlags[] = {
    {"F_RELFLG", 0x0001}, {"F_EXEC", 0x0002}, {"F_LNNO", 0x0004}, {"F_LSYMS", 0x0080}, {"F_GENERIC", 0x8000},
};

const NamedValue kSectionFlags[] = {
    {"STYP_TEXT", 0x00000020},   {"STYP_DATA", 0x00000040},   {"STYP_BSS", 0x00000080},
    {"STYP_DATA_ROM", 0x00000100}, {"STYP_ABS", 0x00001000},    {"STYP_SHARED", 0x00002000},
    {"STYP_OVRLY", 0x00004000},  {"STYP_ACCESS", 0x00008000}, {"STYP_ACTREC", 0x00010000},
};

const NamedValue kStorageClasses[] = {
    {"C_NULL", 0},     {"C_EXT", 2},   {"C_STAT", 3},  {"C_LABEL", 6},   {"C_STRTAG", 10},
    {"C_UNTAG", 12},   {"C_ENTAG", 15}, {"C_FIELD", 18}, {"C_BLOCK", 100}, {"C_FCN", 101},
    {"C_EOS", 102},    {"C_FILE", 103}, {"C_SECTION", 109},
};

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
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", rest);
    if (!text.empty()) text += '|';
    text += hex;
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
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      out += escaped;
    }
  }
  return out;
}

}  // namespace tarsil::tools
