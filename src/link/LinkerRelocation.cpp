#include "link/Linker.h"

namespace tarsil {

bool Linker::verifyRelocations(std::string& error) { return stageUnavailable("verifyRelocations", error); }

bool Linker::patchSections(std::string& error) { return stageUnavailable("patchSections", error); }

}  // namespace tarsil
