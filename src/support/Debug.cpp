// SPDX-License-Identifier: Apache-2.0
#include "support/Debug.h"

namespace tarsil {

std::map<std::string, int>& Debug::cSwitch() {
  static std::map<std::string, int> channels;
  return channels;
}

// A channel that was never set behaves exactly like one set to 0, so names
// are entered only when a level is set.
Debug::Debug(const std::string& name) : cName(name) {}

Debug::Debug(const char* name) : cLiteral(name) {}

Debug::Debug(const std::string& name, int level) : cName(name) {
  int& current = cSwitch()[name];
  sOn += (level != 0) - (current != 0);
  current = level;
}

bool Debug::isOn() const {
  auto it = cLiteral ? cSwitch().find(cLiteral) : cSwitch().find(cName);
  return it != cSwitch().end() && it->second != 0;
}

void Debug::cleanup() {
  cSwitch().clear();
  sOn = 0;
}

int Debug::initialLevel() {
#ifdef TARSIL_DEBUG_CHANNELS
  return 1;
#else
  return 0;
#endif
}

}  // namespace tarsil
