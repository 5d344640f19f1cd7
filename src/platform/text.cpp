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

}  // namespace

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
