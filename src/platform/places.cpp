// Where the program's own files can go: the directory of the running
// executable as the OS knows it, whether a directory takes new files, and on
// POSIX systems the per-user configuration directory for an installation the
// user cannot write to.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Cuts a full path after its last directory separator; 0 when there is none.
int keep_directory(char* path) {
    char* cut = nullptr;
    for (char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || (platform_slash_separates() && *p == '/')) cut = p;
    }
    if (cut == nullptr) return 0;
    cut[1] = '\0';
    return 1;
}

#ifndef _WIN32
// An environment value that names an absolute directory, or nullptr: a
// relative XDG_CONFIG_HOME is to be ignored, and so is an empty one.
const char* absolute_env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}
#endif

}  // namespace

int platform_executable_dir(char* out, std::size_t size) {
    if (size < 2) return 0;
#ifdef _WIN32
    DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
    if (n == 0 || n >= size) return 0;
#else
    // The kernel's own record of the program file, links resolved.
    ssize_t n = readlink("/proc/self/exe", out, size - 1);
    if (n <= 0 || static_cast<std::size_t>(n) >= size - 1) return 0;
    out[n] = '\0';
#endif
    return keep_directory(out);
}

bool platform_dir_writable(const char* dir) {
#ifdef _WIN32
    (void)dir;
    return true;
#else
    return access(dir[0] != '\0' ? dir : ".", W_OK | X_OK) == 0;
#endif
}

bool platform_path_exists(const char* path) {
#ifdef _WIN32
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info {};
    return lstat(path, &info) == 0;
#endif
}

int platform_user_config_dir(const char* app, char* out, std::size_t size) {
#ifdef _WIN32
    (void)app;
    (void)out;
    (void)size;
    return 0;
#else
    const char* base = absolute_env("XDG_CONFIG_HOME");
    const char* home = absolute_env("HOME");
    int n = -1;
    if (base != nullptr) {
        n = std::snprintf(out, size, "%s/%s/", base, app);
    } else if (home != nullptr) {
        n = std::snprintf(out, size, "%s/.config/%s/", home, app);
    }
    return n > 0 && static_cast<std::size_t>(n) < size ? 1 : 0;
#endif
}

int platform_make_dirs(const char* dir) {
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(dir);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
#else
    char path[512];
    std::size_t length = std::strlen(dir);
    if (length == 0 || length >= sizeof path) return 0;
    std::memcpy(path, dir, length + 1);
    // Each missing level in turn; the new ones are the user's alone, as the
    // per-user configuration directory should be.
    for (std::size_t i = 1; i <= length; ++i) {
        if (path[i] != '/' && path[i] != '\0') continue;
        char kept = path[i];
        path[i] = '\0';
        if (mkdir(path, 0700) != 0 && errno != EEXIST) return 0;
        path[i] = kept;
    }
    struct stat info {};
    return stat(dir, &info) == 0 && S_ISDIR(info.st_mode) ? 1 : 0;
#endif
}
