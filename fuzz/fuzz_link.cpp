// SPDX-License-Identifier: Apache-2.0
// A whole link of one object that is any byte string, and of a library
// next to it, against a fixed command file: every stage from reading and
// library import to the executable and the map must end with a message and
// an exit status, never crash, hang or leak. The library is whatever follows
// the first library magic in the input, so an object and a library put one
// after the other make a seed. An executable the link writes must read
// back, check out and convert to a programming file: a wrong output is
// caught, not only a crash.
//
// The linker ends the process when it is done, so terminate() is redirected
// to throw back here. The files the link needs live in a directory made for
// this process and named by a relative path, since the command line takes a
// leading '/' for a switch.
#include <fcntl.h>
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

#include "Hex.h"
#include "coff/Coff.h"
#include "device/Processor.h"
#include "driver/Driver.h"
#include "support/Error.h"
#include "support/Threads.h"

namespace {

struct LinkEnded {
  int code;
};

[[noreturn]] void endLink(int code) { throw LinkEnded{code}; }

std::string gDir;

// Code and data memory that every family can use, and a stack, so that a
// well-formed object of any family links completely.
const char kCommands[] =
    "CODEPAGE NAME=page0 START=0x0 END=0x7FF\n"
    "CODEPAGE NAME=page1 START=0x800 END=0xFFF\n"
    "DATABANK NAME=gpr0 START=0x20 END=0x6F\n"
    "DATABANK NAME=gpr1 START=0xA0 END=0xEF\n"
    "STACK SIZE=0x10\n";

// A new file each time: rewriting one in place makes some file systems
// write its blocks out at once, which costs more than the link. The calls
// are the system's own, since the C library's buffer would be one more
// allocation for the sanitizer to watch.
bool writeFile(const std::string& name, const void* bytes, size_t size) {
  ::unlink(name.c_str());
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const auto* at = static_cast<const char*>(bytes);
  bool ok = true;
  while (ok && size > 0) {
    const ssize_t n = ::write(fd, at, size);
    ok = n > 0;
    if (ok) at += n, size -= static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && ok;
}

// Whether every section of program memory lies within the device's: the
// fixed command file declares more program memory than small devices have,
// and the HEX writer rightly refuses what lies beyond.
bool fitsDevice(const tarsil::Coff& executable) {
  const uint32_t code = executable.cOptHdr.proc_type & 0xFFFF;
  if (!tarsil::isDvsProcTypeSupported(code)) return false;
  const int procType = tarsil::convertDvsProcType(code);
  const uint64_t bytesPerLocation = tarsil::hex::bytesPerLocation(procType);
  for (const auto& [name, h] : executable.cScnHdr) {
    const tarsil::Coff::ScnType type = tarsil::Coff::getScnType(h);
    if ((type != tarsil::Coff::code && type != tarsil::Coff::romdata) || tarsil::isBssScn(h)) continue;
    if (uint64_t{h.s_paddr} * bytesPerLocation + h.s_size > tarsil::hex::programBytes(procType)) return false;
  }
  return true;
}

// The executable of a successful link: it must read back and check out, and
// the HEX writer must take its program memory in every format that can
// address it.
void checkExecutable(const std::string& name) {
  std::unique_ptr<tarsil::Coff> executable = tarsil::Coff::make(name);
  if (!executable || !executable->verify()) std::abort();
  if (!fitsDevice(*executable)) return;
  tarsil::hex::Program program;
  if (!tarsil::hex::extractProgram(*executable, program)) std::abort();
  for (auto format : {tarsil::hex::Format::inhx8m, tarsil::hex::Format::inhx8s, tarsil::hex::Format::inhx32}) {
    const std::optional<tarsil::hex::Format> chosen = tarsil::hex::chooseFormat(format, program);
    if (!chosen) continue;
    const auto files = tarsil::hex::render(program, *chosen, tarsil::hex::outputNames(*chosen, name, ""));
    for (const auto& file : files)
      if (file.text.empty()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tarsil-fuzz-link-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) std::abort();
  static const std::filesystem::path made = buffer.data();
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
  });
  gDir = "./" + std::filesystem::relative(made).string();
  if (!writeFile(gDir + "/fuzz.lkr", kCommands, sizeof kCommands - 1)) std::abort();
  tarsil::Error::setTerminateHook(endLink);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = std::min(input.find("!<arch>\n"), input.size());
  const std::string object = gDir + "/in.o";
  const std::string library = gDir + "/in.lib";
  if (!writeFile(object, input.data(), split)) std::abort();
  std::vector<std::string> args = {"tarsil", "-q", gDir + "/fuzz.lkr", object,
                                   "-o",     gDir + "/out.cof", "-m", gDir + "/out.map"};
  if (split < input.size()) {
    if (!writeFile(library, input.data() + split, input.size() - split)) std::abort();
    args.push_back(library);
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const std::string outputs[] = {gDir + "/out.cof", gDir + "/out.map"};
  for (const std::string& name : outputs) std::remove(name.c_str());
  // Threads cost a sanitized small link more than its whole work, so most
  // links run on one; the inputs whose length is a multiple of 16 take two,
  // so that the work side by side is fuzzed too.
  tarsil::setThreadCount(size % 16 == 0 ? 2 : 1);
  tarsil::Error::reset();
  try {
    tarsil::runTarsil(static_cast<int>(argv.size() - 1), argv.data());
  } catch (const LinkEnded& end) {
    // A link that succeeds must have written both files, and one that fails
    // must have said why (its messages are counted even while quiet). A
    // success may still count errors: a library that defines a name twice
    // is reported and its first definition taken.
    if (end.code == 0)
      for (const std::string& name : outputs)
        if (!std::filesystem::is_regular_file(name)) std::abort();
    if (end.code != 0 && tarsil::Error::errors() == 0) std::abort();
    if (end.code == 0) checkExecutable(outputs[0]);
    return 0;
  }
  std::abort();  // runTarsil never returns
}
