// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <iosfwd>
#include <string>

namespace tarsil {

// A file name taken apart. Directories are split at '\' and, on this
// platform, at '/' as well, so that "dir/x.o" has a path.
class FileInfo {
public:
  explicit FileInfo(const std::string& name);

  const std::string& path() const { return cPath; }
  const std::string& basename() const { return cBase; }
  const std::string& ext() const { return cExt; }
  std::string name() const { return cBase + cExt; }
  bool hasPath() const { return !cPath.empty(); }
  bool hasName() const { return !cBase.empty(); }
  std::string fullName() const;
  bool pathExists() const;
  bool fileExists() const;
  void print(std::ostream& os) const;

private:
  std::string cPath;
  std::string cBase;
  std::string cExt;
};

// The name by which the file system knows a file: names may be written with
// '\' between directories, on the command line and in command files alike,
// and this file system knows only '/'.
std::string hostPath(std::string name);

class DirInfo {
public:
  explicit DirInfo(const std::string& name) : cName(name) {}
  const std::string& name() const { return cName; }
  bool dirExists() const;
  void print(std::ostream& os) const;

private:
  std::string cName;
};

}  // namespace tarsil
