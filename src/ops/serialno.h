// A serial number per chip, written into the image on top of the HEX file's
// data before the write sequence runs:
// - at the user ID words (0x8000): the number's four low nibbles, one per
//   word, the highest first, so the user ID the target report folds from the
//   words' low nibbles shows the number in hexadecimal;
// - in program flash: RETLW instructions (0x34nn), one byte each, low byte
//   first, so firmware reads it with a computed call into the table;
// - in data EEPROM (0xF000 + n): bytes, low byte first.
#pragma once
#include <cstdint>

struct SerialRequest {
    bool on;
    int address;     // 0x8000, a program flash address, or 0xF000 + n
    uint32_t first;  // the number of the first chip
    uint32_t step;   // added for every chip
    int bytes;       // program flash and EEPROM: bytes the number takes, 1 to 4
    bool taken;      // this run's chip got `number`
    uint32_t number;
};
extern SerialRequest serial_request;

enum : int { SERIAL_DEFAULT_BYTES = 2 };

// Whether `address` can hold a serial number at all: 0x8000, program space
// or data EEPROM space.
bool serial_address_valid(int address);
// Cells the number takes in the image.
int serial_cells();
// The largest number the cells hold.
uint32_t serial_limit();
// nullptr when the cells lie in the connected chip's memory (and off its
// calibration word); else the console message that ends the run.
const char* serial_check_target();
// Writes `number` into the image and adds the region's write flag.
void serial_place(uint32_t number);
