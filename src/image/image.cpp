// The memory image: one static cell per word address of the host's map, the
// write flags that steer the write sequence, and the two words that carry a
// PIC12F629-family chip's factory calibration data across a bulk erase.
#include "image/image.h"

#include "devicedb/devicedb.h"
#include "devicedb/family.h"

uint16_t image[IMAGE_SIZE];
int write_flags;
int file_write_flags;
uint16_t saved_osccal_word;
uint16_t saved_config_word;

namespace {

// Any value above 0x3FFF in a saved word means "nothing read from the chip yet".
constexpr uint16_t NOTHING_SAVED = 0x8000;

}  // namespace

void image_init() {
    for (int a = 0; a < IMAGE_SIZE; ++a) image[a] = EMPTY_CELL;
    write_flags = 0;
    file_write_flags = 0;
    saved_osccal_word = NOTHING_SAVED;
    saved_config_word = NOTHING_SAVED;
}

// Whether an address belongs to the connected chip and how its cell is shown:
// EEPROM cells hold one byte, flash and configuration cells one 14-bit word.
// The configuration space the chip answers for is one row long (8 words on
// chips without rows), which covers the user IDs, device ID and config words.
int classify_address(int a) {
    if (a < 0 || a >= IMAGE_SIZE) return REGION_NONE;
    if (device.eeprom_size != 0 && a >= device.eeprom_base &&
        a - device.eeprom_base < device.eeprom_size) {
        return REGION_EEPROM;
    }
    if (a < PROGRAM_SPACE_END) return a < device.flash_size ? REGION_WORD : REGION_NONE;
    int row = device.row_size != 0 ? device.row_size : 8;
    return a < ADDR_USER_ID + row ? REGION_WORD : REGION_NONE;
}

bool cells_hold_data(int first, int count) {
    for (int a = first; a < first + count && a < IMAGE_SIZE; ++a) {
        if (a >= 0 && cell_holds_data(image[a])) return true;
    }
    return false;
}

// Totals for the progress of a pass over program flash: the cells of every
// block of `block` words below `limit` that holds data, or, for block 0, the
// cells that hold a word.
long image_flash_cells(int limit, int block) {
    if (limit > IMAGE_SIZE) limit = IMAGE_SIZE;
    long cells = 0;
    if (block <= 0) {
        for (int a = 0; a < limit; ++a) cells += cell_holds_data(image[a]) ? 1 : 0;
        return cells;
    }
    for (int b = 0; b < limit; b += block) {
        if (cells_hold_data(b, block)) cells += block;
    }
    return cells;
}

long image_shown_cells(int from, int to) {
    if (from < 0 || from >= IMAGE_SIZE) return 0;
    if (to < 0) to = from;
    if (to < from || to >= IMAGE_SIZE) to = IMAGE_SIZE - 1;
    long cells = 0;
    for (int a = from; a <= to; ++a) cells += classify_address(a) != REGION_NONE ? 1 : 0;
    return cells;
}
