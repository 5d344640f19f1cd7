#include "ops/result.h"

RunResult run_result;

void result_reset() {
    run_result = RunResult{};
    run_result.counts.preserved_osccal = -1;
    run_result.counts.preserved_config_bits = -1;
}

bool result_fail(const char* message) {
    if (run_result.failure == nullptr) run_result.failure = message;
    return false;
}

void result_note_mismatch(MemoryRegion region, int address, uint16_t chip, uint16_t expected) {
    ++run_result.mismatch_total;
    if (run_result.mismatch_count >= MAX_MISMATCHES) return;
    run_result.mismatches[run_result.mismatch_count++] = {region, address, chip, expected};
}

void result_note_config_words(const uint16_t* words, int count) {
    ChipKnowledge& k = run_result.known;
    for (int i = 0; i < MAX_CONFIG_WORDS; ++i)
        k.config[i] = static_cast<uint16_t>(i < count ? words[i] & 0x3FFF : 0x3FFF);
    k.config_known = true;
}

void result_note_user_ids(const uint16_t* words) {
    ChipKnowledge& k = run_result.known;
    for (int i = 0; i < CHIP_USER_ID_WORDS; ++i) k.user_ids[i] = static_cast<uint16_t>(words[i] & 0x3FFF);
    k.user_ids_known = true;
}

void result_note_bulk_erase() {
    const uint16_t erased[MAX_CONFIG_WORDS] = {0x3FFF, 0x3FFF, 0x3FFF, 0x3FFF};
    static_assert(static_cast<int>(MAX_CONFIG_WORDS) >= static_cast<int>(CHIP_USER_ID_WORDS));
    result_note_config_words(erased, MAX_CONFIG_WORDS);
    result_note_user_ids(erased);
    result_forget_flash_sums();
}

void result_note_flash_sums(long plain_sum, unsigned device_sum) {
    ChipKnowledge& k = run_result.known;
    k.flash_plain_sum = plain_sum;
    k.flash_device_sum = device_sum;
    k.flash_sums_known = true;
}

void result_forget_flash_sums() { run_result.known.flash_sums_known = false; }

const char* region_name(MemoryRegion region) {
    switch (region) {
    case MEM_FLASH: return "program flash";
    case MEM_EEPROM: return "data EEPROM";
    case MEM_USER_ID: return "user ID";
    case MEM_CONFIG: return "config word";
    }
    return "memory";
}
