// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <map>
#include <string>

namespace tarsil {

// Named diagnostic channels for the linker's own developers. A channel is on
// when its level is not 0; a normal run leaves every channel off.
class Debug {
public:
  explicit Debug(const std::string& name);
  // Channels are tested once per relocation and per symbol: a literal name
  // is kept as it is, so that testing costs no allocation while every
  // channel is off.
  explicit Debug(const char* name);
  Debug(const std::string& name, int level);
  // Inline, so that a hot loop pays one load while every channel is off.
  explicit operator bool() const { return sOn != 0 && isOn(); }
  // Whether any channel is on: work that would print from several threads
  // at once runs on one instead, so that the lines keep their order.
  static bool anyOn() { return sOn != 0; }
  static void cleanup();

  // Level the master channel "debug" gets at start-up: 0 unless the build
  // asked for the channels.
  static int initialLevel();

private:
  std::string cName;
  const char* cLiteral = nullptr;
  bool isOn() const;
  static std::map<std::string, int>& cSwitch();
  // Channels whose level is not 0.
  static inline int sOn = 0;
};

}  // namespace tarsil
