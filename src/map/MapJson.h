// SPDX-License-Identifier: Apache-2.0
#pragma once
// The link as a JSON document of schema "tarsil-map/1" (docs/map-json.md),
// for scripts, and as one self-contained HTML page that draws it, for
// people. Both are written from a MapView alone, one record a line, in the
// order of the link's own tables, so that equal links give equal bytes.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarsil {

class AtomicFile;
class MapText;
struct MapView;

// The document into each of `outs`, made once. Every '<' inside a string
// is written \u003c, so that the same bytes can stand inside a script
// element of a page.
void writeMapJson(std::span<MapText* const> outs, const MapView& view);

// The page around the document: the viewer's markup, style and script, in
// two parts, before and after it.
std::string_view mapPageBefore();
std::string_view mapPageAfter();

// The JSON map and its page, either or both (names as the user gave them),
// streamed to their temporary files from one making of the document, as the
// map is: the caller commits files() together with the link's other
// outputs, and files never committed leave nothing behind.
class MapViewFiles {
public:
  MapViewFiles(const std::string& json, const std::string& html);
  ~MapViewFiles();
  MapViewFiles(const MapViewFiles&) = delete;
  MapViewFiles& operator=(const MapViewFiles&) = delete;

  // Creates the temporary files.
  void open();
  void write(const MapView& view);
  // Whether both documents are whole in their temporary files; reports why
  // not.
  bool ready();
  // The files, and the message of each that could not be put in place.
  std::vector<AtomicFile*> files();
  std::vector<std::string> writeFailures() const;

private:
  struct File;
  std::vector<std::unique_ptr<File>> cFiles;
};

// Seconds since 1970 as "2024-05-01T12:00:00Z".
std::string isoTime(uint32_t seconds);

}  // namespace tarsil
