#pragma once

namespace tarsil {

class Version {
public:
  static const char* linker();
  static const char* notice();
};

}  // namespace tarsil
