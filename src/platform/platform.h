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
// The number syntax of range options and database parameters: leading zeros
// skipped, then decimal when a digit 1-9 follows, else hexadecimal with an
// optional x.
int parse_number(const char* text);
// The value of one hexadecimal digit of either case, or -1 for any other
// character (EOF included).
int platform_hex_digit(int c);

// file.cpp
// Puts file `from` in the place of `to` in one step (the old `to` is replaced).
// Returns 1 on success, 0 on failure.
int platform_replace_file(const char* from, const char* to);
// Opens a regular file for reading in text mode. Anything else (a directory,
// a named pipe, a device) is refused without blocking, with errno set and
// ENOENT only when nothing has the name, so a FIFO in place of a settings,
// database or HEX file cannot hang the run at open.
std::FILE* platform_open_text_file(const char* path);
// True when both names exist and are the same file, through whatever links
// or paths; false when either does not exist.
bool platform_same_file(const char* a, const char* b);
// What names a file for the comparison of two names: device and inode (the
// volume serial number and file index on Windows) of a file that exists; the
// directory's identity and the last component for a name not yet created.
// Symbolic links are followed, so a link and its target are one file.
struct PlatformFileId {
    bool exists;
    unsigned long long device;
    unsigned long long index;
    char name[256];  // last component, for a name not yet created
};
// False when the name cannot be looked at (its directory does not exist).
bool platform_file_id(const char* path, PlatformFileId* id);
bool platform_same_id(const PlatformFileId& a, const PlatformFileId& b);
// Where a chain of symbolic links that starts at `path` ends (the name itself
// when it is no link, also a dangling link's target). A file replaced in one
// step is replaced there, so that the link stays and every name that shares
// the file sees the new contents. Returns 0 when it does not fit `size`.
int platform_link_target(const char* path, char* out, std::size_t size);
// Whether the run can write `path`: an existing file is opened for writing
// (without changing it), a missing one needs a directory that takes new files;
// `replaced` files are written under a temporary name beside them and then
// renamed, which needs the directory even when the file exists. On failure
// errno tells why.
bool platform_file_writable(const char* path, bool replaced);
// A process started with descriptor 0, 1 or 2 closed would get its first file
// or the serial port there, and console text would go down the line: each
// closed one is opened on the null device. Returns a bit set of the closed
// ones (bit n for descriptor n); platform_closed_standard_descriptors tells it later.
int platform_fill_standard_descriptors();
int platform_closed_standard_descriptors();
// True where '/' separates directories (POSIX); on Windows only '\\' does.
bool platform_slash_separates();
// True when a command-line argument is an option word rather than a file name.
bool platform_is_option_word(const char* arg);
// Like platform_open_text_file, but the bytes are read as they are (no
// line-end translation on Windows), for hashing a file.
std::FILE* platform_open_binary_file(const char* path);
// Flushes the stream and has the OS put what it holds on the disk before it
// returns, so a rename that follows never publishes a file the disk lacks.
// Returns 1 on success, 0 on failure.
int platform_commit_file(std::FILE* file);
// The process's id, which keeps the temporary names of two runs apart.
long platform_process_id();
// Keeps the original standard output for the program's own use and sends
// everything written to standard output from now on to standard error.
// Returns a stream on the original standard output, nullptr on failure.
std::FILE* platform_take_stdout();

// places.cpp: where the program's own files can go.
// Directory of the running executable, from the OS (links resolved on Linux),
// with its trailing separator. Returns 1 on success, 0 when unknown or too long.
int platform_executable_dir(char* out, std::size_t size);
// True when the process may create files in `dir` ("" is the current
// directory). Always true on Windows, where the files stay beside the program.
bool platform_dir_writable(const char* dir);
// True when anything (a file, a directory, a link, even a dangling one) has the name.
bool platform_path_exists(const char* path);
// The per-user directory for `app` on POSIX: $XDG_CONFIG_HOME/<app>/, else
// $HOME/.config/<app>/, with its trailing '/'. Returns 0 on Windows, when
// neither variable names an absolute path, or when it does not fit.
int platform_user_config_dir(const char* app, char* out, std::size_t size);
// Creates the directory and its missing parents (mode 0700). Returns 1 when
// it is a directory afterwards.
int platform_make_dirs(const char* dir);

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

// Holds back the signals of platform_catch_interrupts and lets them through
// again, so that a record the last-resort handler reads (what the serial port
// has written so far) is never seen half-updated. On Windows the console
// handler runs on a thread of its own and a port write is never cut short by
// it, so there is nothing to hold.
void platform_hold_interrupts();
void platform_release_interrupts();

// A reader that goes away (`picup /READ0- | head -3`) must not kill the
// process: the programmer would keep VPP on. On POSIX this ignores SIGPIPE,
// so the write fails with EPIPE and the stream's error flag is set; on
// Windows such a write fails that way already.
void platform_survive_closed_output();
