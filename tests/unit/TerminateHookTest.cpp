#include <gtest/gtest.h>

#include <functional>

#include "support/Error.h"

using namespace tarsil;

namespace {

struct Ended {
  int code;
};

[[noreturn]] void throwCode(int code) { throw Ended{code}; }

int endWith(const std::function<void()>& call) {
  try {
    call();
  } catch (const Ended& e) {
    return e.code;
  }
  return -999;
}
int endWith(int code) {
  return endWith([code] { Error::terminate(code); });
}

}  // namespace

// A fatal message ends with -1 after it has been counted; resetting the
// counters for the next run keeps the hook, which belongs to the host.
TEST(TerminateHookTest, AFatalReportReachesTheHostWithItsCodeAndCount) {
  Error::reset();
  Error::quiet(true);
  Error::setTerminateHook(throwCode);
  EXPECT_EQ(endWith(0), 0);
  EXPECT_EQ(endWith([] { Error::report(Error::error, "test", "bad input", true); }), -1);
  EXPECT_EQ(Error::errors(), 1);
  Error::reset();
  EXPECT_EQ(endWith(1), 1);
  Error::setTerminateHook(nullptr);
  Error::reset();
}
