#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "link/Linker.h"
#include "support/Debug.h"

using namespace tarsil;

namespace {

struct Scn {
  std::string name;
  uint32_t flags;
  uint32_t size;
  uint32_t paddr = 0;
};

std::unique_ptr<Coff> input(const std::string& file, const std::vector<Scn>& scns) {
  auto c = std::make_unique<Coff>();
  c->cFileName = file;
  int number = 1;
  for (const Scn& s : scns) {
    scnhdr h;
    if (s.name.size() > 8) Coff::addString(c->cStrTbl, s.name);
    Coff::setName(h, c->cStrTbl, s.name);
    h.s_flags = s.flags;
    h.s_size = s.size;
    h.s_paddr = s.paddr;
    c->cScnHdr[s.name] = h;
    c->cScnNum[number++] = s.name;
  }
  return c;
}

// Links the inputs' section attributes and returns the message ("" on success).
std::string merge(Linker& l, const std::vector<std::vector<Scn>>& inputs) {
  int n = 0;
  for (const auto& scns : inputs) l.cCoff.push_back(input("./in" + std::to_string(n++) + ".o", scns));
  std::string error;
  const bool ok = l.buildSectionAttribs(error);
  EXPECT_EQ(ok, error.empty());
  return error;
}

std::string merge(const std::vector<std::vector<Scn>>& inputs) {
  Linker l;
  return merge(l, inputs);
}

constexpr uint32_t TEXT = STYP_TEXT, DATA = STYP_DATA, BSS = STYP_BSS, ROM = STYP_DATA_ROM, ACT = STYP_ACTREC;
constexpr uint32_t ABS = STYP_ABS, SHR = STYP_SHARED, OVR = STYP_OVRLY, ACC = STYP_ACCESS;

}  // namespace

TEST(LinkerSections, SizesMergeByConcatenationOrByTheLargestOverlayPiece) {
  Linker l;
  EXPECT_EQ(merge(l, {{{".code", TEXT, 10}, {".ov", BSS | OVR, 6}, {".fix", DATA | ABS | OVR, 4, 0x40}},
                      {{".code", TEXT, 6}, {".ov", BSS | OVR, 10}, {".fix", DATA | ABS | OVR, 8, 0x40}},
                      {{".ov", BSS | OVR, 3}, {".fix", DATA | ABS | OVR, 2, 0x40}}}),
            "");
  EXPECT_EQ(l.cScns[".code"].size, 16u);
  EXPECT_EQ(l.cScns[".ov"].size, 10u);
  EXPECT_EQ(l.cScns[".fix"].absStart, 0x40u);
  EXPECT_EQ(l.cScns[".fix"].absSize, 8u);
  // Only absolute sections get a fixed start and size.
  EXPECT_EQ(l.cScns[".code"].absStart, 0u);
  EXPECT_EQ(l.cScns[".ov"].absSize, 0u);

  // Sizes near the 32-bit limit add up without wrapping.
  Linker big;
  EXPECT_EQ(merge(big, {{{".huge", TEXT, 0xFFFFFFFF}}, {{".huge", TEXT, 0xFFFFFFFF}}}), "");
  EXPECT_EQ(big.cScns[".huge"].size, 0x1FFFFFFFEul);
}

TEST(LinkerSections, EachAttributeIsRecordedPerName) {
  Linker l;
  EXPECT_EQ(merge(l, {{{".c", TEXT, 2}, {".i", DATA | SHR, 2}, {".u", BSS | ACC, 2}, {".r", ROM | ABS, 2, 0x100},
                       {".a", ACT, 2}, {".o", BSS | OVR, 2}}}),
            "");
  EXPECT_EQ(l.cScns[".c"].type, Coff::code);
  EXPECT_EQ(l.cScns[".i"].type, Coff::idata);
  EXPECT_EQ(l.cScns[".u"].type, Coff::udata);
  EXPECT_EQ(l.cScns[".r"].type, Coff::romdata);
  EXPECT_EQ(l.cScns[".a"].type, Coff::actrec);
  // Each flag is set on its one section only.
  for (bool MergedSection::*flag : {&MergedSection::share, &MergedSection::access, &MergedSection::abs,
                                    &MergedSection::overlay})
    EXPECT_EQ(std::count_if(l.cScns.begin(), l.cScns.end(), [&](const auto& e) { return e.second.*flag; }), 1);
  EXPECT_TRUE(l.cScns[".i"].share && !l.cScns[".u"].share);
  EXPECT_TRUE(l.cScns[".u"].access && !l.cScns[".i"].access);
  EXPECT_TRUE(l.cScns[".r"].abs && !l.cScns[".c"].abs);
  EXPECT_TRUE(l.cScns[".o"].overlay && !l.cScns[".c"].overlay);
  EXPECT_EQ(l.cScns[".r"].absStart, 0x100u);
  // The first kind bit in test order wins.
  Linker mixed;
  EXPECT_EQ(merge(mixed, {{{".m", BSS | TEXT | ACT, 2}}}), "");
  EXPECT_EQ(mixed.cScns[".m"].type, Coff::code);
}

TEST(LinkerSections, DisagreementsAreReportedInTheirPrecedence) {
  struct Case {
    const char* what;
    Scn first, second;
    std::string message;
  };
  const std::string ov = "section overlay types for '.s' do not match across input files.";
  const std::string abs = "section absolute types for '.s' do not match across input files.";
  const std::string start = "starting addresses for absolute overlay section '.s' do not match across all input files.";
  const std::string type = "section types for '.s' do not match across input files.";
  const std::string share = "section share types for '.s' do not match across input files.";
  const std::string access = "section access types for '.s' do not match across input files.";
  const std::string twice = "section '.s' type is non-overlay and absolute but occurs in more than one input file.";
  const std::vector<Case> cases = {
      {"overlay first, whatever else differs", {".s", TEXT | OVR, 2}, {".s", BSS | ABS | SHR | ACC, 2, 9}, ov},
      {"absolute before kind", {".s", TEXT, 2}, {".s", BSS | ABS, 2}, abs},
      {"different starts, overlay", {".s", DATA | ABS | OVR, 2, 0x10}, {".s", DATA | ABS | OVR, 2, 0x20}, start},
      {"different starts, not overlay", {".s", DATA | ABS, 2, 0x10}, {".s", DATA | ABS, 2, 0x20}, start},
      {"start before kind", {".s", DATA | ABS | OVR, 2, 0x10}, {".s", BSS | ABS | OVR, 2, 0x20}, start},
      {"kind before share", {".s", DATA, 2}, {".s", BSS | SHR | ACC, 2}, type},
      {"a later piece of unknown kind", {".s", DATA, 2}, {".s", 0, 2}, type},
      {"share before access", {".s", BSS | SHR, 2}, {".s", BSS | ACC, 2}, share},
      {"access", {".s", BSS, 2}, {".s", BSS | ACC, 2}, access},
      {"absolute twice at one start", {".s", TEXT | ABS, 2, 0x10}, {".s", TEXT | ABS, 2, 0x10}, twice},
  };
  for (const Case& c : cases) EXPECT_EQ(merge({{c.first}, {c.second}}), c.message) << c.what;

  // Absolute overlays at one start are the one way an absolute section repeats.
  EXPECT_EQ(merge({{{".s", TEXT | ABS | OVR, 2, 0x10}}, {{".s", TEXT | ABS | OVR, 2, 0x10}}}), "");
}

TEST(LinkerSections, UnknownKindNamesTheFileAndStopsAtThatSection) {
  Linker l;
  EXPECT_EQ(merge(l, {{{".good", TEXT, 2}}, {{".good", TEXT, 2}, {".bad", SHR, 2}, {".after", TEXT, 2}}}),
            "unknown section type for '.bad' in file './in1.o'.");
  EXPECT_EQ(l.cScns[".good"].size, 4u);
  EXPECT_EQ(l.cScns.count(".after"), 0u);
  EXPECT_FALSE(l.cScns[".bad"].merged());
}

TEST(LinkerSections, SectionsAreVisitedInSectionNumberOrder) {
  // Numbers, not names or insertion order, decide which disagreement is met first.
  Linker l;
  l.cCoff.push_back(input("./a.o", {{".b", TEXT, 2}, {".a", TEXT, 2}}));
  auto second = input("./b.o", {{".a", BSS, 2}, {".b", DATA, 2}});
  second->cScnNum = {{1, ".b"}, {2, ".a"}};
  l.cCoff.push_back(std::move(second));
  std::string error;
  EXPECT_FALSE(l.buildSectionAttribs(error));
  EXPECT_EQ(error, "section types for '.b' do not match across input files.");
}

TEST(LinkerSections, SectionDirectivesMustSuitTheSectionKind) {
  Linker l;
  std::string error;
  ASSERT_TRUE(l.AddCodePage(Memory("page", 0, 0xFF, rom, false, false, ""), error));
  ASSERT_TRUE(l.AddDataBank(Memory("gpr", 0x20, 0x7F, ram, false, false, ""), error));
  ASSERT_EQ(merge(l, {{{".c", TEXT, 2}, {".i", DATA, 2}, {".u", BSS, 2}, {".r", ROM, 2}, {".a", ACT, 2}}}), "");

  struct Case {
    std::string name, rom, ram, message;
  };
  const std::string tail = " memory attribute specified in the linker command file.";
  const std::vector<Case> cases = {
      {".c", "", "gpr", "section '.c' contains code and can not have a 'RAM'" + tail},
      {".i", "page", "", "section '.i' contains initialized data and can not have a 'ROM'" + tail},
      {".u", "page", "", "section '.u' contains uninitialized data and can not have a 'ROM'" + tail},
      {".r", "", "gpr", "section '.r' contains initialized rom data and can not have a 'RAM'" + tail},
      {".c", "page", "", ""},
      {".i", "", "gpr", ""},
      {".r", "page", "", ""},
      {".a", "page", "gpr", ""},
      {".nowhere", "page", "gpr", ""},
  };
  for (const Case& c : cases) {
    Linker one;
    one.cScns = l.cScns;
    one.AddCodePage(Memory("page", 0, 0xFF, rom, false, false, ""), error);
    one.AddDataBank(Memory("gpr", 0x20, 0x7F, ram, false, false, ""), error);
    ASSERT_TRUE(one.AddSectionDesc(SectionDesc(c.name, c.rom, c.ram), error));
    error.clear();
    EXPECT_EQ(one.verifySectionDesc(error), c.message.empty()) << c.name;
    EXPECT_EQ(error, c.message);
  }

  // The first offending directive in declaration order is the one reported.
  ASSERT_TRUE(l.AddSectionDesc(SectionDesc(".a", "page", ""), error));
  ASSERT_TRUE(l.AddSectionDesc(SectionDesc(".u", "page", ""), error));
  ASSERT_TRUE(l.AddSectionDesc(SectionDesc(".c", "", "gpr"), error));
  EXPECT_FALSE(l.verifySectionDesc(error));
  EXPECT_EQ(error, "section '.u' contains uninitialized data and can not have a 'ROM'" + tail);
}

TEST(LinkerSections, InternalsDumpListsEveryTablePerSection) {
  Linker l;
  std::string error;
  ASSERT_TRUE(l.AddCodePage(Memory("page", 0, 0xFF, rom, false, false, ""), error));
  ASSERT_EQ(merge(l, {{{".fix", TEXT | ABS, 4, 0x20}, {".u", BSS | SHR, 2}}}), "");
  l.cOutput.cFileName = "out.o";
  l.cScnMem[".fix"] = const_cast<Memory*>(&l.getCodePages()[0]);
  Debug on("Linker::print", 1);
  std::ostringstream os;
  l.print(os);
  Debug off("Linker::print", 0);
  const std::string text = os.str();
  const std::string internals = text.substr(text.find("------- Linker Internals: \n"));
  EXPECT_EQ(internals,
            "------- Linker Internals: \n"
            "  cCoff[0]=./in0.o\n"
            "  cOutput=out.o\n"
            "  cScnSize[.fix]=4\n"
            "  cScnType[.fix]=1\n"
            "  cScnAbs[.fix]=1\n"
            "  cScnShare[.fix]=0\n"
            "  cScnAccess[.fix]=0\n"
            "  cScnAbsStart[.fix]=0x00000020\n"
            "  cScnAbsSize[.fix]=0x00000004\n"
            "  cScnMem[.fix]=page\n"
            "  cScnSize[.u]=2\n"
            "  cScnType[.u]=3\n"
            "  cScnAbs[.u]=0\n"
            "  cScnShare[.u]=1\n"
            "  cScnAccess[.u]=0\n");
}
