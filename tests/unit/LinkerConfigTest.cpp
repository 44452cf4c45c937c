// Each declaration is taken or refused with its message; a refused one leaves no trace.
#include <type_traits>

#include "TestSupport.h"
#include "link/Linker.h"

using namespace tarsil;

namespace {

using Declare = std::function<bool(Linker&, std::string&)>;

struct Step { Declare declare; std::string error; };  // error "" when taken

template <class T>
Declare one(bool (Config::*add)(T, std::string&), std::decay_t<T> value) {
  return [=](Linker& l, std::string& e) { return (l.*add)(value, e); };
}
Declare memory(bool (Config::*add)(const Memory&, std::string&), const std::string& n, uint32_t s, uint32_t e,
               MemType t) {
  return [=](Linker& l, std::string& err) { return (l.*add)(Memory(n, s, e, t, false, false, ""), err); };
}
Declare page(std::string n, uint32_t s, uint32_t e) { return memory(&Linker::AddCodePage, n, s, e, rom); }
Declare bank(std::string n, uint32_t s, uint32_t e) { return memory(&Linker::AddDataBank, n, s, e, ram); }
Declare share(std::string n, uint32_t s, uint32_t e) { return memory(&Linker::AddShareBank, n, s, e, ram); }
Declare access(std::string n, uint32_t s, uint32_t e) { return memory(&Linker::AddAccessBank, n, s, e, ram); }
Declare section(const std::string& n, const std::string& romMem, const std::string& ramMem) {
  return [=](Linker& l, std::string& e) { return l.AddSectionDesc(SectionDesc(n, romMem, ramMem), e); };
}
Declare stack(const std::string& ramMem) {
  return [=](Linker& l, std::string& e) { return l.AddStackDesc(StackDesc(16, ramMem), e); };
}

void declare(Linker& l, const std::vector<Step>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    std::string error;
    EXPECT_EQ(steps[i].declare(l, error), steps[i].error.empty()) << "step " << i << ": " << error;
    EXPECT_EQ(error, steps[i].error) << "step " << i;
  }
}

}  // namespace

TEST(LinkerConfig, SingleValuedDeclarationsKeepTheFirstAndInputsComeOnce) {
  Linker l;
  EXPECT_EQ(l.getMinHeapSize(), 32u);
  declare(l, {
                 {one(&Linker::AddMinHeapSize, 64), ""},
                 {one(&Linker::AddMinHeapSize, 16), "multiple min heap sizes declared: '64', '16'"},
                 {one(&Linker::AddMapFile, "a.map"), ""},
                 {one(&Linker::AddMapFile, "a.map"), "multiple map files declared: 'a.map', 'a.map'"},
                 {one(&Linker::AddOutputFile, "a.cof"), ""},
                 {one(&Linker::AddOutputFile, "b.cof"), "multiple output files declared: 'a.cof', 'b.cof'"},
                 {one(&Linker::AddObjectFile, "a.o"), ""}, {one(&Linker::AddObjectFile, "./a.o"), ""},
                 {one(&Linker::AddObjectFile, "a.o"), "mutliple inclusion of object file 'a.o' "},
                 // Objects and libraries are separate lists: one name may be both.
                 {one(&Linker::AddLibraryFile, "a.o"), ""},
                 {one(&Linker::AddLibraryFile, "a.o"), "mutliple inclusion of library file 'a.o' "},
             });
  EXPECT_EQ(l.getMinHeapSize(), 64u);
  EXPECT_EQ(l.getOutputFile(), "a.cof");
  EXPECT_EQ(l.getObjectFiles(), (std::vector<std::string>{"a.o", "./a.o"}));
}

TEST(LinkerConfig, MemoriesShareOneNamespaceAndOverlapWithinTheirAddressSpace) {
  Linker l;
  const std::string dup = "duplicate definition of memory 's' ";
  declare(l, {
                 {page("p0", 0, 0x7FF), ""}, {page("p1", 0x800, 0xFFF), ""},
                 {page("p2", 0xFFF, 0x17FF), "memory 'p2' overlaps memory 'p1' "},
                 // A range over several names the one declared first.
                 {page("all", 0, 0x17FF), "memory 'all' overlaps memory 'p0' "},
                 {page("p3", 0x2000, 0x27FF), ""}, {page("p4", 0x1800, 0x1FFF), ""},
                 {page("p5", 0x1F00, 0x2100), "memory 'p5' overlaps memory 'p3' "},
                 {bank("p0", 0x300, 0x3FF), "duplicate definition of memory 'p0' "},
                 // Data memory is another address space; shared banks repeat with one length.
                 {bank("b0", 0, 0x7F), ""}, {access("acc", 0x100, 0x17F), ""}, {share("s", 0x80, 0x8F), ""},
                 {share("s", 0xF0, 0xFF), ""},
                 {share("s", 0x1F0, 0x1FE), "inconsistent length definitions of SHAREBANK 's' "},
                 {share("s", 0x8F, 0x9E), "memory 's' overlaps memory 's' "},
                 {access("s", 0x200, 0x2FF), dup},
                 {page("s", 0x3000, 0x30FF), dup},
                 // Data banks, then shared, then access banks, whatever the declaration order.
                 {bank("b1", 0x88, 0x10F), "memory 'b1' overlaps memory 's' "},
                 {access("a1", 0x7F, 0x80), "memory 'a1' overlaps memory 'b0' "},
             });
  EXPECT_EQ(l.memories().codePages.size(), 4u);
  EXPECT_EQ(l.memories().shareBanks.size(), 2u);
}

TEST(LinkerConfig, SectionsAndStackNameEarlierMemoriesOfTheirKind) {
  Linker l;
  declare(l, {
                 {section(".text", "p", ""), "undefined CODEPAGE 'p' for SECTION '.text' "},
                 {page("p", 0, 0xFF), ""},
                 // A refused page neither exists for SECTION nor holds its name.
                 {page("q", 0x80, 0x17F), "memory 'q' overlaps memory 'p' "},
                 {section(".t", "q", ""), "undefined CODEPAGE 'q' for SECTION '.t' "},
                 {bank("q", 0x80, 0x17F), ""}, {share("s", 0x200, 0x20F), ""}, {access("a", 0, 0x5F), ""},
                 {section(".text", "p", ""), ""},
                 {section(".text", "", "s"), "duplicate definitions of SECTION '.text' "},
                 {section(".data", "", "p"), "undefined DATABANK/SHAREBANK 'p' for SECTION '.data' "},
                 {section(".shr", "", "s"), ""}, {section(".acc", "p", "a"), ""},
                 {stack("p"), "undefined DATABANK/SHAREBANK 'p' for STACK. "},
                 {stack("a"), ""},
                 {stack("a"), "multiple STACK definitions "},
             });
  EXPECT_EQ(l.getSectionDescs().size(), 3u);
  EXPECT_EQ(l.getStackDesc().getRunMemory(), "a");
}
