// JSON text for the run record, written straight to a stream with no memory
// of its own. Strings are escaped so that any bytes, a path in the system's
// 8-bit code page too, give valid UTF-8 JSON.
#pragma once
#include <cstdio>

// `text` as a JSON string, or null for nullptr. Quote, backslash and control
// characters are escaped; a valid UTF-8 sequence passes through as it is; any
// other byte (a Latin-1 or Windows code page letter, a stray continuation
// byte) becomes the character of the same number, \u00XX.
void json_string(std::FILE* out, const char* text);
// An integer, or null when `known` is false.
void json_int_or_null(std::FILE* out, long value, bool known);
void json_bool(std::FILE* out, bool value);
// Bytes of the valid UTF-8 sequence at `p` (1 for ASCII, which includes the
// terminating zero), 0 when the bytes there are not one.
int utf8_sequence_length(const unsigned char* p);
