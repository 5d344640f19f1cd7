// What a person at the bench sees besides the program's own texts: a live
// progress bar for the long passes over the chip and a summary after a
// completed write, both on standard error and only when that is a terminal.
// Standard output gets only the run's own texts through ui_print, unchanged,
// so what the run prints there stays byte for byte the same whether or not a
// bar was shown.
//
// The bar is drawn where the cursor stands after the stage text ("\nProgramming
// program flash..."), with the cursor saved before and restored after it and
// line wrapping off while it is drawn, so it never moves the cursor, never
// wraps or scrolls, and is erased with one erase-to-end-of-line.
#pragma once
#include <cstdio>

// Where the display goes: `out` (standard error in the program), whether a
// person watches it on a terminal, its width in columns (0: unknown).
void ui_attach(std::FILE* out, bool terminal, int columns);
// Attaches standard error as the platform finds it; the summary's clock starts.
void ui_init();
bool ui_on_terminal();
std::FILE* ui_output();

// Prints a text of the run on standard output exactly as printf would, and
// notes where it leaves the cursor, so that a bar drawn behind it fits the
// rest of the line. The texts a bar follows are printed through here.
void ui_print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// What the run is doing now, named for the diagnostics ("programming flash").
void ui_stage(const char* name);
const char* ui_current_stage();

// A pass of `total` units (`unit`: "words" or "bytes"), which also becomes the
// current stage. Steps add units done; the bar is redrawn at most ten times a
// second and not before the pass has run for a tenth of a second.
void ui_progress_begin(const char* stage, long total, const char* unit);
void ui_progress_step(long units);
// Erases the bar now, when the run is about to print a line of its own or a
// failure message; the next step draws it again.
void ui_progress_clear();
void ui_progress_end();

// Lines that stand below the cursor's line while the run waits (one per port
// of a gang), redrawn in place on each call and erased by ui_live_clear, by
// ui_progress_clear and before every diagnostic line, so that the screen is
// left with exactly the run's own texts. Only on a terminal, and only while
// the texts before them went through ui_print (so the cursor's column is
// known).
void ui_live_show(const char* const* lines, int count);
void ui_live_clear();

// Counters for the summary: bytes written to the port, and frames that load a
// word (or EEPROM byte) for programming.
void ui_count_sent(long bytes);
void ui_count_word_loaded();
// "picup: N words written, M bytes sent in T s" after a completed write.
void ui_summary();

// The bar's text for `done` of `total` after `elapsed_ms`, at most `columns`
// characters (the space behind the stage text): the elapsed time, then the
// count, then cells of the graph give way before the percentage. Returns its
// length (0 when nothing fits or `size` is too small for anything).
int ui_format_bar(char* out, int size, long done, long total, const char* unit, long elapsed_ms,
                  int columns);
