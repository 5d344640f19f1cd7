// The write sequence: turns the image and the write flags into programmer
// traffic. PIC12F629-family chips (type code 1) carry a factory oscillator
// calibration instruction (a RETLW at the top of flash) and two band-gap
// calibration bits in configuration word 1; a bulk erase wipes both, so they are
// read first and written back with everything else.
#include "ops/write.h"

#include <cstdio>

#include "devicedb/devicedb.h"
#include "image/image.h"
#include "ops/flash.h"
#include "protocol/link.h"
#include "protocol/prog.h"
#include "protocol/protocol.h"
#include "run/fail.h"
#include "ui/progress.h"

namespace {

enum : int {
    WF_ERASE_PROGRAM_USER_CONFIG = WF_BULK_ERASE | WF_PROGRAM | WF_USER_ID | WF_CONFIG,  // 0x78
    WF_PROGRAM_USER_CONFIG = WF_PROGRAM | WF_USER_ID | WF_CONFIG,                        // 0x70
    WF_ERASE_PROGRAM_CONFIG = WF_BULK_ERASE | WF_PROGRAM | WF_CONFIG,                    // 0x58
    WF_ERASE_CONFIG = WF_BULK_ERASE | WF_CONFIG,                                         // 0x48
};

constexpr int BLOCK = 32;
constexpr int USER_ID_WORDS = 4;
constexpr int PROGRAM_SPACE = 0x8000;
// Data EEPROM cells the image has room for, from 0xF000 to 0xFFFF.
constexpr int EEPROM_SPACE = 0x10000 - 0xF000;
// Bit of PIC12F629 configuration word 1 that is clear when code protection is on;
// a protected chip reads back zeros, which must not be copied.
constexpr int CONFIG_CP_OFF = 0x80;

bool is_type1() { return device.type_code == 1; }

int flash_limit() {
    int size = device.flash_size;
    if (size > PROGRAM_SPACE) size = PROGRAM_SPACE;
    return size < 0 ? 0 : size;
}

int eeprom_limit() {
    int size = device.eeprom_size;
    if (size > EEPROM_SPACE) size = EEPROM_SPACE;
    return size < 0 ? 0 : size;
}

// Without a bulk erase requested, the erase that follows would take the chip's
// other contents with it: copy them into the cells the image leaves empty.
void copy_flash_from_target() {
    ui_progress_begin("reading back flash", flash_limit(), "words");
    uint16_t buf[BLOCK];
    for (int a = 0; a < flash_limit(); a += BLOCK) {
        prog_read_block(a, BLOCK, buf);
        for (int j = 0; j < BLOCK; ++j) {
            // An erased word (0x3FFF) needs no copy.
            if (image[a + j] > 0x3FFF && buf[j] <= 0x3FFE) image[a + j] = buf[j];
        }
        ui_progress_step(BLOCK);
    }
    ui_progress_end();
}

void copy_ids_and_config_from_target() {
    ui_stage("reading back user ID and config words");
    uint16_t buf[USER_ID_WORDS];
    prog_read_block(ADDR_USER_ID, USER_ID_WORDS, buf);
    for (int i = 0; i < USER_ID_WORDS; ++i) {
        if (image[ADDR_USER_ID + i] > 0x3FFF) image[ADDR_USER_ID + i] = buf[i];
    }
    if (image[ADDR_CONFIG1] > 0x3FFE) image[ADDR_CONFIG1] = prog_read_word(ADDR_CONFIG1);
}

// Type 1: read the calibration words, and when program memory is going to be
// erased, keep everything the chip holds that the image does not replace.
void preserve_type1() {
    ui_stage("reading the calibration words");
    if (saved_osccal_word > 0x3FFF) saved_osccal_word = prog_read_word(device.osccal_address);
    saved_config_word = prog_read_word(ADDR_CONFIG1);
    if (!(write_flags & WF_ERASE_PROGRAM_USER_CONFIG)) return;
    write_flags |= WF_PROGRAM_USER_CONFIG;
    if (write_flags & WF_BULK_ERASE) return;
    if (saved_config_word & CONFIG_CP_OFF) copy_flash_from_target();
    copy_ids_and_config_from_target();
}

// Other chips whose database line names an OSCCAL address or config save mask
// get the same two reads, so that the values restored in the next steps are the
// chip's own rather than an empty cell and cleared configuration bits.
void preserve_other() {
    ui_stage("reading the calibration words");
    if (device.osccal_address != 0 && (write_flags & WF_ERASE_PROGRAM_CONFIG) &&
        saved_osccal_word > 0x3FFF) {
        saved_osccal_word = prog_read_word(device.osccal_address);
    }
    if (device.save_mask != 0 && (write_flags & WF_ERASE_CONFIG)) {
        saved_config_word = prog_read_word(ADDR_CONFIG1);
    }
}

void restore_saved_words() {
    int o = device.osccal_address;
    if (o != 0 && (write_flags & WF_ERASE_PROGRAM_CONFIG)) {
        write_flags |= WF_PROGRAM;
        if (o > 0 && o < IMAGE_SIZE) image[o] = saved_osccal_word;
    }
    int s = device.save_mask;
    if (s != 0 && (write_flags & WF_ERASE_CONFIG)) {
        write_flags |= WF_CONFIG;
        saved_config_word = static_cast<uint16_t>(saved_config_word & s);
        image[ADDR_CONFIG1] =
            static_cast<uint16_t>((image[ADDR_CONFIG1] & 0x3FFF & ~s) | saved_config_word);
    }
}

// A RETLW k instruction is 0x34kk..0x37kk in the 14-bit instruction set.
void check_osccal_instruction() {
    if ((saved_osccal_word & 0x3C00) != 0x3400) {
        fail("\nimproper oscillator calibration instruction!");
    }
}

void bulk_erase_program() {
    std::fputs("\nBulk Erasing", stdout);
    ui_stage("bulk erasing");
    prog_set_address(ADDR_USER_ID);
    link_send_command(CMD_BULK_ERASE_PROGRAM);
    prog_delay_us(device.bulk_erase_time);
    prog_sync();
}

bool eeprom_has_data(int size) {
    unsigned all = 0xFFFF;
    for (int i = 0; i < size; ++i) all &= image[ADDR_EEPROM + i];
    return size > 0 && all <= 0x3FFF;
}

void write_eeprom(int size) {
    ui_print("\nProgramming Data EEPROM...");
    ui_progress_begin("programming data EEPROM", size, "bytes");
    prog_set_address(ADDR_EEPROM);
    for (int i = 0; i < size; ++i) {
        if (i % 16 == 0) prog_sync();
        uint16_t cell = image[ADDR_EEPROM + i];
        if (cell <= 0x3FFF) {
            const unsigned char frame[3] = {CMD_LOAD_DATA, static_cast<unsigned char>(cell & 0xFF),
                                            0x00};
            link_send_frame(frame, 3);
            link_send_command(CMD_BEGIN_PROGRAMMING);
            prog_delay_us(device.data_time);
        }
        prog_increment(1);
        ui_progress_step(1);
    }
    ui_progress_end();
}

void verify_eeprom(int size) {
    ui_print("\nVerifying Data EEPROM...");
    ui_progress_begin("verifying data EEPROM", size, "bytes");
    uint16_t buf[BLOCK];
    for (int b = ADDR_EEPROM; b <= ADDR_EEPROM + size - 1; b += BLOCK) {
        prog_read_block(b, BLOCK, buf);
        for (int j = 0; j < BLOCK && b + j < IMAGE_SIZE; ++j) {
            uint16_t cell = image[b + j];
            if (cell <= 0x3FFF && ((cell ^ buf[j]) & 0xFF) != 0) fail("\nVerify Error!");
        }
        ui_progress_step(BLOCK);
    }
    ui_progress_end();
}

// A word read back by prog_write_word_checked matches when its 14 bits do;
// a negative result means nothing came back.
bool word_matches(int written, int read_back) {
    return read_back >= 0 && ((written ^ read_back) & 0x3FFF) == 0;
}

void write_user_ids() {
    std::fputs("\nProgramming User ID", stdout);
    ui_stage("programming user ID");
    prog_set_address(ADDR_USER_ID);
    if (!(write_flags & WF_BULK_ERASE)) {
        link_send_command(CMD_ROW_ERASE);
        prog_delay_us(device.row_erase_time);
    }
    for (int i = 0; i < USER_ID_WORDS; ++i) {
        int v = image[ADDR_USER_ID + i];
        if (!word_matches(v, prog_write_word_checked(v))) fail("\nVerify Error!");
        prog_increment(1);
    }
}

// Type 1 has one configuration word, some of whose bits the chip holds at zero
// (Z clears them so the read-back can match); other chips have two.
void write_config_words() {
    std::fputs("\nProgramming Config Words", stdout);
    ui_stage("programming config words");
    prog_set_address(ADDR_CONFIG1);
    if (is_type1()) {
        int v = image[ADDR_CONFIG1] & device.zero_mask;
        if (!word_matches(v, prog_write_word_checked(v))) fail("\nError!");
        return;
    }
    for (int i = 0; i < 2; ++i) {
        int v = image[ADDR_CONFIG1 + i];
        if (!word_matches(v, prog_write_word_checked(v))) fail("\nError!");
        prog_increment(1);
    }
}

}  // namespace

void write_target() {
    if (write_flags == 0) return;
    if (device.flash_size & 0x8000) fail("\nPIC not found in data base - Writing disabled!");
    if (is_type1()) {
        preserve_type1();
    } else {
        preserve_other();
    }
    restore_saved_words();
    int eeprom_size = eeprom_limit();
    // Only an explicit bulk erase request clears the data EEPROM.
    if ((write_flags & WF_BULK_ERASE) && device.eeprom_size > 0) {
        ui_stage("erasing data EEPROM");
        link_send_command(CMD_BULK_ERASE_DATA);
        prog_delay_us(device.bulk_erase_time);
    }
    // Configuration words can only be programmed after a bulk erase.
    if (write_flags & WF_CONFIG) write_flags |= WF_BULK_ERASE;
    if (is_type1() && (write_flags & WF_ERASE_PROGRAM_USER_CONFIG)) {
        check_osccal_instruction();
        write_flags |= WF_ERASE_PROGRAM_USER_CONFIG;
    }
    if (write_flags & WF_BULK_ERASE) bulk_erase_program();
    if (write_flags & WF_PROGRAM) write_program_flash();
    if (eeprom_has_data(eeprom_size)) {
        write_eeprom(eeprom_size);
        verify_eeprom(eeprom_size);
    }
    if (write_flags & WF_USER_ID) write_user_ids();
    if (write_flags & WF_CONFIG) write_config_words();
    std::puts("\nOk!");
    ui_summary();
}
