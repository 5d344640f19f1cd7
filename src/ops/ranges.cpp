// /READ, /ERASE and /FILL over the image's address map. Erase and fill only edit
// the image; the write sequence carries the result to the chip. Chips with rows
// erase and program whole rows, so a range that starts or ends inside a row of
// program flash first has that row read back from the chip, or the row's words
// outside the range would come back erased.
#include "ops/ranges.h"

#include <cstdio>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"
#include "ops/flash.h"
#include "protocol/prog.h"
#include "protocol/protocol.h"
#include "ui/progress.h"

namespace {

constexpr int LAST_ADDRESS = 0xFFFF;
// Rows longer than this are refused when the chip is identified.
constexpr int MAX_ROW = 32;
// The longest block read: one reply of 65 bytes.
constexpr int BLOCK_WORDS = 32;

// The unit the chip rewrites at once: a row, or the latch block that a
// programming cycle erases first; nothing on chips that only erase in bulk.
int row_size() { return device_erases_only_in_bulk() ? 0 : flash_row_size(); }
// The family reads the OSCCAL instruction before an erase and writes it back:
// a fill of that address supplies the word to write back instead.
bool keeps_osccal_by_read_back() {
    return device_family().calibration == CALIBRATION_READ_BACK && device.osccal_address != 0;
}
bool has_rows() { return row_size() > 0 && row_size() <= MAX_ROW; }

// Row arithmetic by division, so that a row size that is not a power of two
// still gives one consistent set of row boundaries.
int row_start(int a) { return a - a % row_size(); }
bool starts_row(int a) { return a % row_size() == 0; }
bool ends_row(int a) { return a % row_size() == row_size() - 1; }

// No cell lies beyond the image, and the loops must not count past INT_MAX.
int last_of(int to) { return to > LAST_ADDRESS ? LAST_ADDRESS : to; }

int normalised_read_end(int from, int to) {
    if (to < 0) to = from;
    if (to < from) to = LAST_ADDRESS;
    if (to > LAST_ADDRESS) to = LAST_ADDRESS;
    return to;
}

// Prints one shown cell, starting a line where one begins: lines of 8 words
// from a multiple of 8, or 16 EEPROM bytes from a multiple of 16; the first
// line starts wherever the range does. `on_line` counts the cells printed on
// the current line.
void print_cell(int a, int region, unsigned value, int& on_line) {
    int mask = region == REGION_EEPROM ? 15 : 7;
    if ((a & mask) == 0 || on_line == 0) {
        ui_progress_clear();
        ui_print("\n  %04x: ", a);
        on_line = 0;
    }
    if (region == REGION_EEPROM) {
        ui_print(" %02x", value & 0xFF);
    } else {
        ui_print(" %04x", value);
    }
    ++on_line;
}

// The cells from `a` on that one block read can fetch: the same region, the
// same address space of the target's counter, at most BLOCK_WORDS, not past `to`.
int block_length(int a, int to) {
    int region = classify_address(a);
    int space_end = a < ADDR_USER_ID ? ADDR_USER_ID - 1 : a < ADDR_EEPROM ? ADDR_EEPROM - 1 : LAST_ADDRESS;
    int last = to < space_end ? to : space_end;
    int n = 1;
    while (n < BLOCK_WORDS && a + n <= last && classify_address(a + n) == region) ++n;
    return n;
}

}  // namespace

// The cells are fetched in block reads of up to 32 words, a round trip per
// block instead of one per cell; the listing is the same cell for cell. Cells
// of a block whose read fails are not shown (the run ends there).
void show_range(int from, int to) {
    if (from < 0) return;
    to = normalised_read_end(from, to);
    ui_progress_begin("reading memory", image_shown_cells(from, to), "words");
    int on_line = 0;
    uint16_t block[BLOCK_WORDS];
    for (int a = from; a <= to;) {
        int region = classify_address(a);
        if (region == REGION_NONE) {
            ++a;
            continue;
        }
        int n = block_length(a, to);
        prog_read_block(a, n, block);
        for (int k = 0; k < n; ++k) print_cell(a + k, region, block[k], on_line);
        ui_progress_step(n);
        a += n;
    }
    ui_progress_end();
}

void erase_range(int from, int to) {
    if (from < 0 || (write_flags & WF_BULK_ERASE)) return;
    prepare_range(from, to);
    for (int a = from; a <= last_of(to); ++a) {
        if (classify_address(a) != REGION_NONE) image[a] = 0x3FFF;
    }
}

// The value goes in unmasked (low 16 bits); without a value (-1) the cells
// become empty. On type-1 chips a fill of the calibration address supplies the
// RETLW instruction the write sequence keeps instead of the chip's own.
void fill_range(int from, int to, int fill_value) {
    if (from < 0) return;
    prepare_range(from, to);
    uint16_t value = static_cast<uint16_t>(fill_value & 0xFFFF);
    for (int a = from; a <= last_of(to); ++a) {
        if (classify_address(a) == REGION_NONE) continue;
        image[a] = value;
        if (keeps_osccal_by_read_back() && a == device.osccal_address) saved_osccal_word = value;
    }
}

void prepare_range(int from, int to) {
    if (has_rows() && from < device.flash_size) {
        if (!starts_row(from)) read_back_row(from);
        if (!ends_row(to)) read_back_row(to);
    }
    if (from < device.flash_size) write_flags |= WF_PROGRAM;
    if (to >= ADDR_EEPROM) write_flags |= WF_EEPROM;
    if (from < ADDR_USER_ID + USER_ID_WORDS && to >= ADDR_USER_ID) write_flags |= WF_USER_ID;
    int last_config = config_end() - 1 > ADDR_CONFIG2 ? config_end() - 1 : ADDR_CONFIG2;
    if (from <= last_config && to >= ADDR_CONFIG1) write_flags |= WF_CONFIG;
}

// The chip's words go only into cells that are still empty: a cell that an
// earlier range command of this run has set (an erase before a fill) keeps
// what that command put there.
void read_back_row(int address) {
    if (!has_rows() || address < 0 || address >= device.flash_size) return;
    ui_stage("reading back a partly covered row");
    int start = row_start(address);
    int n = row_size();
    if (start + n > IMAGE_SIZE) return;
    uint16_t buf[MAX_ROW];
    prog_read_block(start, n, buf);
    for (int k = 0; k < n; ++k) {
        if (image[start + k] == EMPTY_CELL) image[start + k] = buf[k];
    }
}
