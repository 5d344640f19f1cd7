// The write plan of each family, as a function of part, image and request
// alone: what is read before the erase, what is erased, what is written.
#include <gtest/gtest.h>

#include <vector>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"
#include "ops/plan.h"

namespace {

struct Image {
    std::vector<uint16_t> cells = std::vector<uint16_t>(IMAGE_SIZE, EMPTY_CELL);
    uint16_t& operator[](int a) { return cells[static_cast<size_t>(a)]; }
};

const Part& table_part(const char* name) {
    const Part* p = part_find_name(name);
    EXPECT_NE(p, nullptr) << name;
    return *p;
}

WritePlan plan(const Part& part, Image& image, int flags, int file_flags) {
    return plan_write(part, image.cells.data(), WriteRequest{flags, file_flags});
}

TEST(WritePlan, EnhancedFamily) {
    const Part& part = table_part("PIC16F1825");
    Image image;
    image[0] = 0x3001;
    image[ADDR_CONFIG1] = 0x3FE4;

    // A HEX file with configuration words is the whole program: one bulk
    // erase, nothing read back, no row erases.
    WritePlan p = plan(part, image, WF_PROGRAM | WF_CONFIG, WF_PROGRAM | WF_CONFIG);
    EXPECT_TRUE(p.erase_program && p.write_flash && p.write_config);
    EXPECT_FALSE(p.row_erase || p.copy_from_chip || p.copy_user_ids || p.read_osccal || p.read_config1);
    EXPECT_FALSE(p.erase_data) << "only /BULKERASE clears data EEPROM";
    EXPECT_FALSE(p.write_eeprom);

    // Program words alone: rows erased one by one, configuration untouched.
    p = plan(part, image, WF_PROGRAM, WF_PROGRAM);
    EXPECT_TRUE(p.write_flash && p.row_erase);
    EXPECT_FALSE(p.erase_program || p.write_config || p.write_user_ids);

    // A configuration word from a range command keeps the program: the chip
    // is copied into the empty cells before the bulk erase, and its program
    // and user IDs are written back.
    p = plan(part, image, WF_CONFIG, 0);
    EXPECT_TRUE(p.copy_from_chip && p.erase_program && p.write_flash && p.write_user_ids && p.write_config);
    EXPECT_EQ(p.flags & (WF_BULK_ERASE | WF_PROGRAM | WF_USER_ID), WF_BULK_ERASE | WF_PROGRAM | WF_USER_ID);

    // One user ID from a range command keeps the other three; four given
    // need nothing from the chip.
    image[ADDR_USER_ID] = 0x0001;
    p = plan(part, image, WF_USER_ID, 0);
    EXPECT_TRUE(p.copy_user_ids && p.write_user_ids && p.row_erase);
    EXPECT_FALSE(p.copy_from_chip || p.erase_program);
    for (int i = 1; i < USER_ID_WORDS; ++i) image[ADDR_USER_ID + i] = static_cast<uint16_t>(i);
    EXPECT_FALSE(plan(part, image, WF_USER_ID, 0).copy_user_ids);

    // /BULKERASE: data EEPROM too, and nothing copied.
    p = plan(part, image, WF_BULK_ERASE | WF_PROGRAM, WF_PROGRAM);
    EXPECT_TRUE(p.erase_data && p.erase_program);
    EXPECT_FALSE(p.copy_from_chip || p.row_erase);

    // Data EEPROM is written when the image holds a byte the part has.
    image[ADDR_EEPROM + 255] = 0x12;
    EXPECT_TRUE(plan(part, image, WF_EEPROM, WF_EEPROM).write_eeprom);
    image[ADDR_EEPROM + 255] = EMPTY_CELL;
    image[ADDR_EEPROM + 256] = 0x12;  // beyond its 256 bytes
    EXPECT_FALSE(plan(part, image, WF_EEPROM, WF_EEPROM).write_eeprom);
    EXPECT_FALSE(plan(table_part("PIC16F1503"), image, WF_EEPROM, WF_EEPROM).write_eeprom);

    // Nothing asked, nothing planned.
    p = plan(part, image, 0, 0);
    EXPECT_FALSE(p.erase_program || p.write_flash || p.write_eeprom || p.write_config);
}

TEST(WritePlan, CalibratedFamilyRewritesEverythingAroundItsCalibration) {
    const Part& part = table_part("PIC12F629");
    ASSERT_EQ(family_of(part.type_code).calibration, CALIBRATION_READ_BACK);
    Image image;
    image[0x10] = 0x2805;

    // Program words alone still mean a bulk erase (no row erase on these
    // chips): the chip's other words, its calibration instruction and its
    // band-gap bits are read first and written back, each checked.
    WritePlan p = plan(part, image, WF_PROGRAM, WF_PROGRAM);
    EXPECT_TRUE(p.read_osccal && p.read_config1 && p.copy_from_chip);
    EXPECT_TRUE(p.place_osccal && p.merge_config_bits && p.check_osccal);
    EXPECT_TRUE(p.erase_program && p.write_flash && p.write_user_ids && p.write_config);
    EXPECT_FALSE(p.row_erase || p.copy_user_ids);

    // With /BULKERASE nothing is copied, but the calibration is still kept.
    p = plan(part, image, WF_BULK_ERASE, 0);
    EXPECT_FALSE(p.copy_from_chip);
    EXPECT_TRUE(p.read_osccal && p.place_osccal && p.merge_config_bits && p.erase_data);

    // Data EEPROM alone touches nothing else.
    image[0x10] = EMPTY_CELL;
    image[ADDR_EEPROM] = 0x55;
    p = plan(part, image, WF_EEPROM, WF_EEPROM);
    EXPECT_TRUE(p.write_eeprom);
    EXPECT_FALSE(p.erase_program || p.write_flash || p.copy_from_chip);
}

TEST(WritePlan, FollowsThePartItIsGivenNotTheConnectedOne) {
    // The connected chip is unknown; the plan of a known part ignores that,
    // and the plan of an unknown part refuses to write.
    device_db_set_defaults();
    ASSERT_NE(device.flash_size & 0x8000, 0);
    Image image;
    image[0] = 0x3001;
    WritePlan p = plan(table_part("PIC16F1825"), image, WF_PROGRAM, WF_PROGRAM);
    EXPECT_FALSE(p.unknown_chip);
    EXPECT_TRUE(p.write_flash);
    EXPECT_TRUE(plan(device, image, WF_PROGRAM, WF_PROGRAM).unknown_chip);

    // A part without rows plans as a bulk-erase-only chip, whatever family
    // its other behaviour comes from.
    Part word_programmed = table_part("PIC16F1825");
    word_programmed.row_size = 0;
    p = plan(word_programmed, image, WF_PROGRAM, WF_PROGRAM);
    EXPECT_TRUE(p.erase_program && p.copy_from_chip && !p.row_erase);
    EXPECT_FALSE(p.read_osccal) << "no calibration word to keep";
}

}  // namespace
