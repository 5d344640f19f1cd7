// Program flash writer and verifier. Chips with erase rows latch a whole row of
// words and program it in one internally timed cycle; chips without rows
// (PIC12F629 family) program one word per cycle. Either way the result is read
// back in blocks and compared on 14 bits.
#include "ops/flash.h"

#include <cstdio>

#include "devicedb/devicedb.h"
#include "image/image.h"
#include "protocol/link.h"
#include "protocol/prog.h"
#include "protocol/protocol.h"
#include "ops/plan.h"
#include "ops/result.h"
#include "ops/verify.h"
#include "ui/progress.h"

namespace {

// Word-mode chips are verified in blocks of this many words.
constexpr int WORD_MODE_BLOCK = 32;
// The largest row the programmer's read reply and our buffers are sized for.
constexpr int MAX_ROW = 32;

}  // namespace

// A part may have fewer write latches than its erase row has words: the row is
// erased once and programmed a latch block at a time, each block loaded whole
// (the latches sit at the low address bits, and more loads than latches would
// overwrite the first) and written by one programming cycle.
void flash_write_row(int start, int n, bool row_erase) {
    prog_set_address(start);
    if (row_erase) prog_erase_row();
    int latches = flash_latch_count(n);
    // The cursor ends on the row's last word.
    for (int k = 0; k < n; ++k) {
        prog_load_program_word(image[start + k]);
        bool block_ends = (k + 1) % latches == 0 || k == n - 1;
        if (block_ends) prog_program_flash_cycle();
        if (k < n - 1) prog_increment(1);
    }
    prog_sync();
    ui_progress_step(n);
    ++run_result.counts.rows_written;
}

namespace {

void write_rows(int n, bool row_erase) {
    for (int a = 0; a < plan_flash_size(); a += n) {
        if (cells_hold_data(a, n)) flash_write_row(a, n, row_erase);
    }
}

// One programming cycle per word that holds data; a sync every 32 addresses
// keeps the programmer's queue short even where nothing is written.
void write_words() {
    for (int a = 0; a < plan_flash_size(); ++a) {
        if (cell_holds_data(image[a])) {
            prog_set_address(a);
            prog_load_program_word(image[a]);
            prog_program_flash_cycle();
            ui_progress_step(1);
            ++run_result.counts.rows_written;
        }
        if ((a & 0x1F) == 0) prog_sync();
    }
}

int verify_block() { return flash_row_size() > 0 ? flash_row_size() : WORD_MODE_BLOCK; }

}  // namespace

int flash_latch_count(int row) {
    int latches = device.write_latches;
    if (latches < 1 || latches > row) latches = row;
    return latches < 1 ? 1 : latches;
}

// Without erase rows, a chip with several write latches still programs a
// latch block at once (the PIC16F87xA's 0x08 erases and programs 8 words, so
// every block must be loaded whole), which is then the unit written.
int flash_row_size() {
    int n = device.row_size;
    if (n == 0 && device.write_latches > 1) n = device.write_latches;
    // Larger rows are refused when the chip is identified; never trust it here.
    return n > MAX_ROW ? MAX_ROW : n;
}

// Every block that holds data is read whole; its empty cells must read erased.
bool verify_program_flash() {
    int m = verify_block();
    ui_print("\nVerifying program flash...");
    ui_progress_begin("verifying flash", image_flash_cells(plan_flash_size(), m), "words");
    VerifySpan span{MEM_FLASH, 0, plan_flash_size(), m, 0x3FFF, true, true, true, true, -1};
    VerifyOutcome out = verify_span(span);
    ui_progress_end();
    run_result.counts.rows_verified += out.blocks;
    return out.mismatches == 0 || result_fail("\nVerify Error!");
}

bool write_program_flash(bool row_erase) {
    int n = flash_row_size();
    bool rows = n > 0;
    ui_print("\nProgramming program flash...");
    ui_progress_begin("programming flash", image_flash_cells(plan_flash_size(), rows ? n : 0), "words");
    if (rows) {
        write_rows(n, row_erase);
    } else {
        write_words();
    }
    ui_progress_end();
    return verify_program_flash();
}
