#include "ui/status.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// "%08lu %4d %-72s %08lu\n": sequence, percentage, stage, sequence.
constexpr int STAGE_CHARS = 72;
constexpr int SEQUENCE_CHARS = 8;
constexpr int RECORD_SIZE = SEQUENCE_CHARS + 1 + 4 + 1 + STAGE_CHARS + 1 + SEQUENCE_CHARS + 1;
constexpr int STAGE_AT = SEQUENCE_CHARS + 1 + 4 + 1;
constexpr int SECOND_SEQUENCE_AT = STAGE_AT + STAGE_CHARS + 1;
constexpr unsigned long SEQUENCE_LIMIT = 100000000UL;  // eight digits

struct StatusFile {
    std::FILE* file;
    unsigned long sequence;
    char stage[STAGE_CHARS + 1];
    int percent;
};

StatusFile status{nullptr, 0, "", -2};

// A whole record: the right length, the line end last and the sequence number
// the same at both ends.
bool parse_record(const char* record, int length, char* stage, int size, int* percent) {
    if (length != RECORD_SIZE || record[RECORD_SIZE - 1] != '\n') return false;
    if (std::memcmp(record, record + SECOND_SEQUENCE_AT, SEQUENCE_CHARS) != 0) return false;
    for (int i = 0; i < SEQUENCE_CHARS; ++i) {
        if (record[i] < '0' || record[i] > '9') return false;
    }
    char number[5];
    std::memcpy(number, record + SEQUENCE_CHARS + 1, 4);
    number[4] = '\0';
    char* end = nullptr;
    long value = std::strtol(number, &end, 10);
    if (end == number || *end != '\0' || value < -1 || value > 100) return false;
    int n = STAGE_CHARS;
    while (n > 0 && record[STAGE_AT + n - 1] == ' ') --n;
    if (size > 0) std::snprintf(stage, static_cast<std::size_t>(size), "%.*s", n, record + STAGE_AT);
    *percent = static_cast<int>(value);
    return true;
}

// What the file holds now: nothing, or a status record.
bool holds_nothing_else(std::FILE* file) {
    char record[RECORD_SIZE + 1];
    std::size_t n = std::fread(record, 1, sizeof record, file);
    if (std::ferror(file) != 0) return false;
    char stage[STAGE_CHARS + 1];
    int percent = 0;
    return n == 0 || parse_record(record, static_cast<int>(n), stage, sizeof stage, &percent);
}

void stop_writing() {
    std::fclose(status.file);
    status.file = nullptr;
}

}  // namespace

bool ui_status_open(const char* path) {
    if (status.file != nullptr) stop_writing();
    std::FILE* file = std::fopen(path, "r+b");
    if (file == nullptr && errno == ENOENT) file = std::fopen(path, "w+b");
    if (file == nullptr) return false;
    if (!holds_nothing_else(file)) {
        std::fclose(file);
        return false;
    }
    status.file = file;
    status.stage[0] = '\0';
    status.percent = -2;  // the first note always writes
    return true;
}

// A status file that can no longer be written is given up: it is a view for
// someone watching, never a reason for the run to fail.
void ui_status_note(const char* stage, int percent) {
    if (status.file == nullptr) return;
    if (stage == nullptr) stage = "";
    if (percent == status.percent && std::strncmp(stage, status.stage, STAGE_CHARS) == 0) return;
    std::snprintf(status.stage, sizeof status.stage, "%s", stage);
    status.percent = percent;
    status.sequence = (status.sequence + 1) % SEQUENCE_LIMIT;
    char record[RECORD_SIZE + 1];
    std::snprintf(record, sizeof record, "%08lu %4d %-*.*s %08lu\n", status.sequence, percent,
                  STAGE_CHARS, STAGE_CHARS, status.stage, status.sequence);
    if (std::fseek(status.file, 0, SEEK_SET) != 0 ||
        std::fwrite(record, 1, RECORD_SIZE, status.file) != RECORD_SIZE ||
        std::fflush(status.file) != 0)
        stop_writing();
}

bool ui_status_read(const char* path, char* stage, int size, int* percent) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    char record[RECORD_SIZE + 1];
    std::size_t n = std::fread(record, 1, sizeof record, file);
    bool read = std::ferror(file) == 0;
    std::fclose(file);
    return read && parse_record(record, static_cast<int>(n), stage, size, percent);
}
