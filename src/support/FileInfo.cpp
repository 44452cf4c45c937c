// SPDX-License-Identifier: Apache-2.0
#include "support/FileInfo.h"

#include <algorithm>
#include <ostream>

#include "support/Platform.h"

namespace tarsil {

FileInfo::FileInfo(const std::string& name) {
  std::string file = name;
  auto slash = name.find_last_of("\\/");
  if (slash != std::string::npos) {
    // A file in the root directory keeps its root as the path, or it would
    // be searched for like a bare name.
    cPath = slash == 0 && name[0] == '/' ? "/" : name.substr(0, slash);
    file = name.substr(slash + 1);
  }
  auto dot = file.rfind('.');
  if (dot == std::string::npos) {
    cBase = file;
  } else {
    cBase = file.substr(0, dot);
    cExt = file.substr(dot);
  }
}

std::string FileInfo::fullName() const { return cPath + "/" + name(); }

std::string hostPath(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

bool FileInfo::pathExists() const { return hasPath() && DirInfo(cPath).dirExists(); }

bool FileInfo::fileExists() const {
  if (!hasName()) return false;
  std::string file = hasPath() ? fullName() : name();
  return platform::fileStatus(file).kind != platform::Kind::missing;
}

void FileInfo::print(std::ostream& os) const {
  os << "path()='" << path() << "'\n"
     << "name()='" << name() << "'\n"
     << "ext()='" << ext() << "'\n"
     << "fullName()='" << fullName() << "'\n"
     << "hasName()=" << hasName() << "\n"
     << "hasPath()=" << hasPath() << "\n"
     << "pathExists()=" << pathExists() << "\n"
     << "fileExists()=" << fileExists() << "\n";
}

bool DirInfo::dirExists() const {
  return platform::canListDirectory(cName);
}

void DirInfo::print(std::ostream& os) const {
  os << "name()='" << name() << "'\n"
     << "dirExists()=" << dirExists() << "\n";
}

}  // namespace tarsil
