// One verify for every region: reads the chip in block reads and compares it
// with the image, noting each differing cell (address, chip value, expected
// value) in the run result instead of ending the run. The caller decides what
// a mismatch means and prints its own message.
#pragma once
#include "ops/result.h"

struct VerifySpan {
    MemoryRegion region;
    int first;             // first cell
    int count;             // cells
    int block;             // words per block compared (skipped when empty), 1 to 255;
                           // consecutive blocks are read together, 255 words a read
    unsigned mask;         // bits compared: 0x3FFF for words, 0xFF for EEPROM bytes
    bool skip_empty;       // blocks without data are not read
    bool whole_blocks;     // empty cells of a block that is read must read erased
    bool position_first;   // position the cursor before each block read as well
    bool stop_at_first;    // stop after the block that holds the first mismatch
    int exclude;           // a cell never compared (the kept calibration word), or -1
};

struct VerifyOutcome {
    long mismatches;  // differing cells found; each is noted in run_result
    int blocks;       // blocks compared
};
VerifyOutcome verify_span(const VerifySpan& span);
// The erased value of a cell of `region`.
unsigned erased_value(MemoryRegion region);
