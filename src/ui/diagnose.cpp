#include "ui/diagnose.h"

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

void ui_report_hex_fault(const char* file_name) {
    const char* what = hex_fault_text(hex_fault());
    if (what == nullptr) return;
    std::FILE* out = ui_output();
    begin_line(out);
    std::fprintf(out, "%s: %s:%d: %s\n", program_name(), file_name != nullptr ? file_name : "",
                 hex_fault_line(), what);
    std::fflush(out);
}

void ui_report_nak() {
    std::FILE* out = ui_output();
    begin_line(out);
    const char* stage = ui_current_stage();
    if (stage != nullptr) {
        std::fprintf(out, "%s: programmer refused a frame (NAK) while %s\n", program_name(), stage);
    } else {
        std::fprintf(out, "%s: programmer refused a frame (NAK)\n", program_name());
    }
    std::fflush(out);
}

void ui_report_output_lost() {
    std::FILE* out = ui_output();
    begin_line(out);
    const char* stage = ui_current_stage();
    std::fprintf(out, "%s: standard output cannot be written (closed pipe?)%s%s; run stopped\n",
                 program_name(), stage != nullptr ? " while " : "", stage != nullptr ? stage : "");
    std::fflush(out);
}
