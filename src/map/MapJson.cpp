// SPDX-License-Identifier: Apache-2.0
#include "map/MapJson.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "coff/Coff.h"
#include "map/MapText.h"
#include "map/MapView.h"
#include "support/Assert.h"
#include "support/AtomicFile.h"
#include "support/Error.h"
#include "support/FileInfo.h"
#include "support/Version.h"

// The viewer's page (src/map/viewer/map.html), compiled in.
extern const char kMapViewerPage[];
extern const std::size_t kMapViewerPageSize;

namespace tarsil {

namespace {

// The bytes a string can hold unchanged: no quote, backslash, control
// character or byte beyond ASCII (which must be checked as UTF-8), and no
// '<', which could close the script element of a page.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x80; ++c) table[c] = c != '"' && c != '\\' && c != '<';
  return table;
}();

// Whether any of eight bytes is not plain: a high bit, a byte below 0x20,
// or one of the three characters. Each test is exact for the word as a
// whole (a borrow only ever follows a byte that matched).
constexpr bool mayNeedEscape(uint64_t word) {
  constexpr uint64_t ones = 0x0101010101010101;
  constexpr uint64_t high = 0x8080808080808080;
  auto below = [](uint64_t w, uint64_t n) { return (w - ones * n) & ~w & high; };
  return ((word & high) | below(word, 0x20) | below(word ^ (ones * '"'), 1) | below(word ^ (ones * '\\'), 1) |
          below(word ^ (ones * '<'), 1)) != 0;
}

// Whether `n` bytes need no escape, looked at eight to a word: a name's
// last word overlaps the one before it, and a shorter name's bytes are
// gathered into one word by overlapping loads (a byte seen twice is still
// seen), the rest of the word filled with a plain letter.
bool isPlain(const unsigned char* bytes, size_t n) {
  auto load = [](const unsigned char* at, size_t size) {
    uint64_t word = 0;
    std::memcpy(&word, at, size);
    return word;
  };
  if (n >= 8) {
    bool special = mayNeedEscape(load(bytes + n - 8, 8));
    for (size_t i = 0; i + 8 < n; i += 8) special |= mayNeedEscape(load(bytes + i, 8));
    return !special;
  }
  constexpr uint64_t letters = 0x6161616161616161;
  if (n >= 4) return !mayNeedEscape(load(bytes, 4) | load(bytes + n - 4, 4) << 32);
  if (n == 0) return true;
  const uint64_t three = uint64_t{bytes[0]} | uint64_t{bytes[n / 2]} << 8 | uint64_t{bytes[n - 1]} << 16;
  return !mayNeedEscape(three | (letters & ~uint64_t{0xFFFFFF}));
}

// The length of the well-formed UTF-8 sequence at `p`, or 0.
size_t utf8Length(const unsigned char* p, size_t left) {
  const unsigned char c = p[0];
  size_t n;
  uint32_t least;
  if (c >= 0xC2 && c <= 0xDF) n = 2, least = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, least = 0x800;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, least = 0x10000;
  else return 0;
  if (left < n) return 0;
  uint32_t code = c & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

// Tokens are written through a plain pointer into room taken beforehand for
// a whole row: the pointer stays in a register, where a count kept in the
// writer would be reloaded after every byte stored.
template <size_t N>
char* put(char* p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + N - 1;
}

// Every number below 10,000 as four digits, leading zeros included: a
// number below 10^8 is two copies from here.
constexpr std::array<std::array<char, 4>, 10000> kQuads = [] {
  std::array<std::array<char, 4>, 10000> quads{};
  for (int i = 0; i < 10000; ++i)
    quads[i] = {static_cast<char>('0' + i / 1000), static_cast<char>('0' + i / 100 % 10),
                static_cast<char>('0' + i / 10 % 10), static_cast<char>('0' + i % 10)};
  return quads;
}();

// The number of decimal digits of `value`.
size_t decimalDigits(uint64_t value) {
  static constexpr uint64_t kPowers[20] = {1ull,
                                           10ull,
                                           100ull,
                                           1000ull,
                                           10000ull,
                                           100000ull,
                                           1000000ull,
                                           10000000ull,
                                           100000000ull,
                                           1000000000ull,
                                           10000000000ull,
                                           100000000000ull,
                                           1000000000000ull,
                                           10000000000000ull,
                                           100000000000000ull,
                                           1000000000000000ull,
                                           10000000000000000ull,
                                           100000000000000000ull,
                                           1000000000000000000ull,
                                           10000000000000000000ull};
  // From the bit length: 1233 / 4096 is just over log10(2).
  const unsigned guess = static_cast<unsigned>(std::bit_width(value | 1) * 1233) >> 12;
  return guess + (value >= kPowers[guess] ? 1 : 0) + (value == 0 ? 1 : 0);
}

// At most 20 digits; the eight bytes from `p` may be stored to whatever the
// number's length.
char* putNumber(char* p, uint64_t value) {
  const size_t digits = decimalDigits(value);
  if (digits <= 8) {
    // Eight digits, of which the last `digits` are the number's.
    char eight[16] = {};
    const auto low = static_cast<uint32_t>(value);
    std::memcpy(eight, kQuads[low / 10000].data(), 4);
    std::memcpy(eight + 4, kQuads[low % 10000].data(), 4);
    std::memcpy(p, eight + 8 - digits, 8);
    return p + digits;
  }
  char* const end = p + digits;
  char* at = end;
  while (value >= 10000) {
    at -= 4;
    std::memcpy(at, kQuads[value % 10000].data(), 4);
    value /= 10000;
  }
  const size_t rest = static_cast<size_t>(at - p);
  std::memcpy(p, kQuads[value].data() + 4 - rest, rest);
  return end;
}

// The room a string can take: six bytes for each byte escaped, and quotes.
constexpr size_t stringRoom(std::string_view text) { return 6 * text.size() + 2; }

// The bytes of a name that need more than a copy.
char* putEscaped(char* p, const unsigned char* text, size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < n;) {
    const unsigned char c = text[i];
    if (kPlain[c]) {
      *p++ = static_cast<char>(c);
      ++i;
      continue;
    }
    const size_t length = c >= 0x80 ? utf8Length(text + i, n - i) : 0;
    if (length != 0) {
      std::memcpy(p, text + i, length);
      p += length;
      i += length;
      continue;
    }
    ++i;
    *p++ = '\\';
    switch (c) {
      case '"':
      case '\\':
        *p++ = static_cast<char>(c);
        break;
      case '\n':
        *p++ = 'n';
        break;
      case '\t':
        *p++ = 't';
        break;
      default:
        // Anything that is not UTF-8 is written as the code point of its
        // byte, so that the document is always valid.
        p = put(p, "u00");
        *p++ = kHex[c >> 4];
        *p++ = kHex[c & 0xF];
    }
  }
  return p;
}

// A string, quoted; at most stringRoom(text) bytes.
char* putString(char* p, std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  *p++ = '"';
  // Nearly every name is plain, and copied once between its quotes.
  if (isPlain(bytes, n)) {
    copyText(p, text.data(), n);
    p += n;
  } else {
    p = putEscaped(p, bytes, n);
  }
  *p++ = '"';
  return p;
}

// The document is written a row at a time into a buffer of its own, which
// goes to the file in large pieces: most tokens are a few bytes, and handing
// each on alone would cost more than making it.
class Json {
public:
  explicit Json(std::span<MapText* const> outs) : cOuts(outs), cBuffer(new char[kRoom]) {}
  ~Json() { flush(); }
  Json(const Json&) = delete;
  Json& operator=(const Json&) = delete;

  void flush() {
    for (MapText* out : cOuts) out->put({cBuffer.get(), cUsed});
    cUsed = 0;
  }
  // Room for `most` bytes, written through the pointer returned and given
  // back to close(). Only a name out of all proportion needs more than the
  // buffer holds: the buffer grows to it.
  char* open(size_t most) {
    if (most > cSize - cUsed) {
      flush();
      if (most > cSize) {
        cBuffer.reset(new char[most]);
        cSize = most;
      }
    }
    return cBuffer.get() + cUsed;
  }
  void close(char* end) { cUsed = static_cast<size_t>(end - cBuffer.get()); }

  template <size_t N>
  Json& raw(const char (&text)[N]) {
    close(put(open(N - 1), text));
    return *this;
  }
  Json& raw(std::string_view text) {
    char* p = open(text.size());
    std::memcpy(p, text.data(), text.size());
    close(p + text.size());
    return *this;
  }
  Json& number(uint64_t value) {
    close(putNumber(open(20), value));
    return *this;
  }
  Json& index(uint32_t value) {
    close(putIndex(open(20), value));
    return *this;
  }

  // Indices into the view's lists recur on every row: the digits of those
  // below `count` are made once and copied as one word.
  void knowIndices(size_t count) {
    count = std::min<size_t>(count, 100000000);
    cIndexText.resize(count);
    cIndexLength.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
      char digits[20] = {};
      cIndexLength[i] = static_cast<uint8_t>(putNumber(digits, i) - digits);
      std::memcpy(cIndexText[i].data(), digits, 8);
    }
  }
  // A number, or null for an index that points nowhere; at most ten bytes.
  char* putIndex(char* p, uint32_t value) const {
    if (value < cIndexText.size()) {
      std::memcpy(p, cIndexText[value].data(), 8);
      return p + cIndexLength[value];
    }
    return value == MapView::kNone ? put(p, "null") : putNumber(p, value);
  }
  Json& boolean(bool value) { return value ? raw("true") : raw("false"); }
  Json& string(std::string_view text) {
    close(putString(open(stringRoom(text)), text));
    return *this;
  }
  Json& text(std::string_view key, std::string_view value) { return raw(key).string(value); }

private:
  static constexpr size_t kRoom = 1 << 16;
  std::span<MapText* const> cOuts;
  std::unique_ptr<char[]> cBuffer;
  size_t cSize = kRoom;
  size_t cUsed = 0;
  std::vector<std::array<char, 8>> cIndexText;
  std::vector<uint8_t> cIndexLength;
};

const char* kindText(UsageClass use) {
  switch (use) {
    case UsageClass::code:
    case UsageClass::fill:
      return "code";
    case UsageClass::romdata:
    case UsageClass::init:
      return "romdata";
    case UsageClass::idata:
      return "idata";
    case UsageClass::udata:
    case UsageClass::stack:
      return "udata";
    case UsageClass::actrec:
      return "actrec";
    default:
      return "unknown";
  }
}

void writeHead(Json& j, const MapView& view) {
  j.raw("{\"schema\":\"tarsil-map/1\",\n\"producer\":{\"name\":\"tarsil\",\"version\":")
      .string(Version::number())
      .raw("},\n\"created\":")
      .string(isoTime(view.created))
      .raw(",\n\"output\":")
      .string(view.output)
      .raw(",\n");
  const MapView::Device& d = view.device;
  j.raw("\"device\":{\"name\":");
  if (d.name.empty()) j.raw("null");
  else j.string(d.name);
  j.raw(",\"code\":").number(d.code).raw(",\"family\":").string(d.family);
  j.raw(",\"programBits\":").number(d.programBits).raw(",\"dataBits\":").number(d.dataBits);
  j.raw(",\"programBytesPerLocation\":").number(d.programBytesPerLocation).raw("},\n");
}

// A list: `each` writes an item, and the items are separated by commas, or
// stand one a line where `lines` says so.
template <class Items, class Each>
void list(Json& j, const Items& items, bool lines, Each each) {
  j.raw("[");
  bool first = true;
  for (const auto& item : items) {
    if (lines) j.raw(first ? "\n" : ",\n");
    else if (!first) j.raw(",");
    first = false;
    each(item);
  }
  j.raw("]");
}

void writeMemories(Json& j, const MapView& view) {
  j.raw("\"memories\":");
  list(j, view.memories, true, [&](const MapView::Memory& m) {
    const uint64_t size = uint64_t{m.end} - m.start + 1;
    j.text("{\"name\":", m.name).text(",\"kind\":", m.kind);
    j.text(",\"space\":", m.program ? "program" : "data").raw(",\"start\":").number(m.start);
    j.raw(",\"end\":").number(m.end).raw(",\"size\":").number(size).raw(",\"protected\":").boolean(m.isProtected);
    j.raw(",\"fill\":");
    if (m.hasFill) j.string(m.fill);
    else j.raw("null");
    j.raw(",\"used\":").number(m.used).raw(",\"filled\":").number(m.filled);
    j.raw(",\"free\":").number(size - std::min(size, m.used + m.filled)).raw(",\"holes\":");
    list(j, m.holes, false, [&](const MapView::Stretch& h) {
      j.raw("{\"start\":").number(h.start).raw(",\"locations\":").number(h.locations).raw("}");
    });
    j.raw("}");
  });
  j.raw(",\n\"inputs\":");
  list(j, view.inputs, true, [&](const MapView::Input& in) {
    j.text("{\"file\":", in.file).raw(",\"library\":");
    if (in.library.empty()) j.raw("null}");
    else j.string(in.library).raw("}");
  });
  j.raw(",\n\"sourceFiles\":");
  list(j, view.sourceFiles, true, [&](std::string_view file) { j.string(file); });
  j.raw(",\n");
}

void writeSections(Json& j, const MapView& view) {
  j.raw("\"sections\":");
  list(j, view.sections, true, [&](const MapView::Section& s) {
    const std::string_view use = usageClassName(s.use);
    const std::string_view kind = kindText(s.use);
    // The names, four numbers of at most twenty digits, and the keys.
    char* p = put(j.open(stringRoom(s.name) + stringRoom(use) + stringRoom(kind) + 256), "{\"name\":");
    p = putString(p, s.name);
    p = putString(put(p, ",\"class\":"), use);
    p = putString(put(p, ",\"kind\":"), kind);
    p = j.putIndex(put(p, ",\"memory\":"), s.memory);
    p = putNumber(put(p, ",\"address\":"), s.address);
    p = putNumber(put(p, ",\"locations\":"), s.locations);
    p = putNumber(put(p, ",\"bytes\":"), s.bytes);
    p = put(p, ",\"flags\":[");
    bool any = false;
    for (auto [set, name] : {std::pair{s.absolute, std::string_view("\"absolute\"")},
                             std::pair{s.shared, std::string_view("\"shared\"")},
                             std::pair{s.access, std::string_view("\"access\"")},
                             std::pair{s.overlay, std::string_view("\"overlay\"")}}) {
      if (!set) continue;
      if (any) *p++ = ',';
      any = true;
      std::memcpy(p, name.data(), name.size());
      p += name.size();
    }
    j.close(put(p, "],\"pieces\":"));
    list(j, std::span(view.pieces).subspan(s.firstPiece, s.pieceCount), false, [&](const MapView::Piece& piece) {
      // Four numbers of at most twenty digits, and the keys.
      char* q = j.putIndex(put(j.open(128), "{\"input\":"), piece.input);
      q = putNumber(put(q, ",\"address\":"), piece.address);
      q = putNumber(put(q, ",\"offset\":"), piece.offset);
      q = putNumber(put(q, ",\"bytes\":"), piece.bytes);
      j.close(put(q, "}"));
    });
    j.raw("}");
  });
  j.raw(",\n");
}

// The largest list by far: a row of values each, their names said once.
void writeSymbols(Json& j, const MapView& view) {
  j.raw("\"symbolColumns\":[\"name\",\"value\",\"section\",\"memory\",\"storage\",\"kind\",\"sourceFile\","
        "\"input\"],\n\"symbols\":");
  const std::vector<MapSymbols::Symbol> none;
  const std::vector<MapSymbols::Symbol>& rows = view.symbols != nullptr ? view.symbols->symbols() : none;
  auto indexOf = [](const std::vector<uint32_t>& indices, uint32_t at) {
    return at < indices.size() ? indices[at] : MapView::kNone;
  };
  list(j, rows, true, [&](const MapSymbols::Symbol& s) {
    const std::string_view name = view.symbols->name(s);
    const uint32_t section = indexOf(view.sectionOfNumber, s.section);
    const uint32_t memory = section == MapView::kNone ? MapView::kNone : view.sections[section].memory;
    // The name, five numbers of at most ten digits, and the words.
    char* p = putString(put(j.open(stringRoom(name) + 96), "["), name);
    p = putNumber(put(p, ","), s.address);
    p = j.putIndex(put(p, ","), section);
    p = j.putIndex(put(p, ","), memory);
    p = s.isStatic ? put(p, ",\"static\"") : put(p, ",\"extern\"");
    p = s.isFunction ? put(p, ",\"function\",") : put(p, ",\"variable\",");
    p = j.putIndex(p, indexOf(view.sourceOfFile, s.file));
    p = j.putIndex(put(p, ","), s.input == MapSymbols::kNoInput ? MapView::kNone : s.input);
    j.close(put(p, "]"));
  });
  j.raw(",\n");
}

void writeOverlays(Json& j, const MapView& view) {
  j.raw("\"overlays\":{\"functions\":");
  list(j, view.functions, true, [&](const MapView::Function& f) {
    j.text("{\"name\":", f.name).raw(",\"input\":").index(f.input);
    j.raw(",\"record\":").index(f.record).raw(",\"group\":").index(f.group);
    j.raw(",\"interrupt\":").number(f.interrupt).raw(",\"calls\":");
    list(j, f.calls, false, [&](uint32_t callee) { j.number(callee); });
    j.raw("}");
  });
  j.raw(",\n\"groups\":");
  list(j, view.groups, true, [&](const MapView::RecordGroup& g) {
    j.raw("{\"memory\":").index(g.memory).raw(",\"address\":").number(g.address);
    j.raw(",\"locations\":").number(g.locations).raw(",\"records\":");
    list(j, g.records, false, [&](const std::pair<uint32_t, uint32_t>& r) {
      j.raw("{\"section\":").number(r.first).raw(",\"offset\":").number(r.second).raw("}");
    });
    j.raw("}");
  });
  j.raw("},\n");
}

// The summary's totals: every code page, and every data memory.
void writeTotals(Json& j, const MapView& view) {
  uint64_t size[2] = {0, 0}, used[2] = {0, 0}, filled = 0;
  for (const MapView::Memory& m : view.memories) {
    size[m.program] += uint64_t{m.end} - m.start + 1;
    used[m.program] += m.used;
    filled += m.filled;
  }
  j.raw("\"totals\":{\"program\":{\"size\":").number(size[1]).raw(",\"used\":").number(used[1]);
  j.raw(",\"filled\":").number(filled).raw("},\"data\":{\"size\":").number(size[0]);
  j.raw(",\"used\":").number(used[0]).raw("}}\n}\n");
}

}  // namespace

std::string isoTime(uint32_t seconds) {
  // Days to a civil date, proleptic Gregorian, from 1970-01-01.
  const int64_t days = seconds / 86400;
  const uint32_t rest = seconds % 86400;
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02u:%02u:%02uZ", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day), rest / 3600, rest / 60 % 60, rest % 60);
  return text;
}

void writeMapJson(std::span<MapText* const> outs, const MapView& view) {
  // A large buffer: not on the stack.
  auto owner = std::make_unique<Json>(outs);
  Json& j = *owner;
  j.knowIndices(std::max({view.memories.size(), view.inputs.size(), view.sourceFiles.size(), view.sections.size()}));
  writeHead(j, view);
  writeMemories(j, view);
  writeSections(j, view);
  writeSymbols(j, view);
  writeOverlays(j, view);
  writeTotals(j, view);
}

}  // namespace tarsil

namespace tarsil {

namespace {

// The document takes the place of this mark, inside the page's data element.
constexpr std::string_view kDataMark = "/*MAP-DATA*/";

std::string_view viewerPage() { return {kMapViewerPage, kMapViewerPageSize}; }

}  // namespace

std::string_view mapPageBefore() {
  const size_t at = viewerPage().find(kDataMark);
  TARSIL_ASSERT(at != std::string_view::npos);
  return viewerPage().substr(0, at);
}

std::string_view mapPageAfter() { return viewerPage().substr(mapPageBefore().size() + kDataMark.size()); }

struct MapViewFiles::File {
  File(const std::string& given, bool isPage) : file(hostPath(given)), name(given), page(isPage) {}
  AtomicFile file;
  std::string name;
  bool page;
  bool opened = false;
  bool written = false;
};

MapViewFiles::MapViewFiles(const std::string& json, const std::string& html) {
  if (!json.empty()) cFiles.push_back(std::make_unique<File>(json, false));
  if (!html.empty()) cFiles.push_back(std::make_unique<File>(html, true));
}

MapViewFiles::~MapViewFiles() = default;

void MapViewFiles::open() {
  for (auto& f : cFiles) f->opened = f->file.open();
}

void MapViewFiles::write(const MapView& view) {
  std::vector<std::unique_ptr<MapText>> texts;
  std::vector<MapText*> outs;
  for (auto& f : cFiles) {
    if (!f->opened) continue;
    texts.push_back(std::make_unique<MapText>(f->file));
    outs.push_back(texts.back().get());
    if (f->page) texts.back()->put(mapPageBefore());
  }
  writeMapJson(outs, view);
  size_t t = 0;
  for (auto& f : cFiles) {
    if (!f->opened) continue;
    MapText& text = *texts[t++];
    if (f->page) text.put(mapPageAfter());
    f->written = text.flush();
  }
}

bool MapViewFiles::ready() {
  const std::string where = "MapViewFiles::ready()";
  for (auto& f : cFiles) {
    if (!f->opened) {
      Error::report(Error::error, where, "Could not open map file '" + f->name + "' for writing.", false);
      return false;
    }
    if (!f->written) {
      Error::report(Error::error, where, "Could not write map file '" + f->name + "'.", false);
      return false;
    }
  }
  return true;
}

std::vector<AtomicFile*> MapViewFiles::files() {
  std::vector<AtomicFile*> files;
  for (auto& f : cFiles) files.push_back(&f->file);
  return files;
}

std::vector<std::string> MapViewFiles::writeFailures() const {
  std::vector<std::string> failures;
  for (const auto& f : cFiles) failures.push_back("Could not write map file '" + f->name + "'.");
  return failures;
}

}  // namespace tarsil
