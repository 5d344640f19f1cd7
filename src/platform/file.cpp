// Files: replacing one in a single step, opening one for reading without ever
// blocking on something that is not a file, telling whether two names are one
// file, the directory separator rule, committing a file to the disk, and
// standard output kept apart for the run record.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
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
