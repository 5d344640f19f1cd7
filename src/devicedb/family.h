// The address map every chip is seen through, and what one chip family does
// differently from another. A new family is one record here; nothing above
// tests a type code.
//
// Host word addresses: program flash from 0x0000, configuration space from
// 0x8000 (user IDs 0x8000..0x8003, revision 0x8005, device ID 0x8006,
// configuration words from 0x8007), data EEPROM from 0xF000, one byte a cell.
#pragma once

enum : int {
    ADDR_USER_ID = 0x8000,
    ADDR_DEVICE_ID = 0x8006,
    ADDR_CONFIG1 = 0x8007,
    ADDR_CONFIG2 = 0x8008,
    ADDR_EEPROM = 0xF000,
    PROGRAM_SPACE_END = 0x8000,  // first address after program space
    CONFIG_SPACE_END = 0xF000,   // first address after configuration space
    USER_ID_WORDS = 4,
    // Configuration word 1 bit that is clear while code protection is on; a
    // protected chip reads its program memory back as zeros.
    CONFIG_CP_OFF = 0x80,
};

struct ChipFamily {
    const char* name;
    // Configuration words from ADDR_CONFIG1 (PIC12F629 family: one).
    int config_words;
    // Rows of flash are latched and programmed in one cycle and can be erased
    // one by one; otherwise one word is programmed per cycle and only a bulk
    // erase clears flash.
    bool row_programming;
    // The chip has no Reset Address command: the counter goes back to 0 by
    // switching VPP off and on.
    bool reset_by_vpp_cycle;
    // A bulk erase destroys factory calibration (the OSCCAL instruction at O,
    // the S bits of configuration word 1), so every erase is preceded by
    // reading the chip back into the cells the image leaves empty.
    bool keeps_calibration;
    // Word address at which the family's HEX files put configuration space and
    // data EEPROM (the assembler's own map); the host map uses 0x8000/0xF000.
    int file_config_word;
    int file_eeprom_word;
};

// The family of the chip the device database named (its T parameter).
const ChipFamily& device_family();
// Whether `address` lies in the user ID words or the configuration words.
bool is_user_id_address(int address);
bool is_config_address(int address);
// First address after the configuration words of the connected chip.
int config_end();
