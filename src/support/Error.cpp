// SPDX-License-Identifier: Apache-2.0
#include "support/Error.h"

#include <cstdio>
#include <cstdlib>

namespace tarsil {

int Error::cWarnings = 0;
int Error::cErrors = 0;
bool Error::cVerbose = false;
bool Error::cQuiet = false;
Error::TerminateHook Error::cTerminateHook = nullptr;

void Error::report(Type type, const std::string& /*where*/, const std::string& message, bool fatal) {
  if (tHeld != nullptr) {
    tHeld->push_back({type, message, fatal});
    if (fatal) throw Halted{};
    return;
  }
  if (type == warning) {
    ++cWarnings;
    if (!cQuiet && cVerbose) std::printf("Warning - %s\n", message.c_str());
  } else {
    ++cErrors;
    if (!cQuiet) std::printf("Error - %s\n", message.c_str());
  }
  if (!cQuiet) std::fflush(stdout);
  if (fatal) terminate(-1);
}

void Error::report(Type type, const std::string& where, std::ostringstream& message, bool fatal) {
  std::string text = message.str();
  message.str(std::string());
  message.clear();
  report(type, where, text, fatal);
}

void Error::release(const std::vector<Message>& held) {
  for (const Message& m : held) report(m.type, std::string(), m.text, m.fatal);
}

void Error::terminate(int code) {
  if (!cQuiet) {
    std::fflush(stdout);
    std::printf("Errors    : %d\n", errors());
    if (cVerbose) std::printf("Warnings  : %d\n", warnings());
    std::printf("\n");
    std::fflush(stdout);
  }
  if (cTerminateHook != nullptr) cTerminateHook(code);
  // The fatal status -1 is 255 on every system: Windows would pass the whole
  // int on, and a build tool there would see 4294967295.
  std::exit(code < 0 ? 255 : code);
}

void Error::reset() {
  cWarnings = 0;
  cErrors = 0;
  cVerbose = false;
  cQuiet = false;
}

}  // namespace tarsil
