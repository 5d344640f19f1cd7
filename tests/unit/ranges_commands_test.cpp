// /READ listings read from an emulated chip, and /ERASE and /FILL editing the
// image: partial rows read back, full rows not, the write flags they set, and
// what the chip holds after the write that follows.
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "ops/ranges.h"
#include "ops/write.h"
#include "write_fixture.h"

namespace opstest {
namespace {

class Ranges : public OpsTest {
protected:
    // Every flash word of the chip gets a value of its own.
    void fill_chip_flash() {
        for (int a = 0; a < chip().flash_size(); ++a) chip().poke(a, static_cast<uint16_t>(0x1000 + a));
    }

    std::string read(int from, int to) {
        return output_of([&] { show_range(from, to); });
    }

    // Block reads of n words sent since the trace was cleared: repeat n, read.
    int block_reads(int n) {
        const std::vector<uint8_t>& b = inproc::host_bytes();
        const uint8_t pattern[] = {0xD5, static_cast<uint8_t>(n),
                                   static_cast<uint8_t>((0x100 - 0xD5 - n) & 0xFF), 0x44, 0xBC};
        int count = 0;
        for (auto it = b.begin(); (it = std::search(it, b.end(), pattern, pattern + 5)) != b.end(); ++it)
            ++count;
        return count;
    }

    void erase(int from, int to) {
        erase_range(from, to);
    }

    void fill(int from, int to, int value) {
        fill_range(from, to, value);
    }
};

TEST_F(Ranges, ReadListings) {
    connect(part("PIC16F1825"));
    for (int a = 0; a < 0x20; ++a) chip().poke(a, static_cast<uint16_t>(0x2A00 + a));
    for (int i = 0; i < 0x30; ++i) chip().poke(0xF000 + i, static_cast<uint16_t>(0xA0 + i));

    EXPECT_EQ(read(0x5, 0x5), "\n  0005:  2a05");
    EXPECT_EQ(read(0x3, 0x10),
              "\n  0003:  2a03 2a04 2a05 2a06 2a07"
              "\n  0008:  2a08 2a09 2a0a 2a0b 2a0c 2a0d 2a0e 2a0f"
              "\n  0010:  2a10");
    EXPECT_EQ(read(0xF00E, 0xF021),
              "\n  f00e:  ae af"
              "\n  f010:  b0 b1 b2 b3 b4 b5 b6 b7 b8 b9 ba bb bc bd be bf"
              "\n  f020:  c0 c1");
    // Reading changes nothing in the image or the flags.
    EXPECT_EQ(image[0x5], EMPTY_CELL);
    EXPECT_EQ(write_flags, 0);

    // A 2K-word chip without EEPROM: the range skips from the end of flash to
    // configuration space, and EEPROM addresses show nothing.
    reset_records();
    connect(part("PIC16F1503"));
    fill_chip_flash();
    for (int a = 0x8000; a < 0x8004; ++a) chip().poke(a, static_cast<uint16_t>(a & 0xF));
    EXPECT_EQ(read(0x7FC, 0x8003),
              "\n  07fc:  17fc 17fd 17fe 17ff"
              "\n  8000:  0000 0001 0002 0003");
    EXPECT_EQ(read(0xF000, 0xF010), "");

    // A range whose end lies below its start runs to the end of the address
    // space: the rest of flash and the chip's 16 configuration words.
    std::string all = read(0x100, 0x50);
    std::string want;
    char buf[16];
    auto line = [&](int from, int count) {
        std::snprintf(buf, sizeof buf, "\n  %04x: ", from);
        want += buf;
        for (int a = from; a < from + count; ++a) {
            std::snprintf(buf, sizeof buf, " %04x", chip().peek(a));
            want += buf;
        }
    };
    for (int a = 0x100; a < 0x800; a += 8) line(a, 8);
    line(0x8000, 8);
    line(0x8008, 8);
    EXPECT_EQ(all, want);
}

TEST_F(Ranges, EraseReadsBackOnlyPartRows) {
    connect(part("PIC16F1825"));
    fill_chip_flash();
    erase(0x101, 0x105);
    EXPECT_EQ(block_reads(32), 2);  // start and end in the same row
    EXPECT_EQ(image[0x100], 0x1100);
    for (int a = 0x101; a <= 0x105; ++a) EXPECT_EQ(image[a], 0x3FFF);
    EXPECT_EQ(image[0x11F], 0x111F);
    EXPECT_EQ(image[0x120], EMPTY_CELL);
    EXPECT_EQ(write_flags, WF_PROGRAM);
    // Written back: the rest of the row keeps the chip's words.
    output_of(write_target);
    EXPECT_EQ(chip().peek(0x100), 0x1100);
    EXPECT_EQ(chip().peek(0x103), 0x3FFF);
    EXPECT_EQ(chip().peek(0x106), 0x1106);
    EXPECT_EQ(chip().peek(0x0FF), 0x10FF);
    EXPECT_EQ(chip().peek(0x120), 0x1120);

    // A whole row: nothing read.
    reset_records();
    connect(part("PIC16F1825"));
    erase(0x100, 0x11F);
    EXPECT_TRUE(inproc::host_bytes().empty());
    EXPECT_EQ(image[0x11F], 0x3FFF);

    // Configuration space: all nine cells, device ID included; no read-back.
    erase(0x8000, 0x8008);
    EXPECT_TRUE(inproc::host_bytes().empty());
    for (int a = 0x8000; a <= 0x8008; ++a) EXPECT_EQ(image[a], 0x3FFF) << a;
    EXPECT_EQ(write_flags, WF_PROGRAM | WF_USER_ID | WF_CONFIG);

    // With /BULKERASE the erase range does nothing at all.
    reset_records();
    connect(part("PIC16F1825"));
    write_flags = WF_BULK_ERASE;
    erase(0x101, 0x105);
    EXPECT_TRUE(inproc::host_bytes().empty());
    EXPECT_EQ(image[0x101], EMPTY_CELL);
    EXPECT_EQ(write_flags, WF_BULK_ERASE);
}

TEST_F(Ranges, EraseAtTheEdgesOfFlash) {
    // 2K words of flash, rows of 32: the range's start row is read, its end lies
    // in configuration space and reads nothing.
    connect(part("PIC16F1825"));
    fill_chip_flash();
    device.flash_size = 0x800;
    erase(0x7F0, 0x8003);
    EXPECT_EQ(block_reads(32), 1);
    EXPECT_EQ(image[0x7E0], 0x17E0);
    EXPECT_EQ(image[0x7F0], 0x3FFF);
    EXPECT_EQ(image[0x800], EMPTY_CELL);  // outside the chip
    EXPECT_EQ(image[0x8003], 0x3FFF);
    EXPECT_EQ(write_flags, WF_PROGRAM | WF_USER_ID);

    write_flags = 0;
    inproc::clear_trace();
    erase(0x800, 0x8003);
    EXPECT_TRUE(inproc::host_bytes().empty());
    EXPECT_EQ(write_flags, WF_USER_ID);

    // No rows: configuration space is 8 words, config word 2 outside it, but
    // the flag follows the range.
    reset_records();
    connect(part("PIC12F629"));
    erase(0x8000, 0x8008);
    EXPECT_EQ(image[0x8007], 0x3FFF);
    EXPECT_EQ(image[0x8008], EMPTY_CELL);
    EXPECT_EQ(write_flags, WF_USER_ID | WF_CONFIG);
    // EEPROM cells get the erased byte; the flag depends on the range alone.
    erase(0xF07E, 0xF0FF);
    EXPECT_EQ(image[0xF07F], 0x3FFF);
    EXPECT_EQ(image[0xF080], EMPTY_CELL);
    EXPECT_TRUE(write_flags & WF_EEPROM);
}

TEST_F(Ranges, RowsThatAreNotAPowerOfTwo) {
    connect(part("PIC16F1825"));
    fill_chip_flash();
    device.row_size = 24;
    erase(0x19, 0x1A);  // row 0x18..0x2F
    EXPECT_EQ(block_reads(24), 2);
    EXPECT_EQ(image[0x17], EMPTY_CELL);
    EXPECT_EQ(image[0x18], 0x1018);
    EXPECT_EQ(image[0x19], 0x3FFF);
    EXPECT_EQ(image[0x2F], 0x102F);
    EXPECT_EQ(image[0x30], EMPTY_CELL);
    // A range that ends on a row's last word reads nothing for its end.
    inproc::clear_trace();
    erase(0x30, 0x47);
    EXPECT_EQ(block_reads(24), 0);
}

TEST_F(Ranges, FillValues) {
    connect(part("PIC16F1825"));
    fill_chip_flash();
    fill(0, 0xF, 0x12345);
    for (int a = 0; a <= 0xF; ++a) EXPECT_EQ(image[a], 0x2345);
    EXPECT_EQ(image[0x10], 0x1010);  // rest of the row from the chip
    EXPECT_EQ(write_flags, WF_PROGRAM);

    // Without a value: the cells become empty. A fully covered row then stays as
    // it is on the chip; in a partly covered one the words become erased.
    reset_records();
    connect(part("PIC16F1825"));
    fill_chip_flash();
    fill(0x20, 0x44, -1);
    EXPECT_EQ(image[0x30], EMPTY_CELL);
    output_of(write_target);
    EXPECT_EQ(chip().peek(0x30), 0x1030);
    EXPECT_EQ(chip().peek(0x44), 0x3FFF);
    EXPECT_EQ(chip().peek(0x45), 0x1045);

    // /BULKERASE does not stop a fill.
    reset_records();
    connect(part("PIC16F1825"));
    write_flags = WF_BULK_ERASE;
    fill(0x8000, 0x8003, 0x0042);
    EXPECT_EQ(image[0x8002], 0x0042);
    EXPECT_EQ(write_flags, WF_BULK_ERASE | WF_USER_ID);
}

TEST_F(Ranges, FillAfterEraseKeepsTheErasedCells) {
    connect(part("PIC16F1825"));
    fill_chip_flash();
    erase(0x101, 0x103);
    fill(0x102, 0x108, 0x0777);
    EXPECT_EQ(image[0x100], 0x1100);
    EXPECT_EQ(image[0x101], 0x3FFF);  // erased, not read back again
    EXPECT_EQ(image[0x102], 0x0777);
    EXPECT_EQ(image[0x109], 0x1109);
}

TEST_F(Ranges, Type1FillSuppliesTheCalibrationWord) {
    connect(part("PIC12F629"));
    chip().poke(0x3FF, 0x3FFF);  // lost to an earlier erase
    fill(0x3FF, 0x3FF, 0x3480);
    EXPECT_EQ(image[0x3FF], 0x3480);
    EXPECT_EQ(saved_osccal_word, 0x3480);
    EXPECT_EQ(output_of(write_target).substr(0, 13), "\nBulk Erasing");
    EXPECT_EQ(chip().peek(0x3FF), 0x3480);

    // On a standard chip the same fill is just a flash word.
    reset_records();
    connect(part("PIC16F1825"));
    device.osccal_address = 0x3FF;
    fill(0x3FF, 0x3FF, 0x3480);
    EXPECT_EQ(saved_osccal_word, 0x8000);
}

}  // namespace
}  // namespace opstest
