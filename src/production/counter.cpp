// The serial number counter file and the /SERIAL= option.
#include "production/counter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "devicedb/devicedb.h"
#include "image/image.h"
#include "protocol/protocol.h"
#include "ops/serialno.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "ui/diagnose.h"
#include "ui/fail.h"

namespace {

const char* const SYNTAX =
    "\n/SERIAL= takes <address>,<first>[,<step>[,<bytes>]], for example /SERIAL=0x8000,1!";
const char* const DAMAGED = "\nSerial number file is damaged (it holds one decimal number)!";
const char* const UNWRITABLE = "\nCan not update the serial number file!";
const char* const EXHAUSTED = "\nSerial number does not fit its place (counter ran out)!";

// The counter file, the temporary file that replaces it and the lock file the
// takers queue on. The lock cannot be on the counter file itself: a taker
// waiting on it would, once it has the lock, read the file that was replaced,
// not the new one.
struct CounterFiles {
    char counter[sizeof program_base_path + 1024];
    char temp[sizeof program_base_path + 1024 + 8];
    char lock[sizeof program_base_path + 24];
};

bool is_decimal(char c) { return c >= '0' && c <= '9'; }

bool at_end(const char* p) { return *p == '\0' || *p == '\r' || *p == '\n'; }

// One field in the usual number syntax (leading zeros skipped, then decimal
// when a digit 1-9 follows, else hexadecimal with an optional x), up to ',' or
// the end; `*more` tells whether a ',' followed. False when the field is
// empty, holds anything else or exceeds 32 bits.
bool read_field(const char** text, uint32_t* value, bool* more) {
    const char* p = *text;
    const char* end = p;
    while (!at_end(end) && *end != ',') ++end;
    if (end == p) return false;
    while (p < end && *p == '0') ++p;
    bool decimal = p < end && is_decimal(*p);
    if (!decimal && p < end && (*p == 'x' || *p == 'X') && ++p == end) return false;
    unsigned long long v = 0;
    for (; p < end; ++p) {
        int d = decimal ? (is_decimal(*p) ? *p - '0' : -1) : platform_hex_digit(*p);
        if (d < 0) return false;
        v = v * (decimal ? 10u : 16u) + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(v);
    *more = *end == ',';
    *text = *more ? end + 1 : end;
    return true;
}

// The counter holds the next number to hand out, as one decimal number.
// A missing file is a counter not yet started: 0.
// The whole file is the number and one line end: anything after it (a second
// line, another program's text) means the file is not what it seems.
bool read_counter(const char* path, unsigned long long* next, bool* exists) {
    *next = 0;
    *exists = false;
    std::FILE* file = platform_open_text_file(path);
    if (file == nullptr) return errno == ENOENT;
    *exists = true;
    char text[32] = "";
    std::size_t n = std::fread(text, 1, sizeof text - 1, file);
    bool whole = std::ferror(file) == 0 && n < sizeof text - 1;
    std::fclose(file);
    text[n] = '\0';
    if (!whole || !is_decimal(text[0])) return false;
    char* end = nullptr;
    errno = 0;
    *next = std::strtoull(text, &end, 10);
    if (*end == '\r') ++end;
    if (*end == '\n') ++end;
    return errno == 0 && *end == '\0';
}

// Temporary file, on the disk, then in the counter's place: a crash leaves
// the old counter or the new one, never a cut-off one.
bool write_counter(const CounterFiles& f, unsigned long long next) {
    std::FILE* file = std::fopen(f.temp, "w");
    if (file == nullptr) return false;
    bool ok = std::fprintf(file, "%llu\n", next) > 0 && platform_commit_file(file);
    ok = std::fclose(file) == 0 && ok;
    ok = ok && platform_replace_file(f.temp, f.counter) && platform_sync_dir_of(f.counter);
    if (!ok) std::remove(f.temp);
    return ok;
}

// Under the lock: the number to hand out, and the counter moved past it.
const char* advance(const CounterFiles& f, uint32_t first, uint32_t step, uint32_t limit,
                    uint32_t* number) {
    unsigned long long next = 0;
    bool exists = false;
    if (!read_counter(f.counter, &next, &exists)) return DAMAGED;
    // A first number that is not the counter's next one is easily a new
    // series meant to start there: say which number the chip gets instead.
    if (exists && next > first) {
        ui_report("%s holds %llu as the next number, so the chip gets %llu, not the first "
                  "number %lu of /SERIAL=; to start a new series there, remove %s first",
                  f.counter, next, next, static_cast<unsigned long>(first), f.counter);
    } else if (exists && next < first) {
        ui_report("%s held %llu as the next number; the series goes on at the first number %lu "
                  "of /SERIAL=", f.counter, next, static_cast<unsigned long>(first));
    }
    if (next < first) next = first;
    if (next > limit) return EXHAUSTED;
    if (!write_counter(f, next + step)) return UNWRITABLE;
    *number = static_cast<uint32_t>(next);
    return nullptr;
}

}  // namespace

int counter_take(const char* path, uint32_t first, uint32_t step, uint32_t limit,
                 uint32_t* number, const char** failure) {
    CounterFiles f{};
    // Stations may share one counter through links (the counter and its lock
    // each a link to the shared files): the file the link names is replaced,
    // so the link stays and every station goes on counting in the same file.
    if (!platform_link_target(path, f.counter, sizeof f.counter))
        std::snprintf(f.counter, sizeof f.counter, "%s", path);
    std::snprintf(f.temp, sizeof f.temp, "%s.tmp", f.counter);
    std::snprintf(f.lock, sizeof f.lock, "%s.lock", path);
    PlatformLock lock{-1, nullptr};
    if (!platform_lock_file(f.lock, &lock)) {
        *failure = UNWRITABLE;
        return 0;
    }
    *failure = advance(f, first, step, limit, number);
    platform_unlock_file(&lock);
    return *failure == nullptr ? 1 : 0;
}

void serial_option(const char* parameter) {
    uint32_t fields[4] = {0, 0, 1, SERIAL_DEFAULT_BYTES};
    const char* p = parameter;
    int count = 0;
    bool more = true, ok = true;
    while (ok && more && count < 4) ok = read_field(&p, &fields[count++], &more);
    ok = ok && count >= 2 && !more && at_end(p) && fields[0] <= 0xFFFF && fields[2] != 0 &&
         fields[3] >= 1 && fields[3] <= 4 && serial_address_valid(static_cast<int>(fields[0]));
    if (!ok) fail(SYNTAX);
    SerialRequest& r = serial_request;
    r.on = true;
    r.address = static_cast<int>(fields[0]);
    r.first = fields[1];
    r.step = fields[2];
    r.bytes = static_cast<int>(fields[3]);
}

void serial_check_options(bool verify) {
    if (serial_request.on && verify)
        fail("\n/SERIAL= cannot be used with /VERIFY, which writes nothing!");
}

void serial_assign() {
    SerialRequest& r = serial_request;
    if (!r.on || (device.flash_size & 0x8000) != 0) return;
    const char* failure = serial_check_target();
    if (failure != nullptr) fail(failure);
    // In program flash the number is a table of RETLW words; over words the
    // HEX file (or a fill) holds it would replace the program, the reset vector
    // perhaps, and the chip would still verify "Ok!".
    if (r.address < ADDR_USER_ID && cells_hold_data(r.address, r.bytes))
        fail_report("/SERIAL=0x%04X would overwrite program words the HEX file holds at "
                    "0x%04X-0x%04X; give an address the program leaves free",
                    static_cast<unsigned>(r.address), static_cast<unsigned>(r.address),
                    static_cast<unsigned>(r.address + r.bytes - 1));
    FileName path = file_name(".serial");
    uint32_t number = 0;
    check_interrupt();
    if (!files_prepare_dir()) fail(UNWRITABLE);
    if (!counter_take(path.text, r.first, r.step, serial_limit(), &number, &failure)) {
        check_interrupt();
        fail(failure);
    }
    r.taken = true;
    r.number = number;
    serial_place(number);
    std::printf("\nSerial number %lu", static_cast<unsigned long>(number));
}
