// Emulated programmer device and target chips. The programmer consumes the
// host's bytes and produces reply bytes on a clock given by the caller (virtual
// in unit tests, real in picsim), so both can run it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// The host map every chip model is addressed in: program flash from 0,
// configuration space from CONFIG_BASE (configuration word 1 at index CONFIG1),
// data EEPROM from EEPROM_BASE; an erased word reads ERASED.
constexpr uint16_t ERASED = 0x3FFF;
constexpr int CONFIG_BASE = 0x8000;
constexpr int EEPROM_BASE = 0xF000;
constexpr int CONFIG1 = 7;

// Faults to inject; -1 (or false) means none. Frames and replies are counted
// from 1 in the order the programmer sees them (the probe frame is frame 1).
struct Faults {
    int nak_before_frame = -1;    // send REPLY_NAK instead of carrying out frame N
    int corrupt_read_reply = -1;  // the checksum of read reply N is wrong
    int drop_reply_byte = -1;     // reply byte N (counting every byte the programmer sends, not echoes) is lost
    int stall_after_frame = -1;   // after frame N the programmer goes silent for good
    int hangup_after_frame = -1;  // after frame N the line closes
    bool vpp_on_fail = false;     // CMD_VPP_ON is never acknowledged
    int corrupt_echo_byte = -1;   // echo byte N comes back with its bits inverted
};

struct Config {
    // Bytes a second each way on a paced line: the device's own rate if set.
    int line_baud() const { return device_baud > 0 ? device_baud : (baud > 0 ? baud : 115200); }

    std::string part = "PIC16F1825";  // a name of the default device database
    int device_id = -1;               // -1: the part's own ID with revision bits
    int status = 0;                   // the probe's status byte
    bool echo = false;                // the line returns every byte the host sends
    bool silent = false;              // nothing attached: no byte ever comes back
    bool loopback = false;            // adapter looped back, no programmer behind it
    bool paced = false;               // 10 bits per byte at the line's rate, delays honoured
    int baud = 115200;                // the rate the host is set to
    int device_baud = 0;              // the line's real rate when it differs from `baud`
                                      // (a USB programmer that ignores the host's rate)
    int programmer_baud = 0;          // the programmer's own fixed UART rate: bytes the host
                                      // sends at any other rate are lost to it (0: it reads
                                      // the host at whatever rate, as over native USB)
    double latency_ms = 0;            // adapter turnaround before reply bytes
    int rx_buffer = 256;              // bytes the programmer holds before it answers
                                      // a frame (0: no limit); see rx_overruns()
    double probe_answer_ms = 0;       // the status byte comes this long after the probe frame
    int pause_after_byte = -1;        // reply byte N (counted as drop_reply_byte counts) is
    double pause_ms = 0;              // followed by a pause of this length on the line
    double osccal_rate_error = 0;     // 0.001: ticks come 0.1 % faster than nominal
    Faults faults;
};

class Target;

class Programmer {
public:
    explicit Programmer(const Config& config);
    ~Programmer();
    // Host bytes arriving at `now_us` (microseconds on the caller's clock).
    void receive(const uint8_t* data, size_t count, double now_us);
    // The rate the host's side of the line is set to now (initially `baud`);
    // with `programmer_baud` set, the programmer reads the host only at that rate.
    void host_rate(int baud);
    // Reply bytes the host could read at `now_us`; read_byte returns -1 when none.
    size_t available(double now_us);
    int read_byte(double now_us);
    // Time of the next reply byte that is not yet available, or a negative value.
    double next_output_us(double now_us);
    // Time at which the oldest queued reply byte reaches the host (it may be
    // due already), or a negative value when none is queued.
    double head_us() const;
    bool hung_up() const;
    Target& target();
    const Config& config() const;
    // Totals for summaries and benchmarks.
    uint64_t bytes_from_host() const;
    uint64_t bytes_to_host() const;
    bool last_frame_was_vpp_off() const;
    bool vpp_on() const;
    // Sum of the CMD_DELAY_US times, frames answered (status, ACK, read
    // replies), and program/erase operations lost because the host did not
    // give them their time.
    uint64_t delay_us_total() const;
    uint64_t replies_sent() const;
    uint64_t lost_operations() const;
    // What the host did that the chip's programming algorithm forbids (a
    // command it lacks, a cycle cut short, an erase of its calibration words,
    // VPP outside its range), one line each.
    std::vector<std::string> faults() const;
    // The receive buffer, counted as if the programmer carried out nothing
    // until it answers (a slow programmer, or one serving a long delay): the
    // most bytes the host sent beyond the last frame answered, and the bytes
    // that found the buffer full and were lost.
    uint64_t rx_unanswered_peak() const;
    uint64_t rx_overruns() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A target chip, addressed in picup's own map: program flash from 0x0000, user
// IDs and configuration from 0x8000 (device ID at 0x8006), data EEPROM from
// 0xF000 (one byte per cell).
class Target {
public:
    virtual ~Target() = default;
    virtual uint16_t peek(int address) const = 0;         // what a read would return
    virtual void poke(int address, uint16_t value) = 0;   // set a cell directly
    virtual int flash_size() const = 0;
    virtual int eeprom_size() const = 0;
    virtual std::string part() const = 0;
};

}  // namespace sim
