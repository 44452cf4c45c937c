// SPDX-License-Identifier: Apache-2.0
// The output stages: the executable is assembled from the placed, resolved
// and patched inputs, then laid out, checked and written.
#include <cstdio>
#include <algorithm>
#include <deque>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "coff/CoffWriter.h"
#include "coff/Prefetch.h"
#include "device/Instructions.h"
#include "device/Processor.h"
#include "link/Passes.h"
#include "map/MapFile.h"
#include "map/MapJson.h"
#include "map/MapView.h"
#include "support/Assert.h"
#include "support/AtomicFile.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/FileInfo.h"
#include "support/NameIndex.h"
#include "support/Strings.h"
#include "support/Threads.h"
#include "support/TimeStamp.h"

namespace tarsil {

namespace {

// A name kept in the string table: a zero first word, then its offset.
void setStringOffset(scnhdr& h, uint32_t offset) {
  std::memset(h.s_name, 0, sizeof h.s_name);
  for (int i = 0; i < 4; ++i) h.s_name[4 + i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
}

// Program-memory images of initialized data: on the cores whose words are
// wider than a byte, each byte becomes a RETLW returning it.
Data encodeImage(const Data& bytes, uint64_t imageSize, int instSet) {
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

// The debug line of an auxiliary slot's indices moved by `base`.
void noteRebase(const std::string& file, int index, const syment& slot, AuxKind record, uint32_t base, bool first) {
  std::string moves;
  forEachIndex(slot, record, [&](const IndexField& f, uint32_t value) {
    moves += std::string(moves.empty() ? "" : ", ") + f.name + " from " + std::to_string(value) + " to " +
             std::to_string(value + base);
  });
  // A call record that names no callee has nothing to say.
  if (moves.empty() && !first) return;
  std::cout << "Linker::buildOutputSymbolTbl() -  file '" << file << "' symbol[" << index << "]";
  if (moves.empty()) std::cout << " no x_tagndx or x_endndx to update\n";
  else std::cout << "- aux_" << auxKindName(record) << ' ' << moves << '\n';
}

}  // namespace

bool buildOutputScnNum(LinkContext& ctx, std::string& error) {
  // Every name the walk meets, with its merged kind (null for a name the
  // merged kinds lack) and whether it has its number yet: one look-up per
  // input section answers both.
  struct Name {
    const Coff::ScnType* kind = nullptr;
    bool numbered = false;
  };
  NameIndex<Name> names(ctx.cScns.size() + 8);
  for (const auto& [name, scn] : ctx.cScns)
    if (scn.merged()) names.emplace(name, {&scn.type, false});
  int count = 0;
  auto give = [&](Name& entry, const std::string& name) {
    entry.numbered = true;
    ctx.cOutput.cScnNum.try_emplace(ctx.cOutput.cScnNum.end(), ++count, name);
  };
  // Names that outlive the walk (the inputs' and the link's own) are held as
  // they are; a made name is held as the executable's copy.
  auto number = [&](const std::string& name) -> const Name& {
    Name& entry = *names.emplace(name, {}).first;
    if (!entry.numbered) give(entry, name);
    return entry;
  };
  // The executable's copies move as its table grows: the index keeps its
  // own, which stay put.
  std::deque<std::string> madeNames;
  auto numberMade = [&](const std::string& name) {
    if (Name* entry = names.find(name)) {
      if (!entry->numbered) give(*entry, name);
      return;
    }
    Name made;
    give(made, name);
    names.emplace(madeNames.emplace_back(name), made);
  };
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cScnNum);
    const auto& coff = ctx.cCoff[c];
    for (const auto& [n, name] : coff->cScnNum) {
      const Name& entry = number(name);
      Coff::ScnType kind = Coff::unknown;
      if (entry.kind != nullptr) {
        kind = *entry.kind;
      } else if (auto hdr = coff->cScnHdr.find(name); hdr != coff->cScnHdr.end()) {
        kind = Coff::getScnType(hdr->second);
      }
      if (kind == Coff::idata) numberMade(getInitImageName(name));
    }
  }
  number(ctx.cInitTableName);
  if (ctx.cConfig.cStackDeclared) number(ctx.cStackScnName);

  if (Debug("Linker::buildOutputScnNum"))
    for (const auto& [n, name] : ctx.cOutput.cScnNum)
      std::cout << "Linker::buildOutputScnNum() - cOutput.cScnNum[" << n << "] = '" << name << "'\n";
  if (ctx.cOutput.cScnNum.size() > LinkContext::kMaxSections) {
    error = tooManySections();
    return false;
  }
  return true;
}

bool buildOutputSymbolTbl(LinkContext& ctx, std::string& /*error*/) {
  ctx.cSymBase.assign(ctx.cCoff.size(), 0);
  if (ctx.cConfig.cStrip) return true;
  const bool debug = static_cast<bool>(Debug("Linker::buildOutputSymbolTbl"));

  NameIndex<int> outputNumber(ctx.cOutput.cScnNum.size());
  for (const auto& [n, name] : ctx.cOutput.cScnNum) outputNumber.emplace(name, n);

  // Each input's slots land after the previous input's: with every place
  // known first, the inputs are copied side by side.
  size_t total = ctx.cOutput.cSymTbl.size();
  for (size_t input = 0; input < ctx.cCoff.size(); ++input) {
    prefetchRecordsAhead(ctx.cCoff, input, &Coff::cSymTbl, &Coff::cSymKind);
    ctx.cSymBase[input] = static_cast<uint32_t>(total);
    total += std::min(ctx.cCoff[input]->cSymTbl.size(), ctx.cCoff[input]->cSymKind.size());
  }
  ctx.cOutput.cSymTbl.resize(total);
  ctx.cOutput.cSymKind.resize(total);

  static_assert(std::is_trivially_copyable_v<syment>);
  ctx.forEachInput([&](size_t input) {
    const Coff& coff = *ctx.cCoff[input];
    const uint32_t base = ctx.cSymBase[input];
    // An input's section number to the executable's, by the number a symbol
    // holds (at most INT16_MAX); -1 where no output section has it, and the
    // symbol keeps its value.
    const int highest = coff.cScnNum.empty() ? 0 : std::min(coff.cScnNum.rbegin()->first, int{INT16_MAX});
    // One table per thread, kept from input to input.
    thread_local std::vector<int> renumber;
    renumber.assign(static_cast<size_t>(std::max(highest, 0)) + 1, -1);
    for (const auto& [n, name] : coff.cScnNum) {
      if (n <= 0 || n > INT16_MAX) continue;
      if (const int* out = outputNumber.find(name)) renumber[static_cast<size_t>(n)] = *out;
    }

    // The slots are copied whole, as bytes; the few fields that change are
    // changed in place.
    const size_t slots = std::min(coff.cSymTbl.size(), coff.cSymKind.size());
    if (slots != 0) std::memcpy(&ctx.cOutput.cSymTbl[base], coff.cSymTbl.data(), slots * sizeof(syment));
    std::copy_n(coff.cSymKind.begin(), slots, ctx.cOutput.cSymKind.begin() + static_cast<std::ptrdiff_t>(base));
    for (size_t i = 0; i < slots; ++i) {
      syment& slot = ctx.cOutput.cSymTbl[base + i];
      const AuxKind kind = coff.cSymKind[i];

      if (kind == AuxKind::none) {
        const int16_t number = slot.n_scnum;
        if (number > 0 && static_cast<size_t>(number) < renumber.size() && renumber[static_cast<size_t>(number)] >= 0)
          slot.n_scnum = static_cast<int16_t>(renumber[static_cast<size_t>(number)]);
        continue;
      }
      // The indices an auxiliary record holds name slots of the same input;
      // left alone they would name whatever symbol of the executable happens
      // to sit there.
      const bool first = i > 0 && coff.cSymKind[i - 1] == AuxKind::none;
      const AuxKind record = first ? auxRecord(coff.cSymTbl[i - 1], kind) : kind;
      if (debug) noteRebase(coff.cFileName, static_cast<int>(base + i), slot, record, base, first);
      shiftIndices(slot, record, base);
    }
  });
  return true;
}

namespace {

// One output section: as long as its merged size, or longer where
// placement moved a piece that ends inside a location on to the next one.
struct Destination {
  const std::string* name;
  uint64_t length;
  // Its merged kind; null for a name the merged kinds lack.
  const Coff::ScnType* kind = nullptr;
  size_t pieces = 0;
  size_t firstPiece = 0;
  Data* output = nullptr;
};

// One input section's bytes and where they go in its destination.
struct Piece {
  const Coff* coff;
  size_t target;
  Data* bytes;
  uint32_t allocStart;
  uint32_t loadStart;
  uint64_t startByte;
};

// Uninitialized sections and the stack carry no bytes in the file, only a
// size, which their headers take: a buffer for them would cost as much
// memory as the section declares and never be written. A section made of
// one piece that covers it takes over the piece's buffer: nothing reads an
// input's bytes once they are in the executable, so each byte is held once.
// The buffers are made apart from the executable's table, which moves
// its entries as it grows, and go into it together once filled.
std::vector<Data> makeBuffers(std::vector<Destination>& targets, const std::vector<Piece>& pieces, bool debug) {
  std::vector<Data> outputs(targets.size());
  for (size_t t = 0; t < targets.size(); ++t) {
    Destination& target = targets[t];
    if (target.kind != nullptr && *target.kind == Coff::udata) continue;
    Data& output = outputs[t];
    target.output = &output;
    const Piece* only = target.pieces == 1 ? &pieces[target.firstPiece] : nullptr;
    if (only && !debug && only->startByte == 0 && only->bytes->size() == target.length) {
      output = std::move(*only->bytes);
      *only->bytes = Data();
    } else {
      output = Data(target.length);
    }
  }
  return outputs;
}

// Each piece's bytes into its section's buffer, letting the piece's go.
void copyPieces(const std::vector<Destination>& targets, const std::vector<Piece>& pieces, bool debug) {
  for (const Piece& piece : pieces) {
    if (piece.bytes->size() == 0) continue;  // taken over whole
    // The output starts as zeros: a piece of zeros not made yet stays so.
    if (piece.bytes->onlyZeros() && !debug) {
      *piece.bytes = Data();
      continue;
    }
    Data& output = *targets[piece.target].output;
    if (debug) {
      std::cout << "Linker::buildOutputRawData() - input file '" << piece.coff->cFileName << "', section '"
                << *targets[piece.target].name << "', startByte=" << piece.startByte
                << ", loadStart=" << hexPrint(piece.loadStart, 4) << ", allocStart=" << hexPrint(piece.allocStart, 4)
                << '\n';
      dumpData("input raw data:", *piece.bytes);
      dumpData("output raw data before:", output);
    }
    std::memcpy(output.bytes() + piece.startByte, piece.bytes->bytes(), piece.bytes->size());
    if (debug) dumpData("output raw data after:", output);
    *piece.bytes = Data();
  }
}

}  // namespace

bool buildOutputRawData(LinkContext& ctx, std::string& /*error*/) {
  const bool debug = static_cast<bool>(Debug("Linker::buildOutputRawData"));
  std::vector<Destination> targets;
  targets.reserve(ctx.cScns.size());
  for (auto& [name, scn] : ctx.cScns) {
    scn.slot = MergedSection::kNoSlot;
    if (!scn.sized) continue;
    scn.slot = static_cast<uint32_t>(targets.size());
    targets.push_back({&name, scn.size, scn.merged() ? &scn.type : nullptr});
  }

  std::vector<Piece> pieces;
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    for (const InputSection& input : ctx.sectionsOf(c)) {
      const MergedSection* scn = input.output;
      if (scn == nullptr || scn->slot == MergedSection::kNoSlot) continue;
      const Coff::ScnType kind = scn->merged() ? scn->type : Coff::getScnType(*input.header);
      if (kind == Coff::udata) continue;
      // An empty piece has nothing to copy, and may never have been loaded.
      if (input.bytes == nullptr || input.bytes->size() == 0) continue;
      Destination& target = targets[scn->slot];
      TARSIL_ASSERT_TEXT(input.loaded, "isLoaded (file, secName)");
      const uint32_t allocStart = input.address - input.inRange;
      const uint64_t startByte = static_cast<uint64_t>(input.inRange) * bytesPerLocation(ctx, scn->memory->type());
      if (target.pieces++ == 0) target.firstPiece = pieces.size();
      target.length = std::max(target.length, startByte + input.bytes->size());
      pieces.push_back({input.file, scn->slot, input.bytes, allocStart, input.address, startByte});
    }
  }
  std::vector<Data> outputs = makeBuffers(targets, pieces, debug);
  copyPieces(targets, pieces, debug);

  // The images are made first, from the buffers before they move.
  std::vector<std::pair<std::string, Data>> images;
  for (const auto& [name, scn] : ctx.cScns) {
    if (scn.type != Coff::idata) continue;
    const uint64_t n = scn.sized ? scn.size : 0;
    const uint64_t imageSize = getInitImageSize(ctx, n);
    std::string image = getInitImageName(name);
    if (debug)
      std::cout << "Linker::buildOutputRawData() - init section '" << image << "' size=" << n
                << " image size=" << imageSize << '\n';
    // The section's bytes as made above, or as the table held them before.
    const Data* bytes = nullptr;
    if (scn.slot != MergedSection::kNoSlot && targets[scn.slot].output != nullptr) {
      bytes = targets[scn.slot].output;
    } else if (auto held = ctx.cOutput.cRawData.find(name); held != ctx.cOutput.cRawData.end()) {
      bytes = &held->second;
    } else {
      // Asking for the section's bytes gave it an entry, however empty.
      images.emplace_back(name, Data());
    }
    images.emplace_back(std::move(image), encodeImage(bytes != nullptr ? *bytes : Data(), imageSize, ctx.cInstSet));
  }
  // Every entry goes into the table in one step, later ones replacing
  // earlier ones of the same name, as they would one by one.
  std::vector<std::pair<std::string, Data>> made;
  made.reserve(targets.size() + images.size() + 1);
  for (size_t t = 0; t < targets.size(); ++t)
    if (targets[t].output != nullptr) made.emplace_back(*targets[t].name, std::move(outputs[t]));
  made.insert(made.end(), std::make_move_iterator(images.begin()), std::make_move_iterator(images.end()));

  const uint64_t tableSize = getInitImageSize(ctx, ctx.cInitTable.size());
  if (debug)
    std::cout << "Linker::buildOutputRawData() - init table section '" << ctx.cInitTableName
              << "' size=" << ctx.cInitTable.size() << " image size=" << tableSize << '\n';
  made.emplace_back(ctx.cInitTableName, encodeImage(ctx.cInitTable, tableSize, ctx.cInstSet));
  ctx.cOutput.cRawData.mergeIn(std::move(made), [](Data& kept, Data&& incoming) { kept = std::move(incoming); });
  return true;
}

bool buildOutputLineInfo(LinkContext& ctx, std::string& /*error*/) {
  if (ctx.cConfig.cStrip) return true;
  const bool debug = static_cast<bool>(Debug("Linker::buildOutputLineInfo"));
  struct Piece {
    size_t input;
    std::vector<coff_lineno>* lines;
    size_t target;
  };
  // Each output list is sized once, from the pieces that feed it, in the
  // order the inputs first name the sections.
  std::vector<Piece> pieces;
  struct Destination {
    const std::string* name;
    size_t count = 0;
    size_t pieces = 0;
    std::vector<coff_lineno>* output = nullptr;
  };
  std::vector<Destination> targets;
  for (auto& [name, scn] : ctx.cScns) scn.slot = MergedSection::kNoSlot;
  for (size_t input = 0; input < ctx.cCoff.size(); ++input) {
    for (const InputSection& piece : ctx.sectionsOf(input)) {
      MergedSection* scn = piece.output;
      if (piece.lines == nullptr || scn == nullptr) continue;
      if ((scn->merged() ? scn->type : Coff::getScnType(*piece.header)) != Coff::code) continue;
      if (scn->slot == MergedSection::kNoSlot) {
        scn->slot = static_cast<uint32_t>(targets.size());
        targets.push_back({piece.name});
      }
      targets[scn->slot].count += piece.lines->size();
      ++targets[scn->slot].pieces;
      pieces.push_back({input, piece.lines, scn->slot});
    }
  }
  // The lists are made apart from the executable's table, which moves its
  // entries as it grows, and go into it together once filled.
  std::vector<std::vector<coff_lineno>> outputs(targets.size());
  for (size_t t = 0; t < targets.size(); ++t) {
    Destination& target = targets[t];
    target.output = &outputs[t];
    // A list fed by one piece takes the piece's own buffer below.
    if (target.pieces > 1 || !target.output->empty()) target.output->reserve(target.output->size() + target.count);
  }

  // Copied whole, or taken over when they are the whole list, then rebased
  // where they landed.
  auto take = [&](const Piece& piece) {
    const uint32_t base = piece.input < ctx.cSymBase.size() ? ctx.cSymBase[piece.input] : 0;
    const Destination& target = targets[piece.target];
    auto& output = *target.output;
    const size_t first = output.size();
    if (target.pieces == 1 && output.empty())
      output.swap(*piece.lines);
    else
      output.insert(output.end(), piece.lines->begin(), piece.lines->end());
    for (auto line = output.begin() + static_cast<std::ptrdiff_t>(first); line != output.end(); ++line) {
      if (debug)
        std::cout << "fixing up l_srcndx from " << line->l_srcndx << " to " << line->l_srcndx + base
                  << ", l_fcnndx from " << line->l_fcnndx << " to " << line->l_fcnndx + base << '\n';
      line->l_srcndx += base;
      line->l_fcnndx += base;
    }
    // Nothing reads an input's line numbers once the executable has its
    // copy; holding both would double their memory at the peak. Only the
    // buffers go: the tables' entries are small and cost as much to free.
    *piece.lines = std::vector<coff_lineno>();
  };
  if (debug) {
    auto piece = pieces.begin();
    for (size_t input = 0; input < ctx.cCoff.size(); ++input) {
      std::cout << "Linker::buildOutputLineInfo() - file '" << ctx.cCoff[input]->cFileName << "'\n";
      for (; piece != pieces.end() && piece->input == input; ++piece) take(*piece);
    }
  } else {
    // A list of one piece depends on no other: those are made side by side,
    // and the lists of several pieces after, each in input order.
    inOrderUntilFailure(pieces.size(), [&](size_t p, unsigned) {
      // Each piece's list lies apart from the others': asked for ahead.
      const size_t mine = std::min(pieces.size(), runEnd());
      if (p + recordAhead < mine) prefetch::member(*pieces[p + recordAhead].lines);
      if (p + partAhead < mine) prefetch::start(*pieces[p + partAhead].lines);
      if (targets[pieces[p].target].pieces == 1) take(pieces[p]);
      return true;
    });
    for (const Piece& piece : pieces)
      if (targets[piece.target].pieces > 1) take(piece);
  }
  std::vector<std::pair<std::string, std::vector<coff_lineno>>> made;
  made.reserve(targets.size());
  for (size_t t = 0; t < targets.size(); ++t) {
    // The names lie in the inputs' tables, each apart from the last.
    if (t + recordAhead < targets.size()) prefetch::member(*targets[t + recordAhead].name);
    made.emplace_back(*targets[t].name, std::move(outputs[t]));
  }
  ctx.cOutput.cLineInfo.mergeIn(std::move(made), [](std::vector<coff_lineno>& kept, std::vector<coff_lineno>&& incoming) {
    kept.insert(kept.end(), incoming.begin(), incoming.end());
  });
  return true;
}

bool buildOutputScnHdrs(LinkContext& ctx, std::string& /*error*/) {
  // Names too long for the header's own field are found in the string
  // table in one pass, the first equal string counting.
  NameIndex<uint32_t> longNames;
  auto wantName = [&](const std::string& name) {
    if (name.size() > 8) longNames.emplace(name, 0);
  };
  std::vector<std::string> images;
  for (const auto& [name, scn] : ctx.cScns) {
    if (!scn.merged()) continue;
    wantName(name);
    if (scn.type == Coff::idata) images.push_back(getInitImageName(name));
  }
  for (const std::string& image : images) wantName(image);
  wantName(ctx.cInitTableName);
  if (ctx.cConfig.cStackDeclared) wantName(ctx.cStackScnName);
  size_t unresolved = longNames.size();
  for (auto it = ctx.cOutput.cStrTbl.begin(); unresolved != 0 && it != ctx.cOutput.cStrTbl.end(); ++it) {
    if (it->second.size() <= 8) continue;
    uint32_t* want = longNames.find(it->second);
    if (want == nullptr || *want != 0) continue;
    *want = static_cast<uint32_t>(it->first);
    --unresolved;
  }
  auto setName = [&](scnhdr& h, const std::string& name) {
    const uint32_t* want = name.size() > 8 ? longNames.find(name) : nullptr;
    if (want == nullptr || *want == 0) {
      // Short, or missing from the table, which the setter reports.
      Coff::setName(h, ctx.cOutput.cStrTbl, name);
      return;
    }
    setStringOffset(h, *want);
  };

  std::vector<std::pair<std::string, scnhdr>> headers;
  // Where the section was placed: its range, as loading found it for the
  // merged sections; the linker's own few are looked for by name.
  auto placedAt = [&ctx](const std::string& name, const MergedSection* scn) -> const Range* {
    if (scn != nullptr) return scn->range;
    auto mem = ctx.cScnMem.find(name);
    return mem != ctx.cScnMem.end() && mem->second != nullptr ? mem->second->findAllocated(name) : nullptr;
  };
  auto header = [&](const std::string& name, const MergedSection* scn, Coff::ScnType kind, bool abs, bool shared,
                    bool access, uint64_t size = 0) {
    scnhdr h{};
    h.s_size = static_cast<uint32_t>(size);
    setName(h, name);
    if (const Range* range = placedAt(name, scn)) h.s_paddr = range->getStart(name);
    h.s_vaddr = 0;
    Coff::setScnFlags(h, kind, abs, shared, access);
    headers.emplace_back(name, h);
  };
  size_t image = 0;
  for (const auto& [name, scn] : ctx.cScns) {
    if (!scn.merged()) continue;
    const uint64_t size = scn.type == Coff::udata && scn.sized ? scn.size : 0;
    header(name, &scn, scn.type, scn.abs, scn.share, scn.access, size);
    if (scn.type != Coff::idata) continue;
    header(images[image], ctx.findScn(images[image]), Coff::romdata, false, false, false);
    ++image;
  }
  header(ctx.cInitTableName, nullptr, Coff::romdata, false, false, false);
  if (ctx.cConfig.cStackDeclared) header(ctx.cStackScnName, nullptr, Coff::udata, false, false, false, ctx.cConfig.cStackDesc.getSize());
  ctx.cOutput.cScnHdr.mergeIn(std::move(headers), [](scnhdr& kept, scnhdr&& incoming) { kept = incoming; });
  return true;
}

bool buildOutputHdrs(LinkContext& ctx, std::string& /*error*/) {
  filehdr& f = ctx.cOutput.cFileHdr;
  f.f_magic = ctx.cCoff.empty() ? COFF_MAGIC : ctx.cCoff.front()->cFileHdr.f_magic;
  f.f_opthdr = OPTHDR_SIZE;
  f.f_flags = ctx.cConfig.cStrip ? static_cast<uint16_t>(F_EXEC | F_LNNO | F_LSYMS) : F_EXEC;
  opthdr& o = ctx.cOutput.cOptHdr;
  if (!ctx.cCoff.empty()) {
    o.magic = ctx.cCoff.front()->cOptHdr.magic;
    o.vstamp = ctx.cCoff.front()->cOptHdr.vstamp;
  }
  o.proc_type = getDvsProcType(ctx.cProcType) & 0xFFFFu;
  o.rom_width_bits = ctx.cRomWidthBits;
  o.ram_width_bits = ctx.cRamWidthBits;
  ctx.cOutput.cFileName = ctx.cConfig.cOutputFile;
  return true;
}

void buildOutputHole(LinkContext& ctx, const std::string& memory, uint64_t start, uint64_t end,
                     const std::string& fill) {
  if (!ctx.cFillError.empty()) return;
  if (ctx.cOutput.cScnNum.size() >= LinkContext::kMaxSections) {
    ctx.cFillError = tooManySections();
    return;
  }
  // No device has more than a few megabytes of program memory: a hole far
  // beyond that comes from a memory declared larger than any device, and
  // filling it would allocate and write gigabytes.
  constexpr uint64_t kMaxFillBytes = 16ul << 20;
  const uint64_t n = (end - start + 1) * static_cast<uint64_t>(bytesPerLocation(ctx, rom));
  if (n > kMaxFillBytes) {
    ctx.cFillError = "Fill of memory '" + memory + "' from " + hexPrint(start, 4) + " to " + hexPrint(end, 4) +
                 " needs " + std::to_string(n) + " bytes; a fill is limited to 16 MiB.";
    return;
  }
  // An input may already use the name the count gives; the next count does not.
  std::string name;
  do {
    ++ctx.cFillCount;
    name = ".fill_" + std::to_string(ctx.cFillCount);
  } while (ctx.cOutput.cScnHdr.count(name) != 0);
  // From the hundredth fill on the name no longer fits the header's own
  // field. The table's index gives its offset: a search of the table per
  // fill would make many fills cost the square of their number.
  uint32_t offset = 0;
  if (name.size() > 8) {
    auto known = ctx.cOutputStrTbl.find(name);
    if (known == ctx.cOutputStrTbl.end()) {
      offset = ctx.cOutput.cStrTbl.add(name);
      ctx.cOutputStrTbl.emplace(*ctx.cOutput.cStrTbl.at(offset), static_cast<int>(offset));
    } else {
      offset = static_cast<uint32_t>(known->second);
    }
  }
  ctx.cOutput.cScnNum[static_cast<int>(ctx.cOutput.cScnNum.size()) + 1] = name;

  if (Debug("Linker::buildOutputHole"))
    std::cout << "Linker::buildOutputHole() - start=" << hexPrint(start, 4) << ", end=" << hexPrint(end, 4)
              << ", fill=" << hexPrint(str2ul(fill), 4) << '\n';

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
    uint64_t pos = 0;
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
    uint64_t pos = 0;
    for (; pos + 2 <= n; pos += 2) {
      bytes[pos] = static_cast<char>(v & 0xFF);
      bytes[pos + 1] = static_cast<char>(v >> 8);
    }
    if (pos < n) {
      bytes[pos] = static_cast<char>(v & 0xFF);
      truncated = true;
    }
  }
  // A pattern wider than the instruction word has had its own warning, and
  // this one would only mislead.
  if (truncated && !fillTooWide(ctx, fill))
    Error::report(Error::warning, "Linker::BuildOutputHole()",
                  "Fill pattern for memory '" + memory +
                      "' doesn't divide evenly into\n          unused program locations.  Last value was truncated.",
                  false);
  ctx.cOutput.cRawData[name] = std::move(data);

  scnhdr h{};
  if (offset != 0)
    setStringOffset(h, offset);
  else
    Coff::setName(h, ctx.cOutput.cStrTbl, name);
  h.s_paddr = static_cast<uint32_t>(start);
  h.s_vaddr = 0;
  Coff::setScnFlags(h, Coff::code, false, false, false);
  ctx.cOutput.cScnHdr[name] = h;
}

namespace {

// Handed to Memory::fillHoles with the linker as context.
void fillCB(void* linker, const std::string& memory, uint64_t start, uint64_t end,
            const std::string& fill) {
  buildOutputHole(*static_cast<LinkContext*>(linker), memory, start, end, fill);
}

}  // namespace

void buildOutputHoles(LinkContext& ctx) {
  for (const Memory& m : ctx.cConfig.cCodePage) m.fillHoles(fillCB, &ctx);
}

namespace {

enum class Written { ok, corrupt, failed };

// Lays the executable out, checks it and writes it into `file`'s
// temporary; corrupt when the check fails (nothing written), failed with
// the message reported.
Written layOutAndWrite(LinkContext& ctx, CoffWriter& writer, AtomicFile& file) {
  writer.preWrite(outputTimeStamp());
  if (!writer.verify()) return Written::corrupt;
  if (!file.open()) {
    Error::report(Error::error, "Coff::write()",
                  file.withReason("Could not open Coff file '" + ctx.cConfig.cOutputFile + "' for writing."), false);
    return Written::failed;
  }
  return writer.write(file.file(), 0) ? Written::ok : Written::failed;
}

// Writes the extra outputs and puts every output in place, the executable,
// the map and the JSON map and its page (when given) first.
bool commitOutputs(LinkContext& ctx, AtomicFile& executable, MapFile::Pending* map, MapViewFiles* views) {
  auto report = [](const std::string& message) { Error::report(Error::error, "Linker::writeOutputs()", message, false); };
  std::vector<AtomicFile*> files{&executable};
  std::vector<std::string> failures{"Could not write Coff file '" + ctx.cConfig.cOutputFile + "'."};
  if (map != nullptr) {
    files.push_back(&map->file());
    failures.push_back(map->writeFailure());
  }
  if (views != nullptr) {
    for (AtomicFile* file : views->files()) files.push_back(file);
    for (std::string& failure : views->writeFailures()) failures.push_back(std::move(failure));
  }
  std::vector<std::unique_ptr<AtomicFile>> extras;
  for (const Config::ExtraOutput& extra : ctx.cConfig.cExtraOutputs) {
    AtomicFile& file = *extras.emplace_back(std::make_unique<AtomicFile>(hostPath(extra.name)));
    files.push_back(&file);
    failures.push_back("Could not write " + extra.kind + " '" + extra.name + "'.");
    if (!file.open() || !extra.write(file)) {
      report(file.withReason(failures.back()));
      return false;
    }
  }
  if (AtomicFile::commitAll(files)) return true;
  // The first that failed in the order they would have been written one
  // after the other; none was put in place.
  for (size_t i = 0; i < files.size(); ++i)
    if (files[i]->failedStep() != AtomicFile::Step::none) {
      report(files[i]->withReason(failures[i]));
      break;
    }
  return false;
}

}  // namespace

bool writeOutputs(LinkContext& ctx, std::string& error, MapSymbols* mapSymbols) {
  ctx.cOutput.cFileName = ctx.cConfig.cOutputFile;
  CoffWriter writer(ctx.cOutput);
  // Written beside its target and moved over it only with the others, so a
  // failed or interrupted link never leaves a truncated executable, nor a
  // new one beside an old map that make would take as up to date.
  AtomicFile executable(hostPath(ctx.cConfig.cOutputFile));
  Written written = Written::failed;
  std::optional<MapFile::Pending> map;
  // The JSON map and its page read what the map reads, and more of the link
  // beside it; they are made beside the executable, after it when the two
  // are made one after the other.
  std::optional<MapViewFiles> views;
  if (ctx.cMapView) views.emplace(ctx.cConfig.cMapJsonFile, ctx.cConfig.cMapHtmlFile);
  std::optional<MapSymbols> gathered;
  if (mapSymbols == nullptr && (ctx.cMapView || !ctx.cConfig.cMapFile.empty())) mapSymbols = &gathered.emplace(ctx.cOutput, ctx.cSymBase);
  // Sorted before the two maps may read it side by side.
  if (!ctx.cConfig.cMapFile.empty()) mapSymbols->sort();
  auto listViews = [&] {
    gatherMapView(ctx, *ctx.cMapView, *mapSymbols);
    views->open();
    views->write(*ctx.cMapView);
  };
  if (ctx.cConfig.cMapFile.empty() && !views) {
    written = layOutAndWrite(ctx, writer, executable);
  } else if (ctx.cConfig.cMapFile.empty()) {
    writer.settleSizes();
    Beside writing([&] { written = layOutAndWrite(ctx, writer, executable); });
    if (writing.started() || written == Written::ok) listViews();
    writing.join();
  } else {
    // The map lists the names, sizes, addresses and symbols of the
    // executable, which laying it out (once the sizes are settled),
    // checking and writing it leave as they are: all three happen beside
    // the listing, and the map's failure is reported only after the
    // executable's, as when the two are made one after the other. The
    // listing, which allocates, stays on this thread, whose freed memory it
    // reuses.
    writer.settleSizes();
    map.emplace(ctx.cConfig.cMapFile, hostPath(ctx.cConfig.cMapFile));
    Beside writing([&] {
      written = layOutAndWrite(ctx, writer, executable);
      if (views && written == Written::ok) listViews();
    });
    // One after the other, a map follows only an executable written.
    if (writing.started() || written == Written::ok) {
      map->open();
      map->list(ctx.cOutput, ctx.calcProgMemSize(), mapSymbols);
    }
    writing.join();
  }
  if (written == Written::corrupt) error = "Internal Coff output file is corrupt.";
  if (written != Written::ok || (map && !map->ready()) || (views && !views->ready())) return false;
  return commitOutputs(ctx, executable, map ? &*map : nullptr, views ? &*views : nullptr);
}

}  // namespace tarsil
