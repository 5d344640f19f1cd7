// Placeholder until this module is written.
#include "ops/ranges.h"
void show_range() {}
void erase_range() {}
void fill_range() {}
void prepare_range(int, int) {}
void read_back_row(int) {}
