// Child processes, file locks and durable writes on Windows.
#include "platform/process.h"
#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// The command line a child gets; Windows allows at most 32767 characters.
char command_line[8192];

// Appends `text` at `*at` in `command_line`; false when it does not fit.
bool put(std::size_t* at, const char* text, std::size_t length) {
    if (*at + length >= sizeof command_line) return false;
    std::memcpy(command_line + *at, text, length);
    *at += length;
    command_line[*at] = '\0';
    return true;
}

bool put_char(std::size_t* at, char c) { return put(at, &c, 1); }

// One argument quoted so the C runtime's parser gives it back unchanged:
// backslashes count only before a quote, where each must be doubled.
bool put_argument(std::size_t* at, const char* arg) {
    if (!put_char(at, '"')) return false;
    for (const char* p = arg;; ++p) {
        std::size_t backslashes = 0;
        while (*p == '\\') ++backslashes, ++p;
        if (*p == '\0' || *p == '"') {
            std::size_t doubled = backslashes * 2 + (*p == '"' ? 1 : 0);
            for (std::size_t i = 0; i < doubled; ++i) {
                if (!put_char(at, '\\')) return false;
            }
            if (*p == '\0') break;
        } else {
            for (std::size_t i = 0; i < backslashes; ++i) {
                if (!put_char(at, '\\')) return false;
            }
        }
        if (!put_char(at, *p)) return false;
    }
    return put_char(at, '"');
}

bool build_command_line(char* const* argv) {
    std::size_t at = 0;
    command_line[0] = '\0';
    for (int i = 0; argv[i] != nullptr; ++i) {
        if (i > 0 && !put_char(&at, ' ')) return false;
        if (!put_argument(&at, argv[i])) return false;
    }
    return true;
}

HANDLE open_inheritable(const char* path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void close_all(HANDLE* handles, int count) {
    for (int i = 0; i < count; ++i) {
        if (handles[i] != INVALID_HANDLE_VALUE) CloseHandle(handles[i]);
    }
}

// A process group of its own: the console's Ctrl+C does not reach the child
// (the parent passes it on once, as Ctrl+Break to that group).
bool start(HANDLE* streams, PlatformChild* child) {
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program) return false;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = streams[0];
    startup.hStdOutput = streams[1];
    startup.hStdError = streams[2];
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(program, command_line, nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                        nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    child->pid = info.dwProcessId;
    child->handle = info.hProcess;
    child->running = true;
    return true;
}

}  // namespace

// The child is this executable (its path from the system); argv[0] is passed
// on as given, so the child names its files exactly as this process does.
int platform_spawn_self(char* const* argv, const char* out_path, const char* err_path,
                        PlatformChild* child) {
    if (!build_command_line(argv)) return 0;
    HANDLE streams[3] = {open_inheritable("NUL", GENERIC_READ, OPEN_EXISTING),
                         open_inheritable(out_path, GENERIC_WRITE, CREATE_ALWAYS),
                         open_inheritable(err_path, GENERIC_WRITE, CREATE_ALWAYS)};
    bool ok = streams[0] != INVALID_HANDLE_VALUE && streams[1] != INVALID_HANDLE_VALUE &&
              streams[2] != INVALID_HANDLE_VALUE && start(streams, child);
    close_all(streams, 3);
    return ok ? 1 : 0;
}

int platform_wait_child(PlatformChild* children, int count, int ms, int* exit_code) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    int index[MAXIMUM_WAIT_OBJECTS];
    DWORD n = 0;
    for (int i = 0; i < count && n < MAXIMUM_WAIT_OBJECTS; ++i) {
        if (!children[i].running) continue;
        handles[n] = static_cast<HANDLE>(children[i].handle);
        index[n++] = i;
    }
    if (n == 0) return -1;
    DWORD r = WaitForMultipleObjects(n, handles, FALSE, static_cast<DWORD>(ms));
    if (r < WAIT_OBJECT_0 || r >= WAIT_OBJECT_0 + n) return -1;
    PlatformChild& c = children[index[r - WAIT_OBJECT_0]];
    DWORD code = 0;
    *exit_code = GetExitCodeProcess(static_cast<HANDLE>(c.handle), &code)
                     ? static_cast<int>(code)
                     : -1;
    CloseHandle(static_cast<HANDLE>(c.handle));
    c.handle = nullptr;
    c.running = false;
    return index[r - WAIT_OBJECT_0];
}

// Needs the console the child shares with this process. Without one (a
// program started with its output in pipes, as under Wine's test runner) the
// event cannot be sent, and the child ends its job as it would have anyway,
// VPP off included.
void platform_interrupt_child(const PlatformChild* child) {
    if (child->running) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(child->pid));
}

int platform_make_temp_dir(char* out, std::size_t size) {
    char base[MAX_PATH];
    DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length >= sizeof base) return 0;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        int n = std::snprintf(out, size, "%spicup-%lu-%u\\", base, GetCurrentProcessId(), attempt);
        if (n < 0 || static_cast<std::size_t>(n) >= size) return 0;
        out[n - 1] = '\0';
        bool made = CreateDirectoryA(out, nullptr) != 0;
        out[n - 1] = '\\';
        if (made) return 1;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return 0;
    }
    return 0;
}

int platform_remove_dir(const char* path) { return RemoveDirectoryA(path) ? 1 : 0; }

int platform_lock_file(const char* path, PlatformLock* lock) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    OVERLAPPED whole{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        CloseHandle(h);
        return 0;
    }
    lock->fd = -1;
    lock->handle = h;
    return 1;
}

void platform_unlock_file(PlatformLock* lock) {
    if (lock->handle == nullptr) return;
    HANDLE h = static_cast<HANDLE>(lock->handle);
    lock->handle = nullptr;
    OVERLAPPED whole{};
    UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(h);
}

// MoveFileEx with MOVEFILE_WRITE_THROUGH returns once the rename is on disk.
int platform_sync_dir_of(const char*) { return 1; }

// The lock covers every byte the file may ever have, so it also holds the
// end that an appender writes at.
int platform_lock_stream(std::FILE* file) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    OVERLAPPED whole{};
    return (h != INVALID_HANDLE_VALUE &&
            LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
               ? 1
               : 0;
}

void platform_unlock_stream(std::FILE* file) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    OVERLAPPED whole{};
    if (h != INVALID_HANDLE_VALUE) UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
}
#endif
