// One line on standard error for each way a run can end with exit code 1 and
// nothing on standard output (a HEX file the reader refused without a message,
// a frame the programmer refused with NAK), for a HEX file refused as a whole,
// and for data the reader skipped. Printed whether or not standard
// error is a terminal, so a script or a log file gets the reason too.
#pragma once

// "picup: <file>:<line>: <what>" for the reader's last failure ("<file>: <what>"
// for one of the whole file); nothing for the address errors, whose message
// on standard output names the address.
void ui_report_hex_fault(const char* file_name);
// "picup: <file>: data for 0x8006 skipped: ..." when the last load skipped
// data for read-only words; nothing otherwise.
void ui_report_hex_skipped(const char* file_name);
// "picup: programmer refused a frame (NAK) while <stage>".
void ui_report_nak();
