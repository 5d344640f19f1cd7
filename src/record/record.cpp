// The run record. Its facts are gathered where they arise (the settings, the
// link's wire totals, the probe's status byte, the target identification, the
// device record, the run result, the HEX file) and written in one pass with
// fprintf when the process ends. Keys are never renamed or retyped; new ones
// may be added.
#include "record/record.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/hex.h"
#include "image/image.h"
#include "ops/result.h"
#include "ops/serialno.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "protocol/detect.h"
#include "protocol/link.h"
#include "protocol/protocol.h"
#include "record/json.h"
#include "record/sha256.h"
#include "ui/fail.h"

#ifndef PICUP_VERSION
#define PICUP_VERSION "0.0.0"
#endif

namespace {

const char* const SCHEMA = "picup-run/1";

enum FileRegion : int { CELLS_FLASH, CELLS_EEPROM, CELLS_USER_ID, CELLS_CONFIG, CELL_REGIONS };

struct FileFacts {
    const char* path;  // nullptr: no HEX file was opened
    long size;
    char sha256[65];
    bool accepted;     // the reader took the whole file
    long cells[CELL_REGIONS];
};

struct RecordState {
    int argc;
    char** argv;
    std::time_t started;
    long start_ms;
    FileFacts file;
    long checksum;
    long device_checksum;
    std::FILE* stdout_record;         // the original standard output, for /JSON=-
    char prepared[PATH_CHARS];        // the /JSON= value prepared for
};

RecordState record = {0, nullptr, 0, 0, {}, -1, -1, nullptr, ""};

// The run's settings as the record needs them, copied when the run gives them.
struct RecordRequest {
    char json_path[PATH_CHARS];     // "" none, "-" standard output
    char history_path[PATH_CHARS];  // "" none
    char port[PATH_CHARS];          // the device path, or COM<n>
    int baud;
    char part[PART_NAME_CHARS + 1]; // "" when the run takes any part
};
RecordRequest request;

void copy_text(char* out, std::size_t size, const char* text) {
    std::snprintf(out, size, "%s", text != nullptr ? text : "");
}

// The cells a HEX file sets, loaded on their own: the image also holds what
// the range commands put there, and a file byte fills only half a word cell.
uint16_t file_cells[IMAGE_SIZE];

bool to_stdout() { return std::strcmp(request.json_path, "-") == 0; }

// "<record>.<pid>.tmp" beside the record; never the record's own name.
struct TempName {
    char text[sizeof request.json_path + 1024 + 32];
};

// The file the record replaces: where a link /JSON= names points, so that
// the link stays a link.
char record_target[sizeof request.json_path + 1024];

const char* target_path() {
    if (record_target[0] == '\0' &&
        !platform_link_target(request.json_path, record_target, sizeof record_target))
        std::snprintf(record_target, sizeof record_target, "%s", request.json_path);
    return record_target;
}

TempName temp_name() {
    TempName name{};
    std::snprintf(name.text, sizeof name.text, "%s.%ld.tmp", target_path(),
                  platform_process_id());
    return name;
}

const char* program_name() { return program_stem[0] != '\0' ? program_stem : "picup"; }

// ---- facts -------------------------------------------------------------

bool hash_file(const char* path, FileFacts& facts) {
    std::FILE* in = platform_open_binary_file(path);
    if (in == nullptr) return false;
    Sha256 sha;
    sha256_init(sha);
    unsigned char buffer[4096];
    std::size_t n = 0;
    long size = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        sha256_update(sha, buffer, n);
        size += static_cast<long>(n);
    }
    bool ok = std::ferror(in) == 0;
    std::fclose(in);
    if (!ok) return false;
    facts.size = size;
    sha256_final_hex(sha, facts.sha256);
    return true;
}

long count_cells(int first, int end) {
    long n = 0;
    for (int a = first; a < end; ++a) n += cell_holds_data(file_cells[a]) ? 1 : 0;
    return n;
}

// The file is read once more into cells of its own, by the same reader, so
// the counts are exactly the cells the file sets. The write flags the reader
// raises are those of the first load already; they are kept as they were.
void count_file_cells(std::FILE* text, FileFacts& facts) {
    for (uint16_t& cell : file_cells) cell = EMPTY_CELL;
    int flags = write_flags;
    std::rewind(text);
    int loaded = hex_load(text, file_cells, device.flash_size);
    write_flags = flags;
    if (loaded < 0) {
        facts.accepted = false;  // the file changed under the run
        return;
    }
    facts.cells[CELLS_FLASH] = count_cells(0, PROGRAM_SPACE_END);
    facts.cells[CELLS_USER_ID] = count_cells(ADDR_USER_ID, ADDR_USER_ID + USER_ID_WORDS);
    facts.cells[CELLS_CONFIG] = count_cells(ADDR_USER_ID + USER_ID_WORDS, CONFIG_SPACE_END);
    facts.cells[CELLS_EEPROM] = count_cells(ADDR_EEPROM, IMAGE_SIZE);
}

// ---- writing -----------------------------------------------------------

void write_started(std::FILE* out) {
    char text[32];
    bool known = record.started != static_cast<std::time_t>(-1);
    std::tm* utc = known ? std::gmtime(&record.started) : nullptr;
    if (utc == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc) == 0) {
        std::fputs("null", out);
        return;
    }
    json_string(out, text);
}

void write_duration(std::FILE* out) {
    long ms = platform_clock_ms() - record.start_ms;
    std::fprintf(out, "%ld.%03ld", ms / 1000, ms % 1000);
}

void write_head(std::FILE* out) {
    std::fprintf(out, "{\n  \"schema\": ");
    json_string(out, SCHEMA);
    std::fputs(",\n  \"picup\": ", out);
    json_string(out, PICUP_VERSION);
    std::fputs(",\n  \"started\": ", out);
    write_started(out);
    std::fputs(",\n  \"duration_s\": ", out);
    write_duration(out);
    std::fputs(",\n  \"command\": [", out);
    for (int i = 0; i < record.argc; ++i) {
        if (i > 0) std::fputs(", ", out);
        json_string(out, record.argv[i]);
    }
    std::fputs("]", out);
}


void write_port(std::FILE* out) {
    int status = programmer_status;
    std::fputs(",\n  \"port\": {\"path\": ", out);
    json_string(out, request.port);
    std::fprintf(out, ", \"baud\": %d, \"echo\": ", request.baud);
    json_bool(out, link_state.echo_mode);
    std::fputs(", \"status\": ", out);
    json_int_or_null(out, status, status >= 0);
    std::fputs(", \"vdd_from_target\": ", out);
    json_bool(out, status >= 0 && (status & STATUS_VDD_TARGET));
    std::fputs(", \"icsp_fail\": ", out);
    json_bool(out, status >= 0 && (status & STATUS_ICSP_FAIL));
    std::fputs("}", out);
}

bool target_known() {
    return std::strcmp(target_info.device_name, "(unknown)") != 0 && !(device.flash_size & 0x8000);
}

void write_user_ids(std::FILE* out) {
    if (!target_info.ids_read) {
        std::fputs("null", out);
        return;
    }
    const uint16_t* w = target_info.user_id_words;
    std::fprintf(out, "[%u, %u, %u, %u]", static_cast<unsigned>(w[0]), static_cast<unsigned>(w[1]),
                 static_cast<unsigned>(w[2]), static_cast<unsigned>(w[3]));
}

void write_target(std::FILE* out) {
    bool ids = target_info.ids_read;
    bool known = target_known();
    std::fputs(",\n  \"target\": {\"name\": ", out);
    json_string(out, known ? target_info.device_name : nullptr);
    std::fputs(", \"device_id\": ", out);
    json_int_or_null(out, target_info.device_id, ids);
    std::fputs(", \"revision\": ", out);
    json_int_or_null(out, target_info.revision, ids);
    std::fputs(", \"user_id_words\": ", out);
    write_user_ids(out);
    std::fputs(",\n             \"flash_size\": ", out);
    json_int_or_null(out, device.flash_size, known);
    std::fputs(", \"row_size\": ", out);
    json_int_or_null(out, device.row_size, known);
    std::fputs(", \"eeprom_size\": ", out);
    json_int_or_null(out, device.eeprom_size, known);
    std::fputs(", \"family\": ", out);
    json_string(out, known ? device_family().name : nullptr);
    std::fputs("}", out);
}

void write_file(std::FILE* out) {
    const FileFacts& f = record.file;
    std::fputs(",\n  \"file\": ", out);
    if (f.path == nullptr) {
        std::fputs("null", out);
        return;
    }
    std::fputs("{\"path\": ", out);
    json_string(out, f.path);
    std::fprintf(out, ", \"size\": %ld, \"sha256\": \"%s\", \"accepted\": ", f.size, f.sha256);
    json_bool(out, f.accepted);
    std::fprintf(out,
                 ",\n           \"cells\": {\"flash\": %ld, \"eeprom\": %ld, \"user_id\": %ld, "
                 "\"config\": %ld}}",
                 f.cells[CELLS_FLASH], f.cells[CELLS_EEPROM], f.cells[CELLS_USER_ID],
                 f.cells[CELLS_CONFIG]);
}

void write_words(std::FILE* out, const uint16_t* words, int count) {
    std::fputc('[', out);
    for (int i = 0; i < count; ++i)
        std::fprintf(out, "%s%u", i > 0 ? ", " : "", static_cast<unsigned>(words[i]));
    std::fputc(']', out);
}

void write_config_stage(std::FILE* out, const StageCounts& c) {
    // A word is read back only when its write succeeded; the one that failed
    // is among the mismatches.
    int read_back = c.config_written || c.config_count == 0 ? c.config_count : c.config_count - 1;
    std::fputs(",\n    \"config\": {\"written\": ", out);
    json_bool(out, c.config_written);
    std::fputs(", \"values\": ", out);
    write_words(out, c.config_value, c.config_count);
    std::fputs(", \"read_back\": ", out);
    write_words(out, c.config_read_back, read_back);
    std::fputs("}", out);
}

void write_stages(std::FILE* out) {
    const StageCounts& c = run_result.counts;
    std::fputs(",\n  \"stages\": {\n    \"bulk_erase\": ", out);
    json_bool(out, c.bulk_erased);
    std::fprintf(out,
                 ",\n    \"flash\": {\"rows_written\": %d, \"rows_unchanged\": %d, "
                 "\"rows_verified\": %d}",
                 c.rows_written, c.rows_unchanged, c.rows_verified);
    std::fprintf(out,
                 ",\n    \"eeprom\": {\"bytes_written\": %d, \"bytes_verified\": %d, "
                 "\"bytes_unchanged\": %d}",
                 c.eeprom_written, c.eeprom_verified, c.eeprom_unchanged);
    std::fputs(",\n    \"user_id\": {\"written\": ", out);
    json_bool(out, c.user_ids_written);
    std::fputs("}", out);
    write_config_stage(out, c);
    std::fputs(",\n    \"preserved\": {\"osccal\": ", out);
    json_int_or_null(out, c.preserved_osccal, c.preserved_osccal >= 0);
    std::fputs(", \"config_bits\": ", out);
    json_int_or_null(out, c.preserved_config_bits, c.preserved_config_bits >= 0);
    std::fputs("}\n  }", out);
}

void write_mismatches(std::FILE* out) {
    std::fputs(",\n  \"mismatches\": [", out);
    for (int i = 0; i < run_result.mismatch_count; ++i) {
        const Mismatch& m = run_result.mismatches[i];
        std::fputs(i > 0 ? ",\n    {\"region\": " : "\n    {\"region\": ", out);
        json_string(out, region_name(m.region));
        std::fprintf(out, ", \"address\": %d, \"chip\": %u, \"expected\": %u}", m.address,
                     static_cast<unsigned>(m.chip), static_cast<unsigned>(m.expected));
    }
    std::fprintf(out, "%s],\n  \"mismatch_total\": %ld",
                 run_result.mismatch_count > 0 ? "\n  " : "", run_result.mismatch_total);
}

const char* result_name(RunEnding ending) {
    if (ending == END_OK) return "ok";
    if (ending == END_INTERRUPTED) return "interrupted";
    return "failed";
}

// The console message without the line break it starts with.
const char* message_text(const char* message) {
    if (message == nullptr) return nullptr;
    while (*message == '\n') ++message;
    return message;
}

void write_tail(std::FILE* out) {
    bool ok = run_end.ending == END_OK;
    std::fputs(",\n  \"checksum\": ", out);
    json_int_or_null(out, record.checksum, ok && record.checksum >= 0);
    std::fputs(",\n  \"device_checksum\": ", out);
    json_int_or_null(out, record.device_checksum, ok && record.device_checksum >= 0);
    std::fputs(",\n  \"serial\": ", out);
    json_int_or_null(out, static_cast<long>(serial_request.number), serial_request.taken);
    write_mismatches(out);
    std::fprintf(out, ",\n  \"wire\": {\"bytes_out\": %ld, \"bytes_in\": %ld, \"replies\": %ld}",
                 wire_totals.bytes_out, wire_totals.bytes_in, wire_totals.replies);
    std::fputs(",\n  \"expected_part\": ", out);
    json_string(out, request.part[0] != '\0' ? request.part : nullptr);
    std::fputs(",\n  \"result\": ", out);
    json_string(out, result_name(run_end.ending));
    std::fputs(",\n  \"message\": ", out);
    json_string(out, ok ? nullptr : message_text(run_end.message));
    int exit_code = run_end.ending == END_NONE ? 1 : run_end.exit_code;
    std::fprintf(out, ",\n  \"exit_code\": %d\n}\n", exit_code);
}

bool write_record_file() {
    TempName temp = temp_name();
    std::FILE* out = std::fopen(temp.text, "w");
    if (out == nullptr) return false;
    record_print(out);
    bool ok = !std::ferror(out) && platform_commit_file(out);
    ok = std::fclose(out) == 0 && ok;
    if (ok && platform_replace_file(temp.text, target_path())) return true;
    int error = errno;
    std::remove(temp.text);
    errno = error;
    return false;
}

}  // namespace

void record_start(int argc, char** argv) {
    record.argc = argc;
    record.argv = argv;
    record.started = std::time(nullptr);
    record.start_ms = platform_clock_ms();
}

bool record_wanted() { return request.json_path[0] != '\0'; }

void record_prepare(const RecordSettings& settings) {
    copy_text(request.json_path, sizeof request.json_path, settings.json_path);
    copy_text(request.history_path, sizeof request.history_path, settings.history_path);
    if (settings.com_path != nullptr && settings.com_path[0] != '\0') {
        copy_text(request.port, sizeof request.port, settings.com_path);
    } else {
        std::snprintf(request.port, sizeof request.port, "COM%d", settings.com_port);
    }
    request.baud = settings.baud;
    copy_text(request.part, sizeof request.part, settings.part);
    if (std::strcmp(record.prepared, request.json_path) == 0) return;
    std::strcpy(record.prepared, request.json_path);
    record_target[0] = '\0';
    if (!record_wanted()) return;
    if (to_stdout() && (platform_closed_standard_descriptors() & 2) != 0) {
        request.json_path[0] = '\0';
        fail_report("standard output was closed when the run started, so /JSON=- has nowhere "
                    "to go; give /JSON=<file> or leave standard output open");
    }
    if (to_stdout()) {
        if (record.stdout_record == nullptr) record.stdout_record = platform_take_stdout();
        if (record.stdout_record != nullptr) return;
        request.json_path[0] = '\0';
        fail("\nCannot keep standard output for the run record!");
    }
    // The check leaves nothing behind; the record itself is written at the end.
    TempName temp = temp_name();
    std::FILE* probe = std::fopen(temp.text, "w");
    if (probe != nullptr && std::fclose(probe) == 0 && std::remove(temp.text) == 0) return;
    std::remove(temp.text);
    // No record at the exit either: it could not be written there.
    request.json_path[0] = '\0';
    fail_format("\nCannot write the run record %s!", record.prepared);
}

bool record_facts_wanted() { return record_wanted() || request.history_path[0] != '\0'; }

void record_drop() {
    request.json_path[0] = '\0';
    copy_text(record.prepared, sizeof record.prepared, "");
}

void record_note_file(const char* path, std::FILE* text, bool accepted) {
    if (!record_facts_wanted()) return;
    FileFacts facts{};
    facts.path = path;
    if (!hash_file(path, facts)) return;
    facts.accepted = accepted;
    if (accepted) count_file_cells(text, facts);
    record.file = facts;
}

void record_note_checksum(long checksum) { record.checksum = checksum; }

void record_note_device_checksum(long checksum) { record.device_checksum = checksum; }

void record_print(std::FILE* out) {
    write_head(out);
    write_port(out);
    write_target(out);
    write_file(out);
    write_stages(out);
    write_tail(out);
}

bool record_chip_seen() { return target_info.ids_read; }

// The facts a production log keeps of each chip, on one line.
void record_print_history(std::FILE* out) {
    bool ids = target_info.ids_read;
    bool ok = run_end.ending == END_OK;
    std::fputs("{\"time\": ", out);
    write_started(out);
    std::fputs(", \"port\": ", out);
    json_string(out, request.port);
    std::fputs(", \"target\": ", out);
    json_string(out, target_known() ? target_info.device_name : nullptr);
    std::fputs(", \"device_id\": ", out);
    json_int_or_null(out, target_info.device_id, ids);
    std::fputs(", \"revision\": ", out);
    json_int_or_null(out, target_info.revision, ids);
    std::fputs(", \"file_sha256\": ", out);
    json_string(out, record.file.path != nullptr ? record.file.sha256 : nullptr);
    std::fputs(", \"checksum\": ", out);
    json_int_or_null(out, record.checksum, ok && record.checksum >= 0);
    std::fputs(", \"device_checksum\": ", out);
    json_int_or_null(out, record.device_checksum, ok && record.device_checksum >= 0);
    std::fputs(", \"serial\": ", out);
    json_int_or_null(out, static_cast<long>(serial_request.number), serial_request.taken);
    std::fputs(", \"result\": ", out);
    json_string(out, result_name(run_end.ending));
    std::fputs(", \"message\": ", out);
    json_string(out, ok ? nullptr : message_text(run_end.message));
    std::fputs(", \"duration_s\": ", out);
    write_duration(out);
    std::fputs("}\n", out);
}

// A record that cannot be written fails a run that would have succeeded: a
// script that relies on it must not go on without it.
void record_write() {
    if (!record_wanted()) return;
    bool ok;
    if (to_stdout()) {
        record_print(record.stdout_record);
        ok = std::fflush(record.stdout_record) == 0 && !std::ferror(record.stdout_record);
    } else {
        ok = write_record_file();
    }
    if (ok) return;
    std::fprintf(stderr, "%s: cannot write the run record %s: %s\n", program_name(),
                 to_stdout() ? "to standard output" : request.json_path, std::strerror(errno));
    if (run_end.ending == END_OK) {
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(1);
    }
}
