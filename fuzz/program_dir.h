// A directory of its own for a harness that hands its input to the program as
// one of the files beside the program (picup.cfg, picup.dat): the program then
// opens and reads the file itself, the way a run meets it. The directory and
// what the program leaves in it are removed when the fuzzer ends normally.
// Include in exactly one source file of a harness.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace program_dir {

inline char directory[200];
inline char program[sizeof directory + 16];  // <directory>/picup, the program's name

[[noreturn]] inline void give_up(const char* what) {
    std::perror(what);
    std::abort();
}

inline void file_path(char* path, std::size_t size, const char* suffix) {
    std::snprintf(path, size, "%s%s", program, suffix);
}

inline void remove_all() {
    for (const char* suffix : {".cfg", ".cfg.tmp", ".log", ".dat"}) {
        char path[sizeof program + 16];
        file_path(path, sizeof path, suffix);
        unlink(path);
    }
    rmdir(directory);
}

// Where the directory goes: a file system in memory where there is one. On a
// disk file system every input's file costs a flush to the disk (ext4 writes a
// file that was truncated and written again out on close), which makes the
// harness some forty times slower. Else $TMPDIR, else /tmp.
inline const char* parent() {
    if (access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

inline void create() {
    // The program takes a path of at most 255 characters as its own name.
    int length = std::snprintf(directory, sizeof directory, "%s/picup-fuzz-XXXXXX", parent());
    if (length < 0 || length >= static_cast<int>(sizeof directory)) {
        std::fprintf(stderr, "program_dir: TMPDIR is too long for a program path\n");
        std::abort();
    }
    if (mkdtemp(directory) == nullptr) give_up(directory);
    std::snprintf(program, sizeof program, "%s/picup", directory);
    std::atexit(remove_all);
}

// Puts the bytes into <program><suffix>; with `absent_when_empty`, no bytes is
// no file at all.
inline void write_file(const char* suffix, const uint8_t* data, std::size_t size,
                       bool absent_when_empty) {
    char path[sizeof program + 16];
    file_path(path, sizeof path, suffix);
    if (size == 0 && absent_when_empty) {
        if (unlink(path) != 0 && errno != ENOENT) give_up(path);
        return;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) give_up(path);
    for (std::size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) give_up(path);
        done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0) give_up(path);
}

}  // namespace program_dir
