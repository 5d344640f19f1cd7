// Sleeping and the millisecond clock on Windows. The serial port raises the
// timer resolution to 1 ms while it is open, so Sleep(5) lasts about 5 ms and
// not a whole 15.6 ms scheduler tick.
#include "platform/platform.h"
#ifdef _WIN32
#include <windows.h>

void platform_sleep_ms(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

// The performance counter is monotonic and far finer than a millisecond.
long platform_clock_ms() {
    static LARGE_INTEGER frequency{};
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<long>(now.QuadPart * 1000 / frequency.QuadPart);
}
#endif
