#include "link/Linker.h"

namespace tarsil {

void Linker::mergeStringTbls() { stageMissing("mergeStringTbls"); }

bool Linker::buildExtSymDef(std::string& error) { return stageUnavailable("buildExtSymDef", error); }

bool Linker::buildExtRefDef(std::string& error) { return stageUnavailable("buildExtRefDef", error); }

bool Linker::relocateSymbols(std::string& error) { return stageUnavailable("relocateSymbols", error); }

bool Linker::relocateLineInfo(std::string& error) { return stageUnavailable("relocateLineInfo", error); }

bool Linker::resolveExternals(std::string& error) { return stageUnavailable("resolveExternals", error); }

}  // namespace tarsil
