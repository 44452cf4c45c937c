#include <sys/wait.h>

#include <cerrno>
#include <csignal>

#include "TestSupport.h"
#include "support/AtomicFile.h"

using namespace tarsil;
using namespace tarsil::test;

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = tempPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  size_t entries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  }

  fs::path dir;
};

}  // namespace

TEST_F(AtomicFileTest, ReplacesTheTargetWholeAndLeavesNothingBehind) {
  const fs::path target = dir / "out.map";
  ASSERT_TRUE(writeFileAtomically(target.string(), "first\n"));
  EXPECT_EQ(fileText(target), "first\n");
  const std::string bytes("with\0nul\r\n", 10);
  ASSERT_TRUE(writeFileAtomically(target.string(), bytes));
  EXPECT_EQ(fileText(target), bytes);
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFileTest, AnAbandonedOrFailedWriteKeepsTheOldFile) {
  const fs::path target = dir / "out.o";
  ASSERT_TRUE(writeFileAtomically(target.string(), "old"));
  {
    AtomicFile f(target.string());
    ASSERT_TRUE(f.open());
    ASSERT_NE(f.file(), nullptr);
    EXPECT_TRUE(f.write("half of the new"));
    EXPECT_TRUE(fs::exists(f.temporary()));
  }  // destroyed without commit
  EXPECT_EQ(fileText(target), "old");
  EXPECT_EQ(entries(), 1u);

  // A directory in the target's place cannot be replaced by a file.
  const fs::path blocked = dir / "blocked";
  fs::create_directories(blocked / "inside");
  EXPECT_FALSE(writeFileAtomically(blocked.string(), "x"));
  EXPECT_TRUE(fs::is_directory(blocked / "inside"));
  EXPECT_EQ(entries(), 2u);

  EXPECT_FALSE(writeFileAtomically((dir / "missing" / "out.o").string(), "x"));
  EXPECT_EQ(entries(), 2u);
}

TEST_F(AtomicFileTest, APairThatCannotBeReplacedWholeKeepsThePreviousFiles) {
  const fs::path kept = dir / "pair.hxl", fresh = dir / "pair.lst", blocked = dir / "pair.hxh";
  ASSERT_TRUE(writeFileAtomically(kept.string(), "previous"));
  AtomicFile a(kept.string()), b(fresh.string()), c(blocked.string());
  for (AtomicFile* f : {&a, &b, &c}) ASSERT_TRUE(f->open() && f->write("new"));
  // Taken after the targets were looked at, so that only the rename fails.
  fs::create_directories(blocked / "inside");
  EXPECT_FALSE(AtomicFile::commitAll({&a, &b, &c}));
  EXPECT_EQ(c.failedStep(), AtomicFile::Step::rename);
  EXPECT_EQ(c.error(), EISDIR);
  EXPECT_EQ(fileText(kept), "previous");
  EXPECT_FALSE(fs::exists(fresh));
  EXPECT_EQ(entries(), 2u);
}

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
