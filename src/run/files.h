// The program's three files, <base>.cfg (settings), <base>.dat (device
// database) and <base>.log (communication log), and where they lie: beside
// the executable, or on POSIX in the per-user configuration directory when
// the executable's directory takes no new files.
#pragma once

// <base> + suffix; the base path is at most 255 characters, so it always fits.
struct FileName {
    char text[256 + 16];
};

// Sets program_base_path and program_stem from argv[0]. Ends the run with a
// message when either does not fit.
void files_locate(const char* argv0);
FileName file_name(const char* suffix);
// Creates the per-user directory when the files live there and it is not
// there yet; called before a file is created. Returns 0 when it cannot be made.
int files_prepare_dir();
