// Files: replacing one in a single step, opening one for reading without ever
// blocking on something that is not a file, telling whether two names are one
// file, the directory separator rule, committing a file to the disk, and
// standard output kept apart for the run record.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// The new contents take the old name in one step, so a reader sees either the
// old or the new file and never a half-written one.
int platform_replace_file(const char* from, const char* to) {
#ifdef _WIN32
    // rename() refuses to overwrite on Windows; MoveFileEx replaces in place.
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
#else
    return std::rename(from, to) == 0 ? 1 : 0;
#endif
}

#ifdef _WIN32
namespace {

// Volume serial number and file index name one file on Windows, as device and
// inode do on POSIX. Opened without access rights, so a file another program
// holds open still answers.
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

}  // namespace
#endif

bool platform_same_file(const char* a, const char* b) {
#ifdef _WIN32
    BY_HANDLE_FILE_INFORMATION ia {}, ib {};
    if (!file_identity(a, &ia) || !file_identity(b, &ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
#else
    struct stat sa {}, sb {};
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#endif
}

bool platform_slash_separates() {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}

// Options begin with '/'. Where '/' also starts an absolute path, an argument
// whose first component ends in a further '/' before any '=' is a file name
// (/home/me/blinky.hex), while /COM=/dev/ttyUSB0 and /READ0-0x1F stay options.
bool platform_is_option_word(const char* arg) {
    if (arg[0] != '/') return false;
    if (!platform_slash_separates()) return true;
    for (const char* p = arg + 1; *p != '\0'; ++p) {
        if (*p == '=') return true;
        if (*p == '/') return false;
    }
    return true;
}

namespace {

std::FILE* open_regular_file(const char* path, bool binary) {
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        return nullptr;
    }
    return std::fopen(path, binary ? "rb" : "r");
#else
    // O_NONBLOCK makes the open of a FIFO return at once; it is cleared again
    // for the regular file that is read.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EISDIR;
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, binary ? "rb" : "r");
    if (file == nullptr) close(fd);
    return file;
#endif
}

}  // namespace

std::FILE* platform_open_text_file(const char* path) { return open_regular_file(path, false); }

std::FILE* platform_open_binary_file(const char* path) { return open_regular_file(path, true); }

int platform_commit_file(std::FILE* file) {
    if (std::fflush(file) != 0) return 0;
#ifdef _WIN32
    return _commit(_fileno(file)) == 0 ? 1 : 0;
#else
    return fsync(fileno(file)) == 0 ? 1 : 0;
#endif
}

long platform_process_id() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

// The record stream gets its own descriptor on what standard output was;
// descriptor 1 then becomes a copy of standard error, so every later write
// to stdout, ours or the runtime's, lands there.
std::FILE* platform_take_stdout() {
    std::fflush(stdout);
#ifdef _WIN32
    int kept = _dup(_fileno(stdout));
    if (kept < 0) return nullptr;
    if (_dup2(_fileno(stderr), _fileno(stdout)) != 0) {
        _close(kept);
        return nullptr;
    }
    std::FILE* out = _fdopen(kept, "w");
    if (out == nullptr) _close(kept);
#else
    int kept = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (kept < 0) return nullptr;
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        close(kept);
        return nullptr;
    }
    std::FILE* out = fdopen(kept, "w");
    if (out == nullptr) close(kept);
#endif
    return out;
}

int platform_link_target(const char* path, char* out, std::size_t size) {
    std::size_t length = std::strlen(path);
    if (length >= size) return 0;
    std::memcpy(out, path, length + 1);
#ifndef _WIN32
    // As many hops as the kernel itself follows before it gives up (ELOOP).
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (lstat(out, &info) != 0 || !S_ISLNK(info.st_mode)) return 1;
        char link[4096];
        ssize_t n = readlink(out, link, sizeof link - 1);
        if (n < 0) return 1;
        link[n] = '\0';
        // A relative link is read from the directory that holds it.
        const char* slash = link[0] == '/' ? nullptr : std::strrchr(out, '/');
        std::size_t dir = slash != nullptr ? static_cast<std::size_t>(slash - out) + 1 : 0;
        if (dir + static_cast<std::size_t>(n) >= size) return 0;
        std::memcpy(out + dir, link, static_cast<std::size_t>(n) + 1);
    }
#endif
    return 1;
}

#ifdef _WIN32

bool platform_file_id(const char* path, PlatformFileId* id) {
    *id = PlatformFileId{};
    BY_HANDLE_FILE_INFORMATION info {};
    if (file_identity(path, &info)) {
        id->exists = true;
        id->device = info.dwVolumeSerialNumber;
        id->index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        return true;
    }
    // A name not yet created: its full path, in one case, as Windows compares names.
    DWORD n = GetFullPathNameA(path, sizeof id->name, id->name, nullptr);
    if (n == 0 || n >= sizeof id->name) return false;
    for (char* p = id->name; *p != '\0'; ++p) {
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
        if (*p == '/') *p = '\\';
    }
    return true;
}

bool platform_file_writable(const char* path, bool replaced) {
    (void)replaced;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EISDIR;
        return false;
    }
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EACCES;
        return false;
    }
    CloseHandle(h);
    return true;
}

// Windows opens the serial port as a handle, never as a C runtime descriptor,
// so a closed standard stream cannot hand its number to the port.
int platform_fill_standard_descriptors() { return 0; }
int platform_closed_standard_descriptors() { return 0; }

#else

namespace {

int closed_descriptors = 0;

// Splits a name into its directory ("." when it has none) and last component.
bool split_name(const char* path, char* dir, std::size_t dir_size, const char** name) {
    const char* slash = std::strrchr(path, '/');
    *name = slash != nullptr ? slash + 1 : path;
    std::size_t length = slash == nullptr ? 0 : slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (length >= dir_size) return false;
    if (length == 0) {
        std::strcpy(dir, ".");
    } else {
        std::memcpy(dir, path, length);
        dir[length] = '\0';
    }
    return true;
}

}  // namespace

bool platform_file_id(const char* path, PlatformFileId* id) {
    *id = PlatformFileId{};
    struct stat info {};
    if (stat(path, &info) == 0) {
        id->exists = true;
        id->device = static_cast<unsigned long long>(info.st_dev);
        id->index = static_cast<unsigned long long>(info.st_ino);
        return true;
    }
    char target[4096];
    char dir[4096];
    const char* name = nullptr;
    if (!platform_link_target(path, target, sizeof target) ||
        !split_name(target, dir, sizeof dir, &name) || std::strlen(name) >= sizeof id->name)
        return false;
    if (stat(dir, &info) != 0) return false;
    std::strcpy(id->name, name);
    id->device = static_cast<unsigned long long>(info.st_dev);
    id->index = static_cast<unsigned long long>(info.st_ino);
    return true;
}

bool platform_file_writable(const char* path, bool replaced) {
    char target[4096];
    if (!platform_link_target(path, target, sizeof target)) {
        errno = ENAMETOOLONG;
        return false;
    }
    struct stat info {};
    if (stat(target, &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            errno = EISDIR;
            return false;
        }
        // O_NONBLOCK: a FIFO without a reader is refused at once, not waited on.
        int fd = open(target, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return false;
        close(fd);
        if (!replaced) return true;
    }
    char dir[4096];
    const char* name = nullptr;
    if (!split_name(target, dir, sizeof dir, &name)) {
        errno = ENAMETOOLONG;
        return false;
    }
    return access(dir, W_OK | X_OK) == 0;
}

int platform_fill_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // open() takes the lowest free number, which is this one.
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
        closed_descriptors |= 1 << fd;
    }
    return closed_descriptors;
}

int platform_closed_standard_descriptors() { return closed_descriptors; }

#endif

bool platform_same_id(const PlatformFileId& a, const PlatformFileId& b) {
    if (a.exists != b.exists || a.device != b.device || a.index != b.index) return false;
    return a.exists || std::strcmp(a.name, b.name) == 0;
}
