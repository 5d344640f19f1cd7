// /VERIFY: the chip read region by region and compared with the image, as an
// upload of the image would leave it; nothing is erased or programmed.
#include <cstdio>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"
#include "ops/compare.h"
#include "ops/flash.h"
#include "ops/plan.h"
#include "ops/result.h"
#include "ops/verify.h"
#include "protocol/prog.h"
#include "ui/progress.h"

namespace {

// Mismatches listed on the console; the run result keeps more.
constexpr int LISTED = 20;
constexpr int BLOCK = 32;

char count_message[80];

// A blank chip as the image: every flash, user ID and data EEPROM cell erased.
void image_blank() {
    for (int a = 0; a < plan_flash_size(); ++a) image[a] = 0x3FFF;
    for (int i = 0; i < USER_ID_WORDS; ++i) image[ADDR_USER_ID + i] = 0x3FFF;
    for (int i = 0; i < plan_eeprom_size(); ++i) image[ADDR_EEPROM + i] = 0xFF;
}

// Rows latched whole are compared whole, their empty cells as erased ones; on
// word-programmed chips the cells the image leaves empty keep the chip's words.
long verify_flash() {
    if (!cells_hold_data(0, plan_flash_size())) return 0;
    bool rows = !device_erases_only_in_bulk() && flash_row_size() > 0;
    int block = rows ? flash_row_size() : BLOCK;
    if (block > BLOCK) block = BLOCK;
    ui_print("\nVerifying program flash...");
    ui_progress_begin("verifying flash", image_flash_cells(plan_flash_size(), block), "words");
    VerifySpan span{MEM_FLASH, 0, plan_flash_size(), block, 0x3FFF, true,
                    rows, false, false, kept_osccal_address()};
    VerifyOutcome out = verify_span(span);
    ui_progress_end();
    run_result.counts.rows_verified += out.blocks;
    // Whole blocks compare empty cells as erased: when every block was read,
    // the chip's flash is known word for word.
    run_result.counts.flash_matches_image =
        span.whole_blocks && static_cast<long>(out.blocks) * block >= plan_flash_size();
    return out.mismatches;
}

long verify_eeprom() {
    int size = plan_eeprom_size();
    if (!cells_hold_data(ADDR_EEPROM, size)) return 0;
    ui_print("\nVerifying Data EEPROM...");
    ui_progress_begin("verifying data EEPROM", size, "bytes");
    VerifySpan span{MEM_EEPROM, ADDR_EEPROM, size, BLOCK, 0xFF, true, false, false, false, -1};
    VerifyOutcome out = verify_span(span);
    ui_progress_end();
    return out.mismatches;
}

long verify_user_ids() {
    if (!cells_hold_data(ADDR_USER_ID, USER_ID_WORDS)) return 0;
    ui_print("\nVerifying User ID...");
    ui_stage("verifying user ID");
    VerifySpan span{MEM_USER_ID, ADDR_USER_ID, USER_ID_WORDS, USER_ID_WORDS, 0x3FFF,
                    true, false, false, false, -1};
    return verify_span(span).mismatches;
}

long verify_config(const uint16_t* chip) {
    int n = device_config_words();
    if (!cells_hold_data(ADDR_CONFIG1, n)) return 0;
    ui_print("\nVerifying Config Words...");
    long found = 0;
    for (int i = 0; i < n; ++i) {
        unsigned expected = image[ADDR_CONFIG1 + i];
        if (!cell_holds_data(expected)) continue;
        unsigned mask = config_compare_mask(i);
        if (((expected ^ chip[i]) & mask) == 0) continue;
        ++found;
        result_note_mismatch(MEM_CONFIG, ADDR_CONFIG1 + i, static_cast<uint16_t>(chip[i] & mask),
                             static_cast<uint16_t>(expected & mask));
    }
    return found;
}

void list_mismatches(bool from_file) {
    const char* label = from_file ? "file" : "expected";
    for (int i = 0; i < run_result.mismatch_count && i < LISTED; ++i) {
        const Mismatch& m = run_result.mismatches[i];
        const char* format = m.region == MEM_EEPROM
                                 ? "\nMismatch in %s at 0x%04X: chip 0x%02X, %s 0x%02X"
                                 : "\nMismatch in %s at 0x%04X: chip 0x%04X, %s 0x%04X";
        ui_print(format, region_name(m.region), m.address, m.chip, label, m.expected);
    }
}

bool report(long total, bool from_file) {
    if (total == 0) {
        std::puts("\nOk!");
        return true;
    }
    list_mismatches(from_file);
    if (total > LISTED) {
        std::snprintf(count_message, sizeof count_message, "\n%ld mismatches, the first %d listed!",
                      total, LISTED);
    } else {
        std::snprintf(count_message, sizeof count_message, "\n%ld mismatch%s!", total,
                      total == 1 ? "" : "es");
    }
    return result_fail(count_message);
}

// The cells the image leaves empty end as a full upload leaves them: erased
// where it bulk-erases (a file with configuration words is the whole
// program, /BULKERASE asks for it) or rewrites the user ID row, unless the
// upload copies the chip's own words there first. /UPDATE writes exactly
// those, so /VERIFY must compare them.
void expect_upload_result(const WritePlan& plan) {
    if (plan.unknown_chip) return;
    bool erased = plan.erase_program && !plan.copy_from_chip;
    for (int a = 0; erased && a < plan_flash_size(); ++a) {
        if (!cell_holds_data(image[a]) && a != kept_osccal_address()) image[a] = 0x3FFF;
    }
    bool ids_rewritten = (plan.write_user_ids || plan.erase_program) &&
                         !(plan.copy_from_chip || plan.copy_user_ids);
    for (int i = 0; ids_rewritten && i < USER_ID_WORDS; ++i) {
        if (!cell_holds_data(image[ADDR_USER_ID + i])) image[ADDR_USER_ID + i] = 0x3FFF;
    }
    for (int i = 0; plan.write_config && !plan.copy_from_chip && i < device_config_words(); ++i) {
        if (!cell_holds_data(image[ADDR_CONFIG1 + i])) image[ADDR_CONFIG1 + i] = 0x3FFF;
    }
    for (int i = 0; plan.erase_data && i < plan_eeprom_size(); ++i) {
        if (!cell_holds_data(image[ADDR_EEPROM + i])) image[ADDR_EEPROM + i] = 0xFF;
    }
}

}  // namespace

bool calibration_word_usable(const WritePlan& plan) {
    if (!plan.check_osccal) return true;
    unsigned word = saved_osccal_word <= 0x3FFF ? saved_osccal_word
                                                : prog_read_word(device.osccal_address);
    return (word & 0x3C00) == 0x3400;
}

// The PIC12F629 family keeps its own calibration instruction at O unless a
// fill gave one, so the chip's word there is not compared.
int kept_osccal_address() {
    if (device_family().calibration != CALIBRATION_READ_BACK || saved_osccal_word <= 0x3FFF) return -1;
    return device.osccal_address;
}

unsigned config1_compare_mask() {
    return static_cast<unsigned>(device.zero_mask & ~device.save_mask) & 0x3FFF;
}

unsigned config_compare_mask(int i) {
    unsigned mask = i == 0 ? config1_compare_mask() : 0x3FFF;
    if (device_family().config_reads_implemented && i >= 0 && i < MAX_CONFIG_WORDS)
        mask &= static_cast<unsigned>(device.config_masks[i]);
    return mask;
}

bool verify_target(bool blank_check, bool from_file) {
    if (device.flash_size & 0x8000) return result_fail("\nPIC not found in data base - Verifying disabled!");
    WritePlan plan = plan_run();
    if (blank_check) {
        image_blank();
    } else {
        expect_upload_result(plan);
    }
    ui_stage("reading config words");
    uint16_t config[MAX_CONFIG_WORDS] = {0x3FFF, 0x3FFF, 0x3FFF, 0x3FFF};
    prog_read_block(ADDR_CONFIG1, device_config_words(), config);
    result_note_config_words(config, device_config_words());
    // A protected chip reads its program memory back as zeros: that is no
    // difference from the file worth listing word by word.
    if (device_code_protected(config[0]) && cells_hold_data(0, plan_flash_size()))
        return result_fail("\nTarget is code protected - program memory cannot be read!");
    // An upload that would refuse the chip's calibration word fails here too.
    if (!calibration_word_usable(plan))
        return result_fail("\nimproper oscillator calibration instruction!");
    long total = verify_flash();
    total += verify_eeprom();
    total += verify_user_ids();
    if (!blank_check) total += verify_config(config);
    // User IDs the image holds all four of were read and compared.
    bool ids_compared = true;
    for (int i = 0; i < USER_ID_WORDS; ++i) ids_compared = ids_compared && cell_holds_data(image[ADDR_USER_ID + i]);
    if (total == 0 && ids_compared) result_note_user_ids(image + ADDR_USER_ID);
    return report(total, from_file);
}
