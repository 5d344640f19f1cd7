// Feeds arbitrary option words (as from the command line) to the option parser,
// and arbitrary text to the number and range syntax. Words that end the process
// (unknown options, HELP, an over-long path) end only this input.
#include <cstdint>
#include <cstring>

#include "exit_trap.h"
#include "cli/options.h"

namespace {

void apply(void* word) { apply_option(static_cast<const char*>(word)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Command-line words can be of any length; the copy is sized to the input.
    static char word[1 << 17];
    if (size >= sizeof word) return 0;
    std::memcpy(word, data, size);
    word[size] = '\0';
    int from = 0, to = 0;
    parse_number(word);
    parse_range(word, &from, &to);
    if (to > 0xFFFF) __builtin_trap();
    settings = Settings{};
    exit_trap::run(apply, word);
    if (std::memchr(settings.com_path, '\0', sizeof settings.com_path) == nullptr) __builtin_trap();
    if (std::memchr(settings.save_path, '\0', sizeof settings.save_path) == nullptr) __builtin_trap();
    return 0;
}
