// SPDX-License-Identifier: Apache-2.0
#include <climits>
#include <istream>
#include <initializer_list>
#include <map>
#include <sstream>

#include "driver/Parser.h"
#include "support/Error.h"
#include "support/FileInfo.h"
#include "support/InputFile.h"
#include "support/Platform.h"
#include "support/Strings.h"

namespace tarsil {

namespace {

// The line buffer of the command-file language holds 1023 characters.
constexpr size_t kMaxLineLength = 1023;

std::string place(const std::string& file, int line) { return "'" + file + ":" + std::to_string(line) + "'"; }

enum class LineRead { ok, end, tooLong };

// Reads one line without its line break (LF or CR LF). A line longer than the
// buffer is refused before it is stored, so a file without line breaks cannot
// make the parser hold all of it.
LineRead readLine(std::istream& in, std::string& line) {
  line.clear();
  std::streambuf* buf = in.rdbuf();
  int c = buf->sbumpc();
  if (c == std::char_traits<char>::eof()) return LineRead::end;
  for (; c != std::char_traits<char>::eof() && c != '\n'; c = buf->sbumpc()) {
    if (line.size() > kMaxLineLength) return LineRead::tooLong;
    line += static_cast<char>(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line.size() > kMaxLineLength ? LineRead::tooLong : LineRead::ok;
}

// Numbers are 32-bit addresses and sizes; larger values saturate, as the
// conversion itself does on overflow. A value with anything but digits after
// its prefix is refused with the directive's `message`: read as far as it
// goes, "END=0x7FO" would silently end the memory at 0x7F.
uint32_t number(const std::string& text, const std::string& message) {
  if (!isNumber(text)) Parser::usage(message);
  uint64_t value = str2ul(text);
  return value > 0xFFFFFFFFUL ? 0xFFFFFFFFU : static_cast<uint32_t>(value);
}

// The KEY=value words that follow a directive up to the end of its line.
// `keys` lists the keys the directive knows; PROTECTED, the one word without
// a value, is accepted only where `allowProtected` says so.
struct Attributes {
  std::map<std::string, std::string> values;
  bool isProtected = false;

  bool has(const char* key) const { return values.count(key) != 0; }
  const std::string& get(const char* key) const { return values.at(key); }
};

Attributes readAttributes(std::istream& in, std::initializer_list<const char*> keys, bool allowProtected,
                          const std::string& message) {
  Attributes attrs;
  std::string word;
  while (in >> word) {
    size_t eq = word.find('=');
    if (eq == std::string::npos) {
      if (!allowProtected || word != "PROTECTED" || attrs.isProtected) Parser::usage(message);
      attrs.isProtected = true;
      continue;
    }
    if (eq + 1 == word.size()) Parser::usage(message);
    std::string key = word.substr(0, eq);
    bool known = false;
    for (const char* k : keys) known = known || key == k;
    if (!known || !attrs.values.emplace(key, word.substr(eq + 1)).second) Parser::usage(message);
  }
  return attrs;
}

// Reads the ';'-separated list that follows LIBPATH or LKRPATH.
std::list<std::string> readPathList(std::istream& in, const std::string& message) {
  std::string token;
  if (!extractToken(in, token)) Parser::usage(message);
  std::list<std::string> dirs = split(token, ';');
  if (dirs.empty()) Parser::usage(message);
  for (const std::string& dir : dirs)
    if (dir.empty()) Parser::usage(message);
  return dirs;
}

// Reads the names that follow FILES or INCLUDE up to the end of the line;
// at least one is required and an empty or unterminated quoted name is not a
// name.
std::vector<std::string> readNames(std::istream& in, const std::string& message) {
  std::vector<std::string> names;
  for (;;) {
    in >> std::ws;
    if (in.peek() == std::char_traits<char>::eof()) break;
    std::string token;
    if (!extractToken(in, token)) Parser::usage(message);
    names.push_back(token);
  }
  if (names.empty()) Parser::usage(message);
  return names;
}

}  // namespace

std::string Parser::padFill(const std::string& fill) {
  std::string text = fill;
  if (text.size() > 2 && (text[1] == 'x' || text[1] == 'X')) {
    while ((text.size() - 2) % 4 != 0) text = "0x0" + text.substr(2);
  }
  return text;
}

void Parser::eatComments(std::string& line) {
  size_t comment = line.find("//");
  if (comment != std::string::npos) line.erase(comment);
}

Memory Parser::parseMemory(std::istream& in, const std::string& keyword, const std::string& file, int line,
                           MemType type) {
  std::string message = "Invalid attributes for " + keyword + " in " + place(file, line);
  Attributes attrs = keyword == "CODEPAGE" ? readAttributes(in, {"NAME", "START", "END", "FILL"}, true, message)
                                           : readAttributes(in, {"NAME", "START", "END"}, true, message);
  if (!attrs.has("NAME") || !attrs.has("START") || !attrs.has("END")) usage(message);

  // The fill stage reads only what it can convert: a stray character would
  // fill memory with another pattern than the one written.
  if (attrs.has("FILL") && !isNumber(attrs.get("FILL")))
    usage("Illegal FILL value '" + attrs.get("FILL") + "' for " + keyword + " in " + place(file, line));

  const std::string& name = attrs.get("NAME");
  uint32_t start = number(attrs.get("START"), message);
  uint32_t end = number(attrs.get("END"), message);
  if (end < start) {
    Error::report(Error::error, "Parser::parseMemory()", "region '" + name + "' starting location > ending location",
                  true);
  }
  bool hasFill = attrs.has("FILL");
  return Memory(name, start, end, type, attrs.isProtected, hasFill, hasFill ? padFill(attrs.get("FILL")) : "");
}

StackDesc Parser::parseStack(std::istream& in, const std::string& file, int line) {
  std::string message = "Invalid attributes for STACK in " + place(file, line);
  Attributes attrs = readAttributes(in, {"SIZE", "RAM"}, false, message);
  if (!attrs.has("SIZE")) usage(message);
  return StackDesc(number(attrs.get("SIZE"), message), attrs.has("RAM") ? attrs.get("RAM") : "");
}

uint64_t Parser::parseHeap(std::istream& in, const std::string& file, int line) {
  std::string message = "Invalid attributes for HEAP in " + place(file, line);
  Attributes attrs = readAttributes(in, {"MINSIZE"}, false, message);
  if (!attrs.has("MINSIZE")) usage(message);
  return number(attrs.get("MINSIZE"), message);
}

SectionDesc Parser::parseSection(std::istream& in, const std::string& file, int line) {
  std::string message = "Invalid attributes for SECTION in " + place(file, line);
  Attributes attrs = readAttributes(in, {"NAME", "ROM", "RAM"}, false, message);
  if (!attrs.has("NAME") || (!attrs.has("ROM") && !attrs.has("RAM"))) usage(message);
  return SectionDesc(attrs.get("NAME"), attrs.has("ROM") ? attrs.get("ROM") : "",
                     attrs.has("RAM") ? attrs.get("RAM") : "");
}

std::string Parser::findCmdFile(const std::string& name) const {
  // A name with a directory part is taken only where it points; the search
  // list serves bare names alone.
  if (name.find_first_of("\\/") != std::string::npos) {
    return platform::fileStatus(hostPath(name)).kind != platform::Kind::missing ? name : std::string();
  }
  std::vector<std::string> dirs{"."};
  dirs.insert(dirs.end(), cCmdFileDirs.begin(), cCmdFileDirs.end());
  for (const std::string& dir : dirs) {
    std::string candidate = dir;
    if (!dir.empty() && dir.back() != '/') candidate += '/';
    candidate += name;
    if (FileInfo(candidate).fileExists()) return candidate;
  }
  return std::string();
}

void Parser::parseCmdFile(const std::string& name, ParserClient& client) {
  std::string resolved = findCmdFile(name);
  if (resolved.empty()) usage("Could not find linker command file '" + name + "'.");

  std::string openName = hostPath(resolved);
  InputFile file;
  if (!file.open(openName)) usage("Could not open '" + name + "'");
  InputFileBuf buffer(file);
  std::istream in(&buffer);

  if (!cCmdFilesSeen.insert(resolved).second) usage("Multliple inclusion of linker command file '" + name + "' ");
  cCmdFilesRead.push_back(resolved);

  readCmdFile(in, resolved, client);
}

void Parser::readCmdFile(std::istream& in, const std::string& file, ParserClient& client) {
  std::string text;
  std::string error;
  // One stream for every line: making a stream costs more than most lines.
  std::istringstream words;
  int line = 0;
  for (;;) {
    LineRead result = readLine(in, text);
    if (result == LineRead::end) return;
    if (line == INT_MAX) usage("Too many lines in linker command file '" + file + "'");
    ++line;
    if (result == LineRead::tooLong)
      usage("Line longer than " + std::to_string(kMaxLineLength) + " characters in " + place(file, line));

    eatComments(text);
    text += ' ';
    words.clear();
    words.str(text);
    std::string keyword;
    while (words >> keyword) {
      if (keyword == "LIBPATH") {
        for (const std::string& dir : readPathList(words, "Illegal <libpath> for LIBPATH in " + place(file, line)))
          if (!client.AddLibPath(dir, error)) usage(error);
      } else if (keyword == "LKRPATH") {
        for (const std::string& dir : readPathList(words, "Illegal <lkrpath> for LKRPATH in " + place(file, line)))
          cCmdFileDirs.push_back(dir);
      } else if (keyword == "FILES") {
        std::string message = "Illegal <filename> for FILES in " + place(file, line);
        for (const std::string& name : readNames(words, message)) {
          bool ok = true;
          if (isObjectFile(name)) ok = client.AddObjectFile(name, error);
          else if (isLibraryFile(name)) ok = client.AddLibraryFile(name, error);
          else usage(message);
          if (!ok) usage(error);
        }
      } else if (keyword == "INCLUDE") {
        std::string message = "Illegal <filename> for INCLUDE in " + place(file, line);
        for (const std::string& name : readNames(words, message)) {
          if (!isCmdFile(name)) usage(message);
          // Each level keeps its file open and a frame on the stack.
          if (cIncludeDepth >= kMaxIncludeDepth)
            usage("INCLUDE nested more than " + std::to_string(kMaxIncludeDepth) + " levels deep in " +
                  place(file, line));
          ++cIncludeDepth;
          parseCmdFile(name, client);
          --cIncludeDepth;
        }
      } else if (keyword == "CODEPAGE") {
        if (!client.AddCodePage(parseMemory(words, keyword, file, line, rom), error)) usage(error);
      } else if (keyword == "DATABANK") {
        if (!client.AddDataBank(parseMemory(words, keyword, file, line, ram), error)) usage(error);
      } else if (keyword == "SHAREBANK") {
        if (!client.AddShareBank(parseMemory(words, keyword, file, line, ram), error)) usage(error);
      } else if (keyword == "ACCESSBANK") {
        if (!client.AddAccessBank(parseMemory(words, keyword, file, line, ram), error)) usage(error);
      } else if (keyword == "SECTION") {
        if (!client.AddSectionDesc(parseSection(words, file, line), error)) usage(error);
      } else if (keyword == "STACK") {
        if (!client.AddStackDesc(parseStack(words, file, line), error)) usage(error);
      } else if (keyword == "HEAP") {
        if (!client.AddMinHeapSize(parseHeap(words, file, line), error)) usage(error);
      } else {
        usage("Unrecognized input in '" + file + ":" + std::to_string(line) + "': " + keyword);
      }
    }
  }
}

}  // namespace tarsil
