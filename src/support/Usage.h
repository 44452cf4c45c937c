// SPDX-License-Identifier: Apache-2.0
#pragma once
// What every program of the suite says the same way on its command line.
#include <string>

namespace tarsil {

// The first line of --version: "<program> (tarsil) <release>".
std::string versionLine(const char* program);

// A mistake on the command line: one line on standard error, naming the
// program and where its usage is shown. Returns the exit status of such a
// mistake, 2.
int usageMistake(const char* program, const std::string& what);

}  // namespace tarsil
