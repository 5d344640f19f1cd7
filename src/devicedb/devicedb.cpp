// Device database <base>.dat. Everything that differs between target parts
// comes from one line of this file, found by the device ID the target reports:
//   <name> <hardware ID> <mask> <erase row size> <flash size> [X:<number>]...
// The file is read line by line and the first matching line wins. When the
// file can be neither read nor created, the same lines built into the program
// are scanned instead, so a supported chip is always recognised.
#include "devicedb/devicedb.h"

#include <cerrno>
#include <cstring>

#include "devicedb/family.h"
#include "platform/platform.h"
#include "platform/files.h"
#include "ui/diagnose.h"

DeviceRecord device;

namespace {

constexpr int NAME_CHARS = 20;
// Longest parameter number kept; the rest of a longer token is skipped.
constexpr int NUMBER_CHARS = 63;

const char* const DEFAULT_LINES[] = {
    "*",
    "* Line format:",
    ("* <device name> <hardware ID> <mask hardware ID> <erase blk size> <prog flash size> "
     "[optional parameters]"),
    "* (all above numbers: hexadecimal, size=words)",
    "* optional parameters (default val.), numbers: decimal or hexadecimal",
    "* B:<erasetime>        (5000) bulk erase time (microseconds)",
    "* D:<prgtime>          (5000) programming pulse width for EEPROM/Config Mem. (microseconds)",
    "* E:<EEPROM size>      (0) size of data EEPROM",
    "* O:<address>          (0) OSCCAL memory address (e.g.for PIC12F629: 0x3FF)",
    "* P:<prgtime>          (2500) programming pulse width for program flash (microseconds)",
    "* R:<erasetime>        (2500) row erase time (microseconds)",
    "* S:<bitmask>          (0) bits in Config word to save & restore (e.g. BG0,BG1)",
    "* T:<num>              (0) typecode for selecting special behaviour",
    "* V:<volts>            (85) programming voltage (1/10 Volts)",
    "* Z:<mask>             (0x3FFF) bit clr mask for hardware zeros (config-wd.)",
    "PIC12F1840 0x1B80 0x3FE0 0x0020 0x1000 E:256",
    "PIC12LF1840 0x1BC0 0x3FE0 0x0020 0x1000 E:256",
    "PIC16F1503 0x2CE0 0x3FE0 0x0010 0x0800",
    "PIC16LF1503 0x2DA0 0x3FE0 0x0010 0x0800",
    "PIC16F1705 0x3055 0x3FFF 0x0020 0x2000",
    "PIC16LF1705 0x3057 0x3FFF 0x0020 0x2000",
    "PIC16F1825 0x2760 0x3FE0 0x0020 0x2000 E:256",
    "PIC16LF1825 0x2860 0x3FE0 0x0020 0x2000 E:256",
    "PIC12F629 0x0F80 0x3FE0 0x0000 0x400 E:128  T:1 V:95 D:6000 B:8000 O:0x3FF S:0x3000 Z:0x31FF",
    "PIC12F675 0x0FC0 0x3FE0 0x0000 0x400 E:128  T:1 V:95 D:6000 B:8000 O:0x3FF S:0x3000 Z:0x31FF",
    "PIC16F630 0x10C0 0x3FE0 0x0000 0x400 E:128  T:1 V:95 D:6000 B:8000 O:0x3FF S:0x3000 Z:0x31FF",
    "PIC16F676 0x10E0 0x3FE0 0x0000 0x400 E:128  T:1 V:95 D:6000 B:8000 O:0x3FF S:0x3000 Z:0x31FF",
};

// Characters of the database, from the file or from the built-in lines (each
// given a line end), with one character of push-back. Every read stops at a
// line end: a line is read on its own and never borrows from the next one.
struct Source {
    std::FILE* file;  // nullptr: the built-in lines
    int line;         // built-in: index of the line being read
    int column;
    int pushed;       // a character given back, or NO_CHAR
};

constexpr int NO_CHAR = -2;
constexpr int LINE_END = '\n';

int next_char(Source* s) {
    if (s->pushed != NO_CHAR) {
        int c = s->pushed;
        s->pushed = NO_CHAR;
        return c;
    }
    if (s->file != nullptr) return std::fgetc(s->file);
    constexpr int LINES = static_cast<int>(sizeof DEFAULT_LINES / sizeof DEFAULT_LINES[0]);
    if (s->line >= LINES) return EOF;
    char c = DEFAULT_LINES[s->line][s->column];
    if (c != '\0') {
        ++s->column;
        return static_cast<unsigned char>(c);
    }
    ++s->line;
    s->column = 0;
    return LINE_END;
}

void give_back(Source* s, int c) {
    if (c != EOF) s->pushed = c;
}

// The blanks of the C locale within a line: the line end is not one of them.
bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

bool ends_line(int c) { return c == EOF || c == LINE_END; }

int skip_blanks(Source* s) {
    int c = next_char(s);
    while (is_blank(c)) c = next_char(s);
    return c;
}

void skip_line(Source* s) {
    int c = next_char(s);
    while (!ends_line(c)) c = next_char(s);
}

// Reads a blank-delimited token of at most `max` characters into `out`; the
// character that ends it is given back. Returns its length, 0 when the line
// has no more tokens.
int read_token(Source* s, char* out, int max) {
    int c = skip_blanks(s);
    int n = 0;
    while (!ends_line(c) && !is_blank(c) && n < max) {
        out[n++] = static_cast<char>(c);
        c = next_char(s);
    }
    out[n] = '\0';
    give_back(s, c);
    return n;
}

// A hexadecimal field: optional sign, optional 0x, digits of either case.
// Values wrap in 32 bits. Returns 0 when no digit is there; the character
// that stopped the reading is given back.
int read_hex(Source* s, unsigned* value) {
    int c = skip_blanks(s);
    bool negative = c == '-';
    if (c == '-' || c == '+') c = next_char(s);
    bool any = false;
    if (c == '0') {
        any = true;
        c = next_char(s);
        if (c == 'x' || c == 'X') c = next_char(s);
    }
    unsigned v = 0;
    for (int d = platform_hex_digit(c); d >= 0; d = platform_hex_digit(c)) {
        v = v * 16u + static_cast<unsigned>(d);
        any = true;
        c = next_char(s);
    }
    give_back(s, c);
    *value = negative ? 0u - v : v;
    return any ? 1 : 0;
}

struct DeviceLine {
    char name[NAME_CHARS + 1];
    unsigned hardware_id, mask, row_size, flash_size;
};

// The five fixed fields of one line. Returns 1 when all five were read.
int read_fixed_fields(Source* s, DeviceLine* line) {
    if (read_token(s, line->name, NAME_CHARS) == 0) return 0;
    return read_hex(s, &line->hardware_id) && read_hex(s, &line->mask) &&
           read_hex(s, &line->row_size) && read_hex(s, &line->flash_size);
}

void apply_parameter(int letter, int value) {
    switch (letter) {
    case 'B': device.bulk_erase_time = value; break;
    case 'D': device.data_time = value; break;
    case 'E':
        // A size of 0 is not "no EEPROM": it leaves an earlier E in force.
        if (value != 0) {
            device.eeprom_size = value;
            device.eeprom_base = ADDR_EEPROM;
        }
        break;
    case 'O': device.osccal_address = value; break;
    case 'P': device.prog_time = value; break;
    case 'R': device.row_erase_time = value; break;
    case 'S': device.save_mask = value; break;
    case 'T': device.type_code = value; break;
    case 'V': device.vpp = value; break;
    case 'Z': device.zero_mask = value; break;
    default: break;  // unknown letters: the number is consumed and dropped
    }
}

// Parameters "X:<number>" up to the line end: the letter is the character just
// before the colon; the number is the next token on the line.
void read_parameters(Source* s) {
    int letter = 0;
    for (int c = next_char(s); !ends_line(c); c = next_char(s)) {
        if (c != ':') {
            letter = c;
            continue;
        }
        char number[NUMBER_CHARS + 1];
        if (read_token(s, number, NUMBER_CHARS) == 0) return;
        // A longer token is cut: its remaining characters are skipped.
        int d = next_char(s);
        while (!ends_line(d) && !is_blank(d)) d = next_char(s);
        give_back(s, d);
        apply_parameter(letter, parse_number(number));
    }
}

// Reports a device line without its five fields once, by its line number, and
// goes on with the next line.
void report_malformed(const char* name, int line_number) {
    ui_report("%s:%d: device line needs <name> <ID> <mask> <row size> <flash size>; skipped",
              name, line_number);
}

// Line by line until the first device line that matches; the rest is unread.
int scan(Source* s, unsigned device_id, const char* name) {
    for (int line_number = 1;; ++line_number) {
        int c = skip_blanks(s);
        if (c == EOF) return 0;
        if (c == LINE_END) continue;
        if (c != 'P') {
            skip_line(s);
            continue;
        }
        give_back(s, c);
        DeviceLine line{};
        if (!read_fixed_fields(s, &line)) {
            report_malformed(name, line_number);
            skip_line(s);
            continue;
        }
        if (((device_id ^ line.hardware_id) & line.mask) != 0) {
            skip_line(s);
            continue;
        }
        std::memcpy(device.name, line.name, sizeof line.name);
        device.row_size = static_cast<int>(line.row_size);
        device.flash_size = static_cast<int>(line.flash_size);
        read_parameters(s);
        return 1;
    }
}

void write_default_file(std::FILE* f) {
    std::fprintf(f, "* PIC data base for %s.exe\n", program_stem);
    for (const char* line : DEFAULT_LINES) {
        std::fputs(line, f);
        std::fputc('\n', f);
    }
}

// Creates the file only where nothing is: "wx" fails when the name exists.
// A runtime without exclusive creation rejects the mode (EINVAL); the caller
// has then already seen that the name does not exist.
std::FILE* create_exclusive(const char* path) {
    errno = 0;
    std::FILE* out = std::fopen(path, "wx");
    if (out == nullptr && errno == EINVAL) out = std::fopen(path, "w");
    return out;
}

// Why the file could not serve: the OS's reason, or that the name is taken by
// something that is not a file.
const char* failure_reason(int error) {
    return error == EISDIR ? "not a regular file" : std::strerror(error);
}

// Opens the database for reading, creating it with the default contents when
// it does not exist yet. A file that exists but cannot be read (no permission,
// a directory) is left alone, so a user's database is never overwritten. When
// neither works, one line on stderr says why; the caller then uses the
// built-in lines.
std::FILE* open_database(const char* path) {
    errno = 0;
    std::FILE* f = platform_open_text_file(path);
    if (f != nullptr) return f;
    int error = errno != 0 ? errno : ENOENT;
    if (error != ENOENT) {
        ui_report("cannot read %s: %s; using the built-in device list", path, failure_reason(error));
        return nullptr;
    }
    std::FILE* out = files_prepare_dir() ? create_exclusive(path) : nullptr;
    if (out == nullptr) {
        error = errno != 0 ? errno : ENOENT;
        ui_report("cannot create %s: %s; using the built-in device list", path, std::strerror(error));
        return nullptr;
    }
    write_default_file(out);
    std::fclose(out);
    std::printf("\nNew file (%s.dat) written\n", program_stem);
    f = platform_open_text_file(path);
    if (f == nullptr)
        ui_report("cannot read %s: %s; using the built-in device list", path, failure_reason(errno));
    return f;
}

}  // namespace

void device_db_set_defaults() {
    device.flash_size = 0x8000;
    device.row_size = 16;
    device.bulk_erase_time = 5000;
    device.data_time = 5000;
    device.eeprom_size = 0;
    device.prog_time = 2500;
    device.row_erase_time = 2500;
    device.vpp = 85;
    device.type_code = 0;
    device.osccal_address = 0;
    device.save_mask = 0;
    device.zero_mask = 0x3FFF;
}

int device_db_scan(std::FILE* file, unsigned device_id, const char* name) {
    Source source{file, 0, 0, NO_CHAR};
    return scan(&source, device_id, name != nullptr ? name : "picup.dat");
}

int device_db_scan_builtin(unsigned device_id) {
    Source source{nullptr, 0, 0, NO_CHAR};
    return scan(&source, device_id, "built-in device list");
}

void device_db_load(unsigned device_id) {
    device_db_set_defaults();
    device.name[0] = '\0';
    FileName path = file_name(".dat");
    std::FILE* f = open_database(path.text);
    if (f == nullptr) {
        device_db_scan_builtin(device_id);
        return;
    }
    device_db_scan(f, device_id, path.text);
    std::fclose(f);
}
