#pragma once
// What the unit tests share: images as bytes, what a call printed, scratch files.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/Error.h"

namespace tarsil::test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, size_t at, uint16_t v) { b.at(at) = uint8_t(v), b.at(at + 1) = uint8_t(v >> 8); }
inline void put32(Bytes& b, size_t at, uint32_t v) { put16(b, at, uint16_t(v)), put16(b, at + 2, uint16_t(v >> 16)); }
inline uint32_t get32(const Bytes& b, size_t at) {
  return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (static_cast<uint32_t>(b.at(at + 3)) << 24);
}

// What a call printed on the console.
inline std::string said(const std::function<void()>& call) {
  ::testing::internal::CaptureStdout();
  call();
  return ::testing::internal::GetCapturedStdout();
}

// A name in the temporary directory that no other test process uses.
inline std::string tempPath(const std::string& stem) {
  static const std::string process = std::to_string(std::random_device()());
  return (fs::temp_directory_path() / ("tarsil-" + stem + "-" + process)).string();
}

inline std::string fileText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A directory of the test's own, empty at its start and removed at its end.
class ScratchDirectory : public ::testing::Test {
protected:
  void SetUp() override {
    dir = tempPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  size_t entries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  }

  fs::path dir;
};

class ErrorsReset : public ::testing::Test {
protected:
  void SetUp() override { Error::reset(); }
  void TearDown() override { Error::reset(); }
};

}  // namespace tarsil::test
