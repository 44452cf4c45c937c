#pragma once
// One device of each family, as the unit tests' objects name them.
#include <cstdint>

namespace tarsil::testdev {
constexpr uint16_t core12Dev = 0xC359;   // t12-384-32a
constexpr uint16_t core14Dev = 0xD91D;   // t14-8k-512p
constexpr uint16_t core16Dev = 0x3DC5;   // t16-16k-2048a
constexpr uint16_t core16eDev = 0x0486;  // t16e-2m-3840a
}  // namespace tarsil::testdev
