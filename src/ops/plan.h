// The write plan: what the write sequence will do, decided before the first
// frame from the part, the image and the request (the write flags as the
// options, the range commands and the HEX file set them). It is a pure
// function of those three; the sequence carries a plan out and does not decide
// again what the plan decided.
#pragma once
#include <cstdint>

struct Part;

struct WriteRequest {
    int flags;       // the run's write flags
    int file_flags;  // those the HEX file set alone
};

struct WritePlan {
    int flags;                   // the write flags with everything the plan adds
    bool unknown_chip;           // not in the database: nothing may be written
    // Words read before anything is erased.
    bool read_osccal;            // the calibration instruction at O (unless a fill gave it)
    bool read_config1;           // configuration word 1, for its S bits
    bool copy_from_chip;         // the chip's contents into the image's empty cells
    bool copy_user_ids;          // the chip's user IDs into the image's empty ID cells
    bool place_osccal;           // the kept instruction goes back at O
    bool merge_config_bits;      // the kept S bits go back into configuration word 1
    bool check_osccal;           // refuse a calibration word that is not a RETLW
    bool copy_eeprom;            // the chip's EEPROM bytes into the image's empty
                                 // EEPROM cells: the chip erase takes them too
    // Erases.
    bool erase_data;             // bulk erase of data EEPROM (asked for)
    bool erase_program;          // bulk erase of program memory
    // Writes, each verified.
    bool write_flash;
    bool row_erase;              // rows erased one by one before they are written
    bool write_eeprom;
    bool write_user_ids;
    bool write_config;
};

WritePlan plan_write(const Part& part, const uint16_t* image, const WriteRequest& request);
// The plan of the connected chip, the run's image and its write flags.
WritePlan plan_run();
// Whether the image holds any data EEPROM byte for the connected chip.
bool plan_eeprom_has_data();
// Data EEPROM bytes the image can hold for the connected chip.
int plan_eeprom_size();
// Program flash words the image can hold for the connected chip.
int plan_flash_size();
