// /VERIFY and /UPDATE: the chip compared with what an upload of the image
// would leave on it. /VERIFY only reads; /UPDATE writes only what differs and
// ends with the chip exactly as a full upload would leave it.
#pragma once

// /VERIFY: reads the chip and lists the cells that differ from the image; with
// `blank_check` (no HEX file, no range command) every flash, user ID and data
// EEPROM cell must be erased. Prints "\nOk!" when all agree; otherwise notes
// the failure (a count of the mismatches) and returns false.
bool verify_target(bool blank_check, bool from_file);

struct WritePlan;
// False when the plan would refuse the calibration word the PIC12F629 family
// keeps (the fill's, or the chip's own at O): the upload fails on it with
// "improper oscillator calibration instruction!", and so do /VERIFY and /UPDATE.
bool calibration_word_usable(const WritePlan& plan);

// /UPDATE: the write sequence for the run's image, writing only what differs.
bool update_target();

// The words configuration word 1 compares on: bits the family keeps from the
// chip (S) and bits the chip holds at zero (outside Z) do not count.
unsigned config1_compare_mask();
// The bits configuration word `i` compares on: for word 1 as above, and on
// families that read unimplemented bits as 0, only the part's implemented ones.
unsigned config_compare_mask(int i);

// The address of the calibration word a PIC12F629-family chip keeps as its
// own (so it is not compared), or -1 when a fill gave one or the family keeps none.
int kept_osccal_address();
