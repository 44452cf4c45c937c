// SPDX-License-Identifier: Apache-2.0
#include <string>
#include <vector>

#include "driver/Driver.h"
#include "support/Platform.h"

int main(int argc, char** argv) {
  tarsil::platform::keepFreedMemory();
  std::vector<std::string> args = tarsil::platform::startProgram(argc, argv);
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  tarsil::runTarsil(static_cast<int>(args.size()), pointers.data());
}
