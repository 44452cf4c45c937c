// SPDX-License-Identifier: Apache-2.0
#include "Hex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "coff/Coff.h"
#include "device/Processor.h"
#include "support/Assert.h"
#include "support/AtomicFile.h"
#include "support/Error.h"
#include "support/HexText.h"
#include "support/Strings.h"

namespace tarsil::hex {

namespace {

constexpr size_t rowBytes = 16;
constexpr uint64_t blockBytes = 0x10000;

void reportError(const std::string& message) { Error::report(Error::error, "tarsil-hex", message, false); }

class RecordWriter {
public:
  explicit RecordWriter(bool extended) : cExtended(extended) {}

  void add(uint64_t address, uint8_t byte) {
    // A record never leaves its aligned row, so it never crosses a 64 KiB
    // block either: the offset field could not follow it there.
    if (!cRow.empty() && (address != cRowStart + cRow.size() || address % rowBytes == 0)) flush();
    if (cRow.empty()) cRowStart = address;
    cRow.push_back(byte);
  }

  std::string finish() {
    flush();
    record(0, 0x01, nullptr, 0);
    return std::move(cText);
  }

private:
  bool cExtended;
  uint64_t cUpper = 0;
  uint64_t cRowStart = 0;
  std::vector<uint8_t> cRow;
  std::string cText;

  void flush() {
    if (cRow.empty()) return;
    uint64_t upper = cRowStart / blockBytes;
    if (cExtended) {
      TARSIL_ASSERT(upper <= 0xFFFF);
      if (upper != cUpper) {
        const uint8_t base[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
        record(0, 0x04, base, 2);
        cUpper = upper;
      }
    } else {
      TARSIL_ASSERT(upper == 0);
    }
    record(static_cast<uint16_t>(cRowStart % blockBytes), 0x00, cRow.data(), cRow.size());
    cRow.clear();
  }

  void record(uint16_t offset, uint8_t type, const uint8_t* data, size_t count) {
    uint8_t sum = 0;
    auto put = [&](uint8_t b) {
      char digits[2];
      putHexText(digits, b, 2, hexBare | hexUpper);
      cText.append(digits, 2);
      sum = static_cast<uint8_t>(sum + b);
    };
    cText += ':';
    put(static_cast<uint8_t>(count));
    put(static_cast<uint8_t>(offset >> 8));
    put(static_cast<uint8_t>(offset));
    put(type);
    for (size_t i = 0; i < count; ++i) put(data[i]);
    put(static_cast<uint8_t>(-sum));
    cText += '\n';
  }
};

void appendByte(std::vector<Segment>& segments, uint64_t address, uint8_t byte) {
  if (segments.empty() || segments.back().end() != address) {
    segments.emplace_back();
    segments.back().address = address;
  }
  segments.back().bytes.push_back(byte);
}

std::string stem(const std::string& name) {
  size_t slash = name.find_last_of("\\/");
  size_t base = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = name.rfind('.');
  // A leading dot names a hidden file rather than starting an extension.
  if (dot == std::string::npos || dot <= base) return name;
  return name.substr(0, dot);
}

// Checks the headers that say which device the bytes are for.
bool findDevice(const Coff& coff, int& procType) {
  const std::string& name = coff.cFileName;
  if (!isExecutable(coff.cFileHdr)) {
    reportError("Coff file '" + name + "' is a relocatable object, not an executable; link it first.");
    return false;
  }
  if (coff.cFileHdr.f_opthdr != OPTHDR_SIZE) {
    reportError("Coff file '" + name + "' has no optional header to name its device.");
    return false;
  }
  uint32_t code = coff.cOptHdr.proc_type & 0xFFFF;
  if (!isDvsProcTypeSupported(code)) {
    reportError("Coff file '" + name + "' names device code " + hexPrint(code, 2) + ", which no supported device has.");
    return false;
  }
  procType = convertDvsProcType(code);
  return true;
}

}  // namespace

std::optional<Format> parseFormat(std::string_view name) {
  std::string upper(name);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (upper == "INHX8M") return Format::inhx8m;
  if (upper == "INHX8S") return Format::inhx8s;
  if (upper == "INHX32") return Format::inhx32;
  return std::nullopt;
}

const char* formatName(Format format) {
  switch (format) {
    case Format::inhx8m: return "INHX8M";
    case Format::inhx8s: return "INHX8S";
    case Format::inhx32: return "INHX32";
  }
  return "";
}

std::optional<uint64_t> Program::lastAddress() const {
  std::optional<uint64_t> last;
  for (const Segment& s : segments)
    if (!s.bytes.empty()) last = std::max(last.value_or(0), s.end() - 1);
  return last;
}

unsigned bytesPerLocation(int procType) { return (getRomWidth(procType) + 7u) / 8u; }

// A device without program memory of its own runs from external memory,
// which may fill whatever its family can address.
uint64_t programBytes(int procType) {
  uint64_t locations = getProgramLocations(procType);
  if (locations == 0) locations = uint64_t{getMaxROMAddr(procType)} + 1;
  return locations * bytesPerLocation(procType);
}

bool extractProgram(const Coff& coff, Program& program) {
  int procType = 0;
  if (!findDevice(coff, procType)) return false;
  const std::string& file = coff.cFileName;
  program = Program();
  program.device = getDvsProcName(procType);
  program.bytesPerLocation = bytesPerLocation(procType);
  const uint64_t bpl = program.bytesPerLocation;
  const uint64_t limit = programBytes(procType);
  const uint64_t locations = limit / bpl;

  bool ok = true;
  // Headers are kept by name, so a second section of a name hides the first
  // one's bytes: programming what is left would lose code silently.
  if (coff.cScnHdr.size() != coff.cScnNum.size()) {
    std::map<std::string, int> seen;
    for (const auto& [number, name] : coff.cScnNum)
      if (++seen[name] == 2) reportError("Coff file '" + file + "' has two sections named '" + name + "'.");
    ok = false;
  }

  std::vector<std::pair<int, Segment>> numbered;
  std::set<std::string> taken;
  for (const auto& [number, name] : coff.cScnNum) {
    auto header = coff.cScnHdr.find(name);
    if (header == coff.cScnHdr.end() || !taken.insert(name).second) continue;
    const scnhdr& h = header->second;
    Coff::ScnType type = Coff::getScnType(h);
    // A section flagged uninitialized has no bytes in the file, whatever
    // other kind its flags also give it.
    if ((type != Coff::code && type != Coff::romdata) || isBssScn(h)) continue;
    auto data = coff.cRawData.find(name);
    if (data == coff.cRawData.end() || data->second.size() == 0) continue;
    Segment segment;
    segment.section = name;
    segment.address = uint64_t{h.s_paddr} * bpl;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data->second.bytes());
    segment.bytes.assign(bytes, bytes + data->second.size());
    if (segment.end() > limit) {
      reportError("Section '" + name + "' of '" + file + "' at program locations " + hexText(h.s_paddr) + " to " +
                  hexText((segment.end() - 1) / bpl) + " lies beyond the program memory of device '" + program.device +
                  "' (" + hexText(0) + " to " + hexText(locations - 1) + ").");
      ok = false;
      continue;
    }
    numbered.emplace_back(number, std::move(segment));
  }

  std::sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) {
    return a.second.address != b.second.address ? a.second.address < b.second.address : a.first < b.first;
  });
  const Segment* reach = nullptr;  // the segment that ends last so far
  for (auto& [number, segment] : numbered) {
    if (reach && segment.address < reach->end()) {
      reportError("Sections '" + reach->section + "' and '" + segment.section + "' of '" + file +
                  "' overlap at program location " + hexText(segment.address / bpl) + ".");
      ok = false;
    }
    if (!reach || segment.end() > reach->end()) reach = &segment;
  }
  if (!ok) return false;
  for (auto& entry : numbered) program.segments.push_back(std::move(entry.second));
  return true;
}

std::string records(const std::vector<Segment>& segments, bool extended) {
  RecordWriter writer(extended);
  for (const Segment& s : segments)
    for (size_t i = 0; i < s.bytes.size(); ++i) writer.add(s.address + i, s.bytes[i]);
  return writer.finish();
}

Split splitBytes(const std::vector<Segment>& segments) {
  Split split;
  for (const Segment& s : segments)
    for (size_t i = 0; i < s.bytes.size(); ++i) {
      uint64_t address = s.address + i;
      appendByte(address % 2 == 0 ? split.low : split.high, address / 2, s.bytes[i]);
    }
  return split;
}

std::optional<Format> chooseFormat(std::optional<Format> requested, const Program& program) {
  uint64_t last = program.lastAddress().value_or(0);
  if (!requested) return last < blockBytes ? Format::inhx8m : Format::inhx32;
  // INHX8S halves the addresses, so each of its files reaches twice as far.
  uint64_t reach = *requested == Format::inhx8s ? 2 * blockBytes : *requested == Format::inhx8m ? blockBytes : 0;
  if (reach == 0 || last < reach) return requested;
  for (const Segment& s : program.segments)
    if (s.end() > reach) {
      reportError("Section '" + s.section + "' has program address " + hexText(std::max(s.address, reach)) +
                  ", beyond the " + std::to_string(reach / 1024) + " KiB that " + formatName(*requested) +
                  " can address; use INHX32.");
      break;
    }
  return std::nullopt;
}

std::vector<std::string> outputNames(Format format, const std::string& executable, const std::string& output) {
  if (format == Format::inhx8s) {
    std::string base = stem(output.empty() ? executable : output);
    return {base + ".hxl", base + ".hxh"};
  }
  if (!output.empty()) return {output};
  return {stem(executable) + ".hex"};
}

std::vector<OutputFile> render(const Program& program, Format format, const std::vector<std::string>& names) {
  if (format == Format::inhx8s) {
    TARSIL_ASSERT(names.size() == 2);
    Split split = splitBytes(program.segments);
    return {{names[0], records(split.low, false)}, {names[1], records(split.high, false)}};
  }
  TARSIL_ASSERT(names.size() == 1);
  return {{names[0], records(program.segments, format == Format::inhx32)}};
}

bool writeFiles(const std::vector<OutputFile>& files) {
  std::vector<std::unique_ptr<AtomicFile>> temporaries;
  std::vector<AtomicFile*> all;
  bool written = true;
  for (const OutputFile& file : files) {
    temporaries.push_back(std::make_unique<AtomicFile>(file.name));
    AtomicFile& out = *temporaries.back();
    all.push_back(&out);
    if (!out.open() || !out.write(file.text)) {
      written = false;
      break;
    }
  }
  if (written && AtomicFile::commitAll(all)) return true;
  for (const AtomicFile* file : all) {
    const char* what = nullptr;
    switch (file->failedStep()) {
      case AtomicFile::Step::none: continue;
      case AtomicFile::Step::create: what = "Could not create a file beside '"; break;
      case AtomicFile::Step::write: what = "Could not write '"; break;
      case AtomicFile::Step::target:
      case AtomicFile::Step::rename: what = "Could not replace '"; break;
    }
    reportError(what + file->target() + "': " + std::strerror(file->error()) + ".");
    break;
  }
  return false;
}

}  // namespace tarsil::hex
