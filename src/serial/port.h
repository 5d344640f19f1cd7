// The one serial port of the process. Reads never wait; writes return when the
// driver has taken every byte. Waiting with a time-out is built above this layer
// on port_wait_rx, port_rx_fetch and the clock. Every operation is harmless
// while no port is open: writes send nothing, reads report no byte, counts are
// 0, close returns 1.
#pragma once

int port_open(int number, int baud);             // 1 on success, 0 on failure
int port_open_path(const char* path, int baud);  // same, for a device path
// After a failed open: the device that was tried ("/dev/ttyUSB0", "\\.\COM3")
// and why, in the OS's words where it gave a reason ("Permission denied").
const char* port_failed_device();
const char* port_failed_reason();
// The open port's device ("/dev/ttyUSB0", "\\.\COM3") and rate, for messages;
// "" and 0 while none is open.
const char* port_device();
int port_baud();
// Sets the open port to another rate once the bytes written so far have left
// at the old one, and drops what arrived at the old rate (it can only be
// garbled). 1 on success; 0 when no port is open or the driver refuses the
// rate, and the port then keeps the rate it had.
int port_set_baud(int baud);
int port_close();                                // always 1
int port_read_byte();                            // 0..255, or -1 when nothing waits
int port_read(unsigned char* buffer, int count); // bytes read
int port_write_byte(int byte);                   // bytes written, 0 or 1
int port_write(const unsigned char* buffer, int count);
int port_rx_pending();                           // bytes in the input queue
int port_tx_pending();                           // bytes still in the output queue

// Waits at most `ms` milliseconds for input and returns as soon as a byte is
// there; returns the input-queue count. Used for the 5 ms poll of the link, so a
// reply is picked up when it arrives and not at the next tick.
int port_wait_rx(int ms);

// Takes in every byte the driver holds and returns how many wait in all.
// port_rx_pending answers from the bytes already taken while there are any;
// this always asks the driver, so the link can watch a reply come in.
int port_rx_fetch();

// Wire time of one byte (start, 8 data and stop bits) at the rate the port
// was opened with: what a reply byte takes at the least on a UART line.
long port_byte_time_ns();

// Non-zero once the device has gone away (USB adapter pulled, pseudo-terminal
// closed): nothing will ever arrive again, so waiting on it is pointless.
int port_hung_up();

// Writes straight to the device with async-signal-safe calls only; for the
// last-resort VPP-off frame of a second Ctrl+C. Does nothing while closed.
void port_write_from_signal(const unsigned char* buffer, int count);

// Gives the driver back the settings this run changed (its low-latency
// mode), as port_close does, with async-signal-safe calls only; for the
// last-resort exit, which ends the process without closing the port.
void port_restore_from_signal();

// The write that has not gone out whole: the one in progress, or the last one
// when it ended short (Ctrl+C while the driver's queue was full, the device
// gone). Returns its length and gives its buffer and the bytes the driver has
// taken of it; returns 0 when every write went out whole. Safe to call from a
// signal handler: the port holds the interrupt signals while it updates this.
int port_unfinished_write(const unsigned char** buffer, int* taken);
