// One line on standard error for each way a run can end with exit code 1 and
// nothing on standard output: a HEX file the reader refused without a message,
// a frame the programmer refused with NAK, and a standard output that can no
// longer be written. Printed whether or not standard
// error is a terminal, so a script or a log file gets the reason too.
#pragma once

// "picup: <file>:<line>: <what>" for the reader's last failure; nothing when
// the reader has already printed a message of its own.
void ui_report_hex_fault(const char* file_name);
// "picup: programmer refused a frame (NAK) while <stage>".
void ui_report_nak();
// "picup: standard output cannot be written (closed pipe?) while <stage>;
// run stopped".
void ui_report_output_lost();
