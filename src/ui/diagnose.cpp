#include "ui/diagnose.h"

#include <cstdarg>
#include <cstdio>

#include "platform/files.h"
#include "ui/progress.h"

namespace {

const char* program_name() { return program_stem[0] != '\0' ? program_stem : "picup"; }

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
