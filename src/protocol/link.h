// Frame link: frames queue in a 256-byte transmit buffer and go out in one
// write when it fills or before any reply is read; echoes are checked; a NAK
// waiting before a frame ends the run; reply bytes are awaited with time-outs
// and summed for the read checksum; logged bytes go to <base>.log.
#pragma once
#include <cstdio>

enum LogDirection { LOG_NONE, LOG_TX, LOG_RX };

struct LinkState {
    unsigned char tx_buffer[256];
    int tx_count;
    bool echo_mode;
    int rx_sum;
    int rx_expected;      // reply bytes still to come, when the command says how many
    int rx_reply_length;  // the whole reply's length, set with rx_expected
    bool log_on;
    std::FILE* log_file;
    LogDirection log_direction;
    int log_line_count;
};
extern LinkState link_state;

enum : int {
    POLL_MS = 5,
    REPLY_WAITS = 200,
    ECHO_WAITS = 10,
};

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
void log_byte(int byte, LogDirection direction);
void log_end();  // writes the end-of-log line and closes the log
