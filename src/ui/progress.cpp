#include "ui/progress.h"

#include <cstdint>

#include "image/image.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "run/options.h"

namespace {

// Milliseconds between two drawings of the bar, and before the first one: a
// pass that is over sooner never shows a bar at all.
constexpr long REDRAW_MS = 100;
constexpr int DEFAULT_COLUMNS = 80;
constexpr int MIN_GRAPH = 8;
constexpr int MAX_GRAPH = 30;

// Cursor controls: save and restore the cursor (with its pending state),
// line wrapping off and on, erase from the cursor to the end of the line.
const char* const SAVE_CURSOR = "\0337";
const char* const RESTORE_CURSOR = "\0338";
const char* const WRAP_OFF = "\033[?7l";
const char* const WRAP_ON = "\033[?7h";
const char* const ERASE_LINE_END = "\033[K";

struct Display {
    std::FILE* out;
    bool terminal;
    int columns;
    long run_start_ms;
    const char* stage;
    bool active;
    bool drawn;
    long total;
    long done;
    const char* unit;
    long begin_ms;
    long last_draw_ms;
    long bytes_sent;
    long words_written;
};

Display display{nullptr, false, 0, 0, nullptr, false, false, 0, 0, "words", 0, 0, 0, 0};

const char* program_name() { return program_stem[0] != '\0' ? program_stem : "picup"; }

void draw(long now) {
    char bar[200];
    int columns = display.columns > 0 ? display.columns : DEFAULT_COLUMNS;
    ui_format_bar(bar, sizeof bar, display.done, display.total, display.unit,
                  now - display.begin_ms, columns);
    // The stage text must be on the screen before the bar goes after it.
    std::fflush(stdout);
    std::fprintf(display.out, "%s%s%s %s%s%s", SAVE_CURSOR, WRAP_OFF, ERASE_LINE_END, bar, WRAP_ON,
                 RESTORE_CURSOR);
    std::fflush(display.out);
    display.drawn = true;
    display.last_draw_ms = now;
}

long clamp_long(long v, long lo, long hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

void ui_attach(std::FILE* out, bool terminal, int columns) {
    display.out = out;
    display.terminal = out != nullptr && terminal;
    display.columns = columns;
    display.run_start_ms = platform_clock_ms();
    display.active = false;
    display.drawn = false;
    display.bytes_sent = 0;
    display.words_written = 0;
    display.stage = nullptr;
}

void ui_init() {
    bool terminal = platform_stderr_is_terminal();
    ui_attach(stderr, terminal, terminal ? platform_stderr_columns() : 0);
}

bool ui_on_terminal() { return display.terminal; }

std::FILE* ui_output() { return display.out != nullptr ? display.out : stderr; }

void ui_stage(const char* name) { display.stage = name; }

const char* ui_current_stage() { return display.stage; }

void ui_progress_begin(const char* stage, long total, const char* unit) {
    ui_progress_clear();
    display.stage = stage;
    display.active = true;
    display.total = total < 0 ? 0 : total;
    display.done = 0;
    display.unit = unit;
    display.begin_ms = platform_clock_ms();
    display.last_draw_ms = display.begin_ms;
}

void ui_progress_step(long units) {
    if (!display.active) return;
    display.done = clamp_long(display.done + units, 0, display.total);
    if (!display.terminal) return;
    long now = platform_clock_ms();
    if (now - display.last_draw_ms >= REDRAW_MS) draw(now);
}

void ui_progress_clear() {
    if (!display.drawn) return;
    // Whatever the run printed since the bar was drawn goes first; the erase
    // then takes what is left of the bar to the right of it.
    std::fflush(stdout);
    std::fputs(ERASE_LINE_END, display.out);
    std::fflush(display.out);
    display.drawn = false;
}

void ui_progress_end() {
    ui_progress_clear();
    display.active = false;
}

long ui_flash_cells(int limit, int block) {
    if (limit > IMAGE_SIZE) limit = IMAGE_SIZE;
    long cells = 0;
    if (block <= 0) {
        for (int a = 0; a < limit; ++a) cells += cell_holds_data(image[a]) ? 1 : 0;
        return cells;
    }
    for (int b = 0; b < limit; b += block) {
        if (cells_hold_data(b, block)) cells += block;
    }
    return cells;
}

long ui_shown_cells(int from, int to) {
    if (from < 0 || from >= IMAGE_SIZE) return 0;
    if (to < 0) to = from;
    if (to < from || to >= IMAGE_SIZE) to = IMAGE_SIZE - 1;
    long cells = 0;
    for (int a = from; a <= to; ++a) cells += classify_address(a) != REGION_NONE ? 1 : 0;
    return cells;
}

void ui_count_sent(long bytes) { display.bytes_sent += bytes; }

void ui_count_frame(int code) {
    if (code == CMD_LOAD_PROGRAM || code == CMD_LOAD_DATA) ++display.words_written;
}

void ui_summary() {
    if (!display.terminal) return;
    long ms = platform_clock_ms() - display.run_start_ms;
    std::fprintf(display.out, "%s: %ld words written, %ld bytes sent in %ld.%ld s\n",
                 program_name(), display.words_written, display.bytes_sent, ms / 1000,
                 (ms % 1000) / 100);
    std::fflush(display.out);
}

int ui_format_bar(char* out, int size, long done, long total, const char* unit, long elapsed_ms,
                  int columns) {
    if (size < 1) return 0;
    total = total < 0 ? 0 : total;
    done = clamp_long(done, 0, total);
    int graph = static_cast<int>(clamp_long(columns / 5, MIN_GRAPH, MAX_GRAPH));
    int filled = total > 0 ? static_cast<int>(done * graph / total) : graph;
    long percent = total > 0 ? done * 100 / total : 100;
    char bar[MAX_GRAPH + 1];
    for (int i = 0; i < graph; ++i) bar[i] = i < filled ? '#' : '-';
    bar[graph] = '\0';
    elapsed_ms = elapsed_ms < 0 ? 0 : elapsed_ms;
    int n = std::snprintf(out, static_cast<std::size_t>(size), "[%s] %3ld%% %ld/%ld %s %ld.%ld s",
                          bar, percent, done, total, unit != nullptr ? unit : "", elapsed_ms / 1000,
                          (elapsed_ms % 1000) / 100);
    if (n < 0) return 0;
    return n < size ? n : size - 1;
}
