// Feeds arbitrary option words (as from the command line or the settings file)
// to the option parser, and arbitrary text to the number and range syntax.
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "run/options.h"

namespace {

// The words that end the process (unknown options, HELP) are left out: exiting
// is their specified behaviour, and a fuzzer counts an exit as a finding.
bool keeps_running(const char* word) {
    static const char* const known[] = {"COM", "BAUD=", "ERASE", "FILL", "OSCCAL", "READ",
                                        "BULKERASE", "LOG", "INFO", "SAVE="};
    for (const char* k : known) {
        if (platform_strnicmp(word, k, std::strlen(k)) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char word[64];
    size_t n = size < sizeof word - 1 ? size : sizeof word - 1;
    std::memcpy(word, data, n);
    word[n] = '\0';
    int from = 0, to = 0;
    parse_number(word);
    parse_range(word, &from, &to);
    if (to > 0xFFFF) __builtin_trap();
    if (keeps_running(word)) apply_option(word);
    return 0;
}
