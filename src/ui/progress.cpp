#include "ui/progress.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "platform/files.h"
#include "ui/status.h"

namespace {

// Milliseconds between two drawings of the bar, and before the first one: a
// pass that is over sooner never shows a bar at all.
constexpr long REDRAW_MS = 100;
constexpr int DEFAULT_COLUMNS = 80;
constexpr int MIN_GRAPH = 8;
constexpr int MAX_GRAPH = 30;
// "] " and the four characters of "100%" beside the graph's cells and "[".
constexpr int PERCENT_CHARS = 4;
// Column of the cursor on stdout when it is not known.
constexpr int UNKNOWN_COLUMN = -1;

// Cursor controls: save and restore the cursor (with its pending state),
// line wrapping off and on, erase from the cursor to the end of the line.
const char* const SAVE_CURSOR = "\0337";
const char* const RESTORE_CURSOR = "\0338";
const char* const WRAP_OFF = "\033[?7l";
const char* const WRAP_ON = "\033[?7h";
const char* const ERASE_LINE_END = "\033[K";
// Erase from the cursor to the end of the screen; cursor up n lines; cursor
// to column n (counted from 1).
const char* const ERASE_SCREEN_END = "\033[J";
const char* const CURSOR_UP = "\033[%dA";
const char* const CURSOR_TO_COLUMN = "\033[%dG";

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
    int cursor_column;  // where the run's last text on stdout left the cursor
    bool live_drawn;    // live lines stand below the cursor's line
};

Display display{nullptr, false, 0, 0, nullptr, false, false, 0, 0, "words", 0, 0, 0, 0, 0, false};

long percent_of(long done, long total) { return total > 0 ? done * 100 / total : 100; }

const char* program_name() { return program_stem[0] != '\0' ? program_stem : "picup"; }

// Columns left on the cursor's line behind the blank that separates the bar
// from the stage text; 0 when unknown or none. A text longer than the
// terminal has wrapped onto a further line.
int space_behind_cursor(int columns) {
    if (display.cursor_column == UNKNOWN_COLUMN) return 0;
    int column = display.cursor_column % columns;
    if (column == 0 && display.cursor_column > 0) return 0;  // the cursor waits to wrap
    int space = columns - column - 1;
    return space > 0 ? space : 0;
}

void draw(long now) {
    char bar[200];
    int columns = display.columns > 0 ? display.columns : DEFAULT_COLUMNS;
    display.last_draw_ms = now;
    int space = space_behind_cursor(columns);
    if (space == 0 || ui_format_bar(bar, sizeof bar, display.done, display.total, display.unit,
                                     now - display.begin_ms, space) == 0)
        return;
    // The stage text must be on the screen before the bar goes after it.
    std::fflush(stdout);
    std::fprintf(display.out, "%s%s%s %s%s%s", SAVE_CURSOR, WRAP_OFF, ERASE_LINE_END, bar, WRAP_ON,
                 RESTORE_CURSOR);
    std::fflush(display.out);
    display.drawn = true;
}

// The cursor's column after `text`: counted from its last line end, or on
// from where the cursor stood when it has none.
void note_column(const char* text) {
    const char* line_end = std::strrchr(text, '\n');
    int length = static_cast<int>(std::strlen(line_end != nullptr ? line_end + 1 : text));
    if (line_end != nullptr) {
        display.cursor_column = length;
    } else if (display.cursor_column != UNKNOWN_COLUMN) {
        display.cursor_column += length;
    }
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
    display.cursor_column = 0;
    display.live_drawn = false;
}

void ui_init() {
    bool terminal = platform_stderr_is_terminal();
    ui_attach(stderr, terminal, terminal ? platform_stderr_columns() : 0);
}

bool ui_on_terminal() { return display.terminal; }

void ui_print(const char* format, ...) {
    char text[512];
    std::va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    if (n < static_cast<int>(sizeof text)) {
        std::fputs(text, stdout);
        note_column(text);
        return;
    }
    // Too long for the buffer: printed as it is, and the column is lost.
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    display.cursor_column = UNKNOWN_COLUMN;
}

std::FILE* ui_output() { return display.out != nullptr ? display.out : stderr; }

void ui_stage(const char* name) {
    display.stage = name;
    ui_status_note(name, -1);
}

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
    ui_status_note(stage, 0);
}

void ui_progress_step(long units) {
    if (!display.active) return;
    display.done = clamp_long(display.done + units, 0, display.total);
    ui_status_note(display.stage, static_cast<int>(percent_of(display.done, display.total)));
    if (!display.terminal) return;
    long now = platform_clock_ms();
    if (now - display.last_draw_ms >= REDRAW_MS) draw(now);
}

void ui_progress_clear() {
    ui_live_clear();
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

void ui_count_sent(long bytes) { display.bytes_sent += bytes; }

void ui_count_word_loaded() { ++display.words_written; }

void ui_summary() {
    if (!display.terminal) return;
    long ms = platform_clock_ms() - display.run_start_ms;
    std::fprintf(display.out, "%s: %ld words written, %ld bytes sent in %ld.%ld s\n",
                 program_name(), display.words_written, display.bytes_sent, ms / 1000,
                 (ms % 1000) / 100);
    std::fflush(display.out);
}

// The parts give way in this order when the line is short: the elapsed time,
// then the count, then cells of the graph; the percentage goes last.
int ui_format_bar(char* out, int size, long done, long total, const char* unit, long elapsed_ms,
                  int columns) {
    if (size < 1) return 0;
    out[0] = '\0';
    total = total < 0 ? 0 : total;
    done = clamp_long(done, 0, total);
    elapsed_ms = elapsed_ms < 0 ? 0 : elapsed_ms;
    long percent = percent_of(done, total);
    char count[64];
    char time[32];
    std::snprintf(count, sizeof count, " %ld/%ld %s", done, total, unit != nullptr ? unit : "");
    std::snprintf(time, sizeof time, " %ld.%ld s", elapsed_ms / 1000, (elapsed_ms % 1000) / 100);
    int graph = static_cast<int>(clamp_long(columns / 5, MIN_GRAPH, MAX_GRAPH));
    int fixed = graph + 3 + PERCENT_CHARS;  // "[", the cells, "] " and "nnn%"
    int count_length = static_cast<int>(std::strlen(count));
    if (fixed + count_length + static_cast<int>(std::strlen(time)) > columns) time[0] = '\0';
    if (fixed + count_length > columns) count[0] = '\0';
    if (fixed > columns) graph = columns - 3 - PERCENT_CHARS;
    int n = 0;
    if (graph > 0) {
        char bar[MAX_GRAPH + 1];
        int filled = total > 0 ? static_cast<int>(done * graph / total) : graph;
        for (int i = 0; i < graph; ++i) bar[i] = i < filled ? '#' : '-';
        bar[graph] = '\0';
        n = std::snprintf(out, static_cast<std::size_t>(size), "[%s] %3ld%%%s%s", bar, percent,
                          count, time);
    } else if (columns >= PERCENT_CHARS) {
        n = std::snprintf(out, static_cast<std::size_t>(size), "%3ld%%", percent);
    }
    if (n < 0) return 0;
    return n < size ? n : size - 1;
}

// The lines go below the line the cursor stands on, each cut to the width so
// that none wraps, and the cursor goes back up to where the run's text left
// it; the run's next text then starts where it would have anyway. While the
// cursor waits to wrap at the end of a full line, its place cannot be
// reached again and no lines are drawn.
void ui_live_show(const char* const* lines, int count) {
    if (!display.terminal || display.cursor_column == UNKNOWN_COLUMN) return;
    int columns = display.columns > 0 ? display.columns : DEFAULT_COLUMNS;
    int column = display.cursor_column % columns;
    bool waits_to_wrap = column == 0 && display.cursor_column > 0;
    if (waits_to_wrap || count <= 0) {
        ui_live_clear();
        return;
    }
    std::fflush(stdout);
    std::fputs(ERASE_SCREEN_END, display.out);
    for (int i = 0; i < count; ++i) std::fprintf(display.out, "\r\n%.*s", columns - 1, lines[i]);
    std::fprintf(display.out, CURSOR_UP, count);
    std::fprintf(display.out, CURSOR_TO_COLUMN, column + 1);
    std::fflush(display.out);
    display.live_drawn = true;
}

void ui_live_clear() {
    if (!display.live_drawn) return;
    std::fflush(stdout);
    std::fputs(ERASE_SCREEN_END, display.out);
    std::fflush(display.out);
    display.live_drawn = false;
}
