#include "LinkerRig.h"
#include "coff/Archive.h"

using namespace tarsil;
using namespace tarsil::test;

namespace {

// An object with one code section defining `defs` and referring to `refs`.
std::unique_ptr<Coff> member(const std::string& file, const std::vector<std::string>& defs,
                             const std::vector<std::string>& refs = {}) {
  tarsil::testing::Input in(file);
  in.section(".text", STYP_TEXT, 0, 0, {0x12, 0x34});
  for (const auto& name : defs) in.symbol(name, 1);
  for (const auto& name : refs) in.symbol(name, 0);
  in.c->cFileHdr.f_timdat = 1000;
  return std::move(in.c);
}

Archive sampleArchive() {
  Archive a;
  a.cFileName = "lib.lib";
  a.cMembers.push_back(member("first.o", {"alpha", "a_long_external_name"}, {"gamma"}));
  a.cMembers.push_back(member("second.o", {"gamma"}));
  a.makeSymbols();
  return a;
}

std::unique_ptr<Archive> read(const Bytes& b) { return Archive::make(std::span<const uint8_t>(b), "lib.lib"); }

std::string readFailure(const Bytes& b) { return said([&b] { EXPECT_EQ(read(b), nullptr); }); }

using ArchiveTest = ErrorsReset;

}  // namespace

TEST_F(ArchiveTest, WriteReadIndexLookUpAndFiles) {
  Archive a = sampleArchive();
  const Bytes image = a.image();
  auto b = read(image);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->cMembers.size(), 2u);
  EXPECT_EQ(b->cSymbols.at("a_long_external_name"), b->cMembers[0].get());
  EXPECT_TRUE(b->hasExtDefinition("gamma"));
  EXPECT_FALSE(b->hasExtDefinition("delta"));
  EXPECT_EQ(b->getCoff("delta"), nullptr);

  auto one = b->getCoff("gamma"), two = b->getCoff("gamma");
  ASSERT_NE(one, nullptr);
  EXPECT_NE(one.get(), two.get());
  EXPECT_NE(one.get(), b->cMembers[1].get());
  EXPECT_EQ(one->cFileName, "second.o");
  one->cRawData[".text"].bytes()[0] = 0;
  EXPECT_EQ(b->cMembers[1]->cRawData[".text"].bytes()[0], 0x12);

  EXPECT_EQ(b->image(), image);
  EXPECT_EQ(Archive::getDate(ar_hdr::decode(image.data() + SARMAG)), 1000);

  // A copy owns its members and indexes them, not the original's.
  Archive copy(*b);
  EXPECT_EQ(copy.cSymbols.at("alpha"), copy.cMembers[0].get());
  EXPECT_NE(copy.cMembers[0].get(), b->cMembers[0].get());

  a.cFileName = tempPath("lib");
  ASSERT_TRUE(a.write());
  b = Archive::make(a.cFileName);
  std::remove(a.cFileName.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->image(), image);

  a.cFileName = "/nonexistent/dir/y.lib";
  EXPECT_EQ(said([&a] {
              EXPECT_EQ(Archive::make(std::string("/nonexistent/dir/x.lib")), nullptr);
              EXPECT_FALSE(a.write());
            }),
            "Error - Could not open library file '/nonexistent/dir/x.lib' for reading.\n"
            "Error - Could not open library file '/nonexistent/dir/y.lib' for writing.\n");
}

// In the order asked for; a stranger and a second mention hand over nothing.
TEST_F(ArchiveTest, TakenMembersLeaveTheArchiveWhole) {
  Archive a = sampleArchive();
  a.cMembers.push_back(member("third.o", {"three"}));
  a.makeSymbols();
  const Coff *first = a.cMembers[0].get(), *third = a.cMembers[2].get();
  Coff stranger;
  auto taken = a.takeMembers({third, &stranger, first, third});
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].get(), third);
  EXPECT_EQ(taken[1].get(), first);
  ASSERT_EQ(a.cMembers.size(), 1u);
  EXPECT_EQ(a.cSymbols.size(), 1u);
  EXPECT_EQ(a.getCoff("a_long_external_name"), nullptr);
  EXPECT_EQ(a.getCoff("gamma")->cFileName, "second.o");
  EXPECT_EQ(read(a.image())->cMembers.size(), 1u);
}

// The index is made by sorting, yet the first member still answers and the
// later definitions are reported in member order, not name order.
TEST_F(ArchiveTest, LaterDefinitionsAreReportedInMemberOrder) {
  Archive a;
  a.cFileName = "lib.lib";
  a.cMembers.push_back(member("first.o", {"zeta", "beta"}));
  a.cMembers.push_back(member("second.o", {"zeta"}));
  a.cMembers.push_back(member("third.o", {"beta"}));
  EXPECT_EQ(said([&a] { a.makeSymbols(); }),
            "Error - Symbol 'zeta' has multiple external definitions.\n"
            "Error - Symbol 'beta' has multiple external definitions.\n");
  EXPECT_EQ(a.cSymbols.at("zeta"), a.cMembers[0].get());
  EXPECT_EQ(a.cSymbols.at("beta"), a.cMembers[0].get());
  EXPECT_EQ(a.cSymbols.size(), 2u);
}

TEST_F(ArchiveTest, TrailingBlanksAreNoMember) {
  Bytes image = sampleArchive().image();
  image.insert(image.end(), 100, ' ');
  auto b = read(image);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->cMembers.size(), 2u);
}

TEST_F(ArchiveTest, ReadingFailures) {
  EXPECT_EQ(readFailure(Bytes{'!', '<', 'a', 'r'}),
            "Error - Could not read archive magic string in library file 'lib.lib'.\n");
  EXPECT_EQ(readFailure(Bytes{'!', '<', 'a', 'r', 'c', 'h', '>', ' '}),
            "Error - File 'lib.lib' is not a valid library file.\n");

  Archive a = sampleArchive();
  Bytes image = a.image();
  Bytes headerOnly(image.begin(), image.begin() + SARMAG + ARHDRSZ);
  EXPECT_EQ(readFailure(headerOnly), "Error - Library file 'lib.lib' has a missing member object file.\n");

  // A file cut inside a member header lost that member.
  Bytes cut(image.begin(), image.end() - static_cast<long>(a.cMembers[1]->size() + 100));
  EXPECT_EQ(readFailure(cut), "Error - Library file 'lib.lib' has a missing member object file.\n");

  Bytes garbage = headerOnly;
  garbage.insert(garbage.end(), 50, 0xAB);
  EXPECT_EQ(readFailure(garbage),
            "Error - Coff file 'first.o' does not appear to be a valid COFF file.\n"
            "Error - Could not build member 'first.o' in library file 'lib.lib'. \n");

  // A member the linker could not use safely is refused while reading.
  a.cMembers[1]->cReloc[".text"] = {reloc{0, 7, 0, 1}};
  EXPECT_EQ(readFailure(a.image()),
            "Error - Coff file 'second.o', section '.text' reloc[0] has an invalid r_symndx.\n"
            "Error - Could not build member 'second.o' in library file 'lib.lib'. \n");
}
