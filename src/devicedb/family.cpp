#include "devicedb/family.h"

#include "devicedb/devicedb.h"

namespace {

// PIC12F1xxx / PIC16F1xxx: row latches programmed in one internally timed
// cycle, row erase, Reset Address, two configuration words (three on some),
// calibration words above them that a bulk erase from 0x8000 never reaches.
const ChipFamily ENHANCED = {
    "standard", 2, RESET_BY_COMMAND, CALIBRATION_OUT_OF_REACH,
    0x08, 0, 0x11, 0x09, 0x0B,
    ADDR_USER_ID, ADDR_EEPROM,
    0x0080, USER_ID_NIBBLES_ADDED,  // CP: configuration word 1 bit 7
};

// PIC12F629 family: word programming, bulk erase only, no Reset Address, one
// configuration word with band-gap calibration bits, an OSCCAL RETLW at the
// top of flash; its assembler puts configuration at word 0x2000 and data
// EEPROM at word 0x2100.
const ChipFamily CALIBRATED = {
    "PIC12F629 family", 1, RESET_BY_VPP_CYCLE, CALIBRATION_READ_BACK,
    0x08, 0, 0, 0x09, 0x0B,
    0x2000, 0x2100,
    0x0080, USER_ID_NIBBLES_JOINED,  // CP: bit 7 (CPD is bit 8)
};

}  // namespace

const ChipFamily& family_of(int type_code) { return type_code == FAMILY_CALIBRATED ? CALIBRATED : ENHANCED; }

const ChipFamily& device_family() { return family_of(device.type_code); }

bool family_code_protected(const ChipFamily& family, unsigned config1) {
    unsigned bits = static_cast<unsigned>(family.code_protect_bits);
    return (config1 & bits) != bits;
}

bool device_code_protected(unsigned config1) { return family_code_protected(device_family(), config1); }

bool is_user_id_address(int address) {
    return address >= ADDR_USER_ID && address < ADDR_USER_ID + USER_ID_WORDS;
}

bool is_config_address(int address) { return address >= ADDR_CONFIG1 && address < config_end(); }

int config_end() {
    int n = device.config_words;
    if (n < 1) n = 1;
    if (n > MAX_CONFIG_WORDS) n = MAX_CONFIG_WORDS;
    return ADDR_CONFIG1 + n;
}

bool device_erases_only_in_bulk() { return device.row_size == 0; }
