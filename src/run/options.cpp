// Command line, settings file and usage text. Settings start from their
// defaults, then take the settings file (<base>.cfg, one option word per line)
// and then the command line, which wins. The COM port and the baud rate are
// stored: giving either on the command line rewrites the settings file.
#include "run/options.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/image.h"
#include "ops/save.h"
#include "platform/platform.h"
#include "protocol/link.h"
#include "run/fail.h"
#include "run/record.h"
#include "serial/port.h"

Settings settings;
char program_base_path[256];
char program_stem[32];

namespace {

// The settings file is read in pieces of at most 49 characters.
constexpr int SETTINGS_PIECE = 50;

bool is_decimal(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads an int the way atoi does (blanks, sign, decimal digits), but clamps an
// out-of-range value instead of leaving it undefined.
int read_int(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool is_trailing_blank(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

// Copies a file or device path given as an option parameter, without the line
// end and blanks that a settings file line carries after it.
void copy_path(char* dest, std::size_t size, const char* text, const char* too_long) {
    std::size_t length = std::strlen(text);
    while (length > 0 && is_trailing_blank(text[length - 1])) --length;
    if (length >= size) fail(too_long);
    std::memcpy(dest, text, length);
    dest[length] = '\0';
}

// /COM=<device path>: the port is named by its device path. An empty path is
// no port at all, like /COM without a number.
void set_com_path(const char* text) {
    copy_path(settings.com_path, sizeof settings.com_path, text,
              "\nDevice path after /COM= is too long (at most 255 characters)!");
    if (settings.com_path[0] == '\0') settings.com_port = 0;
}

// /COM<n>: numbered port; replaces a device path given before.
void set_com_number(const char* text) {
    settings.com_port = read_int(text);
    settings.com_path[0] = '\0';
}

bool matches(const char* word, const char* option) {
    return platform_strnicmp(word, option, std::strlen(option)) == 0;
}

// Options whose parameter is a path; a settings file line holding one is read
// whole, however long, since a path cut into pieces names nothing.
bool takes_path(const char* word) {
    return matches(word, "COM=") || matches(word, "SAVE=") || matches(word, "JSON=");
}

void print_line(const char* text) { std::printf("%s\n", text); }

// A fill value goes into the image as it is (its low 16 bits), and a cell
// holds data only up to 0x3FFF: a larger value would be written as a
// different word on one family and left out on the other. Without a value the
// cells are emptied, which stays allowed.
void check_fill_value(int value) {
    if (value < 0 || (value & 0xFFFF) <= 0x3FFF) return;
    fail_format("\nFill value 0x%X is not a 14-bit word (0 to 0x3FFF)!", value & 0xFFFF);
}

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
    for (int digit = hex_value(*text); digit >= 0; digit = hex_value(*++text))
        value = value * 16u + static_cast<unsigned>(digit);
    return static_cast<int>(value);
}

// <from>[-[<to>]][,<value>]: an end that does not start with a decimal digit
// runs to the top of the address space; no '-' is a single address.
int parse_range(const char* text, int* from, int* to) {
    *from = parse_number(text);
    const char* dash = std::strchr(text, '-');
    if (dash == nullptr) {
        *to = *from;
    } else if (is_decimal(dash[1])) {
        *to = parse_number(dash + 1);
    } else {
        *to = 0xFFFF;
    }
    if (*to > 0xFFFF) *to = 0xFFFF;
    const char* comma = std::strchr(text, ',');
    return comma == nullptr ? -1 : parse_number(comma + 1);
}

// Option words match by prefix, without regard to case, first match wins;
// the rest of the word is the option's parameter. COM= comes before COM.
int apply_option(const char* word) {
    if (matches(word, "COM=")) return set_com_path(word + 4), 1;
    if (matches(word, "COM")) return set_com_number(word + 3), 1;
    if (matches(word, "BAUD=")) return settings.baud = read_int(word + 5), 1;
    if (matches(word, "ERASE")) {
        parse_range(word + 5, &settings.erase_from, &settings.erase_to);
    } else if (matches(word, "FILL")) {
        settings.fill_value = parse_range(word + 4, &settings.fill_from, &settings.fill_to);
        check_fill_value(settings.fill_value);
    } else if (matches(word, "OSCCAL")) {
        settings.osccal = 1;
    } else if (matches(word, "READ")) {
        parse_range(word + 4, &settings.read_from, &settings.read_to);
    } else if (matches(word, "BULKERASE")) {
        write_flags |= WF_BULK_ERASE;
    } else if (matches(word, "LOG")) {
        link_state.log_on = true;
    } else if (matches(word, "INFO")) {
        settings.info = 1;
    } else if (matches(word, "SAVE=")) {
        copy_path(settings.save_path, sizeof settings.save_path, word + 5,
                  "\nFile name after /SAVE= is too long (at most 255 characters)!");
    } else if (matches(word, "VERIFY")) {
        settings.verify = 1;
    } else if (matches(word, "UPDATE")) {
        settings.update = 1;
    } else if (matches(word, "JSON=")) {
        copy_path(settings.json_path, sizeof settings.json_path, word + 5,
                  "\nFile name after /JSON= is too long (at most 255 characters)!");
    } else if (matches(word, "PART=")) {
        copy_path(settings.part, sizeof settings.part, word + 5,
                  "\nPart name after /PART= is too long (at most 20 characters)!");
    } else if (platform_stricmp(word, "HELP") == 0) {
        print_usage();
    } else {
        fail_format("unknown option: %s", word);
    }
    return 0;
}

void print_usage() {
    const char* stem = program_stem;
    print_line("\n**********************************************************************");
    print_line("**   Uploads hexfile to PIC microcontroller by serial Programmer    **");
    print_line("**********************************************************************");
    std::printf("\nUsage: %s [option [option]...] [<hexfile>]\n", stem);
    std::printf("Example: %s /COM4 /BAUD=9600 blinky.hex\n", stem);
    print_line("\nOptions:");
    print_line("/BAUD=<baudrate>   *  set baud rate for serial communication");
    print_line("/BULKERASE            Bulk Erase all memory");
    print_line("/COM<n>            *  select COM port for serial communication");
    print_line("/ERASE<from-to>       erase PIC's memory in given address range");
    print_line("/FILL<from-to,value>  fill memory (from-to) with (value)");
    print_line("/INFO                 show information about target");
    std::printf("/LOG                  log communication process into %s.log\n", stem);
    std::printf("/OSCCAL               run OSCCAL calibration helper\n");
    print_line("/READ<from-to>        read out and display data from PIC's memory");
    std::printf("\nSettings marked with (*) are stored in %s.cfg and used from\n", stem);
    print_line("this file, until settings are modified by command line options.");
    print_line("Numbers may be given in decimal (nn) or hexadecimal (0xnn) notation.");
    print_line("\nCommon Address mappings:");
    print_line("0x0000: program memory, 0x8000: userID,Config, 0xF000: EEPROM");
    print_line("\nMore options:");
    print_line("/COM=<device path> *  select serial port by its device path");
    print_line("/JSON=<file>          write a record of the run as JSON (- : stdout)");
    print_line("/PART=<name>          write only to this part (e.g. PIC16F1825)");
    print_line("/SAVE=<hexfile>       save target memory into a hex file");
    print_line("/UPDATE               write only what differs from the hexfile");
    print_line("/VERIFY               compare target with the hexfile, write nothing");
    run_end_note(END_OK, 0, nullptr);
    std::exit(0);
}

// Cuts the extension of the last path component and splits off the stem.
// Walking back from the end, every '.' ends the text, so the first dot of the
// last component wins; the walk stops at a directory separator. A dot in the
// very first position stays.
int split_program_path(const char* argv0, bool slash_separates, char* base, int base_size,
                       char* stem, int stem_size) {
    std::size_t length = std::strlen(argv0);
    if (base_size <= 0 || length >= static_cast<std::size_t>(base_size)) return 0;
    std::memcpy(base, argv0, length + 1);
    std::size_t i = length;
    for (; i >= 1; --i) {
        if (base[i] == '.') base[i] = '\0';
        char before = base[i - 1];
        if (before == '\\' || (slash_separates && before == '/')) break;
    }
    if (stem_size <= 0 || std::strlen(base + i) >= static_cast<std::size_t>(stem_size)) return 0;
    std::strcpy(stem, base + i);
    return 1;
}

namespace {

// <base> + suffix; the base path is at most 255 characters, so it always fits.
struct FileName {
    char text[sizeof program_base_path + 16];
};

FileName file_name(const char* suffix) {
    FileName name{};
    std::snprintf(name.text, sizeof name.text, "%s%s", program_base_path, suffix);
    return name;
}

void derive_program_names(const char* argv0) {
    const bool slash_separates = platform_slash_separates();
    if (std::strlen(argv0) >= sizeof program_base_path)
        fail("\nProgram path is too long (at most 255 characters)!");
    if (!split_program_path(argv0, slash_separates, program_base_path, sizeof program_base_path,
                            program_stem, sizeof program_stem))
        fail("\nProgram name is too long (at most 31 characters without extension)!");
}

// The rest of a settings line that holds a path, read whole. A line longer
// than any path can be is reported like an over-long path.
void apply_path_line(const char* piece, std::FILE* file) {
    char line[sizeof settings.com_path + 16];
    std::size_t length = std::strlen(piece);
    std::memcpy(line, piece, length + 1);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        if (length + 1 >= sizeof line) break;
        line[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[length] = '\0';
    apply_option(line);
}

// One option word per line. Lines arrive in pieces of at most 49 characters,
// each applied on its own, newline included; a missing file is no error.
void read_settings_file() {
    FileName name = file_name(".cfg");
    std::FILE* file = platform_open_text_file(name.text);
    if (file == nullptr) return;
    char piece[SETTINGS_PIECE];
    while (std::fgets(piece, sizeof piece, file) != nullptr) {
        std::size_t length = std::strlen(piece);
        bool whole_line = length > 0 && piece[length - 1] == '\n';
        if (!whole_line && takes_path(piece)) {
            apply_path_line(piece, file);
        } else {
            apply_option(piece);
        }
    }
    std::fclose(file);
}

// Writes the stored settings into <base>.cfg.tmp and puts it in the place of
// <base>.cfg, so a full disk or a crash never leaves a cut-off settings file.
// When the file cannot be written the rewrite is skipped without a message.
void rewrite_settings_file() {
    FileName target = file_name(".cfg");
    FileName temp = file_name(".cfg.tmp");
    std::FILE* file = std::fopen(temp.text, "w");
    if (file == nullptr) return;
    int written = settings.com_path[0] != '\0'
                      ? std::fprintf(file, "COM=%s\nBAUD=%d\n", settings.com_path, settings.baud)
                      : std::fprintf(file, "COM%d\nBAUD=%d\n", settings.com_port, settings.baud);
    bool ok = written > 0 && std::fflush(file) == 0 && !std::ferror(file);
    ok = std::fclose(file) == 0 && ok;
    if (!ok || !platform_replace_file(temp.text, target.text)) std::remove(temp.text);
}

void open_port() {
    if (settings.com_path[0] != '\0') {
        if (port_open_path(settings.com_path, settings.baud)) return;
        fail_format("\nCan not open port %s!", settings.com_path);
    }
    if (port_open(settings.com_port, settings.baud)) return;
    fail_format("\nCan not open port COM%d!", settings.com_port);
}

// The log is opened only after the port: a run that cannot reach the
// programmer leaves no log behind.
void open_log() {
    if (!link_state.log_on) return;
    FileName name = file_name(".log");
    link_state.log_file = std::fopen(name.text, "w");
    if (link_state.log_file == nullptr) link_state.log_on = false;
}

}  // namespace

// Options begin with '/'. Where '/' also starts an absolute path, an argument
// whose first component ends in a further '/' before any '=' is a file name
// (/home/me/blinky.hex), while /COM=/dev/ttyUSB0 and /READ0-0x1F stay options.
bool is_option_argument(const char* arg) {
    if (arg[0] != '/') return false;
    if (!platform_slash_separates()) return true;
    for (const char* p = arg + 1; *p != '\0'; ++p) {
        if (*p == '=') return true;
        if (*p == '/') return false;
    }
    return true;
}

// /JSON= on the command line takes effect before anything can be printed or
// fail, so that even a run that ends over its options leaves a record, and
// /JSON=- has all of the console text on standard error.
namespace {

void apply_record_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (is_option_argument(argv[i]) && matches(argv[i] + 1, "JSON=")) apply_option(argv[i] + 1);
    }
    record_prepare();
}

}  // namespace

const char* load_options(int argc, char** argv) {
    apply_record_options(argc, argv);
    derive_program_names(argc > 0 && argv[0] != nullptr ? argv[0] : "");
    if (argc <= 1) print_usage();
    read_settings_file();
    const char* hexfile = nullptr;
    int stored = 0;
    for (int i = 1; i < argc; ++i) {
        if (is_option_argument(argv[i])) {
            stored += apply_option(argv[i] + 1);
        } else {
            hexfile = argv[i];
        }
    }
    save_check_paths(hexfile);
    record_prepare();
    if (stored != 0) rewrite_settings_file();
    open_port();
    open_log();
    return hexfile;
}
