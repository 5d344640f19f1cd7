// The history file. Lines from several processes (the children of a gang,
// stations that share a file) are appended under an exclusive lock on the
// file, each in one write, and committed to the disk before the lock goes.
#include "record/history.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "record/record.h"
#include "ui/fail.h"

namespace {

const char* const UNWRITTEN = "\nCannot append to the history file!";

// Big enough for any line, so the line leaves the stream in one write.
char line_buffer[4096];

bool append_line(const char* path) {
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) return false;
    bool ok = std::setvbuf(file, line_buffer, _IOFBF, sizeof line_buffer) == 0 &&
              platform_lock_stream(file);
    if (ok) {
        record_print_history(file);
        ok = !std::ferror(file) && platform_commit_file(file);
        platform_unlock_stream(file);
    }
    int error = errno;
    ok = std::fclose(file) == 0 && ok;
    if (!ok && errno == 0) errno = error;
    return ok;
}

}  // namespace

bool history_write(const char* path) {
    if (path == nullptr || path[0] == '\0' || !record_chip_seen()) return true;
    errno = 0;
    if (append_line(path)) return true;
    std::fprintf(stderr, "%s: cannot append to the history file %s: %s\n",
                 program_stem[0] != '\0' ? program_stem : "picup", path,
                 std::strerror(errno != 0 ? errno : EIO));
    if (run_end.ending != END_OK) return true;
    run_end_note(END_FAILED, 1, UNWRITTEN);
    return false;
}
