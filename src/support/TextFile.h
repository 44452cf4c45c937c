// SPDX-License-Identifier: Apache-2.0
#pragma once
// Small text inputs that a user names (response files, device files), read
// whole. Only a regular file is read, so a name that leads to a FIFO or a
// device cannot hang the run, and never more than the caller's limit,
// whatever the file claims.
#include <cstddef>
#include <string>

#include "support/FileIdentity.h"

namespace tarsil {

enum class TextFileRead { ok, cannotOpen, notRegular, tooLarge, readFailed };

// On success `text` holds the file and `identity` (when not null) the file
// that was read.
TextFileRead readTextFile(const std::string& name, size_t limit, std::string& text,
                          FileIdentity* identity = nullptr);

// The message for a read that failed: "Could not open response file 'x'",
// "Device file 'x' is not a regular file"... `kind` names the file's role in
// lower case.
std::string textFileProblem(TextFileRead result, const std::string& kind, const std::string& name, size_t limit);

}  // namespace tarsil
