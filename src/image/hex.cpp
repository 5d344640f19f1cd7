// Intel HEX reader. Records are ":" count, address (2 bytes), type, data,
// checksum, as hexadecimal byte pairs; the bytes of a record sum to 0 mod 256.
// The file addresses bytes, the chip 14-bit words: a word's low byte sits at
// the even byte address, bits 8..13 at the odd one.
#include "image/hex.h"


#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "platform/platform.h"
#include "image/image.h"
#include "ui/diagnose.h"

namespace {

enum : int {
    RECORD_DATA = 0x00,
    RECORD_END = 0x01,
    RECORD_SEGMENT = 0x02,        // extended segment address: base = value x 16
    RECORD_START_SEGMENT = 0x03,  // start address (CS:IP); nothing to load
    RECORD_LINEAR = 0x04,         // extended linear address: base = value x 0x10000
    RECORD_START_LINEAR = 0x05,   // start address (EIP); nothing to load
};

// Word addresses above this do not exist in the image.
constexpr uint64_t LAST_WORD = 0xFFFF;
// Configuration space: four user IDs, then words the chip only lets us read
// (reserved, revision, device ID), then configuration words 1 and 2.
constexpr uint64_t LAST_USER_ID = ADDR_USER_ID + USER_ID_WORDS - 1;
constexpr uint64_t LAST_READ_ONLY = ADDR_DEVICE_ID;
constexpr uint64_t EEPROM_START = ADDR_EEPROM;
constexpr uint64_t PROGRAM_END = PROGRAM_SPACE_END;

// Where a data byte goes on the connected chip.
enum Target : int {
    TARGET_CELL,       // a cell the write sequence programs (or a chip of unknown size)
    TARGET_READ_ONLY,  // reserved, revision, device ID: skipped
    TARGET_NO_EEPROM,  // beyond the chip's data EEPROM
    TARGET_NO_CONFIG,  // configuration space the chip does not have
};

std::FILE* hex_stream;
unsigned hex_checksum;
// Line of the next character to be read, and of the colon of the current record.
int hex_line;
int record_line;
HexFault fault;
int fault_line;
// What the load found: records of any kind, data bytes kept for the chip, and
// the first and last read-only word skipped (-1: none).
long records;
long data_bytes;
long skipped_first;
long skipped_last;
// The message the reader printed for the last load, nullptr when none.
const char* message;
char address_message[64];

void say(const char* text) {
    std::puts(text);
    message = text;
}

int next_char() {
    int c = std::fgetc(hex_stream);
    if (c == '\n') ++hex_line;
    return c;
}

// The first fault of a load is the one to report.
void note_fault(HexFault what, int line) {
    if (fault != HEX_FAULT_NONE) return;
    fault = what;
    fault_line = line;
}

// A character that ends a byte pair early: a line end cuts the record short
// (the line end itself still belongs to the record's line).
void note_bad_char(int c) {
    if (c == EOF) {
        note_fault(HEX_FAULT_END, record_line);
    } else if (c == '\n') {
        note_fault(HEX_FAULT_SHORT, hex_line - 1);
    } else {
        note_fault(c == '\r' ? HEX_FAULT_SHORT : HEX_FAULT_DIGIT, hex_line);
    }
}

// A family whose assembler puts configuration words and data EEPROM elsewhere
// (the PIC12F629 family: words 0x2000 and 0x2100) has its file's addresses
// moved onto the image's 0x8000 and 0xF000. Byte addresses.
uint64_t map_file_address(uint64_t a) {
    const ChipFamily& family = device_family();
    uint64_t config = 2 * static_cast<uint64_t>(family.file_config_word);
    uint64_t eeprom = 2 * static_cast<uint64_t>(family.file_eeprom_word);
    if (config == 2 * static_cast<uint64_t>(ADDR_USER_ID)) return a;
    if (a >= eeprom) return a - eeprom + 2 * static_cast<uint64_t>(ADDR_EEPROM);
    if (a >= config) return a - config + 2 * static_cast<uint64_t>(ADDR_USER_ID);
    return a;
}

// Program flash is checked against the flash size by the caller. A chip the
// database does not know has no known sizes; nothing is written to it anyway.
Target target_of(uint64_t w) {
    if (w < PROGRAM_END || (device.flash_size & 0x8000) != 0) return TARGET_CELL;
    if (w >= EEPROM_START) {
        uint64_t eeprom_size = static_cast<uint64_t>(device.eeprom_size < 0 ? 0 : device.eeprom_size);
        return w - EEPROM_START < eeprom_size ? TARGET_CELL : TARGET_NO_EEPROM;
    }
    if (w <= LAST_USER_ID) return TARGET_CELL;
    if (w <= LAST_READ_ONLY) return TARGET_READ_ONLY;
    uint64_t last_config = static_cast<uint64_t>(config_end()) - 1;
    return w <= last_config ? TARGET_CELL : TARGET_NO_CONFIG;
}

// Data no memory of the chip can hold is refused like data beyond the flash,
// naming the first word address (the host's map) that has no cell.
int refuse_address(Target where, uint64_t w) {
    std::snprintf(address_message, sizeof address_message,
                  where == TARGET_NO_EEPROM ? "\nData from hexfile at 0x%04X exceed EEPROM size!"
                                            : "\nData from hexfile at 0x%04X exceed config memory!",
                  static_cast<unsigned>(w));
    say(address_message);
    return -1;
}

void note_skipped(uint64_t w) {
    long word = static_cast<long>(w);
    if (skipped_first < 0) skipped_first = word;
    if (word > skipped_last) skipped_last = word;
}

void flag_region(uint64_t w, int flash_size) {
    if (w < static_cast<uint64_t>(flash_size) && w < PROGRAM_END) write_flags |= WF_PROGRAM;
    if (w >= EEPROM_START) write_flags |= WF_EEPROM;
    if (w >= ADDR_USER_ID && w <= LAST_USER_ID) write_flags |= WF_USER_ID;
    if (w >= ADDR_CONFIG1 && (w == ADDR_CONFIG2 || w < static_cast<uint64_t>(config_end()))) write_flags |= WF_CONFIG;
}

// A later byte for the same half of a word replaces the earlier one; the other
// half keeps what the cell held (empty, erased or filled).
void store_byte(uint16_t* cells, uint64_t a, int d) {
    uint16_t& cell = cells[a / 2];
    if (a % 2 == 0) {
        cell = static_cast<uint16_t>(d | (cell & 0x3F00));
    } else {
        cell = static_cast<uint16_t>(((d << 8) | (cell & 0x00FF)) & 0x3FFF);
    }
}

int load_data(uint64_t base, int count, uint16_t* cells, int flash_size) {
    for (int k = 0; k < count; ++k) {
        uint64_t a = base + static_cast<uint64_t>(k);
        uint64_t w = a / 2;
        if (w > LAST_WORD) {
            say("\nHexfile contains invalid address!");
            return -1;
        }
        int d = hex_read_byte();
        if (d < 0) return -1;
        if (w < PROGRAM_END && w >= static_cast<uint64_t>(flash_size < 0 ? 0 : flash_size)) {
            say("\nData from hexfile exceed flashsize!");
            return -1;
        }
        Target where = target_of(w);
        if (where == TARGET_NO_EEPROM || where == TARGET_NO_CONFIG) return refuse_address(where, w);
        if (where == TARGET_READ_ONLY) {
            note_skipped(w);
            continue;
        }
        flag_region(w, flash_size);
        store_byte(cells, a, d);
        ++data_bytes;
    }
    return 0;
}

// A load is only as good as its end: a file cut short (a download that broke
// off) lacks the end record, and one with nothing to write (plain text, an
// empty file, only an end record) must not pass for a successful upload.
int refuse_file(HexFault what) {
    say(what == HEX_FAULT_NO_END ? "\nHexfile has no end record - nothing written!"
                                       : "\nHexfile holds no data - nothing written!");
    note_fault(what, 0);
    return -1;
}

int check_complete(bool end_record) {
    if (data_bytes == 0) return refuse_file(records == 0 ? HEX_FAULT_NO_RECORD : HEX_FAULT_NO_DATA);
    if (!end_record) return refuse_file(HEX_FAULT_NO_END);
    return 0;
}

// Start address records name an entry point, which a PIC has no use for; their
// bytes still count towards the checksum.
int skip_data(int count) {
    for (int k = 0; k < count; ++k) {
        if (hex_read_byte() < 0) return -1;
    }
    return 0;
}

// The two bytes after the type field of an address record, high byte first.
int read_address_value() {
    int hi = hex_read_byte();
    if (hi < 0) return -1;
    int lo = hex_read_byte();
    if (lo < 0) return -1;
    return hi * 0x100 + lo;
}

// Returns 1 at the end of the file, 0 when a colon was found.
int scan_to_colon() {
    for (;;) {
        int c = next_char();
        if (c == EOF) return 1;
        if (c == ':') return 0;
    }
}

}  // namespace

int hex_read_byte() {
    int c = next_char();
    int hi = platform_hex_digit(c);
    if (hi < 0) {
        note_bad_char(c);
        return -1;
    }
    c = next_char();
    int lo = platform_hex_digit(c);
    if (lo < 0) {
        note_bad_char(c);
        return -1;
    }
    int byte = hi * 16 + lo;
    hex_checksum = (hex_checksum + static_cast<unsigned>(byte)) & 0xFF;
    return byte;
}

// Every byte address is held in 64 bits, so neither the base, the type-1 move
// nor the offset of a data byte can wrap round into a valid address.
int hex_load(std::FILE* stream, uint16_t* image_cells, int flash_size) {
    hex_stream = stream;
    hex_line = 1;
    fault = HEX_FAULT_NONE;
    fault_line = 0;
    records = 0;
    data_bytes = 0;
    skipped_first = -1;
    skipped_last = -1;
    message = nullptr;
    uint64_t base = 0;
    for (;;) {
        if (scan_to_colon() != 0) return check_complete(false);
        ++records;
        record_line = hex_line;
        hex_checksum = 0;
        int count = hex_read_byte();
        int addr_hi = hex_read_byte();
        int addr_lo = count < 0 || addr_hi < 0 ? -1 : hex_read_byte();
        int type = addr_lo < 0 ? -1 : hex_read_byte();
        if (type < 0) return -1;
        uint64_t a = map_file_address(base + static_cast<uint64_t>(addr_hi * 0x100 + addr_lo));
        int value = 0;
        switch (type) {
        case RECORD_DATA:
            if (load_data(a, count, image_cells, flash_size) < 0) return -1;
            break;
        case RECORD_END:
            break;
        case RECORD_LINEAR:
        case RECORD_SEGMENT:
            value = read_address_value();
            if (value < 0) return -1;
            base = static_cast<uint64_t>(value) << (type == RECORD_LINEAR ? 16 : 4);
            break;
        case RECORD_START_SEGMENT:
        case RECORD_START_LINEAR:
            if (skip_data(count) < 0) return -1;
            break;
        default:
            say("\nHexfile contains unknown record type!");
            return -1;
        }
        if (hex_read_byte() < 0) return -1;
        if (hex_checksum != 0) {
            note_fault(HEX_FAULT_CHECKSUM, record_line);
            return -1;
        }
        if (type == RECORD_END) return check_complete(true);
    }
}

HexFault hex_fault() { return fault; }

const char* hex_message() { return message; }

int hex_fault_line() { return fault_line; }

long hex_skipped_first() { return skipped_first; }

long hex_skipped_last() { return skipped_last; }

namespace {

const char* hex_fault_text(HexFault fault) {
    switch (fault) {
    case HEX_FAULT_DIGIT: return "invalid hex digit";
    case HEX_FAULT_SHORT: return "record ends before its checksum";
    case HEX_FAULT_END: return "file ends inside a record";
    case HEX_FAULT_CHECKSUM: return "checksum mismatch";
    case HEX_FAULT_NO_RECORD: return "no Intel HEX record in the file";
    case HEX_FAULT_NO_DATA: return "no data for the chip's memory";
    case HEX_FAULT_NO_END: return "no end-of-file record: the file is cut short";
    default: return nullptr;
    }
}

}  // namespace

void hex_report_fault(const char* file_name) {
    const char* what = hex_fault_text(hex_fault());
    if (what == nullptr) return;
    const char* name = file_name != nullptr ? file_name : "";
    if (hex_fault_line() > 0) {
        ui_report("%s:%d: %s", name, hex_fault_line(), what);
    } else {
        ui_report("%s: %s", name, what);
    }
}

void hex_report_skipped(const char* file_name) {
    long first = hex_skipped_first();
    if (first < 0) return;
    long last = hex_skipped_last();
    const char* name = file_name != nullptr ? file_name : "";
    char range[32];
    if (last != first) {
        std::snprintf(range, sizeof range, "0x%04lX-0x%04lX", first, last);
    } else {
        std::snprintf(range, sizeof range, "0x%04lX", first);
    }
    ui_report("%s: data for %s skipped: reserved, revision and device ID words are read-only", name,
              range);
}
