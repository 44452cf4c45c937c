#include "TestSupport.h"
#include "coff/Archive.h"

using namespace tarsil;
using namespace tarsil::test;

namespace {

// An object with one code section defining `defs` and referring to `refs`.
std::unique_ptr<Coff> member(const std::string& file, const std::vector<std::string>& defs,
                             const std::vector<std::string>& refs = {}) {
  auto c = std::make_unique<Coff>();
  c->cFileName = file;
  c->cFileHdr.f_timdat = 1000;
  scnhdr h;
  Coff::setName(h, c->cStrTbl, ".text");
  Coff::setScnFlags(h, Coff::code, false, false, false);
  c->cScnHdr[".text"] = h;
  c->cScnNum[1] = ".text";
  c->cRawData[".text"] = Data(2, "\x12\x34");
  for (int16_t defined = 1; defined >= 0; --defined)
    for (const auto& name : defined ? defs : refs) {
      syment s;
      if (name.size() > 8) Coff::addString(c->cStrTbl, name);
      Coff::setName(s, c->cStrTbl, name);
      s.n_scnum = defined;
      s.n_sclass = C_EXT;
      c->cSymTbl.push_back(s);
      c->cSymKind.push_back(AuxKind::none);
    }
  return c;
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

std::string readFailure(const Bytes& b) {
  return said([&b] { EXPECT_EQ(read(b), nullptr); });
}

using ArchiveTest = ErrorsReset;

}  // namespace

TEST_F(ArchiveTest, WriteReadIndexLookUpAndFiles) {
  Archive a = sampleArchive();
  const Bytes image = a.image();
  auto b = read(image);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->cMembers.size(), 2u);
  EXPECT_EQ(b->cMembers[0]->cFileName, "first.o");
  EXPECT_EQ(b->cMembers[1]->cFileName, "second.o");
  EXPECT_EQ(b->cSymbols.size(), 3u);
  EXPECT_EQ(b->cSymbols.at("a_long_external_name"), b->cMembers[0].get());
  EXPECT_TRUE(b->hasExtDefinition("gamma"));
  // A reference is not a definition.
  EXPECT_EQ(b->cSymbols.at("gamma"), b->cMembers[1].get());
  EXPECT_FALSE(b->hasExtDefinition("delta"));
  EXPECT_EQ(b->getCoff("delta"), nullptr);

  auto one = b->getCoff("gamma");
  auto two = b->getCoff("gamma");
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

TEST_F(ArchiveTest, EmptyArchiveAndDuplicateDefinitions) {
  auto empty = read(Bytes(ARMAG, ARMAG + SARMAG));
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->cMembers.empty());
  EXPECT_TRUE(empty->cSymbols.empty());

  Archive a;
  a.cFileName = "dup.lib";
  a.cMembers.push_back(member("one.o", {"dup"}));
  a.cMembers.push_back(member("two.o", {"dup", "other"}));
  EXPECT_EQ(said([&a] { a.makeSymbols(); }), "Error - Symbol 'dup' has multiple external definitions.\n");
  EXPECT_EQ(a.getCoff("dup")->cFileName, "one.o");
  EXPECT_EQ(a.getCoff("other")->cFileName, "two.o");
}

// Taken in the order asked for, not the archive's; a pointer to no member
// and a second mention of one already taken hand over nothing.
TEST_F(ArchiveTest, TakenMembersLeaveTheArchiveWhole) {
  Archive a = sampleArchive();
  a.cMembers.push_back(member("third.o", {"three"}));
  a.makeSymbols();
  const Coff* first = a.cMembers[0].get();
  const Coff* third = a.cMembers[2].get();
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

TEST_F(ArchiveTest, MembersAreLocatedByTheirImageSizeNotTheHeader) {
  Archive a = sampleArchive();
  Bytes image = a.image();
  std::memcpy(&image[SARMAG + 268], "5l\0\0\0\0\0\0\0\0", 10);
  auto b = read(image);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->cMembers.size(), 2u);
  EXPECT_TRUE(b->hasExtDefinition("gamma"));

  // Blank padding after the last member is no member.
  image.insert(image.end(), 100, ' ');
  b = read(image);
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
