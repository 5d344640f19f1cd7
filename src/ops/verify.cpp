#include "ops/verify.h"

#include <cstdint>

#include "image/image.h"
#include "protocol/prog.h"
#include "ui/progress.h"

namespace {

// Compares one cell read from the chip; a difference is noted in the run
// result. Cells past the end of the image (a block read that runs over it)
// do not exist and are never compared.
bool cell_differs(const VerifySpan& s, int a, uint16_t chip) {
    if (a == s.exclude || a >= IMAGE_SIZE) return false;
    unsigned expected = image[a];
    if (!cell_holds_data(expected)) {
        if (!s.whole_blocks) return false;
        expected = erased_value(s.region);
    }
    if (((expected ^ chip) & s.mask) == 0) return false;
    result_note_mismatch(s.region, a, static_cast<uint16_t>(chip & s.mask),
                         static_cast<uint16_t>(expected & s.mask));
    return true;
}

bool block_is_read(const VerifySpan& s, int b, int block) {
    if (!s.skip_empty) return true;
    int n = b + block <= IMAGE_SIZE ? block : IMAGE_SIZE - b;
    return cells_hold_data(b, n);
}

}  // namespace

unsigned erased_value(MemoryRegion region) { return region == MEM_EEPROM ? 0xFF : 0x3FFF; }

// Blocks decide what is read and compared; reads are as long as the
// programmer allows. Each wait for a reply costs the adapter's turnaround on a
// USB serial line (up to 16 ms), so consecutive blocks that are read go in
// reads of up to 255 words, however the blocks divide them.
VerifyOutcome verify_span(const VerifySpan& s) {
    int block = s.block < 1 ? 1 : (s.block > PROG_MAX_READ ? PROG_MAX_READ : s.block);
    VerifyOutcome out{0, 0};
    uint16_t buf[PROG_MAX_READ];
    int end = s.first + s.count;
    for (int b = s.first; b < end;) {
        if (!block_is_read(s, b, block)) {
            b += block;
            continue;
        }
        int run_end = b + block;
        while (run_end < end && block_is_read(s, run_end, block)) run_end += block;
        for (int r = b; r < run_end;) {
            int n = run_end - r < PROG_MAX_READ ? run_end - r : PROG_MAX_READ;
            if (s.position_first) prog_set_address(r);
            prog_read_block(r, n, buf);
            for (int k = 0; k < n; ++k) {
                int a = r + k;
                if (cell_differs(s, a, buf[k])) ++out.mismatches;
                if ((a - s.first) % block != block - 1) continue;
                // The block's last cell: it has been compared whole.
                ++out.blocks;
                ui_progress_step(block);
                if (out.mismatches > 0 && s.stop_at_first) return out;
            }
            r += n;
        }
        b = run_end;
    }
    return out;
}
