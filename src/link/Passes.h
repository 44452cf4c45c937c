// SPDX-License-Identifier: Apache-2.0
#pragma once
// The passes of the link: functions over its context, run in the order
// LinkerRun.cpp lists them. Internal to src/link/ and its tests.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/Context.h"

namespace tarsil {

class Target;

// LinkerSymbolValues.cpp LinkerRelocation.cpp LinkerInitTable.cpp
bool relocateSymbols(LinkContext& ctx, std::string& error);
bool relocateLineInfo(LinkContext& ctx, std::string& error);
bool resolveExternals(LinkContext& ctx, std::string& error);
// The symbol a relocation of `coff` names, or null with `error` set when the
// index is out of the table or lands on an auxiliary slot.
const syment* relocSymbol(const Coff& coff, const reloc& r, std::string& error);
// LinkerRelocation.cpp
// The target of the link's device, made afresh: its family's relocations.
std::unique_ptr<Target> makeTarget(const LinkContext& ctx);
// Relocation.
bool verifyRelocations(LinkContext& ctx, std::string& error);
bool patchSections(LinkContext& ctx, std::string& error);
// LinkerInitTable.cpp
std::string getInitImageName(const std::string& ramName);
std::string getInitRamName(const std::string& imageName);
uint64_t getInitImageSize(const LinkContext& ctx, uint64_t size);
// Bytes of one table entry: 6 where every address fits 16 bits, else 12.
uint64_t getInitEntrySize(const LinkContext& ctx);
bool allocateInitSection(LinkContext& ctx, const std::string& imageName, std::string& error);
bool isInitTableAssigned(const LinkContext& ctx);
uint64_t getInitTableSize(const LinkContext& ctx);
bool allocateInitTable(LinkContext& ctx, std::string& error);
// Initialized data.
bool buildInitTable(LinkContext& ctx, std::string& error);
bool addInitScnNames(LinkContext& ctx, std::string& error);

}  // namespace tarsil
