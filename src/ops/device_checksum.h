// The device checksum: the 16-bit figure the chip maker's programming tools
// show for a HEX file on a part and for a programmed chip, as the maker's
// programming documents for the part define it. Program memory from 0 to the last
// user address (an empty cell counts as an erased word, 0x3FFF) plus every
// configuration word ANDed with the part's mask of implemented bits, carries
// beyond 16 bits dropped. A code-protected chip reads its program memory as
// zeros, so with protection on the masked configuration words and the user
// IDs' low nibbles count instead, folded as the family does it. Data EEPROM,
// device ID, revision and calibration words never count.
#pragma once
#include <cstdint>

struct Part;

// The last program memory address summed: the last word of flash, or the one
// before the part's OSCCAL word where that sits at the top (PIC12F629 family).
int device_checksum_last_address(const Part& part);
// The 16-bit sum of program memory words 0 .. the last address of `cells`,
// indexed by word address, an empty cell counted as 0x3FFF.
unsigned device_checksum_flash_sum(const Part& part, const uint16_t* cells);
// The checksum from the program memory sum, the part's configuration words
// (configuration word 1 first) and the four user IDs (ID0 first). The user
// IDs are read only when configuration word 1 protects the program memory,
// the program memory sum only when it does not.
unsigned device_checksum_combine(const Part& part, unsigned flash_sum, const uint16_t* config,
                                 const uint16_t* user_ids);
// The checksum of an image: `cells` in picup's address map (program memory
// from 0, user IDs from 0x8000, configuration words from 0x8007), all
// IMAGE_SIZE of them, empty cells counted as erased words.
unsigned device_checksum(const Part& part, const uint16_t* cells);
