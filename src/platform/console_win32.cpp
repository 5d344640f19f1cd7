// Console key test and the interrupt flag on Windows.
#include "platform/platform.h"
#ifdef _WIN32
#include <conio.h>
#include <windows.h>

#include <csignal>
#include <cstdlib>

namespace {

volatile LONG interrupted = 0;
void (*last_resort_action)() = nullptr;

// Windows calls this on its own thread for Ctrl+C, Ctrl+Break and closing the
// console window. The first event only raises the flag, which the run notices
// at its next poll; a second one while the flag is up switches VPP off at once
// and ends the process.
BOOL WINAPI on_console_event(DWORD) {
    if (InterlockedExchange(&interrupted, 1) != 0) {
        if (last_resort_action != nullptr) last_resort_action();
        _exit(1);
    }
    return TRUE;
}

}  // namespace

// The Windows console needs no mode change for _kbhit.
void platform_key_begin() {}

int platform_key_pressed() { return _kbhit() ? 1 : 0; }

void platform_key_end() {}

void platform_catch_interrupts(void (*last_resort)()) {
    last_resort_action = last_resort;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int platform_interrupted() { return interrupted ? 1 : 0; }

void platform_clear_interrupt() { InterlockedExchange(&interrupted, 0); }
#endif
