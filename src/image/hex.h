// Intel HEX reader: data (00), end of file (01) and extended linear address (04)
// records into the image, with the type-1 address move.
#pragma once
#include <cstdint>
#include <cstdio>

int hex_read_byte();  // from the stream being loaded; -1 on a non-hex digit or end of file
// 0: end record read; 1: end of file without end record; -1: failed.
int hex_load(std::FILE* stream, uint16_t* image_cells, int flash_size);
