// One line on standard error for each way a run can end with exit code 1 and
// nothing on standard output that says why: a HEX file the reader refused
// without a message, a frame the programmer refused with NAK, a port the OS
// would not open, a standard output that can no longer be written; and for what a run noticed on the way (a malformed line of
// the device database, the built-in database used in place of the file, data
// the HEX reader skipped).
// Printed whether or not standard error is a terminal, so a script or a log
// file gets the reason too.
#pragma once

#if defined(__GNUC__)
#define UI_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define UI_PRINTF_FORMAT
#endif

// "picup: <text>" as a line of its own.
void ui_report(const char* format, ...) UI_PRINTF_FORMAT;
// The same right after a stdout message that has ended its line, e.g.
// "picup: /dev/ttyUSB0: Permission denied (...)" after "Can not open port ...!".
void ui_report_after(const char* format, ...) UI_PRINTF_FORMAT;

// "picup: programmer refused a frame (NAK) while <stage>".
void ui_report_nak();
// A reply that began with NAK and then broke off or failed its checksum: the
// programmer refused a frame. Noted with the stage it happened in and reported
// by the failure that follows, after its own message (see fail()).
void ui_note_refusal();
// Prints the noted refusal, if any, on the line after a failure message.
void ui_report_noted_refusal();
// "picup: standard output cannot be written (closed pipe?) while <stage>;
// run stopped".
void ui_report_output_lost();
