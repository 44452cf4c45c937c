// SPDX-License-Identifier: Apache-2.0
#pragma once
// The second half of reading a library member that Coff::makeHeaders() read
// in part, for the library that holds its image.
#include <memory>

#include "coff/Coff.h"
#include "support/InputFile.h"

namespace tarsil {

// Reads the sections' bytes, relocations and line numbers of `partial` from
// `image` (its own bytes, from its first) and checks the whole member as
// Coff::makeVerified() does; null after reporting what is wrong.
std::unique_ptr<Coff> readMemberRest(InputBytes& image, std::unique_ptr<Coff> partial);

}  // namespace tarsil
