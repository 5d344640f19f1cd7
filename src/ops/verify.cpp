#include "ops/verify.h"

#include <cstdint>

#include "image/image.h"
#include "protocol/prog.h"
#include "ui/progress.h"

namespace {

constexpr int MAX_BLOCK = 32;

long compare_block(const VerifySpan& s, int b, int n, const uint16_t* buf) {
    long found = 0;
    for (int k = 0; k < n; ++k) {
        int a = b + k;
        if (a == s.exclude) continue;
        unsigned expected = image[a];
        if (!cell_holds_data(expected)) {
            if (!s.whole_blocks) continue;
            expected = erased_value(s.region);
        }
        if (((expected ^ buf[k]) & s.mask) == 0) continue;
        ++found;
        result_note_mismatch(s.region, a, static_cast<uint16_t>(buf[k] & s.mask),
                             static_cast<uint16_t>(expected & s.mask));
    }
    return found;
}

}  // namespace

unsigned erased_value(MemoryRegion region) { return region == MEM_EEPROM ? 0xFF : 0x3FFF; }

VerifyOutcome verify_span(const VerifySpan& s) {
    int block = s.block < 1 ? 1 : (s.block > MAX_BLOCK ? MAX_BLOCK : s.block);
    VerifyOutcome out{0, 0};
    uint16_t buf[MAX_BLOCK];
    for (int b = s.first; b < s.first + s.count; b += block) {
        // A block read past the end of the image would compare cells that do
        // not exist.
        int n = b + block <= IMAGE_SIZE ? block : IMAGE_SIZE - b;
        if (s.skip_empty && !cells_hold_data(b, n)) continue;
        if (s.position_first) prog_set_address(b);
        prog_read_block(b, block, buf);
        out.mismatches += compare_block(s, b, n, buf);
        ++out.blocks;
        ui_progress_step(block);
        if (out.mismatches > 0 && s.stop_at_first) break;
    }
    return out;
}
