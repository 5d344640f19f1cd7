// Intel HEX reader: data (00), end of file (01) and extended linear address (04)
// records into the image, with the type-1 address move.
#pragma once
#include <cstdint>
#include <cstdio>

int hex_read_byte();  // from the stream being loaded; -1 on a non-hex digit or end of file
// 0: end record read, and the file held data for the chip; -1: failed. A file
// without an end record or without data is refused, as is data for a cell the
// connected chip (the DeviceRecord) does not have. Data for the read-only words
// 0x8004..0x8006 is skipped.
int hex_load(std::FILE* stream, uint16_t* image_cells, int flash_size);

// Why the last hex_load failed, and the line of the file (from 1) where: the
// offending character, or the record's first line; 0 for the whole file.
enum HexFault : int {
    HEX_FAULT_NONE,      // no failure, or one the reader has already reported
    HEX_FAULT_DIGIT,     // a character inside a record is not a hexadecimal digit
    HEX_FAULT_SHORT,     // a line ends inside a record
    HEX_FAULT_END,       // the file ends inside a record
    HEX_FAULT_CHECKSUM,  // the record's bytes do not sum to 0
    // The whole file; a message on standard output has been printed too.
    HEX_FAULT_NO_RECORD, // not one record in the file
    HEX_FAULT_NO_DATA,   // records, but no data for the chip
    HEX_FAULT_NO_END,    // data, but the file ends without an end record
};
HexFault hex_fault();
// The message the last load printed on standard output, nullptr when none.
const char* hex_message();
int hex_fault_line();
// The first and last read-only word whose data the last load skipped; -1: none.
long hex_skipped_first();
long hex_skipped_last();

// One line on standard error: "picup: <file>:<line>: <what>" for the last
// load's failure ("<file>: <what>" for one of the whole file); nothing for the
// address errors, whose message on standard output names the address.
void hex_report_fault(const char* file_name);
// "picup: <file>: data for 0x8006 skipped: ..." when the last load skipped
// data for read-only words; nothing otherwise.
void hex_report_skipped(const char* file_name);
