// SPDX-License-Identifier: Apache-2.0
#pragma once
// Internal invariants that no input can reach. These stay active in every
// build type: a broken invariant must stop the link, never write a bad image.

namespace tarsil {
[[noreturn]] void assertionFailed(const char* condition, const char* module, const char* file, int line);
}

// Stops with the condition's own text, for example "cSize > 0".
#define TARSIL_ASSERT(cond) \
  ((cond) ? static_cast<void>(0) : ::tarsil::assertionFailed(#cond, nullptr, __FILE__, __LINE__))

// Stops with a text that names a module as well, for the device modules.
#define TARSIL_ASSERT_MODULE(cond, module) \
  ((cond) ? static_cast<void>(0) : ::tarsil::assertionFailed(#cond, module, __FILE__, __LINE__))

// Stops with a text given by the caller.
#define TARSIL_ASSERT_TEXT(cond, text) \
  ((cond) ? static_cast<void>(0) : ::tarsil::assertionFailed(text, nullptr, __FILE__, __LINE__))
