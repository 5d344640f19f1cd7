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
// The write flags the HEX file set on its own, apart from the options and the
// range commands: a file that holds configuration words is the whole program.
extern int file_write_flags;
extern int write_flags;
extern uint16_t saved_osccal_word;
extern uint16_t saved_config_word;

void image_init();  // every cell empty, flags 0, saved words 0x8000
int classify_address(int address);
// The one test of whether a cell holds something to write: a 14-bit word (or
// an EEPROM byte). Every larger value, 0xFFFF above all, is an empty cell.
inline bool cell_holds_data(unsigned value) { return value <= 0x3FFF; }
// Whether any of `count` cells from `first` holds data.
bool cells_hold_data(int first, int count);
// Cells a pass over program flash touches: every cell of each `block`-word
// block below `limit` that holds data, or, for block 0, each cell that does.
long image_flash_cells(int limit, int block);
// Cells of the target that /READ shows between from and to.
long image_shown_cells(int from, int to);
