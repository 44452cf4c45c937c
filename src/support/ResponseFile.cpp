// SPDX-License-Identifier: Apache-2.0
#include "support/ResponseFile.h"

#include <cstdint>
#include <cstdio>

#include "support/FileIdentity.h"
#include "support/Platform.h"
#include "support/TextFile.h"

namespace tarsil {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// One argument from `i` on, quoted as a POSIX shell quotes: a backslash
// takes the next character as it is.
bool posixArgument(std::string_view text, size_t& i, std::string& arg, bool& quoted, std::string& error) {
  for (; i < text.size() && (quoted || !isSpace(text[i])); ++i) {
    char c = text[i];
    if (c == '\\') {
      if (++i == text.size()) {
        error = "ends in a backslash";
        return false;
      }
      arg += text[i];
    } else if (c == '"') {
      quoted = !quoted;
    } else {
      arg += c;
    }
  }
  return true;
}

// The same as Windows programs take their command lines, so that
// "C:\dir\x.o" keeps its separators: backslashes are only special before a
// double quote, where each pair stands for one and an odd one out makes the
// quote a character; inside quotes, a doubled quote is one quote.
void windowsArgument(std::string_view text, size_t& i, std::string& arg, bool& quoted) {
  while (i < text.size() && (quoted || !isSpace(text[i]))) {
    size_t slashes = 0;
    while (i < text.size() && text[i] == '\\') ++slashes, ++i;
    if (i < text.size() && text[i] == '"') {
      arg.append(slashes / 2, '\\');
      if (slashes % 2 == 1) {
        arg += '"';
      } else if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        arg += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
      ++i;
      continue;
    }
    arg.append(slashes, '\\');
    if (slashes == 0 && i < text.size()) arg += text[i++];
  }
}

// splitResponseText, stopping with an empty `error` before `args` holds more
// than `most` arguments.
bool splitText(std::string_view text, std::vector<std::string>& args, std::string& error, size_t most,
               Quoting quoting) {
  size_t i = 0;
  while (i < text.size()) {
    if (isSpace(text[i])) {
      ++i;
      continue;
    }
    std::string arg;
    bool quoted = false;
    if (quoting == Quoting::windows) windowsArgument(text, i, arg, quoted);
    else if (!posixArgument(text, i, arg, quoted, error)) return false;
    if (quoted) {
      error = "has a quote that is not closed";
      return false;
    }
    if (args.size() >= most) {
      error.clear();
      return false;
    }
    args.push_back(std::move(arg));
  }
  return true;
}

struct Expansion {
  const std::function<bool(const std::string&)>& literal;
  std::string& error;
  size_t budget = kMaxResponseBytes;
  // Arguments split from every file so far, whether still to be expanded or
  // already kept.
  size_t made = 0;
  // The files being expanded, outermost first: one of them met again is a
  // cycle, however it is named.
  std::vector<FileIdentity> open;
  // After "--", wherever it stood, every argument is a file name, one that
  // starts with '@' too.
  bool ended = false;

  bool isResponse(const std::string& arg) const { return !arg.empty() && arg[0] == '@' && !(literal && literal(arg)); }

  bool expand(const std::vector<std::string>& in, std::vector<std::string>& out) {
    for (const std::string& arg : in) {
      if (ended || !isResponse(arg)) {
        ended = ended || arg == "--";
        out.push_back(arg);
        continue;
      }
      std::string name = arg.substr(1);
      if (static_cast<int>(open.size()) == kMaxResponseDepth) {
        error = "Response files nested more than " + std::to_string(kMaxResponseDepth) + " levels deep at '" + name +
                "'";
        return false;
      }
      std::string text;
      FileIdentity id;
      TextFileRead read = readTextFile(name, budget, text, &id);
      if (read == TextFileRead::tooLarge) {
        error = "Response files hold more than " + std::to_string(kMaxResponseBytes >> 20) + " MiB in all at '" +
                name + "'";
        return false;
      }
      if (read != TextFileRead::ok) {
        error = textFileProblem(read, "response file", name, budget);
        return false;
      }
      for (const FileIdentity& outer : open)
        if (outer == id) {
          error = "Response file '" + name + "' includes itself";
          return false;
        }
      budget -= text.size();
      std::vector<std::string> inner;
      std::string problem;
      if (!splitText(text, inner, problem, kMaxResponseArguments - made, nativeQuoting())) {
        error = problem.empty() ? "Response files make more than " + std::to_string(kMaxResponseArguments) +
                                      " arguments in all at '" + name + "'"
                                : "Response file '" + name + "' " + problem;
        return false;
      }
      made += inner.size();
      open.push_back(id);
      if (!expand(inner, out)) return false;
      open.pop_back();
    }
    return true;
  }
};

}  // namespace

bool splitResponseText(std::string_view text, std::vector<std::string>& args, std::string& error, Quoting quoting) {
  return splitText(text, args, error, SIZE_MAX, quoting);
}

bool expandArguments(int argc, char** argv, const char* program, std::vector<std::string>& args) {
  args = platform::startProgram(argc, argv);
  if (!args.empty()) args.erase(args.begin());
  std::string error;
  if (expandResponseFiles(args, error)) return true;
  std::fprintf(stderr, "%s: %s\n", program, error.c_str());
  return false;
}

bool expandResponseFiles(std::vector<std::string>& args, std::string& error,
                         const std::function<bool(const std::string&)>& literal) {
  Expansion expansion{literal, error, kMaxResponseBytes, 0, {}, false};
  bool any = false;
  for (const std::string& arg : args) any = any || expansion.isResponse(arg);
  if (!any) return true;
  std::vector<std::string> out;
  if (!expansion.expand(args, out)) return false;
  args.swap(out);
  return true;
}

}  // namespace tarsil
