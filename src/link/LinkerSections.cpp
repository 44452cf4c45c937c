#include "link/Linker.h"

namespace tarsil {

bool Linker::buildSectionAttribs(std::string& error) { return stageUnavailable("buildSectionAttribs", error); }

bool Linker::verifySectionDesc(std::string& error) { return stageUnavailable("verifySectionDesc", error); }

}  // namespace tarsil
