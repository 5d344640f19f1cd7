// Program flash writer (row mode or word mode) and its verify pass. Returns
// false after noting "\nVerify Error!" in the run result.
#pragma once

// `row_erase`: rows are erased one by one before they are written (no bulk
// erase came before).
bool write_program_flash(bool row_erase);
// The verify pass alone, as the writer runs it after writing.
bool verify_program_flash();
