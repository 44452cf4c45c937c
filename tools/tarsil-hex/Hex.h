// SPDX-License-Identifier: Apache-2.0
#pragma once
// Programming files: the program memory of a linked executable as Intel HEX
// records, for device programmers.
//
// Everything a programmer sees is a byte address: a program location times
// the device's bytes per location. The three formats differ only in how
// those bytes are spread over files and how far their addresses reach.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarsil {
class Coff;
}

namespace tarsil::hex {

enum class Format { inhx8m, inhx8s, inhx32 };

// Accepts the names in any case.
std::optional<Format> parseFormat(std::string_view name);
const char* formatName(Format format);

// Consecutive bytes of program memory from one section.
struct Segment {
  std::string section;
  uint64_t address = 0;  // byte address of the first byte
  std::vector<uint8_t> bytes;

  uint64_t end() const { return address + bytes.size(); }
};

struct Program {
  std::string device;
  unsigned bytesPerLocation = 0;
  // Sorted by address; no two overlap.
  std::vector<Segment> segments;

  // The highest byte address holding data; none for an empty program.
  std::optional<uint64_t> lastAddress() const;
};

// Bytes per program location of a device (internal processor number), and
// the bytes of its program memory.
unsigned bytesPerLocation(int procType);
uint64_t programBytes(int procType);

// Takes every section of program memory that holds bytes. Reports each
// problem (not an executable, unknown device, two sections of one name,
// data outside the device's program memory, overlapping sections) and
// returns false when there was any.
bool extractProgram(const Coff& executable, Program& program);

// Data records of at most 16 bytes, each within one aligned 16-byte row, then
// the end-of-file record. With `extended`, an extended linear address record
// precedes the first record of each 64 KiB block other than the first;
// without it every address must be below 64 KiB.
std::string records(const std::vector<Segment>& segments, bool extended);

// The bytes at even byte addresses (the low byte of each 16-bit word) and
// those at odd ones, each at half its address.
struct Split {
  std::vector<Segment> low;
  std::vector<Segment> high;
};
Split splitBytes(const std::vector<Segment>& segments);

// The requested format, or without one INHX8M while every address fits it
// and INHX32 beyond. Reports a requested format that cannot address the
// program and gives no value.
std::optional<Format> chooseFormat(std::optional<Format> requested, const Program& program);

// The files a format writes: for INHX8S the .hxl/.hxh pair from the stem of
// `output` (or of the executable when `output` is empty), otherwise `output`
// or the executable's name with its extension replaced by .hex.
std::vector<std::string> outputNames(Format format, const std::string& executable, const std::string& output);

struct OutputFile {
  std::string name;
  std::string text;
};

std::vector<OutputFile> render(const Program& program, Format format, const std::vector<std::string>& names);

// Writes every file beside its target under a temporary name and renames them
// into place only when all were written, so a failed run leaves neither a
// partial file nor half of a pair, and the previous pair as it was. Reports a
// failure and returns false.
bool writeFiles(const std::vector<OutputFile>& files);

}  // namespace tarsil::hex
