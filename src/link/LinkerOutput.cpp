#include "link/Linker.h"

namespace tarsil {

bool Linker::buildOutputScnNum(std::string& error) { return stageUnavailable("buildOutputScnNum", error); }

bool Linker::buildOutputSymbolTbl(std::string& error) { return stageUnavailable("buildOutputSymbolTbl", error); }

bool Linker::buildOutputRawData(std::string& error) { return stageUnavailable("buildOutputRawData", error); }

bool Linker::buildOutputLineInfo(std::string& error) { return stageUnavailable("buildOutputLineInfo", error); }

bool Linker::buildOutputScnHdrs(std::string& error) { return stageUnavailable("buildOutputScnHdrs", error); }

bool Linker::buildOutputHdrs(std::string& error) { return stageUnavailable("buildOutputHdrs", error); }

void Linker::buildOutputHoles() { stageMissing("buildOutputHoles"); }

}  // namespace tarsil
