// The 64K-word picture of everything a run may write into the target, its
// address map, the write flags and the two words kept across an erase.
// Program flash from 0x0000, user IDs and configuration from 0x8000, data
// EEPROM from 0xF000 (one byte per cell). 0xFFFF is empty; a cell holds data
// when its value is at most 0x3FFF.
#pragma once
#include <cstdint>

enum : int {
    IMAGE_SIZE = 0x10000,
    EMPTY_CELL = 0xFFFF,
};

enum : int {
    WF_NO_END_RECORD = 0x01,  // never set now: a file without end record is refused
    WF_BULK_ERASE = 0x08,
    WF_PROGRAM = 0x10,
    WF_USER_ID = 0x20,
    WF_CONFIG = 0x40,
    WF_EEPROM = 0x80,
};

enum : int {
    REGION_NONE = 0,
    REGION_EEPROM = 1,
    REGION_WORD = 2,
};

extern uint16_t image[IMAGE_SIZE];
extern int write_flags;
extern uint16_t saved_osccal_word;
extern uint16_t saved_config_word;

void image_init();  // every cell empty, flags 0, saved words 0x8000
int classify_address(int address);
