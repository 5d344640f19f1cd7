// The gang runner. One child process per programmer keeps every run exactly
// what it is alone (its port, link state, image and exit path); the parent
// only starts them, passes Ctrl+C on, waits, and reads back what each did:
// its run record when there is one, else its exit code and last console line.
#include "production/gang.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devicedb/devicedb.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "protocol/link.h"
#include "record/jsonscan.h"
#include "record/record.h"
#include "ui/fail.h"
#include "ui/progress.h"
#include "ui/status.h"

namespace {

// The run's settings the gang passes on to each port.
GangJob job{"", "", "", false};

constexpr int GANG_MAX = 16;
constexpr int WAIT_MS = 20;
// The live lines are redrawn at most this often, as the progress bar is.
constexpr long LIVE_REDRAW_MS = 100;
constexpr int PATH_SIZE = 320;
constexpr int MAX_CHILD_ARGS = 128;

const char* const LIST_SYNTAX =
    "\n/GANG= takes a list of ports, for example /GANG=COM3,COM4 or "
    "/GANG=/dev/ttyUSB0,/dev/ttyUSB1!";

enum Outcome : int { OUTCOME_OK, OUTCOME_FAILED, OUTCOME_INTERRUPTED };

struct GangPort {
    char name[256];  // as given: a COM number or a device path
    char tag[48];    // names its files
    char out_path[PATH_SIZE];
    char err_path[PATH_SIZE];
    char status_path[PATH_SIZE];  // the child's stage and percentage (/PROGRESS=)
    char record_path[PATH_SIZE];
    bool record_temporary;  // the record goes with the temporary files
    bool started;
    long start_ms;
    long ms;
    int exit_code;
    Outcome outcome;
    char target[32];
    char message[160];
};

GangPort ports[GANG_MAX];
PlatformChild children[GANG_MAX];
int port_count = 0;
char temp_dir[256];  // with its trailing separator

// A child's command line: the parent's words, then its own, built in `arena`.
char arena[8192];
std::size_t arena_used;
char* child_argv[MAX_CHILD_ARGS];

char record_text[65536];

// On a terminal each running port has a live line (port, stage, percentage),
// drawn from the status file its child keeps; with standard error anywhere
// else the children are started and reported exactly as without it.
bool live_lines = false;
char live_text[GANG_MAX][360];  // a port name, a stage and the percentage
const char* live_shown[GANG_MAX];
long live_drawn_ms = 0;

bool matches(const char* word, const char* option) {
    return platform_strnicmp(word, option, std::strlen(option)) == 0;
}

bool all_digits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

// "COM3", "com3" or "3": a numbered port; its number, else -1.
int com_number(const char* name) {
    const char* digits = matches(name, "COM") ? name + 3 : name;
    if (!all_digits(digits) || std::strlen(digits) > 4) return -1;
    return std::atoi(digits);
}

bool is_separator(char c, bool slash_separates) {
    return c == '\\' || (slash_separates && c == '/');
}

void add_port(const char* name, std::size_t length) {
    if (length == 0) fail(LIST_SYNTAX);
    if (port_count == GANG_MAX) fail("\nAt most 16 ports after /GANG=!");
    GangPort& port = ports[port_count];
    if (length >= sizeof port.name)
        fail("\nPort name after /GANG= is too long (at most 255 characters)!");
    std::memcpy(port.name, name, length);
    port.name[length] = '\0';
    gang_port_tag(port.name, port.tag, sizeof port.tag);
    for (int i = 0; i < port_count; ++i) {
        if (platform_stricmp(ports[i].tag, port.tag) == 0)
            fail_format("\nPorts %s and %s after /GANG= would share their files!", ports[i].name,
                        port.name);
    }
    ++port_count;
}

// ---- the children's command lines ------------------------------------

char* arena_put(const char* a, const char* b) {
    std::size_t length = std::strlen(a) + std::strlen(b) + 1;
    if (arena_used + length > sizeof arena) fail("\nCommand line is too long for /GANG=!");
    char* text = arena + arena_used;
    std::snprintf(text, length, "%s%s", a, b);
    arena_used += length;
    return text;
}

// Words each child gets its own version of, or none.
bool replaced_word(const char* arg) {
    if (!platform_is_option_word(arg)) return false;
    const char* w = arg + 1;
    return matches(w, "GANG=") || matches(w, "LOG") || matches(w, "SAVE=") || matches(w, "JSON=") ||
           matches(w, "PROGRESS=");
}

char* port_word(const GangPort& port) {
    int number = com_number(port.name);
    char numbered[16];
    if (number < 0) return arena_put("/COM=", port.name);
    std::snprintf(numbered, sizeof numbered, "%d", number);
    return arena_put("/COM", numbered);
}

char* per_port_word(const char* option, const char* path, const GangPort& port) {
    char file[PATH_SIZE];
    if (!gang_port_file(path, port.tag, platform_slash_separates(), file, sizeof file))
        fail("\nFile name is too long for /GANG=!");
    return arena_put(option, file);
}

void build_command(char** argv, int argc, const GangPort& port) {
    arena_used = 0;
    int n = 0;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && replaced_word(argv[i])) continue;
        if (n + 7 >= MAX_CHILD_ARGS) fail("\nCommand line is too long for /GANG=!");
        child_argv[n++] = argv[i];
    }
    child_argv[n++] = port_word(port);
    child_argv[n++] = arena_put("/NOSTORE", "");
    if (link_state.log_on && job.log_path[0] != '\0') {
        child_argv[n++] = per_port_word("/LOG=", job.log_path, port);
    } else if (link_state.log_on) {
        char log[PATH_SIZE];
        std::snprintf(log, sizeof log, "%s-%s.log", program_base_path, port.tag);
        child_argv[n++] = arena_put("/LOG=", log);
    }
    if (job.save_path[0] != '\0')
        child_argv[n++] = per_port_word("/SAVE=", job.save_path, port);
    child_argv[n++] = arena_put("/JSON=", port.record_path);
    if (live_lines) child_argv[n++] = arena_put("/PROGRESS=", port.status_path);
    child_argv[n] = nullptr;
}

// ---- starting and waiting ---------------------------------------------

// Named by the port's place in the list: a name such as COM7.out would be
// the serial port itself on Windows, where device names take any extension.
void temp_file(char* out, int index, const char* suffix) {
    std::snprintf(out, PATH_SIZE, "%sport%d%s", temp_dir, index + 1, suffix);
}

// Every child writes its run record: into the file /JSON= names, with the
// port put into its name, or among the temporary files.
void prepare_files(int index) {
    GangPort& port = ports[index];
    temp_file(port.out_path, index, ".out");
    temp_file(port.err_path, index, ".err");
    temp_file(port.status_path, index, ".status");
    port.record_temporary = job.json_path[0] == '\0';
    if (port.record_temporary) {
        temp_file(port.record_path, index, ".json");
    } else if (!gang_port_file(job.json_path, port.tag, platform_slash_separates(),
                               port.record_path, sizeof port.record_path)) {
        fail("\nFile name is too long for /GANG=!");
    }
}

void start_port(int i, int argc, char** argv) {
    GangPort& port = ports[i];
    build_command(argv, argc, port);
    port.start_ms = platform_clock_ms();
    port.exit_code = -1;
    children[i] = PlatformChild{-1, nullptr, false};
    port.started = platform_spawn_self(child_argv, port.out_path, port.err_path, &children[i]);
}

bool any_running() {
    for (int i = 0; i < port_count; ++i) {
        if (children[i].running) return true;
    }
    return false;
}

// Ctrl+C reaches only this process (each child has a process group of its
// own); every child gets it once and leaves through its exit path. The flag
// is lowered, so a second Ctrl+C is passed on as well, for a child that is
// stuck.
void pass_on_interrupt() {
    if (!platform_interrupted()) return;
    platform_clear_interrupt();
    for (int i = 0; i < port_count; ++i) platform_interrupt_child(&children[i]);
}

// ---- what a child did ---------------------------------------------------

bool read_whole(const char* path, char* text, std::size_t size) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    std::size_t n = std::fread(text, 1, size - 1, file);
    bool ok = std::ferror(file) == 0 && n < size - 1;
    std::fclose(file);
    text[n] = '\0';
    return ok;
}

// The last line of the console text that holds anything.
void last_console_line(const char* path, char* out, std::size_t size) {
    out[0] = '\0';
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return;
    char tail[1024];
    const long room = static_cast<long>(sizeof tail);
    long length = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    bool placed = length >= 0 && std::fseek(file, length > room ? length - room : 0, SEEK_SET) == 0;
    std::size_t n = placed ? std::fread(tail, 1, sizeof tail, file) : 0;
    std::fclose(file);
    while (n > 0 && (tail[n - 1] == '\n' || tail[n - 1] == '\r' || tail[n - 1] == ' ')) --n;
    std::size_t start = n;
    while (start > 0 && tail[start - 1] != '\n') --start;
    std::snprintf(out, size, "%.*s", static_cast<int>(n - start), tail + start);
}

void outcome_from_console(GangPort& port) {
    std::snprintf(port.target, sizeof port.target, "(unknown)");
    if (!port.started) {
        port.outcome = OUTCOME_FAILED;
        std::snprintf(port.message, sizeof port.message, "could not be started!");
        return;
    }
    if (port.exit_code == 0) {
        port.outcome = OUTCOME_OK;
        return;
    }
    port.outcome = OUTCOME_FAILED;
    // Failure messages end in '!'; a run that ended without one (a refused
    // frame) leaves a stage text last.
    last_console_line(port.out_path, port.message, sizeof port.message);
    if (std::strcmp(port.message, "Interrupted!") == 0) port.outcome = OUTCOME_INTERRUPTED;
    std::size_t length = std::strlen(port.message);
    if (length > 0 && port.message[length - 1] == '!') return;
    if (port.exit_code < 0) {
        std::snprintf(port.message, sizeof port.message, "ended abnormally!");
    } else {
        std::snprintf(port.message, sizeof port.message, "failed (exit code %d)!", port.exit_code);
    }
}

// The record's word where it has one; the exit code stays the judge of
// success, so a record that says ok from a run that then failed counts as
// failed.
void outcome_from_record(GangPort& port) {
    if (!read_whole(port.record_path, record_text, sizeof record_text)) return;
    char value[160];
    if (json_lookup(record_text, "result", value, sizeof value) != JSON_STRING) return;
    if (std::strcmp(value, "interrupted") == 0) port.outcome = OUTCOME_INTERRUPTED;
    if (std::strcmp(value, "ok") != 0 && port.outcome == OUTCOME_OK) port.outcome = OUTCOME_FAILED;
    JsonKind message = json_lookup(record_text, "message", value, sizeof value);
    if (message == JSON_STRING) std::snprintf(port.message, sizeof port.message, "%s", value);
    if (message == JSON_NULL && port.outcome != OUTCOME_OK)
        std::snprintf(port.message, sizeof port.message, "failed (exit code %d)!", port.exit_code);
    char name[sizeof port.target];
    if (json_lookup(record_text, "target.name", name, sizeof name) == JSON_STRING)
        std::memcpy(port.target, name, sizeof name);
    if (json_lookup(record_text, "duration_s", value, sizeof value) == JSON_NUMBER)
        port.ms = static_cast<long>(std::atof(value) * 1000.0 + 0.5);
}

const char* result_text(const GangPort& port) {
    return port.outcome == OUTCOME_OK ? "Ok!" : port.message;
}

void report_port(GangPort& port, int exit_code) {
    port.exit_code = exit_code;
    port.ms = port.started ? platform_clock_ms() - port.start_ms : 0;
    outcome_from_console(port);
    if (port.started) outcome_from_record(port);
    long tenths = (port.ms + 50) / 100;
    ui_live_clear();
    ui_print("\n%s: %s, %s (%ld.%ld s)", port.name, port.target, result_text(port), tenths / 10,
             tenths % 10);
    std::fflush(stdout);
}

// "<port>: <stage> <percentage>%" for each running port; "starting" until
// its child has named a stage.
void show_live_lines(bool now) {
    if (!live_lines) return;
    long ms = platform_clock_ms();
    if (!now && ms - live_drawn_ms < LIVE_REDRAW_MS) return;
    live_drawn_ms = ms;
    int count = 0;
    for (int i = 0; i < port_count; ++i) {
        if (!children[i].running) continue;
        char stage[80];
        int percent = -1;
        if (!ui_status_read(ports[i].status_path, stage, sizeof stage, &percent) || stage[0] == '\0')
            std::snprintf(stage, sizeof stage, "starting");
        char* line = live_text[count];
        if (percent >= 0) {
            std::snprintf(line, sizeof live_text[0], "%.255s: %.79s %d%%", ports[i].name, stage,
                          percent);
        } else {
            std::snprintf(line, sizeof live_text[0], "%.255s: %.79s", ports[i].name, stage);
        }
        live_shown[count++] = line;
    }
    ui_live_show(live_shown, count);
}

// ---- the end ------------------------------------------------------------

void append(char* text, std::size_t size, const char* more) {
    std::size_t length = std::strlen(text);
    if (length + 1 < size) std::snprintf(text + length, size - length, "%s", more);
}

int report_summary() {
    int good = 0;
    for (int i = 0; i < port_count; ++i) good += ports[i].outcome == OUTCOME_OK ? 1 : 0;
    char summary[2048];
    std::snprintf(summary, sizeof summary, "\n%d of %d %s", good, port_count,
                  job.verify ? "verified" : "programmed");
    if (good < port_count) {
        char count[32];
        std::snprintf(count, sizeof count, ", %d failed: ", port_count - good);
        append(summary, sizeof summary, count);
        const char* separator = "";
        for (int i = 0; i < port_count; ++i) {
            if (ports[i].outcome == OUTCOME_OK) continue;
            append(summary, sizeof summary, separator);
            append(summary, sizeof summary, ports[i].name);
            append(summary, sizeof summary, " ");
            append(summary, sizeof summary, result_text(ports[i]));
            separator = ", ";
        }
    }
    std::puts(summary);
    return good == port_count ? 0 : 1;
}

void copy_text(const char* path, std::FILE* to) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) std::fwrite(buffer, 1, n, to);
    std::fclose(file);
}

// The console text of every port that failed, as that run alone would have
// shown it; its diagnostics on standard error.
void show_failed_consoles() {
    for (int i = 0; i < port_count; ++i) {
        if (ports[i].outcome == OUTCOME_OK) continue;
        std::printf("\n--- %s ---", ports[i].name);
        copy_text(ports[i].out_path, stdout);
        std::fflush(stdout);
        copy_text(ports[i].err_path, stderr);
    }
}

void remove_temp_files() {
    for (int i = 0; i < port_count; ++i) {
        std::remove(ports[i].out_path);
        std::remove(ports[i].err_path);
        if (live_lines) std::remove(ports[i].status_path);
        if (ports[i].record_temporary) std::remove(ports[i].record_path);
    }
    platform_remove_dir(temp_dir);
}

}  // namespace

bool gang_option(const char* word) {
    if (matches(word, "PROGRESS=")) {
        if (!ui_status_open(word + 9))
            fail_report("cannot keep the run's progress in /%s: it must be a new or empty file "
                        "(or one an earlier /PROGRESS= wrote)", word);
        return true;
    }
    if (!matches(word, "GANG=")) return false;
    port_count = 0;
    const char* p = word + 5;
    if (*p == '\0') fail(LIST_SYNTAX);
    for (;;) {
        const char* comma = std::strchr(p, ',');
        std::size_t length = comma != nullptr ? static_cast<std::size_t>(comma - p) : std::strlen(p);
        add_port(p, length);
        if (comma == nullptr) break;
        p = comma + 1;
    }
    return true;
}

bool gang_requested() { return port_count > 0; }

void gang_port_tag(const char* port, char* out, int size) {
    int number = com_number(port);
    if (number >= 0) {
        std::snprintf(out, static_cast<std::size_t>(size), "COM%d", number);
        return;
    }
    const char* last = port;
    for (const char* p = port; *p != '\0'; ++p) {
        if (is_separator(*p, true) && p[1] != '\0') last = p + 1;
    }
    int n = 0;
    for (; last[n] != '\0' && n < size - 1; ++n) {
        char c = last[n];
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '-' || c == '_';
        out[n] = plain ? c : '_';
    }
    out[n] = '\0';
}

int gang_port_file(const char* path, const char* tag, bool slash_separates, char* out, int size) {
    std::size_t length = std::strlen(path);
    std::size_t component = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (is_separator(path[i], slash_separates)) component = i + 1;
    }
    std::size_t dot = length;
    for (std::size_t i = length; i > component + 1; --i) {
        if (path[i - 1] == '.') {
            dot = i - 1;
            break;
        }
    }
    int n = std::snprintf(out, static_cast<std::size_t>(size), "%.*s-%s%s", static_cast<int>(dot),
                          path, tag, path + dot);
    return n > 0 && n < size ? 1 : 0;
}

void gang_run(int argc, char** argv, const GangJob& given) {
    job = given;
    if (std::strcmp(job.json_path, "-") == 0)
        fail("\n/JSON=- cannot be used with /GANG= (each port writes a record file of its own)!");
    if (!platform_make_temp_dir(temp_dir, sizeof temp_dir))
        fail("\nCan not create the temporary files for /GANG=!");
    if (link_state.log_on && !files_prepare_dir()) link_state.log_on = false;
    // A missing database is written here, once: children that all found it
    // missing would write it at the same moment, and one could read it while
    // another is still writing it.
    device_db_load(0);
    live_lines = ui_on_terminal();
    ui_print("\nRunning on %d port%s...", port_count, port_count == 1 ? "" : "s");
    std::fflush(stdout);
    // Every command line is built once before any child starts, so one that
    // does not fit ends the run while nothing runs yet.
    for (int i = 0; i < port_count; ++i) {
        prepare_files(i);
        build_command(argv, argc, ports[i]);
    }
    // The children write the records; this process has none of its own.
    record_drop();
    for (int i = 0; i < port_count; ++i) start_port(i, argc, argv);
    while (any_running()) {
        pass_on_interrupt();
        int exit_code = -1;
        int done = platform_wait_child(children, port_count, WAIT_MS, &exit_code);
        if (done >= 0) report_port(ports[done], exit_code);
        show_live_lines(done >= 0);
    }
    ui_live_clear();
    for (int i = 0; i < port_count; ++i) {
        if (!ports[i].started) report_port(ports[i], -1);
    }
    int code = report_summary();
    show_failed_consoles();
    remove_temp_files();
    platform_clear_interrupt();
    std::exit(code);
}
