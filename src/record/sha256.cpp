#include "record/sha256.h"

#include <cstdio>

namespace {

// First 32 bits of the fractional parts of the cube roots of the first 64 primes.
const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(Sha256& s) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        const unsigned char* b = s.block + 4 * i;
        w[i] = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
               static_cast<uint32_t>(b[2]) << 8 | b[3];
    }
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    for (int i = 0; i < 8; ++i) v[i] = s.state[i];
    for (int i = 0; i < 64; ++i) {
        uint32_t e = v[4], a = v[0];
        uint32_t t1 = v[7] + (rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25)) +
                      ((e & v[5]) ^ (~e & v[6])) + ROUND_CONSTANTS[i] + w[i];
        uint32_t t2 = (rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22)) +
                      ((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));
        for (int k = 7; k > 0; --k) v[k] = v[k - 1];
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) s.state[i] += v[i];
}

}  // namespace

void sha256_init(Sha256& s) {
    static const uint32_t INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    for (int i = 0; i < 8; ++i) s.state[i] = INITIAL[i];
    s.filled = 0;
    s.length = 0;
}

void sha256_update(Sha256& s, const unsigned char* data, std::size_t count) {
    s.length += count;
    for (std::size_t i = 0; i < count; ++i) {
        s.block[s.filled++] = data[i];
        if (s.filled == 64) {
            compress(s);
            s.filled = 0;
        }
    }
}

// Padding: a 1 bit, zeros up to 56 bytes into a block, the length in bits
// as a big-endian 64-bit number.
void sha256_final_hex(Sha256& s, char out[65]) {
    uint64_t bits = s.length * 8;
    s.block[s.filled++] = 0x80;
    if (s.filled > 56) {
        while (s.filled < 64) s.block[s.filled++] = 0;
        compress(s);
        s.filled = 0;
    }
    while (s.filled < 56) s.block[s.filled++] = 0;
    for (int i = 7; i >= 0; --i) s.block[s.filled++] = static_cast<unsigned char>(bits >> (8 * i));
    compress(s);
    for (int i = 0; i < 8; ++i)
        std::snprintf(out + 8 * i, 9, "%08x", static_cast<unsigned>(s.state[i]));
}
