// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace tarsil {

// The whole program: configure from the command line, link, and end the
// process through Error::terminate. Never returns.
[[noreturn]] void runTarsil(int argc, char** argv);

}  // namespace tarsil
