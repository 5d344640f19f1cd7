// Programmer commands, the address cursor and the ICSP steps of the connected
// chip's family. The target's address counter can only be reset, set to the
// start of configuration space, or moved forward, so the host keeps a copy of
// it and reaches every address with these moves alone.
//
// The operations above say what to do (program the latched words, erase a
// row, erase the chip); which frames do it is the family's (devicedb/family.h)
// and is decided here alone.
#pragma once
#include <cstdint>

// Host address map: program 0x0000..0x7FFF, configuration 0x8000..0xEFFF,
// data EEPROM from 0xF000.
extern int address_cursor;

void prog_set_vpp_voltage(int tenths_of_volt);
void prog_set_repeat(int n);
void prog_sync();
void prog_delay_us(int microseconds);
void prog_load_program_word(int word);
void prog_increment(int n);
void prog_reset_address();
void prog_set_address(int address);
// The most words one read returns: the repeat count goes to 255. A reply of n
// words is 2n + 1 bytes.
constexpr int PROG_MAX_READ = 255;
void prog_read_block(int address, int count, uint16_t* words);  // count 1 to 255
uint16_t prog_read_word(int address);
int prog_write_word_checked(int word);  // word read back, or -1

// Every frame goes out through these operations, which end the frames sent
// since the last awaited reply with a sync wherever the next ones would not
// fit the programmer's receive buffer (256 bytes). A read's reply tells as
// much as a sync, so a sequence followed by a read needs none of its own.

// ICSP steps by the connected chip's family.
void prog_load_data_byte(int byte);      // one data EEPROM byte into its latch
// One programming cycle of what the loads latched, given `microseconds`.
void prog_program_cycle(int microseconds);
void prog_program_flash_cycle();         // the latched flash words, the part's P
void prog_program_data_cycle();          // the latched EEPROM byte, the part's D
void prog_erase_row();                   // the row that holds the address, the part's R
// Program flash, configuration words and user IDs; the counter is set into
// configuration space first, where the erase takes the user IDs as well.
void prog_erase_chip();
void prog_erase_data();                  // every data EEPROM byte

// The programmer's calibration helper: it starts sending ticks, and a sync
// stops them.
void prog_start_osccal_helper();
void prog_send_sync();
