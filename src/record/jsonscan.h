// Reading single values back out of a JSON object, such as a child's run
// record, without building a tree: the text is scanned and everything but the
// asked-for value skipped.
#pragma once
#include <cstddef>

enum JsonKind : int {
    JSON_MISSING,  // no such key, or the text is no valid JSON object up to it
    JSON_NULL,
    JSON_STRING,   // unescaped into `out` (cut to fit)
    JSON_NUMBER,   // its text into `out`
    JSON_OTHER,    // true, false, an object or an array
};

// `path` names a key of the top-level object, or of objects within it joined
// by '.' ("target.name").
JsonKind json_lookup(const char* text, const char* path, char* out, std::size_t size);
