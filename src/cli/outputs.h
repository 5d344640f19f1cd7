// The files a run writes (/SAVE=, /JSON=, /LOG=, /HISTORY= and the serial
// counter) and the HEX file it reads, checked before the port is opened: no
// output may take the place of the HEX file, of another output or of the
// program's own files, and each must be writable, so that a run never
// programs a chip and then finds it cannot say so.
#pragma once

// Refuses a second HEX file name; returns the name to use.
const char* take_hex_argument(const char* earlier, const char* arg);
// The HEX file exists and can be read; otherwise "cannot open hex input file!"
// with the file and the OS's reason on standard error.
void check_hex_input(const char* hexfile);
// Outputs against the HEX file, one another and the program's own files;
// then every output is writable.
void check_output_files(const char* hexfile);
// "cannot open hex input file!", then "picup: <file>: <reason>"; exit 1.
[[noreturn]] void fail_hex_unreadable(const char* hexfile, int error);
