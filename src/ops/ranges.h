// /READ, /ERASE and /FILL over the image's address map.
#pragma once

// Each runs only when `from` is not negative (the option was given).
void show_range(int from, int to);
void erase_range(int from, int to);
void fill_range(int from, int to, int value);
void prepare_range(int from, int to);
void read_back_row(int address);
