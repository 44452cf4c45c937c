#include "link/Linker.h"

namespace tarsil {

bool Linker::mapSections(std::string& error) { return stageUnavailable("mapSections", error); }

bool Linker::loadSections(std::string& error) { return stageUnavailable("loadSections", error); }

}  // namespace tarsil
