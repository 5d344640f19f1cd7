// SHA-256 of a byte stream, fed in pieces of any size: the run record names
// the HEX file it uploaded by its digest.
#pragma once
#include <cstddef>
#include <cstdint>

struct Sha256 {
    uint32_t state[8];
    unsigned char block[64];
    int filled;         // bytes waiting in `block`
    uint64_t length;    // bytes fed so far
};

void sha256_init(Sha256& s);
void sha256_update(Sha256& s, const unsigned char* data, std::size_t count);
// The digest as 64 lower-case hexadecimal digits and a terminating zero.
void sha256_final_hex(Sha256& s, char out[65]);
