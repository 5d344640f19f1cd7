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

const char* region_name(MemoryRegion region) {
    switch (region) {
    case MEM_FLASH: return "program flash";
    case MEM_EEPROM: return "data EEPROM";
    case MEM_USER_ID: return "user ID";
    case MEM_CONFIG: return "config word";
    }
    return "memory";
}
