#include "ops/checksum.h"

#include <cstdint>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"
#include "ops/device_checksum.h"
#include "ops/plan.h"
#include "ops/result.h"
#include "protocol/prog.h"
#include "ui/progress.h"

namespace {

constexpr int BLOCK = PROG_MAX_READ;  // the longest block read, one reply
constexpr long CHECKSUM_MODULUS = 0x10000;

bool chip_unknown() { return (device.flash_size & 0x8000) != 0; }

bool flash_known() { return run_result.counts.flash_matches_image || run_result.known.flash_sums_known; }

void read_config_words() {
    ui_stage("reading config words for the checksum");
    uint16_t config[MAX_CONFIG_WORDS] = {0x3FFF, 0x3FFF, 0x3FFF, 0x3FFF};
    prog_read_block(ADDR_CONFIG1, device_config_words(), config);
    result_note_config_words(config, device_config_words());
}

void read_user_ids() {
    ui_stage("reading user ID for the checksum");
    uint16_t ids[USER_ID_WORDS];
    prog_read_block(ADDR_USER_ID, USER_ID_WORDS, ids);
    result_note_user_ids(ids);
}

// One pass over the whole flash gives both sums.
void read_flash_sums() {
    ui_stage("reading flash for the checksum");
    int size = plan_flash_size();
    ui_progress_begin("reading flash for the checksum", size, "words");
    uint16_t words[BLOCK];
    FlashSums sums{0, 0};
    for (int a = 0; a < size; a += BLOCK) {
        int n = size - a < BLOCK ? size - a : BLOCK;
        prog_read_block(a, n, words);
        checksum_add_words(sums, a, words, n);
        ui_progress_step(n);
    }
    ui_progress_end();
    checksum_note_sums(sums);
}

// A protected chip reads its program memory as zeros: a read of it would
// give nothing, and its configuration tells.
bool chip_protected() { return device_code_protected(run_result.known.config[0]); }

}  // namespace

void checksum_add_words(FlashSums& sums, int first, const uint16_t* words, int n) {
    int last = device_checksum_last_address(device);
    for (int k = 0; k < n; ++k) {
        unsigned w = words[k] & 0x3FFFu;
        sums.plain += w;
        if (first + k <= last) sums.device += w;
    }
}

void checksum_note_sums(const FlashSums& sums) {
    result_note_flash_sums(static_cast<long>(sums.plain % CHECKSUM_MODULUS),
                           static_cast<unsigned>(sums.device & 0xFFFF));
}

long checksum_of_image() {
    unsigned long sum = 0;
    for (int a = 0; a < plan_flash_size(); ++a)
        sum += cell_holds_data(image[a]) ? image[a] : 0x3FFFu;
    return static_cast<long>(sum % CHECKSUM_MODULUS);
}

long checksum_after_run() {
    if (chip_unknown()) return -1;
    if (run_result.counts.flash_matches_image) return checksum_of_image();
    if (!run_result.known.config_known) read_config_words();
    if (chip_protected()) return -1;
    if (!run_result.known.flash_sums_known) read_flash_sums();
    return run_result.known.flash_plain_sum;
}

long device_checksum_after_run(bool may_read) {
    if (chip_unknown()) return -1;
    const ChipKnowledge& known = run_result.known;
    bool protection_known = known.config_known && chip_protected();
    if (!may_read && !flash_known() && !protection_known) return -1;
    if (!known.config_known) read_config_words();
    unsigned flash_sum = 0;
    if (chip_protected()) {
        if (!known.user_ids_known) read_user_ids();
    } else if (run_result.counts.flash_matches_image) {
        flash_sum = device_checksum_flash_sum(device, image);
    } else {
        if (!known.flash_sums_known) read_flash_sums();
        flash_sum = known.flash_device_sum;
    }
    return device_checksum_combine(device, flash_sum, known.config, known.user_ids);
}
