// SPDX-License-Identifier: Apache-2.0
#pragma once
// The time written into outputs. Reproducible-build tooling sets
// SOURCE_DATE_EPOCH so that two builds of the same inputs are byte-identical;
// where it is set, it stands in for the clock.
#include <cstdint>
#include <optional>
#include <string>

namespace tarsil {

struct SourceDate {
  bool set = false;    // the variable is present and not empty
  bool valid = false;  // and holds a decimal number of seconds that fits 32 bits
  uint32_t seconds = 0;
  std::string text;    // as found, for a message when it is not valid
};
SourceDate sourceDateEpoch();

// Why a SOURCE_DATE_EPOCH that is set is refused, or empty when it is unset
// or valid. A build that asked for reproducible output must not get the
// clock's time instead, unnoticed: every program that writes a date refuses
// it, in these words, before it writes anything.
std::string sourceDateProblem();

// SOURCE_DATE_EPOCH when it is set and valid, else the current time.
uint32_t outputTimeStamp();

// The same time in the C library's ctime form, line break included, as the
// map files show it: local time from the clock, but SOURCE_DATE_EPOCH in
// UTC, so that the text does not depend on the machine's time zone.
std::string outputTimeText();

}  // namespace tarsil
