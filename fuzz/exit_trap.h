// Lets a harness drive code that ends the process where it meets a failure.
// The harness is linked with --wrap=exit,--wrap=fopen,--wrap=fclose: while an
// input runs, exit() jumps back to the harness instead of ending the fuzzer,
// and files the code opened are closed afterwards, so an input that ends "the
// process" leaks nothing into the next one. Settings files (*.cfg) are served
// from the input's bytes instead of the disk. The code under test is plain
// procedural C++ without destructors, so jumping over its frames is sound.
// Include in exactly one source file of a harness.
#pragma once
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {
[[noreturn]] void __real_exit(int code);
std::FILE* __real_fopen(const char* path, const char* mode);
int __real_fclose(std::FILE* file);
}

namespace exit_trap {

inline std::jmp_buf jump;
inline bool armed = false;
inline int exit_code = -1;
inline const uint8_t* cfg_data = nullptr;
inline size_t cfg_size = 0;

constexpr int MAX_OPEN = 16;
inline std::FILE* open_files[MAX_OPEN];

inline void remember(std::FILE* f) {
    for (std::FILE*& slot : open_files) {
        if (slot == nullptr) {
            slot = f;
            return;
        }
    }
    __builtin_trap();  // the code under test keeps more files open than it ever should
}

inline void forget(std::FILE* f) {
    for (std::FILE*& slot : open_files)
        if (slot == f) slot = nullptr;
}

inline bool ends_with(const char* text, const char* suffix) {
    size_t n = std::strlen(text), m = std::strlen(suffix);
    return n >= m && std::strcmp(text + n - m, suffix) == 0;
}

// Runs fn(context); returns -1 when it returned, else the code it exited with.
// Files it left open are closed either way.
inline int run(void (*fn)(void*), void* context) {
    exit_code = -1;
    if (setjmp(jump) == 0) {
        armed = true;
        fn(context);
    }
    armed = false;
    for (std::FILE*& slot : open_files) {
        if (slot != nullptr) __real_fclose(slot);
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

extern "C" std::FILE* __wrap_fopen(const char* path, const char* mode) {
    std::FILE* f = nullptr;
    if (exit_trap::ends_with(path, ".cfg") && mode[0] == 'r') {
        // No bytes is no settings file at all.
        if (exit_trap::cfg_size == 0) return nullptr;
        f = fmemopen(const_cast<uint8_t*>(exit_trap::cfg_data), exit_trap::cfg_size, "r");
    } else {
        f = __real_fopen(path, mode);
    }
    if (f != nullptr && exit_trap::armed) exit_trap::remember(f);
    return f;
}

extern "C" int __wrap_fclose(std::FILE* file) {
    exit_trap::forget(file);
    return __real_fclose(file);
}
