// The small OS layer under everything else: sleeping, a millisecond clock, the
// console key test of the calibration helper, case-insensitive text compare and
// the interrupt flag raised by Ctrl+C / SIGTERM (or a Windows console event).
// Nothing above this layer and src/serial knows which OS it runs on.
#pragma once
#include <cstddef>
#include <cstdio>

// clock_posix.cpp / clock_win32.cpp (tests link a virtual clock instead).
void platform_sleep_ms(int ms);
long platform_clock_ms();  // elapsed milliseconds on a monotonic clock
// The same in microseconds, for waits that follow bytes on a fast line; a
// sleep may last longer than asked (on Windows, whole milliseconds).
void platform_sleep_us(long us);
long long platform_clock_us();

// text.cpp
int platform_strnicmp(const char* a, const char* b, std::size_t n);
int platform_stricmp(const char* a, const char* b);

// file.cpp
// Puts file `from` in the place of `to` in one step (the old `to` is replaced).
// Returns 1 on success, 0 on failure.
int platform_replace_file(const char* from, const char* to);
// Opens a regular file for reading in text mode. Anything else (a directory,
// a named pipe, a device) is refused without blocking, with errno set and
// ENOENT only when nothing has the name, so a FIFO in place of a settings,
// database or HEX file cannot hang the run at open.
std::FILE* platform_open_text_file(const char* path);
// True where '/' separates directories (POSIX); on Windows only '\\' does.
bool platform_slash_separates();

// console_posix.cpp / console_win32.cpp
// Key test for the calibration helper: begin puts a terminal stdin into
// non-canonical no-echo mode, end restores it (safe to call at any time, twice,
// or from the exit handler). pressed is non-zero when a key (or, for a stdin
// that is not a terminal, any byte or end of input) is waiting; it does not
// consume a key from a terminal.
void platform_key_begin();
int platform_key_pressed();
void platform_key_end();

// terminal_posix.cpp / terminal_win32.cpp, for the progress display.
// True when standard error is a terminal that takes the cursor controls the
// display draws with (on Windows: once virtual terminal processing is on).
bool platform_stderr_is_terminal();
// Width of the terminal on standard error in columns; 0 when it is unknown.
int platform_stderr_columns();

// Installs the handlers for Ctrl+C and SIGTERM (console control events on
// Windows). A handler only raises the flag; the run notices it at its next poll
// and leaves through the normal exit path. A second signal while the flag is
// still up calls `last_resort` (which may use only async-signal-safe calls) and
// ends the process at once with exit code 1.
void platform_catch_interrupts(void (*last_resort)());
int platform_interrupted();
void platform_clear_interrupt();
