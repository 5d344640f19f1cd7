// /SAVE=<hexfile>: reads the chip out (program flash, user IDs, configuration
// words, data EEPROM; not the device ID) into an Intel HEX file laid out as the
// chip's assembler lays it out, so the reader maps it back onto the same cells
// and an upload of the file restores the chip as it was.
// The file is written under a temporary name and renamed when complete.
#pragma once

void save_target(const char* path);
// Removes a half-written temporary file; called by the exit handler.
void save_abandon();
