// The checksums of the chip after a run. The plain one is the sum of its
// flash words (14 bits each) modulo 0x10000. The device checksum is the one
// the chip maker's tools show (device_checksum.h). A run that left the flash
// equal to the image, or read it whole and wrote nothing after, knows every
// word already; a run that verified or wrote the configuration words and user
// IDs knows those.
#pragma once
#include <cstdint>

// -1 when the chip is not in the database (its flash size is unknown) or is
// code protected (it reads its program memory as zeros). Reads the chip only
// when the run does not know its flash.
long checksum_after_run();
// The sum over the image's program flash cells of the connected chip, an
// empty cell counted as an erased word (0x3FFF).
long checksum_of_image();
// The device checksum of the chip after the run; -1 when the chip is not in
// the database. With `may_read` it reads whatever the run does not know yet;
// without, only a run that knows the flash (or a code-protected chip's
// configuration) gives one, reading at most the configuration words and user
// IDs it lacks, and any other run gives -1 without a byte sent.
long device_checksum_after_run(bool may_read);

// Both sums over flash words read from the chip, `n` words from `first`;
// `result_note_flash_sums` takes them once the whole flash has been read.
struct FlashSums {
    unsigned long plain;   // every word
    unsigned long device;  // the words the device checksum counts
};
void checksum_add_words(FlashSums& sums, int first, const uint16_t* words, int n);
void checksum_note_sums(const FlashSums& sums);
