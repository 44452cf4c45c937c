// SPDX-License-Identifier: Apache-2.0
#include <sstream>
#include <string>

#include "TestSupport.h"
#include "map/MapJson.h"
#include "map/MapText.h"
#include "map/MapView.h"

using namespace tarsil;

TEST(MapJson, timesAreUtcDatesAcrossLeapYearsAndTheLastSecond) {
  EXPECT_EQ(isoTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(isoTime(951782400), "2000-02-29T00:00:00Z");
  EXPECT_EQ(isoTime(1709251199), "2024-02-29T23:59:59Z");
  EXPECT_EQ(isoTime(4107542400), "2100-03-01T00:00:00Z");  // 2100 has no 29 February
  EXPECT_EQ(isoTime(UINT32_MAX), "2106-02-07T06:28:15Z");
}

// Names come from the files: whatever bytes they hold, the document stays
// valid JSON and no '<' can end the page's script element.
TEST(MapJson, namesAreEscapedAndBytesThatAreNoUtf8BecomeCodePoints) {
  MapView view;
  const std::string name = "a\"b\\c\x01\t</script>\xc3\xa9\xe9\xc3";
  view.sections.push_back({name, UsageClass::code, MapView::kNone, 0, 0, 0, false, false, false, false});
  std::ostringstream os;
  {
    MapText text(os);
    MapText* outs[] = {&text};
    writeMapJson(outs, view);
  }
  const std::string expected = "\"a\\\"b\\\\c\\u0001\\t\\u003c/script>\xc3\xa9\\u00e9\\u00c3\"";
  EXPECT_NE(os.str().find("{\"name\":" + expected + ","), std::string::npos) << os.str();
}

// Names are checked for bytes to escape several at a time: a byte that needs
// it must be found wherever it lies, in names of every length.
TEST(MapJson, aByteToEscapeIsFoundAtEveryPlaceOfNamesOfEveryLength) {
  const std::pair<char, std::string> escapes[] = {{'"', "\\\""}, {'<', "\\u003c"}, {'\x1f', "\\u001f"}, {'\\', "\\\\"}};
  MapView view;
  std::vector<std::string> names;
  std::string expected;
  for (const auto& [byte, escaped] : escapes) {
    for (size_t length = 1; length <= 19; ++length) {
      for (size_t at = 0; at < length; ++at) {
        std::string name(length, 'a' + static_cast<char>(at % 26));
        name[at] = byte;
        names.push_back(name);
        expected += "{\"name\":\"" + name.substr(0, at) + escaped + name.substr(at + 1) + "\",";
      }
    }
  }
  for (const std::string& name : names)
    view.sections.push_back({name, UsageClass::code, MapView::kNone, 0, 0, 0, false, false, false, false});
  std::ostringstream os;
  {
    MapText text(os);
    MapText* outs[] = {&text};
    writeMapJson(outs, view);
  }
  const std::string doc = os.str();
  std::string found;
  for (size_t at = doc.find("{\"name\":", doc.find("\"sections\":")); at != std::string::npos;
       at = doc.find("{\"name\":", at + 1))
    found += doc.substr(at, doc.find("\",", at) + 2 - at);
  EXPECT_EQ(found, expected);
}
