#include "devicedb/family.h"

#include "devicedb/devicedb.h"

namespace {

// PIC12F1xxx / PIC16F1xxx: row latches programmed in one internally timed
// cycle, row erase, Reset Address, two configuration words (three on some),
// calibration words above them that a bulk erase from 0x8000 never reaches.
const ChipFamily ENHANCED = {
    .name = "standard", .config_words = 2,
    .address_reset = RESET_BY_COMMAND, .calibration = CALIBRATION_OUT_OF_REACH,
    .begin_programming = 0x08, .end_programming = 0, .row_erase = 0x11, .end_row_erase = 0,
    .bulk_erase_program = 0x09, .bulk_erase_data = 0x0B,
    .erase_after_load = false, .erase_start = 0, .erase_takes_data = false,
    .program_erases = false, .row_erase_user_ids = true, .config_keeps_latches = false,
    .config_reads_implemented = false,
    .file_config_word = ADDR_USER_ID, .file_eeprom_word = ADDR_EEPROM,
    .code_protect_bits = 0x0080, .user_id_fold = USER_ID_NIBBLES_ADDED,  // CP: configuration word 1 bit 7
};

// PIC12F629 family: word programming, bulk erase only, no Reset Address, one
// configuration word with band-gap calibration bits, an OSCCAL RETLW at the
// top of flash; its assembler puts configuration at word 0x2000 and data
// EEPROM at word 0x2100, as for every older mid-range family below.
const ChipFamily CALIBRATED = {
    .name = "PIC12F629 family", .config_words = 1,
    .address_reset = RESET_BY_VPP_CYCLE, .calibration = CALIBRATION_READ_BACK,
    .begin_programming = 0x08, .end_programming = 0, .row_erase = 0, .end_row_erase = 0,
    .bulk_erase_program = 0x09, .bulk_erase_data = 0x0B,
    .erase_after_load = false, .erase_start = 0, .erase_takes_data = false,
    .program_erases = false, .row_erase_user_ids = false, .config_keeps_latches = false,
    .config_reads_implemented = false,
    .file_config_word = 0x2000, .file_eeprom_word = 0x2100,
    .code_protect_bits = 0x0080, .user_id_fold = USER_ID_NIBBLES_JOINED,  // CP: bit 7 (CPD is bit 8)
};

// PIC12F683, PIC16F684/690 and their kin, PIC16F91x, PIC16F88x: four or
// eight write latches, Row Erase of a 16-word row, no Reset Address. A row
// erase at 0x8000 would reach the configuration word and the calibration
// word(s) at 0x8008(-0x8009) in the same row, so user IDs change only with a
// chip erase; the bulk erase, issued at 0x8000, keeps the calibration words
// (from 0x8008 it would erase them). The latches are not cleared after a
// cycle at 0x8006-0x8009.
const ChipFamily ROW_LATCHES = {
    .name = "PIC16F690 family", .config_words = 1,
    .address_reset = RESET_BY_VPP_CYCLE, .calibration = CALIBRATION_OUT_OF_REACH,
    .begin_programming = 0x08, .end_programming = 0, .row_erase = 0x11, .end_row_erase = 0,
    .bulk_erase_program = 0x09, .bulk_erase_data = 0x0B,
    .erase_after_load = false, .erase_start = 0, .erase_takes_data = false,
    .program_erases = false, .row_erase_user_ids = false, .config_keeps_latches = true,
    .config_reads_implemented = true,
    .file_config_word = 0x2000, .file_eeprom_word = 0x2100,
    .code_protect_bits = 0x0040, .user_id_fold = USER_ID_NIBBLES_JOINED,  // CP: bit 6
};

// PIC16F627A/628A/648A: word programming, bulk erase only, and the bulk erase
// of program memory acts only after a Load Data of 0x3FFF.
const ChipFamily ERASE_AFTER_LOAD = {
    .name = "PIC16F628A family", .config_words = 1,
    .address_reset = RESET_BY_VPP_CYCLE, .calibration = CALIBRATION_OUT_OF_REACH,
    .begin_programming = 0x08, .end_programming = 0, .row_erase = 0, .end_row_erase = 0,
    .bulk_erase_program = 0x09, .bulk_erase_data = 0x0B,
    .erase_after_load = true, .erase_start = 0, .erase_takes_data = false,
    .program_erases = false, .row_erase_user_ids = false, .config_keeps_latches = false,
    .config_reads_implemented = true,
    .file_config_word = 0x2000, .file_eeprom_word = 0x2100,
    .code_protect_bits = 0x2000, .user_id_fold = USER_ID_NIBBLES_JOINED,  // CP: bit 13
};

// PIC16F84A: 0x08 erases the word (or EEPROM byte) and then programs it, so
// any word is rewritten on its own; a bulk erase is Load Data 0x3FFF, the
// erase command and 0x08, which runs it.
const ChipFamily ERASE_PROGRAM_CYCLE = {
    .name = "PIC16F84A", .config_words = 1,
    .address_reset = RESET_BY_VPP_CYCLE, .calibration = CALIBRATION_OUT_OF_REACH,
    .begin_programming = 0x08, .end_programming = 0, .row_erase = 0, .end_row_erase = 0,
    .bulk_erase_program = 0x09, .bulk_erase_data = 0x0B,
    .erase_after_load = true, .erase_start = 0x08, .erase_takes_data = false,
    .program_erases = true, .row_erase_user_ids = false, .config_keeps_latches = false,
    .config_reads_implemented = true,
    .file_config_word = 0x2000, .file_eeprom_word = 0x2100,
    .code_protect_bits = 0x3FF0, .user_id_fold = USER_ID_NIBBLES_JOINED,  // CP: bits 13:4, protected while any is clear
};

// PIC12F609/615/617, PIC16F610/616 and the HV parts: no internally timed
// programming; Begin Externally Timed Programming 0x18, the host's wait, End
// Programming 0x0A. No data EEPROM; a calibration word at 0x8008.
const ChipFamily EXTERNALLY_TIMED = {
    .name = "PIC12F615 family", .config_words = 1,
    .address_reset = RESET_BY_VPP_CYCLE, .calibration = CALIBRATION_OUT_OF_REACH,
    .begin_programming = 0x18, .end_programming = 0x0A, .row_erase = 0, .end_row_erase = 0,
    .bulk_erase_program = 0x09, .bulk_erase_data = 0x0B,
    .erase_after_load = false, .erase_start = 0, .erase_takes_data = false,
    .program_erases = false, .row_erase_user_ids = false, .config_keeps_latches = false,
    .config_reads_implemented = true,
    .file_config_word = 0x2000, .file_eeprom_word = 0x2100,
    .code_protect_bits = 0x0040, .user_id_fold = USER_ID_NIBBLES_JOINED,  // CP: bit 6
};

// PIC16F87/88, PIC16F818/819: programming is Begin Programming Only 0x18 and
// End Programming 0x17; 0x08 is an externally timed erase of the 32-word row,
// also ended by 0x17, and never programs. Chip Erase 0x1F clears program
// memory, configuration words, user IDs and data EEPROM.
const ChipFamily CHIP_ERASE = {
    .name = "PIC16F88 family", .config_words = 1,
    .address_reset = RESET_BY_VPP_CYCLE, .calibration = CALIBRATION_OUT_OF_REACH,
    .begin_programming = 0x18, .end_programming = 0x17, .row_erase = 0x08, .end_row_erase = 0x17,
    .bulk_erase_program = 0x1F, .bulk_erase_data = 0x0B,
    .erase_after_load = false, .erase_start = 0, .erase_takes_data = true,
    .program_erases = false, .row_erase_user_ids = false, .config_keeps_latches = false,
    .config_reads_implemented = true,
    .file_config_word = 0x2000, .file_eeprom_word = 0x2100,
    .code_protect_bits = 0x2000, .user_id_fold = USER_ID_NIBBLES_JOINED,  // CP: bit 13
};

// PIC16F873A/874A/876A/877A: 0x08 erases and programs an 8-word block (or one
// EEPROM byte, one configuration word) in one internally timed cycle. Their
// Bulk Erase is refused on a protected chip and leaves the configuration word,
// so the chip erase is Chip Erase 0x1F, which clears everything including data
// EEPROM; the data EEPROM's own bulk erase runs only when 0x08 follows it.
const ChipFamily BLOCK_ERASE_PROGRAM = {
    .name = "PIC16F877A family", .config_words = 1,
    .address_reset = RESET_BY_VPP_CYCLE, .calibration = CALIBRATION_OUT_OF_REACH,
    .begin_programming = 0x08, .end_programming = 0, .row_erase = 0, .end_row_erase = 0,
    .bulk_erase_program = 0x1F, .bulk_erase_data = 0x0B,
    .erase_after_load = false, .erase_start = 0x08, .erase_takes_data = true,
    .program_erases = true, .row_erase_user_ids = false, .config_keeps_latches = false,
    .config_reads_implemented = true,
    .file_config_word = 0x2000, .file_eeprom_word = 0x2100,
    .code_protect_bits = 0x2000, .user_id_fold = USER_ID_NIBBLES_JOINED,  // CP: bit 13
};

}  // namespace

const ChipFamily& family_of(int type_code) {
    switch (type_code) {
    case FAMILY_CALIBRATED: return CALIBRATED;
    case FAMILY_ROW_LATCHES: return ROW_LATCHES;
    case FAMILY_ERASE_AFTER_LOAD: return ERASE_AFTER_LOAD;
    case FAMILY_ERASE_PROGRAM_CYCLE: return ERASE_PROGRAM_CYCLE;
    case FAMILY_EXTERNALLY_TIMED: return EXTERNALLY_TIMED;
    case FAMILY_CHIP_ERASE: return CHIP_ERASE;
    case FAMILY_BLOCK_ERASE_PROGRAM: return BLOCK_ERASE_PROGRAM;
    default: return ENHANCED;
    }
}

const ChipFamily& device_family() { return family_of(device.type_code); }

bool family_code_protected(const ChipFamily& family, unsigned config1) {
    unsigned bits = static_cast<unsigned>(family.code_protect_bits);
    return (config1 & bits) != bits;
}

bool device_code_protected(unsigned config1) { return family_code_protected(device_family(), config1); }

bool part_erases_only_in_bulk(const Part& part) {
    return part.row_size == 0 && !family_of(part.type_code).program_erases;
}

bool is_user_id_address(int address) {
    return address >= ADDR_USER_ID && address < ADDR_USER_ID + USER_ID_WORDS;
}

bool is_config_address(int address) { return address >= ADDR_CONFIG1 && address < config_end(); }

// A database line may give any count; the image and the buffers hold at most
// MAX_CONFIG_WORDS, and every part has at least configuration word 1.
int part_config_words(const Part& part) {
    int n = part.config_words;
    if (n < 1) n = 1;
    return n > MAX_CONFIG_WORDS ? MAX_CONFIG_WORDS : n;
}

int device_config_words() { return part_config_words(device); }

int config_end() { return ADDR_CONFIG1 + device_config_words(); }

bool device_erases_only_in_bulk() { return part_erases_only_in_bulk(device); }
