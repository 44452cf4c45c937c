// SPDX-License-Identifier: Apache-2.0
#pragma once
// Which names lead to one file. Outputs are compared with every file a run
// reads, and inputs with each other, so that "x.o", "./x.o" and a symbolic
// link to it are one file and an output can never replace an input.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarsil {

// The device and inode of an existing file (links followed); empty when the
// name leads to nothing that can be looked at.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
std::optional<FileIdentity> fileIdentity(const std::string& name);
// The same, telling a directory from anything else at the same cost.
std::optional<FileIdentity> fileIdentity(const std::string& name, bool& directory);

// Whether two names lead to one file, whether or not it exists yet: existing
// files by identity, others by their absolute, normalised paths.
bool sameFile(const std::string& a, const std::string& b);

// The files a run reads, in the order first seen, for the checks above.
class FileSet {
public:
  // Records `name`; when it is a file already recorded, returns the name it
  // was first recorded under and records nothing.
  std::optional<std::string> add(const std::string& name);
  // The same for a file whose identity the caller has just looked up.
  std::optional<std::string> add(const std::string& name, const FileIdentity& id);
  // The recorded name of the file that `name` leads to, if any.
  std::optional<std::string> find(const std::string& name) const;
  const std::vector<std::string>& names() const { return cNames; }

private:
  struct Hash {
    size_t operator()(const FileIdentity& id) const { return std::hash<uint64_t>()(id.inode * 31 + id.device); }
  };
  // A name that leads to nothing yet is known by its absolute, normalised
  // path, which takes a look at every directory on the way there: the path
  // is worked out only when another such name ends in the same component,
  // the only kind it can equal. Few names are absent (outputs, mostly).
  struct Absent {
    size_t index;      // into cNames
    std::string leaf;  // see leafKey
    std::string path;  // empty until needed
  };
  std::optional<std::string> findAbsent(const std::string& name, const std::string& leaf) const;

  std::vector<std::string> cNames;
  // Index into cNames of the existing files, by identity.
  std::unordered_map<FileIdentity, size_t, Hash> cById;
  mutable std::vector<Absent> cAbsent;
};

// A file a run writes, and what its messages call it ("output file").
struct OutputName {
  std::string role;
  std::string name;
};

// Why a run may not write its outputs: the first of them, in order, that
// would replace one of `inputs` or an earlier output, in a message that names
// both; empty when none would. Outputs without a name are not written.
std::string outputClash(const std::vector<OutputName>& outputs, const FileSet& inputs);

}  // namespace tarsil
