// Ending a run from outside, where processes can be forked to try it.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "../TestSupport.h"
#include "support/AtomicFile.h"

namespace tarsil::test {

using AtomicFileTest = ScratchDirectory;

TEST_F(AtomicFileTest, ASignalRemovesTheTemporaryAndEndsTheRun) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The default a program normally has, whatever the test runner set.
      ::signal(sig, SIG_DFL);
      AtomicFile f((dir / "out.cof").string());
      if (!f.open() || !f.write("half")) ::_exit(2);
      ::raise(sig);
      ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ", status " << status;
    EXPECT_EQ(entries(), 0u) << "signal " << sig;
  }
}

}  // namespace tarsil::test
