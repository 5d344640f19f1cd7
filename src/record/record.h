// The run record (/JSON=<file>): one JSON object, schema "picup-run/1", that
// says what the run found, did and verified, for scripts, CI jobs and
// production logs. The exit path writes it at the end of every run, success or
// failure, Ctrl+C and link faults included, into a temporary file beside the
// record that takes the record's name only when complete. /JSON=- writes it to
// standard output and moves the console text to standard error.
#pragma once
#include <cstdio>

#include "devicedb/part.h"

// Longest path the record keeps for its own files and the port.
enum : int { PATH_CHARS = 256 };

// First thing in the run: the start time and the command words.
void record_start(int argc, char** argv);
// Once /JSON= is known (again after the settings file, which may name it):
// "-" takes standard output for the record; a record file must be creatable
// in its directory, or the run ends here, before the port is opened.
// What the record needs of the run's settings; each call takes them anew.
struct RecordSettings {
    const char* json_path;     // /JSON=: "" none, "-" standard output
    const char* history_path;  // /HISTORY=: "" none
    const char* com_path;      // /COM=<path>; "" when a numbered port is used
    int com_port;
    int baud;
    const char* part;          // /PART=; "" when the run takes any part
};
void record_prepare(const RecordSettings& settings);
// No record for this process (a gang's children write theirs).
void record_drop();
bool record_wanted();
// Whether the facts of the run are gathered at all: for the record or the
// history file (/HISTORY=).
bool record_facts_wanted();
// The HEX file the run loaded: size and SHA-256 of its bytes, and per region
// the cells it sets (for a file the reader accepted). `text` is the stream
// the reader read; it is read again from the start.
void record_note_file(const char* path, std::FILE* text, bool accepted);
// The program memory checksum of the chip after the run, -1 when unknown.
void record_note_checksum(long checksum);
// The device checksum of the chip after the run (the one the chip maker's
// tools show), -1 when unknown.
void record_note_device_checksum(long checksum);
// Writes the record (from the exit handler, after the port is closed).
void record_write();
// Whether the run reached a chip (its IDs were read): only then does it get
// a line in the history file.
bool record_chip_seen();
// The history file's line for this run: time, port, target, device ID,
// revision, the HEX file's SHA-256, checksum, device checksum, serial
// number, result, message and duration, as one JSON object on one line.
void record_print_history(std::FILE* out);
// The record, as written, to `out`.
void record_print(std::FILE* out);
