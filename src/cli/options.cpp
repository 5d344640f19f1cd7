// Command line, settings file and usage text. Settings start from their
// defaults, then take the settings file (<base>.cfg, one option word per line)
// and then the command line, which wins. The COM port and the baud rate are
// stored: giving either on the command line rewrites their lines in the
// settings file, once the port has opened with them.
#include "cli/options.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devicedb/family.h"
#include "devicedb/part.h"
#include "image/image.h"
#include "platform/platform.h"
#include "protocol/link.h"
#include "platform/files.h"
#include "production/counter.h"
#include "production/gang.h"
#include "cli/outputs.h"
#include "record/record.h"
#include "ui/fail.h"
#include "serial/port.h"
#include "ui/diagnose.h"

#ifndef PICUP_VERSION
#define PICUP_VERSION "0.0.0"
#endif

Settings settings;

namespace {

// Longest settings line kept; the rest of a longer line is skipped. A device
// path of 255 characters with its option word fits with room to spare.
constexpr int SETTINGS_LINE = 512;
const char* const BYTE_ORDER_MARK = "\xEF\xBB\xBF";

// The last /BAUD= text that is no baud rate, for the message; and whether the
// settings file or the command line gave it.
char bad_baud[32];
bool bad_baud_from_file = false;
bool reading_settings_file = false;

bool is_decimal(char c) { return c >= '0' && c <= '9'; }

// Reads an int the way atoi does (blanks, sign, decimal digits), but clamps an
// out-of-range value instead of leaving it undefined.
int read_int(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool is_trailing_blank(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

// A baud rate is a positive decimal number and nothing else; 0 stands for
// anything that is not one (and the text is kept for the message).
int read_baud(const char* text) {
    long long value = 0;
    const char* p = text;
    for (; is_decimal(*p) && value <= INT_MAX; ++p) value = value * 10 + (*p - '0');
    if (p != text && *p == '\0' && value > 0 && value <= INT_MAX) return static_cast<int>(value);
    std::snprintf(bad_baud, sizeof bad_baud, "%s", text);
    bad_baud_from_file = reading_settings_file;
    return 0;
}

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
// Whether a settings line or the command line named a port at all.
bool port_named = false;

void set_com_path(const char* text) {
    port_named = true;
    copy_path(settings.com_path, sizeof settings.com_path, text,
              "\nDevice path after /COM= is too long (at most 255 characters)!");
    if (settings.com_path[0] == '\0') settings.com_port = 0;
}

// /COM<n>: numbered port; replaces a device path given before.
void set_com_number(const char* text) {
    port_named = true;
    settings.com_port = read_int(text);
    settings.com_path[0] = '\0';
}

bool matches(const char* word, const char* option) {
    return platform_strnicmp(word, option, std::strlen(option)) == 0;
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

// The end of a number of the range syntax that starts at `p` (p itself when
// there is none): leading zeros, then decimal digits when 1-9 follows, else
// hexadecimal digits after an optional x, which needs at least one.
const char* number_end(const char* p) {
    while (*p == '0') ++p;
    if (*p >= '1' && *p <= '9') {
        while (is_decimal(*p)) ++p;
        return p;
    }
    if (*p != 'x' && *p != 'X') {
        while (platform_hex_digit(*p) >= 0) ++p;
        return p;
    }
    const char* digits = p + 1;
    while (platform_hex_digit(*digits) >= 0) ++digits;
    return digits == p + 1 ? p : digits;
}

// A range must be <from>[-[<to>]][,<value>] and nothing else: a number that
// runs into other characters (0xZZ, ALL) or an end that is no number would be
// read as some other address, and a reversed range would run to the top of
// the address space. Refused before anything is stored or sent.
void check_range_text(const char* option, const char* text, bool takes_value) {
    const char* p = number_end(text);
    bool ok = true;
    if (*p == '-') {
        const char* end = p + 1;
        if (*end != '\0' && *end != ',') ok = is_decimal(*end) && (end = number_end(end)) != p + 1;
        p = end;
    }
    if (ok && *p == ',' && takes_value) {
        const char* value = p + 1;
        p = number_end(value);
        ok = p != value;
    }
    if (!ok || *p != '\0') {
        fail_report("/%s%s is no range: give <from>[-<to>]%s in decimal or 0x hexadecimal, "
                    "e.g. /%s0x100-0x1FF%s",
                    option, text, takes_value ? "[,<value>]" : "", option, takes_value ? ",0x3FFF" : "");
    }
    int from = 0, to = 0;
    parse_range(text, &from, &to);
    if (from > 0xFFFF) fail_report("/%s%s starts beyond the address space (0 to 0xFFFF)", option, text);
    if (to < from)
        fail_report("/%s%s ends before it starts; give the lower address first", option, text);
}

}  // namespace

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
    if (matches(word, "BAUD=")) return settings.baud = read_baud(word + 5), 1;
    if (matches(word, "ERASE")) {
        check_range_text("ERASE", word + 5, false);
        parse_range(word + 5, &settings.erase_from, &settings.erase_to);
    } else if (matches(word, "FILL")) {
        check_range_text("FILL", word + 4, true);
        settings.fill_value = parse_range(word + 4, &settings.fill_from, &settings.fill_to);
        check_fill_value(settings.fill_value);
    } else if (matches(word, "OSCCAL")) {
        settings.osccal = 1;
    } else if (matches(word, "READ")) {
        check_range_text("READ", word + 4, false);
        parse_range(word + 4, &settings.read_from, &settings.read_to);
    } else if (matches(word, "CHECKSUM")) {
        settings.checksum = 1;
    } else if (matches(word, "BULKERASE")) {
        write_flags |= WF_BULK_ERASE;
    } else if (matches(word, "LOG=")) {
        copy_path(settings.log_path, sizeof settings.log_path, word + 4,
                  "\nFile name after /LOG= is too long (at most 255 characters)!");
        link_state.log_on = true;
    } else if (matches(word, "LOG")) {
        link_state.log_on = true;
        settings.log_path[0] = '\0';
    } else if (matches(word, "HISTORY=")) {
        copy_path(settings.history_path, sizeof settings.history_path, word + 8,
                  "\nFile name after /HISTORY= is too long (at most 255 characters)!");
    } else if (matches(word, "SERIAL=")) {
        serial_option(word + 7);
    } else if (matches(word, "INFO")) {
        settings.info = 1;
    } else if (matches(word, "SAVE=")) {
        copy_path(settings.save_path, sizeof settings.save_path, word + 5,
                  "\nFile name after /SAVE= is too long (at most 255 characters)!");
    } else if (matches(word, "VERIFY")) {
        settings.verify = 1;
    } else if (matches(word, "UPDATE")) {
        settings.update = 1;
    } else if (matches(word, "NOSTORE")) {
        settings.no_store = 1;
    } else if (matches(word, "JSON=")) {
        copy_path(settings.json_path, sizeof settings.json_path, word + 5,
                  "\nFile name after /JSON= is too long (at most 255 characters)!");
    } else if (matches(word, "PART=")) {
        copy_path(settings.part, sizeof settings.part, word + 5,
                  "\nPart name after /PART= is too long (at most 20 characters)!");
        if (settings.part[0] == '\0')
            fail_report("/PART= names no part; give one such as /PART=PIC16F1825, or leave it out");
    } else if (platform_stricmp(word, "HELP") == 0) {
        print_usage();
    } else if (platform_stricmp(word, "PARTS") == 0) {
        print_parts();
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
    print_line("/CHECKSUM             print the chip maker's checksum of the hexfile (with");
    print_line("                      /PART=<name> no programmer needed) or of the target");
    print_line("/COM=<device path> *  select serial port by its device path");
    print_line("/GANG=<port>,<port>   run the same job on several programmers at once");
    print_line("/HISTORY=<file>       append a line per chip to <file> (JSON lines)");
    print_line("/JSON=<file>          write a record of the run as JSON (- : stdout)");
    print_line("/LOG=<file>           log communication process into <file>");
    print_line("/NOSTORE              use /COM and /BAUD= for this run only");
    print_line("/PART=<name>          write only to this part (e.g. PIC16F1825); older parts");
    print_line("                      that need 10-13 V must be named to be found");
    print_line("/PARTS                list the supported parts by family");
    print_line("/SAVE=<hexfile>       save target memory into a hex file");
    print_line("/SERIAL=<address>,<first>[,<step>[,<bytes>]]");
    print_line("                      write the next serial number into every chip");
    print_line("/UPDATE               write only what differs from the hexfile");
    print_line("/VERIFY               compare target with the hexfile, write nothing");
    run_end_note(END_OK, 0, nullptr);
    std::exit(0);
}

// The built-in part table, a block per family in type-code order, the names
// in table order, eight to a line.
void print_parts() {
    enum { FAMILIES = FAMILY_BLOCK_ERASE_PROGRAM + 1, PER_LINE = 8 };
    for (int type = 0; type < FAMILIES; ++type) {
        int shown = 0;
        for (int i = 0; i < PART_COUNT; ++i) {
            if (PART_TABLE[i].type_code != type) continue;
            if (shown == 0) std::printf("\n%s:", family_of(type).name);
            if (shown % PER_LINE == 0) std::printf("\n ");
            std::printf(" %s", PART_TABLE[i].name);
            ++shown;
        }
        if (shown > 0) std::printf("\n");
    }
    run_end_note(END_OK, 0, nullptr);
    std::exit(0);
}

void print_version() {
    std::printf("%s %s\n", program_stem, PICUP_VERSION);
    std::printf("settings:        %s\n", file_name(".cfg").text);
    std::printf("device database: %s\n", file_name(".dat").text);
    std::printf("log:             %s\n", file_name(".log").text);
    run_end_note(END_OK, 0, nullptr);
    std::exit(0);
}

void check_dash_argument(const char* arg) {
    if (arg[0] != '-') return;
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "-?") == 0)
        print_usage();
    if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-V") == 0) print_version();
    fail_format("unknown option: %s", arg);
}

namespace {

// One line of the file into `line` without its line end; at most size - 1
// characters are kept and the rest of a longer line is skipped. Returns the
// number kept, or -1 at the end of the file.
int read_line(std::FILE* file, char* line, int size) {
    int c = std::fgetc(file);
    if (c == EOF) return -1;
    int n = 0;
    for (; c != EOF && c != '\n'; c = std::fgetc(file)) {
        if (n + 1 < size) line[n++] = static_cast<char>(c);
    }
    line[n] = '\0';
    return n;
}

// The option word of a settings line, as a person may have edited it: a byte
// order mark (on the first line), blanks and a CR around the word are not part
// of it. nullptr for a blank line and a '#' comment.
char* settings_word(char* line, bool first_line) {
    if (first_line && std::strncmp(line, BYTE_ORDER_MARK, 3) == 0) line += 3;
    while (*line == ' ' || *line == '\t') ++line;
    std::size_t length = std::strlen(line);
    while (length > 0 && is_trailing_blank(line[length - 1])) line[--length] = '\0';
    return line[0] == '\0' || line[0] == '#' ? nullptr : line;
}

// One option word per line; a missing file is no error.
void read_settings_file() {
    FileName name = file_name(".cfg");
    std::FILE* file = platform_open_text_file(name.text);
    if (file == nullptr) return;
    char line[SETTINGS_LINE];
    reading_settings_file = true;
    for (bool first = true; read_line(file, line, sizeof line) >= 0; first = false) {
        char* word = settings_word(line, first);
        if (word != nullptr) apply_option(word);
    }
    reading_settings_file = false;
    std::fclose(file);
}

enum StoredKind { STORED_NONE, STORED_COM, STORED_BAUD };

StoredKind stored_kind(char* line, bool first_line) {
    const char* word = settings_word(line, first_line);
    if (word == nullptr) return STORED_NONE;
    if (matches(word, "COM")) return STORED_COM;
    if (matches(word, "BAUD=")) return STORED_BAUD;
    return STORED_NONE;
}

bool write_stored(std::FILE* out, StoredKind kind, const char* line_end) {
    if (kind == STORED_BAUD) return std::fprintf(out, "BAUD=%d%s", settings.baud, line_end) > 0;
    if (settings.com_path[0] != '\0')
        return std::fprintf(out, "COM=%s%s", settings.com_path, line_end) > 0;
    return std::fprintf(out, "COM%d%s", settings.com_port, line_end) > 0;
}

// The old settings go over line by line, exactly as they were, except the
// COM and BAUD= lines: the first of each kind takes the new value in its
// place (with its own line end), later ones are dropped. A byte order mark in
// front of a replaced first line stays.
struct SettingsCopy {
    bool com_written = false;
    bool baud_written = false;
    bool at_line_start = true;
};

void copy_line_rest(std::FILE* in, std::FILE* out, int c, SettingsCopy* copy) {
    for (; c != EOF && c != '\n'; c = std::fgetc(in)) std::fputc(c, out);
    if (c == '\n') std::fputc('\n', out);
    copy->at_line_start = c == '\n';
}

void replace_line(std::FILE* in, std::FILE* out, int c, StoredKind kind, const char* raw,
                  int length, bool first_line, SettingsCopy* copy) {
    while (c != EOF && c != '\n') c = std::fgetc(in);
    bool* written = kind == STORED_COM ? &copy->com_written : &copy->baud_written;
    if (*written) return;
    if (first_line && std::strncmp(raw, BYTE_ORDER_MARK, 3) == 0) std::fputs(BYTE_ORDER_MARK, out);
    write_stored(out, kind, length > 0 && raw[length - 1] == '\r' ? "\r\n" : "\n");
    *written = true;
    copy->at_line_start = true;
}

void copy_settings(std::FILE* in, std::FILE* out, SettingsCopy* copy) {
    char raw[SETTINGS_LINE];
    char word[SETTINGS_LINE];
    for (bool first = true;; first = false) {
        int c = std::fgetc(in);
        if (c == EOF) return;
        int n = 0;
        for (; c != EOF && c != '\n' && n + 1 < static_cast<int>(sizeof raw); c = std::fgetc(in))
            raw[n++] = static_cast<char>(c);
        raw[n] = '\0';
        std::memcpy(word, raw, static_cast<std::size_t>(n) + 1);
        StoredKind kind = stored_kind(word, first);
        if (kind == STORED_NONE) {
            std::fwrite(raw, 1, static_cast<std::size_t>(n), out);
            copy_line_rest(in, out, c, copy);
        } else {
            replace_line(in, out, c, kind, raw, n, first, copy);
        }
    }
}

// Writes the settings into <base>.cfg.tmp and puts it in the place of
// <base>.cfg, so a full disk or a crash never leaves a cut-off settings file.
// When the file cannot be written (or the old one cannot be read whole) the
// rewrite is skipped without a message.
void rewrite_settings_file() {
    // A settings file that is a link stays one: the file it names is replaced.
    FileName name = file_name(".cfg");
    static char target[sizeof name.text + 1024];
    static char temp[sizeof target + 8];
    if (!platform_link_target(name.text, target, sizeof target)) return;
    std::snprintf(temp, sizeof temp, "%s.tmp", target);
    if (!files_prepare_dir()) return;
    std::FILE* in = platform_open_text_file(target);
    std::FILE* out = std::fopen(temp, "w");
    if (out == nullptr) {
        if (in != nullptr) std::fclose(in);
        return;
    }
    SettingsCopy copy;
    bool ok = true;
    if (in != nullptr) {
        copy_settings(in, out, &copy);
        ok = std::ferror(in) == 0;
        std::fclose(in);
    }
    if (!copy.at_line_start) std::fputc('\n', out);
    if (!copy.com_written) ok = write_stored(out, STORED_COM, "\n") && ok;
    if (!copy.baud_written) ok = write_stored(out, STORED_BAUD, "\n") && ok;
    ok = std::fflush(out) == 0 && !std::ferror(out) && ok;
    ok = std::fclose(out) == 0 && ok;
    if (!ok || !platform_replace_file(temp, target)) std::remove(temp);
}

// A value the port cannot be set to is refused before anything is stored or
// sent; a broken value in the settings file is named as coming from there, so
// that a /BAUD= on the command line can be seen to mend it.
void check_baud() {
    if (settings.baud > 0) return;
    static char message[96];
    std::snprintf(message, sizeof message,
                  "\nInvalid baud rate: %s (give a decimal number such as 115200)!", bad_baud);
    if (!bad_baud_from_file) fail(message);
    std::puts(message);
    ui_report_after("BAUD=%s is stored in %s; /BAUD=<rate> replaces it", bad_baud,
                    file_name(".cfg").text);
    fail_shown(message);
}

// The stdout message names the port as the user did; stderr adds the device
// that was tried and the OS's reason.
void open_port() {
    static char port_message[sizeof settings.com_path + 32];
    if (settings.com_path[0] != '\0') {
        if (port_open_path(settings.com_path, settings.baud)) return;
        std::snprintf(port_message, sizeof port_message, "\nCan not open port %s!",
                      settings.com_path);
    } else {
        if (port_open(settings.com_port, settings.baud)) return;
        std::snprintf(port_message, sizeof port_message, "\nCan not open port COM%d!",
                      settings.com_port);
    }
    std::puts(port_message);
    ui_report_after("%s: %s", port_failed_device(), port_failed_reason());
    // COM1 is a guess on a machine whose programmer sits on a USB adapter.
    if (!port_named && platform_slash_separates())
        ui_report_after("no port is stored yet: name the programmer's, e.g. /COM=/dev/ttyUSB0 "
                        "(kept in %s for later runs)", file_name(".cfg").text);
    fail_shown(port_message);
}

// The log is opened only after the port: a run that cannot reach the
// programmer leaves no log behind.
void open_log() {
    if (!link_state.log_on) return;
    FileName name = file_name(".log");
    if (settings.log_path[0] != '\0') {
        link_state.log_file = std::fopen(settings.log_path, "w");
    } else {
        link_state.log_file = files_prepare_dir() ? std::fopen(name.text, "w") : nullptr;
    }
    if (link_state.log_file == nullptr) link_state.log_on = false;
}

// Saving to the file that is to be uploaded would replace it with the chip's
// contents before it is read: refused before the port is opened.
void check_save_path(const char* hexfile) {
    if (settings.save_path[0] == '\0' || hexfile == nullptr) return;
    if (platform_same_file(settings.save_path, hexfile))
        fail("\nSave file and hex input file are the same file!");
}

}  // namespace

bool checksum_without_port(const char* hexfile) {
    return settings.checksum && settings.part[0] != '\0' && hexfile != nullptr;
}

// /JSON= on the command line takes effect before anything can be printed or
// fail, so that even a run that ends over its options leaves a record, and
// /JSON=- has all of the console text on standard error.
namespace {

// The record takes the settings it needs as they stand.
void prepare_record() {
    record_prepare(RecordSettings{settings.json_path, settings.history_path, settings.com_path,
                                  settings.com_port, settings.baud, settings.part});
}

void apply_record_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (platform_is_option_word(argv[i]) && matches(argv[i] + 1, "JSON="))
            apply_option(argv[i] + 1);
    }
    prepare_record();
}

}  // namespace

const char* load_options(int argc, char** argv, Settings* out) {
    apply_record_options(argc, argv);
    const char* unusable = files_locate(argc > 0 && argv[0] != nullptr ? argv[0] : "");
    if (unusable != nullptr) fail(unusable);
    if (argc <= 1) print_usage();
    for (int i = 1; i < argc; ++i) check_dash_argument(argv[i]);
    read_settings_file();
    const char* hexfile = nullptr;
    int stored = 0;
    for (int i = 1; i < argc; ++i) {
        if (platform_is_option_word(argv[i])) {
            if (gang_option(argv[i] + 1)) continue;
            stored += apply_option(argv[i] + 1);
        } else {
            hexfile = take_hex_argument(hexfile, argv[i]);
        }
    }
    // The record names the port, the rate and the part as given, also when a
    // check below refuses the run.
    prepare_record();
    check_save_path(hexfile);
    check_baud();
    serial_check_options(settings.verify != 0);
    check_hex_input(hexfile);
    bool no_port = checksum_without_port(hexfile);
    // Each port of a gang checks the names it is given for itself.
    if (!gang_requested() || no_port) check_output_files(hexfile);
    if (gang_requested() && !no_port)
        gang_run(argc, argv, GangJob{settings.log_path, settings.save_path, settings.json_path,
                                     settings.verify != 0});
    prepare_record();
    *out = settings;
    if (no_port) return hexfile;
    open_port();
    if (stored != 0 && !settings.no_store) rewrite_settings_file();
    open_log();
    *out = settings;
    return hexfile;
}
