// Frame link to the programmer. Outgoing frames collect in the transmit buffer
// and go out in one write when it fills or before a reply is read, so long
// runs of commands without replies cost one write per 256 bytes.
#include "protocol/link.h"

#include <cstdint>

#include "platform/platform.h"
#include "protocol/protocol.h"
#include "ui/fail.h"
#include "serial/port.h"
#include "ui/diagnose.h"
#include "ui/progress.h"

LinkState link_state;
WireTotals wire_totals;

namespace {

// A log line holds up to 17 bytes before a new one is started.
constexpr int LOG_LINE_BYTES = 17;
// The first look at bytes coming in, made before their rate is known: short
// enough that bytes much faster than the baud rate are not overslept by more
// than this, long enough (with at least a byte's wire time on top, see
// await_following) to see several of them arrive and so measure their rate.
constexpr long long FIRST_LOOK_US = 300;
// Looks at the end of a reply come this much after its last byte is due.
constexpr long long LOOK_MARGIN_US = 20;

const char* const COMM_ERROR = "\ncommunication error!";

void log_text(const char* text) {
    if (link_state.log_on && link_state.log_file != nullptr) std::fputs(text, link_state.log_file);
}

// Waits up to `waits` poll periods of POLL_MS for a byte. The wait is one
// call that returns the moment input arrives (or the device goes away, or a
// signal comes in), so a reply is taken when it comes and the host does not
// wake every 5 ms while the programmer is busy; the time-out stays the same.
// `waited` tells whether the byte had to be waited for.
int read_timed(int waits, bool& waited) {
    waited = false;
    long start = platform_clock_ms();
    long limit = static_cast<long>(waits) * POLL_MS;
    for (;;) {
        if (port_rx_pending() > 0) return link_take_byte();
        if (port_hung_up()) fail(COMM_ERROR);
        long spent = platform_clock_ms() - start;
        if (spent >= limit) break;
        check_interrupt();
        waited = true;
        port_wait_rx(static_cast<int>(limit - spent));
    }
    log_text(" !!! Timeout !!!");
    return -1;
}

// Bytes that follow one another (a read reply, the echo of a batch) are not
// awaited one wake-up at a time: at 115200 baud that would be a system call and
// a context switch every 87 us. Once input has arrived, the host sleeps through
// the time the missing bytes need and looks again. How fast they come is
// measured, not assumed: a programmer on native USB, or one running faster
// than the rate the port was set to, sends its bytes quicker than the baud
// rate, and sleeping through their wire time would keep the host waiting for
// bytes that are long there. So the first look comes after a fraction of a
// millisecond (or a byte's time at a low rate), and every later sleep lasts as
// long as the missing bytes take at the rate seen so far (never slower than
// the baud rate). A look that finds nothing new ends the sleeping: the line
// paused, and the byte waits of read_timed take over, waking the moment the
// next byte arrives and keeping the protocol's time-out for each byte.
struct Following {
    int count;                 // bytes awaited in all
    int start_have;            // bytes there when the following began
    long long start_us;        // when it began, just after input arrived
    long long line_ns;         // a byte's wire time at the baud rate
    long long per_byte_ns;     // the rate seen so far; -1 before the first look
};

long long next_pause_us(const Following& f, int have) {
    long long missing = f.count - have;
    if (f.per_byte_ns < 0) {
        long long first_look_us = f.line_ns * 5 / 4000;  // a byte comes in at the baud rate
        if (first_look_us < FIRST_LOOK_US) first_look_us = FIRST_LOOK_US;
        long long at_baud = missing * f.line_ns / 1000;
        return at_baud < first_look_us ? at_baud : first_look_us;
    }
    // Until the last byte is due at that rate, counted from the start (a byte
    // that came just before the look does not push the rest back), and a
    // little more so as not to look just too early; never longer than the
    // missing bytes take at that rate.
    long long margin_us = f.per_byte_ns / 4000 < LOOK_MARGIN_US ? f.per_byte_ns / 4000 : LOOK_MARGIN_US;
    long long due = f.start_us + (f.count - f.start_have) * f.per_byte_ns / 1000 + margin_us;
    long long at_rate = missing * f.per_byte_ns / 1000;
    long long pause = due - platform_clock_us();
    return pause <= 0 || pause > at_rate ? at_rate : pause;
}

// `timeout_ms` is the time-out of each byte; no single sleep lasts longer
// than a quarter of it.
void await_following(int count, int timeout_ms) {
    if (count <= 1) return;  // a single byte is taken when it comes
    int have = port_rx_fetch();
    if (have >= count) return;
    long long line_ns = port_byte_time_ns() > 0 ? port_byte_time_ns() : 1;
    Following f{count, have, platform_clock_us(), line_ns, -1};
    long long longest_us = static_cast<long long>(timeout_ms) * 250;
    while (have < count && !port_hung_up()) {
        long long pause = next_pause_us(f, have);
        if (pause > longest_us) pause = longest_us;
        check_interrupt();
        platform_sleep_us(static_cast<long>(pause < 1 ? 1 : pause));
        int now_have = port_rx_fetch();
        if (now_have <= have) return;
        long long spent_ns = (platform_clock_us() - f.start_us) * 1000;
        f.per_byte_ns = spent_ns / (now_have - f.start_have);
        if (f.per_byte_ns > line_ns) f.per_byte_ns = line_ns;
        have = now_have;
    }
}

// The line echoes: every byte written comes back unchanged and before any
// reply, so each one is read back and compared.
void check_echo(const unsigned char* sent, int count) {
    for (int i = 0; i < count; ++i) {
        bool waited = false;
        int echo = read_timed(ECHO_WAITS, waited);
        if (echo < 0 || echo != sent[i]) fail(COMM_ERROR);
        if (waited || i == 0) await_following(count - i - 1, ECHO_WAITS * POLL_MS);
    }
}

// Bytes waiting before a frame are stale (late replies, calibration ticks)
// and are dropped, except a NAK: the programmer refused an earlier frame, so
// nothing after it can be trusted. It is logged and the run ends silently.
void drain_input() {
    while (port_rx_pending() > 0) {
        int b = link_take_byte();
        if (b < 0) return;
        if (b == REPLY_NAK) link_refused();
    }
}

// After the first byte of a read reply, and after every byte that had to be
// waited for, the rest of the reply is followed as it comes in.
void follow_reply(int received, bool waited) {
    if (received < 0) {
        link_state.rx_expected = 0;
        return;
    }
    if (link_state.rx_expected <= 0) return;
    bool first = link_state.rx_expected == link_state.rx_reply_length;
    --link_state.rx_expected;
    if ((first || waited) && link_state.rx_expected > 1)
        await_following(link_state.rx_expected, REPLY_WAITS * POLL_MS);
}

// Every write ends at a frame boundary: a frame that does not fit behind the
// queued ones sends them first. A frame split over two writes would be left
// half-sent when the run ends after the first of them (a wrong echo, a NAK,
// Ctrl+C); the exit handler's VPP-off bytes would then complete it as a broken
// frame, the programmer would refuse it, and VPP would stay on. Only the write
// boundaries move; the bytes on the wire stay the same.
void begin_frame(int size) {
    link_state.rx_sum = 0;
    link_state.rx_expected = 0;
    drain_input();
    if (link_state.tx_count + size > static_cast<int>(sizeof link_state.tx_buffer)) link_flush();
    link_state.tx_frame_size[link_state.tx_count] = static_cast<unsigned char>(size);
}

// Codes the programmer answers; the host waits for each answer. The probe
// never passes here (it is written raw and counted where it is sent).
void count_reply(int code) {
    if (code != CMD_PROBE && protocol_expects_reply(code)) ++wire_totals.replies;
}

}  // namespace

int link_take_byte() {
    int b = port_read_byte();
    if (b >= 0) ++wire_totals.bytes_in;
    return b;
}

int link_put_raw(const unsigned char* bytes, int count) {
    int written = port_write(bytes, count);
    wire_totals.bytes_out += written;
    return written;
}

void link_queue_byte(int byte) {
    link_state.tx_buffer[link_state.tx_count++] = static_cast<unsigned char>(byte);
    if (link_state.tx_count >= static_cast<int>(sizeof link_state.tx_buffer)) link_flush();
}

void link_flush() {
    int count = link_state.tx_count;
    if (count == 0) return;
    int sent = link_put_raw(link_state.tx_buffer, count);
    ui_count_sent(sent);
    if (link_state.echo_mode) check_echo(link_state.tx_buffer, sent);
    // The port gives up on a write only for Ctrl+C or a device that has gone;
    // the exit handler completes the frame it stopped in.
    if (sent < count) {
        check_interrupt();
        fail(COMM_ERROR);
    }
    link_state.tx_count = 0;
}

int link_read_timed(int waits) {
    bool waited = false;
    return read_timed(waits, waited);
}

int link_receive_byte() {
    link_flush();
    bool waited = false;
    int r = read_timed(REPLY_WAITS, waited);
    link_state.rx_sum += r;
    if (r >= 0) log_byte(r, LOG_RX);
    follow_reply(r, waited);
    return r;
}

void link_refused() {
    log_byte(REPLY_NAK, LOG_RX);
    ui_report_nak();
    fail_silent();
}

void link_expect_reply(int bytes) {
    link_state.rx_expected = bytes;
    link_state.rx_reply_length = bytes;
}

int link_receive_word() {
    int low = link_receive_byte();
    if (low < 0) return -1;
    int high = link_receive_byte();
    if (high < 0) return -1;
    return low + 256 * high;
}

int link_receive_checksum() {
    if (link_receive_byte() < 0) return -1;
    return link_state.rx_sum & 0xFF;
}

void link_send_command(int code) {
    begin_frame(2);
    count_reply(code);
    log_byte(code, LOG_TX);
    link_queue_byte(code);
    link_queue_byte((256 - (code & 0xFF)) & 0xFF);
}

// The frame's length follows from its code (protocol.h); the caller gives
// exactly the code and its arguments.
void link_send_frame(const unsigned char* bytes, int count) {
    begin_frame(count + 1);
    // Frames that load a word or an EEPROM byte for programming are what the
    // summary counts as written.
    if (count > 0 && (bytes[0] == CMD_LOAD_PROGRAM || bytes[0] == CMD_LOAD_DATA)) ui_count_word_loaded();
    if (count > 0) count_reply(bytes[0]);
    int sum = 0;
    for (int i = 0; i < count; ++i) {
        log_byte(bytes[i], LOG_TX);
        link_queue_byte(bytes[i]);
        sum += bytes[i];
    }
    link_queue_byte((256 - (sum & 0xFF)) & 0xFF);
}

// The buffer is left alone after a cut write (the run ends), so its frame
// sizes still describe what the port was writing.
int link_rest_of_frame(const unsigned char** rest) {
    const unsigned char* buffer = nullptr;
    int taken = 0;
    int count = port_unfinished_write(&buffer, &taken);
    auto start = reinterpret_cast<std::uintptr_t>(link_state.tx_buffer);
    auto at_address = reinterpret_cast<std::uintptr_t>(buffer);
    if (count <= 0 || at_address < start || at_address >= start + sizeof link_state.tx_buffer) return 0;
    int at = static_cast<int>(at_address - start) + taken;
    int frame = 0;
    while (frame < at) {
        int size = link_state.tx_frame_size[frame];
        if (size == 0) return 0;
        if (frame + size > at) {
            *rest = link_state.tx_buffer + at;
            return frame + size - at;
        }
        frame += size;
    }
    return 0;
}

// Log format: one line per direction run, "Tx:" or "Rx:" then up to 17 bytes
// as " %02x". Check bytes, echoes and raw frames never reach here.
void log_byte(int byte, LogDirection direction) {
    if (!link_state.log_on || link_state.log_file == nullptr) return;
    if (direction != link_state.log_direction || link_state.log_line_count >= LOG_LINE_BYTES) {
        std::fputs(direction == LOG_TX ? "\nTx:" : "\nRx:", link_state.log_file);
        link_state.log_direction = direction;
        link_state.log_line_count = 0;
    }
    std::fprintf(link_state.log_file, " %02x", byte & 0xFF);
    ++link_state.log_line_count;
}

void log_end() {
    if (link_state.log_file == nullptr) return;
    std::fputs("\n--------------- end of log --------------\n", link_state.log_file);
    std::fclose(link_state.log_file);
    link_state.log_file = nullptr;
    link_state.log_on = false;
}
