#include "ops/save.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "ops/result.h"
#include "ops/checksum.h"
#include "platform/platform.h"
#include "protocol/prog.h"
#include "protocol/protocol.h"
#include "ui/fail.h"
#include "ui/diagnose.h"
#include "ui/progress.h"

namespace {

enum : int {
    RECORD_BYTES = 16,
    WORDS_PER_RECORD = RECORD_BYTES / 2,
    // The longest block read that ends on a record boundary (248 words): the
    // records stay whole however the reads divide a region.
    BLOCK_WORDS = PROG_MAX_READ - PROG_MAX_READ % WORDS_PER_RECORD,
};

std::FILE* out_file = nullptr;
char target_path[256];
char temp_path[sizeof target_path + 8];
uint32_t upper_address;  // the extended linear address last written

// The program memory sums of the words read, kept for the checksums at the
// end of a run that then writes nothing: the plain one over every word, the
// device checksum's up to its last address.
FlashSums sums;

// Where a host word address lies in the file: where the family's assembler
// puts configuration space and data EEPROM (the PIC12F629 family at words
// 0x2000 and 0x2100, the newer parts at the host's 0x8000 and 0xF000). This
// is the inverse of the reader's address move.
uint32_t file_byte_address(int word_address) {
    const ChipFamily& family = device_family();
    uint32_t w = static_cast<uint32_t>(word_address);
    if (w >= ADDR_EEPROM) {
        w = w - ADDR_EEPROM + static_cast<uint32_t>(family.file_eeprom_word);
    } else if (w >= ADDR_USER_ID) {
        w = w - ADDR_USER_ID + static_cast<uint32_t>(family.file_config_word);
    }
    return w * 2;
}

void write_record(int type, uint32_t address, const uint8_t* data, int count) {
    unsigned sum = static_cast<unsigned>(count) + ((address >> 8) & 0xFF) + (address & 0xFF) +
                   static_cast<unsigned>(type);
    std::fprintf(out_file, ":%02X%04X%02X", count, address & 0xFFFF, type);
    for (int i = 0; i < count; ++i) {
        std::fprintf(out_file, "%02X", data[i]);
        sum += data[i];
    }
    std::fprintf(out_file, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
}

// One data record of `count` words starting at host address `first`; left out
// when every word reads as erased, unless `keep_erased`.
void write_words(int first, const uint16_t* words, int count, bool eeprom, bool keep_erased) {
    bool erased = !keep_erased;
    uint8_t data[RECORD_BYTES];
    for (int i = 0; i < count; ++i) {
        uint16_t w = eeprom ? static_cast<uint16_t>(words[i] & 0xFF) : words[i];
        if (w != (eeprom ? 0xFF : 0x3FFF)) erased = false;
        data[2 * i] = static_cast<uint8_t>(w & 0xFF);
        data[2 * i + 1] = static_cast<uint8_t>(w >> 8);
    }
    if (erased) return;
    uint32_t address = file_byte_address(first);
    if ((address >> 16) != upper_address) {
        upper_address = address >> 16;
        uint8_t ela[2] = {static_cast<uint8_t>(upper_address >> 8), static_cast<uint8_t>(upper_address)};
        write_record(4, 0, ela, 2);
    }
    write_record(0, address & 0xFFFF, data, 2 * count);
}

// Reads `count` cells from `first` in block reads and writes them in records
// of at most eight words that never cross an eight-word boundary of the file.
// Program memory words go into the sums; with `copy` the words read go there
// as well (`count` at most one block).
void save_region(int first, int count, bool eeprom, bool keep_erased, uint16_t* copy = nullptr) {
    uint16_t block[BLOCK_WORDS];
    for (int done = 0; done < count;) {
        int n = count - done < BLOCK_WORDS ? count - done : BLOCK_WORDS;
        prog_read_block(first + done, n, block);
        if (first < PROGRAM_SPACE_END) checksum_add_words(sums, first + done, block, n);
        for (int i = 0; copy != nullptr && done == 0 && i < n; ++i) copy[i] = block[i];
        for (int i = 0; i < n;) {
            int a = first + done + i;
            int room = WORDS_PER_RECORD - static_cast<int>((file_byte_address(a) / 2) % WORDS_PER_RECORD);
            int k = n - i < room ? n - i : room;
            write_words(a, block + i, k, eeprom, keep_erased);
            i += k;
        }
        done += n;
        ui_progress_step(n);
    }
}

}  // namespace

void save_target(const char* path) {
    if (device.flash_size & 0x8000) fail("\nPIC not found in data base - Reading disabled!");
    // A backup named through a link replaces the file the link points to, so
    // the link stays and every name for that file sees the new contents.
    if (!platform_link_target(path, target_path, sizeof target_path))
        std::snprintf(target_path, sizeof target_path, "%s", path);
    std::snprintf(temp_path, sizeof temp_path, "%s.tmp", target_path);
    out_file = std::fopen(temp_path, "w");
    if (out_file == nullptr) fail("\ncannot open hex output file!");
    ui_print("\nSaving target memory to %s...", path);
    upper_address = 0;
    ui_progress_begin("saving memory", device.flash_size + 4 + 2 + device.eeprom_size, "words");
    // Uploading the file must give the chip back as it is now. The configuration
    // words in it force a bulk erase, so on the standard parts flash the file
    // leaves out ends up erased; a PIC12F629-family upload instead fills the
    // cells a file leaves out from the chip, so there every word goes in. The
    // user IDs, configuration words and EEPROM bytes are always written in
    // full: the upload changes only the EEPROM bytes a file holds.
    sums = FlashSums{0, 0};
    save_region(0, device.flash_size, false, device_erases_only_in_bulk());
    uint16_t user_ids[USER_ID_WORDS];
    uint16_t config[MAX_CONFIG_WORDS];
    save_region(ADDR_USER_ID, USER_ID_WORDS, false, true, user_ids);
    save_region(ADDR_CONFIG1, config_end() - ADDR_CONFIG1, false, true, config);
    // Protection is known only now, from the words just saved; no further read.
    if (device_code_protected(config[0]))
        ui_report("target is code protected: its program memory reads as zeros in %s", path);
    if (device.eeprom_size > 0) save_region(ADDR_EEPROM, device.eeprom_size, true, true);
    ui_progress_end();
    write_record(1, 0, nullptr, 0);
    bool written = std::fflush(out_file) == 0 && !std::ferror(out_file);
    written = std::fclose(out_file) == 0 && written;
    out_file = nullptr;
    if (!written || !platform_replace_file(temp_path, target_path)) {
        std::remove(temp_path);
        fail("\ncannot write hex output file!");
    }
    checksum_note_sums(sums);
    result_note_user_ids(user_ids);
    result_note_config_words(config, config_end() - ADDR_CONFIG1);
}

void save_abandon() {
    if (out_file == nullptr) return;
    std::fclose(out_file);
    out_file = nullptr;
    std::remove(temp_path);
}
