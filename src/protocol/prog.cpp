// Placeholder until this module is written.
#include "protocol/prog.h"
int address_cursor;
void prog_set_vpp_voltage(int) {}
void prog_set_repeat(int) {}
void prog_sync() {}
void prog_delay_us(int) {}
void prog_load_program_word(int) {}
void prog_increment(int) {}
void prog_reset_address() {}
void prog_set_address(int) {}
void prog_read_block(int, int, uint16_t*) {}
uint16_t prog_read_word(int) { return 0; }
int prog_write_word_checked(int) { return -1; }
