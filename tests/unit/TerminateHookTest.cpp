#include <gtest/gtest.h>

#include "support/Error.h"

using namespace tarsil;

namespace {

struct Ended {
  int code;
};

[[noreturn]] void throwCode(int code) { throw Ended{code}; }

int endWith(int code) {
  try {
    Error::terminate(code);
  } catch (const Ended& e) {
    return e.code;
  }
  return -999;
}

}  // namespace

TEST(TerminateHookTest, AFatalReportReachesTheHostWithItsCodeAndCount) {
  Error::reset();
  Error::quiet(true);
  Error::setTerminateHook(throwCode);
  EXPECT_EQ(endWith(0), 0);

  // A fatal message ends with -1 after it has been counted; resetting the
  // counters for the next run keeps the hook, which belongs to the host.
  try {
    Error::report(Error::error, "test", "bad input", true);
    ADD_FAILURE() << "a fatal report returned";
  } catch (const Ended& e) {
    EXPECT_EQ(e.code, -1);
    EXPECT_EQ(Error::errors(), 1);
  }
  Error::reset();
  Error::quiet(true);
  EXPECT_EQ(Error::errors(), 0);
  EXPECT_EQ(endWith(1), 1);

  Error::setTerminateHook(nullptr);
  Error::reset();
}
