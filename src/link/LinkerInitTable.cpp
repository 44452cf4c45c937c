#include "link/Linker.h"

namespace tarsil {

bool Linker::buildInitTable(std::string& error) { return stageUnavailable("buildInitTable", error); }

bool Linker::addInitScnNames(std::string& error) { return stageUnavailable("addInitScnNames", error); }

}  // namespace tarsil
