// Replacing a file in one step, so a reader sees either the old or the new
// contents and never a half-written file.
#include "platform/platform.h"

#include <cstdio>
#ifdef _WIN32
#include <windows.h>
#endif

int platform_replace_file(const char* from, const char* to) {
#ifdef _WIN32
    // rename() refuses to overwrite on Windows; MoveFileEx replaces in place.
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
#else
    return std::rename(from, to) == 0 ? 1 : 0;
#endif
}

bool platform_slash_separates() {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}
