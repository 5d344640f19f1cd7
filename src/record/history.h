// /HISTORY=<file>: one JSON line per chip a run reached, appended to a file
// that a production line keeps, so every board can be traced to the time,
// port, chip, file, checksum and serial number it was programmed with.
#pragma once

// Appends this run's line, from the exit path, and has it on the disk before
// the process ends. Returns false when the line could not be written to a
// run that had succeeded: such a run must end with exit code 1.
bool history_write(const char* path);
