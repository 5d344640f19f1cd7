#include "record/json.h"

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Bounds of the second byte that rule out overlong forms, surrogates and
// code points above U+10FFFF (RFC 3629).
bool second_byte_fits(unsigned char lead, unsigned char second) {
    if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF;
    if (lead == 0xED) return second >= 0x80 && second <= 0x9F;
    if (lead == 0xF0) return second >= 0x90 && second <= 0xBF;
    if (lead == 0xF4) return second >= 0x80 && second <= 0x8F;
    return is_continuation(second);
}

void put_escaped(std::FILE* out, unsigned char c) {
    switch (c) {
    case '"': std::fputs("\\\"", out); return;
    case '\\': std::fputs("\\\\", out); return;
    case '\b': std::fputs("\\b", out); return;
    case '\f': std::fputs("\\f", out); return;
    case '\n': std::fputs("\\n", out); return;
    case '\r': std::fputs("\\r", out); return;
    case '\t': std::fputs("\\t", out); return;
    default: std::fprintf(out, "\\u%04x", static_cast<unsigned>(c)); return;
    }
}

}  // namespace

int utf8_sequence_length(const unsigned char* p) {
    unsigned char lead = p[0];
    if (lead < 0x80) return 1;
    int length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || !second_byte_fits(lead, p[1])) return 0;
    for (int i = 2; i < length; ++i) {
        if (!is_continuation(p[i])) return 0;
    }
    return length;
}

void json_string(std::FILE* out, const char* text) {
    if (text == nullptr) {
        std::fputs("null", out);
        return;
    }
    std::fputc('"', out);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        int length = utf8_sequence_length(p);
        bool plain = length > 1 || (length == 1 && *p >= 0x20 && *p != 0x7F && *p != '"' &&
                                    *p != '\\');
        if (!plain) {
            put_escaped(out, *p++);
            continue;
        }
        std::fwrite(p, 1, static_cast<std::size_t>(length), out);
        p += length;
    }
    std::fputc('"', out);
}

void json_int_or_null(std::FILE* out, long value, bool known) {
    if (known) {
        std::fprintf(out, "%ld", value);
    } else {
        std::fputs("null", out);
    }
}

void json_bool(std::FILE* out, bool value) { std::fputs(value ? "true" : "false", out); }
