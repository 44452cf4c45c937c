// SPDX-License-Identifier: Apache-2.0
#include "support/TimeStamp.h"

#include <cstdlib>
#include <ctime>

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

std::string outputTimeText() {
  SourceDate date = sourceDateEpoch();
  if (!date.valid) {
    std::time_t now = std::time(nullptr);
    const char* text = std::ctime(&now);
    return text != nullptr ? text : "\n";
  }
  std::time_t at = static_cast<std::time_t>(date.seconds);
  std::tm utc{};
  char text[64];
  if (gmtime_r(&at, &utc) == nullptr || std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y\n", &utc) == 0)
    return "\n";
  return text;
}

}  // namespace tarsil
