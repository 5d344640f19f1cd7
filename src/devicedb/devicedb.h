// The device database <base>.dat: one line per part, looked up by device ID.
// Written from the built-in part table when missing; the table itself is used
// when the file can be neither read nor created. `device` is the connected
// chip's part, as the matching line gives it.
#pragma once
#include <cstdio>

#include "devicedb/part.h"

extern Part device;

void device_db_set_defaults();
void device_db_load(unsigned device_id);  // fills `device`, its name included
// The scan on its own, for an open stream; returns 1 when a line matched.
// `name` names the file in the report of a malformed line.
int device_db_scan(std::FILE* file, unsigned device_id, const char* name = nullptr);
// The same look-up in the built-in part table.
int device_db_scan_builtin(unsigned device_id);
// The built-in part of that name (any case) as `device`, without a chip;
// returns 0 and leaves `device` alone when the table has no such part.
int device_db_select_name(const char* name);
// The part as a database line: a parameter only where it differs from what a
// line without it gives, so the line reads back as the same part. Returns the
// length written into `out` (at most `size` - 1 characters).
int device_db_format_line(const Part& part, char* out, int size);
// Writes the database file's contents: its header and a line per built-in part.
void device_db_write_default(std::FILE* f);
