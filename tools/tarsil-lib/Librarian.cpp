// SPDX-License-Identifier: Apache-2.0
#include "Librarian.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "CoffNames.h"
#include "coff/Archive.h"
#include "coff/Coff.h"
#include "device/Processor.h"
#include "support/AtomicFile.h"
#include "support/Error.h"
#include "support/FileIdentity.h"
#include "support/InputFile.h"
#include "support/Platform.h"
#include "support/TimeStamp.h"

namespace tarsil::lib {

namespace {

using tools::printable;
using Members = std::vector<std::unique_ptr<Coff>>;

void error(const std::string& message) { Error::report(Error::error, "tarsil-lib", message, false); }
void warning(const std::string& message) { Error::report(Error::warning, "tarsil-lib", message, false); }

// The member a file becomes: its name without the directory, which the
// linker's tools end at '\' as well as at '/'.
std::string memberName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

enum class Kind { missing, regular, other };

// Links are followed: a link to an object is that object.
Kind kindOf(const std::string& path) {
  switch (platform::fileStatus(path).kind) {
    case platform::Kind::missing: return Kind::missing;
    case platform::Kind::regular: return Kind::regular;
    default: return Kind::other;
  }
}

// Only regular files are read: a pipe or a device would block or never end.
bool readable(const std::string& path) {
  if (kindOf(path) != Kind::other) return true;
  error("File '" + path + "' is not a regular file.");
  return false;
}

std::unique_ptr<Coff> readObject(const std::string& path) {
  if (!readable(path)) return nullptr;
  const int before = Error::errors();
  auto coff = Coff::makeVerified(path);
  // The reader goes on after some complaints (an object of the older layout,
  // which names no processor); a library keeps nothing it complained of.
  if (!coff || Error::errors() != before) return nullptr;
  if (isExecutable(coff->cFileHdr)) {
    error("Coff file '" + path + "' is an executable, not a relocatable object.");
    return nullptr;
  }
  if (!isDvsProcTypeSupported(coff->cOptHdr.proc_type)) {
    error("Unsupported processor type in file '" + path + "'");
    return nullptr;
  }
  coff->cFileName = memberName(path);
  return coff;
}

// The reader reports a name that two members define as an error, yet such a
// library must still be opened (to delete the second member, for one). It is
// read silently, and read again aloud only when that fails, so that a failure
// shows the reader's own message; what the librarian writes is checked by
// warnAboutMembers instead.
std::unique_ptr<Archive> readLibrary(const std::string& path) {
  if (!readable(path)) return nullptr;
  const bool quiet = Error::isQuiet();
  Error::quiet(true);
  auto archive = Archive::make(path);
  Error::quiet(quiet);
  if (!archive) archive = Archive::make(path);
  return archive;
}

// Every object of the command line, read and checked, each under its member
// name; nothing when any of them is refused (each refusal reported).
std::optional<Members> readObjects(const Request& request) {
  Members objects;
  FileSet inputs;
  std::unordered_map<std::string, std::string> pathOf;
  bool ok = true;
  for (const std::string& path : request.files) {
    auto coff = readObject(path);
    if (!coff) {
      ok = false;
      continue;
    }
    const std::string& name = coff->cFileName;
    if (auto why = unsafeMemberName(name)) {
      error("Object '" + path + "' cannot be a member: " + *why + ".");
      ok = false;
      continue;
    }
    auto [first, fresh] = pathOf.emplace(name, path);
    if (!fresh) {
      error("Objects '" + first->second + "' and '" + path + "' would both be member '" + name + "'.");
      ok = false;
      continue;
    }
    inputs.add(path);
    objects.push_back(std::move(coff));
  }
  const std::string clash = outputClash({{"library file", request.library}}, inputs);
  if (!clash.empty()) {
    error(clash + ".");
    ok = false;
  }
  if (!ok) return std::nullopt;
  return objects;
}

// The external names a member defines, in its symbol table's order, found
// as the linker's index finds them: stepping over each symbol's auxiliary
// slots.
std::vector<std::string_view> definedNames(const Coff& member) {
  std::vector<std::string_view> names;
  const std::vector<syment>& table = member.cSymTbl;
  for (size_t i = 0; i < table.size(); i += size_t{table[i].n_numaux} + 1) {
    if (!Coff::isExtDefinition(table[i])) continue;
    if (auto name = Coff::nameView(table[i], member.cStrTbl)) names.push_back(*name);
  }
  return names;
}

struct Definition {
  std::string_view name;
  size_t member;
};

// Every external definition in the order the linker looks names up (byte-wise
// ascending), the definers of one name in member order: the first of them is
// the one the linker takes.
std::vector<Definition> definitions(const Members& members) {
  std::vector<Definition> all;
  for (size_t m = 0; m < members.size(); ++m)
    for (std::string_view name : definedNames(*members[m])) all.push_back({name, m});
  std::stable_sort(all.begin(), all.end(), [](const Definition& a, const Definition& b) { return a.name < b.name; });
  return all;
}

uint32_t deviceCode(const Coff& coff) { return coff.cOptHdr.proc_type & 0xFFFF; }
bool isGeneric(const Coff& coff) { return (coff.cFileHdr.f_flags & F_GENERIC) != 0; }

std::string processorText(const Coff& coff) {
  const int procType = convertDvsProcType(deviceCode(coff));
  if (isGeneric(coff)) return std::string("generic ") + getInstSetName(getInstSet(procType));
  return std::string(findDvsProcName(deviceCode(coff)));
}

// What would make the linker refuse or surprise: members that one link
// cannot take together (its processor rule), and names defined twice.
void warnAboutMembers(const Members& members) {
  const Coff* settler = nullptr;
  for (const auto& member : members) {
    if (!isDvsProcTypeSupported(deviceCode(*member))) continue;
    if (!settler) settler = member.get();
    if (!isGeneric(*member)) {
      settler = member.get();
      break;
    }
  }
  for (const auto& member : members) {
    if (!isDvsProcTypeSupported(deviceCode(*member))) {
      warning("Unsupported processor type in member '" + printable(member->cFileName) + "'");
      continue;
    }
    const int procType = convertDvsProcType(deviceCode(*member));
    const int settled = convertDvsProcType(deviceCode(*settler));
    const bool agrees = isGeneric(*member) ? getInstSet(procType) == getInstSet(settled) : procType == settled;
    if (!agrees)
      warning("processor types of members '" + printable(settler->cFileName) + "' (" + processorText(*settler) +
              ") and '" + printable(member->cFileName) + "' (" + processorText(*member) +
              ") do not agree; one link cannot take both.");
  }

  const std::vector<Definition> all = definitions(members);
  for (size_t i = 1, first = 0; i < all.size(); ++i) {
    if (all[i].name != all[first].name) {
      first = i;
      continue;
    }
    const std::string taken = printable(members[all[first].member]->cFileName);
    warning("Symbol '" + printable(std::string(all[i].name)) + "' is defined by members '" + taken + "' and '" +
            printable(members[all[i].member]->cFileName) + "'; the linker will take '" + taken + "'.");
  }
}

// Written beside the target and closed, ready to be renamed into place;
// `role` names the file in the message when that fails.
bool prepareFile(AtomicFile& file, const std::string& role, const std::vector<uint8_t>& bytes) {
  if (!file.open()) {
    error("Could not open " + role + " '" + file.target() + "' for writing: " + file.reason() + ".");
    return false;
  }
  if (!file.write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())) || !file.close()) {
    error("Could not write " + role + " '" + file.target() + "': " + file.reason() + ".");
    return false;
  }
  return true;
}

// Puts prepared files in place together: all of them or, after a failure,
// none.
bool commitFiles(const std::vector<AtomicFile*>& files, const std::string& role) {
  if (AtomicFile::commitAll(files)) return true;
  for (const AtomicFile* file : files)
    if (file->failedStep() != AtomicFile::Step::none)
      error("Could not write " + role + " '" + file->target() + "': " + file->reason() + ".");
  return false;
}

bool writeFile(const std::string& target, const std::string& role, const std::vector<uint8_t>& bytes) {
  AtomicFile file(target);
  return prepareFile(file, role, bytes) && commitFiles({&file}, role);
}

// The date every member gets, when the run asks for one (run() has refused
// a SOURCE_DATE_EPOCH that is set but not valid).
std::optional<uint32_t> fixedDate(bool deterministic) {
  if (deterministic) return 0;
  const SourceDate date = sourceDateEpoch();
  if (date.valid) return date.seconds;
  return std::nullopt;
}

// A member's date is its object's time stamp (the writer ties the two), so a
// fixed date is given to both and the library repeats byte for byte.
bool writeLibrary(const Request& request, Members members) {
  if (auto date = fixedDate(request.deterministic))
    for (auto& member : members) member->cFileHdr.f_timdat = *date;
  warnAboutMembers(members);
  Archive archive;
  archive.cFileName = request.library;
  archive.cMembers = std::move(members);
  return writeFile(request.library, "library file", archive.image());
}

void say(const Request& request, const std::vector<std::string>& lines) {
  if (!request.verbose) return;
  for (const std::string& line : lines) std::cout << line << '\n';
}

// c replaces a library, never some other file named in its place by mistake
// ("c main.o util.o"). An empty file is taken for a library yet unwritten.
bool replaceable(const std::string& path) {
  const Kind kind = kindOf(path);
  if (kind == Kind::missing) return true;
  if (!readable(path)) return false;
  InputBytes bytes;
  const bool opened = bytes.open(path);
  const uint8_t* magic = opened ? bytes.view(0, SARMAG) : nullptr;
  if (opened && (bytes.size() == 0 || (magic != nullptr && std::equal(magic, magic + SARMAG, ARMAG)))) return true;
  error("File '" + path + "' is not a valid library file.");
  return false;
}

int create(const Request& request) {
  auto objects = readObjects(request);
  if (!objects || !replaceable(request.library)) return 1;
  std::vector<std::string> done;
  for (const auto& object : *objects) done.push_back("a - " + object->cFileName);
  if (!writeLibrary(request, std::move(*objects))) return 1;
  say(request, done);
  return 0;
}

// Whether the file at `path` was changed after `member`'s date (a member is
// dated with its object's time stamp, or the run's fixed date). A file whose
// time cannot be read counts as changed.
bool changedSince(const std::string& path, const Coff& member) {
  const platform::FileStatus status = platform::fileStatus(path);
  return status.kind == platform::Kind::missing || status.modified > static_cast<int64_t>(member.cFileHdr.f_timdat);
}

int replace(const Request& request) {
  auto objects = readObjects(request);
  if (!objects) return 1;
  Members members;
  const bool existed = kindOf(request.library) != Kind::missing;
  if (existed) {
    auto archive = readLibrary(request.library);
    if (!archive) return 1;
    members = std::move(archive->cMembers);
  }
  // A library from elsewhere may repeat a name: its first member is replaced.
  std::unordered_map<std::string, size_t> firstOf;
  for (size_t i = 0; i < members.size(); ++i) firstOf.emplace(members[i]->cFileName, i);
  std::vector<std::string> done;
  for (size_t k = 0; k < objects->size(); ++k) {
    auto& object = (*objects)[k];
    auto at = firstOf.find(object->cFileName);
    if (at != firstOf.end() && request.newer && !changedSince(request.files[k], *members[at->second])) continue;
    if (at != firstOf.end()) {
      done.push_back("r - " + object->cFileName);
      members[at->second] = std::move(object);
    } else {
      done.push_back("a - " + object->cFileName);
      members.push_back(std::move(object));
    }
  }
  // With u and every member up to date, the library stays as it is.
  if (request.newer && existed && done.empty()) return 0;
  if (!writeLibrary(request, std::move(members))) return 1;
  say(request, done);
  return 0;
}

int remove(const Request& request) {
  auto archive = readLibrary(request.library);
  if (!archive) return 1;
  Members& members = archive->cMembers;
  // Each name removes the first member of that name still there.
  std::unordered_map<std::string, std::vector<size_t>> left;
  for (size_t i = members.size(); i-- > 0;) left[members[i]->cFileName].push_back(i);
  std::vector<bool> gone(members.size(), false);
  bool ok = true;
  for (const std::string& given : request.files) {
    const std::string name = memberName(given);
    auto at = left.find(name);
    if (at == left.end() || at->second.empty()) {
      error("No member '" + name + "' in library file '" + request.library + "'.");
      ok = false;
      continue;
    }
    gone[at->second.back()] = true;
    at->second.pop_back();
  }
  if (!ok) return 1;
  if (request.files.empty()) return 0;
  Members kept;
  std::vector<std::string> done;
  for (size_t i = 0; i < members.size(); ++i) {
    if (gone[i]) done.push_back("d - " + printable(members[i]->cFileName));
    else kept.push_back(std::move(members[i]));
  }
  if (!writeLibrary(request, std::move(kept))) return 1;
  say(request, done);
  return 0;
}

std::string utcDate(uint32_t seconds) {
  std::tm parts{};
  if (!platform::utcTime(seconds, parts)) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

int list(const Request& request) {
  auto archive = readLibrary(request.library);
  if (!archive) return 1;
  for (const auto& member : archive->cMembers) {
    std::cout << printable(member->cFileName);
    if (request.verbose) {
      std::cout << "  " << member->size() << " bytes  " << utcDate(member->cFileHdr.f_timdat) << " UTC";
      for (std::string_view name : definedNames(*member)) std::cout << "\n  " << printable(std::string(name));
    }
    std::cout << '\n';
  }
  return 0;
}

int symbols(const Request& request) {
  auto archive = readLibrary(request.library);
  if (!archive) return 1;
  const Members& members = archive->cMembers;
  const std::vector<Definition> all = definitions(members);
  for (size_t i = 0, first = 0; i < all.size(); ++i) {
    if (all[i].name != all[first].name) first = i;
    std::cout << "'" << printable(std::string(all[i].name)) << "' in '" << printable(members[all[i].member]->cFileName)
              << "'";
    if (i != first) std::cout << " (duplicate: the linker takes '" << printable(members[all[first].member]->cFileName) << "')";
    std::cout << '\n';
  }
  return 0;
}

// The members the request names, in the order named, or every member in
// library order when it names none; of members that share a name, the
// first. `ok` turns false when a name is no member's.
std::vector<size_t> chooseMembers(const Request& request, const Members& members, const char* done, bool& ok) {
  std::unordered_map<std::string, size_t> firstOf;
  std::vector<size_t> chosen;
  for (size_t i = 0; i < members.size(); ++i) {
    if (firstOf.emplace(members[i]->cFileName, i).second) {
      if (request.files.empty()) chosen.push_back(i);
    } else if (request.files.empty()) {
      warning("Library file '" + request.library + "' holds member '" + printable(members[i]->cFileName) +
              "' more than once; only the first is " + done + ".");
    }
  }
  std::unordered_set<size_t> named;
  for (const std::string& given : request.files) {
    const std::string name = memberName(given);
    auto at = firstOf.find(name);
    if (at == firstOf.end()) {
      error("No member '" + name + "' in library file '" + request.library + "'.");
      ok = false;
    } else if (named.insert(at->second).second) {
      chosen.push_back(at->second);
    }
  }
  return chosen;
}

// The bytes x would write for each member, one after the other on standard
// output; with v each follows its name, as the usual archiver shows them.
int print(const Request& request) {
  auto archive = readLibrary(request.library);
  if (!archive) return 1;
  bool ok = true;
  const std::vector<size_t> chosen = chooseMembers(request, archive->cMembers, "printed", ok);
  if (!ok) return 1;
  std::fflush(stdout);
  for (size_t i : chosen) {
    Coff& member = *archive->cMembers[i];
    if (request.verbose) std::printf("\n<%s>\n\n", printable(member.cFileName).c_str());
    member.preWrite(member.cFileHdr.f_timdat);
    const std::vector<uint8_t> bytes = member.image();
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
      error("Could not write member '" + printable(member.cFileName) + "' to standard output.");
      return 1;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int extract(const Request& request) {
  if (request.directory && platform::fileStatus(*request.directory).kind != platform::Kind::directory) {
    error("Directory '" + *request.directory + "' does not exist.");
    return 1;
  }
  auto archive = readLibrary(request.library);
  if (!archive) return 1;
  const Members& members = archive->cMembers;
  bool ok = true;
  const std::vector<size_t> chosen = chooseMembers(request, members, "extracted", ok);

  // Every member is checked before the first is written: a refusal writes
  // nothing.
  std::vector<std::string> targets;
  for (size_t i : chosen) {
    const std::string& name = members[i]->cFileName;
    if (auto why = unsafeMemberName(name)) {
      error("Member '" + printable(name) + "' cannot be extracted: " + *why + ".");
      ok = false;
      continue;
    }
    const std::string target = request.directory ? *request.directory + "/" + name : name;
    targets.push_back(target);
    if (sameFile(target, request.library)) {
      error("Member '" + name + "' would replace the library file '" + request.library + "'.");
      ok = false;
    } else if (platform::fileStatus(target).kind == platform::Kind::directory) {
      error("File '" + target + "' is a directory.");
      ok = false;
    } else if (platform::entryExists(target) && !request.force) {
      error("File '" + target + "' exists; -f replaces it.");
      ok = false;
    }
  }
  if (!ok) return 1;

  // Every member is written beside its file before any file is replaced, so
  // that a failure half way (a full disk) leaves every file as it was.
  std::vector<std::unique_ptr<AtomicFile>> files;
  std::vector<AtomicFile*> ready;
  for (size_t k = 0; k < chosen.size(); ++k) {
    Coff& member = *members[chosen[k]];
    member.preWrite(member.cFileHdr.f_timdat);
    files.push_back(std::make_unique<AtomicFile>(targets[k]));
    if (!prepareFile(*files.back(), "file", member.image())) return 1;
    ready.push_back(files.back().get());
  }
  if (!commitFiles(ready, "file")) return 1;
  if (request.verbose)
    for (size_t i : chosen) std::cout << "x - " << members[i]->cFileName << '\n';
  return 0;
}

}  // namespace

std::optional<std::string> unsafeMemberName(const std::string& name) {
  if (name.empty()) return "it has no name";
  if (name.size() > 255) return "its name is longer than 255 characters";
  if (name == "." || name == "..") return "its name is a directory's";
  if (name.find_first_of("/\\") != std::string::npos) return "its name holds a directory";
  if (name.size() >= 2 && name[1] == ':' && ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
    return "its name starts with a drive";
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return "its name holds a control character";
  return std::nullopt;
}

int run(const Request& request) {
  // Only a library written without D takes its dates from the environment.
  const bool writes = request.op == Operation::create || request.op == Operation::replace ||
                      request.op == Operation::remove;
  if (writes && !request.deterministic) {
    const std::string problem = sourceDateProblem();
    if (!problem.empty()) {
      error(problem);
      return 1;
    }
  }
  // From the library's reading to its replacement, no other librarian
  // updates it: two runs adding members at once would each write the
  // library they read, and the first one's members would be lost.
  platform::UpdateLock lock;
  if (writes) {
    if (const int problem = lock.acquire(request.library)) {
      error("Could not lock library file '" + request.library + "' for updating: " + platform::errorText(problem) +
            ".");
      return 1;
    }
  }
  switch (request.op) {
    case Operation::create: return create(request);
    case Operation::replace: return replace(request);
    case Operation::remove: return remove(request);
    case Operation::list: return list(request);
    case Operation::extract: return extract(request);
    case Operation::print: return print(request);
    case Operation::symbols: return symbols(request);
    case Operation::none: break;
  }
  return 1;
}

}  // namespace tarsil::lib
