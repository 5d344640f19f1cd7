// Helpers shared by the native tests: temporary directories, file contents and
// pseudo-terminals standing in for the programmer's serial line.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>

namespace native {

inline std::string make_temp_dir() {
    char pattern[] = "/tmp/picup-native-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir ? dir : "";
}

// What a call that ends the process printed and its exit code. The call runs
// in a child process with stdout on a pipe; 99 means it returned.
struct Outcome {
    int code = -1;
    std::string out;
};

inline Outcome run_child(const std::function<void()>& body) {
    Outcome result;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return result;
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        dup2(pipe_fds[1], 1);
        body();
        std::fflush(stdout);
        _exit(99);
    }
    close(pipe_fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) result.out.append(buffer, n);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A pseudo-terminal pair: the test plays the programmer on the master side,
// the product opens the slave path as its serial port.
struct Pty {
    int master = -1;
    std::string slave;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = ptsname(master);
    }
    ~Pty() { close_master(); }
    void close_master() {
        if (master >= 0) close(master);
        master = -1;
    }
    // Reads what the product wrote, waiting up to `ms` for each byte.
    std::string read_master(std::size_t count, int ms = 1000) const {
        std::string got;
        while (got.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) break;
            char c;
            if (read(master, &c, 1) != 1) break;
            got.push_back(c);
        }
        return got;
    }
};

}  // namespace native
