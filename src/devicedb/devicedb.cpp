// Device database <base>.dat. Everything that differs between target parts
// comes from one line of this file, found by the device ID the target reports:
//   <name> <hardware ID> <mask> <erase row size> <flash size> [X:<number>]...
// The built-in part table is the base and the file is laid over it: the file's
// lines are read first, line by line, and the first matching line wins; then
// the built-in rows whose name no line of the file carries. When the file can
// be neither read nor created, the table alone serves, so a supported chip is
// always recognised.
#include "devicedb/devicedb.h"

#include <cerrno>
#include <cstring>

#include "devicedb/family.h"
#include "platform/platform.h"
#include "platform/files.h"
#include "ui/diagnose.h"

Part device;

namespace {

constexpr int NAME_CHARS = 20;
// Longest parameter number kept; the rest of a longer token is skipped.
constexpr int NUMBER_CHARS = 63;

const char* const HEADER_LINES[] = {
    "*",
    "* Line format:",
    ("* <device name> <hardware ID> <mask hardware ID> <erase blk size> <prog flash size> "
     "[optional parameters]"),
    "* (all above numbers: hexadecimal, size=words)",
    "* optional parameters (default val.), numbers: decimal or hexadecimal",
    "* A:<address>          (0) first calibration word in config memory (never written or erased)",
    "* B:<erasetime>        (5000) bulk erase time (microseconds)",
    "* D:<prgtime>          (5000) programming pulse width for EEPROM/Config Mem. (microseconds)",
    "* E:<EEPROM size>      (0) size of data EEPROM",
    "* G:<count>            (2; T:1 1) number of config words from 0x8007",
    "* K:<volts>            (0) lowest programming voltage of the part (1/10 Volts)",
    "* L:<count>            (erase blk size, or 1) write latches: words programmed at once",
    "* M:<mask>[,<mask>..]  (0x3FFF) implemented bits of each config word",
    "* N:<count>            (0) number of calibration words from A",
    "* O:<address>          (0) OSCCAL memory address (e.g.for PIC12F629: 0x3FF)",
    "* P:<prgtime>          (2500) programming pulse width for program flash (microseconds)",
    "* R:<erasetime>        (2500) row erase time (microseconds)",
    "* S:<bitmask>          (0) bits in Config word to save & restore (e.g. BG0,BG1)",
    "* T:<num>              (0) typecode for selecting special behaviour (the family: 1 PIC12F629,",
    "*                      2 PIC16F690, 3 PIC16F628A, 4 PIC16F84A, 5 PIC12F615, 6 PIC16F88, 7 PIC16F877A)",
    "* U:<volts>            (0) highest programming voltage of the part (1/10 Volts)",
    "* V:<volts>            (85) programming voltage (1/10 Volts)",
    "* W:<prgtime>          (D) programming pulse width for Config Mem. (microseconds)",
    "* Z:<mask>             (0x3FFF) bit clr mask for hardware zeros (config-wd.)",
};

// Characters of the database file, with one character of push-back. Every
// read stops at a line end: a line is read on its own and never borrows from
// the next one.
struct Source {
    std::FILE* file;
    int pushed;       // a character given back, or NO_CHAR
    const char* name; // the file, as reports name it
    int line_number;
    bool quiet;       // a second pass over lines already reported: say nothing
};

constexpr int NO_CHAR = -2;
constexpr int LINE_END = '\n';

int next_char(Source* s) {
    if (s->pushed != NO_CHAR) {
        int c = s->pushed;
        s->pushed = NO_CHAR;
        return c;
    }
    return std::fgetc(s->file);
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

// A list of numbers separated by commas ("M:0x3FFF,0x3703"), one a
// configuration word; a list shorter than the words leaves the rest as they are.
void apply_masks(const char* text) {
    char number[NUMBER_CHARS + 1];
    for (int i = 0; i < MAX_CONFIG_WORDS && *text != '\0'; ++i) {
        int n = 0;
        while (*text != '\0' && *text != ',' && n < NUMBER_CHARS) number[n++] = *text++;
        number[n] = '\0';
        while (*text != '\0' && *text != ',') ++text;
        if (*text == ',') ++text;
        if (n > 0) device.config_masks[i] = parse_number(number) & 0x3FFF;
    }
}

// Parameters a line leaves out that follow from others once the line is read.
enum : int { NOT_GIVEN = -1 };

void start_part();

bool apply_parameter(int letter, const char* text) {
    if (letter == 'M') {
        apply_masks(text);
        return true;
    }
    int value = parse_number(text);
    switch (letter) {
    case 'A': device.calibration_first = value; break;
    case 'B': device.bulk_erase_time = value; break;
    case 'D': device.data_time = value; break;
    case 'E':
        // A size of 0 is not "no EEPROM": it leaves an earlier E in force.
        if (value != 0) {
            device.eeprom_size = value;
            device.eeprom_base = ADDR_EEPROM;
        }
        break;
    case 'G': device.config_words = value; break;
    case 'K': device.vpp_min = value; break;
    case 'L': device.write_latches = value; break;
    case 'N': device.calibration_count = value; break;
    case 'O': device.osccal_address = value; break;
    case 'P': device.prog_time = value; break;
    case 'R': device.row_erase_time = value; break;
    case 'S': device.save_mask = value; break;
    case 'T': device.type_code = value; break;
    case 'U': device.vpp_max = value; break;
    case 'V': device.vpp = value; break;
    case 'W': device.config_time = value; break;
    case 'Z': device.zero_mask = value; break;
    default: return false;
    }
    return true;
}

// Parameters "X:<number>" up to the line end: the letter is the character just
// before the colon; the number is the next token on the line. A letter the
// format does not have is reported (its number is dropped) and reading goes on.
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
        if (!apply_parameter(letter, number) && !s->quiet) {
            if (letter > ' ' && letter < 0x7F) {
                ui_report("%s:%d: unknown parameter %c: in device line; ignored", s->name, s->line_number,
                          letter);
            } else {
                ui_report("%s:%d: unknown parameter in device line; ignored", s->name, s->line_number);
            }
        }
    }
}

// What the line left out, from what it gave: latches as the erase row,
// configuration words as the family has them, their time as the EEPROM's.
void complete_part() {
    if (device.write_latches == NOT_GIVEN) device.write_latches = part_default_latches(device.row_size);
    if (device.config_words == NOT_GIVEN) device.config_words = family_of(device.type_code).config_words;
    if (device.config_time == NOT_GIVEN) device.config_time = device.data_time;
    // Only the words the part has have a mask, as in the table.
    for (int i = device.config_words < 0 ? 0 : device.config_words; i < MAX_CONFIG_WORDS; ++i)
        device.config_masks[i] = 0;
}

// Reports a device line without its five fields once, by its line number, and
// goes on with the next line.
void report_malformed(const Source* s) {
    if (s->quiet) return;
    ui_report("%s:%d: device line needs <name> <ID> <mask> <row size> <flash size>; skipped",
              s->name, s->line_number);
}

// The next device line's five fields; its parameters are left unread. Lines
// that are no device lines are passed over, malformed ones reported. Returns 0
// at the end of the file.
int next_device_line(Source* s, DeviceLine* line) {
    for (;;) {
        ++s->line_number;
        int c = skip_blanks(s);
        if (c == EOF) return 0;
        if (c == LINE_END) continue;
        if (c != 'P') {
            skip_line(s);
            continue;
        }
        give_back(s, c);
        *line = DeviceLine{};
        if (read_fixed_fields(s, line)) return 1;
        report_malformed(s);
        skip_line(s);
    }
}

// The part a device line describes, its parameters read, into `device`.
void take_line(Source* s, const DeviceLine& line) {
    start_part();
    std::memcpy(device.name, line.name, sizeof line.name);
    device.device_id = static_cast<int>(line.hardware_id & 0x3FFF);
    device.id_mask = static_cast<int>(line.mask & 0x3FFF);
    device.row_size = static_cast<int>(line.row_size);
    device.flash_size = static_cast<int>(line.flash_size);
    read_parameters(s);
    complete_part();
}

// Line by line until the first device line that matches; the rest is unread.
int scan(Source* s, unsigned device_id) {
    DeviceLine line{};
    while (next_device_line(s, &line)) {
        if (((device_id ^ line.hardware_id) & line.mask) == 0) {
            take_line(s, line);
            return 1;
        }
        skip_line(s);
    }
    return 0;
}

// Which built-in parts a line of the user's file replaces: those whose name
// it carries. Marks them in `replaced` (one flag a table row) and returns how
// many built-in parts the file lacks.
int mark_replaced(Source* s, bool* replaced) {
    for (int i = 0; i < PART_COUNT; ++i) replaced[i] = false;
    DeviceLine line{};
    while (next_device_line(s, &line)) {
        const Part* p = part_find_name(line.name);
        if (p != nullptr) replaced[p - PART_TABLE] = true;
        skip_line(s);
    }
    int lacking = 0;
    for (int i = 0; i < PART_COUNT; ++i) lacking += replaced[i] ? 0 : 1;
    return lacking;
}

// Appends to a line being formatted; the line is cut, never overrun.
struct Line {
    char* out;
    int size;
    int used;
};

template <typename... Args>
void put(Line& l, const char* format, Args... args) {
    if (l.used >= l.size - 1) return;
    int n = std::snprintf(l.out + l.used, static_cast<size_t>(l.size - l.used), format, args...);
    if (n < 0) return;
    l.used = n < l.size - l.used ? l.used + n : l.size - 1;
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
    device_db_write_default(out);
    std::fclose(out);
    std::printf("\nNew file (%s.dat) written\n", program_stem);
    f = platform_open_text_file(path);
    if (f == nullptr)
        ui_report("cannot read %s: %s; using the built-in device list", path, failure_reason(errno));
    return f;
}

// The defaults of a line, with the parameters that follow from others not yet given.
void start_part() {
    device = Part{};
    device.flash_size = 0x8000;
    device.row_size = 16;
    device.write_latches = NOT_GIVEN;
    device.config_words = NOT_GIVEN;
    for (int& mask : device.config_masks) mask = 0x3FFF;
    device.bulk_erase_time = PART_DEFAULT_BULK_ERASE_TIME;
    device.data_time = PART_DEFAULT_DATA_TIME;
    device.config_time = NOT_GIVEN;
    device.prog_time = PART_DEFAULT_PROG_TIME;
    device.row_erase_time = PART_DEFAULT_ROW_ERASE_TIME;
    device.vpp = PART_DEFAULT_VPP;
    device.zero_mask = 0x3FFF;
}

// The first built-in row whose ID matches and that no line of the user's file
// replaces (`replaced` flags them; nullptr: none does).
int builtin_find(unsigned device_id, const bool* replaced) {
    start_part();
    complete_part();
    for (int i = 0; i < PART_COUNT; ++i) {
        const Part& p = PART_TABLE[i];
        if (replaced != nullptr && replaced[i]) continue;
        if (!part_matches_id(p, device_id)) continue;
        device = p;
        if (device.eeprom_size != 0) device.eeprom_base = ADDR_EEPROM;
        return 1;
    }
    return 0;
}

// Flags, one a built-in row, of the rows a line of the user's file replaces.
bool replaced_rows[PART_TABLE_MAX];

// The user's file read once more for the names its lines carry, without a
// word about malformed lines (the look-up has told them). Returns how many
// built-in parts it lacks.
int mark_file(std::FILE* f, const char* name) {
    std::rewind(f);
    Source source{f, NO_CHAR, name, 0, true};
    return mark_replaced(&source, replaced_rows);
}

}  // namespace

void device_db_set_defaults() {
    start_part();
    complete_part();
}

int device_db_scan(std::FILE* file, unsigned device_id, const char* name) {
    Source source{file, NO_CHAR, name != nullptr ? name : "picup.dat", 0, false};
    start_part();
    int found = scan(&source, device_id);
    complete_part();
    return found;
}

int device_db_scan_builtin(unsigned device_id) { return builtin_find(device_id, nullptr); }

namespace {

struct Named {
    const char* name;
    bool found;
    Part part;
};

// The first part of the name in look-up order: the user's line before the
// built-in part it replaces.
void take_named(const Part& part, void* context) {
    Named* n = static_cast<Named*>(context);
    if (n->found || platform_stricmp(part.name, n->name) != 0) return;
    n->part = part;
    n->found = true;
}

}  // namespace

int device_db_select_name(const char* name) {
    Named n{name, false, Part{}};
    device_db_each(take_named, &n);
    if (!n.found) return 0;
    device = n.part;
    return 1;
}

// A parameter is written only where it differs from what a line without it
// gives, so the line reads back as the same row.
int device_db_format_line(const Part& p, char* out, int size) {
    if (size <= 0) return 0;
    out[0] = '\0';
    Line l{out, size, 0};
    put(l, "%s 0x%04X 0x%04X 0x%04X 0x%04X", p.name, static_cast<unsigned>(p.device_id),
        static_cast<unsigned>(p.id_mask), static_cast<unsigned>(p.row_size),
        static_cast<unsigned>(p.flash_size));
    const ChipFamily& family = family_of(p.type_code);
    if (p.eeprom_size != 0) put(l, " E:%d", p.eeprom_size);
    if (p.type_code != 0) put(l, " T:%d", p.type_code);
    if (p.write_latches != part_default_latches(p.row_size)) put(l, " L:%d", p.write_latches);
    if (p.config_words != family.config_words) put(l, " G:%d", p.config_words);
    bool masks = false;
    for (int i = 0; i < p.config_words && i < MAX_CONFIG_WORDS; ++i) masks |= p.config_masks[i] != 0x3FFF;
    if (masks) {
        for (int i = 0; i < p.config_words && i < MAX_CONFIG_WORDS; ++i)
            put(l, i == 0 ? " M:0x%04X" : ",0x%04X", static_cast<unsigned>(p.config_masks[i]));
    }
    if (p.calibration_count != 0) put(l, " A:0x%04X N:%d", static_cast<unsigned>(p.calibration_first), p.calibration_count);
    if (p.vpp != PART_DEFAULT_VPP) put(l, " V:%d", p.vpp);
    if (p.vpp_min != 0) put(l, " K:%d", p.vpp_min);
    if (p.vpp_max != 0) put(l, " U:%d", p.vpp_max);
    if (p.prog_time != PART_DEFAULT_PROG_TIME) put(l, " P:%d", p.prog_time);
    if (p.data_time != PART_DEFAULT_DATA_TIME) put(l, " D:%d", p.data_time);
    if (p.config_time != p.data_time) put(l, " W:%d", p.config_time);
    if (p.row_erase_time != PART_DEFAULT_ROW_ERASE_TIME) put(l, " R:%d", p.row_erase_time);
    if (p.bulk_erase_time != PART_DEFAULT_BULK_ERASE_TIME) put(l, " B:%d", p.bulk_erase_time);
    if (p.osccal_address != 0) put(l, " O:0x%X", static_cast<unsigned>(p.osccal_address));
    if (p.save_mask != 0) put(l, " S:0x%04X", static_cast<unsigned>(p.save_mask));
    if (p.zero_mask != 0x3FFF) put(l, " Z:0x%04X", static_cast<unsigned>(p.zero_mask));
    return l.used;
}

void device_db_write_default(std::FILE* f) {
    std::fprintf(f, "* PIC data base for %s.exe\n", program_stem);
    for (const char* line : HEADER_LINES) {
        std::fputs(line, f);
        std::fputc('\n', f);
    }
    char line[160];
    for (int i = 0; i < PART_COUNT; ++i) {
        device_db_format_line(PART_TABLE[i], line, sizeof line);
        std::fputs(line, f);
        std::fputc('\n', f);
    }
}

// The built-in table is the base and the user's file is laid over it: a line
// adds a part, or replaces the built-in part of the same name, whatever ID it
// gives (a line that moves a part to another ID takes the part off its old
// one). The user's lines are looked at first, the first match by ID winning as
// ever, then the built-in rows they leave. So a file an older picup wrote,
// with a dozen parts, still finds every part built in since, and says so.
void device_db_load(unsigned device_id) {
    device_db_set_defaults();
    device.name[0] = '\0';
    FileName path = file_name(".dat");
    std::FILE* f = open_database(path.text);
    if (f == nullptr) {
        builtin_find(device_id, nullptr);
        return;
    }
    int found = device_db_scan(f, device_id, path.text);
    int lacking = mark_file(f, path.text);  // reads names only; `device` stays
    std::fclose(f);
    if (!found) builtin_find(device_id, replaced_rows);
    if (lacking > 0) {
        ui_report("%s holds %d of the %d built-in parts; the others are taken from the built-in list "
                  "(rename or delete the file and the next run writes it with every part)",
                  path.text, PART_COUNT - lacking, PART_COUNT);
    }
}

int device_db_each(void (*visit)(const Part& part, void* context), void* context) {
    Part kept = device;
    FileName path = file_name(".dat");
    std::FILE* f = platform_open_text_file(path.text);
    int count = 0;
    for (int i = 0; i < PART_COUNT; ++i) replaced_rows[i] = false;
    if (f != nullptr) {
        mark_file(f, path.text);
        std::rewind(f);
        Source source{f, NO_CHAR, path.text, 0, true};
        DeviceLine line{};
        while (next_device_line(&source, &line)) {
            take_line(&source, line);
            Part part = device;
            visit(part, context);
            ++count;
        }
        std::fclose(f);
    }
    for (int i = 0; i < PART_COUNT; ++i) {
        if (replaced_rows[i]) continue;
        Part part = PART_TABLE[i];
        if (part.eeprom_size != 0) part.eeprom_base = ADDR_EEPROM;
        visit(part, context);
        ++count;
    }
    device = kept;
    return count;
}

namespace {

int upper_case(int c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

constexpr int MAX_COMPARED = 32;  // names are at most 20 characters
constexpr int MAX_NEAREST = 4;

// Letters to add, drop or change to turn `a` into `b`, without regard to case.
int edit_distance(const char* a, const char* b) {
    int n = static_cast<int>(std::strlen(b));
    if (n > MAX_COMPARED) n = MAX_COMPARED;
    int row[MAX_COMPARED + 1];
    for (int j = 0; j <= n; ++j) row[j] = j;
    for (int i = 0; a[i] != '\0' && i < MAX_COMPARED; ++i) {
        int diagonal = row[0];
        row[0] = i + 1;
        for (int j = 1; j <= n; ++j) {
            int above = row[j];
            int change = diagonal + (upper_case(static_cast<unsigned char>(a[i])) ==
                                             upper_case(static_cast<unsigned char>(b[j - 1]))
                                         ? 0
                                         : 1);
            int best = change;
            if (above + 1 < best) best = above + 1;
            if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
            row[j] = best;
            diagonal = above;
        }
    }
    return row[n];
}

const char* without_pic(const char* name) {
    bool pic = upper_case(name[0]) == 'P' && upper_case(name[1]) == 'I' && upper_case(name[2]) == 'C';
    return pic ? name + 3 : name;
}

struct Nearest {
    const char* wanted;
    bool known;
    int distance;
    int count;
    char names[MAX_NEAREST][PART_NAME_CHARS + 1];
};

void consider(const Part& part, void* context) {
    Nearest* n = static_cast<Nearest*>(context);
    int d = edit_distance(n->wanted, part.name);
    if (d == 0) n->known = true;
    int bare = edit_distance(without_pic(n->wanted), without_pic(part.name));
    if (bare < d) d = bare;
    if (d > n->distance) return;
    if (d < n->distance) {
        n->distance = d;
        n->count = 0;
    }
    for (int i = 0; i < n->count; ++i) {
        if (edit_distance(n->names[i], part.name) == 0) return;  // a name the user's file repeats
    }
    if (n->count == MAX_NEAREST) return;
    std::snprintf(n->names[n->count], sizeof n->names[0], "%s", part.name);
    ++n->count;
}

Nearest nearest_to(const char* name) {
    Nearest n{};
    n.wanted = name;
    n.distance = MAX_COMPARED * 2;
    device_db_each(consider, &n);
    return n;
}

}  // namespace

bool device_db_knows(const char* name) { return nearest_to(name).known; }

int device_db_nearest(const char* name, char* out, int size) {
    Nearest n = nearest_to(name);
    if (size <= 0) return n.count;
    out[0] = '\0';
    Line l{out, size, 0};
    for (int i = 0; i < n.count; ++i) {
        const char* joint = i == 0 ? "" : (i == n.count - 1 ? " or " : ", ");
        put(l, "%s%s", joint, n.names[i]);
    }
    return n.count;
}
