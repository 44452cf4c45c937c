#pragma once
#include <sstream>
#include <string>

namespace tarsil {

// The process-wide reporter: every message of the linker goes to standard
// output through here, and the process always ends through terminate().
class Error {
public:
  enum Type { error = 0, warning = 1 };

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

  // For a host that runs the whole program more than once in one process (a
  // fuzzer): when set, terminate() calls it with the exit code instead of
  // ending the process, after the summary. The hook must not return; it
  // leaves by throwing or jumping, and the process ends anyway if it does
  // return. reset() leaves it as it is, since it belongs to the host.
  using TerminateHook = void (*)(int code);
  static void setTerminateHook(TerminateHook hook) { cTerminateHook = hook; }

  // Puts the reporter back as at start-up, for tests that run in one process.
  static void reset();

private:
  static int cWarnings;
  static int cErrors;
  static bool cVerbose;
  static bool cQuiet;
  static TerminateHook cTerminateHook;
};

}  // namespace tarsil
