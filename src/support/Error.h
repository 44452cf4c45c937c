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

  // Puts the reporter back as at start-up, for tests that run in one process.
  static void reset();

private:
  static int cWarnings;
  static int cErrors;
  static bool cVerbose;
  static bool cQuiet;
};

}  // namespace tarsil
