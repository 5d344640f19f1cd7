// /OSCCAL: the programmer runs a calibration helper on the target and sends one
// byte per tick of 65536 us of the target's oscillator. Summing the ticks'
// nominal time against the wall clock shows whether the oscillator runs fast
// (the printed difference grows) or slow (it falls).
#include "ops/osccal.h"

#include <cstdio>

#include "platform/platform.h"
#include "protocol/link.h"
#include "protocol/prog.h"
#include "protocol/protocol.h"
#include "ui/fail.h"
#include "serial/port.h"
#include "ui/diagnose.h"
#include "ui/progress.h"

namespace {

constexpr double TICK_SECONDS = 0.065536;
constexpr double MS_PER_SECOND = 1000;
// Longest wait for a tick before the key and the interrupt flag are looked at
// again; keeps the loop from spinning a core at full load.
constexpr int POLL_WAIT_MS = 1;
// Ticks that can still be on the line when the programmer takes the sync.
constexpr int MAX_LATE_TICKS = 4;

// The sync stops the ticks; those already waiting are drained before it goes
// out. A tick the programmer sent while the sync was still on its way arrives
// ahead of the ACK: such late ticks are skipped (unlogged, like every tick),
// so the key press does not fail by chance of timing.
void end_tick_stream() {
    prog_send_sync();
    for (int late = 0; late <= MAX_LATE_TICKS; ++late) {
        int r = link_read_timed(REPLY_WAITS);
        if (r == REPLY_ACK) {
            log_byte(r, LOG_RX);
            return;
        }
        if (r == REPLY_NAK) ui_note_refusal();
        if (r < 0 || r == REPLY_NAK) break;
    }
    fail("\ncommunication error!");
}

}  // namespace

void run_osccal_helper() {
    ui_stage("running the calibration helper");
    long start = platform_clock_ms();
    prog_start_osccal_helper();
    // The nominal time is summed in single precision, rounding included.
    float nominal = 0;
    platform_key_begin();
    for (;;) {
        check_interrupt();
        if (platform_key_pressed()) break;
        // A programmer that has gone away sends no more ticks; the sync below
        // then reports the broken line instead of waiting for a key forever.
        if (port_hung_up()) break;
        if (port_rx_pending() <= 0) {
            port_wait_rx(POLL_WAIT_MS);
            continue;
        }
        // The tick's value carries nothing; it is neither summed nor logged.
        // A tick is never a NAK, so a NAK here is the programmer refusing the
        // helper command: the run ends as it does for a NAK before a frame.
        if (link_take_byte() == REPLY_NAK) link_refused();
        nominal = static_cast<float>(nominal + TICK_SECONDS);
        long elapsed = platform_clock_ms() - start;
        std::printf("\n%f", nominal - elapsed / MS_PER_SECOND);
    }
    platform_key_end();
    end_tick_stream();
}
