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
#include "run/fail.h"
#include "ui/progress.h"

namespace {

// Word-mode chips are verified in blocks of this many words.
constexpr int WORD_MODE_BLOCK = 32;
// The largest row the programmer's read reply and our buffers are sized for.
constexpr int MAX_ROW = 32;
// Program space ends where configuration space begins.
constexpr int PROGRAM_SPACE = 0x8000;

// Program flash words the image can hold for this chip; a bogus database size
// beyond program space must not index past it.
int flash_limit() {
    int size = device.flash_size;
    if (size > PROGRAM_SPACE) size = PROGRAM_SPACE;
    return size < 0 ? 0 : size;
}

// A row or block without any cell that has bit 15 clear holds nothing to write.
bool block_is_empty(int start, int count) {
    unsigned all = 0xFFFF;
    for (int k = 0; k < count; ++k) all &= image[start + k];
    return (all & 0x8000) != 0;
}

void write_row(int start, int n) {
    prog_set_address(start);
    if (!(write_flags & WF_BULK_ERASE)) {
        link_send_command(CMD_ROW_ERASE);
        prog_delay_us(device.row_erase_time);
    }
    // The chip's latches take n words; the cursor ends on the row's last word.
    for (int k = 0; k < n; ++k) {
        prog_load_program_word(image[start + k]);
        if (k < n - 1) prog_increment(1);
    }
    link_send_command(CMD_BEGIN_PROGRAMMING);
    prog_delay_us(device.prog_time);
    prog_sync();
    ui_progress_step(n);
}

void write_rows(int n) {
    for (int a = 0; a < flash_limit(); a += n) {
        if (!block_is_empty(a, n)) write_row(a, n);
    }
}

// One programming cycle per word that holds data; a sync every 32 addresses
// keeps the programmer's queue short even where nothing is written.
void write_words() {
    for (int a = 0; a < flash_limit(); ++a) {
        if (image[a] <= 0x3FFF) {
            prog_set_address(a);
            prog_load_program_word(image[a]);
            link_send_command(CMD_BEGIN_PROGRAMMING);
            prog_delay_us(device.prog_time);
            ui_progress_step(1);
        }
        if ((a & 0x1F) == 0) prog_sync();
    }
}

void verify_blocks(int m) {
    uint16_t buf[MAX_ROW];
    for (int b = 0; b < flash_limit(); b += m) {
        if (block_is_empty(b, m)) continue;
        prog_set_address(b);
        prog_read_block(b, m, buf);
        for (int k = 0; k < m; ++k) {
            if (((image[b + k] ^ buf[k]) & 0x3FFF) != 0) fail("\nVerify Error!");
        }
        ui_progress_step(m);
    }
}

}  // namespace

void write_program_flash() {
    int n = device.row_size;
    bool rows = n > 0;
    // Larger rows are refused when the chip is identified; never trust it here.
    if (n > MAX_ROW) n = MAX_ROW;
    ui_print("\nProgramming program flash...");
    ui_progress_begin("programming flash", ui_flash_cells(flash_limit(), rows ? n : 0), "words");
    if (rows) {
        write_rows(n);
    } else {
        write_words();
    }
    ui_progress_end();
    ui_print("\nVerifying program flash...");
    ui_progress_begin("verifying flash", ui_flash_cells(flash_limit(), rows ? n : WORD_MODE_BLOCK), "words");
    verify_blocks(rows ? n : WORD_MODE_BLOCK);
    ui_progress_end();
}
