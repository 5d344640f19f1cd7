// The image's start state and the address map that decides which cells belong
// to the connected chip.
#include <gtest/gtest.h>

#include "devicedb/devicedb.h"
#include "image/image.h"

namespace {

void set_device(int flash, int row, int eeprom) {
    device_db_set_defaults();
    device.flash_size = flash;
    device.row_size = row;
    device.eeprom_size = eeprom;
    device.eeprom_base = eeprom != 0 ? 0xF000 : 0;
}

TEST(ImageMap, InitEmptiesEverything) {
    image[0] = 0;
    image[0xFFFF] = 0x12;
    write_flags = WF_PROGRAM;
    saved_osccal_word = 0x3480;
    saved_config_word = 0x3000;
    image_init();
    EXPECT_EQ(image[0], EMPTY_CELL);
    EXPECT_EQ(image[0x8007], EMPTY_CELL);
    EXPECT_EQ(image[0xFFFF], EMPTY_CELL);
    EXPECT_EQ(write_flags, 0);
    EXPECT_EQ(saved_osccal_word, 0x8000);
    EXPECT_EQ(saved_config_word, 0x8000);
}

TEST(ImageMap, ClassifyAddress) {
    set_device(0x800, 32, 256);
    EXPECT_EQ(classify_address(0x7FF), REGION_WORD);
    EXPECT_EQ(classify_address(0x800), REGION_NONE);
    EXPECT_EQ(classify_address(0x7FFF), REGION_NONE);
    EXPECT_EQ(classify_address(0x8006), REGION_WORD);  // device ID: shown, never written
    EXPECT_EQ(classify_address(0x801F), REGION_WORD);
    EXPECT_EQ(classify_address(0x8020), REGION_NONE);
    EXPECT_EQ(classify_address(0xEFFF), REGION_NONE);
    EXPECT_EQ(classify_address(0xF000), REGION_EEPROM);
    EXPECT_EQ(classify_address(0xF0FF), REGION_EEPROM);
    EXPECT_EQ(classify_address(0xF100), REGION_NONE);
    // Outside the image altogether.
    EXPECT_EQ(classify_address(-1), REGION_NONE);
    EXPECT_EQ(classify_address(0x10000), REGION_NONE);

    set_device(0x800, 16, 0);
    EXPECT_EQ(classify_address(0x800F), REGION_WORD);
    EXPECT_EQ(classify_address(0x8010), REGION_NONE);
    EXPECT_EQ(classify_address(0xF000), REGION_NONE);

    // No rows: the configuration space is 8 words, config word 2 outside it.
    set_device(0x400, 0, 128);
    EXPECT_EQ(classify_address(0x8007), REGION_WORD);
    EXPECT_EQ(classify_address(0x8008), REGION_NONE);
    EXPECT_EQ(classify_address(0xF07F), REGION_EEPROM);
    EXPECT_EQ(classify_address(0xF080), REGION_NONE);

    // Not in the database: all of program space.
    set_device(0x8000, 16, 0);
    EXPECT_EQ(classify_address(0), REGION_WORD);
    EXPECT_EQ(classify_address(0x7FFF), REGION_WORD);

    // An oversized EEPROM from a database line still ends with the image.
    set_device(0x800, 32, 0x20000);
    EXPECT_EQ(classify_address(0xFFFF), REGION_EEPROM);
    EXPECT_EQ(classify_address(0x10000), REGION_NONE);
}

}  // namespace
