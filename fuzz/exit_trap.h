// Lets a harness drive code that ends the process where it meets a failure.
// The harness is linked with --wrap=exit,--wrap=fopen,--wrap=fdopen,--wrap=fclose:
// while an input runs, exit() jumps back to the harness instead of ending the
// fuzzer, and the files the code opened and did not get to close before it
// "ended the process" are closed afterwards, so such an input leaks nothing
// into the next one. Files still open when the code returns normally are its
// own (a log); the harness releases them through the code's own functions.
// The code under test is plain procedural C++ without destructors, so jumping
// over its frames is sound. Include in exactly one source file of a harness.
#pragma once
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>

extern "C" {
[[noreturn]] void __real_exit(int code);
std::FILE* __real_fopen(const char* path, const char* mode);
std::FILE* __real_fdopen(int fd, const char* mode);
int __real_fclose(std::FILE* file);
}

namespace exit_trap {

inline std::jmp_buf jump;
inline bool armed = false;
inline int exit_code = -1;

constexpr int MAX_OPEN = 16;
inline std::FILE* open_files[MAX_OPEN];

inline std::FILE* remember(std::FILE* f) {
    if (f == nullptr || !armed) return f;
    for (std::FILE*& slot : open_files) {
        if (slot == nullptr) {
            slot = f;
            return f;
        }
    }
    __builtin_trap();  // the code under test keeps more files open than it ever should
}

inline void forget(std::FILE* f) {
    for (std::FILE*& slot : open_files)
        if (slot == f) slot = nullptr;
}

// Runs fn(context); returns -1 when it returned, else the code it exited with.
// When it exited, the files it left open are closed.
inline int run(void (*fn)(void*), void* context) {
    exit_code = -1;
    bool exited = false;
    if (setjmp(jump) == 0) {
        armed = true;
        fn(context);
    } else {
        exited = true;
    }
    armed = false;
    for (std::FILE*& slot : open_files) {
        if (slot != nullptr && exited) __real_fclose(slot);
        slot = nullptr;
    }
    return exit_code;
}

}  // namespace exit_trap

extern "C" [[noreturn]] void __wrap_exit(int code) {
    if (!exit_trap::armed) __real_exit(code);
    exit_trap::armed = false;
    exit_trap::exit_code = code;
    std::fflush(stdout);
    std::longjmp(exit_trap::jump, 1);
}

namespace exit_trap {

// Inputs name files the program then writes (/LOG=, /JSON=, /SAVE=, ...), and
// the fuzzer runs as whatever user CI is. Writes go only to relative paths
// that stay in the working directory (scripts/fuzz gives each harness a
// scratch one) or into the temporary directories the harnesses use; anything
// else fails as if the directory took no files.
inline bool write_allowed(const char* path) {
    if (std::strstr(path, "..") != nullptr) return false;
    if (path[0] != '/') return true;
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && tmp[0] == '/' && std::strncmp(path, tmp, std::strlen(tmp)) == 0) return true;
    return std::strncmp(path, "/tmp/", 5) == 0 || std::strncmp(path, "/dev/shm/", 9) == 0;
}

}  // namespace exit_trap

extern "C" std::FILE* __wrap_fopen(const char* path, const char* mode) {
    bool writes = std::strpbrk(mode, "wa+") != nullptr;
    if (writes && !exit_trap::write_allowed(path)) {
        errno = EACCES;
        return nullptr;
    }
    return exit_trap::remember(__real_fopen(path, mode));
}

// Files opened without blocking (open() first, then a stream on the descriptor).
extern "C" std::FILE* __wrap_fdopen(int fd, const char* mode) {
    return exit_trap::remember(__real_fdopen(fd, mode));
}

extern "C" int __wrap_fclose(std::FILE* file) {
    exit_trap::forget(file);
    return __real_fclose(file);
}
