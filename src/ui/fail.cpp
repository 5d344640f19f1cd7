#include "ui/fail.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "ui/diagnose.h"
#include "ui/progress.h"

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
    std::exit(1);
}

void fail_silent() { std::exit(1); }

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
    fail("\nInterrupted!");
}
