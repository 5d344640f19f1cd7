// Placeholder until this module is written.
#include "protocol/link.h"
LinkState link_state;
void link_queue_byte(int) {}
void link_flush() {}
int link_read_timed(int) { return -1; }
int link_receive_byte() { return -1; }
int link_receive_word() { return -1; }
int link_receive_checksum() { return -1; }
void link_send_command(int) {}
void link_send_frame(const unsigned char*, int) {}
void log_byte(int, LogDirection) {}
void log_end() {}
