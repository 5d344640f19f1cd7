// Sleeping and the monotonic clock on Windows. The serial port raises the
// timer resolution to 1 ms while it is open, so Sleep(5) lasts about 5 ms and
// not a whole 15.6 ms scheduler tick.
#include "platform/platform.h"
#ifdef _WIN32
#include <windows.h>

void platform_sleep_ms(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

// Sleep counts whole milliseconds: a shorter wait is rounded up to one.
void platform_sleep_us(long us) {
    if (us > 0) Sleep(static_cast<DWORD>((us + 999) / 1000));
}

// The performance counter is monotonic and far finer than a millisecond.
long platform_clock_ms() {
    static LARGE_INTEGER frequency{};
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<long>(now.QuadPart * 1000 / frequency.QuadPart);
}

// Whole seconds and the remainder apart, so that the product cannot overflow
// however long the machine has been up.
long long platform_clock_us() {
    static LARGE_INTEGER frequency{};
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    long long seconds = now.QuadPart / frequency.QuadPart;
    long long rest = now.QuadPart % frequency.QuadPart;
    return seconds * 1000000LL + rest * 1000000LL / frequency.QuadPart;
}
#endif
