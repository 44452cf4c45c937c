// SPDX-License-Identifier: Apache-2.0
#pragma once
// The hash of names (sections, symbols, files) for the link's look-up tables.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>

namespace tarsil {

// A secret drawn once per process and mixed into every name hash. With a
// hash known in advance, a file could be made of names that all land in one
// slot, and every look-up would walk all of them: a link of hours.
// No table hands out its entries in hash order, so the outputs are the same
// whatever the secret.
inline uint64_t nameHashSeed() {
  static const uint64_t seed = [] {
    uint64_t drawn = 0;
    try {
      std::random_device device;
      drawn = uint64_t{device()} << 32 ^ device();
    } catch (...) {
      // No source of randomness: the clock still keeps the secret from
      // being known in advance.
    }
    static const char here = 0;
    drawn ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    drawn ^= reinterpret_cast<uintptr_t>(&here);
    return drawn;
  }();
  return seed;
}

// Lets a table keyed by std::string be searched with a string_view, so that a
// look-up does not copy the name first.
// Symbol names are short: the hash reads them a word at a time, with
// overlapping loads for the tail instead of a byte loop. It is deliberately
// not noexcept: the standard library then keeps each entry's hash beside it,
// which a look-up compares before the names and which costs no memory in
// practice (the node stays within the same allocation size).
struct NameHash {
  using is_transparent = void;
  // The process's secret unless another is given, for tests.
  uint64_t seed = nameHashSeed();

  size_t operator()(std::string_view s) const {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    const char* p = s.data();
    const size_t n = s.size();
    // The secret goes in first, so that every mixing step depends on it.
    uint64_t h = (n + 1) * kMul ^ seed;
    auto mix = [&h](uint64_t w) {
      h = (h ^ w) * kMul;
      h ^= h >> 29;
    };
    if (n >= 8) {
      size_t i = 0;
      for (; i + 8 <= n; i += 8) mix(load<uint64_t>(p + i));
      if (i < n) mix(load<uint64_t>(p + n - 8));
    } else if (n >= 4) {
      mix(uint64_t{load<uint32_t>(p)} | uint64_t{load<uint32_t>(p + n - 4)} << 32);
    } else if (n > 0) {
      mix(uint64_t{static_cast<unsigned char>(p[0])} | uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
          uint64_t{static_cast<unsigned char>(p[n - 1])} << 16);
    }
    // The multiplications carry low bits upward only: fold the high bits
    // back down, so that tables indexed by the low bits see the whole name.
    h ^= h >> 32;
    h *= kMul;
    return static_cast<size_t>(h ^ (h >> 29));
  }

private:
  template <class Word>
  static Word load(const char* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }
};

}  // namespace tarsil
