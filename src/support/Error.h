// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <sstream>
#include <string>
#include <vector>

namespace tarsil {

// The process-wide reporter: every message of the linker goes through here,
// and the process always ends through terminate().
class Error {
public:
  enum Type { error = 0, warning = 1 };

  // How messages are shown. classic: "Error - <text>" lines on standard
  // output, warnings only when verbose, and the summary at the end. gnu: for
  // build systems and editors, one line per message on standard error,
  // "<file>:<line>: error: <text>" where the text names a place in a
  // command or device file, else "tarsil: error: <text>"; warnings always,
  // and nothing at all on standard output.
  enum class Style { classic, gnu };
  static void style(Style s) { cStyle = s; }
  static Style style() { return cStyle; }
  // The line `message` makes in the gnu style, without its line break.
  static std::string gnuLine(Type type, const std::string& message);

  static void verbose(bool on) { cVerbose = on; }
  static void quiet(bool on) { cQuiet = on; }
  static bool isQuiet() { return cQuiet; }
  static bool isVerbose() { return cVerbose; }
  static int errors() { return cErrors; }
  static int warnings() { return cWarnings; }

  // `where` names the reporting operation; it is kept for the reader of the
  // code and never printed.
  static void report(Type type, const std::string& where, const std::string& message, bool fatal);
  static void report(Type type, const std::string& where, std::ostringstream& message, bool fatal);

  [[noreturn]] static void terminate(int code);
  // Ends the process with `code` without the summary: for the mistakes in
  // the additions to the command line, which are not the link's errors.
  [[noreturn]] static void leave(int code);

  // For a host that runs the whole program more than once in one process (a
  // fuzzer): when set, terminate() calls it with the exit code instead of
  // ending the process, after the summary. The hook must not return; it
  // leaves by throwing or jumping, and the process ends anyway if it does
  // return. reset() leaves it as it is, since it belongs to the host.
  using TerminateHook = void (*)(int code);
  static void setTerminateHook(TerminateHook hook) { cTerminateHook = hook; }

  // Puts the reporter back as at start-up, for tests that run in one process.
  static void reset();

  // Work done off the main thread holds its messages instead of printing
  // them, and they are given out later in the order the work would have had
  // on one thread. A fatal message ends the holding work by throwing Halted,
  // and ends the process when it is given out.
  struct Message {
    Type type;
    std::string text;
    bool fatal;
  };
  struct Halted {};
  class Hold {
  public:
    explicit Hold(std::vector<Message>& into) : cPrevious(tHeld) { tHeld = &into; }
    ~Hold() { tHeld = cPrevious; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

  private:
    std::vector<Message>* cPrevious;
  };
  // Reports each held message as it would have been reported when made.
  static void release(const std::vector<Message>& held);

private:
  static int cWarnings;
  static int cErrors;
  static bool cVerbose;
  static bool cQuiet;
  static Style cStyle;
  static TerminateHook cTerminateHook;
  static inline thread_local std::vector<Message>* tHeld = nullptr;
};

}  // namespace tarsil
