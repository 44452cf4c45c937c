#include "support/Debug.h"

namespace tarsil {

std::map<std::string, int>& Debug::cSwitch() {
  static std::map<std::string, int> channels;
  return channels;
}

Debug::Debug(const std::string& name) : cName(name) { cSwitch().try_emplace(name, 0); }

Debug::Debug(const std::string& name, int level) : cName(name) { cSwitch()[name] = level; }

Debug::operator bool() const {
  auto [it, inserted] = cSwitch().try_emplace(cName, 0);
  return it->second != 0;
}

void Debug::cleanup() { cSwitch().clear(); }

int Debug::initialLevel() {
#ifdef TARSIL_DEBUG_CHANNELS
  return 1;
#else
  return 0;
#endif
}

}  // namespace tarsil
