// The address map every chip is seen through, and what one chip family does
// differently from another: a family is one record of named behaviour, read
// where that behaviour matters. The sizes and times of a chip are its part's
// (part.h); nothing above tests a type code.
//
// Host word addresses: program flash from 0x0000, configuration space from
// 0x8000 (user IDs 0x8000..0x8003, revision 0x8005, device ID 0x8006,
// configuration words from 0x8007), data EEPROM from 0xF000, one byte a cell.
#pragma once
#include "devicedb/part.h"

enum : int {
    ADDR_USER_ID = 0x8000,
    ADDR_REVISION = 0x8005,
    ADDR_DEVICE_ID = 0x8006,
    ADDR_CONFIG1 = 0x8007,
    ADDR_CONFIG2 = 0x8008,
    ADDR_EEPROM = 0xF000,
    PROGRAM_SPACE_END = 0x8000,  // first address after program space
    CONFIG_SPACE_END = 0xF000,   // first address after configuration space
    USER_ID_WORDS = 4,
};

// How the target's address counter goes back to 0.
enum AddressReset : int {
    RESET_BY_COMMAND,    // the Reset Address command
    RESET_BY_VPP_CYCLE,  // no such command: VPP off and on again
};

// How the device checksum of a code-protected chip takes in the user IDs.
// Such a chip reads its program memory back as zeros, so the checksum the
// maker's tools show for it is the masked configuration words plus the low
// nibbles of the four user ID words, folded one of two ways.
enum UserIdFold : int {
    // Each low nibble added on its own: 0x0123, 0x4567, 0x89AB, 0xCDEF add
    // 0x3 + 0x7 + 0xB + 0xF (the enhanced mid-range parts).
    USER_ID_NIBBLES_ADDED,
    // The four low nibbles as one 16-bit number, the first word's highest:
    // the same words add 0x37BF (the older mid-range parts).
    USER_ID_NIBBLES_JOINED,
};

// How the factory calibration survives an erase of program memory.
enum CalibrationKeeping : int {
    // The calibration words lie where a bulk erase issued from the start of
    // configuration space does not reach; nothing needs to be read first.
    CALIBRATION_OUT_OF_REACH,
    // The bulk erase takes the OSCCAL instruction (the part's O) and the S bits
    // of configuration word 1: both are read first and written back.
    CALIBRATION_READ_BACK,
};

struct ChipFamily {
    const char* name;
    // Configuration words of a database line that does not say (G).
    int config_words;
    AddressReset address_reset;
    CalibrationKeeping calibration;
    // ICSP command codes. A programming cycle writes what the loads before it
    // latched (a latch block of flash, one configuration word or user ID, one
    // EEPROM byte); `end_programming` is 0 where the chip times the cycle
    // itself, else the command that ends an externally timed one.
    int begin_programming;
    int end_programming;
    int row_erase;           // erases the row that holds the address; 0: none
    // Where the row erase is externally timed, the command that ends it.
    int end_row_erase;
    int bulk_erase_program;  // program flash, configuration words (and user IDs
                             // when the address is in configuration space)
    int bulk_erase_data;     // data EEPROM
    // What a chip erase needs around its command: a Load Data of 0x3FFF first
    // (the chip erases only with the data latch set), and a command that
    // starts the erase after it (0: the erase command alone runs it). The
    // data erase takes the same start command.
    bool erase_after_load;
    int erase_start;
    // The chip erase clears data EEPROM as well.
    bool erase_takes_data;
    // A programming cycle erases the words it writes first, so a row or word
    // is rewritten without an erase of its own.
    bool program_erases;
    // The Row Erase in configuration space takes only the user IDs; where it
    // would reach the configuration and calibration words, user IDs change
    // only through a chip erase.
    bool row_erase_user_ids;
    // The write latches keep their words after a cycle at 0x8006-0x8009: the
    // chip leaves programming mode after each configuration word so that
    // nothing stale is written with the next.
    bool config_keeps_latches;
    // The chip reads unimplemented configuration bits as 0: configuration
    // words compare only on the part's implemented bits (its M masks).
    bool config_reads_implemented;
    // Word address at which the family's HEX files put configuration space and
    // data EEPROM (the assembler's own map); the host map uses 0x8000/0xF000.
    int file_config_word;
    int file_eeprom_word;
    // Bits of configuration word 1 that code protection of program memory
    // clears (CP; a field of several bits on some older parts): while any of
    // them is clear the chip reads its program memory back as zeros.
    int code_protect_bits;
    UserIdFold user_id_fold;
};

// The family of a type code (unknown codes: the enhanced mid-range family).
const ChipFamily& family_of(int type_code);
// The family of the chip the device database named.
const ChipFamily& device_family();
// Whether configuration word 1 `config1` protects the program memory of a
// chip of the family, or of the connected chip.
bool family_code_protected(const ChipFamily& family, unsigned config1);
bool device_code_protected(unsigned config1);
// Whether `address` lies in the user ID words or the configuration words.
bool is_user_id_address(int address);
bool is_config_address(int address);
// Configuration words of a part, or of the connected chip, 1 to MAX_CONFIG_WORDS.
int part_config_words(const Part& part);
int device_config_words();
// First address after the configuration words of the connected chip.
int config_end();
// Whether a part of this family clears its program memory only whole: no row
// erase, and a programming cycle that does not erase first.
bool part_erases_only_in_bulk(const Part& part);
// Whether the connected chip has no row erase: its program memory is only
// ever cleared whole, so every write of flash, user IDs or configuration is a
// bulk erase and a rewrite of everything the chip is to keep.
bool device_erases_only_in_bulk();
