// Feeds arbitrary text to the program as its settings file, the way a run
// meets it: the input is written to picup.cfg in a directory of its own, and
// the program, started from there with /INFO, opens and reads it itself. No
// input bytes is no settings file at all. The port is the in-process emulator,
// so a setting that names a port opens it and the run goes on to the log.
// Inputs that end the run (unknown words, HELP, an over-long path) end only
// this input; every other one must leave the settings within their bounds,
// and /BAUD=9600 given on top must be stored so that the next run reads the
// same port and 9600 back, whatever else the user's file holds.
#include <cstdint>
#include <cstring>

#include "exit_trap.h"
#include "image/image.h"
#include "program_dir.h"
#include "protocol/link.h"
#include "cli/options.h"
#include "serial/port.h"

namespace {

struct CommandLine {
    int argc;
    char** argv;
};

void load(void* context) {
    auto* line = static_cast<CommandLine*>(context);
    Settings taken;
    load_options(line->argc, line->argv, &taken);
}

// One run of the program's start with the given options after its name;
// -1 when it went on to the target, else the code it ended with.
int start(char* first, char* second) {
    char* argv[] = {program_dir::program, first, second, nullptr};
    CommandLine line{second != nullptr ? 3 : 2, argv};
    settings = Settings{};
    write_flags = 0;
    link_state.log_on = false;
    int code = exit_trap::run(load, &line);
    log_end();
    port_close();
    return code;
}

bool terminated(const char* text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

bool same_port(const Settings& a, const Settings& b) {
    if (a.com_path[0] != '\0' || b.com_path[0] != '\0') return std::strcmp(a.com_path, b.com_path) == 0;
    return a.com_port == b.com_port;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    program_dir::create();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static char info[] = "/INFO";
    static char baud[] = "/BAUD=9600";
    program_dir::write_file(".cfg", data, size, true);
    if (start(info, nullptr) >= 0) return 0;
    if (!terminated(settings.com_path, sizeof settings.com_path)) __builtin_trap();
    if (!terminated(settings.save_path, sizeof settings.save_path)) __builtin_trap();
    if (settings.read_to > 0xFFFF || settings.erase_to > 0xFFFF || settings.fill_to > 0xFFFF)
        __builtin_trap();
    if (settings.info != 1) __builtin_trap();  // the command line's /INFO always applies
    // The port opened: the same file with a baud rate on the command line
    // opens it again and stores the rate beside the port.
    const Settings first = settings;
    if (start(info, baud) >= 0) __builtin_trap();
    if (start(info, nullptr) >= 0) __builtin_trap();  // the stored file is read back
    if (settings.baud != 9600 || !same_port(first, settings)) __builtin_trap();
    return 0;
}
