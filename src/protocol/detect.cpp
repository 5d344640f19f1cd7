// Finding the programmer on the line and identifying the target behind it.
#include "protocol/detect.h"

#include <cstdio>
#include <cstring>

#include "devicedb/devicedb.h"
#include "platform/platform.h"
#include "protocol/link.h"
#include "protocol/prog.h"
#include "protocol/protocol.h"
#include "ui/fail.h"
#include "platform/files.h"
#include "serial/port.h"
#include "ui/diagnose.h"

TargetInfo target_info;
int programmer_status = -1;

namespace {

// An echoing line returns the code byte within this time; the programmer
// itself says nothing until the frame is complete.
constexpr int PROBE_ECHO_MS = 20;
// The programmer answers the complete frame with its status byte within this
// time (a USB adapter, a busy host or a programmer that first checks its
// target can take well beyond the echo's 20 ms).
constexpr int PROBE_ANSWER_MS = 200;
constexpr int PROBE_CHECK = 0x3F;  // makes C1 + 3F = 0 modulo 256
constexpr int START_VPP = 85;      // 8.5 V until the device is known
constexpr int MAX_ROW_SIZE = 32;

void switch_vpp_on() {
    link_send_command(CMD_VPP_ON);
    link_flush();
    // The acknowledgement is read directly: neither summed nor logged. A NAK
    // in its place is the programmer refusing this frame or the one before.
    int reply = link_read_timed(REPLY_WAITS);
    if (reply == REPLY_NAK) ui_note_refusal();
    if (reply != REPLY_ACK) fail("\nVPP activation failed!");
    address_cursor = 0;  // VPP on leaves the target's counter at 0
}

// The user ID words carry one nibble each in their low bits.
void read_user_id() {
    prog_read_block(ADDR_USER_ID, 4, target_info.user_id_words);
    int id = 0;
    for (uint16_t w : target_info.user_id_words) id = (id << 4) | (w & 0xF);
    target_info.user_id = id;
}

// Waits until a byte is there or the clock has reached `until_us`, and takes
// it the moment it comes; -1 when none came or the device has gone.
int probe_read_by(long long until_us) {
    for (;;) {
        if (port_rx_pending() > 0) return link_take_byte();
        long long left = until_us - platform_clock_us();
        if (left <= 0 || port_hung_up()) return -1;
        port_wait_rx(static_cast<int>((left + 999) / 1000));
    }
}

// The rates programmers' serial lines are commonly set to, tried when the
// set rate got no answer.
constexpr int USUAL_RATES[] = {9600,   19200,  38400,  57600,  115200,
                               230400, 460800, 500000, 921600, 1000000};
// A programmer that reads the probe answers it within a few milliseconds; the
// set rate's 200 ms allow for a slow adapter or host, which a hint need not
// wait for at every rate. Ten rates then cost about half a second more on a
// line where nothing answers at all.
constexpr int OTHER_RATE_ANSWER_MS = 50;
// How long the set rate is listened to once another rate has answered: a
// programmer that reads every rate but answers late answers the earlier
// probes in this time, at whatever rate the host listens.
constexpr int LATE_ANSWER_MS = 1000;

// The whole probe frame at once: the echo test of prog_probe is not needed,
// since an echo comes back as the frame itself ahead of the status byte.
// -1 unless exactly that shape arrives in time.
int probe_quickly() {
    while (port_rx_pending() > 0) {
        if (link_take_byte() < 0) break;
    }
    const unsigned char frame[2] = {CMD_PROBE, PROBE_CHECK};
    if (link_put_raw(frame, 2) != 2) return -1;
    ++wire_totals.replies;
    long long answer_by = platform_clock_us() + OTHER_RATE_ANSWER_MS * 1000LL;
    int first = probe_read_by(answer_by);
    if (first != CMD_PROBE) return first;
    if (probe_read_by(answer_by) != PROBE_CHECK) return -1;
    return probe_read_by(answer_by);
}

// Whether a probe at the set rate brings `status` within LATE_ANSWER_MS: the
// programmer then reads the set rate (or every rate) and only answers late,
// and a late answer to an earlier probe counts as well. The echo of the
// probe's own bytes is passed over.
bool set_rate_answers_late(int status) {
    while (port_rx_pending() > 0) {
        if (link_take_byte() < 0) break;
    }
    const unsigned char frame[2] = {CMD_PROBE, PROBE_CHECK};
    if (link_put_raw(frame, 2) != 2) return false;
    ++wire_totals.replies;
    long long listen_until = platform_clock_us() + LATE_ANSWER_MS * 1000LL;
    for (int b = probe_read_by(listen_until); b >= 0; b = probe_read_by(listen_until)) {
        if (b == status) return true;
    }
    return false;
}

// The usual rate at which the programmer answers, or 0. At a rate it does not
// read, a UART may still turn line noise or our own bytes into some byte, so
// a rate counts only when a second probe gets the same status byte. And it
// counts only when the set rate, listened to for a whole second, still does
// not bring that status byte: a programmer that reads every rate but answers
// late (past the set rate's 200 ms) answers the probes at the other rates late
// too, each in the time of a later one, and another /BAUD= would not help it.
//
// Where one answers the port stays at that rate, so the exit handler's
// VPP-off frame reaches the programmer as a frame it reads: at the set rate
// it would arrive as garbage that the programmer may take for the start of a
// frame. Where none answers the port goes back to the set rate, and the exit
// frame goes out as it always did.
int find_answering_rate() {
    int set_rate = port_baud();
    for (int rate : USUAL_RATES) {
        if (platform_interrupted()) break;
        if (rate == set_rate) continue;
        if (!port_set_baud(rate)) continue;
        int status = probe_quickly();
        if (status < 0 || probe_quickly() != status) continue;
        if (!port_set_baud(set_rate) || set_rate_answers_late(status)) break;
        if (port_set_baud(rate)) return rate;
        break;
    }
    if (port_baud() != set_rate) port_set_baud(set_rate);
    return 0;
}

// A part's VPP, never above the highest its range allows.
int part_vpp(const Part& part) {
    return part.vpp_max > 0 && part.vpp > part.vpp_max ? part.vpp_max : part.vpp;
}

// An LF part takes at most 3.6 V on VDD. Where the programmer supplies VDD,
// its supply voltage is the programmer's own (no frame sets it), so the user
// is the one who must know: a 5 V supply can damage the chip.
void warn_low_voltage_part(int status) {
    if (status & STATUS_VDD_TARGET) return;
    if (device.name[0] == '\0' || !part_is_low_voltage(device)) return;
    ui_report("%s takes at most 3.6 V on VDD, which the programmer supplies here: its supply must be "
              "set to 3.6 V or less for this part",
              device.name);
}

}  // namespace

// The probe goes straight to the port, one byte at a time, because echo mode
// is not known yet: a line that returns the code byte alone is an echoing one
// (the programmer stays silent until the frame is complete). The echo is taken
// when it comes; only a line without echo waits the whole echo time. The status
// byte is taken the moment it arrives, however early or late within its time.
int prog_probe() {
    while (port_rx_pending() > 0) {
        if (link_take_byte() < 0) break;
    }
    const unsigned char frame[2] = {CMD_PROBE, PROBE_CHECK};
    link_put_raw(frame, 1);
    link_state.echo_mode = probe_read_by(platform_clock_us() + PROBE_ECHO_MS * 1000LL) == CMD_PROBE;
    link_put_raw(frame + 1, 1);
    ++wire_totals.replies;
    long long answer_by = platform_clock_us() + PROBE_ANSWER_MS * 1000LL;
    if (link_state.echo_mode) probe_read_by(answer_by);  // the echo of '?'
    return probe_read_by(answer_by);
}

int connect_target(const Part* named) {
    int status = prog_probe();
    // Ctrl+C cuts the probe's pauses short; what it read then means nothing.
    check_interrupt();
    programmer_status = status;
    if (status < 0) {
        int set_rate = port_baud();
        int answering = find_answering_rate();
        check_interrupt();
        const char* message = "\nno Programmer connected!";
        print_failure(message);
        if (answering > 0) {
            ui_report_after("no answer from the programmer on %s at %d baud; it answers at %d: "
                            "use /BAUD=%d", port_device(), set_rate, answering, answering);
        } else {
            ui_report_after("nothing answered the probe on %s at %d baud; the usual rates from "
                            "9600 to 1000000 got no answer either; check the programmer's power "
                            "and cable, and give /BAUD=<rate> if it runs at another rate",
                            port_device(), set_rate);
        }
        fail_shown(message);
    }
    if (status & STATUS_ICSP_FAIL) fail("\nICSP connection failure!");
    prog_set_vpp_voltage(named != nullptr ? part_vpp(*named) : START_VPP);
    switch_vpp_on();
    read_user_id();
    target_info.device_id = prog_read_word(ADDR_DEVICE_ID);
    target_info.ids_read = true;
    // A missing target reads as all zeros or all ones.
    if (static_cast<uint16_t>(target_info.device_id - 1) > 0x3FFD) {
        if (named == nullptr)
            ui_report("older parts that need 10-13 V to enter programming mode read as nothing at "
                      "8.5 V: name the part with /PART=<name> (or a PART= line in %s.cfg)",
                      program_stem);
        fail("\nno target detected!");
    }
    device_db_load(target_info.device_id);
    if (device.name[0] != '\0') std::memcpy(target_info.device_name, device.name, sizeof device.name);
    int revision_word = device.name[0] != '\0' && part_revision_in_word(device) ? prog_read_word(ADDR_REVISION) : 0;
    target_info.revision = part_revision(device, target_info.device_id, revision_word);
    prog_set_vpp_voltage(part_vpp(device));
    if (device.row_size > MAX_ROW_SIZE) fail("\nunsupported rowsize!");
    warn_low_voltage_part(status);
    return status;
}

void print_version_line() { std::printf("%s Version %d.%d\n", program_stem, 0, 0); }

void print_target_report(int status) {
    std::printf("\nTarget device ID:      0x%04X = %s", static_cast<unsigned>(target_info.device_id),
                target_info.device_name);
    // Parts with a full 14-bit device ID keep their revision in a word of its
    // own; in the others the ID's low bits shown above are the revision.
    if (device.name[0] != '\0' && part_revision_in_word(device))
        std::printf("\nRevision:              0x%04X", static_cast<unsigned>(target_info.revision));
    std::printf("\nProgram flash size:    0x%04X", static_cast<unsigned>(device.flash_size));
    if (device.eeprom_base != 0) std::printf("\nData EEPROM:           %d", device.eeprom_size);
    std::printf("\nTarget's user ID:      %04X", static_cast<unsigned>(target_info.user_id));
    if (status & STATUS_VDD_TARGET) {
        std::puts("\nVDD by Target (CONFIG: MCLRE_OFF might cause problem!)");
    } else {
        std::puts("\nVDD by programmer");
    }
}
