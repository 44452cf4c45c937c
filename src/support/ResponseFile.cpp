// SPDX-License-Identifier: Apache-2.0
#include "support/ResponseFile.h"

#include <cstdint>
#include <cstdio>

#include "support/FileIdentity.h"
#include "support/TextFile.h"

namespace tarsil {

namespace {

// splitResponseText, stopping with an empty `error` before `args` holds more
// than `most` arguments.
bool splitText(std::string_view text, std::vector<std::string>& args, std::string& error, size_t most) {
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  size_t i = 0;
  while (i < text.size()) {
    if (isSpace(text[i])) {
      ++i;
      continue;
    }
    std::string arg;
    bool quoted = false;
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
      if (!splitText(text, inner, problem, kMaxResponseArguments - made)) {
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

bool splitResponseText(std::string_view text, std::vector<std::string>& args, std::string& error) {
  return splitText(text, args, error, SIZE_MAX);
}

bool expandArguments(int argc, char** argv, const char* program, std::vector<std::string>& args) {
  args.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
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
