// What the progress display needs to know about standard error on Windows.
// The console only understands the cursor controls the display uses once
// virtual terminal processing is switched on; a console that refuses it
// counts as no terminal, so nothing is drawn there.
#include "platform/platform.h"
#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <cstdio>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

bool platform_stderr_is_terminal() {
    if (!_isatty(_fileno(stderr))) return false;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err == INVALID_HANDLE_VALUE || !GetConsoleMode(err, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    return SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int platform_stderr_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}
#endif
