// A part: everything picup knows of one chip, as data. The built-in table
// (parts.inc) holds one row a part; a line of the user's device database is a
// row of the same kind. What differs in *how* a chip is programmed is its
// family's (family.h), named by the row's `type_code`.
#pragma once

enum : int {
    PART_NAME_CHARS = 20,
    // Configuration words from 0x8007 a part may have.
    MAX_CONFIG_WORDS = 4,
    // The largest erase row and write-latch block a part may have: one block
    // read of the programmer and the buffers are sized for it.
    MAX_ROW_WORDS = 32,
    // Families by their type code (the database's T parameter).
    FAMILY_ENHANCED = 0,             // PIC12F1xxx/PIC16F1xxx: row latches, Reset Address
    FAMILY_CALIBRATED = 1,           // PIC12F629 family: word programming, OSCCAL kept
    FAMILY_ROW_LATCHES = 2,          // PIC12F683, PIC16F684/690, 16F91x, 16F88x: 4 or 8 latches, row erase
    FAMILY_ERASE_AFTER_LOAD = 3,     // PIC16F627A/628A/648A: bulk erase after a load of 0x3FFF
    FAMILY_ERASE_PROGRAM_CYCLE = 4,  // PIC16F84A: 0x08 erases and programs
    FAMILY_EXTERNALLY_TIMED = 5,     // PIC12F609/615/617, PIC16F610/616: 0x18 ... 0x0A
    FAMILY_CHIP_ERASE = 6,           // PIC16F87/88, PIC16F818/819: 0x18 ... 0x17, Chip Erase 0x1F
    FAMILY_BLOCK_ERASE_PROGRAM = 7,  // PIC16F873A-877A: 8-word blocks erased and programmed by 0x08
};

struct Part {
    char name[PART_NAME_CHARS + 1];  // empty until a database line matched
    int type_code;        // T: the family
    int device_id;        // the ID bits the mask keeps
    int id_mask;          // 0x3FE0 (revision in the low bits) or 0x3FFF (revision word)
    int flash_size;       // words; bit 15 set: the target is not in the database
    int row_size;         // erase row, words; 0: bulk erase only
    int write_latches;    // L: words one programming cycle writes (1: word programming)
    int eeprom_size;      // E: data EEPROM bytes
    int config_words;     // G: configuration words from 0x8007
    int config_masks[MAX_CONFIG_WORDS];  // M: implemented bits of each configuration word
    int calibration_first;  // A: first calibration word in configuration space, 0: none
    int calibration_count;  // N: calibration words from A; never written, never erased
    int osccal_address;   // O: calibration RETLW in program flash, kept across an erase; 0: none
    int save_mask;        // S: configuration word 1 bits kept across an erase
    int zero_mask;        // Z: configuration word 1 bits the chip can hold at one
    int prog_time;        // P: microseconds, program flash
    int config_time;      // W: microseconds, configuration words and user IDs
    int data_time;        // D: microseconds, data EEPROM
    int bulk_erase_time;  // B: microseconds
    int row_erase_time;   // R: microseconds
    int vpp;              // V: programming voltage, 1/10 volt
    int vpp_min;          // the part's range for VPP, 1/10 volt (0: not known)
    int vpp_max;
    // Filled in when a line is read, never in the table.
    int eeprom_base = 0;  // 0, or ADDR_EEPROM when the part has data EEPROM
};

// The built-in part table, in database order.
extern const Part PART_TABLE[];
extern const int PART_COUNT;
// The most rows the table may grow to (what is kept per row is sized for it).
constexpr int PART_TABLE_MAX = 512;

// Whether a chip reporting `device_id` is of this part: the IDs agree under its mask.
bool part_matches_id(const Part& part, unsigned device_id);
// The first table row whose ID matches `device_id` under its mask; nullptr when none.
const Part* part_find_id(unsigned device_id);
// The row of that name, compared without regard to case; nullptr when none.
const Part* part_find_name(const char* name);
// Whether the part keeps its revision in the word at 0x8005 (a full 14-bit
// device ID) rather than in the low bits of the device ID.
bool part_revision_in_word(const Part& part);
// The revision of a chip of this part, from its device ID or its revision word.
int part_revision(const Part& part, int device_id, int revision_word);
// Low-voltage part: VDD at most 3.6 V.
bool part_is_low_voltage(const Part& part);


// What a database line without the parameter gives.
enum : int {
    PART_DEFAULT_VPP = 85,
    PART_DEFAULT_PROG_TIME = 2500,
    PART_DEFAULT_DATA_TIME = 5000,
    PART_DEFAULT_ROW_ERASE_TIME = 2500,
    PART_DEFAULT_BULK_ERASE_TIME = 5000,
};
// Write latches of a line without L: the erase row, or one word without rows.
int part_default_latches(int row_size);
