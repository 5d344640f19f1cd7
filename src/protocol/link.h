// Frame link: frames queue in a 256-byte transmit buffer and go out in one
// write when the next frame would not fit, when it is full or before any reply
// is read, so no frame is ever split over two writes; echoes are checked; a NAK
// waiting before a frame ends the run; reply bytes are awaited with time-outs
// and summed for the read checksum; logged bytes go to <base>.log.
#pragma once
#include <cstdio>

enum LogDirection { LOG_NONE, LOG_TX, LOG_RX };

struct LinkState {
    unsigned char tx_buffer[256];
    int tx_count;
    // Length of the frame that starts at an offset of tx_buffer, set at frame
    // starts only: a write cut short is completed to the end of its frame.
    unsigned char tx_frame_size[256];
    bool echo_mode;
    int rx_sum;
    int rx_expected;      // reply bytes still to come, when the command says how many
    int rx_reply_length;  // the whole reply's length, set with rx_expected
    // Frame bytes queued since the last frame whose reply the host awaits: what
    // the programmer may still hold unanswered in its receive buffer.
    int unanswered;
    bool log_on;
    std::FILE* log_file;
    LogDirection log_direction;
    int log_line_count;
};
extern LinkState link_state;

// What crossed the line in this run, for the run record: bytes written to and
// read from the port, and frames whose reply the host waited for (the probe,
// VPP on, sync and the reads).
struct WireTotals {
    long bytes_out;
    long bytes_in;
    long replies;
};
extern WireTotals wire_totals;

enum : int {
    POLL_MS = 5,
    REPLY_WAITS = 200,
    ECHO_WAITS = 10,
};

// The port's byte read and raw write, counted in the wire totals; every byte
// the run exchanges with the programmer passes through one of them or through
// the transmit buffer.
int link_take_byte();  // port_read_byte()
int link_put_raw(const unsigned char* bytes, int count);  // port_write()
void link_queue_byte(int byte);
void link_flush();
int link_read_timed(int waits);  // byte, or -1 after `waits` polls of 5 ms
int link_receive_byte();
int link_receive_word();
int link_receive_checksum();     // rx sum mod 256 (0 = whole reply), or -1
void link_send_command(int code);
void link_send_frame(const unsigned char* bytes, int count);
// The reply to the frame just queued is `bytes` long: once its first byte is
// in, the rest is followed in a few sleeps as it comes in, not a wake-up a byte.
void link_expect_reply(int bytes);
// The programmer refused a frame (a NAK came in): the NAK is logged, the
// reason goes to stderr, and the run ends without a console message.
[[noreturn]] void link_refused();
// When the port stopped inside a frame of the transmit buffer (a write cut
// short by Ctrl+C or a device that took nothing more), the bytes that complete
// that frame: the programmer would otherwise take the first bytes of the
// VPP-off frame as the end of it and refuse both. Gives the bytes and returns
// their count, 0 when the line stands at a frame boundary. Async-signal-safe.
int link_rest_of_frame(const unsigned char** rest);
void log_byte(int byte, LogDirection direction);
void log_end();  // writes the end-of-log line and closes the log
