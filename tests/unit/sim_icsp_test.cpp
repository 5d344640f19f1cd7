// The emulated target chips must behave like the silicon: a host bug that
// would corrupt a real chip has to show up as wrong memory here.
#include <gtest/gtest.h>

#include "sim/chip.h"
#include "sim_bench.h"

namespace {

// Moves the counter to a program address the way a host must: reset, then
// increments.
void go(SimBench& b, int address) {
    b.reset();
    if (address > 0) b.inc(address);
}

TEST(SimIcsp, RowProgrammingAndsLatchesIntoTheCountersRow) {
    SimBench b;  // PIC16F1825, rows of 32
    b.p.target().poke(0x40, 0x0F0F);
    b.p.target().poke(0x45, 0x1111);
    b.vpp_on();
    go(b, 0x40);
    b.load(0x1234);  // latch 0
    b.inc(2);
    b.load(0x2AAA);  // latch 2; latch 5 never loaded
    b.inc(8);        // counter 0x4A, still in the row 0x40..0x5F
    b.begin(2500);
    EXPECT_EQ(b.p.target().peek(0x40), 0x0F0F & 0x1234);  // bits only go 1 -> 0
    EXPECT_EQ(b.p.target().peek(0x42), 0x2AAA);
    EXPECT_EQ(b.p.target().peek(0x45), 0x1111);  // unloaded latch leaves the cell
    EXPECT_EQ(b.p.target().peek(0x41), 0x3FFF);
    EXPECT_EQ(b.p.target().peek(0x60), 0x3FFF);

    // The latches were reset by the programming: a second begin writes nothing.
    b.p.target().poke(0x40, 0x3FFF);
    b.begin(2500);
    EXPECT_EQ(b.p.target().peek(0x40), 0x3FFF);

    // Loads that cross into the next row wrap within the latches, as on the
    // chip: the counter's row (0x60..0x7F) is programmed, so the word meant
    // for 0x5F ends up at 0x7F.
    go(b, 0x5F);
    b.load(0x0001);
    b.inc();
    b.load(0x0002);
    b.begin(2500);
    EXPECT_EQ(b.p.target().peek(0x60), 0x0002);
    EXPECT_EQ(b.p.target().peek(0x7F), 0x0001);
    EXPECT_EQ(b.p.target().peek(0x5F), 0x3FFF);
}

TEST(SimIcsp, SixteenWordRowsAndReadsThroughTheCounter) {
    SimBench b(SimBench::part("PIC16F1503"));
    EXPECT_EQ(b.p.target().flash_size(), 0x800);
    b.vpp_on();
    go(b, 0x10);
    for (int i = 0; i < 16; ++i) {
        b.load(0x100 + i);
        if (i < 15) b.inc();
    }
    b.begin(2500);
    go(b, 0x10);
    bool ok = false;
    std::vector<uint16_t> w = b.read(16, false, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(w.size(), 16u);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(w[static_cast<size_t>(i)], 0x100 + i);
    // The repeated read left the counter on the last word read.
    EXPECT_EQ(b.read1(), 0x10F);
    b.inc();
    EXPECT_EQ(b.read1(), 0x3FFF);
    // A single read leaves the counter where it was.
    EXPECT_EQ(b.read1(), 0x3FFF);
    // A repeat count applies to the next frame only, whatever that frame is.
    go(b, 0x10);
    b.repeat(5);
    b.frame({0xC0});
    EXPECT_EQ(b.take(), std::vector<uint8_t>({6}));
    b.inc();
    EXPECT_EQ(b.read1(), 0x101);
}

TEST(SimIcsp, BulkEraseScopeDependsOnTheCounter) {
    SimBench b;
    sim::Target& t = b.p.target();
    auto fill = [&] {
        t.poke(0x0000, 0x0123);
        t.poke(0x1FFF, 0x0456);
        t.poke(0x8000, 0x0001);
        t.poke(0x8007, 0x0F00);
        t.poke(0x8008, 0x1E00);
        t.poke(0xF000, 0x12);
    };
    fill();
    b.vpp_on();
    b.frame({0x09});  // counter 0: program flash only
    b.delay(5000);
    EXPECT_EQ(t.peek(0x0000), 0x3FFF);
    EXPECT_EQ(t.peek(0x1FFF), 0x3FFF);
    EXPECT_EQ(t.peek(0x8000), 0x0001);
    EXPECT_EQ(t.peek(0x8007), 0x0F00);
    EXPECT_EQ(t.peek(0xF000), 0x12);

    fill();
    b.config_space();
    b.frame({0x09});
    b.delay(5000);
    EXPECT_EQ(t.peek(0x0000), 0x3FFF);
    EXPECT_EQ(t.peek(0x8000), 0x3FFF);
    EXPECT_EQ(t.peek(0x8007), 0x3FFF);
    EXPECT_EQ(t.peek(0x8008), 0x3FFF);
    EXPECT_EQ(t.peek(0x8006), 0x2763);  // device ID survives
    EXPECT_EQ(t.peek(0xF000), 0x12);    // data EEPROM is a separate erase

    b.frame({0x0B});
    b.delay(5000);
    EXPECT_EQ(t.peek(0xF000), 0xFF);
}

TEST(SimIcsp, RowEraseAndConfigurationSpace) {
    SimBench b;
    sim::Target& t = b.p.target();
    for (int a = 0x20; a < 0x42; ++a) t.poke(a, 0);
    t.poke(0x8002, 0x0005);
    b.vpp_on();
    go(b, 0x25);
    b.frame({0x11});
    b.delay(2500);
    EXPECT_EQ(t.peek(0x20), 0x3FFF);
    EXPECT_EQ(t.peek(0x3F), 0x3FFF);
    EXPECT_EQ(t.peek(0x40), 0);  // next row untouched
    EXPECT_EQ(t.peek(0x1F), 0x3FFF);

    // Configuration space: one word per programming cycle, device ID and
    // revision read-only; a row erase there clears the user IDs.
    b.config_space();
    b.inc(6);
    EXPECT_EQ(b.read1(), 0x2763);
    b.load(0);
    b.begin(5000);
    EXPECT_EQ(b.read1(), 0x2763);
    b.inc();
    b.load(0x3A5A);
    b.begin(5000);
    EXPECT_EQ(b.read1(), 0x3A5A);
    EXPECT_EQ(t.peek(0x8008), 0x3FFF);
    b.config_space();
    b.frame({0x11});
    b.delay(2500);
    EXPECT_EQ(t.peek(0x8002), 0x3FFF);
    EXPECT_EQ(t.peek(0x8007), 0x3A5A);
}

TEST(SimIcsp, DataEepromWritesEraseTheByteFirst) {
    SimBench b(SimBench::part("PIC12F1840"));
    sim::Target& t = b.p.target();
    t.poke(0xF003, 0x0F);
    b.vpp_on();
    b.inc(3);
    b.load_data(0xF0);
    b.begin(5000);
    EXPECT_EQ(t.peek(0xF003), 0xF0);  // not 0x00: an EEPROM write is erase + write
    std::vector<uint16_t> w = b.read(2, true);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], 0x00F0);  // high byte of a data word is 0
    EXPECT_EQ(w[1], 0x00FF);
    EXPECT_EQ(t.peek(0x3), 0x3FFF);  // flash untouched by the data write
}

TEST(SimIcsp, TypeOneFactoryDataLostOnBulkErase) {
    SimBench b(SimBench::part("PIC12F629"));
    sim::Target& t = b.p.target();
    EXPECT_EQ(t.peek(0x3FF), 0x3454);        // RETLW with the oscillator calibration
    EXPECT_EQ(t.peek(0x8007) & 0x3000, 0x2000);  // BG1 set, BG0 clear
    EXPECT_EQ(t.peek(0x8006), 0x0F83);
    EXPECT_EQ(t.peek(0x8007) & ~0x31FF, 0);  // unimplemented bits read 0

    b.vpp_on();
    b.frame({0x09});  // program space: flash only
    b.delay(8000);
    EXPECT_EQ(t.peek(0x3FF), 0x3FFF);
    EXPECT_EQ(t.peek(0x8007) & 0x3000, 0x2000);
    b.config_space();
    b.frame({0x09});
    b.delay(8000);
    EXPECT_EQ(t.peek(0x8007), 0x31FF);  // BG bits became 1s
    // 6000 us are needed for a configuration word on this family.
    b.inc(7);
    b.load(0x2184);
    b.begin(5000);
    b.config_space();
    EXPECT_EQ(t.peek(0x8007), 0x31FF);
    b.inc(7);
    b.load(0x2184);
    b.begin(6000);
    EXPECT_EQ(b.read1(), 0x2184);
}

TEST(SimIcsp, TypeOneIgnoresResetAddressAndProgramsWords) {
    SimBench b(SimBench::part("PIC16F676"));
    sim::Target& t = b.p.target();
    b.vpp_on();
    b.inc(5);
    b.reset();  // no such command on this family: the counter stays at 5
    b.load(0x2801);
    b.begin(2500);
    EXPECT_EQ(t.peek(5), 0x2801);
    EXPECT_EQ(t.peek(0), 0x3FFF);
    b.load(0x0F0F);
    b.begin(2500);
    EXPECT_EQ(t.peek(5), 0x0801);  // AND, no erase
    // Only cycling VPP brings the counter back to 0.
    b.vpp_off();
    b.vpp_on();
    b.load(0x1234);
    b.begin(2500);
    EXPECT_EQ(t.peek(0), 0x1234);
    // Rows do not exist: a row erase does nothing.
    b.frame({0x11});
    b.delay(2500);
    EXPECT_EQ(t.peek(0), 0x1234);
}

TEST(SimIcsp, OperationsCutShortLeaveCellsAsTheyWere) {
    SimBench b;
    sim::Target& t = b.p.target();
    b.vpp_on();
    b.load(0x0AAA);
    b.begin(0);  // no delay at all, next ICSP command comes at once
    b.inc();
    EXPECT_EQ(t.peek(0), 0x3FFF);
    b.reset();
    b.load(0x0AAA);
    b.begin(2499);  // one microsecond short
    b.read1();
    EXPECT_EQ(t.peek(0), 0x3FFF);
    b.load(0x0AAA);
    b.frame({0x08});
    b.delay(1500);
    b.delay(1000);  // delays add up
    EXPECT_EQ(t.peek(0), 0x0AAA);
    // A sync between does not count as waiting.
    t.poke(0x8000, 0x3FFF);
    b.config_space();
    b.load(0x0001);
    b.frame({0x08});
    b.frame({0xC0});
    EXPECT_EQ(b.take(), std::vector<uint8_t>({6}));
    b.inc();
    EXPECT_EQ(t.peek(0x8000), 0x3FFF);
    t.poke(0xF000, 0x12);
    b.frame({0x0B});  // the EEPROM bulk erase needs the bulk time too
    b.delay(2500);
    b.vpp_off();  // power removed before it finished
    EXPECT_EQ(t.peek(0xF000), 0x12);
    EXPECT_EQ(b.p.lost_operations(), 4u);
}

// Every part of the table is emulated; a PIC16F1939 has rows of 32 words but
// only 8 write latches: loads wrap within the block of 8, and a programming
// cycle writes the block that holds the counter.
TEST(SimIcsp, EveryTablePartAndLatchBlocksSmallerThanTheRow) {
    for (const sim::PartInfo* part : sim::part_list()) {
        SimBench chip(SimBench::part(part->name));
        EXPECT_EQ(chip.p.target().flash_size(), part->flash_size) << part->name;
        EXPECT_EQ(chip.p.target().eeprom_size(), part->eeprom_size) << part->name;
        // The ID read back is one the part's own line matches.
        int id = chip.p.target().peek(0x8006);
        EXPECT_EQ((id ^ part->device_id) & part->id_mask, 0) << part->name;
    }
    SimBench b(SimBench::part("PIC16F1939"));
    sim::Target& t = b.p.target();
    b.vpp_on();
    go(b, 0x40);
    for (int i = 0; i < 10; ++i) {  // ten loads into eight latches
        b.load(0x100 + i);
        if (i < 9) b.inc();
    }
    b.begin(2500);  // counter 0x49: the block 0x48..0x4F
    EXPECT_EQ(t.peek(0x48), 0x108);
    EXPECT_EQ(t.peek(0x49), 0x109);
    EXPECT_EQ(t.peek(0x4A), 0x102);  // loads 2..7 stayed in latches 2..7
    EXPECT_EQ(t.peek(0x4F), 0x107);
    EXPECT_EQ(t.peek(0x40), 0x3FFF);  // the first block of the row is not written
    EXPECT_EQ(t.peek(0x41), 0x3FFF);
    EXPECT_EQ(t.peek(0x50), 0x3FFF);
    // A row erase still takes the whole 32-word row.
    go(b, 0x5F);
    b.frame({0x11});
    b.delay(2500);
    for (int a : {0x40, 0x48, 0x4F}) EXPECT_EQ(t.peek(a), 0x3FFF) << a;
    // Too short a programming delay leaves the block as it was.
    go(b, 0x40);
    b.load(0x0123);
    b.begin(2499);
    b.inc();
    EXPECT_EQ(t.peek(0x40), 0x3FFF);
    EXPECT_EQ(b.p.lost_operations(), 1u);
    EXPECT_TRUE(b.p.faults().empty());
}

// What the enhanced parts' programming algorithm forbids is done to the chip
// as the model has it, and reported: a bulk erase with the address above
// 0x8008 (it takes the calibration words), a programming cycle at a
// calibration word (the word stays), VPP above the part's maximum.
TEST(SimIcsp, ForbiddenStepsAreReported) {
    SimBench b(SimBench::part("PIC12F1612"));  // three configuration words, calibration 0x800A..0x800C
    sim::Target& t = b.p.target();
    const uint16_t calibration = t.peek(0x800A);
    EXPECT_NE(calibration, 0x3FFF);
    b.frame({0xD4, 85});
    b.vpp_on();
    b.config_space();
    b.inc(8);  // 0x8008: still allowed
    b.frame({0x09});
    b.delay(5000);
    EXPECT_TRUE(b.p.faults().empty());
    EXPECT_EQ(t.peek(0x800A), calibration);
    b.inc(2);  // 0x800A
    b.load(0x0000);
    b.begin(5000);
    EXPECT_EQ(t.peek(0x800A), calibration);
    b.frame({0x09});
    b.delay(5000);
    EXPECT_EQ(t.peek(0x800A), 0x3FFF);
    EXPECT_EQ(t.peek(0x800C), 0x3FFF);
    b.frame({0xD4, 130});  // the PIC12F629 family's voltage, while VPP is on
    b.vpp_off();
    b.vpp_on();
    EXPECT_EQ(b.p.faults(),
              std::vector<std::string>({"programming cycle at calibration word 0x800A",
                                        "bulk erase with the address at 0x800A, above 0x8008",
                                        "VPP 13.0 V above the part's 9.0 V maximum"}));
    // The PIC12F629 family takes that voltage.
    SimBench old(SimBench::part("PIC12F629"));
    old.frame({0xD4, 130});
    old.vpp_on();
    EXPECT_TRUE(old.p.faults().empty());
}

TEST(SimIcsp, DeviceIdsWithRevisionAndOverrides) {
    EXPECT_EQ(SimBench(SimBench::part("PIC12F1840")).p.target().peek(0x8006), 0x1B83);
    EXPECT_EQ(SimBench(SimBench::part("pic16f1705")).p.target().peek(0x8006), 0x3055);
    sim::Config c;
    c.device_id = 0x3FFF;
    SimBench b(c);
    b.vpp_on();
    b.config_space();
    b.inc(6);
    EXPECT_EQ(b.read1(), 0x3FFF);
    EXPECT_THROW(SimBench(SimBench::part("PIC99X1")), std::invalid_argument);
}

}  // namespace
