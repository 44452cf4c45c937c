#include "coff/Coff.h"

namespace tarsil {

std::unique_ptr<Coff> Coff::make(const std::string&) { return nullptr; }
std::unique_ptr<Coff> Coff::make(std::FILE*, long, const std::string&) { return nullptr; }
std::unique_ptr<Coff> Coff::make(std::span<const uint8_t>, const std::string&) { return nullptr; }
bool Coff::verify() const { return true; }
void Coff::preWrite() {}
void Coff::preWrite(uint32_t) {}
unsigned long Coff::size() const { return 0; }
void Coff::fixupAuxFcns() {}
bool Coff::write() const { return false; }
bool Coff::write(std::FILE*, long) const { return false; }
std::vector<uint8_t> Coff::image() const { return {}; }
std::string Coff::getName(const scnhdr&, const std::map<int, std::string>&) { return {}; }
std::string Coff::getName(const syment&, const std::map<int, std::string>&) { return {}; }
std::string Coff::getName(const aux_file&, const std::map<int, std::string>&) { return {}; }
std::optional<std::string> Coff::findName(const scnhdr&, const std::map<int, std::string>&) { return {}; }
std::optional<std::string> Coff::findName(const syment&, const std::map<int, std::string>&) { return {}; }
std::optional<std::string> Coff::findName(const aux_file&, const std::map<int, std::string>&) { return {}; }
void Coff::setName(scnhdr&, const std::map<int, std::string>&, const std::string&) {}
void Coff::setName(syment&, const std::map<int, std::string>&, const std::string&) {}
uint32_t Coff::addString(std::map<int, std::string>&, const std::string&) { return 0; }
void Coff::print(std::ostream&) const {}
Coff::ScnType Coff::getScnType(const scnhdr&) { return unknown; }
const char* Coff::scnTypeName(ScnType) { return ""; }
void Coff::setScnFlags(scnhdr&, ScnType, bool, bool, bool) {}
bool Coff::needsString(const scnhdr&) { return false; }
bool Coff::needsString(const syment&) { return false; }

}  // namespace tarsil
