#include "link/Linker.h"

namespace tarsil {

bool Linker::actRecScnExists() {
  stageMissing("actRecScnExists");
  return false;
}

void Linker::buildCallGraph() { stageMissing("buildCallGraph"); }

void Linker::buildInterferenceGraph() { stageMissing("buildInterferenceGraph"); }

void Linker::buildScnActivationRecordMap() { stageMissing("buildScnActivationRecordMap"); }

}  // namespace tarsil
