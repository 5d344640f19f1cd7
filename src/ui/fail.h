// Failures end the process where they are met: one message line on stdout,
// exit code 1. The exit handler (run.h) then switches VPP off.
#pragma once

[[noreturn]] void fail(const char* message);  // print_failure(message); exit(1)
// The message as a line on stdout, then the reason on stderr where one was noted.
void print_failure(const char* message);
[[noreturn]] void fail_silent();              // exit(1) without a console message

// When Ctrl+C or SIGTERM has arrived: "\nInterrupted!" and exit code 1 through the
// normal exit path. Called wherever the run polls. A standard output that
// could not be written (the reader of a pipe has gone) ends the run there too,
// silently with a line on stderr: nobody is left to see what it prints.
void check_interrupt();
// At the end of a completed run: flushes standard output and ends the run the
// same way when what it printed did not all get out.
void check_output_written();
