// Device database <base>.dat. Everything that differs between target parts
// comes from one line of this file, found by the device ID the target reports:
//   <name> <hardware ID> <mask> <erase row size> <flash size> [X:<number>]...
// The file is read sequentially and the first matching line wins.
#include "devicedb/devicedb.h"

#include <cerrno>
#include <cstring>

#include "protocol/detect.h"
#include "protocol/protocol.h"
#include "platform/platform.h"
#include "run/options.h"

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

// The blanks of the C locale: a line end separates fields like a space.
bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int skip_blanks(std::FILE* f) {
    int c = std::fgetc(f);
    while (c != EOF && is_blank(c)) c = std::fgetc(f);
    return c;
}

void skip_line(std::FILE* f) {
    int c = std::fgetc(f);
    while (c != EOF && c != '\n') c = std::fgetc(f);
}

// Reads a blank-delimited token of at most `max` characters into `out`; the
// character that ends it is left in the stream. Returns its length, 0 at EOF.
int read_token(std::FILE* f, char* out, int max) {
    int c = skip_blanks(f);
    int n = 0;
    while (c != EOF && !is_blank(c) && n < max) {
        out[n++] = static_cast<char>(c);
        c = std::fgetc(f);
    }
    out[n] = '\0';
    if (c != EOF) std::ungetc(c, f);
    return n;
}

int hex_digit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A hexadecimal field: optional sign, optional 0x, digits of either case.
// Values wrap in 32 bits. Returns 0 when no digit is there; the character
// that stopped the reading is left in the stream.
int read_hex(std::FILE* f, unsigned* value) {
    int c = skip_blanks(f);
    bool negative = c == '-';
    if (c == '-' || c == '+') c = std::fgetc(f);
    bool any = false;
    if (c == '0') {
        any = true;
        c = std::fgetc(f);
        if (c == 'x' || c == 'X') c = std::fgetc(f);
    }
    unsigned v = 0;
    for (int d = hex_digit(c); d >= 0; d = hex_digit(c)) {
        v = v * 16u + static_cast<unsigned>(d);
        any = true;
        c = std::fgetc(f);
    }
    if (c != EOF) std::ungetc(c, f);
    *value = negative ? 0u - v : v;
    return any ? 1 : 0;
}

struct DeviceLine {
    char name[NAME_CHARS + 1];
    unsigned hardware_id, mask, row_size, flash_size;
};

// The five fixed fields; a line end counts as a blank between them, so a
// short line borrows from the next one. Returns 1 when all five were read.
int read_fixed_fields(std::FILE* f, DeviceLine* line) {
    if (read_token(f, line->name, NAME_CHARS) == 0) return 0;
    return read_hex(f, &line->hardware_id) && read_hex(f, &line->mask) &&
           read_hex(f, &line->row_size) && read_hex(f, &line->flash_size);
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
// before the colon; the number is the next token, wherever it starts.
void read_parameters(std::FILE* f) {
    int letter = 0;
    for (int c = std::fgetc(f); c != EOF && c != '\n'; c = std::fgetc(f)) {
        if (c != ':') {
            letter = c;
            continue;
        }
        char number[NUMBER_CHARS + 1];
        if (read_token(f, number, NUMBER_CHARS) == 0) return;
        // A longer token is cut: its remaining characters are skipped.
        for (int d = std::fgetc(f); d != EOF; d = std::fgetc(f)) {
            if (is_blank(d)) {
                std::ungetc(d, f);
                break;
            }
        }
        apply_parameter(letter, parse_number(number));
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

// Opens the database for reading, creating it with the default contents when
// it does not exist yet. A file that exists but cannot be read (no permission,
// a directory) is left alone, so a user's database is never overwritten.
std::FILE* open_database() {
    char path[sizeof program_base_path + 8];
    std::snprintf(path, sizeof path, "%s.dat", program_base_path);
    errno = 0;
    std::FILE* f = platform_open_text_file(path);
    if (f != nullptr) return f;
    if (errno != ENOENT && errno != 0) return nullptr;
    std::FILE* out = create_exclusive(path);
    if (out == nullptr) return nullptr;
    write_default_file(out);
    std::fclose(out);
    std::printf("\nNew file (%s.dat) written\n", program_stem);
    return platform_open_text_file(path);
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

int device_db_scan(std::FILE* file, unsigned device_id) {
    for (int c = skip_blanks(file); c != EOF; c = skip_blanks(file)) {
        if (c != 'P') {
            skip_line(file);
            continue;
        }
        std::ungetc(c, file);
        DeviceLine line{};
        if (!read_fixed_fields(file, &line) || ((device_id ^ line.hardware_id) & line.mask) != 0) {
            skip_line(file);
            continue;
        }
        std::memcpy(target_info.device_name, line.name, sizeof line.name);
        device.row_size = static_cast<int>(line.row_size);
        device.flash_size = static_cast<int>(line.flash_size);
        read_parameters(file);
        return 1;
    }
    return 0;
}

void device_db_load() {
    device_db_set_defaults();
    std::FILE* f = open_database();
    if (f == nullptr) return;
    device_db_scan(f, target_info.device_id);
    std::fclose(f);
}
