// /READ, /ERASE and /FILL over the image's address map.
#pragma once

void show_range();
void erase_range();
void fill_range();
void prepare_range(int from, int to);
void read_back_row(int address);
