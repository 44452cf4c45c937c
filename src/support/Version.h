// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace tarsil {

class Version {
public:
  static const char* linker();
  static const char* notice();
  // The release alone, as the companion programs' --version shows it after
  // their name; the package carries the same number.
  static const char* number();
};

}  // namespace tarsil
