// The program's three files, <base>.cfg (settings), <base>.dat (device
// database) and <base>.log (communication log), and where they lie: beside
// the executable, or on POSIX in the per-user configuration directory when
// the executable's directory takes no new files.
#pragma once

// argv[0] without its extension, directory kept; names <base>.cfg/.dat/.log.
extern char program_base_path[256];
// Last component of the base path; names the program in texts.
extern char program_stem[32];

// <base> + suffix; the base path is at most 255 characters, so it always fits.
struct FileName {
    char text[256 + 16];
};

// Splits argv[0] into base path and stem. `slash_separates` is true on POSIX
// builds, where '/' separates directories too. Returns 0 when it does not fit.
int split_program_path(const char* argv0, bool slash_separates, char* base, int base_size,
                       char* stem, int stem_size);
// Sets program_base_path and program_stem from argv[0]. Returns nullptr, or
// the message to end the run with when either does not fit.
const char* files_locate(const char* argv0);
FileName file_name(const char* suffix);
// Creates the per-user directory when the files live there and it is not
// there yet; called before a file is created. Returns 0 when it cannot be made.
int files_prepare_dir();
