#include "link/Linker.h"

namespace tarsil {

bool Linker::relocateSymbols(std::string& error) { return stageUnavailable("relocateSymbols", error); }

bool Linker::relocateLineInfo(std::string& error) { return stageUnavailable("relocateLineInfo", error); }

bool Linker::resolveExternals(std::string& error) { return stageUnavailable("resolveExternals", error); }

}  // namespace tarsil
