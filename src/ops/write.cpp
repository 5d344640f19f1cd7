// The write sequence: carries out a write plan. PIC12F629-family chips carry a
// factory oscillator calibration instruction (a RETLW at the top of flash) and
// two band-gap calibration bits in configuration word 1; a bulk erase wipes
// both, so they are read first and written back with everything else.
#include "ops/write.h"

#include <cstdio>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"
#include "ops/flash.h"
#include "ops/plan.h"
#include "ops/result.h"
#include "ops/verify.h"
#include "protocol/prog.h"
#include "ui/progress.h"

namespace {

constexpr int BLOCK = 32;
const char* const VERIFY_ERROR = "\nVerify Error!";

// Empty image cells take the chip's words, so that an erase that follows
// gives them back. An erased word (0x3FFF) needs no copy. The whole flash is
// read before anything is written, in the longest reads there are.
void copy_flash_from_target() {
    ui_progress_begin("reading back flash", plan_flash_size(), "words");
    uint16_t buf[PROG_MAX_READ];
    for (int a = 0; a < plan_flash_size(); a += PROG_MAX_READ) {
        int n = plan_flash_size() - a < PROG_MAX_READ ? plan_flash_size() - a : PROG_MAX_READ;
        prog_read_block(a, n, buf);
        for (int j = 0; j < n; ++j) {
            if (!cell_holds_data(image[a + j]) && buf[j] <= 0x3FFE) image[a + j] = buf[j];
        }
        ui_progress_step(n);
    }
    ui_progress_end();
}

void copy_user_ids_from_target() {
    uint16_t buf[USER_ID_WORDS];
    prog_read_block(ADDR_USER_ID, USER_ID_WORDS, buf);
    for (int i = 0; i < USER_ID_WORDS; ++i) {
        if (!cell_holds_data(image[ADDR_USER_ID + i])) image[ADDR_USER_ID + i] = buf[i];
    }
}

// A protected chip reads back zeros, which must not be copied: its program
// then ends up erased, which is all a protected chip allows anyway. Where the
// plan has read configuration word 1 already, its protection bit is known
// before anything else is read.
void copy_chip_with_config_known() {
    if (!device_code_protected(saved_config_word)) copy_flash_from_target();
    ui_stage("reading back user ID and config words");
    copy_user_ids_from_target();
    for (int i = 0; i < device_config_words(); ++i) {
        int a = ADDR_CONFIG1 + i;
        if (!cell_holds_data(image[a])) image[a] = prog_read_word(a);
    }
}

void copy_chip() {
    ui_stage("reading back config words");
    uint16_t config[MAX_CONFIG_WORDS];
    int n = device_config_words();
    prog_read_block(ADDR_CONFIG1, n, config);
    if (!device_code_protected(config[0])) copy_flash_from_target();
    ui_stage("reading back user ID");
    copy_user_ids_from_target();
    for (int i = 0; i < n; ++i) {
        if (!cell_holds_data(image[ADDR_CONFIG1 + i])) image[ADDR_CONFIG1 + i] = config[i];
    }
}

// The chip erase of some families takes data EEPROM too: the bytes the image
// leaves empty are read first and written back, as the other families keep
// them. An erased byte (0xFF) needs no copy.
void copy_eeprom_from_target() {
    int size = plan_eeprom_size();
    ui_progress_begin("reading back data EEPROM", size, "bytes");
    uint16_t buf[BLOCK];
    for (int b = 0; b < size; b += BLOCK) {
        int n = size - b < BLOCK ? size - b : BLOCK;
        prog_read_block(ADDR_EEPROM + b, n, buf);
        for (int j = 0; j < n; ++j) {
            uint16_t& cell = image[ADDR_EEPROM + b + j];
            if (!cell_holds_data(cell) && (buf[j] & 0xFF) != 0xFF) cell = buf[j] & 0xFF;
        }
        ui_progress_step(n);
    }
    ui_progress_end();
}

void preserve(const WritePlan& plan) {
    ui_stage("reading the calibration words");
    if (plan.read_osccal && saved_osccal_word > 0x3FFF)
        saved_osccal_word = prog_read_word(device.osccal_address);
    if (plan.read_config1) saved_config_word = prog_read_word(ADDR_CONFIG1);
    if (plan.copy_user_ids) {
        ui_stage("reading back user ID");
        copy_user_ids_from_target();
    }
    if (plan.copy_eeprom) copy_eeprom_from_target();
    if (!plan.copy_from_chip) return;
    if (plan.read_config1) {
        copy_chip_with_config_known();
    } else {
        copy_chip();
    }
}

void restore_saved_words(const WritePlan& plan) {
    int o = device.osccal_address;
    if (plan.place_osccal && o > 0 && o < IMAGE_SIZE) {
        image[o] = saved_osccal_word;
        run_result.counts.preserved_osccal = saved_osccal_word;
    }
    int s = device.save_mask;
    if (plan.merge_config_bits) {
        saved_config_word = static_cast<uint16_t>(saved_config_word & s);
        image[ADDR_CONFIG1] =
            static_cast<uint16_t>((image[ADDR_CONFIG1] & 0x3FFF & ~s) | saved_config_word);
        run_result.counts.preserved_config_bits = saved_config_word;
    }
}

// A RETLW k instruction is 0x34kk..0x37kk in the 14-bit instruction set.
bool osccal_is_retlw() { return (saved_osccal_word & 0x3C00) == 0x3400; }

// The sync after the erase is the one wait the erase stage has: a programmer
// that refuses or fails the erase is reported while bulk erasing, not in the
// middle of the first row.
void bulk_erase_program() {
    ui_print("\nBulk Erasing");
    ui_stage("bulk erasing");
    prog_erase_chip();
    prog_sync();
    run_result.counts.bulk_erased = true;
    result_note_bulk_erase();
}

void write_eeprom(int size) {
    ui_print("\nProgramming Data EEPROM...");
    ui_progress_begin("programming data EEPROM", size, "bytes");
    prog_set_address(ADDR_EEPROM);
    for (int i = 0; i < size; ++i) {
        uint16_t cell = image[ADDR_EEPROM + i];
        if (cell_holds_data(cell)) {
            prog_load_data_byte(cell & 0xFF);
            prog_program_data_cycle();
            ++run_result.counts.eeprom_written;
        }
        prog_increment(1);
        ui_progress_step(1);
    }
    ui_progress_end();
}

// Every block from the start is read, whether or not it holds a byte; only
// cells that hold one are compared.
bool verify_eeprom(int size) {
    ui_print("\nVerifying Data EEPROM...");
    ui_progress_begin("verifying data EEPROM", size, "bytes");
    VerifySpan span{MEM_EEPROM, ADDR_EEPROM, size, BLOCK, 0xFF, false, false, false, true, -1};
    VerifyOutcome out = verify_span(span);
    ui_progress_end();
    run_result.counts.eeprom_verified = run_result.counts.eeprom_written;
    return out.mismatches == 0 || result_fail(VERIFY_ERROR);
}

// A word read back by prog_write_word_checked matches when the bits of
// `mask` do; a negative result means nothing came back.
bool word_matches(int written, int read_back, unsigned mask) {
    return read_back >= 0 && ((static_cast<unsigned>(written ^ read_back)) & mask) == 0;
}

// The bits a configuration word reads back on the connected chip.
unsigned config_word_mask(int i) {
    if (!device_family().config_reads_implemented) return 0x3FFF;
    return static_cast<unsigned>(device.config_masks[i]) & 0x3FFF;
}

bool write_word_checked(MemoryRegion region, int address, int value, const char* failure,
                        unsigned mask = 0x3FFF) {
    int r = prog_write_word_checked(value);
    if (word_matches(value, r, mask)) return true;
    result_note_mismatch(region, address, static_cast<uint16_t>(r < 0 ? 0 : r & 0x3FFF),
                         static_cast<uint16_t>(value & 0x3FFF));
    return result_fail(failure);
}

// Some bits of configuration word 1 the chip holds at zero (the PIC12F629
// family's; Z clears them so the read-back can match); the older mid-range
// families read every unimplemented bit as 0, so their words are compared on
// the implemented bits. A part with one configuration word takes no
// increment after it.
bool write_config_words() {
    ui_print("\nProgramming Config Words");
    ui_stage("programming config words");
    prog_set_address(ADDR_CONFIG1);
    StageCounts& c = run_result.counts;
    int words = device_config_words();
    for (int i = 0; i < words; ++i) {
        int v = image[ADDR_CONFIG1 + i];
        if (i == 0) v &= device.zero_mask;
        c.config_value[i] = static_cast<uint16_t>(v & 0x3FFF);
        c.config_count = i + 1;
        if (!write_word_checked(MEM_CONFIG, ADDR_CONFIG1 + i, v, "\nError!", config_word_mask(i))) return false;
        c.config_read_back[i] = c.config_value[i];
        if (words > 1) prog_increment(1);
    }
    c.config_written = true;
    result_note_config_words(c.config_value, words);
    return true;
}

// Everything the chip holds that the plan keeps is read before the first erase.
bool prepare(const WritePlan& plan) {
    preserve(plan);
    restore_saved_words(plan);
    if (plan.erase_data) {
        ui_stage("erasing data EEPROM");
        prog_erase_data();
    }
    if (plan.check_osccal && !osccal_is_retlw())
        return result_fail("\nimproper oscillator calibration instruction!");
    return true;
}

}  // namespace

bool write_plan(const WritePlan& plan) {
    if (plan.flags == 0) return true;
    if (plan.unknown_chip) return result_fail("\nPIC not found in data base - Writing disabled!");
    result_forget_flash_sums();
    if (!prepare(plan)) return false;
    if (plan.erase_program) bulk_erase_program();
    if (plan.write_flash && !write_program_flash(plan.row_erase)) return false;
    if (plan.write_eeprom) {
        int eeprom_size = plan_eeprom_size();
        write_eeprom(eeprom_size);
        if (!verify_eeprom(eeprom_size)) return false;
    }
    if (plan.write_user_ids && !write_user_id_words(plan.row_erase)) return false;
    if (plan.write_config && !write_config_words()) return false;
    // After the bulk erase every row the image holds was written and verified,
    // and every other row stays erased.
    run_result.counts.flash_matches_image =
        plan.erase_program && (plan.write_flash || !cells_hold_data(0, plan_flash_size()));
    std::puts("\nOk!");
    ui_summary();
    return true;
}

bool write_user_id_words(bool row_erase) {
    ui_print("\nProgramming User ID");
    ui_stage("programming user ID");
    prog_set_address(ADDR_USER_ID);
    if (row_erase) prog_erase_row();
    for (int i = 0; i < USER_ID_WORDS; ++i) {
        if (!write_word_checked(MEM_USER_ID, ADDR_USER_ID + i, image[ADDR_USER_ID + i], VERIFY_ERROR))
            return false;
        prog_increment(1);
    }
    run_result.counts.user_ids_written = true;
    result_note_user_ids(image + ADDR_USER_ID);
    return true;
}

bool write_target() { return write_plan(plan_run()); }
