// /UPDATE: the chip ends exactly as a full upload of the image would leave it,
// but only what differs is written. Configuration words can only be rewritten
// after a bulk erase, which takes the whole program with it: when they differ,
// or when most of the program differs anyway, the full upload is the update.
// Chips that program word by word and only bulk-erase (PIC12F629 family) are
// either left alone, when they already match, or uploaded in full.
#include <cstdio>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"
#include "ops/compare.h"
#include "ops/flash.h"
#include "ops/plan.h"
#include "ops/result.h"
#include "ops/verify.h"
#include "ops/write.h"
#include "protocol/prog.h"
#include "ui/progress.h"

namespace {

constexpr int BLOCK = 32;
constexpr int MAX_ROWS = PROGRAM_SPACE_END / 16;
// Rows read before the share of differing rows may call for a full upload.
constexpr int ROWS_BEFORE_GIVING_UP = 8;

// What the chip holds where the plan decides, read before anything else.
struct ChipWords {
    uint16_t user_id[USER_ID_WORDS];
    uint16_t config[MAX_CONFIG_WORDS];
};

// Rows found different, and what each must become.
bool row_differs[MAX_ROWS];

void read_chip_words(ChipWords& chip) {
    ui_stage("reading user ID and config words");
    prog_read_block(ADDR_USER_ID, USER_ID_WORDS, chip.user_id);
    for (uint16_t& word : chip.config) word = 0x3FFF;
    prog_read_block(ADDR_CONFIG1, device_config_words(), chip.config);
    result_note_user_ids(chip.user_id);
    result_note_config_words(chip.config, device_config_words());
}

// A word the image leaves empty ends a full upload as the chip's own word when
// the plan copies it from the chip first, erased when the word is written or
// bulk-erased, and untouched otherwise.
int expected_word(int address, uint16_t chip_word, bool copied, bool rewritten) {
    unsigned v = image[address];
    if (cell_holds_data(v)) return static_cast<int>(v);
    if (copied || !rewritten) return chip_word;
    return 0x3FFF;
}

int expected_config(const WritePlan& plan, int i, const ChipWords& chip) {
    return expected_word(ADDR_CONFIG1 + i, chip.config[i], plan.copy_from_chip, true);
}

int expected_user_id(const WritePlan& plan, int i, const ChipWords& chip) {
    return expected_word(ADDR_USER_ID + i, chip.user_id[i], plan.copy_from_chip || plan.copy_user_ids,
                         plan.write_user_ids || plan.erase_program);
}

bool config_differs(const WritePlan& plan, const ChipWords& chip) {
    if (!plan.write_config) return false;
    for (int i = 0; i < device_config_words(); ++i) {
        if (((expected_config(plan, i, chip) ^ chip.config[i]) & config_compare_mask(i)) != 0) return true;
    }
    return false;
}

bool user_ids_differ(const WritePlan& plan, const ChipWords& chip) {
    for (int i = 0; i < USER_ID_WORDS; ++i) {
        if (((expected_user_id(plan, i, chip) ^ chip.user_id[i]) & 0x3FFF) != 0) return true;
    }
    return false;
}

// After a bulk erase a row the image does not hold ends erased; without one
// (or when the chip is copied first) it keeps what it has and is not looked at.
bool row_is_candidate(const WritePlan& plan, int start, int n) {
    if (cells_hold_data(start, n)) return true;
    return plan.erase_program && !plan.copy_from_chip;
}

bool row_matches(int start, int n, const uint16_t* chip) {
    for (int k = 0; k < n; ++k) {
        unsigned want = cell_holds_data(image[start + k]) ? image[start + k] : 0x3FFF;
        if (((want ^ chip[k]) & 0x3FFF) != 0) return false;
    }
    return true;
}

struct RowTally {
    int candidates;
    int differing;
};

// Candidate rows from `start` on that one read can fetch: consecutive, as
// many whole rows as a read of 255 words holds.
int candidate_run(const WritePlan& plan, int start, int n) {
    int rows = 0;
    for (int a = start; a < plan_flash_size() && (rows + 1) * n <= PROG_MAX_READ; a += n) {
        if (!row_is_candidate(plan, a, n)) break;
        ++rows;
    }
    return rows;
}

// Reads every row that a full upload would change and marks those that differ.
// Returns false when so much differs that rewriting row by row would cost more
// than the full upload. Nothing is written until every row is read, so
// neighbouring rows come in one read.
bool compare_rows(const WritePlan& plan, RowTally& tally) {
    int n = flash_row_size();
    uint16_t buf[PROG_MAX_READ];
    int read_start = 0, read_end = 0;
    tally = {0, 0};
    ui_print("\nReading program flash...");
    ui_progress_begin("reading flash", plan_flash_size(), "words");
    for (int a = 0, r = 0; a < plan_flash_size() && r < MAX_ROWS; a += n, ++r) {
        row_differs[r] = false;
        ui_progress_step(n);
        if (!row_is_candidate(plan, a, n)) continue;
        if (a >= read_end) {
            read_start = a;
            read_end = a + candidate_run(plan, a, n) * n;
            prog_read_block(read_start, read_end - read_start, buf);
        }
        ++tally.candidates;
        if (row_matches(a, n, buf + (a - read_start))) continue;
        row_differs[r] = true;
        ++tally.differing;
        if (tally.candidates >= ROWS_BEFORE_GIVING_UP && 2 * tally.differing > tally.candidates) {
            ui_progress_end();
            return false;
        }
    }
    ui_progress_end();
    return true;
}

// A row that must end erased only needs its erase; any other is erased and
// programmed whole by the flash writer, and so is every row of a chip whose
// programming cycle erases first (it has no erase of its own).
void erase_row(int start, int n) {
    prog_set_address(start);
    prog_erase_row();
    ui_progress_step(n);
    ++run_result.counts.rows_written;
}

bool write_rows(const RowTally& tally) {
    int n = flash_row_size();
    ui_print("\nProgramming program flash...");
    ui_progress_begin("programming flash", static_cast<long>(tally.differing) * n, "words");
    for (int a = 0, r = 0; a < plan_flash_size() && r < MAX_ROWS; a += n, ++r) {
        if (!row_differs[r]) continue;
        if (cells_hold_data(a, n) || device_family().program_erases) {
            flash_write_row(a, n, true);
        } else {
            erase_row(a, n);
        }
    }
    ui_progress_end();
    ui_print("\nVerifying program flash...");
    ui_progress_begin("verifying flash", static_cast<long>(tally.differing) * n, "words");
    long found = 0;
    for (int a = 0, r = 0; a < plan_flash_size() && r < MAX_ROWS; a += n, ++r) {
        if (!row_differs[r]) continue;
        VerifySpan span{MEM_FLASH, a, n, n, 0x3FFF, false, true, false, true, -1};
        found += verify_span(span).mismatches;
        ++run_result.counts.rows_verified;
        if (found > 0) break;
    }
    ui_progress_end();
    return found == 0 || result_fail("\nVerify Error!");
}

// Data EEPROM: only the bytes that differ are written, each in its own
// erase-and-write cycle, then read back.
bool update_eeprom() {
    int size = plan_eeprom_size();
    if (!cells_hold_data(ADDR_EEPROM, size)) return true;
    static uint16_t chip[0x1000];
    ui_print("\nReading Data EEPROM...");
    ui_progress_begin("reading data EEPROM", size, "bytes");
    for (int b = 0; b < size; b += BLOCK) {
        int n = size - b < BLOCK ? size - b : BLOCK;
        if (cells_hold_data(ADDR_EEPROM + b, n)) prog_read_block(ADDR_EEPROM + b, n, chip + b);
        ui_progress_step(n);
    }
    ui_progress_end();
    int differing = 0, holding = 0;
    for (int i = 0; i < size; ++i) {
        unsigned v = image[ADDR_EEPROM + i];
        if (!cell_holds_data(v)) continue;
        ++holding;
        if (((v ^ chip[i]) & 0xFF) != 0) ++differing;
    }
    run_result.counts.eeprom_unchanged = holding - differing;
    if (differing > 0) {
        ui_print("\nProgramming Data EEPROM...");
        ui_progress_begin("programming data EEPROM", differing, "bytes");
        for (int i = 0; i < size; ++i) {
            unsigned v = image[ADDR_EEPROM + i];
            if (!cell_holds_data(v) || ((v ^ chip[i]) & 0xFF) == 0) continue;
            prog_set_address(ADDR_EEPROM + i);
            prog_load_data_byte(static_cast<int>(v & 0xFF));
            prog_program_data_cycle();
            ++run_result.counts.eeprom_written;
            ui_progress_step(1);
        }
        ui_progress_end();
        ui_print("\nVerifying Data EEPROM...");
        VerifySpan span{MEM_EEPROM, ADDR_EEPROM, size, BLOCK, 0xFF, true, false, false, true, -1};
        if (verify_span(span).mismatches > 0) return result_fail("\nVerify Error!");
        run_result.counts.eeprom_verified = run_result.counts.eeprom_written;
    }
    ui_print("\nData EEPROM: %d of %d bytes written, %d unchanged", differing, holding,
                holding - differing);
    return true;
}

// The user ID row is erased and all four words written, as a write without a
// bulk erase does it; a word the image leaves empty keeps what a full upload
// would give it.
bool rewrite_user_ids(const WritePlan& plan, const ChipWords& chip) {
    for (int i = 0; i < USER_ID_WORDS; ++i) {
        int a = ADDR_USER_ID + i;
        if (!cell_holds_data(image[a])) image[a] = static_cast<uint16_t>(expected_user_id(plan, i, chip));
    }
    return write_user_id_words(true);
}

bool full_upload(const WritePlan& plan, const char* why) {
    ui_print("\n%s - full upload", why);
    return write_plan(plan);
}

bool update_rows(const WritePlan& plan, const ChipWords& chip) {
    RowTally tally{};
    if (plan.write_flash || (plan.erase_program && !plan.copy_from_chip)) {
        if (!compare_rows(plan, tally)) return full_upload(plan, "Most of program flash differs");
        if (tally.differing > 0 && !write_rows(tally)) return false;
        run_result.counts.rows_unchanged = tally.candidates - tally.differing;
        // Every row read and compared (empty cells as erased), or rewritten.
        run_result.counts.flash_matches_image =
            static_cast<long>(tally.candidates) * flash_row_size() >= plan_flash_size();
        ui_print("\nProgram flash: %d of %d rows written, %d unchanged", tally.differing,
                    tally.candidates, tally.candidates - tally.differing);
    }
    if (!update_eeprom()) return false;
    if (user_ids_differ(plan, chip)) {
        if (!rewrite_user_ids(plan, chip)) return false;
        ui_print("\nUser ID: written");
    } else if (plan.write_user_ids) {
        ui_print("\nUser ID: unchanged");
    }
    if (plan.write_config) ui_print("\nConfig Words: unchanged");
    std::puts("\nOk!");
    ui_summary();
    return true;
}

// The calibrated family is compared as /VERIFY compares it; any difference
// means the full upload, the only way such a chip is rewritten.
bool calibrated_chip_matches() {
    long before = run_result.mismatch_total;
    int count = run_result.mismatch_count;
    VerifySpan flash{MEM_FLASH, 0, plan_flash_size(), BLOCK, 0x3FFF, true, false, false, false,
                     kept_osccal_address()};
    VerifySpan eeprom{MEM_EEPROM, ADDR_EEPROM, plan_eeprom_size(), BLOCK, 0xFF, true, false,
                      false, false, -1};
    VerifySpan ids{MEM_USER_ID, ADDR_USER_ID, USER_ID_WORDS, USER_ID_WORDS, 0x3FFF, true,
                   false, false, false, -1};
    long found = verify_span(flash).mismatches + verify_span(eeprom).mismatches +
                 verify_span(ids).mismatches;
    if (saved_osccal_word <= 0x3FFF &&
        ((prog_read_word(device.osccal_address) ^ saved_osccal_word) & 0x3FFF) != 0)
        ++found;
    uint16_t config = prog_read_word(ADDR_CONFIG1);
    unsigned want = image[ADDR_CONFIG1];
    if (cell_holds_data(want) && ((want ^ config) & config_compare_mask(0)) != 0) ++found;
    // What was found here is no failure: the upload that follows fixes it.
    run_result.mismatch_total = before;
    run_result.mismatch_count = count;
    return found == 0;
}

bool update_calibrated_chip(const WritePlan& plan) {
    ui_stage("comparing with the chip");
    uint16_t config = prog_read_word(ADDR_CONFIG1);
    if (device_config_words() == 1) result_note_config_words(&config, 1);
    if (device_code_protected(config)) return full_upload(plan, "Target is code protected");
    if (!calibrated_chip_matches()) return full_upload(plan, "Target differs");
    ui_print("\nTarget already holds it - nothing written");
    std::puts("\nOk!");
    return true;
}

}  // namespace

bool update_target() {
    WritePlan plan = plan_run();
    if (plan.flags == 0) return true;
    if (plan.unknown_chip || (write_flags & WF_BULK_ERASE)) return write_plan(plan);
    if (!calibration_word_usable(plan))
        return result_fail("\nimproper oscillator calibration instruction!");
    result_forget_flash_sums();
    if (device_erases_only_in_bulk() || flash_row_size() <= 0) return update_calibrated_chip(plan);
    ChipWords chip{};
    read_chip_words(chip);
    if (device_code_protected(chip.config[0])) return full_upload(plan, "Target is code protected");
    if (config_differs(plan, chip)) return full_upload(plan, "Config words differ");
    // Where the row erase would reach beyond the user IDs, only the chip erase
    // of the full upload rewrites them.
    if (!device_family().row_erase_user_ids && user_ids_differ(plan, chip))
        return full_upload(plan, "User ID differs");
    return update_rows(plan, chip);
}
