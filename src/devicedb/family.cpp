#include "devicedb/family.h"

#include "devicedb/devicedb.h"

namespace {

// PIC12F1840 / PIC16F1xxx: row latches, row erase, two configuration words.
const ChipFamily STANDARD = {"standard", 2, true, false, false, ADDR_USER_ID, ADDR_EEPROM};

// PIC12F629 family (type code 1): word programming, bulk erase only, one
// configuration word with band-gap calibration bits, an OSCCAL RETLW at the
// top of flash; its assembler puts configuration at word 0x2000 and data
// EEPROM at word 0x2100.
const ChipFamily CALIBRATED = {"PIC12F629 family", 1, false, true, true, 0x2000, 0x2100};

}  // namespace

const ChipFamily& device_family() { return device.type_code == 1 ? CALIBRATED : STANDARD; }

bool is_user_id_address(int address) {
    return address >= ADDR_USER_ID && address < ADDR_USER_ID + USER_ID_WORDS;
}

bool is_config_address(int address) { return address >= ADDR_CONFIG1 && address < config_end(); }

int config_end() { return ADDR_CONFIG1 + device_family().config_words; }
