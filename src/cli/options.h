// Command line, settings file (<base>.cfg) and usage text.
#pragma once

// The program base path and stem, and the number syntax, live with the OS layer
// below so that every layer may name the program and read numbers.
#include "platform/files.h"
#include "platform/platform.h"

struct Settings {
    int com_port = 1;
    char com_path[256] = "";  // /COM=<device path>; empty when a numbered port is used
    int baud = 115200;
    int read_from = -1, read_to = -1;
    int erase_from = -1, erase_to = -1;
    int fill_from = -1, fill_to = -1;
    int fill_value = 0;
    int osccal = 0;
    int info = 0;
    char save_path[256] = "";  // /SAVE=<hexfile>; empty when not given
    int verify = 0;            // /VERIFY: compare the chip with the file, write nothing
    int update = 0;            // /UPDATE: write only what differs
    int no_store = 0;          // /NOSTORE: /COM and /BAUD= for this run only
    char log_path[256] = "";   // /LOG=<file>: the log's name instead of <base>.log
    char json_path[256] = "";  // /JSON=<file>: the run record; "-" for stdout
    char part[21] = "";        // /PART=<name>: the only part the run may write
    char history_path[256] = "";  // /HISTORY=<file>: one line per chip appended
    int checksum = 0;          // /CHECKSUM: print the device checksum, write nothing
};
// /CHECKSUM /PART=<name> of a HEX file: the part comes from the table, and
// the run needs no programmer.
bool checksum_without_port(const char* hexfile);
extern Settings settings;

int parse_range(const char* text, int* from, int* to);  // value after ',' or -1
int apply_option(const char* word);  // 1 when COM or BAUD was set, else 0
[[noreturn]] void print_usage();
// /PARTS: the supported parts, grouped by family, then exit code 0.
[[noreturn]] void print_parts();
// "picup <version>" and the paths of the three files, then exit code 0.
[[noreturn]] void print_version();
// Arguments that start with '-': --help, -h and -? print the usage text,
// --version and -V the version; anything else is an unknown option.
void check_dash_argument(const char* arg);
// Reads the settings file, applies the command line, opens the port, then
// rewrites the settings (only once the port took them) and opens the log.
// Returns the HEX file name or nullptr, and the settings in `out`.
const char* load_options(int argc, char** argv, Settings* out);
