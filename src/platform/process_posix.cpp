// Child processes, file locks and durable writes on POSIX systems.
#include "platform/process.h"
#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

extern char** environ;

namespace {

// The child's standard streams: the null device in, the two capture files out.
bool plan_streams(posix_spawn_file_actions_t* actions, const char* out_path,
                  const char* err_path) {
    const int create = O_WRONLY | O_CREAT | O_TRUNC;
    return posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(actions, 1, out_path, create, 0600) == 0 &&
           posix_spawn_file_actions_addopen(actions, 2, err_path, create, 0600) == 0;
}

// A group of its own, so the terminal's Ctrl+C reaches only the parent, which
// passes it on exactly once: a second signal would make the child give up
// its own exit path. Interrupt signals start at their defaults and unblocked.
bool plan_attributes(posix_spawnattr_t* attributes) {
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    sigemptyset(&none);
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    return posix_spawnattr_setflags(attributes, flags) == 0 &&
           posix_spawnattr_setpgroup(attributes, 0) == 0 &&
           posix_spawnattr_setsigdefault(attributes, &defaults) == 0 &&
           posix_spawnattr_setsigmask(attributes, &none) == 0;
}

// One look at every running child without waiting.
int reap_one(PlatformChild* children, int count, int* exit_code) {
    for (int i = 0; i < count; ++i) {
        if (!children[i].running) continue;
        int status = 0;
        pid_t r = waitpid(static_cast<pid_t>(children[i].pid), &status, WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR)) continue;
        children[i].running = false;
        *exit_code = (r > 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
        return i;
    }
    return -1;
}

}  // namespace

// The program is looked up the way the shell found it: argv[0] with a
// directory in it is a path from the current directory, which the child
// shares; without one it is searched in PATH.
int platform_spawn_self(char* const* argv, const char* out_path, const char* err_path,
                        PlatformChild* child) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return 0;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return 0;
    }
    pid_t pid = -1;
    bool ok = plan_streams(&actions, out_path, err_path) && plan_attributes(&attributes) &&
              posix_spawnp(&pid, argv[0], &actions, &attributes, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (!ok) return 0;
    child->pid = pid;
    child->handle = nullptr;
    child->running = true;
    return 1;
}

int platform_wait_child(PlatformChild* children, int count, int ms, int* exit_code) {
    int done = reap_one(children, count, exit_code);
    if (done >= 0) return done;
    platform_sleep_ms(ms);
    return reap_one(children, count, exit_code);
}

void platform_interrupt_child(const PlatformChild* child) {
    if (child->running) kill(static_cast<pid_t>(child->pid), SIGINT);
}

// Under $TMPDIR when it names a directory, as every POSIX tool does, else /tmp.
int platform_make_temp_dir(char* out, std::size_t size) {
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || base[0] == '\0') base = "/tmp";
    char name[512];
    std::size_t length = std::strlen(base);
    while (length > 1 && base[length - 1] == '/') --length;
    int n = std::snprintf(name, sizeof name, "%.*s/picup-XXXXXX", static_cast<int>(length), base);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof name) return 0;
    if (mkdtemp(name) == nullptr) return 0;
    n = std::snprintf(out, size, "%s/", name);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        rmdir(name);
        return 0;
    }
    return 1;
}

int platform_remove_dir(const char* path) { return rmdir(path) == 0 ? 1 : 0; }

// flock locks belong to the open file, so no other descriptor the process
// closes can drop them. A wait cut short by a signal goes on, unless it was
// Ctrl+C: then the run is to end, not wait.
int platform_lock_file(const char* path, PlatformLock* lock) {
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR || platform_interrupted()) {
            close(fd);
            return 0;
        }
    }
    lock->fd = fd;
    lock->handle = nullptr;
    return 1;
}

void platform_unlock_file(PlatformLock* lock) {
    if (lock->fd < 0) return;
    int fd = static_cast<int>(lock->fd);
    lock->fd = -1;
    flock(fd, LOCK_UN);
    close(fd);
}

int platform_sync_dir_of(const char* path) {
    char dir[512];
    const char* slash = std::strrchr(path, '/');
    std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path);
    if (length >= sizeof dir) return 0;
    if (length == 0) {
        std::strcpy(dir, slash == nullptr ? "." : "/");
    } else {
        std::memcpy(dir, path, length);
        dir[length] = '\0';
    }
    int fd = open(dir, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    int r = fsync(fd);
    close(fd);
    return r == 0 ? 1 : 0;
}

// flock: the lock belongs to the open file, and a wait cut short by a signal
// goes on (the history line of an interrupted run is written too).
int platform_lock_stream(std::FILE* file) {
    int fd = fileno(file);
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return 0;
    }
    return 1;
}

void platform_unlock_stream(std::FILE* file) { flock(fileno(file), LOCK_UN); }
#endif
