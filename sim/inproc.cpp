// The serial port and the clock of the product, served by the emulated
// programmer on a virtual clock: sleeping and waiting move virtual time
// forward, so a run that would take seconds on the wire takes microseconds.
#include "sim/inproc.h"

#include <memory>

#include "platform/platform.h"
#include "serial/port.h"

namespace {

struct State {
    std::unique_ptr<sim::Programmer> programmer;
    double now_us = 0;
    bool open = false;
    long byte_ns = 86806;  // at the rate port_open was given
    int baud = 0;          // the host's rate while the port is open
    long waits = 0;
    double last_due_us = -1;  // when the byte read last reached the host's side
    std::vector<uint8_t> bytes;
    std::vector<std::vector<uint8_t>> writes;
    int cut_next = -1;  // the next write takes only this many bytes
    const unsigned char* unfinished = nullptr;
    int unfinished_count = 0;
    int unfinished_taken = 0;
};

State& state() {
    static State s;
    if (!s.programmer) s.programmer = std::make_unique<sim::Programmer>(sim::Config());
    return s;
}

sim::Programmer& prog() { return *state().programmer; }

// Host bytes leave at the current time; on a paced line the write also takes
// the bytes' wire time.
int deliver(const unsigned char* buffer, int count) {
    State& s = state();
    if (!s.open || count <= 0) return 0;
    s.unfinished_count = 0;
    if (s.cut_next >= 0 && s.cut_next < count) {
        s.unfinished = buffer;
        s.unfinished_count = count;
        s.unfinished_taken = s.cut_next;
        count = s.cut_next;
    }
    s.cut_next = -1;
    if (count == 0) return 0;
    s.bytes.insert(s.bytes.end(), buffer, buffer + count);
    s.writes.emplace_back(buffer, buffer + count);
    s.programmer->receive(buffer, static_cast<size_t>(count), s.now_us);
    const sim::Config& c = s.programmer->config();
    if (c.paced) s.now_us += count * 10e6 / c.line_baud();
    return count;
}

}  // namespace

namespace inproc {

void reset(const sim::Config& config) {
    State& s = state();
    s.programmer = std::make_unique<sim::Programmer>(config);
    s.now_us = 0;
    s.open = false;
    s.baud = 0;
    s.waits = 0;
    s.last_due_us = -1;
    s.bytes.clear();
    s.writes.clear();
    s.cut_next = -1;
    s.unfinished_count = 0;
}

void cut_next_write(int taken) { state().cut_next = taken; }

sim::Programmer& programmer() { return prog(); }
sim::Target& target() { return prog().target(); }
const std::vector<uint8_t>& host_bytes() { return state().bytes; }
const std::vector<std::vector<uint8_t>>& host_writes() { return state().writes; }
void clear_trace() {
    state().bytes.clear();
    state().writes.clear();
    state().waits = 0;
}
long waits() { return state().waits; }
double last_byte_due_us() { return state().last_due_us; }
double now_us() { return state().now_us; }

}  // namespace inproc

namespace {

int set_rate(int baud) {
    if (baud <= 0) return 0;
    state().byte_ns = static_cast<long>(10'000'000'000LL / baud);
    state().baud = baud;
    prog().host_rate(baud);
    return 1;
}

int open_at(int baud) {
    if (!set_rate(baud)) return 0;
    state().open = true;
    return 1;
}

}  // namespace

int port_open(int number, int baud) {
    if (number < 1 || number > 99) return 0;
    return open_at(baud);
}

int port_open_path(const char* path, int baud) {
    if (!path || !*path) return 0;
    return open_at(baud);
}

// The emulated line takes every rate at once; what was written has reached
// the programmer already, and what has arrived is dropped as a port does.
int port_set_baud(int baud) {
    State& s = state();
    if (!s.open || !set_rate(baud)) return 0;
    while (s.programmer->read_byte(s.now_us) >= 0) {
    }
    return 1;
}

int port_close() {
    state().open = false;
    state().baud = 0;
    state().unfinished_count = 0;
    return 1;
}

int port_read_byte() {
    State& s = state();
    if (!s.open) return -1;
    double due = s.programmer->head_us();
    int b = s.programmer->read_byte(s.now_us);
    if (b >= 0) s.last_due_us = due;
    return b;
}

int port_read(unsigned char* buffer, int count) {
    int n = 0;
    while (n < count) {
        int b = port_read_byte();
        if (b < 0) break;
        buffer[n++] = static_cast<unsigned char>(b);
    }
    return n;
}

int port_write_byte(int byte) {
    unsigned char b = static_cast<unsigned char>(byte);
    return deliver(&b, 1);
}

int port_write(const unsigned char* buffer, int count) { return deliver(buffer, count); }

int port_rx_pending() {
    State& s = state();
    if (!s.open) return 0;
    return static_cast<int>(s.programmer->available(s.now_us));
}

int port_tx_pending() { return 0; }

// Advances virtual time to the next reply byte, or by `ms` when none comes
// sooner.
int port_wait_rx(int ms) {
    State& s = state();
    if (!s.open) return 0;
    ++s.waits;
    int n = port_rx_pending();
    if (n > 0) return n;
    double deadline = s.now_us + (ms > 0 ? ms : 0) * 1000.0;
    double next = s.programmer->next_output_us(s.now_us);
    s.now_us = (next >= 0 && next <= deadline) ? next : deadline;
    return port_rx_pending();
}

int port_rx_fetch() { return port_rx_pending(); }

long port_byte_time_ns() { return state().byte_ns; }

int port_hung_up() {
    State& s = state();
    return s.open && s.programmer->hung_up() ? 1 : 0;
}

void port_write_from_signal(const unsigned char* buffer, int count) { deliver(buffer, count); }

void port_restore_from_signal() {}

// The emulated line opens for any valid name; a refused one has no OS reason.
const char* port_failed_device() { return ""; }
const char* port_failed_reason() { return "emulated port refused"; }
const char* port_device() { return "emulated port"; }
int port_baud() { return state().baud; }

int port_unfinished_write(const unsigned char** buffer, int* taken) {
    State& s = state();
    if (s.unfinished_count <= 0) return 0;
    *buffer = s.unfinished;
    *taken = s.unfinished_taken;
    return s.unfinished_count;
}

void platform_sleep_ms(int ms) { platform_sleep_us(ms * 1000L); }

void platform_sleep_us(long us) {
    if (us <= 0) return;
    ++state().waits;
    state().now_us += static_cast<double>(us);
}

long platform_clock_ms() { return static_cast<long>(state().now_us / 1000.0); }
long long platform_clock_us() { return static_cast<long long>(state().now_us); }
