// The emulated programmer: takes host bytes off the line, assembles frames,
// checks them, drives the target chip and schedules its reply bytes on the
// caller's clock. In paced mode the line carries 10 bits per byte, CMD_DELAY_US
// keeps the programmer busy and a USB adapter's turnaround precedes each burst
// of replies; unpaced, everything happens at the instant the bytes arrive.
#include <deque>
#include <stdexcept>
#include <utility>

#include "sim/chip.h"
#include "sim/midrange.h"
#include "sim/sim.h"

namespace sim {

namespace {

constexpr int CMD_INCREMENT_ADDRESS = 0x06;
constexpr int CMD_BEGIN_PROGRAMMING = 0x08;
constexpr int CMD_BULK_ERASE_PROGRAM = 0x09;
constexpr int CMD_BULK_ERASE_DATA = 0x0B;
constexpr int CMD_ROW_ERASE = 0x11;
constexpr int CMD_RESET_ADDRESS = 0x16;
constexpr int CMD_READ_PROGRAM = 0x44;
constexpr int CMD_READ_DATA = 0x45;
constexpr int CMD_LOAD_CONFIG = 0x80;
constexpr int CMD_LOAD_PROGRAM = 0x82;
constexpr int CMD_LOAD_DATA = 0x83;
constexpr int CMD_SYNC = 0xC0;
constexpr int CMD_PROBE = 0xC1;
constexpr int CMD_VPP_OFF = 0xC2;
constexpr int CMD_VPP_ON = 0xC3;
constexpr int CMD_OSCCAL_HELPER = 0xC7;
constexpr int CMD_SET_VPP_VOLTAGE = 0xD4;
constexpr int CMD_SET_REPEAT = 0xD5;
constexpr int CMD_DELAY_US = 0xE6;
constexpr uint8_t REPLY_ACK = 6;
constexpr uint8_t REPLY_NAK = 21;
constexpr uint8_t TICK_BYTE = 0x55;  // anything but REPLY_NAK
constexpr double TICK_US = 65536.0;

// Argument bytes of each code, -1 for codes the programmer rejects. A code
// below 0xC0 is the chip's ICSP command in its low six bits and is passed on
// whatever it is: 0x80 marks one that carries a data word, 0x40 one that
// returns data. The programmer's own codes have their own counts.
int argument_count(int code) {
    if (code < 0xC0) return (code & 0x80) ? 2 : 0;
    switch (code) {
    case CMD_SYNC: case CMD_PROBE:
    case CMD_VPP_OFF: case CMD_VPP_ON: case CMD_OSCCAL_HELPER:
        return 0;
    case CMD_SET_VPP_VOLTAGE: case CMD_SET_REPEAT:
        return 1;
    case CMD_DELAY_US:
        return 2;
    default:
        return -1;
    }
}

}  // namespace

struct Programmer::Impl {
    Config config;
    Chip chip;
    // The older mid-range parts are emulated by their own model; `chip`
    // then stands unused.
    std::unique_ptr<MidrangeChip> older;
    double older_waited_us = 0;  // delays since the last ICSP command
    double older_last_t = 0;
    double byte_us;
    double latency_us;

    // Line state.
    std::deque<std::pair<double, uint8_t>> out;  // reply bytes and their arrival times
    double last_arrival = -1e18;                 // host side of the wire
    double line_free = -1e18;                    // programmer side of the wire
    double busy_until = 0;
    bool hung = false;
    bool stalled = false;

    // Frame assembly.
    uint8_t frame[4] = {};
    int frame_len = 0;
    int repeat = 1;

    // Programmer state.
    bool vpp = false;
    int vpp_tenths = 0;
    bool ticking = false;
    double next_tick = 0;
    TimedOp pending;
    double pending_at = 0;
    double waited_us = 0;

    // Counters.
    uint64_t from_host = 0, to_host = 0, frames = 0, read_replies = 0;
    uint64_t programmer_bytes = 0, echo_bytes = 0;
    uint64_t delay_total = 0, replies = 0, lost = 0;
    uint64_t unanswered = 0, unanswered_peak = 0, overruns = 0;
    bool last_vpp_off = false;
    int host_baud;

    Impl(const Config& c, const PartInfo& part)
        : config(c), chip(part, c.device_id),
          byte_us(c.paced ? 10e6 / c.line_baud() : 0),
          latency_us(c.latency_ms * 1000.0), host_baud(c.baud) {
        if (MidrangeChip::models(part)) older = std::make_unique<MidrangeChip>(part, c.device_id);
    }

    Target& target() { return older ? static_cast<Target&>(*older) : chip; }

    // Time the older chip's running cycle has had: the delays the host asked
    // for, or on a paced line the time that passed.
    double older_since(double t) {
        double since = older_waited_us;
        if (config.paced && t - older_last_t > since) since = t - older_last_t;
        older_waited_us = 0;
        older_last_t = t;
        return since;
    }

    void execute_older(int code, int arg, double t) {
        int n = repeat;
        double since = older_since(t);
        if (code == CMD_READ_PROGRAM || code == CMD_READ_DATA) {
            older->command(code & 0x3F, arg, since);
            read_reply(t, code == CMD_READ_DATA, n);
            return;
        }
        for (int i = 0; i < n; ++i) older->command(code & 0x3F, arg, i == 0 ? since : 0);
    }

    // A UART receiving at another rate than the sender's sees framing errors
    // and drops the byte; some pass garbage on, but a programmer that has
    // resynchronised on its next good frame is the same to the host.
    bool understands_host() const {
        return config.programmer_baud <= 0 || host_baud == config.programmer_baud;
    }

    // Puts one byte on the line back to the host, after the adapter's
    // turnaround when the line was idle and after the bytes before it.
    void send_at(double ready, uint8_t byte) {
        double start = ready;
        if (start >= line_free) start += latency_us;
        else start = line_free;
        double arrives = start + byte_us;
        line_free = arrives;
        out.emplace_back(arrives, byte);
        ++to_host;
    }

    void reply(double t, uint8_t byte) {
        ++programmer_bytes;
        if (static_cast<int64_t>(programmer_bytes) == config.faults.drop_reply_byte) return;
        send_at(t, byte);
        // The line stays idle for the pause: the next byte cannot start before.
        if (static_cast<int64_t>(programmer_bytes) == config.pause_after_byte)
            line_free += config.pause_ms * 1000.0;
    }

    void echo(double t, uint8_t byte) {
        ++echo_bytes;
        if (static_cast<int64_t>(echo_bytes) == config.faults.corrupt_echo_byte) byte = static_cast<uint8_t>(~byte);
        send_at(t, byte);
    }

    // Tick bytes of the calibration helper, on the programmer's own timer.
    void pump_ticks(double until) {
        double period = TICK_US / (1.0 + config.osccal_rate_error);
        while (ticking && next_tick <= until) {
            ++programmer_bytes;
            if (static_cast<int64_t>(programmer_bytes) != config.faults.drop_reply_byte) {
                out.emplace_back(next_tick, TICK_BYTE);
                ++to_host;
            }
            next_tick += period;
        }
    }

    // A program or erase started on the chip completes only when it was given
    // its time before the next ICSP command; otherwise the cells stay as they
    // were, as on real silicon cut short.
    void settle(double t, bool cut) {
        if (pending.kind == TimedOp::NONE) return;
        bool done = waited_us >= pending.required_us ||
                    (config.paced && t - pending_at >= pending.required_us);
        if (done) chip.commit(pending);
        else if (!cut) return;
        else ++lost;
        pending = TimedOp();
    }

    void start_timed(const TimedOp& op, double t) {
        pending = op;
        pending_at = t;
        waited_us = 0;
    }

    // Every frame the host waits for is answered; once it has the answer, the
    // host knows the buffer holds nothing more and may fill it again.
    void answered() {
        ++replies;
        unanswered = 0;
    }

    // A host that sends more than the buffer holds without waiting for an
    // answer loses bytes when the programmer is slow; the emulator assumes it
    // always is, so such a host fails here whatever the line's timing.
    bool buffer_takes_byte() {
        if (config.rx_buffer > 0 && unanswered >= static_cast<uint64_t>(config.rx_buffer)) {
            ++overruns;
            return false;
        }
        ++unanswered;
        if (unanswered > unanswered_peak) unanswered_peak = unanswered;
        return true;
    }

    void read_reply(double t, bool data, int count) {
        ++read_replies;
        answered();
        unsigned sum = 0;
        for (int i = 0; i < count; ++i) {
            uint16_t w;
            if (older) {
                if (i > 0) older->increment();
                w = data ? older->read_data() : older->read_program();
            } else {
                if (i > 0) chip.increment();
                w = data ? chip.read_data() : chip.read_program();
            }
            uint8_t lo = static_cast<uint8_t>(w & 0xFF), hi = static_cast<uint8_t>(w >> 8);
            sum += lo + hi;
            reply(t, lo);
            reply(t, hi);
        }
        uint8_t check = static_cast<uint8_t>((256 - sum % 256) % 256);
        if (static_cast<int64_t>(read_replies) == config.faults.corrupt_read_reply) check ^= 0x5A;
        reply(t, check);
    }

    void execute_icsp(int code, int arg, double t) {
        settle(t, true);
        int n = repeat;
        switch (code) {
        case CMD_INCREMENT_ADDRESS: for (int i = 0; i < n; ++i) chip.increment(); break;
        case CMD_RESET_ADDRESS: chip.reset_address(); break;
        case CMD_LOAD_CONFIG: chip.load_config(); break;
        case CMD_LOAD_PROGRAM: chip.load_program(static_cast<uint16_t>(arg)); break;
        case CMD_LOAD_DATA: chip.load_data(static_cast<uint8_t>(arg & 0xFF)); break;
        case CMD_READ_PROGRAM: read_reply(t, false, n); break;
        case CMD_READ_DATA: read_reply(t, true, n); break;
        case CMD_BEGIN_PROGRAMMING: start_timed(chip.begin_programming(), t); break;
        case CMD_ROW_ERASE: start_timed(chip.row_erase(), t); break;
        case CMD_BULK_ERASE_PROGRAM: start_timed(chip.bulk_erase_program(), t); break;
        case CMD_BULK_ERASE_DATA: start_timed(chip.bulk_erase_data(), t); break;
        default: break;
        }
    }

    void execute(int code, int arg, double t) {
        last_vpp_off = code == CMD_VPP_OFF;
        if (code < 0xC0) {
            if (older) execute_older(code, arg, t);
            else execute_icsp(code, arg, t);
            repeat = 1;
            return;
        }
        if (code != CMD_SET_REPEAT) repeat = 1;
        switch (code) {
        case CMD_SYNC: answered(); reply(t, REPLY_ACK); break;
        case CMD_PROBE:
            answered();
            reply(t + config.probe_answer_ms * 1000.0, static_cast<uint8_t>(config.status));
            break;
        case CMD_VPP_OFF:
            settle(t, true);
            vpp = false;
            chip.leave_programming();
            if (older) older->vpp_off(older_since(t));
            break;
        case CMD_VPP_ON:
            settle(t, true);
            if (config.faults.vpp_on_fail) break;
            vpp = true;
            if (!older) chip.apply_vpp(vpp_tenths);
            chip.enter_programming();
            if (older) {
                older_since(t);
                older->vpp_on(vpp_tenths);
            }
            answered();
            reply(t, REPLY_ACK);
            break;
        case CMD_OSCCAL_HELPER:
            ticking = true;
            next_tick = t + TICK_US / (1.0 + config.osccal_rate_error);
            break;
        case CMD_SET_VPP_VOLTAGE:
            vpp_tenths = arg;
            if (vpp && !older) chip.apply_vpp(vpp_tenths);
            if (older && vpp) older->vpp_changed(arg);
            break;
        case CMD_SET_REPEAT: repeat = arg >= 1 ? arg : 1; break;
        case CMD_DELAY_US:
            delay_total += static_cast<uint64_t>(arg);
            waited_us += arg;
            older_waited_us += arg;
            if (config.paced) busy_until = t + arg;
            settle(t, false);
            break;
        default: break;
        }
    }

    // One complete frame: check byte, injected faults, then the command.
    void frame_done(double t) {
        ++frames;
        int code = frame[0];
        unsigned sum = 0;
        for (int i = 0; i < frame_len; ++i) sum += frame[i];
        int arg = frame_len >= 3 ? frame[1] | (frame_len == 4 ? frame[2] << 8 : 0) : 0;
        frame_len = 0;
        if (sum % 256 != 0 || static_cast<int64_t>(frames) == config.faults.nak_before_frame) {
            repeat = 1;
            last_vpp_off = false;
            reply(t, REPLY_NAK);
        } else {
            execute(code, arg, t);
        }
        if (static_cast<int64_t>(frames) == config.faults.stall_after_frame) stalled = true;
        if (static_cast<int64_t>(frames) == config.faults.hangup_after_frame) hung = true;
    }

    void take(uint8_t byte, double now) {
        double arrival = config.paced ? std::max(now, last_arrival) + byte_us : now;
        last_arrival = arrival;
        ++from_host;
        if (hung || config.silent) return;
        if (config.echo || config.loopback) echo(arrival, byte);
        if (config.loopback || stalled || !understands_host()) return;
        if (!buffer_takes_byte()) return;
        if (ticking) {
            pump_ticks(arrival);
            ticking = false;
        }
        frame[frame_len++] = byte;
        int args = argument_count(frame[0]);
        double t = std::max(arrival, busy_until);
        if (args < 0) {  // unknown code: rejected, the next byte starts a frame
            frame_len = 0;
            ++frames;
            reply(t, REPLY_NAK);
            return;
        }
        if (frame_len == args + 2) frame_done(t);
    }
};

Programmer::Programmer(const Config& config) {
    const PartInfo* part = part_find(config.part);
    if (!part) throw std::invalid_argument("unknown part: " + config.part);
    impl_ = std::make_unique<Impl>(config, *part);
}

Programmer::~Programmer() = default;

void Programmer::host_rate(int baud) { impl_->host_baud = baud; }

void Programmer::receive(const uint8_t* data, size_t count, double now_us) {
    for (size_t i = 0; i < count; ++i) impl_->take(data[i], now_us);
}

size_t Programmer::available(double now_us) {
    impl_->pump_ticks(now_us);
    size_t n = 0;
    for (const auto& b : impl_->out) {
        if (b.first > now_us) break;
        ++n;
    }
    return n;
}

int Programmer::read_byte(double now_us) {
    impl_->pump_ticks(now_us);
    if (impl_->out.empty() || impl_->out.front().first > now_us) return -1;
    int b = impl_->out.front().second;
    impl_->out.pop_front();
    return b;
}

double Programmer::next_output_us(double now_us) {
    impl_->pump_ticks(now_us);
    for (const auto& b : impl_->out)
        if (b.first > now_us) return b.first;
    if (impl_->ticking) return impl_->next_tick;
    return -1;
}

double Programmer::head_us() const { return impl_->out.empty() ? -1 : impl_->out.front().first; }

bool Programmer::hung_up() const { return impl_->hung; }
Target& Programmer::target() { return impl_->target(); }
const Config& Programmer::config() const { return impl_->config; }
uint64_t Programmer::bytes_from_host() const { return impl_->from_host; }
uint64_t Programmer::bytes_to_host() const { return impl_->to_host; }
bool Programmer::last_frame_was_vpp_off() const { return impl_->last_vpp_off; }
bool Programmer::vpp_on() const { return impl_->vpp; }
uint64_t Programmer::delay_us_total() const { return impl_->delay_total; }
uint64_t Programmer::replies_sent() const { return impl_->replies; }
uint64_t Programmer::lost_operations() const {
    return impl_->lost + (impl_->older ? impl_->older->lost() : 0);
}
std::vector<std::string> Programmer::faults() const {
    std::vector<std::string> all = impl_->chip.faults();
    if (impl_->older) {
        std::vector<std::string> older = impl_->older->faults();
        all.insert(all.end(), older.begin(), older.end());
    }
    return all;
}
uint64_t Programmer::rx_unanswered_peak() const { return impl_->unanswered_peak; }
uint64_t Programmer::rx_overruns() const { return impl_->overruns; }

}  // namespace sim
