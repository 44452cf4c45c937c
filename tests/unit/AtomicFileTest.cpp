#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/AtomicFile.h"

using namespace tarsil;
namespace fs = std::filesystem;

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("tarsil-atomic-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                       "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  size_t entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator())); }

  fs::path dir;
};

}  // namespace

TEST_F(AtomicFileTest, ReplacesTheTargetWholeAndLeavesNothingBehind) {
  const fs::path target = dir / "out.map";
  ASSERT_TRUE(writeFileAtomically(target.string(), "first\n"));
  EXPECT_EQ(read(target), "first\n");
  const std::string bytes("with\0nul\r\n", 10);
  ASSERT_TRUE(writeFileAtomically(target.string(), bytes));
  EXPECT_EQ(read(target), bytes);
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
    // Destroyed without commit.
  }
  EXPECT_EQ(read(target), "old");
  EXPECT_EQ(entries(), 1u);

  // A directory in the target's place cannot be replaced by a file.
  const fs::path blocked = dir / "blocked";
  fs::create_directories(blocked / "inside");
  EXPECT_FALSE(writeFileAtomically(blocked.string(), "x"));
  EXPECT_TRUE(fs::is_directory(blocked / "inside"));
  EXPECT_EQ(entries(), 2u);

  // No directory to put the temporary file in.
  EXPECT_FALSE(writeFileAtomically((dir / "missing" / "out.o").string(), "x"));
  EXPECT_EQ(entries(), 2u);
}
