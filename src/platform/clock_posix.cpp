// Sleeping and the monotonic clock on POSIX systems.
#include "platform/platform.h"
#ifndef _WIN32
#include <cerrno>
#include <ctime>

// Sleeps the whole time even when a signal cuts the sleep short, except for
// Ctrl+C / SIGTERM: then the caller's next poll should see the flag at once.
void platform_sleep_us(long us) {
    if (us <= 0) return;
    timespec left{us / 1000000L, (us % 1000000L) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        if (platform_interrupted()) return;
    }
}

void platform_sleep_ms(int ms) {
    if (ms > 0) platform_sleep_us(static_cast<long>(ms) * 1000L);
}

long long platform_clock_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_nsec / 1000;
}

long platform_clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
}
#endif
