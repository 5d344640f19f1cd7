// What a production run needs from the OS beyond the serial port: child
// processes of this program (one per programmer of a gang), exclusive file
// locks that other processes wait for, and writes that are on the disk before
// the run reports them done.
#pragma once
#include <cstddef>
#include <cstdio>

// One child process. `handle` is the Windows process handle (unused on POSIX).
struct PlatformChild {
    long long pid;
    void* handle;
    bool running;
};

// Starts this program again with `argv` (nullptr-terminated; argv[0] is the
// program as this process was started), standard input from the null device
// and standard output and error into the files `out_path` and `err_path`
// (created or emptied). The child runs in a process group of its own, so a
// Ctrl+C at the console reaches only this process, which passes it on once
// with platform_interrupt_child. Returns 1 on success.
int platform_spawn_self(char* const* argv, const char* out_path, const char* err_path,
                        PlatformChild* child);
// Waits at most `ms` milliseconds for one of the running children to end.
// Returns its index (now not running) with *exit_code set to its exit code, or
// -1 when it was killed by a signal; returns -1 when none ended in time.
int platform_wait_child(PlatformChild* children, int count, int ms, int* exit_code);
// Asks a running child to stop as Ctrl+C would (SIGINT; Ctrl+Break to its
// process group on Windows): it ends through its own exit path.
void platform_interrupt_child(const PlatformChild* child);

// Creates a fresh directory of its own among the system's temporary files and
// puts its path, with a trailing separator, into `out`. Returns 1 on success.
int platform_make_temp_dir(char* out, std::size_t size);
// Removes an empty directory; returns 1 on success.
int platform_remove_dir(const char* path);

// An exclusive lock on a file, held until platform_unlock_file.
struct PlatformLock {
    long long fd;
    void* handle;
};
// Opens `path` (created when missing) and takes an exclusive lock on it,
// waiting while another process holds it. Gives up and returns 0 when the file
// cannot be opened or locked, or when Ctrl+C arrives during the wait.
int platform_lock_file(const char* path, PlatformLock* lock);
void platform_unlock_file(PlatformLock* lock);

// Puts a rename in the directory that holds `path` on the disk (POSIX; on
// Windows the replace itself writes through). 1 on success.
int platform_sync_dir_of(const char* path);
// Takes an exclusive lock on the whole of an open file, waiting while another
// process holds one; 1 on success. Appenders that each lock the file, write
// and commit before they unlock never interleave their lines.
int platform_lock_stream(std::FILE* file);
void platform_unlock_stream(std::FILE* file);
