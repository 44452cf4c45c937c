// SPDX-License-Identifier: Apache-2.0
#include "map/MapJson.h"

#include <algorithm>
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
struct Plain {
  bool table[256];
  Plain() {
    for (int c = 0; c < 256; ++c) table[c] = c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && c != '<';
  }
};

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

// The document is written a token at a time into a buffer of its own, which
// goes to the file in large pieces: most tokens are a few bytes, and handing
// each on alone would cost more than making it.
class Json {
public:
  explicit Json(std::span<MapText* const> outs) : cOuts(outs) {}
  ~Json() { flush(); }
  Json(const Json&) = delete;
  Json& operator=(const Json&) = delete;

  void flush() {
    for (MapText* out : cOuts) out->put({cBuffer, cUsed});
    cUsed = 0;
  }
  Json& raw(std::string_view text) {
    if (cUsed + text.size() > sizeof cBuffer) {
      flush();
      if (text.size() > sizeof cBuffer) {
        for (MapText* out : cOuts) out->put(text);
        return *this;
      }
    }
    std::memcpy(cBuffer + cUsed, text.data(), text.size());
    cUsed += text.size();
    return *this;
  }
  // Most of the document is keys and punctuation: their lengths are known
  // where they are written, and each costs a few stores.
  template <size_t N>
  Json& raw(const char (&text)[N]) {
    static_assert(N - 1 <= kRoom);
    if (cUsed + (N - 1) > sizeof cBuffer) flush();
    std::memcpy(cBuffer + cUsed, text, N - 1);
    cUsed += N - 1;
    return *this;
  }
  Json& number(uint64_t value) {
    if (cUsed + 20 > sizeof cBuffer) flush();
    // Digits from the bit length: 1233 / 4096 is just over log10(2).
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
    const unsigned guess = static_cast<unsigned>(std::bit_width(value | 1) * 1233) >> 12;
    const size_t digits = value == 0 ? 1 : guess + (value >= kPowers[guess] ? 1 : 0);
    char* p = cBuffer + cUsed + digits;
    cUsed += digits;
    while (value >= 100) {
      p -= 2;
      std::memcpy(p, kPairs + 2 * (value % 100), 2);
      value /= 100;
    }
    if (value >= 10) {
      p -= 2;
      std::memcpy(p, kPairs + 2 * value, 2);
    } else {
      *--p = static_cast<char>('0' + value);
    }
    return *this;
  }
  // A number, or null for an index that points nowhere.
  Json& index(uint32_t value) {
    if (value == MapView::kNone) return raw("null");
    return number(value);
  }
  Json& boolean(bool value) { return raw(value ? "true" : "false"); }
  // Names come from the files: anything that is not UTF-8 is written as the
  // code points of its bytes, so that the document is always valid.
  Json& string(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t plain = 0;
    while (plain < n && cPlain.table[p[plain]]) ++plain;
    // Nearly every name is plain: one copy between its quotes.
    if (plain == n && n + 2 <= sizeof cBuffer - cUsed) {
      char* at = cBuffer + cUsed;
      at[0] = '"';
      copyText(at + 1, text.data(), n);
      at[n + 1] = '"';
      cUsed += n + 2;
      return *this;
    }
    raw("\"");
    size_t run = 0;
    for (size_t i = plain; i < n;) {
      if (cPlain.table[p[i]]) {
        ++i;
        continue;
      }
      raw(text.substr(run, i - run));
      const size_t length = p[i] >= 0x80 ? utf8Length(p + i, n - i) : 0;
      if (length != 0) {
        raw(text.substr(i, length));
        i += length;
      } else {
        escape(p[i]);
        ++i;
      }
      run = i;
    }
    raw(text.substr(run));
    return raw("\"");
  }
  Json& text(std::string_view key, std::string_view value) { return raw(key).string(value); }

private:
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";

  void escape(unsigned char c) {
    switch (c) {
      case '"':
        raw("\\\"");
        return;
      case '\\':
        raw("\\\\");
        return;
      case '\n':
        raw("\\n");
        return;
      case '\t':
        raw("\\t");
        return;
      default: {
        char code[8];
        std::snprintf(code, sizeof code, "\\u%04x", c);
        // A view: the array's size is not the text's.
        raw(std::string_view(code));
      }
    }
  }

  static constexpr size_t kRoom = 1 << 16;
  std::span<MapText* const> cOuts;
  Plain cPlain;
  char cBuffer[kRoom];
  size_t cUsed = 0;
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
    j.text("{\"name\":", s.name).text(",\"class\":", usageClassName(s.use));
    j.text(",\"kind\":", kindText(s.use)).raw(",\"memory\":").index(s.memory);
    j.raw(",\"address\":").number(s.address).raw(",\"locations\":").number(s.locations);
    j.raw(",\"bytes\":").number(s.bytes).raw(",\"flags\":[");
    const char* comma = "";
    for (auto [set, name] : {std::pair{s.absolute, "\"absolute\""}, std::pair{s.shared, "\"shared\""},
                             std::pair{s.access, "\"access\""}, std::pair{s.overlay, "\"overlay\""}}) {
      if (!set) continue;
      j.raw(comma).raw(name);
      comma = ",";
    }
    j.raw("],\"pieces\":");
    list(j, std::span(view.pieces).subspan(s.firstPiece, s.pieceCount), false, [&](const MapView::Piece& p) {
      j.raw("{\"input\":").index(p.input).raw(",\"address\":").number(p.address);
      j.raw(",\"offset\":").number(p.offset).raw(",\"bytes\":").number(p.bytes).raw("}");
    });
    j.raw("}");
  });
  j.raw(",\n");
}

// The largest list by far: a row of values each, their names said once.
void writeSymbols(Json& j, const MapView& view) {
  j.raw("\"symbolColumns\":[\"name\",\"value\",\"section\",\"memory\",\"storage\",\"kind\",\"sourceFile\","
        "\"input\"],\n\"symbols\":");
  list(j, view.symbols, true, [&](const MapView::Symbol& s) {
    const uint32_t memory = s.section == MapView::kNone ? MapView::kNone : view.sections[s.section].memory;
    j.raw("[").string(s.name).raw(",").number(s.value).raw(",").index(s.section).raw(",").index(memory);
    if (s.isStatic) j.raw(",\"static\"");
    else j.raw(",\"extern\"");
    if (s.isFunction) j.raw(",\"function\",");
    else j.raw(",\"variable\",");
    j.index(s.sourceFile).raw(",").index(s.input).raw("]");
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
