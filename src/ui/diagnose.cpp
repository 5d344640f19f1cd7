#include "ui/diagnose.h"

#include <cstdarg>
#include <cstdio>

#include "image/hex.h"
#include "run/options.h"
#include "ui/progress.h"

namespace {

const char* program_name() { return program_stem[0] != '\0' ? program_stem : "picup"; }

const char* hex_fault_text(HexFault fault) {
    switch (fault) {
    case HEX_FAULT_DIGIT: return "invalid hex digit";
    case HEX_FAULT_SHORT: return "record ends before its checksum";
    case HEX_FAULT_END: return "file ends inside a record";
    case HEX_FAULT_CHECKSUM: return "checksum mismatch";
    case HEX_FAULT_NO_RECORD: return "no Intel HEX record in the file";
    case HEX_FAULT_NO_DATA: return "no data for the chip's memory";
    case HEX_FAULT_NO_END: return "no end-of-file record: the file is cut short";
    default: return nullptr;
    }
}

// On a terminal the line follows whatever stage text stands unfinished on the
// screen, so it starts a line of its own, like every message of the program.
void begin_line(std::FILE* out) {
    ui_progress_clear();
    std::fflush(stdout);
    if (ui_on_terminal()) std::fputc('\n', out);
}

}  // namespace

namespace {

void print_report(std::FILE* out, const char* format, std::va_list args) {
    std::fprintf(out, "%s: ", program_name());
    std::vfprintf(out, format, args);
    std::fputc('\n', out);
    std::fflush(out);
}

}  // namespace

void ui_report(const char* format, ...) {
    std::FILE* out = ui_output();
    begin_line(out);
    std::va_list args;
    va_start(args, format);
    print_report(out, format, args);
    va_end(args);
}

void ui_report_after(const char* format, ...) {
    std::fflush(stdout);
    std::va_list args;
    va_start(args, format);
    print_report(ui_output(), format, args);
    va_end(args);
}

void ui_report_hex_fault(const char* file_name) {
    const char* what = hex_fault_text(hex_fault());
    if (what == nullptr) return;
    std::FILE* out = ui_output();
    begin_line(out);
    const char* name = file_name != nullptr ? file_name : "";
    if (hex_fault_line() > 0) {
        std::fprintf(out, "%s: %s:%d: %s\n", program_name(), name, hex_fault_line(), what);
    } else {
        std::fprintf(out, "%s: %s: %s\n", program_name(), name, what);
    }
    std::fflush(out);
}

void ui_report_hex_skipped(const char* file_name) {
    long first = hex_skipped_first();
    if (first < 0) return;
    long last = hex_skipped_last();
    std::FILE* out = ui_output();
    begin_line(out);
    const char* name = file_name != nullptr ? file_name : "";
    std::fprintf(out, "%s: %s: data for 0x%04lX", program_name(), name, first);
    if (last != first) std::fprintf(out, "-0x%04lX", last);
    std::fputs(" skipped: reserved, revision and device ID words are read-only\n", out);
    std::fflush(out);
}

namespace {

const char* noted_stage = nullptr;
bool refusal_noted = false;

void print_nak(std::FILE* out, const char* stage) {
    if (stage != nullptr) {
        std::fprintf(out, "%s: programmer refused a frame (NAK) while %s\n", program_name(), stage);
    } else {
        std::fprintf(out, "%s: programmer refused a frame (NAK)\n", program_name());
    }
    std::fflush(out);
}

}  // namespace

void ui_report_nak() {
    std::FILE* out = ui_output();
    begin_line(out);
    print_nak(out, ui_current_stage());
}

void ui_note_refusal() {
    if (refusal_noted) return;
    refusal_noted = true;
    noted_stage = ui_current_stage();
}

// The failure message has just ended its line on stdout, so the reason
// follows it directly.
void ui_report_noted_refusal() {
    if (!refusal_noted) return;
    refusal_noted = false;
    std::fflush(stdout);
    print_nak(ui_output(), noted_stage);
}

void ui_report_output_lost() {
    std::FILE* out = ui_output();
    begin_line(out);
    const char* stage = ui_current_stage();
    std::fprintf(out, "%s: standard output cannot be written (closed pipe?)%s%s; run stopped\n",
                 program_name(), stage != nullptr ? " while " : "", stage != nullptr ? stage : "");
    std::fflush(out);
}
