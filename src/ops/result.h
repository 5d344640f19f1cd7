// What a run did, stage by stage, as the operations report it: src/run turns
// it into the console's last word, the exit code and the run record. The
// operations never end the process over a wrong word on the chip; they note
// the failure here and return false.
#pragma once
#include <cstdint>

#include "devicedb/part.h"

enum MemoryRegion : int {
    MEM_FLASH,
    MEM_EEPROM,
    MEM_USER_ID,
    MEM_CONFIG,
};

// A cell whose read-back differs from what the run expected there.
struct Mismatch {
    MemoryRegion region;
    int address;
    uint16_t chip;
    uint16_t expected;
};

enum : int { MAX_MISMATCHES = 100 };

struct StageCounts {
    int rows_written;     // flash rows (word mode: words) programmed
    int rows_unchanged;   // rows /UPDATE found already right
    int rows_verified;    // rows or blocks read back and compared
    int eeprom_written;   // bytes
    int eeprom_unchanged;
    int eeprom_verified;
    bool bulk_erased;
    bool user_ids_written;
    bool config_written;
    uint16_t config_value[MAX_CONFIG_WORDS];     // configuration words as written
    uint16_t config_read_back[MAX_CONFIG_WORDS]; // and as read back
    int config_count;
    int preserved_osccal;         // word kept at O, -1 when none
    int preserved_config_bits;    // S bits kept in config word 1, -1 when none
    // Every program flash word of the chip is now the image's (an empty cell:
    // erased), as this run erased, wrote and verified, or read and compared
    // it; the checksum of the chip then needs no further reading.
    bool flash_matches_image;
};

enum : int { CHIP_USER_ID_WORDS = 4 };

// What the run knows the chip holds now beyond what `flash_matches_image`
// says, for the checksums at its end: the configuration words and user IDs it
// wrote and verified, erased or read, and the program memory sums of a read
// of the whole flash (/SAVE=), which hold until the run writes.
struct ChipKnowledge {
    bool config_known;
    uint16_t config[MAX_CONFIG_WORDS];
    bool user_ids_known;
    uint16_t user_ids[CHIP_USER_ID_WORDS];
    bool flash_sums_known;
    long flash_plain_sum;        // every flash word, modulo 0x10000
    unsigned flash_device_sum;   // the words the device checksum sums, 16 bits
};

struct RunResult {
    StageCounts counts;
    ChipKnowledge known;
    Mismatch mismatches[MAX_MISMATCHES];
    int mismatch_count;   // listed in `mismatches`, at most MAX_MISMATCHES
    long mismatch_total;  // found, listed or not
    const char* failure;  // console message of the failure, nullptr while none
};
extern RunResult run_result;

void result_reset();
// Notes the failure's console message; returns false for the caller to pass on.
bool result_fail(const char* message);
void result_note_mismatch(MemoryRegion region, int address, uint16_t chip, uint16_t expected);
const char* region_name(MemoryRegion region);
// The chip's configuration words (`count` of them, all it has) or its four
// user IDs, as the run has just written and verified or read them.
void result_note_config_words(const uint16_t* words, int count);
void result_note_user_ids(const uint16_t* words);
// A bulk erase of program memory: configuration words and user IDs erased,
// the flash no longer what an earlier read found.
void result_note_bulk_erase();
void result_note_flash_sums(long plain_sum, unsigned device_sum);
// The run is about to write the chip: what an earlier read of the flash found
// no longer holds.
void result_forget_flash_sums();
