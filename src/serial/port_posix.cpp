// Placeholder until this module is written.
#include "serial/port.h"
#ifndef _WIN32
int port_open(int, int) { return 0; }
int port_open_path(const char*, int) { return 0; }
int port_close() { return 1; }
int port_read_byte() { return -1; }
int port_read(unsigned char*, int) { return 0; }
int port_write_byte(int) { return 0; }
int port_write(const unsigned char*, int) { return 0; }
int port_rx_pending() { return 0; }
int port_tx_pending() { return 0; }
int port_wait_rx(int) { return 0; }
int port_hung_up() { return 0; }
void port_write_from_signal(const unsigned char*, int) {}
#endif
