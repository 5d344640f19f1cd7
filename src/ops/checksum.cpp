#include "ops/checksum.h"

#include <cstdint>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"
#include "ops/plan.h"
#include "ops/result.h"
#include "protocol/prog.h"
#include "ui/progress.h"

namespace {

constexpr int BLOCK = 32;  // the longest block read the link does in one reply
constexpr long CHECKSUM_MODULUS = 0x10000;

long read_chip_checksum() {
    ui_stage("reading flash for the checksum");
    uint16_t config = prog_read_word(ADDR_CONFIG1);
    if (device_code_protected(config)) return -1;
    int size = plan_flash_size();
    ui_progress_begin("reading flash for the checksum", size, "words");
    uint16_t words[BLOCK];
    unsigned long sum = 0;
    for (int a = 0; a < size; a += BLOCK) {
        int n = size - a < BLOCK ? size - a : BLOCK;
        prog_read_block(a, n, words);
        for (int k = 0; k < n; ++k) sum += words[k] & 0x3FFFu;
        ui_progress_step(n);
    }
    ui_progress_end();
    return static_cast<long>(sum % CHECKSUM_MODULUS);
}

}  // namespace

long checksum_of_image() {
    unsigned long sum = 0;
    for (int a = 0; a < plan_flash_size(); ++a)
        sum += cell_holds_data(image[a]) ? image[a] : 0x3FFFu;
    return static_cast<long>(sum % CHECKSUM_MODULUS);
}

long checksum_after_run() {
    if (device.flash_size & 0x8000) return -1;
    if (run_result.counts.flash_matches_image) return checksum_of_image();
    return read_chip_checksum();
}
