#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "TestSupport.h"
#include "support/AtomicFile.h"
#include "support/Platform.h"
#include "support/Temporaries.h"

using namespace tarsil;
using namespace tarsil::test;

using AtomicFileTest = ScratchDirectory;

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

// The temporary beside a target is longer than the target's name: a name
// near the longest a directory takes must still be written.
TEST_F(AtomicFileTest, ANameNearTheLimitIsWrittenWithAShorterTemporary) {
  for (size_t length : {243u, 255u}) {
    const fs::path target = dir / std::string(length, 'n');
    ASSERT_TRUE(writeFileAtomically(target.string(), "old")) << length;
    AtomicFile f(target.string());
    ASSERT_TRUE(f.open() && f.write("new"));
    EXPECT_LE(fs::path(f.temporary()).filename().string().size(), 255u);
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(fileText(target), "new");
    fs::remove(target);
  }
  EXPECT_EQ(entries(), 0u);
}

TEST_F(AtomicFileTest, ANewFileIsNeverOpenedOverOneThatExists) {
  const std::string name = (dir / "taken").string();
  ASSERT_TRUE(writeFileAtomically(name, "a stranger's"));
  int error = 0;
  EXPECT_EQ(platform::createNew(name, nullptr, error), platform::kNoFile);
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(fileText(name), "a stranger's");
}

// An interruption handled on one thread while another is between creating a
// temporary file and recording it: the handler waits for the record and
// removes the file, and no creation starts after it.
TEST_F(AtomicFileTest, AnInterruptionWaitsOutATemporaryBeingCreated) {
  auto temporaries = std::make_unique<Temporaries>();
  const std::string name = (dir / "being-made").string();
  ASSERT_TRUE(temporaries->beginCreating());
  std::thread handler([&] { temporaries->removeAll(false); });
  while (!temporaries->ending()) std::this_thread::yield();
  int error = 0;
  const platform::NativeFile file = platform::createNew(name, nullptr, error);
  ASSERT_NE(file, platform::kNoFile);
  platform::closeFile(file);
  char* copy = static_cast<char*>(std::malloc(name.size() + 1));
  std::memcpy(copy, name.c_str(), name.size() + 1);
  EXPECT_GE(temporaries->add(copy), 0);
  temporaries->endCreating();
  handler.join();
  std::free(copy);
  EXPECT_EQ(entries(), 0u);
  EXPECT_FALSE(temporaries->beginCreating());
}
