// Program flash writer (row mode or word mode) and its verify pass. Returns
// false after noting "\nVerify Error!" in the run result.
#pragma once

// `row_erase`: rows are erased one by one before they are written (no bulk
// erase came before).
bool write_program_flash(bool row_erase);
// The verify pass alone, as the writer runs it after writing.
bool verify_program_flash();
// Rows of flash the writer latches at once (0: word programming), at most 32:
// the erase row, or on chips without rows their latch block.
int flash_row_size();
// Words one programming cycle writes within a row of `row` words: the part's
// write latches, never more than the row.
int flash_latch_count(int row);
// One row erased (unless `row_erase` is false), loaded from the image (empty
// cells as erased words) and programmed a latch block at a time, then synced.
void flash_write_row(int start, int n, bool row_erase);
