// The program memory checksum of the chip after a run: the sum of its flash
// words (14 bits each) modulo 0x10000, the figure development tools show for
// a chip. A run that left the flash equal to the image knows every word
// already; any other run reads the flash once more to know it.
#pragma once

// -1 when the chip is not in the database (its flash size is unknown) or is
// code protected (it reads its program memory as zeros). Reads the chip only
// when run_result says the flash is not the image.
long checksum_after_run();
// The sum over the image's program flash cells of the connected chip, an
// empty cell counted as an erased word (0x3FFF).
long checksum_of_image();
