// Placeholder until this module is written.
#include "run/options.h"
#include <cstdlib>
Settings settings;
char program_base_path[256];
char program_stem[32];
int parse_number(const char*) { return 0; }
int parse_range(const char*, int*, int*) { return -1; }
int apply_option(const char*) { return 0; }
void print_usage() { std::exit(0); }
int split_program_path(const char*, bool, char*, int, char*, int) { return 0; }
const char* load_options(int, char**) { return nullptr; }
