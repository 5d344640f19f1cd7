#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devicedb/devicedb.h"
#include "image/hex.h"
#include "image/image.h"
#include "ops/checksum.h"
#include "ops/compare.h"
#include "ops/device_checksum.h"
#include "ops/osccal.h"
#include "ops/ranges.h"
#include "ops/result.h"
#include "ops/save.h"
#include "ops/write.h"
#include "platform/platform.h"
#include "protocol/detect.h"
#include "protocol/link.h"
#include "protocol/protocol.h"
#include "production/counter.h"
#include "ui/fail.h"
#include "record/history.h"
#include "cli/options.h"
#include "cli/outputs.h"
#include "record/record.h"
#include "serial/port.h"
#include "ui/diagnose.h"
#include "ui/progress.h"

namespace {

// The run's settings, as the command line and the settings file gave them.
Settings options;

const unsigned char VPP_OFF_FRAME[2] = {CMD_VPP_OFF, 0x3E};
constexpr int EXIT_PAUSE_MS = 50;

// The programmer takes the VPP-off bytes as a frame of their own only at a
// frame boundary. A write cut short leaves it inside a frame: of the transmit
// buffer, or the VPP-off frame itself when a second signal cut that one. The
// bytes that complete it go first. Async-signal-safe.
int rest_of_cut_frame(const unsigned char** rest) {
    int n = link_rest_of_frame(rest);
    if (n > 0) return n;
    const unsigned char* buffer = nullptr;
    int taken = 0;
    if (port_unfinished_write(&buffer, &taken) == 2 && buffer == VPP_OFF_FRAME) {
        *rest = VPP_OFF_FRAME + taken;
        return 2 - taken;
    }
    return 0;
}

// Second Ctrl+C: the run did not reach a poll in time. Only async-signal-safe
// calls are allowed here.
void vpp_off_from_signal() {
    const unsigned char* rest = nullptr;
    int n = rest_of_cut_frame(&rest);
    if (n > 0) port_write_from_signal(rest, n);
    port_write_from_signal(VPP_OFF_FRAME, 2);
}

// Each pass must get bytes out: on a line that takes nothing, the write waits
// until Ctrl+C and then the handler goes on to the VPP-off frame.
void complete_cut_frame() {
    const unsigned char* rest = nullptr;
    int n = 0;
    while ((n = rest_of_cut_frame(&rest)) > 0) {
        platform_clear_interrupt();
        if (link_put_raw(rest, n) <= 0) return;
    }
}

// A failure the operations noted: its message on the console, exit code 1.
int end_with_failure() {
    const char* message = run_result.failure != nullptr ? run_result.failure : "\nError!";
    print_failure(message);
    run_end_note(END_FAILED, 1, message);
    return 1;
}

// A completed run. The record gets the chip's checksums, which may take one
// more read of the flash while VPP is still on. Without a record only a run
// that knows the chip's program memory already (an upload with a bulk erase,
// /VERIFY or /UPDATE that read every row, /SAVE=) tells the device checksum,
// so an operator can hold it against the traveller sheet.
int end_with_success() {
    bool facts = record_facts_wanted();
    long device_checksum = device_checksum_after_run(facts);
    if (facts) {
        record_note_checksum(checksum_after_run());
        record_note_device_checksum(device_checksum);
    }
    if (device_checksum >= 0) ui_report("checksum 0x%04lX", device_checksum);
    check_output_written();
    run_end_note(END_OK, 0, nullptr);
    return 0;
}

// /PART=<name>: a run meant for one part ends before anything is erased or
// written when the target is another one, or one the database does not know.
void check_part() {
    if (options.part[0] == '\0') return;
    const char* name = target_info.device_name;
    if (platform_stricmp(name, options.part) == 0) return;
    if (std::strcmp(name, "(unknown)") == 0) {
        fail_format("\nTarget is %s 0x%04X, not %s!", name,
                    static_cast<unsigned>(target_info.device_id), options.part);
    }
    fail_format("\nTarget is %s, not %s!", name, options.part);
}

// A fill with a value writes every cell of its range; a cell the chip does
// not have (flash beyond its size, data EEPROM it lacks) would be dropped
// without a word and the run end with "Ok!". The sizes are known only now,
// after identification, and nothing has been erased or written yet.
void check_fill_range() {
    if (options.fill_from < 0 || options.fill_value < 0 || (device.flash_size & 0x8000)) return;
    int from = options.fill_from, to = options.fill_to;
    if (classify_address(from) != REGION_NONE && classify_address(to) != REGION_NONE) return;
    char eeprom[48] = "no data EEPROM";
    if (device.eeprom_size > 0)
        std::snprintf(eeprom, sizeof eeprom, "data EEPROM 0xF000-0x%04X",
                      ADDR_EEPROM + device.eeprom_size - 1);
    fail_report("/FILL0x%04X-0x%04X reaches memory %s does not have (flash 0x0000-0x%04X, %s); "
                "nothing was written",
                from, to, target_info.device_name, device.flash_size - 1, eeprom);
}

// The end of every run that gets this far: the image goes to the chip in full,
// only where it differs (/UPDATE), or is only compared (/VERIFY; without a HEX
// file or range command, with a blank chip).
int write_and_report(bool from_file) {
    serial_assign();
    bool ok;
    if (options.verify) {
        // /BULKERASE alone leaves a blank chip: that is what is checked.
        ok = verify_target(!from_file && (write_flags & ~WF_BULK_ERASE) == 0, from_file);
    } else if (options.update) {
        ok = update_target();
    } else {
        ok = write_target();
    }
    return ok ? end_with_success() : end_with_failure();
}

// The HEX file into the image, the file's own write flags kept apart from the
// range commands' (a file that holds configuration words is the whole
// program, a range command that edits one is not). Ends the run when the file
// cannot be read or is refused.
void load_hex_file(const char* hexfile) {
    // Checked before the port opened; this is a file that went away since.
    std::FILE* file = platform_open_text_file(hexfile);
    if (file == nullptr) fail_hex_unreadable(hexfile, errno);
    int range_flags = write_flags;
    write_flags = 0;
    int result = hex_load(file, image, device.flash_size);
    file_write_flags = write_flags;
    write_flags |= range_flags;
    // A name that opens but cannot be read (a directory, a failing disk) is
    // no HEX file; its read error must not pass for an empty file's end.
    bool unreadable = std::ferror(file) != 0;
    if (!unreadable) record_note_file(hexfile, file, result >= 0);
    std::fclose(file);
    if (unreadable) fail_hex_unreadable(hexfile, EIO);
    if (result < 0) {
        hex_report_fault(hexfile);
        fail_shown(hex_message());
    }
    hex_report_skipped(hexfile);
}

void print_checksum(long checksum) {
    std::printf("Checksum: 0x%04lX\n", checksum);
    check_output_written();
    run_end_note(END_OK, 0, nullptr);
}

// /CHECKSUM /PART=<name> <hexfile>: the part is the table's, no port is opened.
void select_part_by_name() {
    if (device_db_select_name(options.part)) {
        std::snprintf(target_info.device_name, sizeof target_info.device_name, "%s", device.name);
        return;
    }
    static char message[80];
    std::snprintf(message, sizeof message, "\nPart %s is not in the part table!", options.part);
    std::puts(message);
    ui_report_after("/PART= names a part picup knows (man picup lists them), e.g. /PART=PIC16F1825; "
                    "without /PART= the connected target's part is used");
    fail_shown(message);
}

// /CHECKSUM: the device checksum the chip maker's tools show, of the HEX file
// for the part, or of the chip when no file is given. Nothing is erased or
// written, and nothing else the command line asks for is done.
int run_checksum(const char* hexfile) {
    if (hexfile != nullptr) {
        if (device.flash_size & 0x8000) fail("\nPIC not found in data base - no checksum!");
        load_hex_file(hexfile);
        print_checksum(device_checksum(device, image));
        return 0;
    }
    long checksum = device_checksum_after_run(true);
    if (checksum < 0) fail("\nPIC not found in data base - no checksum!");
    record_note_device_checksum(checksum);
    print_checksum(checksum);
    return 0;
}

}  // namespace

// The programmer keeps VPP on until told otherwise, so every way out of the
// process sends the raw VPP-off frame: not through the transmit buffer (its
// frames were never sent and need not be), without echo check or log (the run
// is over); after completing a frame the port stopped inside.
// The frame is given 50 ms to leave before the port is closed; a run that
// never opened the port (usage text, an option error) wrote nothing and does
// not wait.
void on_exit_handler() {
    ui_progress_clear();
    platform_key_end();
    save_abandon();
    complete_cut_frame();
    if (link_put_raw(VPP_OFF_FRAME, 2) > 0) platform_sleep_ms(EXIT_PAUSE_MS);
    port_close();
    log_end();
    std::fflush(stdout);
    // Last, so that the record's wire totals hold the VPP-off frame too. A
    // history line that could not be written fails a run that succeeded.
    bool history_written = history_write(options.history_path);
    record_write();
    if (!history_written) {
        std::fflush(stderr);
        std::_Exit(1);
    }
}

int run_main(int argc, char** argv) {
    platform_fill_standard_descriptors();
    std::atexit(on_exit_handler);
    record_start(argc, argv);
    platform_survive_closed_output();
    ui_init();
    platform_catch_interrupts(vpp_off_from_signal);
    image_init();
    result_reset();
    std::strcpy(target_info.device_name, "(unknown)");

    const char* hexfile = load_options(argc, argv, &options);
    if (checksum_without_port(hexfile)) {
        select_part_by_name();
        return run_checksum(hexfile);
    }
    if (options.info) print_version_line();
    ui_stage("identifying the target");
    // A part named with /PART= (or PART= in the settings file) is identified
    // at its own VPP; an unknown name is refused by check_part afterwards.
    int status = connect_target(options.part[0] != '\0' ? part_find_name(options.part) : nullptr);
    check_part();
    if (options.checksum) return run_checksum(hexfile);
    check_fill_range();
    if (options.osccal) run_osccal_helper();
    if (options.read_from >= 0) show_range(options.read_from, options.read_to);
    if (options.save_path[0] != '\0') save_target(options.save_path);
    if (options.erase_from >= 0 && !(write_flags & WF_BULK_ERASE))
        erase_range(options.erase_from, options.erase_to);
    if (options.fill_from >= 0) fill_range(options.fill_from, options.fill_to, options.fill_value);
    if (options.info) print_target_report(status);
    if (hexfile == nullptr) return write_and_report(false);
    load_hex_file(hexfile);
    return write_and_report(true);
}
