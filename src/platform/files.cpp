// Where the settings, the device database and the log lie. They bear the
// program's name and lie beside the executable, so a copy of the program in a
// directory of its own keeps its own settings. An installed program (in a
// directory the user cannot write to) keeps them per user instead, as a Unix
// user expects; a settings file already beside such a program still wins.
#include "platform/files.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

char program_base_path[256];
char program_stem[32];

namespace {

const char* const PATH_TOO_LONG = "\nProgram path is too long (at most 255 characters)!";
// The per-user directory is named for the program, whatever the executable's name.
const char* const USER_DIR_NAME = "picup";

bool user_dir = false;
bool user_dir_made = false;

// The directory part of the base path (everything before the stem), with its
// trailing separator; empty for the current directory.
void base_directory(char* out, std::size_t size) {
    std::size_t length = std::strlen(program_base_path) - std::strlen(program_stem);
    if (length >= size) length = size - 1;
    std::memcpy(out, program_base_path, length);
    out[length] = '\0';
}

// Puts the base path into `dir` (with its trailing separator); false when it
// does not fit.
bool move_base_to(const char* dir) {
    std::size_t dir_length = std::strlen(dir);
    std::size_t stem_length = std::strlen(program_stem);
    if (dir_length + stem_length >= sizeof program_base_path) return false;
    std::memcpy(program_base_path, dir, dir_length);
    std::memcpy(program_base_path + dir_length, program_stem, stem_length + 1);
    return true;
}

// argv[0] without a directory: the shell found the program through PATH, and
// the current directory is only where the user happens to stand. The OS knows
// where the executable is.
bool take_executable_directory() {
    if (std::strcmp(program_base_path, program_stem) != 0) return true;
    char dir[sizeof program_base_path];
    if (!platform_executable_dir(dir, sizeof dir)) return true;
    return move_base_to(dir);
}

void prefer_user_directory() {
    FileName settings_file = file_name(".cfg");
    if (platform_path_exists(settings_file.text)) return;
    char dir[sizeof program_base_path];
    base_directory(dir, sizeof dir);
    if (platform_dir_writable(dir)) return;
    char user[sizeof program_base_path];
    if (!platform_user_config_dir(USER_DIR_NAME, user, sizeof user)) return;
    user_dir = move_base_to(user);
}

}  // namespace

// Cuts the extension of the last path component and splits off the stem.
// Walking back from the end, every '.' ends the text, so the first dot of the
// last component wins; the walk stops at a directory separator. A dot in the
// very first position stays.
int split_program_path(const char* argv0, bool slash_separates, char* base, int base_size,
                       char* stem, int stem_size) {
    std::size_t length = std::strlen(argv0);
    if (base_size <= 0 || length >= static_cast<std::size_t>(base_size)) return 0;
    std::memcpy(base, argv0, length + 1);
    std::size_t i = length;
    for (; i >= 1; --i) {
        if (base[i] == '.') base[i] = '\0';
        char before = base[i - 1];
        if (before == '\\' || (slash_separates && before == '/')) break;
    }
    if (stem_size <= 0 || std::strlen(base + i) >= static_cast<std::size_t>(stem_size)) return 0;
    std::strcpy(stem, base + i);
    return 1;
}

const char* files_locate(const char* argv0) {
    if (std::strlen(argv0) >= sizeof program_base_path) return PATH_TOO_LONG;
    if (!split_program_path(argv0, platform_slash_separates(), program_base_path,
                            sizeof program_base_path, program_stem, sizeof program_stem))
        return "\nProgram name is too long (at most 31 characters without extension)!";
    if (!take_executable_directory()) return PATH_TOO_LONG;
    prefer_user_directory();
    return nullptr;
}

FileName file_name(const char* suffix) {
    FileName name{};
    std::snprintf(name.text, sizeof name.text, "%s%s", program_base_path, suffix);
    return name;
}

int files_prepare_dir() {
    if (!user_dir || user_dir_made) return 1;
    char dir[sizeof program_base_path];
    base_directory(dir, sizeof dir);
    user_dir_made = platform_make_dirs(dir) != 0;
    return user_dir_made ? 1 : 0;
}
