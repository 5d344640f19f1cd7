// Programmer commands and the address cursor. The target's address counter can
// only be reset, set to the start of configuration space, or moved forward, so
// the host keeps a copy of it and reaches every address with these moves alone.
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
void prog_read_block(int address, int count, uint16_t* words);
uint16_t prog_read_word(int address);
int prog_write_word_checked(int word);  // word read back, or -1
