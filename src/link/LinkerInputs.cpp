#include "link/Linker.h"

namespace tarsil {

bool Linker::buildCoffs(std::string& error) { return stageUnavailable("buildCoffs", error); }

bool Linker::buildLibs(std::string& error) { return stageUnavailable("buildLibs", error); }

bool Linker::importLibraryMembers(std::string& error) { return stageUnavailable("importLibraryMembers", error); }

bool Linker::verifyProcessor(std::string& error) { return stageUnavailable("verifyProcessor", error); }

}  // namespace tarsil
