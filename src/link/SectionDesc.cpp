// SPDX-License-Identifier: Apache-2.0
#include "link/SectionDesc.h"

#include <ostream>

#include "support/Strings.h"

namespace tarsil {

void SectionDesc::print(std::ostream& os) const {
  os << "SectionDesc:  cName=" << cName << ", cLoadMemory=" << cLoadMemory << ", cRunMemory=" << cRunMemory << "\n";
}

void StackDesc::print(std::ostream& os) const {
  os << "StackDesc:  cSize=" << hexPrint(cSize, 4) << ", cRunMemory=" << cRunMemory << "\n";
}

}  // namespace tarsil
