// SPDX-License-Identifier: Apache-2.0
#include "device/DeviceFile.h"

#include <ostream>
#include <string_view>

#include "device/Processor.h"
#include "support/HexText.h"
#include "support/TextFile.h"

namespace tarsil {

namespace {

// "0x" and one to eight hexadecimal digits, as the listing writes numbers.
bool hexNumber(std::string_view text, std::uint32_t& value) {
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  value = 0;
  for (char c : text.substr(2)) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return true;
}

// The words of a line, up to one more than a row has: enough to refuse a
// line of too many without holding all of them.
std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size() && out.size() < 7) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    out.push_back(line.substr(start, i - start));
  }
  return out;
}

// The row on one line, or why it is none.
std::string parseRow(const std::vector<std::string_view>& fields, DeviceRow& row) {
  if (fields.size() != 6) return "a row has six columns: name, code, family, program, data and gpr";
  row.name = std::string(fields[0]);
  std::uint32_t code = 0;
  if (!hexNumber(fields[1], code) || code > 0xFFFF)
    return "device code '" + std::string(fields[1]) + "' is not 0x and four hexadecimal digits at most";
  row.code = static_cast<std::uint16_t>(code);
  row.instSet = findInstSet(fields[2]);
  if (row.instSet == 0) return "unknown family '" + std::string(fields[2]) + "' (Core12, Core14, Core16 or Core16E)";
  std::uint32_t* numbers[] = {&row.programLocations, &row.dataLocations, &row.firstGpr};
  for (size_t i = 0; i < 3; ++i)
    if (!hexNumber(fields[3 + i], *numbers[i]))
      return "'" + std::string(fields[3 + i]) + "' is not a hexadecimal number (0x and up to eight digits)";
  return checkDeviceRow(row);
}

// The text with its control bytes as \xNN: a NUL in a row would otherwise
// end the message where it stands.
std::string visible(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) out += c;
    else out += "\\x" + hexText(byte, 2, hexBare | hexUpper);
  }
  return out;
}

}  // namespace

bool loadDeviceFile(const std::string& name, std::vector<std::string>& warnings, std::string& error) {
  std::string text;
  TextFileRead read = readTextFile(name, kMaxDeviceFileBytes, text);
  if (read != TextFileRead::ok) {
    error = textFileProblem(read, "device file", name, kMaxDeviceFileBytes);
    return false;
  }

  std::string_view rest = text;
  for (unsigned line = 1; !rest.empty(); ++line) {
    size_t end = rest.find('\n');
    std::string_view content = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    content = content.substr(0, content.find('#'));
    std::vector<std::string_view> fields = words(content);
    if (fields.empty()) continue;

    const std::string place = "'" + name + ":" + std::to_string(line) + "'";
    DeviceRow row;
    std::string problem = parseRow(fields, row);
    std::string replaced;
    // addDevice says why it refuses a row in `problem`.
    if (problem.empty()) addDevice(row, replaced, problem);
    if (!problem.empty()) {
      error = "Invalid device in " + place + ": " + visible(problem);
      return false;
    }
    if (!replaced.empty()) {
      warnings.push_back("Device '" + replaced + "' (" + hexText(row.code, 4, hexUpper) + ") is replaced by '" +
                         row.name + "' from " + place);
    }
  }
  return true;
}

bool loadDeviceFile(const std::string& name, const char* program, std::ostream& diagnostics) {
  std::vector<std::string> warnings;
  std::string error;
  bool loaded = loadDeviceFile(name, warnings, error);
  for (const std::string& warning : warnings) diagnostics << program << ": warning: " << warning << '\n';
  if (!loaded) diagnostics << program << ": " << error << '\n';
  diagnostics.flush();
  return loaded;
}

}  // namespace tarsil
