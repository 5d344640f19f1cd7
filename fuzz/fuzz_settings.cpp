// Feeds arbitrary text to the program as its settings file: lines arrive in
// pieces of at most 49 characters, device and file paths are read whole, and
// every piece goes through the option words. Inputs that end the run (unknown
// words, HELP, an over-long path, a port that cannot be opened) end only this
// input; every other one must leave the settings within their bounds.
#include <cstdint>
#include <cstring>

#include "exit_trap.h"
#include "image/image.h"
#include "protocol/link.h"
#include "run/options.h"
#include "serial/port.h"

namespace {

void load(void*) {
    // The directory does not exist: only the settings file is served, from
    // the input; the log and the rewrite find no place to write.
    static char argv0[] = "/nonexistent-picup-fuzz/picup";
    static char info[] = "/INFO";
    static char* argv[] = {argv0, info, nullptr};
    load_options(2, argv);
}

bool terminated(const char* text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    settings = Settings{};
    write_flags = 0;
    link_state.log_on = false;
    exit_trap::cfg_data = data;
    exit_trap::cfg_size = size;
    int code = exit_trap::run(load, nullptr);
    log_end();
    port_close();
    if (code >= 0) return 0;
    if (!terminated(settings.com_path, sizeof settings.com_path)) __builtin_trap();
    if (!terminated(settings.save_path, sizeof settings.save_path)) __builtin_trap();
    if (settings.read_to > 0xFFFF || settings.erase_to > 0xFFFF || settings.fill_to > 0xFFFF)
        __builtin_trap();
    if (settings.info != 1) __builtin_trap();  // the command line's /INFO always applies
    return 0;
}
