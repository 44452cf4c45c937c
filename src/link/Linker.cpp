// SPDX-License-Identifier: Apache-2.0
#include "link/Linker.h"

#include "link/Passes.h"

namespace tarsil {

Linker::Linker(Config config) : cContext(std::make_unique<LinkContext>(std::move(config))) {}

Linker::~Linker() = default;

bool Linker::run(std::string& error) { return runPasses(*cContext, error); }

const FileSet& Linker::getInputFiles() const { return cContext->cInputFiles; }

std::vector<OutputName> Linker::outputs() const { return cContext->outputs(); }

DeclaredMemories Linker::memories() const { return cContext->memories(); }

const Coff& Linker::executable() const { return cContext->cOutput; }

void Linker::print(std::ostream& os) const { cContext->print(os); }

}  // namespace tarsil
