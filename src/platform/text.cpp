// Case-insensitive comparison of option words. Only ASCII letters fold, the
// same way on every OS and in every locale, so an option word matches the
// same on every machine.
#include "platform/platform.h"

namespace {

int fold(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') return u - 'A' + 'a';
    return u;
}

bool is_decimal(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// Leading zeros are skipped; a digit 1-9 then starts a decimal number,
// anything else a hexadecimal one with an optional x. 32-bit arithmetic that
// wraps like the unsigned registers it fills.
int parse_number(const char* text) {
    while (*text == '0') ++text;
    unsigned value = 0;
    if (*text >= '1' && *text <= '9') {
        for (; is_decimal(*text); ++text) value = value * 10u + static_cast<unsigned>(*text - '0');
        return static_cast<int>(value);
    }
    if (*text == 'x' || *text == 'X') ++text;
    for (int digit = platform_hex_digit(*text); digit >= 0; digit = platform_hex_digit(*++text))
        value = value * 16u + static_cast<unsigned>(digit);
    return static_cast<int>(value);
}


// Compares at most n characters; the result's sign orders a before or after b
// like strncmp does on the lower-cased texts.
int platform_strnicmp(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        int ca = fold(a[i]);
        int cb = fold(b[i]);
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

int platform_stricmp(const char* a, const char* b) {
    for (std::size_t i = 0;; ++i) {
        int ca = fold(a[i]);
        int cb = fold(b[i]);
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
}

int platform_hex_digit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
