// SPDX-License-Identifier: Apache-2.0
#include "support/TimeStamp.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "support/Platform.h"

namespace tarsil {

SourceDate sourceDateEpoch() {
  SourceDate date;
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (!text || !*text) return date;
  date.set = true;
  date.text = text;
  uint64_t value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return date;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > UINT32_MAX) return date;
  }
  date.valid = true;
  date.seconds = static_cast<uint32_t>(value);
  return date;
}

std::string sourceDateProblem() {
  const SourceDate date = sourceDateEpoch();
  if (!date.set || date.valid) return {};
  return "SOURCE_DATE_EPOCH '" + date.text + "' is not a whole number of seconds from 0 to 4294967295";
}

uint32_t outputTimeStamp() {
  SourceDate date = sourceDateEpoch();
  return date.valid ? date.seconds : static_cast<uint32_t>(std::time(nullptr));
}

namespace {

// The C library's ctime form, made here: not every C library's strftime has
// the day of the month padded with a blank, and ctime itself pads it with a
// zero on some systems.
std::string ctimeText(const std::tm& t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (t.tm_wday < 0 || t.tm_wday > 6 || t.tm_mon < 0 || t.tm_mon > 11) return "\n";
  char text[64];
  std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d\n", kDays[t.tm_wday], kMonths[t.tm_mon], t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
  return text;
}

}  // namespace

// The clock in local time, SOURCE_DATE_EPOCH in UTC.
std::string outputTimeText() {
  const SourceDate date = sourceDateEpoch();
  std::tm parts{};
  const bool made = date.valid ? platform::utcTime(date.seconds, parts)
                               : platform::localTime(static_cast<int64_t>(std::time(nullptr)), parts);
  return made ? ctimeText(parts) : "\n";
}

}  // namespace tarsil
