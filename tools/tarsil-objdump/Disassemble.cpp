// SPDX-License-Identifier: Apache-2.0
#include "Disassemble.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "CoffNames.h"
#include "SourceLines.h"
#include "device/Instructions.h"
#include "device/Processor.h"
#include "support/HexText.h"
#include "support/Usage.h"

namespace tarsil::tools {

namespace {

// Where a family keeps the page that completes the field of a call or goto:
// `bits` bits from bit `firstBit` of register `reg`, which the page-select
// sequences set.
struct PageSelect {
  uint8_t reg;
  uint8_t firstBit;
  uint8_t bits;
  uint32_t pageSize;  // program words per page
};

const PageSelect* pageSelectOf(int instSet) {
  static constexpr PageSelect kCore12{0x03, 5, 2, 0x200};   // STATUS
  static constexpr PageSelect kCore14{0x0A, 3, 2, 0x800};   // PCLATH
  static constexpr PageSelect kCore16{0x03, 5, 3, 0x2000};  // PCLATH
  switch (instSet) {
    case instSetCore12:
      return &kCore12;
    case instSetCore14:
      return &kCore14;
    case instSetCore16:
      return &kCore16;
    default:
      return nullptr;  // Core16E calls and gotos hold the whole address
  }
}

// What straight-line code has put into the page register, bit by bit. A bit
// nothing has set is taken from the instruction's own page, as the
// assembler assumes; a label forgets everything, since code may jump there
// from anywhere.
class PageLatch {
public:
  PageLatch() = default;
  explicit PageLatch(const PageSelect* select) : cSelect(select) {}

  void forget() { cKnown = 0; }

  uint32_t target(uint32_t address, uint32_t field) const {
    if (!cSelect) return field;
    uint32_t mask = (1u << cSelect->bits) - 1;
    uint32_t known = (cKnown >> cSelect->firstBit) & mask;
    uint32_t page = ((cValue >> cSelect->firstBit) & known) | ((address / cSelect->pageSize) & mask & ~known);
    return page * cSelect->pageSize + field;
  }

  void track(const Instruction& inst) {
    if (!cSelect) return;
    bool literalBefore = cLiteralBefore;
    cLiteralBefore = inst.type == InstType::MOVLW;
    if (cLiteralBefore) {
      cLiteral = static_cast<uint8_t>(inst.operands[0].value);
      return;
    }
    // A callee may leave the register as it likes.
    if (inst.type == InstType::CALL) {
      cKnown = 0;
      return;
    }
    bool named = false;
    for (const Operand& op : inst.operands) named = named || (op.kind == OperandKind::reg && op.value == cSelect->reg);
    if (!named) return;
    const Operand& one = inst.operands[0];
    const Operand& two = inst.operands[1];
    bool onOne = one.kind == OperandKind::reg && one.value == cSelect->reg;
    auto bit = static_cast<uint8_t>(two.kind == OperandKind::bit ? 1u << two.value : 0);
    switch (inst.type) {
      case InstType::BSF:
      case InstType::BCF:
        if (!onOne) break;
        cKnown |= bit;
        cValue = inst.type == InstType::BSF ? cValue | bit : cValue & ~bit;
        return;
      case InstType::MOVWF:
        if (!onOne) break;
        cKnown = literalBefore ? 0xFF : 0;
        cValue = cLiteral;
        return;
      case InstType::CLRF:
        if (!onOne) break;
        cKnown = 0xFF;
        cValue = 0;
        return;
      case InstType::BTFSC:
      case InstType::BTFSS:
        return;
      default:
        if (two.kind == OperandKind::dest && two.value == 0) return;  // only read
        break;
    }
    cKnown = 0;
  }

private:
  const PageSelect* cSelect = nullptr;
  uint8_t cKnown = 0;
  uint8_t cValue = 0;
  bool cLiteralBefore = false;  // the instruction before was MOVLW cLiteral
  uint8_t cLiteral = 0;
};

struct Label {
  int section;
  uint32_t address;
  std::string_view name;
};

bool bySectionAddressName(const Label& a, const Label& b) {
  if (a.section != b.section) return a.section < b.section;
  if (a.address != b.address) return a.address < b.address;
  return a.name < b.name;
}

bool byAddressName(const Label& a, const Label& b) {
  if (a.address != b.address) return a.address < b.address;
  return a.name < b.name;
}

bool sameLabel(const Label& a, const Label& b) {
  return a.section == b.section && a.address == b.address && a.name == b.name;
}

bool inProgramMemory(const scnhdr& h) {
  Coff::ScnType kind = Coff::getScnType(h);
  return kind != Coff::idata && kind != Coff::udata && kind != Coff::actrec;
}

std::string quotedChar(uint32_t byte) {
  if (byte < 0x20 || byte >= 0x7F || byte == '\'' || byte == '\\') return "";
  return std::string(" '") + static_cast<char>(byte) + "'";
}

// The bytes of a data word as text, in memory order, a dot for each byte
// that is no printable character.
std::string asciiColumn(const uint8_t* bytes, unsigned count) {
  std::string text = " ; ";
  for (unsigned i = 0; i < count; ++i) text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
  return text;
}

class Disassembler {
public:
  Disassembler(const Coff& coff, const DisasmOptions& options, int instSet, std::ostream& os);
  void section(int number, const std::string& name, const scnhdr& h, const Data& data, bool decode);

private:
  struct Range {
    uint64_t start;
    uint64_t end;
  };

  bool inRange(uint64_t address) const { return address >= cOptions.start && address < cOptions.stop; }
  std::string annotation(uint32_t target) const;
  void instructionText(const Instruction& inst, uint32_t address, bool relocated, const PageLatch& latch);
  void dataText(uint16_t word);
  void byteText(uint8_t byte);
  std::string relocText(const reloc& r) const;
  // One line of the listing, kept until it is known to be shown.
  struct Line {
    uint32_t address;
    uint16_t words[2];
    unsigned count;  // words, or 0 for a last odd byte
    const Instruction* inst;
    PageLatch latch;  // as it was before the instruction
  };
  void render(const Line& line, bool relocated);
  void flushRun();
  bool headings(uint32_t address, uint64_t end, bool shown, PageLatch& latch);

  const Coff& cCoff;
  const DisasmOptions& cOptions;
  int cInstSet;
  std::ostream& cOs;
  bool cExecutable;
  // The sections' line numbers, when -l or -S asks for them.
  std::unique_ptr<SourceLines> cLines;
  std::vector<Label> cLabels;         // by section, address and name
  std::vector<Label> cProgramLabels;  // of an executable's program memory, by address and name
  std::map<int, Range> cRanges;       // locations each section's data covers
  // Targets are named after the labels in scope: an executable's whole
  // program memory, or the section itself in an object, whose sections all
  // start at their own 0.
  std::span<const Label> cScope;
  // The section's labels not yet met.
  std::vector<Label>::const_iterator cNextLabel;
  std::vector<Label>::const_iterator cLabelsEnd;
  std::string cText;  // the mnemonic and operands of the line being made
  std::string cLine;
  // A run of lines with the same words shows as its first line, "*" when
  // more than one line is left out, and its last; the lines left out are
  // never made, so a large zero-filled section costs little.
  uint16_t cPrevWords[2] = {0, 0};
  unsigned cPrevCount = 0;
  unsigned cRepeats = 0;
  Line cLastRepeat{};
  Instruction cLastRepeatInst;
};

Disassembler::Disassembler(const Coff& coff, const DisasmOptions& options, int instSet, std::ostream& os)
    : cCoff(coff), cOptions(options), cInstSet(instSet), cOs(os), cExecutable(isExecutable(coff.cFileHdr)) {
  if (options.lines || options.source) cLines = std::make_unique<SourceLines>(coff, options);
  std::map<int, bool> program;
  for (const auto& [number, name] : coff.cScnNum) {
    auto hdr = coff.cScnHdr.find(name);
    if (hdr == coff.cScnHdr.end()) continue;
    auto data = coff.cRawData.find(name);
    uint64_t size = data == coff.cRawData.end() ? 0 : data->second.size();
    bool inProgram = inProgramMemory(hdr->second);
    uint32_t perLocation = inProgram && instSet != instSetCore16E ? 2 : 1;
    program[number] = inProgram;
    cRanges[number] = {hdr->second.s_paddr, hdr->second.s_paddr + (size + perLocation - 1) / perLocation};
  }
  for (size_t i = 0; i < coff.cSymTbl.size() && i < coff.cSymKind.size(); ++i) {
    const syment& s = coff.cSymTbl[i];
    if (coff.cSymKind[i] != AuxKind::none || s.n_scnum <= 0 || isScn(s)) continue;
    if (s.n_sclass != C_EXT && s.n_sclass != C_STAT && s.n_sclass != C_LABEL) continue;
    std::optional<std::string_view> name = Coff::nameView(s, coff.cStrTbl);
    if (!name || name->empty()) continue;
    Label label{s.n_scnum, s.n_value, *name};
    cLabels.push_back(label);
    if (cExecutable && program[s.n_scnum]) cProgramLabels.push_back(label);
  }
  std::sort(cLabels.begin(), cLabels.end(), bySectionAddressName);
  cLabels.erase(std::unique(cLabels.begin(), cLabels.end(), sameLabel), cLabels.end());
  std::sort(cProgramLabels.begin(), cProgramLabels.end(), byAddressName);
  cProgramLabels.erase(std::unique(cProgramLabels.begin(), cProgramLabels.end(), sameLabel), cProgramLabels.end());
}

std::string Disassembler::annotation(uint32_t target) const {
  auto after = std::upper_bound(cScope.begin(), cScope.end(), target,
                                [](uint32_t value, const Label& l) { return value < l.address; });
  if (after == cScope.begin()) return "";
  uint32_t at = std::prev(after)->address;
  // The first name in order of those at the nearest address.
  const Label& label = *std::lower_bound(cScope.begin(), after, at,
                                         [](const Label& l, uint32_t value) { return l.address < value; });
  auto range = cRanges.find(label.section);
  if (range == cRanges.end() || target < range->second.start || target >= range->second.end) return "";
  std::string text = " <" + printable(label.name);
  if (target != at) text += "+" + hexText(target - at);
  return text + ">";
}

void Disassembler::instructionText(const Instruction& inst, uint32_t address, bool relocated,
                                   const PageLatch& latch) {
  cText = getInstName(inst.type);
  const char* separator = " ";
  for (const Operand& op : inst.operands) {
    std::string text;
    switch (op.kind) {
      case OperandKind::none:
        continue;
      case OperandKind::fast:
        if (op.value == 0) continue;
        text = "FAST";
        break;
      case OperandKind::reg:
      case OperandKind::literal:
        text = hexText(op.value, std::max(2, (op.bits + 3) / 4));
        break;
      case OperandKind::number:
      case OperandKind::bit:
        text = std::to_string(op.value);
        break;
      case OperandKind::dest:
        text = op.value ? "F" : "W";
        break;
      case OperandKind::access:
        text = op.value ? "BANKED" : "ACCESS";
        break;
      case OperandKind::target:
      case OperandKind::branch: {
        uint32_t to;
        if (op.kind == OperandKind::branch) {
          uint32_t sign = 1u << (op.bits - 1);
          auto offset = static_cast<int32_t>((op.value ^ sign) - sign);
          to = (address + 2 + 2 * static_cast<uint32_t>(offset)) & 0x1FFFFF;
        } else {
          to = cInstSet == instSetCore16E ? op.value * 2 : latch.target(address, op.value);
        }
        text = hexText(to, 6);
        // An unpatched field says nothing; its relocation follows.
        if (!relocated) text += annotation(to);
        break;
      }
    }
    cText += separator;
    cText += text;
    separator = ", ";
  }
  if (inst.type == InstType::RETLW) {
    std::string c = quotedChar(inst.operands[0].value);
    if (!c.empty()) cText += " ;" + c;
  }
}

void Disassembler::dataText(uint16_t word) {
  cText = ".word " + hexText(word, 4);
  // The 16-bit families keep two data bytes in a word, the 12- and 14-bit
  // ones one byte each in a RETLW word.
  if (cInstSet != instSetCore12 && cInstSet != instSetCore14) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
    cText += asciiColumn(bytes, 2);
    return;
  }
  Instruction inst = decodeInstruction(word, nullptr, cInstSet);
  if (inst.type != InstType::RETLW) return;
  cText += " ; retlw " + hexText(inst.operands[0].value, 2) + quotedChar(inst.operands[0].value);
}

std::string Disassembler::relocText(const reloc& r) const {
  std::string text = "; reloc ";
  const char* type = relocTypeName(r.r_type);
  std::string_view prefix = "RELOCT_";
  if (type && std::string_view(type).starts_with(prefix)) text += type + prefix.size();
  else text += "type " + std::to_string(r.r_type);
  text += ' ';
  std::optional<std::string_view> name;
  if (r.r_symndx < cCoff.cSymTbl.size() && r.r_symndx < cCoff.cSymKind.size() &&
      cCoff.cSymKind[r.r_symndx] == AuxKind::none)
    name = Coff::nameView(cCoff.cSymTbl[r.r_symndx], cCoff.cStrTbl);
  text += name ? printable(*name) : "#" + std::to_string(r.r_symndx);
  char addend[16];
  std::snprintf(addend, sizeof addend, "%+d", r.r_offset);
  return text + addend;
}

void Disassembler::byteText(uint8_t byte) {
  cText = ".byte " + hexText(byte, 2);
  if (cInstSet != instSetCore12 && cInstSet != instSetCore14) cText += asciiColumn(&byte, 1);
}

void Disassembler::render(const Line& line, bool relocated) {
  if (line.count == 0) byteText(static_cast<uint8_t>(line.words[0]));
  else if (line.inst->words) instructionText(*line.inst, line.address, relocated, line.latch);
  else dataText(line.words[0]);
  cLine = "  " + hexText(line.address, 6) + "  ";
  if (cOptions.showRaw) {
    std::string raw;
    for (unsigned i = 0; i < line.count; ++i) {
      if (i) raw += ' ';
      raw += hexText(line.words[i], 4, hexBare);
    }
    if (line.count == 0) raw = hexText(line.words[0], 2, hexBare);
    raw.resize(std::max<size_t>(raw.size(), cInstSet == instSetCore16E ? 9 : 4), ' ');
    cLine += raw + "  ";
  }
  cLine += cText;
  cLine += '\n';
}

void Disassembler::flushRun() {
  if (cRepeats > 1) cOs << "  *\n";
  if (cRepeats > 0) {
    render(cLastRepeat, false);
    cOs << cLine;
  }
  cRepeats = 0;
}

// Labels and line numbers that begin before `end`. A label makes the page
// register unknown again, since code may jump there; what is shown ends a
// run of equal lines.
bool Disassembler::headings(uint32_t address, uint64_t end, bool shown, PageLatch& latch) {
  bool written = false;
  for (; cNextLabel != cLabelsEnd && cNextLabel->address < end; ++cNextLabel) {
    latch.forget();
    if (!shown || cNextLabel->address < address) continue;
    flushRun();
    cOs << '<' << printable(cNextLabel->name) << ">:\n";
    written = true;
  }
  if (cLines && cLines->due(end)) {
    if (shown) {
      flushRun();
      written = true;
    }
    cLines->take(end, shown, cOs);
  }
  return written;
}

void Disassembler::section(int number, const std::string& name, const scnhdr& h, const Data& data, bool decode) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.bytes());
  const uint32_t size = data.size();
  const Range range = cRanges[number];
  if (size == 0 || range.end <= cOptions.start || range.start >= cOptions.stop) return;
  const bool program = inProgramMemory(h);
  const uint32_t perLocation = program && cInstSet != instSetCore16E ? 2 : 1;
  cOs << "disassembly of section " << number << " '" << printable(name) << "':\n";

  std::vector<reloc> relocs;
  if (auto found = cCoff.cReloc.find(name); found != cCoff.cReloc.end()) relocs = found->second;
  std::stable_sort(relocs.begin(), relocs.end(), [](const reloc& a, const reloc& b) { return a.r_vaddr < b.r_vaddr; });
  auto nextReloc = relocs.cbegin();

  auto labels = std::equal_range(cLabels.begin(), cLabels.end(), Label{number, 0, {}},
                                 [](const Label& a, const Label& b) { return a.section < b.section; });
  cScope = cExecutable ? std::span<const Label>(cProgramLabels) : std::span<const Label>(labels.first, labels.second);
  cNextLabel = labels.first;
  cLabelsEnd = labels.second;
  if (cLines) cLines->startSection(name);

  PageLatch latch(decode && program ? pageSelectOf(cInstSet) : nullptr);
  cPrevCount = 3;  // no line yet
  // Runs of equal words are decoded once.
  uint64_t decodedKey = UINT64_MAX;
  Instruction decoded;
  const Instruction none;
  for (uint32_t offset = 0; offset < size;) {
    const uint32_t address = h.s_paddr + offset / perLocation;
    uint16_t words[2] = {bytes[offset], 0};
    unsigned count = 0;
    const Instruction* inst = &none;
    if (offset + 1 < size) {
      words[0] = static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
      bool hasNext = offset + 3 < size;
      if (hasNext) words[1] = static_cast<uint16_t>(bytes[offset + 2] | bytes[offset + 3] << 8);
      uint64_t key = words[0] | uint64_t{words[1]} << 16 | uint64_t{hasNext} << 32;
      if (decode && key != decodedKey) {
        decoded = decodeInstruction(words[0], hasNext ? &words[1] : nullptr, cInstSet);
        // A second word on its own is no instruction.
        if (decoded.type == InstType::WORD2) decoded = {};
        decodedKey = key;
      }
      if (decode) inst = &decoded;
      count = inst->words ? inst->words : 1;
    }
    const uint32_t length = count ? 2 * count : 1;
    const uint64_t end = static_cast<uint64_t>(h.s_paddr) + (offset + length + perLocation - 1) / perLocation;
    const bool shown = inRange(address);

    const bool labelled = headings(address, end, shown, latch);
    auto firstReloc = nextReloc;
    while (nextReloc != relocs.cend() && nextReloc->r_vaddr < offset + length) ++nextReloc;
    const bool relocated = firstReloc != nextReloc;

    if (shown) {
      bool same = count == cPrevCount && words[0] == cPrevWords[0] && (count < 2 || words[1] == cPrevWords[1]);
      if (!labelled && !relocated && same) {
        // The same words decode alike: only where the line is and what the
        // page register holds may differ.
        if (cRepeats++ == 0) cLastRepeatInst = *inst;
        cLastRepeat.address = address;
        cLastRepeat.latch = latch;
      } else {
        flushRun();
        cLastRepeat = {address, {words[0], words[1]}, count, &cLastRepeatInst, latch};
        render({address, {words[0], words[1]}, count, inst, latch}, relocated);
        cOs << cLine;
        cPrevCount = count;
        std::copy(words, words + count, cPrevWords);
        const std::string indent(cOptions.showRaw ? (cInstSet == instSetCore16E ? 23 : 18) : 12, ' ');
        for (auto r = firstReloc; r != nextReloc; ++r) cOs << indent << relocText(*r) << '\n';
      }
    }
    if (inst->words) latch.track(*inst);
    offset += length;
  }
  flushRun();
  for (; nextReloc != relocs.cend(); ++nextReloc)
    cOs << "  " << relocText(*nextReloc) << " at offset " << hexText(nextReloc->r_vaddr, 8)
        << ", past the section's data\n";
}

// The instruction set of the file's device, or 0 when it names none.
int instSetOfFile(const Coff& coff) {
  if (coff.cFileHdr.f_opthdr != OPTHDR_SIZE || !isDvsProcTypeSupported(coff.cOptHdr.proc_type)) return 0;
  return getInstSet(convertDvsProcType(coff.cOptHdr.proc_type));
}

bool parseAddress(const char* text, uint32_t& address) {
  if (!std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX) return false;
  address = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

bool takeDisasmLetter(char letter, DisasmOptions& options) {
  switch (letter) {
    case 'D':
      options.all = true;
      [[fallthrough]];
    case 'd':
      options.enabled = true;
      return true;
    case 'S':
      options.source = true;
      [[fallthrough]];
    case 'l':
      options.lines = true;
      return true;
    default:
      return false;
  }
}

OptionResult parseDisasmOption(int argc, char** argv, int& i, DisasmOptions& options) {
  std::string_view arg = argv[i];
  if (arg == "--disassemble") {
    options.enabled = true;
  } else if (arg == "--disassemble-all") {
    options.enabled = options.all = true;
  } else if (arg == "--line-numbers") {
    options.lines = true;
  } else if (arg == "--source") {
    options.lines = options.source = true;
  } else if (arg == "--source-dir" || arg.starts_with("--source-dir=")) {
    const char* value = arg.size() > 12 ? argv[i] + 13 : i + 1 < argc ? argv[++i] : nullptr;
    if (value == nullptr || *value == '\0') {
      tarsil::usageMistake("tarsil-objdump", "option '--source-dir' needs a directory");
      return OptionResult::bad;
    }
    options.sourceDirs.emplace_back(value);
  } else if (arg.size() == 2 && arg[0] == '-' && takeDisasmLetter(arg[1], options)) {
    // -d, -D, -l or -S alone
  } else if (arg == "--no-show-raw-insn") {
    options.showRaw = false;
  } else {
    for (auto [option, address] : {std::pair<std::string_view, uint32_t*>{"--start-address", &options.start},
                                   std::pair<std::string_view, uint32_t*>{"--stop-address", &options.stop}}) {
      if (!arg.starts_with(option)) continue;
      std::string_view rest = arg.substr(option.size());
      const char* value = nullptr;
      if (rest.empty() && i + 1 < argc) value = argv[++i];
      else if (rest.starts_with('=')) value = rest.data() + 1;
      else if (!rest.empty()) continue;
      if (value && parseAddress(value, *address)) return OptionResult::taken;
      std::fprintf(stderr, "tarsil-objdump: %.*s needs an address (decimal or 0x hexadecimal), not '%s'\n",
                   static_cast<int>(option.size()), option.data(), value ? value : "");
      return OptionResult::bad;
    }
    return OptionResult::notMine;
  }
  return OptionResult::taken;
}

void disassemble(const Coff& coff, const DisasmOptions& options, std::ostream& os) {
  int instSet = options.instSet ? options.instSet : instSetOfFile(coff);
  if (instSet == 0) {
    os << "disassembly: the file names no known device\n";
    return;
  }
  Disassembler disassembler(coff, options, instSet, os);
  struct Shown {
    int number;
    const std::string* name;
    const scnhdr* hdr;
    const Data* data;
    bool decode;
  };
  std::vector<Shown> shown;
  for (const auto& [number, name] : coff.cScnNum) {
    auto hdr = coff.cScnHdr.find(name);
    auto data = coff.cRawData.find(name);
    if (hdr == coff.cScnHdr.end() || data == coff.cRawData.end()) continue;
    Coff::ScnType kind = Coff::getScnType(hdr->second);
    // Romdata and the images of initialized data hold data, shown as words
    // unless every section is to be decoded.
    bool decode = options.all || kind == Coff::code;
    if (decode || kind == Coff::romdata) shown.push_back({number, &name, &hdr->second, &data->second, decode});
  }
  // In the order of memory, program memory first: a listing read from top
  // to bottom then follows the addresses.
  std::stable_sort(shown.begin(), shown.end(), [](const Shown& a, const Shown& b) {
    const bool aData = !inProgramMemory(*a.hdr);
    const bool bData = !inProgramMemory(*b.hdr);
    if (aData != bData) return bData;
    return a.hdr->s_paddr < b.hdr->s_paddr;
  });
  for (const Shown& s : shown) disassembler.section(s.number, *s.name, *s.hdr, *s.data, s.decode);
}

}  // namespace tarsil::tools
