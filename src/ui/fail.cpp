#include "ui/fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "ui/diagnose.h"
#include "ui/progress.h"

RunEnd run_end = {END_NONE, 1, nullptr};

namespace {

// A formatted message, kept for the run record (cut short there when longer).
char formatted[512];

const char* const INTERRUPTED = "\nInterrupted!";

}  // namespace

void run_end_note(RunEnding ending, int exit_code, const char* message) {
    run_end = {ending, exit_code, message};
}

void print_failure(const char* message) {
    // A progress bar still standing after the stage text would stay on the
    // screen in front of the message.
    ui_progress_clear();
    std::puts(message);
    // A reply broken by a NAK has its reason on stderr, after the message.
    ui_report_noted_refusal();
}

void fail(const char* message) {
    print_failure(message);
    fail_shown(message);
}

void fail_silent() { fail_shown(nullptr); }

// The whole text goes to the console, however long; the record keeps what
// fits the buffer.
void fail_format(const char* format, ...) {
    ui_progress_clear();
    std::va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    ui_report_noted_refusal();
    va_start(args, format);
    std::vsnprintf(formatted, sizeof formatted, format, args);
    va_end(args);
    fail_shown(formatted);
}

void fail_report(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(formatted, sizeof formatted, format, args);
    va_end(args);
    ui_report("%s", formatted);
    fail_shown(formatted);
}

void fail_shown(const char* message) {
    run_end_note(END_FAILED, 1, message);
    std::exit(1);
}

namespace {

void check_output() {
    if (!std::ferror(stdout)) return;
    ui_report_output_lost();
    fail_silent();
}

}  // namespace

void check_output_written() {
    std::fflush(stdout);
    check_output();
}

void check_interrupt() {
    check_output();
    if (!platform_interrupted()) return;
    platform_clear_interrupt();
    print_failure(INTERRUPTED);
    run_end_note(END_INTERRUPTED, 1, INTERRUPTED);
    std::exit(1);
}
