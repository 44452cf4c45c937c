// SPDX-License-Identifier: Apache-2.0
#include "support/Error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarsil {

int Error::cWarnings = 0;
int Error::cErrors = 0;
bool Error::cVerbose = false;
bool Error::cQuiet = false;
Error::Style Error::cStyle = Error::Style::classic;
Error::TerminateHook Error::cTerminateHook = nullptr;

void Error::report(Type type, const std::string& /*where*/, const std::string& message, bool fatal) {
  if (tHeld != nullptr) {
    tHeld->push_back({type, message, fatal});
    if (fatal) throw Halted{};
    return;
  }
  if (cStyle == Style::gnu) {
    ++(type == warning ? cWarnings : cErrors);
    if (!cQuiet) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s\n", gnuLine(type, message).c_str());
      std::fflush(stderr);
    }
    if (fatal) terminate(-1);
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

namespace {

// A place in a command or device file as the messages quote it: "'<file>:<line>'".
struct Place {
  size_t begin = std::string::npos;  // the opening quote
  size_t end = 0;                    // just past the closing quote
  std::string file;
  std::string line;
};

Place findPlace(const std::string& text) {
  for (size_t open = text.find('\''); open != std::string::npos; open = text.find('\'', open + 1)) {
    const size_t close = text.find('\'', open + 1);
    if (close == std::string::npos) break;
    const size_t colon = text.rfind(':', close);
    const bool digits = colon != std::string::npos && colon > open + 1 && colon + 1 < close &&
                        text.find_first_not_of("0123456789", colon + 1) >= close;
    if (digits) return {open, close + 1, text.substr(open + 1, colon - open - 1), text.substr(colon + 1, close - colon - 1)};
    open = close;
  }
  return {};
}

}  // namespace

std::string Error::gnuLine(Type type, const std::string& message) {
  // One line each: a message's own line breaks and their indentation become a blank.
  std::string text;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] != '\n') {
      text += message[i];
      continue;
    }
    while (i + 1 < message.size() && message[i + 1] == ' ') ++i;
    text += ' ';
  }
  const char* kind = type == warning ? "warning: " : "error: ";
  Place place = findPlace(text);
  if (place.begin == std::string::npos) return std::string("tarsil: ") + kind + text;
  // The place leads the line, and the words that introduced it go with it.
  size_t from = place.begin;
  for (const char* lead : {" in ", " from "}) {
    const size_t n = std::strlen(lead);
    if (from >= n && text.compare(from - n, n, lead) == 0) {
      from -= n;
      break;
    }
  }
  text.erase(from, place.end - from);
  return place.file + ":" + place.line + ": " + kind + text;
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
  if (!cQuiet && cStyle == Style::classic) {
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

void Error::leave(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (cTerminateHook != nullptr) cTerminateHook(code);
  std::exit(code);
}

void Error::reset() {
  cWarnings = 0;
  cErrors = 0;
  cVerbose = false;
  cQuiet = false;
  cStyle = Style::classic;
}

}  // namespace tarsil
