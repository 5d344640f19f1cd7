// Program flash writer (row mode or word mode) and its verify pass. Returns
// false after noting "\nVerify Error!" in the run result.
#pragma once

// `row_erase`: rows are erased one by one before they are written (no bulk
// erase came before).
bool write_program_flash(bool row_erase);
// The verify pass alone, as the writer runs it after writing.
bool verify_program_flash();
// Rows of flash the writer latches at once (0: word programming), at most 32.
int flash_row_size();
// One row erased (unless `row_erase` is false), loaded from the image (empty
// cells as erased words), programmed and synced.
void flash_write_row(int start, int n, bool row_erase);
