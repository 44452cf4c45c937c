// The output stages: the executable is assembled from the placed, resolved
// and patched inputs, then laid out, checked and written.
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

#include "device/Instructions.h"
#include "device/Processor.h"
#include "link/Linker.h"
#include "map/MapFile.h"
#include "support/Assert.h"
#include "support/AtomicFile.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/Strings.h"

namespace tarsil {

namespace {

Coff::ScnType kindOf(const std::map<std::string, Coff::ScnType>& kinds, const std::string& name,
                     const Coff* owner = nullptr) {
  auto it = kinds.find(name);
  if (it != kinds.end()) return it->second;
  if (owner != nullptr) {
    auto hdr = owner->cScnHdr.find(name);
    if (hdr != owner->cScnHdr.end()) return Coff::getScnType(hdr->second);
  }
  return Coff::unknown;
}

bool flagOf(const std::map<std::string, bool>& flags, const std::string& name) {
  auto it = flags.find(name);
  return it != flags.end() && it->second;
}

// Program-memory images of initialized data: on the cores whose words are
// wider than a byte, each byte becomes a RETLW returning it.
Data encodeImage(const Data& bytes, unsigned long imageSize, int instSet) {
  if (imageSize == bytes.size()) return bytes;
  Data image(2UL * bytes.size());
  for (uint32_t i = 0; i < bytes.size(); ++i) {
    uint16_t word = 0;
    setInstType(&word, InstType::RETLW, instSet);
    setOperandOne(&word, static_cast<uint8_t>(bytes.bytes()[i]), instSet);
    image.bytes()[2 * i] = static_cast<char>(word & 0xFF);
    image.bytes()[2 * i + 1] = static_cast<char>(word >> 8);
  }
  return image;
}

void dumpData(const char* title, const Data& d) {
  std::cout << title << '\n';
  d.print(std::cout);
}

}  // namespace

bool Linker::buildOutputScnNum(std::string& /*error*/) {
  std::map<std::string, int> numbered;
  auto number = [&](const std::string& name) {
    const int next = static_cast<int>(numbered.size()) + 1;
    if (numbered.emplace(name, next).second) cOutput.cScnNum[next] = name;
  };
  for (const auto& coff : cCoff) {
    for (const auto& [n, name] : coff->cScnNum) {
      number(name);
      if (kindOf(cScnType, name, coff.get()) == Coff::idata) number(getInitImageName(name));
    }
  }
  number(cInitTableName);
  if (cStackDeclared) number(cStackScnName);

  if (Debug("Linker::buildOutputScnNum"))
    for (const auto& [n, name] : cOutput.cScnNum)
      std::cout << "Linker::buildOutputScnNum() - cOutput.cScnNum[" << n << "] = '" << name << "'\n";
  return true;
}

bool Linker::buildOutputSymbolTbl(std::string& /*error*/) {
  cSymBase.assign(cCoff.size(), 0);
  if (cStrip) return true;
  const bool debug = static_cast<bool>(Debug("Linker::buildOutputSymbolTbl"));

  std::map<std::string, int> outputNumber;
  for (const auto& [n, name] : cOutput.cScnNum) outputNumber.emplace(name, n);

  for (size_t input = 0; input < cCoff.size(); ++input) {
    const Coff& coff = *cCoff[input];
    const uint32_t base = static_cast<uint32_t>(cOutput.cSymTbl.size());
    cSymBase[input] = base;
    const std::string head = "Linker::buildOutputSymbolTbl() -  file '" + coff.cFileName + "' ";
    // The kind of the first auxiliary slot of the symbol being copied: the
    // call records that may follow a function's belong to it.
    AuxKind owner = AuxKind::none;
    std::ostringstream note;
    const size_t slots = std::min(coff.cSymTbl.size(), coff.cSymKind.size());
    for (size_t i = 0; i < slots; ++i) {
      syment slot = coff.cSymTbl[i];
      const AuxKind kind = coff.cSymKind[i];
      const bool firstAux = kind != AuxKind::none && i > 0 && coff.cSymKind[i - 1] == AuxKind::none;
      const int index = static_cast<int>(cOutput.cSymTbl.size());
      note.str(std::string());

      if (kind == AuxKind::none) {
        owner = AuxKind::none;
        if (slot.n_scnum > 0) {
          auto scn = coff.cScnNum.find(slot.n_scnum);
          auto out = scn == coff.cScnNum.end() ? outputNumber.end() : outputNumber.find(scn->second);
          if (out != outputNumber.end()) slot.n_scnum = static_cast<int16_t>(out->second);
        }
      } else if (firstAux) {
        owner = kind;
        switch (kind) {
          case AuxKind::tag: {
            aux_tag a = getAux<aux_tag>(slot);
            if (debug) note << "symbol[" << index << "]- aux_tag x_endndx from " << a.x_endndx
                << " to " << a.x_endndx + base;
            a.x_endndx += base;
            setAux(slot, a);
            break;
          }
          case AuxKind::eos: {
            aux_eos a = getAux<aux_eos>(slot);
            if (debug) note << "symbol[" << index << "]- aux_eos x_tagndx from " << a.x_tagndx
                << " to " << a.x_tagndx + base;
            a.x_tagndx += base;
            setAux(slot, a);
            break;
          }
          case AuxKind::fcn: {
            aux_fcn a = getAux<aux_fcn>(slot);
            if (debug) note << "symbol[" << index << "]- aux_fcn x_tagndx from " << a.x_tagndx
                << " to " << a.x_tagndx + base
                << ", x_endndx from " << a.x_endndx << " to " << a.x_endndx + base;
            a.x_tagndx += base;
            a.x_endndx += base;
            setAux(slot, a);
            break;
          }
          case AuxKind::arr: {
            aux_arr a = getAux<aux_arr>(slot);
            if (debug) note << "symbol[" << index << "]- aux_arr x_tagndx from " << a.x_tagndx
                << " to " << a.x_tagndx + base;
            a.x_tagndx += base;
            setAux(slot, a);
            break;
          }
          case AuxKind::bobf: {
            aux_bobf a = getAux<aux_bobf>(slot);
            if (debug) note << "symbol[" << index << "]- aux_bobf x_endndx from " << a.x_endndx
                << " to " << a.x_endndx + base;
            a.x_endndx += base;
            setAux(slot, a);
            break;
          }
          case AuxKind::var: {
            aux_var a = getAux<aux_var>(slot);
            if (debug) note << "symbol[" << index << "]- aux_var x_tagndx from " << a.x_tagndx
                << " to " << a.x_tagndx + base;
            a.x_tagndx += base;
            setAux(slot, a);
            break;
          }
          default:
            if (debug) note << "symbol[" << index << "] no x_tagndx or x_endndx to update";
            break;
        }
      } else if (kind == AuxKind::fcn_calls && owner == AuxKind::fcn) {
        // The callee is a symbol of the same input; left alone it would name
        // whatever symbol of the executable happens to sit at that index.
        aux_fcn_calls a = getAux<aux_fcn_calls>(slot);
        if (a.x_calleendx != NO_CALLEE) {
          if (debug) note << "symbol[" << index << "]- aux_fcn_calls x_calleendx from " << a.x_calleendx << " to "
               << a.x_calleendx + base;
          a.x_calleendx += base;
          setAux(slot, a);
        }
      }
      if (debug && !note.str().empty()) std::cout << head << note.str() << '\n';
      cOutput.cSymTbl.push_back(slot);
      cOutput.cSymKind.push_back(kind);
    }
  }
  return true;
}

bool Linker::buildOutputRawData(std::string& /*error*/) {
  const bool debug = static_cast<bool>(Debug("Linker::buildOutputRawData"));
  struct Piece {
    const Coff* coff;
    const std::string* name;
    const Data* bytes;
    uint32_t allocStart;
    uint32_t loadStart;
    unsigned long startByte;
  };
  std::vector<Piece> pieces;
  // A section is as long as its merged size, or longer where placement
  // moved a piece that ends inside a location on to the next location.
  std::map<std::string, unsigned long> length(cScnSize.begin(), cScnSize.end());
  for (const auto& coff : cCoff) {
    for (const auto& [n, name] : coff->cScnNum) {
      if (kindOf(cScnType, name, coff.get()) == Coff::udata) continue;
      auto input = coff->cRawData.find(name);
      // An empty piece has nothing to copy, and may never have been loaded.
      if (input == coff->cRawData.end() || input->second.size() == 0) continue;
      auto mem = cScnMem.find(name);
      TARSIL_ASSERT_TEXT(mem != cScnMem.end() && mem->second != nullptr, "cScnMem holds every placed section");
      const Memory& m = *mem->second;
      const uint32_t allocStart = m.getAllocatedStart(name);
      const uint32_t loadStart = m.getLoadedStart(coff->cFileName, name);
      // An absolute piece is loaded over its whole locations, so its loaded
      // size may exceed its bytes by the last location's unused part; only
      // the bytes it has are copied.
      TARSIL_ASSERT_TEXT(m.getLoadedSize(coff->cFileName, name) >= input->second.size(),
                         "size <= loaded size of the piece");
      TARSIL_ASSERT(loadStart >= allocStart);
      const unsigned long startByte =
          static_cast<unsigned long>(loadStart - allocStart) * bytesPerLocation(m.type());
      pieces.push_back({coff.get(), &name, &input->second, allocStart, loadStart, startByte});
      unsigned long& total = length[name];
      total = std::max(total, startByte + input->second.size());
    }
  }
  // Uninitialized sections and the stack carry no bytes in the file, only a
  // size, which their headers take: a buffer for them would cost as much
  // memory as the section declares and never be written.
  for (const auto& [name, size] : length)
    if (kindOf(cScnType, name) != Coff::udata) cOutput.cRawData[name] = Data(size);

  for (const Piece& piece : pieces) {
    Data& output = cOutput.cRawData[*piece.name];
    if (debug) {
      std::cout << "Linker::buildOutputRawData() - input file '" << piece.coff->cFileName << "', section '"
                << *piece.name << "', startByte=" << piece.startByte << ", loadStart=" << hexPrint(piece.loadStart, 4)
                << ", allocStart=" << hexPrint(piece.allocStart, 4) << '\n';
      dumpData("input raw data:", *piece.bytes);
      dumpData("output raw data before:", output);
    }
    std::memcpy(output.bytes() + piece.startByte, piece.bytes->bytes(), piece.bytes->size());
    if (debug) dumpData("output raw data after:", output);
  }

  for (const auto& [name, kind] : cScnType) {
    if (kind != Coff::idata) continue;
    auto size = cScnSize.find(name);
    const unsigned long n = size == cScnSize.end() ? 0 : size->second;
    const unsigned long imageSize = getInitImageSize(n);
    const std::string image = getInitImageName(name);
    if (debug)
      std::cout << "Linker::buildOutputRawData() - init section '" << image << "' size=" << n
                << " image size=" << imageSize << '\n';
    cOutput.cRawData[image] = encodeImage(cOutput.cRawData[name], imageSize, cInstSet);
  }

  const unsigned long tableSize = getInitImageSize(cInitTable.size());
  if (debug)
    std::cout << "Linker::buildOutputRawData() - init table section '" << cInitTableName
              << "' size=" << cInitTable.size() << " image size=" << tableSize << '\n';
  cOutput.cRawData[cInitTableName] = encodeImage(cInitTable, tableSize, cInstSet);
  return true;
}

bool Linker::buildOutputLineInfo(std::string& /*error*/) {
  if (cStrip) return true;
  const bool debug = static_cast<bool>(Debug("Linker::buildOutputLineInfo"));
  for (size_t input = 0; input < cCoff.size(); ++input) {
    const Coff& coff = *cCoff[input];
    const uint32_t base = input < cSymBase.size() ? cSymBase[input] : 0;
    if (debug) std::cout << "Linker::buildOutputLineInfo() - file '" << coff.cFileName << "'\n";
    for (const auto& [n, name] : coff.cScnNum) {
      if (kindOf(cScnType, name, &coff) != Coff::code) continue;
      auto lines = coff.cLineInfo.find(name);
      if (lines == coff.cLineInfo.end()) continue;
      auto& output = cOutput.cLineInfo[name];
      for (coff_lineno line : lines->second) {
        if (debug)
          std::cout << "fixing up l_srcndx from " << line.l_srcndx << " to " << line.l_srcndx + base
                    << ", l_fcnndx from " << line.l_fcnndx << " to " << line.l_fcnndx + base << '\n';
        line.l_srcndx += base;
        line.l_fcnndx += base;
        output.push_back(line);
      }
    }
  }
  return true;
}

bool Linker::buildOutputScnHdrs(std::string& /*error*/) {
  auto header = [&](const std::string& name, Coff::ScnType kind, bool abs, bool shared, bool access,
                    unsigned long size = 0) {
    scnhdr h{};
    h.s_size = static_cast<uint32_t>(size);
    Coff::setName(h, cOutput.cStrTbl, name);
    auto mem = cScnMem.find(name);
    if (mem != cScnMem.end() && mem->second != nullptr && mem->second->isAllocated(name))
      h.s_paddr = mem->second->getAllocatedStart(name);
    h.s_vaddr = 0;
    Coff::setScnFlags(h, kind, abs, shared, access);
    cOutput.cScnHdr[name] = h;
  };
  for (const auto& [name, kind] : cScnType) {
    unsigned long size = 0;
    if (kind == Coff::udata)
      if (auto it = cScnSize.find(name); it != cScnSize.end()) size = it->second;
    header(name, kind, flagOf(cScnAbs, name), flagOf(cScnShare, name), flagOf(cScnAccess, name), size);
    if (kind == Coff::idata) header(getInitImageName(name), Coff::romdata, false, false, false);
  }
  header(cInitTableName, Coff::romdata, false, false, false);
  if (cStackDeclared) header(cStackScnName, Coff::udata, false, false, false, cStackDesc.getSize());
  return true;
}

bool Linker::buildOutputHdrs(std::string& /*error*/) {
  filehdr& f = cOutput.cFileHdr;
  f.f_magic = cCoff.empty() ? COFF_MAGIC : cCoff.front()->cFileHdr.f_magic;
  f.f_opthdr = OPTHDR_SIZE;
  f.f_flags = cStrip ? static_cast<uint16_t>(F_EXEC | F_LNNO | F_LSYMS) : F_EXEC;
  opthdr& o = cOutput.cOptHdr;
  if (!cCoff.empty()) {
    o.magic = cCoff.front()->cOptHdr.magic;
    o.vstamp = cCoff.front()->cOptHdr.vstamp;
  }
  o.proc_type = getDvsProcType(cProcType) & 0xFFFFu;
  o.rom_width_bits = cRomWidthBits;
  o.ram_width_bits = cRamWidthBits;
  cOutput.cFileName = cOutputFile;
  return true;
}

void Linker::buildOutputHoles() {
  for (const Memory& m : cCodePage) m.fillHoles(fillCB, this);
}

void Linker::fillCB(void* linker, const std::string& memory, unsigned long start, unsigned long end,
                    const std::string& fill) {
  static_cast<Linker*>(linker)->buildOutputHole(memory, start, end, fill);
}

void Linker::buildOutputHole(const std::string& memory, unsigned long start, unsigned long end,
                             const std::string& fill) {
  // An input may already use the name the count gives; the next count does not.
  std::string name;
  do {
    ++cFillCount;
    name = ".fill_" + std::to_string(cFillCount);
  } while (cOutput.cScnHdr.count(name) != 0);
  // From the hundredth fill on the name no longer fits the header's own field.
  if (name.size() > 8 && cOutputStrTbl.count(name) == 0) {
    const uint32_t offset = Coff::addString(cOutput.cStrTbl, name);
    cOutputStrTbl.emplace(name, static_cast<int>(offset));
  }
  cOutput.cScnNum[static_cast<int>(cOutput.cScnNum.size()) + 1] = name;

  if (Debug("Linker::buildOutputHole"))
    std::cout << "Linker::buildOutputHole() - start=" << hexPrint(start, 4) << ", end=" << hexPrint(end, 4)
              << ", fill=" << hexPrint(str2ul(fill), 4) << '\n';

  const unsigned long n = (end - start + 1) * static_cast<unsigned long>(bytesPerLocation(rom));
  Data data(n);
  char* bytes = data.bytes();
  bool truncated = false;
  if (fill.size() > 2 && (fill[1] == 'x' || fill[1] == 'X')) {
    const std::string digits = fill.substr(2);
    TARSIL_ASSERT_TEXT(digits.size() % 4 == 0, "fill digits come in words of four");
    std::vector<uint16_t> pattern;
    for (size_t i = 0; i < digits.size(); i += 4)
      pattern.push_back(static_cast<uint16_t>(str2ul("0x" + digits.substr(i, 4))));
    size_t next = 0;
    unsigned long pos = 0;
    for (; pos + 2 <= n; pos += 2) {
      bytes[pos] = static_cast<char>(pattern[next] & 0xFF);
      bytes[pos + 1] = static_cast<char>(pattern[next] >> 8);
      next = (next + 1) % pattern.size();
    }
    if (pos < n) {
      bytes[pos] = static_cast<char>(pattern[next] & 0xFF);
      truncated = true;
    } else if (next != 0) {
      truncated = true;
    }
  } else {
    const uint16_t v = static_cast<uint16_t>(str2ul(fill));
    unsigned long pos = 0;
    for (; pos + 2 <= n; pos += 2) {
      bytes[pos] = static_cast<char>(v & 0xFF);
      bytes[pos + 1] = static_cast<char>(v >> 8);
    }
    if (pos < n) {
      bytes[pos] = static_cast<char>(v & 0xFF);
      truncated = true;
    }
  }
  if (truncated)
    Error::report(Error::warning, "Linker::BuildOutputHole()",
                  "Fill pattern for memory '" + memory +
                      "' doesn't divide evenly into\n          unused program locations.  Last value was truncated.",
                  false);
  cOutput.cRawData[name] = std::move(data);

  scnhdr h{};
  Coff::setName(h, cOutput.cStrTbl, name);
  h.s_paddr = static_cast<uint32_t>(start);
  h.s_vaddr = 0;
  Coff::setScnFlags(h, Coff::code, false, false, false);
  cOutput.cScnHdr[name] = h;
}

bool Linker::writeOutputFile(std::string& error) {
  cOutput.cFileName = cOutputFile;
  cOutput.preWrite();
  if (!cOutput.verify()) {
    error = "Internal Coff output file is corrupt.";
    return false;
  }
  // Written beside the target and moved over it only when complete, so a
  // failed or interrupted link never leaves a truncated executable.
  AtomicFile file(cOutputFile);
  if (!file.open()) {
    Error::report(Error::error, "Coff::write()", "Could not open Coff file '" + cOutputFile + "' for writing.", false);
    return false;
  }
  if (!cOutput.write(file.file(), 0)) return false;
  if (!file.commit()) {
    Error::report(Error::error, "Coff::write()", "Could not write Coff file '" + cOutputFile + "'.", false);
    return false;
  }
  return true;
}

bool Linker::writeMapFile(std::string& /*error*/) {
  if (cMapFile.empty()) return true;
  return MapFile::write(cMapFile, cOutput, calcProgMemSize());
}

}  // namespace tarsil
