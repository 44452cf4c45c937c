#include "link/Linker.h"

namespace tarsil {

void Linker::mergeStringTbls() { stageMissing("mergeStringTbls"); }

bool Linker::buildExtSymDef(std::string& error) { return stageUnavailable("buildExtSymDef", error); }

bool Linker::buildExtRefDef(std::string& error) { return stageUnavailable("buildExtRefDef", error); }

}  // namespace tarsil
