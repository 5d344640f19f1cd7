// The whole write sequence on emulated chips: example programs uploaded cell by
// cell, rows left alone when they hold no new data, the PIC12F629 family's
// calibration words kept across the bulk erase, and the failures that stop it.
#include <unistd.h>

#include "ops/flash.h"
#include "ops/write.h"
#include <gmock/gmock.h>

#include "write_fixture.h"

namespace opstest {
namespace {

struct Example {
    const char* part;
    bool type1;
    bool eeprom;
};

const Example EXAMPLES[] = {
    {"PIC16F1825", false, true}, {"PIC16F1503", false, false}, {"PIC12F1840", false, true},
    {"PIC12F629", true, true},   {"PIC16F676", true, true},
};

// The chip's calibration data as the emulator's factory leaves it.
constexpr uint16_t FACTORY_OSCCAL = 0x3454;
constexpr uint16_t FACTORY_BG = 0x2000;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string full_progress(bool eeprom) {
    std::string s = "\nBulk Erasing\nProgramming program flash...\nVerifying program flash...";
    if (eeprom) s += "\nProgramming Data EEPROM...\nVerifying Data EEPROM...";
    return s + "\nProgramming User ID\nProgramming Config Words\nOk!\n";
}

class WriteSequence : public OpsTest {};

TEST_F(WriteSequence, ExamplesUploadCellByCell) {
    for (const Example& ex : EXAMPLES) {
        SCOPED_TRACE(ex.part);
        reset_records();
        connect(part(ex.part));
        std::string path = examples_dir() + "/" + lower(ex.part) + "/blink.hex";
        load_hex(path);
        EXPECT_EQ(output_of(write_target), full_progress(ex.eeprom));

        std::map<int, uint16_t> want = hex_words(path, ex.type1);
        auto expect = [&](int a, uint16_t erased) {
            auto it = want.find(a);
            return it == want.end() ? erased : it->second;
        };
        for (int a = 0; a < chip().flash_size(); ++a) {
            uint16_t w = ex.type1 && a == 0x3FF ? FACTORY_OSCCAL : expect(a, 0x3FFF);
            ASSERT_EQ(chip().peek(a), w) << "flash word " << a;
        }
        for (int a = 0x8000; a <= 0x8003; ++a) EXPECT_EQ(chip().peek(a), expect(a, 0x3FFF)) << a;
        if (ex.type1) {
            // The file's word with the chip's own band-gap bits, masked with Z.
            uint16_t cfg = ((expect(0x8007, 0x3FFF) & ~0x3000) | FACTORY_BG) & 0x31FF;
            EXPECT_EQ(chip().peek(0x8007), cfg);
        } else {
            EXPECT_EQ(chip().peek(0x8007), expect(0x8007, 0x3FFF));
            EXPECT_EQ(chip().peek(0x8008), expect(0x8008, 0x3FFF));
        }
        for (int i = 0; i < chip().eeprom_size(); ++i) {
            EXPECT_EQ(chip().peek(0xF000 + i), expect(0xF000 + i, 0xFF) & 0xFF) << "EEPROM " << i;
        }
    }
}

TEST_F(WriteSequence, ProgramOnlyImageRewritesOnlyItsRows) {
    connect(part("PIC16F1825"));
    for (int a = 0; a < 0x80; ++a) chip().poke(a, static_cast<uint16_t>(0x1000 + a));
    chip().poke(0x8007, 0x0FC4);
    image[0x25] = 0x0123;
    write_flags = WF_PROGRAM;
    EXPECT_EQ(output_of(write_target),
              "\nProgramming program flash...\nVerifying program flash...\nOk!\n");
    // The row with data is erased and written whole; the others keep their code,
    // and without a bulk erase the configuration is untouched.
    for (int a = 0; a < 0x80; ++a) {
        uint16_t want = a >= 0x20 && a < 0x40 ? (a == 0x25 ? 0x0123 : 0x3FFF) : 0x1000 + a;
        ASSERT_EQ(chip().peek(a), want) << a;
    }
    EXPECT_EQ(chip().peek(0x8007), 0x0FC4);
    EXPECT_EQ(write_flags, WF_PROGRAM);

    // Nothing to write at all: silent, no traffic.
    reset_records();
    connect(part("PIC16F1825"));
    EXPECT_EQ(output_of(write_target), "");
    EXPECT_TRUE(inproc::host_bytes().empty());
}

TEST_F(WriteSequence, Type1BulkEraseAloneKeepsCalibration) {
    connect(part("PIC12F629"));
    chip().poke(0x3FF, 0x3470);
    chip().poke(0x8007, 0x1FFF);  // band-gap bits 01 on this chip
    chip().poke(0x10, 0x1234);
    chip().poke(0x8000, 0x0005);
    chip().poke(0xF000, 0x42);
    write_flags = WF_BULK_ERASE;
    EXPECT_EQ(output_of(write_target),
              "\nBulk Erasing\nProgramming program flash...\nVerifying program flash..."
              "\nProgramming User ID\nProgramming Config Words\nOk!\n");
    for (int a = 0; a < 0x3FF; ++a) ASSERT_EQ(chip().peek(a), 0x3FFF) << a;
    EXPECT_EQ(chip().peek(0x3FF), 0x3470);
    for (int a = 0x8000; a <= 0x8003; ++a) EXPECT_EQ(chip().peek(a), 0x3FFF);
    EXPECT_EQ(chip().peek(0x8007), ((0x3FFF & ~0x3000) | 0x1000) & 0x31FF);
    EXPECT_EQ(chip().peek(0xF000), 0xFF);  // a requested bulk erase clears EEPROM too
}

TEST_F(WriteSequence, Type1PartialImageKeepsChipContentsUnlessProtected) {
    for (bool protect : {false, true}) {
        SCOPED_TRACE(protect ? "code protected" : "unprotected");
        reset_records();
        connect(part("PIC16F676"));
        for (int a = 0; a < 0x40; ++a) chip().poke(a, static_cast<uint16_t>(0x0800 + a));
        chip().poke(0x200, 0x2AAA);
        chip().poke(0x8001, 0x0007);
        uint16_t cfg = protect ? 0x2F7F : 0x2FFF;  // bit 7 clear: code protection on
        chip().poke(0x8007, cfg);
        image[0x8000] = 0x000A;
        write_flags = WF_USER_ID;
        std::string out = written_and_reported(write_target);
        if (protect) {
            // A protected chip reads its calibration word as zero too: nothing
            // is erased, the chip stays as it was.
            EXPECT_THAT(out, testing::EndsWith("\nimproper oscillator calibration instruction!\n"));
            EXPECT_EQ(chip().peek(0x10), 0x0810);
            EXPECT_EQ(chip().peek(0x8000), 0x3FFF);
            // Given the calibration word, the program goes (it cannot be read)
            // and everything else stays.
            reset_records();
            connect(part("PIC16F676"));
            chip().poke(0x8001, 0x0007);
            chip().poke(0x8007, cfg);
            image[0x8000] = 0x000A;
            image[0x3FF] = saved_osccal_word = FACTORY_OSCCAL;
            write_flags = WF_USER_ID | WF_PROGRAM;
            EXPECT_THAT(written_and_reported(write_target), testing::EndsWith("\nOk!\n"));
        } else {
            EXPECT_THAT(out, testing::EndsWith("\nOk!\n"));
        }
        for (int a = 0; a < 0x40; ++a) {
            ASSERT_EQ(chip().peek(a), protect ? 0x3FFF : 0x0800 + a) << a;
        }
        EXPECT_EQ(chip().peek(0x200), protect ? 0x3FFF : 0x2AAA);
        EXPECT_EQ(chip().peek(0x3FF), FACTORY_OSCCAL);
        EXPECT_EQ(chip().peek(0x8000), 0x000A);
        EXPECT_EQ(chip().peek(0x8001), 0x0007);
        EXPECT_EQ(chip().peek(0x8002), 0x3FFF);
        EXPECT_EQ(chip().peek(0x8007), cfg & 0x31FF);
    }
}

TEST_F(WriteSequence, Type1EepromOnlyNeedsNoErase) {
    connect(part("PIC12F629"));
    chip().poke(0x10, 0x1234);
    image[0xF003] = 0x5A;
    write_flags = WF_EEPROM;
    EXPECT_EQ(output_of(write_target),
              "\nProgramming Data EEPROM...\nVerifying Data EEPROM...\nOk!\n");
    EXPECT_EQ(chip().peek(0xF003), 0x5A);
    EXPECT_EQ(chip().peek(0x10), 0x1234);
    EXPECT_EQ(chip().peek(0x3FF), FACTORY_OSCCAL);
}

// A database line of a standard chip that names an OSCCAL address and a
// configuration save mask: the words come from the chip, as on type 1.
TEST_F(WriteSequence, StandardTypeWithSaveMaskReadsTheChip) {
    connect(part("PIC16F1825"));
    device.osccal_address = 0x1FF0;
    device.save_mask = 0x3000;
    chip().poke(0x1FF0, 0x3412);
    chip().poke(0x8007, 0x3FFF);
    image[0] = 0x2805;
    image[0x8007] = 0x0FC4;
    write_flags = WF_PROGRAM | WF_CONFIG;
    output_of(write_target);
    EXPECT_EQ(chip().peek(0), 0x2805);
    EXPECT_EQ(chip().peek(0x1FF0), 0x3412);
    EXPECT_EQ(chip().peek(0x8007), 0x3FC4);
}

// Ends the child with a marker when nothing was sent before the exit.
TEST_F(WriteSequence, Refusals) {
    // A chip that is not in the database.
    sim::Config unknown = part("PIC16F1705");
    unknown.device_id = 0x3EE0;
    connect(unknown);
    ASSERT_EQ(device.flash_size, 0x8000);
    write_flags = WF_PROGRAM;
    image[0] = 0;
    EXPECT_EQ(written_and_reported(write_target), "\nPIC not found in data base - Writing disabled!\n");
    EXPECT_TRUE(inproc::host_bytes().empty());

    // Type 1 whose calibration word is gone: stop before program memory is touched.
    reset_records();
    connect(part("PIC12F629"));
    chip().poke(0x3FF, 0x3FFF);
    chip().poke(0x10, 0x1234);
    image[0] = 0x2800;
    write_flags = WF_PROGRAM;
    EXPECT_EQ(written_and_reported(write_target), "\nimproper oscillator calibration instruction!\n");
    EXPECT_EQ(chip().peek(0x10), 0x1234);
}

TEST_F(WriteSequence, VerifyErrors) {
    auto expect_fail = [](const char* message) {
        EXPECT_THAT(written_and_reported(write_target), testing::EndsWith(message));
    };
    // Program flash: a programming time too short for the chip to finish a row.
    connect(part("PIC16F1825"));
    device.prog_time = 0;
    image[0] = 0x2805;
    write_flags = WF_PROGRAM;
    expect_fail("Verifying program flash...\nVerify Error!\n");

    // Data EEPROM: a database size smaller than the chip, with file data past it;
    // the last block's read-back still compares the byte that was never written.
    reset_records();
    connect(part("PIC16F1825"));
    device.eeprom_size = 100;
    image[0xF000] = 0x11;
    image[0xF070] = 0x22;
    write_flags = WF_EEPROM;
    expect_fail("Verifying Data EEPROM...\nVerify Error!\n");

    // User ID: the row erase does not get its time, so old bits stay cleared.
    reset_records();
    connect(part("PIC16F1825"));
    device.row_erase_time = 0;
    chip().poke(0x8000, 0x0000);
    image[0x8000] = 0x1234;
    write_flags = WF_USER_ID;
    expect_fail("Programming User ID\nVerify Error!\n");

    // Configuration word: without the zero mask, bits the chip holds at zero
    // read back differently.
    reset_records();
    connect(part("PIC12F629"));
    device.zero_mask = 0x3FFF;
    image[0x8007] = 0x3FE4;
    write_flags = WF_CONFIG;
    expect_fail("Programming Config Words\nError!\n");
}

TEST_F(WriteSequence, WordModeWithoutEraseFailsVerify) {
    // Old code beside a new word in the same 32-word block: the block compare
    // sees the old word where the image expects an erased one.
    connect(part("PIC12F629"));
    chip().poke(0x10, 0x1234);
    image[0x11] = 0x0A0A;
    write_flags = WF_PROGRAM;
    EXPECT_THAT(written_and_reported([] { return write_program_flash(true); }),
                testing::EndsWith("\nVerifying program flash...\nVerify Error!\n"));
    // The mismatch is reported, not just noticed: the old word where an erased one belongs.
    ASSERT_EQ(run_result.mismatch_count, 1);
    EXPECT_EQ(run_result.mismatches[0].address, 0x10);
    EXPECT_EQ(run_result.mismatches[0].chip, 0x1234);
    EXPECT_EQ(run_result.mismatches[0].expected, 0x3FFF);
}

}  // namespace
}  // namespace opstest
