// The built-in part table and what can be asked of a row.
#include "devicedb/part.h"


const Part PART_TABLE[] = {
#include "devicedb/parts.inc"
};
const int PART_COUNT = static_cast<int>(sizeof PART_TABLE / sizeof PART_TABLE[0]);
static_assert(sizeof PART_TABLE / sizeof PART_TABLE[0] <= PART_TABLE_MAX, "PART_TABLE_MAX is too small");

namespace {

int upper(int c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

bool same_name(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (upper(static_cast<unsigned char>(*a)) != upper(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

}  // namespace

bool part_matches_id(const Part& part, unsigned device_id) {
    return ((device_id ^ static_cast<unsigned>(part.device_id)) & static_cast<unsigned>(part.id_mask)) == 0;
}

const Part* part_find_id(unsigned device_id) {
    for (int i = 0; i < PART_COUNT; ++i) {
        const Part& p = PART_TABLE[i];
        if (part_matches_id(p, device_id)) return &p;
    }
    return nullptr;
}

const Part* part_find_name(const char* name) {
    for (int i = 0; i < PART_COUNT; ++i) {
        if (same_name(name, PART_TABLE[i].name)) return &PART_TABLE[i];
    }
    return nullptr;
}

// Parts with a full 14-bit device ID compare every bit of it; their revision
// is a word of its own at 0x8005.
bool part_revision_in_word(const Part& part) { return (part.id_mask & 0x1F) == 0x1F; }

int part_revision(const Part& part, int device_id, int revision_word) {
    if (part_revision_in_word(part)) return revision_word & 0x3FFF;
    return device_id & ~part.id_mask & 0x1F;
}

bool part_is_low_voltage(const Part& part) {
    const char* n = part.name;
    return upper(n[0]) == 'P' && upper(n[1]) == 'I' && upper(n[2]) == 'C' && n[3] != '\0' && n[4] != '\0' &&
           upper(n[5]) == 'L' && upper(n[6]) == 'F';
}

int part_default_latches(int row_size) { return row_size > 0 ? row_size : 1; }
