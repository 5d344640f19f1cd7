#include "run/fail.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

void fail(const char* message) {
    std::puts(message);
    std::exit(1);
}

void fail_silent() { std::exit(1); }

void check_interrupt() {
    if (!platform_interrupted()) return;
    platform_clear_interrupt();
    fail("\nInterrupted!");
}
