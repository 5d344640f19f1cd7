// Intel HEX reader: data (00), end of file (01) and extended linear address (04)
// records into the image, with the type-1 address move.
#pragma once
#include <cstdint>
#include <cstdio>

int hex_read_byte();  // from the stream being loaded; -1 on a non-hex digit or end of file
// 0: end record read; 1: end of file without end record; -1: failed.
int hex_load(std::FILE* stream, uint16_t* image_cells, int flash_size);

// Why the last hex_load failed without a message of its own, and the line of
// the file (from 1) where: the offending character, or the record's first line.
enum HexFault : int {
    HEX_FAULT_NONE,      // no failure, or one the reader has already reported
    HEX_FAULT_DIGIT,     // a character inside a record is not a hexadecimal digit
    HEX_FAULT_SHORT,     // a line ends inside a record
    HEX_FAULT_END,       // the file ends inside a record
    HEX_FAULT_CHECKSUM,  // the record's bytes do not sum to 0
};
HexFault hex_fault();
int hex_fault_line();
