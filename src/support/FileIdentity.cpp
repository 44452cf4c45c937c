// SPDX-License-Identifier: Apache-2.0
#include "support/FileIdentity.h"

#include <filesystem>

#include "support/Platform.h"

namespace tarsil {

std::optional<FileIdentity> fileIdentity(const std::string& name) {
  bool directory = false;
  return fileIdentity(name, directory);
}

std::optional<FileIdentity> fileIdentity(const std::string& name, bool& directory) {
  if (name.empty()) return std::nullopt;
  const platform::FileStatus status = platform::fileStatus(name);
  if (status.kind == platform::Kind::missing) return std::nullopt;
  directory = status.kind == platform::Kind::directory;
  return status.identity;
}

namespace {

// Names are UTF-8 whatever the system's own code page, and compared as the
// file system compares them.
std::string normalised(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(fs::path(std::u8string(name.begin(), name.end())), ec), ec);
  if (ec) return platform::spellingKey(name);
  const std::u8string text = p.lexically_normal().u8string();
  return platform::spellingKey(std::string(text.begin(), text.end()));
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
  auto ia = fileIdentity(a);
  auto ib = fileIdentity(b);
  if (ia && ib) return *ia == *ib;
  if (ia || ib) return false;
  return normalised(a) == normalised(b);
}

std::optional<std::string> FileSet::add(const std::string& name, const FileIdentity& id) {
  const size_t next = cNames.size();
  const size_t first = cById.try_emplace(id, next).first->second;
  if (first != next) return cNames[first];
  cNames.push_back(name);
  return std::nullopt;
}

// The last component of a name, as the file system compares it; empty when
// it names no file of its own (".", "..", a trailing separator), so that the
// name may equal one with any other last component.
static std::string leafKey(const std::string& name) {
  const std::filesystem::path leaf = std::filesystem::path(std::u8string(name.begin(), name.end())).filename();
  if (leaf.empty() || leaf == "." || leaf == "..") return std::string();
  const std::u8string text = leaf.u8string();
  return platform::spellingKey(std::string(text.begin(), text.end()));
}

std::optional<std::string> FileSet::findAbsent(const std::string& name, const std::string& leaf) const {
  std::string path;
  auto same = [&](Absent& other) {
    if (other.path.empty()) other.path = normalised(cNames[other.index]);
    if (path.empty()) path = normalised(name);
    return other.path == path;
  };
  for (Absent& other : cAbsent)
    if ((leaf.empty() || other.leaf.empty() || other.leaf == leaf) && same(other)) return cNames[other.index];
  return std::nullopt;
}

std::optional<std::string> FileSet::add(const std::string& name) {
  auto id = fileIdentity(name);
  if (id) return add(name, *id);
  std::string leaf = leafKey(name);
  if (auto first = findAbsent(name, leaf)) return first;
  cAbsent.push_back({cNames.size(), std::move(leaf), std::string()});
  cNames.push_back(name);
  return std::nullopt;
}

std::optional<std::string> FileSet::find(const std::string& name) const {
  if (auto id = fileIdentity(name)) {
    auto at = cById.find(*id);
    if (at != cById.end()) return cNames[at->second];
    return std::nullopt;
  }
  if (cAbsent.empty()) return std::nullopt;
  return findAbsent(name, leafKey(name));
}

std::string outputClash(const std::vector<OutputName>& outputs, const FileSet& inputs) {
  FileSet written;
  for (const OutputName& output : outputs) {
    if (output.name.empty()) continue;
    if (auto input = inputs.find(output.name))
      return output.role + " '" + output.name + "' would replace the input file '" + *input + "'";
    if (auto earlier = written.add(output.name)) {
      for (const OutputName& other : outputs)
        if (other.name == *earlier)
          return output.role + " '" + output.name + "' would replace the " + other.role + " '" + *earlier + "'";
    }
  }
  return std::string();
}

}  // namespace tarsil
