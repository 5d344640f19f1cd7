// Console key test and the interrupt flag on Windows.
#include "platform/platform.h"
#ifdef _WIN32
#include <conio.h>
#include <windows.h>

#include <cstdlib>

namespace {

volatile LONG interrupted = 0;
void (*last_resort_action)() = nullptr;

// Closing the console window, logging off and shutting down give the process
// a few seconds (5 by default) and end it as soon as the handler returns.
// This long the handler waits for the run to leave through its exit handler.
constexpr DWORD CLOSE_GRACE_MS = 3000;

bool ends_process(DWORD event) {
    return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT ||
           event == CTRL_SHUTDOWN_EVENT;
}

// Windows calls this on a thread of its own. The first event only raises the
// flag, which the run notices at its next poll and leaves through the exit
// handler (VPP off, port closed, log ended). A second one while the flag is up
// means the run is stuck: switch VPP off from here and end the process.
// After a close event Windows kills the process once the handler returns, so
// the handler waits for the run's own exit (which ends this thread too) and
// only then, as a last resort, switches VPP off itself.
BOOL WINAPI on_console_event(DWORD event) {
    if (InterlockedExchange(&interrupted, 1) != 0) {
        if (last_resort_action != nullptr) last_resort_action();
        _exit(1);
    }
    if (ends_process(event)) {
        Sleep(CLOSE_GRACE_MS);
        if (last_resort_action != nullptr) last_resort_action();
    }
    return TRUE;
}

// A redirected stdin: a pipe counts as a key press when a byte waits in it or
// its writer has gone (end of input); a file or a device such as NUL at once,
// since no key can ever come from it. A pipe that cannot be looked into
// (Wine's pipes from the host system refuse the peek) gives no key, so the
// helper runs until Ctrl+C, as it would with the plain console key test.
int redirected_input_ready(HANDLE input) {
    if (GetFileType(input) != FILE_TYPE_PIPE) return 1;
    DWORD available = 0;
    if (PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
        return available > 0 ? 1 : 0;
    }
    return GetLastError() == ERROR_BROKEN_PIPE ? 1 : 0;
}

}  // namespace

// The Windows console needs no mode change for _kbhit.
void platform_key_begin() {}

// _kbhit looks at the console's input buffer without taking the key. It never
// sees a key when stdin is redirected, and the calibration helper would wait
// forever; then the pipe or file is looked at instead.
int platform_key_pressed() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return 1;
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) return _kbhit() ? 1 : 0;
    return redirected_input_ready(input);
}

void platform_key_end() {}

void platform_catch_interrupts(void (*last_resort)()) {
    last_resort_action = last_resort;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int platform_interrupted() { return interrupted ? 1 : 0; }

void platform_clear_interrupt() { InterlockedExchange(&interrupted, 0); }

void platform_hold_interrupts() {}
void platform_release_interrupts() {}

// Windows raises no signal for a write to a closed pipe; the write fails.
void platform_survive_closed_output() {}
#endif
