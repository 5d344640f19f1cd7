#include "ops/device_checksum.h"

#include "devicedb/family.h"
#include "devicedb/part.h"
#include "image/image.h"

namespace {

constexpr unsigned ERASED_WORD = 0x3FFF;
constexpr unsigned SIXTEEN_BITS = 0xFFFF;

unsigned word_or_erased(uint16_t cell) { return cell_holds_data(cell) ? cell : ERASED_WORD; }

}  // namespace

int device_checksum_last_address(const Part& part) {
    int size = part.flash_size & 0x7FFF;
    if (size > PROGRAM_SPACE_END) size = PROGRAM_SPACE_END;
    int last = size - 1;
    // The factory calibration instruction at the top of flash is the chip's
    // own, not the program's: the maker's checksum stops below it.
    if (part.osccal_address > 0 && part.osccal_address == last) --last;
    return last;
}

unsigned device_checksum_flash_sum(const Part& part, const uint16_t* cells) {
    unsigned sum = 0;
    for (int a = 0; a <= device_checksum_last_address(part); ++a) sum += word_or_erased(cells[a]);
    return sum & SIXTEEN_BITS;
}

unsigned device_checksum_combine(const Part& part, unsigned flash_sum, const uint16_t* config,
                                 const uint16_t* user_ids) {
    // An empty cell (0xFFFF) gives the same masked bits and nibble as an
    // erased word (0x3FFF), so the words are taken as they are.
    const ChipFamily& family = family_of(part.type_code);
    unsigned sum = 0;
    for (int i = 0; i < part_config_words(part); ++i)
        sum += config[i] & static_cast<unsigned>(part.config_masks[i]) & ERASED_WORD;
    if (!family_code_protected(family, config[0])) return (sum + flash_sum) & SIXTEEN_BITS;
    for (int i = 0; i < USER_ID_WORDS; ++i) {
        unsigned nibble = user_ids[i] & 0xFu;
        if (family.user_id_fold == USER_ID_NIBBLES_JOINED) {
            sum += nibble << (4 * (USER_ID_WORDS - 1 - i));
        } else {
            sum += nibble;
        }
    }
    return sum & SIXTEEN_BITS;
}

unsigned device_checksum(const Part& part, const uint16_t* cells) {
    return device_checksum_combine(part, device_checksum_flash_sum(part, cells), cells + ADDR_CONFIG1,
                                   cells + ADDR_USER_ID);
}
