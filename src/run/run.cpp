#include "run/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devicedb/devicedb.h"
#include "image/hex.h"
#include "image/image.h"
#include "ops/osccal.h"
#include "ops/ranges.h"
#include "ops/save.h"
#include "ops/write.h"
#include "platform/platform.h"
#include "protocol/detect.h"
#include "protocol/link.h"
#include "protocol/protocol.h"
#include "run/fail.h"
#include "run/options.h"
#include "serial/port.h"
#include "ui/diagnose.h"
#include "ui/progress.h"

namespace {

const unsigned char VPP_OFF_FRAME[2] = {CMD_VPP_OFF, 0x3E};
constexpr int EXIT_PAUSE_MS = 50;

// Second Ctrl+C: the run did not reach a poll in time. Only async-signal-safe
// calls are allowed here.
void vpp_off_from_signal() { port_write_from_signal(VPP_OFF_FRAME, 2); }

}  // namespace

// The programmer keeps VPP on until told otherwise, so every way out of the
// process sends the raw VPP-off frame: not through the transmit buffer (its
// content is stale), without echo check or log (the run is over). The frame
// is given 50 ms to leave before the port is closed; a run that never opened
// the port (usage text, an option error) wrote nothing and does not wait.
void on_exit_handler() {
    ui_progress_clear();
    platform_key_end();
    save_abandon();
    int written = port_write_byte(VPP_OFF_FRAME[0]);
    written += port_write_byte(VPP_OFF_FRAME[1]);
    if (written > 0) platform_sleep_ms(EXIT_PAUSE_MS);
    port_close();
    log_end();
    std::fflush(stdout);
}

int run_main(int argc, char** argv) {
    std::atexit(on_exit_handler);
    ui_init();
    platform_catch_interrupts(vpp_off_from_signal);
    image_init();
    std::strcpy(target_info.device_name, "(unknown)");

    const char* hexfile = load_options(argc, argv);
    if (settings.info) print_version_line();
    ui_stage("identifying the target");
    int status = connect_target();
    if (settings.osccal) run_osccal_helper();
    if (settings.read_from >= 0) show_range();
    if (settings.save_path[0] != '\0') save_target();
    if (settings.erase_from >= 0 && !(write_flags & WF_BULK_ERASE)) erase_range();
    if (settings.fill_from >= 0) fill_range();
    if (settings.info) print_target_report(status);
    if (hexfile == nullptr) {
        write_target();
        return 0;
    }
    std::FILE* file = platform_open_text_file(hexfile);
    if (file == nullptr) fail("\ncannot open hex input file!");
    int result = hex_load(file, image, device.flash_size);
    // A name that opens but cannot be read (a directory, a failing disk) is
    // no HEX file; its read error must not pass for an empty file's end.
    bool unreadable = std::ferror(file) != 0;
    std::fclose(file);
    if (unreadable) fail("\ncannot open hex input file!");
    if (result < 0) {
        ui_report_hex_fault(hexfile);
        fail_silent();
    }
    write_flags |= result;
    write_target();
    return 0;
}
