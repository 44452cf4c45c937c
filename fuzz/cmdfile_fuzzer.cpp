// SPDX-License-Identifier: Apache-2.0
// Any byte string read as a linker command file, with the Linker taking the
// declarations: every error must end the input through the terminate hook
// with a message, never crash, hang or exhaust memory.
//
// One input can hold several command files, so that INCLUDE, LKRPATH and the
// once-per-link rule see files of the input's own making: a line that starts
// with "//--" begins the next file (the marker is a comment to the parser, so
// it is harmless where it is not split). The first file is main.lkr; file k
// is p<k>.lkr, in the subdirectory inc/ when k is odd, so that only a search
// directory (LKRPATH inc) finds it. A directory named dir.lkr is there too.
//
// The files are written to a directory made for this process, and each input
// runs with that directory as the current one, since command files name each
// other relative to it. libFuzzer writes crash reports while the input runs:
// give it an absolute -artifact_prefix.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "driver/Parser.h"
#include "link/Config.h"
#include "support/Error.h"

namespace {

struct ParseEnded {
  int code;
};

[[noreturn]] void endParse(int code) { throw ParseEnded{code}; }

std::filesystem::path gDir;
std::filesystem::path gHome;

constexpr std::string_view kMarker = "//--";
constexpr size_t kMaxFiles = 16;

bool writeFile(const std::filesystem::path& name, std::string_view bytes) {
  std::FILE* fp = std::fopen(name.c_str(), "wb");
  if (fp == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
  return std::fclose(fp) == 0 && ok;
}

std::string partName(size_t k) {
  if (k == 0) return "main.lkr";
  std::string name = "p" + std::to_string(k) + ".lkr";
  return k % 2 == 1 ? "inc/" + name : name;
}

// Splits at every line that starts with the marker; the marker line itself
// belongs to no file.
std::vector<std::string_view> splitFiles(std::string_view data) {
  std::vector<std::string_view> parts;
  size_t begin = 0;
  size_t lineStart = 0;
  while (lineStart <= data.size() && parts.size() + 1 < kMaxFiles) {
    if (data.substr(lineStart, kMarker.size()) == kMarker) {
      parts.push_back(data.substr(begin, lineStart - begin));
      size_t eol = data.find('\n', lineStart);
      begin = eol == std::string_view::npos ? data.size() : eol + 1;
      lineStart = begin;
      continue;
    }
    size_t eol = data.find('\n', lineStart);
    if (eol == std::string_view::npos) break;
    lineStart = eol + 1;
  }
  parts.push_back(data.substr(std::min(begin, data.size())));
  return parts;
}

// Files of an earlier input that this one lacks must not be found; the two
// directories stay, since nothing the parser does removes them.
void writeFiles(const std::vector<std::string_view>& parts) {
  for (size_t k = 0; k < kMaxFiles; ++k) {
    const std::filesystem::path name = gDir / partName(k);
    if (k < parts.size()) {
      if (!writeFile(name, parts[k])) std::abort();
    } else {
      ::unlink(name.c_str());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every input writes its files afresh: a memory file system, where there
  // is one, keeps the fuzzer from waiting on the disk.
  const char* tmp = std::getenv("TMPDIR");
  std::error_code ec;
  std::string base = "/tmp";
  if (tmp != nullptr && *tmp != '\0') base = tmp;
  else if (std::filesystem::is_directory("/dev/shm", ec)) base = "/dev/shm";
  std::string pattern = base + "/tarsil-fuzz-cmdfile-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) std::abort();
  gDir = buffer.data();
  gHome = std::filesystem::current_path();
  std::filesystem::create_directory(gDir / "inc");
  std::filesystem::create_directory(gDir / "dir.lkr");
  std::atexit([] {
    std::error_code ec;
    std::filesystem::current_path(gHome, ec);
    std::filesystem::remove_all(gDir, ec);
  });
  tarsil::Error::setTerminateHook(endParse);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  writeFiles(splitFiles(std::string_view(reinterpret_cast<const char*>(data), size)));

  std::filesystem::current_path(gDir);
  tarsil::Error::reset();
  tarsil::Error::quiet(true);
  int code = 0;
  bool ended = false;
  {
    tarsil::Config config;
    tarsil::Parser parser;
    try {
      parser.parseCmdFile("main.lkr", config);
    } catch (const ParseEnded& end) {
      code = end.code;
      ended = true;
    }
  }
  std::filesystem::current_path(gHome);

  // A command file either declares cleanly or ends the run with a counted
  // error and status 1 (-1 for an inverted range).
  if (ended && (code == 0 || tarsil::Error::errors() == 0)) std::abort();
  if (!ended && tarsil::Error::errors() != 0) std::abort();
  return 0;
}
