#include "coff/Archive.h"

namespace tarsil {

ar_hdr ar_hdr::decode(const uint8_t*) { return {}; }
void ar_hdr::encode(uint8_t*) const {}
void Archive::init(const Archive&) {}
std::unique_ptr<Archive> Archive::make(const std::string&) { return nullptr; }
std::unique_ptr<Archive> Archive::make(std::span<const uint8_t>, const std::string&) { return nullptr; }
void Archive::makeSymbols() {}
bool Archive::hasExtDefinition(const std::string&) const { return false; }
std::unique_ptr<Coff> Archive::getCoff(const std::string&) const { return nullptr; }
bool Archive::write() { return false; }
std::vector<uint8_t> Archive::image() { return {}; }
void Archive::print(std::ostream&) const {}
std::string Archive::getName(const ar_hdr&) { return {}; }
void Archive::setName(ar_hdr&, const std::string&) {}
long Archive::getDate(const ar_hdr&) { return 0; }
void Archive::setDate(ar_hdr&, long) {}
unsigned long Archive::getSize(const ar_hdr&) { return 0; }
void Archive::setSize(ar_hdr&, unsigned long) {}
void Archive::setMagic(ar_hdr&) {}

}  // namespace tarsil
