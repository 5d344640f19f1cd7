// A scanner over JSON text. Strings are unescaped into a bounded buffer (\u
// escapes as UTF-8); nesting deeper than MAX_DEPTH counts as invalid.
#include "record/jsonscan.h"

#include <cstring>

#include "platform/platform.h"

namespace {

constexpr int MAX_DEPTH = 32;

struct Out {
    char* text;
    std::size_t size;
    std::size_t length;
};

void out_put(Out* out, char c) {
    if (out == nullptr || out->size == 0) return;
    if (out->length + 1 < out->size) out->text[out->length++] = c;
    out->text[out->length] = '\0';
}

void skip_blanks(const char** p) {
    while (**p == ' ' || **p == '\t' || **p == '\r' || **p == '\n') ++*p;
}

void put_utf8(Out* out, unsigned code) {
    if (code < 0x80) {
        out_put(out, static_cast<char>(code));
    } else if (code < 0x800) {
        out_put(out, static_cast<char>(0xC0 | (code >> 6)));
        out_put(out, static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out_put(out, static_cast<char>(0xE0 | (code >> 12)));
        out_put(out, static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out_put(out, static_cast<char>(0x80 | (code & 0x3F)));
    }
}

bool read_escape(const char** p, Out* out) {
    static const char from[] = "\"\\/bfnrt";
    static const char to[] = "\"\\/\b\f\n\r\t";
    char c = *(*p)++;
    const char* at = c != '\0' ? std::strchr(from, c) : nullptr;
    if (at != nullptr) {
        out_put(out, to[at - from]);
        return true;
    }
    if (c != 'u') return false;
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
        int d = platform_hex_digit(*(*p)++);
        if (d < 0) return false;
        code = code * 16 + static_cast<unsigned>(d);
    }
    put_utf8(out, code);
    return true;
}

// At the opening quote; ends after the closing one.
bool read_string(const char** p, Out* out) {
    if (**p != '"') return false;
    ++*p;
    if (out != nullptr && out->size > 0) out->text[0] = '\0';
    while (**p != '"') {
        unsigned char c = static_cast<unsigned char>(*(*p)++);
        if (c < 0x20) return false;  // the end of the text, or a raw control character
        if (c == '\\') {
            if (!read_escape(p, out)) return false;
        } else {
            out_put(out, static_cast<char>(c));
        }
    }
    ++*p;
    return true;
}

bool read_number(const char** p, Out* out) {
    const char* start = *p;
    while (std::strchr("+-0123456789.eE", **p) != nullptr && **p != '\0') out_put(out, *(*p)++);
    return *p != start;
}

bool read_word(const char** p, const char* word) {
    std::size_t n = std::strlen(word);
    if (std::strncmp(*p, word, n) != 0) return false;
    *p += n;
    return true;
}

bool skip_value(const char** p, int depth);

// Object or array members up to the closing bracket; `keys` for an object.
bool skip_members(const char** p, char close, bool keys, int depth) {
    ++*p;
    skip_blanks(p);
    if (**p == close) return ++*p, true;
    for (;;) {
        skip_blanks(p);
        if (keys) {
            if (!read_string(p, nullptr)) return false;
            skip_blanks(p);
            if (*(*p)++ != ':') return false;
        }
        if (!skip_value(p, depth + 1)) return false;
        skip_blanks(p);
        char c = *(*p)++;
        if (c == close) return true;
        if (c != ',') return false;
    }
}

bool skip_value(const char** p, int depth) {
    if (depth > MAX_DEPTH) return false;
    skip_blanks(p);
    switch (**p) {
    case '{': return skip_members(p, '}', true, depth);
    case '[': return skip_members(p, ']', false, depth);
    case '"': return read_string(p, nullptr);
    case 't': return read_word(p, "true");
    case 'f': return read_word(p, "false");
    case 'n': return read_word(p, "null");
    default: return read_number(p, nullptr);
    }
}

JsonKind take_value(const char** p, Out* out) {
    skip_blanks(p);
    if (**p == '"') return read_string(p, out) ? JSON_STRING : JSON_MISSING;
    if (**p == 'n') return read_word(p, "null") ? JSON_NULL : JSON_MISSING;
    if (**p == '-' || (**p >= '0' && **p <= '9')) return read_number(p, out) ? JSON_NUMBER : JSON_MISSING;
    return skip_value(p, 0) ? JSON_OTHER : JSON_MISSING;
}

// Whether the key just read is the path's first segment.
bool key_matches(const char* key, const char* path, std::size_t segment) {
    return std::strlen(key) == segment && std::strncmp(key, path, segment) == 0;
}

JsonKind lookup(const char** p, const char* path, Out* out, int depth) {
    skip_blanks(p);
    if (**p != '{' || depth > MAX_DEPTH) return JSON_MISSING;
    const char* dot = std::strchr(path, '.');
    std::size_t segment = dot != nullptr ? static_cast<std::size_t>(dot - path) : std::strlen(path);
    ++*p;
    for (;;) {
        skip_blanks(p);
        char key[64];
        Out k{key, sizeof key, 0};
        if (!read_string(p, &k)) return JSON_MISSING;
        skip_blanks(p);
        if (*(*p)++ != ':') return JSON_MISSING;
        if (key_matches(key, path, segment))
            return dot != nullptr ? lookup(p, dot + 1, out, depth + 1) : take_value(p, out);
        if (!skip_value(p, depth + 1)) return JSON_MISSING;
        skip_blanks(p);
        if (*(*p)++ != ',') return JSON_MISSING;
    }
}

}  // namespace

JsonKind json_lookup(const char* text, const char* path, char* out, std::size_t size) {
    Out o{out, size, 0};
    if (size > 0) out[0] = '\0';
    return lookup(&text, path, &o, 0);
}
