// SPDX-License-Identifier: Apache-2.0
#include "Build.h"

#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>

#include "CoffNames.h"
#include "Fields.h"

namespace tarsil::tools {

namespace {

// Record sizes of both layouts; the older one has no optional header and
// shorter relocation and line-number entries.
constexpr uint32_t kFileHdrSize = 20;
constexpr uint32_t kOptHdrSize = 16;
constexpr uint32_t kScnHdrSize = 40;
constexpr uint32_t kSymSize = 18;
constexpr uint32_t kRelocSize = 12;
constexpr uint32_t kOldRelocSize = 10;
constexpr uint32_t kLineSize = 16;
constexpr uint32_t kOldLineSize = 6;
constexpr uint32_t kArHdrSize = 280;
constexpr uint32_t kStypBss = 0x80;
constexpr uint32_t kLinenoHasFcn = 0x0001;

// A key left empty ("object:") means an empty map, like a missing one.
YAML::Node mapOrEmpty(const YAML::Node& node) {
  return node && !node.IsNull() ? node : YAML::Node(YAML::NodeType::Map);
}

void put8(std::vector<char>& b, size_t at, uint32_t v) { b[at] = static_cast<char>(v & 0xFF); }
void put16(std::vector<char>& b, size_t at, uint32_t v) {
  put8(b, at, v);
  put8(b, at + 1, v >> 8);
}
void put32(std::vector<char>& b, size_t at, uint32_t v) {
  put16(b, at, v);
  put16(b, at + 2, v >> 16);
}

uint32_t fileSize(size_t size, const YAML::Node& where) {
  if (size > 0xFFFFFFFFu) fail(where, "the file would exceed 4 GiB");
  return static_cast<uint32_t>(size);
}

// A field that the layout computes, unless the description sets it itself.
uint32_t computedOr(const YAML::Node& map, const char* key, uint32_t computed, unsigned bits) {
  return map[key] ? fieldValue(map[key], bits) : computed;
}

// Byte-level edits after the layout: the way to make a file that no sane
// writer would, for the readers' tests.
void applyEdits(const YAML::Node& root, std::vector<char>& image) {
  if (const YAML::Node patches = root["patches"]) {
    requireSequence(patches, "patches");
    for (const auto& patch : patches) {
      checkKeys(patch, {"at", "data"}, "a patch");
      if (!patch["at"] || !patch["data"]) fail(patch, "a patch needs 'at' and 'data'");
      uint32_t at = fieldValue(patch["at"], 32);
      std::vector<char> bytes = hexBytes(patch["data"]);
      if (at > image.size()) fail(patch["at"], "patch starts past the end of the file");
      if (at + bytes.size() > image.size()) image.resize(at + bytes.size());
      std::copy(bytes.begin(), bytes.end(), image.begin() + at);
    }
  }
  if (const YAML::Node truncate = root["truncate"]) {
    uint32_t size = fieldValue(truncate, 32);
    if (size > image.size()) fail(truncate, "cannot truncate a file of " + std::to_string(image.size()) +
                                                " bytes to " + std::to_string(size));
    image.resize(size);
  }
}

class ObjectBuilder {
public:
  explicit ObjectBuilder(const YAML::Node& root) : cRoot(root) {}
  std::vector<char> build();

private:
  struct Section {
    // yaml-cpp's assignment writes through to the node assigned to, so the
    // node is bound once, at construction.
    explicit Section(const YAML::Node& n) : node(n) {}
    YAML::Node node;
    std::string name;
    uint32_t flags = 0;
    std::vector<char> data;
    uint32_t size = 0;
    std::vector<char> relocs;
    std::vector<char> lines;
    uint32_t nreloc = 0;
    uint32_t nlnno = 0;
    uint32_t scnptr = 0, relptr = 0, lnnoptr = 0;
  };

  void collectSections();
  void collectSymbols();
  void fillName(std::vector<char>& b, size_t at, const YAML::Node& owner, const std::string& name);
  uint32_t addString(const std::string& s);
  uint32_t symbolRef(const YAML::Node& node);
  uint32_t sectionRef(const YAML::Node& node);
  void buildRelocs(Section& scn);
  void buildLines(Section& scn);
  std::vector<char> buildSymbols();
  void writeFileHeaders(std::vector<char>& image, const YAML::Node& header, const YAML::Node& optional,
                        uint32_t symptr) const;
  void writeSectionHeaders(std::vector<char>& image, size_t scnHdrStart) const;
  void buildAux(const YAML::Node& aux, std::vector<char>& b, size_t at);

  const YAML::Node cRoot;
  bool cOld = false;
  std::vector<Section> cSections;
  std::map<std::string, uint32_t> cSectionNumbers;
  std::vector<YAML::Node> cSymbols;
  std::map<std::string, uint32_t> cSymbolIndex;
  uint32_t cSlots = 0;
  std::vector<std::string> cStrings;
  std::map<std::string, uint32_t> cStringOffset;
  uint32_t cNextString = 4;
};

uint32_t ObjectBuilder::addString(const std::string& s) {
  // The first equal entry is the one a name lookup finds, so reuse it.
  auto found = cStringOffset.find(s);
  if (found != cStringOffset.end()) return found->second;
  uint32_t offset = cNextString;
  cStrings.push_back(s);
  cStringOffset.emplace(s, offset);
  cNextString += static_cast<uint32_t>(s.size()) + 1;
  return offset;
}

void ObjectBuilder::fillName(std::vector<char>& b, size_t at, const YAML::Node& owner, const std::string& name) {
  if (owner["name_offset"]) {
    put32(b, at, 0);
    put32(b, at + 4, fieldValue(owner["name_offset"], 32));
  } else if (name.size() <= 8) {
    std::copy(name.begin(), name.end(), b.begin() + static_cast<long>(at));
  } else {
    put32(b, at, 0);
    put32(b, at + 4, addString(name));
  }
}

uint32_t ObjectBuilder::symbolRef(const YAML::Node& node) {
  std::string text = scalar(node, "a symbol");
  int64_t number;
  if (parseInteger(text, number)) return fieldValue(node, 32);
  auto found = cSymbolIndex.find(text);
  if (found == cSymbolIndex.end()) fail(node, "unknown symbol '" + text + "'");
  return found->second;
}

uint32_t ObjectBuilder::sectionRef(const YAML::Node& node) {
  std::string text = scalar(node, "a section");
  auto found = cSectionNumbers.find(text);
  if (found != cSectionNumbers.end()) return found->second;
  if (text == "UNDEF") return 0;
  if (text == "ABS") return 0xFFFF;
  if (text == "DEBUG") return 0xFFFE;
  int64_t number;
  if (!parseInteger(text, number)) fail(node, "unknown section '" + text + "'");
  return fieldValue(node, 16);
}

void ObjectBuilder::collectSections() {
  const YAML::Node sections = cRoot["sections"];
  if (!sections) return;
  requireSequence(sections, "sections");
  for (const auto& node : sections) {
    checkKeys(node,
              {"name", "flags", "address", "paddr", "vaddr", "data", "size", "relocs", "lines", "name_offset",
               "s_size", "s_scnptr", "s_relptr", "s_lnnoptr", "s_nreloc", "s_nlnno"},
              "a section");
    if (!node["name"]) fail(node, "a section needs a name");
    Section scn(node);
    scn.name = scalar(node["name"], "a section name");
    if (scn.name.empty() && !node["name_offset"]) fail(node["name"], "a section name cannot be empty");
    uint32_t number = static_cast<uint32_t>(cSections.size()) + 1;
    cSectionNumbers.emplace(scn.name, number);
    cSections.push_back(std::move(scn));
  }
  if (cSections.size() > 0xFFFF) fail(sections, "more than 65535 sections");
}

void ObjectBuilder::collectSymbols() {
  const YAML::Node symbols = cRoot["symbols"];
  if (!symbols) return;
  requireSequence(symbols, "symbols");
  for (const auto& node : symbols) {
    checkKeys(node, {"name", "value", "section", "type", "class", "numaux", "aux", "name_offset"}, "a symbol");
    std::string name = node["name"] ? scalar(node["name"], "a symbol name") : std::string();
    cSymbolIndex.emplace(name, cSlots);
    uint32_t slots = 1;
    if (const YAML::Node aux = node["aux"]) {
      requireSequence(aux, "aux");
      slots += static_cast<uint32_t>(aux.size());
    }
    cSlots += slots;
    cSymbols.push_back(node);
  }
}

void ObjectBuilder::buildRelocs(Section& scn) {
  const YAML::Node relocs = scn.node["relocs"];
  if (!relocs) return;
  requireSequence(relocs, "relocs");
  for (const auto& node : relocs) {
    checkKeys(node, {"address", "symbol", "addend", "type"}, "a relocation");
    uint32_t vaddr = node["address"] ? fieldValue(node["address"], 32) : 0;
    uint32_t symndx = node["symbol"] ? symbolRef(node["symbol"]) : 0;
    uint32_t addend = node["addend"] ? fieldValue(node["addend"], 16) : 0;
    if (!node["type"]) fail(node, "a relocation needs a type");
    uint32_t type = namedValue(node["type"], relocTypeNames(), 16, "relocation type");
    size_t at = scn.relocs.size();
    if (cOld) {
      if (node["addend"]) fail(node["addend"], "the older layout has no relocation addend");
      scn.relocs.resize(at + kOldRelocSize);
      put32(scn.relocs, at, vaddr);
      put32(scn.relocs, at + 4, symndx);
      put16(scn.relocs, at + 8, type);
    } else {
      scn.relocs.resize(at + kRelocSize);
      put32(scn.relocs, at, vaddr);
      put32(scn.relocs, at + 4, symndx);
      put16(scn.relocs, at + 8, addend);
      put16(scn.relocs, at + 10, type);
    }
    ++scn.nreloc;
  }
}

void ObjectBuilder::buildLines(Section& scn) {
  const YAML::Node lines = scn.node["lines"];
  if (!lines) return;
  requireSequence(lines, "lines");
  for (const auto& node : lines) {
    checkKeys(node, {"line", "address", "file", "function", "flags"}, "a line number");
    size_t at = scn.lines.size();
    if (cOld) {
      // The older layout marks the function of the following lines with an
      // entry of line 0 instead of naming it on every line.
      if (node["file"] || node["flags"]) fail(node, "the older layout has no line file or flags");
      if (node["function"] && (node["line"] || node["address"]))
        fail(node, "in the older layout an entry is either a function marker or a line");
      scn.lines.resize(at + kOldLineSize);
      if (node["function"]) {
        put32(scn.lines, at, symbolRef(node["function"]));
      } else {
        if (!node["line"]) fail(node, "a line number needs 'line' or 'function'");
        put32(scn.lines, at, node["address"] ? fieldValue(node["address"], 32) : 0);
        put16(scn.lines, at + 4, fieldValue(node["line"], 16));
      }
    } else {
      scn.lines.resize(at + kLineSize);
      uint32_t flags = 0, fcn = 0;
      if (node["function"]) {
        fcn = symbolRef(node["function"]);
        flags = kLinenoHasFcn;
      }
      if (node["flags"]) flags = fieldValue(node["flags"], 16);
      put32(scn.lines, at, node["file"] ? symbolRef(node["file"]) : 0);
      put16(scn.lines, at + 4, node["line"] ? fieldValue(node["line"], 16) : 0);
      put32(scn.lines, at + 6, node["address"] ? fieldValue(node["address"], 32) : 0);
      put16(scn.lines, at + 10, flags);
      put32(scn.lines, at + 12, fcn);
    }
    ++scn.nlnno;
  }
}

void ObjectBuilder::buildAux(const YAML::Node& aux, std::vector<char>& b, size_t at) {
  requireMap(aux, "an aux entry");
  if (!aux["kind"]) fail(aux, "an aux entry needs a kind");
  std::string kind = scalar(aux["kind"], "an aux kind");
  auto u32 = [&](const char* key, size_t offset) {
    if (aux[key]) put32(b, at + offset, fieldValue(aux[key], 32));
  };
  auto u16 = [&](const char* key, size_t offset) {
    if (aux[key]) put16(b, at + offset, fieldValue(aux[key], 16));
  };
  auto ref = [&](const char* key, size_t offset) {
    if (aux[key]) put32(b, at + offset, symbolRef(aux[key]));
  };
  if (kind == "raw") {
    checkKeys(aux, {"kind", "data"}, "a raw aux entry");
    std::vector<char> bytes = hexBytes(aux["data"]);
    if (bytes.size() > kSymSize) fail(aux["data"], "an aux entry holds at most 18 bytes");
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
  } else if (kind == "file") {
    checkKeys(aux, {"kind", "name", "offset", "incline", "flags"}, "a file aux entry");
    std::string name = aux["name"] ? scalar(aux["name"], "a file name") : std::string();
    if (cOld) {
      // The older layout keeps the name in the entry itself.
      if (aux["offset"]) fail(aux["offset"], "the older layout keeps the file name in the entry");
      if (name.size() > kSymSize) fail(aux["name"], "a file name in the older layout holds at most 18 bytes");
      std::copy(name.begin(), name.end(), b.begin() + static_cast<long>(at));
    } else {
      if (aux["offset"]) u32("offset", 0);
      else if (aux["name"]) put32(b, at, addString(name));
      u32("incline", 4);
      if (aux["flags"]) put8(b, at + 8, fieldValue(aux["flags"], 8));
    }
  } else if (kind == "scn") {
    checkKeys(aux, {"kind", "length", "nreloc", "nlinno"}, "a scn aux entry");
    u32("length", 0);
    u16("nreloc", 4);
    u16("nlinno", 6);
  } else if (kind == "tag") {
    checkKeys(aux, {"kind", "size", "endndx"}, "a tag aux entry");
    u16("size", 6);
    ref("endndx", 12);
  } else if (kind == "eos") {
    checkKeys(aux, {"kind", "tagndx", "size"}, "an eos aux entry");
    ref("tagndx", 0);
    u16("size", 6);
  } else if (kind == "fcn") {
    checkKeys(aux, {"kind", "tagndx", "size", "lnnoptr", "endndx", "actscnum"}, "a fcn aux entry");
    ref("tagndx", 0);
    u32("size", 4);
    u32("lnnoptr", 8);
    ref("endndx", 12);
    if (aux["actscnum"]) put16(b, at + 16, sectionRef(aux["actscnum"]));
  } else if (kind == "arr") {
    checkKeys(aux, {"kind", "tagndx", "lnno", "size", "dimen"}, "an arr aux entry");
    ref("tagndx", 0);
    u16("lnno", 4);
    u16("size", 6);
    if (const YAML::Node dimen = aux["dimen"]) {
      requireSequence(dimen, "dimen");
      if (dimen.size() > 4) fail(dimen, "an array has at most four dimensions");
      for (size_t i = 0; i < dimen.size(); ++i) put16(b, at + 8 + 2 * i, fieldValue(dimen[i], 16));
    }
  } else if (kind == "eobf") {
    checkKeys(aux, {"kind", "srcndx", "lnno"}, "an eobf aux entry");
    ref("srcndx", 0);
    u16("lnno", 4);
  } else if (kind == "bobf") {
    checkKeys(aux, {"kind", "srcndx", "lnno", "endndx"}, "a bobf aux entry");
    ref("srcndx", 0);
    u16("lnno", 4);
    ref("endndx", 12);
  } else if (kind == "var") {
    checkKeys(aux, {"kind", "tagndx", "size"}, "a var aux entry");
    ref("tagndx", 0);
    u16("size", 6);
  } else if (kind == "field") {
    checkKeys(aux, {"kind", "size"}, "a field aux entry");
    u16("size", 6);
  } else if (kind == "fcn_calls") {
    checkKeys(aux, {"kind", "callee", "interrupt"}, "a fcn_calls aux entry");
    ref("callee", 0);
    u32("interrupt", 4);
  } else {
    fail(aux["kind"], "unknown aux kind '" + kind + "'");
  }
}

std::vector<char> ObjectBuilder::buildSymbols() {
  std::vector<char> b(static_cast<size_t>(cSlots) * kSymSize, 0);
  size_t at = 0;
  for (const YAML::Node& node : cSymbols) {
    std::string name = node["name"] ? node["name"].Scalar() : std::string();
    fillName(b, at, node, name);
    if (node["value"]) put32(b, at + 8, fieldValue(node["value"], 32));
    if (node["section"]) put16(b, at + 12, sectionRef(node["section"]));
    if (node["type"]) put16(b, at + 14, fieldValue(node["type"], 16));
    uint32_t sclass = node["class"] ? namedValue(node["class"], storageClassNames(), 8, "storage class") : 2;
    put8(b, at + 16, sclass);
    const YAML::Node aux = node["aux"];
    uint32_t naux = aux ? static_cast<uint32_t>(aux.size()) : 0;
    if (naux > 0xFF) fail(aux, "a symbol has at most 255 aux entries");
    put8(b, at + 17, computedOr(node, "numaux", naux, 8));
    at += kSymSize;
    if (aux) {
      for (const auto& entry : aux) {
        buildAux(entry, b, at);
        at += kSymSize;
      }
    }
  }
  return b;
}

std::vector<char> ObjectBuilder::build() {
  checkKeys(cRoot, {"layout", "header", "optional", "sections", "symbols", "strings", "strtab", "patches", "truncate"},
            "an object");
  if (const YAML::Node layout = cRoot["layout"]) {
    std::string text = scalar(layout, "layout");
    if (text == "old") cOld = true;
    else if (text != "current") fail(layout, "layout is 'current' or 'old', not '" + text + "'");
  }
  const YAML::Node header = mapOrEmpty(cRoot["header"]);
  checkKeys(header, {"magic", "time", "flags", "nscns", "symptr", "nsyms", "opthdr"}, "the header");
  const YAML::Node optional = mapOrEmpty(cRoot["optional"]);
  checkKeys(optional, {"magic", "vstamp", "device", "proc_type", "rom_width", "ram_width"}, "the optional header");
  if (cOld && cRoot["optional"]) fail(cRoot["optional"], "the older layout has no optional header");

  collectSections();
  collectSymbols();

  std::vector<char> image(kFileHdrSize + (cOld ? 0 : kOptHdrSize) + cSections.size() * kScnHdrSize, 0);
  size_t scnHdrStart = kFileHdrSize + (cOld ? 0 : kOptHdrSize);

  for (Section& scn : cSections) {
    const YAML::Node& node = scn.node;
    if (node["flags"]) scn.flags = flagsValue(node["flags"], sectionFlagNames(), 32, "section flag");
    if (node["data"]) scn.data = hexBytes(node["data"]);
    scn.size = static_cast<uint32_t>(scn.data.size());
    if (node["size"]) {
      uint32_t size = fieldValue(node["size"], 32);
      if (size < scn.data.size()) fail(node["size"], "size is smaller than the section's data");
      // A size-only section gets its zero bytes in the file, as the linker's
      // own writer gives them, so that archive members stay where a reader
      // computes them. A BSS section takes no room at all.
      if (!(scn.flags & kStypBss) && size > (64u << 20)) fail(node["size"], "a section of data over 64 MiB");
      scn.size = size;
      if (!(scn.flags & kStypBss)) scn.data.resize(size, 0);
    }
    buildRelocs(scn);
    buildLines(scn);
  }
  // Section names first, then symbol names, so string offsets follow the
  // order of the description.
  for (size_t i = 0; i < cSections.size(); ++i)
    fillName(image, scnHdrStart + i * kScnHdrSize, cSections[i].node, cSections[i].name);
  std::vector<char> symbols = buildSymbols();

  for (Section& scn : cSections) {
    if ((scn.flags & kStypBss) || scn.data.empty()) continue;
    scn.scnptr = fileSize(image.size(), scn.node);
    image.insert(image.end(), scn.data.begin(), scn.data.end());
  }
  for (Section& scn : cSections) {
    if (scn.relocs.empty()) continue;
    scn.relptr = fileSize(image.size(), scn.node);
    image.insert(image.end(), scn.relocs.begin(), scn.relocs.end());
  }
  for (Section& scn : cSections) {
    if (scn.lines.empty()) continue;
    scn.lnnoptr = fileSize(image.size(), scn.node);
    image.insert(image.end(), scn.lines.begin(), scn.lines.end());
  }
  uint32_t symptr = cSlots ? fileSize(image.size(), cRoot) : 0;
  image.insert(image.end(), symbols.begin(), symbols.end());

  if (const YAML::Node extra = cRoot["strings"]) {
    requireSequence(extra, "strings");
    // Appended as given, duplicates included, after the names.
    for (const auto& s : extra) {
      std::string text = scalar(s, "a string");
      cStrings.push_back(text);
      cNextString += static_cast<uint32_t>(text.size()) + 1;
    }
  }
  if (const YAML::Node strtab = cRoot["strtab"]) {
    std::vector<char> bytes = hexBytes(strtab);
    image.insert(image.end(), bytes.begin(), bytes.end());
  } else {
    size_t at = image.size();
    image.resize(at + 4);
    put32(image, at, cNextString);
    for (const std::string& s : cStrings) {
      image.insert(image.end(), s.begin(), s.end());
      image.push_back('\0');
    }
  }
  fileSize(image.size(), cRoot);

  writeFileHeaders(image, header, optional, symptr);
  writeSectionHeaders(image, scnHdrStart);
  applyEdits(cRoot, image);
  return image;
}

// Counts and offsets the description leaves out are the ones the layout gives;
// a value it states wins, so that damaged headers can be described.
void ObjectBuilder::writeFileHeaders(std::vector<char>& image, const YAML::Node& header, const YAML::Node& optional,
                                     uint32_t symptr) const {
  put16(image, 0, computedOr(header, "magic", 0x1234, 16));
  put16(image, 2, computedOr(header, "nscns", static_cast<uint32_t>(cSections.size()), 16));
  put32(image, 4, computedOr(header, "time", 0, 32));
  put32(image, 8, computedOr(header, "symptr", symptr, 32));
  put32(image, 12, computedOr(header, "nsyms", cSlots, 32));
  put16(image, 16, computedOr(header, "opthdr", cOld ? 0 : kOptHdrSize, 16));
  put16(image, 18, header["flags"] ? flagsValue(header["flags"], fileFlagNames(), 16, "file flag") : 0);

  if (!cOld) {
    put16(image, 20, computedOr(optional, "magic", 0, 16));
    put16(image, 22, computedOr(optional, "vstamp", 0, 16));
    uint32_t procType = optional["device"] ? fieldValue(optional["device"], 16) : 0;
    put32(image, 24, computedOr(optional, "proc_type", procType, 32));
    put32(image, 28, computedOr(optional, "rom_width", 0, 32));
    put32(image, 32, computedOr(optional, "ram_width", 0, 32));
  }
}

void ObjectBuilder::writeSectionHeaders(std::vector<char>& image, size_t scnHdrStart) const {
  for (size_t i = 0; i < cSections.size(); ++i) {
    const Section& scn = cSections[i];
    const YAML::Node& node = scn.node;
    size_t at = scnHdrStart + i * kScnHdrSize;
    uint32_t address = node["address"] ? fieldValue(node["address"], 32) : 0;
    put32(image, at + 8, computedOr(node, "paddr", address, 32));
    put32(image, at + 12, computedOr(node, "vaddr", address, 32));
    put32(image, at + 16, computedOr(node, "s_size", scn.size, 32));
    put32(image, at + 20, computedOr(node, "s_scnptr", scn.scnptr, 32));
    put32(image, at + 24, computedOr(node, "s_relptr", scn.relptr, 32));
    put32(image, at + 28, computedOr(node, "s_lnnoptr", scn.lnnoptr, 32));
    if (scn.nreloc > 0xFFFF) fail(node["relocs"], "more than 65535 relocations");
    if (scn.nlnno > 0xFFFF) fail(node["lines"], "more than 65535 line numbers");
    put16(image, at + 32, computedOr(node, "s_nreloc", scn.nreloc, 16));
    put16(image, at + 34, computedOr(node, "s_nlnno", scn.nlnno, 16));
    put32(image, at + 36, scn.flags);
  }
}

// "%lu" followed by the letter 'l', cut to the field and NUL-padded, its
// last byte always NUL.
void putArNumber(std::vector<char>& b, size_t at, size_t width, uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64 "l", value);
  for (size_t i = 0; i + 1 < width && text[i] != '\0'; ++i) b[at + i] = text[i];
}

std::vector<char> buildArchive(const YAML::Node& root) {
  checkKeys(root, {"archive", "patches", "truncate"}, "a library");
  const YAML::Node archive = mapOrEmpty(root["archive"]);
  checkKeys(archive, {"magic", "members"}, "the archive");
  std::string magic = "!<arch>\n";
  if (archive["magic"]) magic = scalar(archive["magic"], "the archive magic");
  std::vector<char> image(magic.begin(), magic.end());
  if (const YAML::Node members = archive["members"]) {
    requireSequence(members, "members");
    for (const auto& member : members) {
      checkKeys(member, {"name", "date", "size", "fmag", "object", "raw", "append"}, "a member");
      if (!member["name"]) fail(member, "a member needs a name");
      if (member["object"] && member["raw"]) fail(member, "a member is either 'object' or 'raw'");
      if (!member["object"] && !member["raw"]) fail(member, "a member needs 'object' or 'raw'");
      std::vector<char> body = member["raw"] ? hexBytes(member["raw"]) : ObjectBuilder(mapOrEmpty(member["object"])).build();
      // Bytes after the image that a writer of this layout would not leave.
      if (member["append"]) {
        std::vector<char> extra = hexBytes(member["append"]);
        body.insert(body.end(), extra.begin(), extra.end());
      }
      std::string name = scalar(member["name"], "a member name");
      if (name.size() > 256) fail(member["name"], "a member name holds at most 256 characters");
      std::vector<char> hdr(kArHdrSize, '\0');
      // A name of the whole 256 characters leaves no room for the '/': the
      // readers' test for a name with no end mark.
      std::fill(hdr.begin(), hdr.begin() + 256, ' ');
      std::copy(name.begin(), name.end(), hdr.begin());
      if (name.size() < 256) hdr[name.size()] = '/';
      putArNumber(hdr, 256, 12, member["date"] ? fieldValue(member["date"], 32) : 0);
      putArNumber(hdr, 268, 10, member["size"] ? fieldValue(member["size"], 32) : body.size());
      std::vector<char> fmag = {'\x60', '\x0A'};
      if (member["fmag"]) {
        fmag = hexBytes(member["fmag"]);
        if (fmag.size() != 2) fail(member["fmag"], "fmag is two bytes");
      }
      hdr[278] = fmag[0];
      hdr[279] = fmag[1];
      image.insert(image.end(), hdr.begin(), hdr.end());
      image.insert(image.end(), body.begin(), body.end());
      fileSize(image.size(), member);
    }
  }
  applyEdits(root, image);
  return image;
}

}  // namespace

std::vector<char> buildFile(const YAML::Node& root) {
  if (root.IsNull()) return ObjectBuilder(mapOrEmpty(root)).build();
  requireMap(root, "a description");
  if (root["raw"]) {
    checkKeys(root, {"raw", "patches", "truncate"}, "a raw file");
    std::vector<char> image = hexBytes(root["raw"]);
    applyEdits(root, image);
    return image;
  }
  if (root["archive"]) return buildArchive(root);
  return ObjectBuilder(root).build();
}

}  // namespace tarsil::tools
