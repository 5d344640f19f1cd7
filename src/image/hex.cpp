// Placeholder until this module is written.
#include "image/hex.h"
int hex_read_byte() { return -1; }
int hex_load(std::FILE*, uint16_t*, int) { return -1; }
