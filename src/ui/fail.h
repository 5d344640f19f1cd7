// Failures end the process where they are met: one message line on stdout,
// exit code 1. The exit handler (run.h) then switches VPP off and writes the
// run record, which takes the way the run ended from `run_end`.
#pragma once

enum RunEnding : int {
    END_NONE,         // not noted: an exit nobody accounted for counts as failed
    END_OK,
    END_FAILED,
    END_INTERRUPTED,  // Ctrl+C or SIGTERM
};

struct RunEnd {
    RunEnding ending;
    int exit_code;
    const char* message;  // the console message of a failure, nullptr when none
};
extern RunEnd run_end;

// Notes how the run ends; the last note stands.
void run_end_note(RunEnding ending, int exit_code, const char* message);

[[noreturn]] void fail(const char* message);  // print_failure(message); exit(1)
// The message as a line on stdout, then the reason on stderr where one was noted.
void print_failure(const char* message);
[[noreturn]] void fail_silent();              // exit(1) without a console message
// A message built like printf's (no line end), printed as a line; exit(1).
#if defined(__GNUC__)
[[noreturn]] void fail_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
[[noreturn]] void fail_format(const char* format, ...);
#endif
// A refusal of our own that the console texts have no message for: the
// reason and what to try as a "picup: ..." line on standard error, nothing on
// standard output; exit(1). The record keeps the text as the failure's message.
#if defined(__GNUC__)
[[noreturn]] void fail_report(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
[[noreturn]] void fail_report(const char* format, ...);
#endif
// exit(1) after a message that is already on the console (nullptr: none).
[[noreturn]] void fail_shown(const char* message);

// When Ctrl+C or SIGTERM has arrived: "\nInterrupted!" and exit code 1 through the
// normal exit path. Called wherever the run polls. A standard output that
// could not be written (the reader of a pipe has gone) ends the run there too,
// silently with a line on stderr: nobody is left to see what it prints.
void check_interrupt();
// At the end of a completed run: flushes standard output and ends the run the
// same way when what it printed did not all get out.
void check_output_written();
