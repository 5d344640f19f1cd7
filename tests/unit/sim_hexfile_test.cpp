// Target memory files of picsim: HEX in picup's address map and the state file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/hexfile.h"
#include "sim/sim.h"

namespace {

std::string temp_path(const char* name) {
    return std::string(::testing::TempDir()) + "/picsim_" + name;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(SimHexfile, SavedMemoryReadsBackInPicupsAddressMap) {
    sim::Config c;
    c.part = "PIC12F675";
    sim::Programmer p(c);
    sim::Target& t = p.target();
    t.poke(0x000, 0x2805);
    t.poke(0x001, 0x0123);
    t.poke(0x8000, 0x0001);
    t.poke(0xF000, 0x42);
    t.poke(0xF07F, 0x00);
    sim::Cells programmed = sim::memory_programmed(t);
    // Erased cells are left out; factory data is not erased, so it is kept.
    EXPECT_EQ(programmed.count(0x002), 0u);
    EXPECT_EQ(programmed.at(0x3FF), 0x3454);
    EXPECT_EQ(programmed.at(0x8007), 0x21FF);
    EXPECT_EQ(programmed.at(0xF07F), 0x00);

    std::string path = temp_path("save.hex");
    ASSERT_EQ(sim::hex_write(path, programmed), "");
    std::string text = slurp(path);
    EXPECT_NE(text.find(":020000040001F9"), std::string::npos);  // configuration at byte 0x10000
    EXPECT_NE(text.find(":0400000005282301AB"), std::string::npos);  // words low byte first
    EXPECT_NE(text.find(":00000001FF"), std::string::npos);
    sim::Cells back;
    ASSERT_EQ(sim::hex_read(path, back), "");
    EXPECT_EQ(back, programmed);

    // A damaged record is refused with its line number.
    std::ofstream(path) << ":0400000005282301AC\n";
    back.clear();
    EXPECT_NE(sim::hex_read(path, back).find(":1:"), std::string::npos);
    std::remove(path.c_str());
}

TEST(SimHexfile, StateFileRestoresErasedFactoryCells) {
    sim::Config c;
    c.part = "PIC12F629";
    sim::Programmer first(c);
    first.target().poke(0x3FF, 0x3FFF);  // calibration word lost by an erase
    first.target().poke(0x10, 0x0ABC);
    std::string path = temp_path("state.txt");
    ASSERT_EQ(sim::state_write(path, "PIC12F629", sim::memory_snapshot(first.target())), "");

    sim::Programmer second(c);
    sim::Cells cells;
    EXPECT_NE(sim::state_read(path, "PIC16F1825", cells), "");  // another chip's memory
    ASSERT_EQ(sim::state_read(path, "PIC12F629", cells), "");
    sim::memory_apply(second.target(), cells);
    EXPECT_EQ(second.target().peek(0x3FF), 0x3FFF);  // not the factory 0x3454 again
    EXPECT_EQ(second.target().peek(0x10), 0x0ABC);
    EXPECT_EQ(sim::memory_snapshot(second.target()), sim::memory_snapshot(first.target()));
    std::remove(path.c_str());
}

}  // namespace
