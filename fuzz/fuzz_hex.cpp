// Feeds arbitrary bytes to the HEX reader, for both address maps (standard and
// the PIC12F629 family's), with a small and the largest flash size.
#include <cstdint>
#include <cstdio>

#include "devicedb/devicedb.h"
#include "image/hex.h"
#include "image/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the device shape; the rest is the file.
    device_db_set_defaults();
    device.type_code = data[0] & 1;
    device.flash_size = (data[0] & 2) ? 0x400 : 0x8000;
    image_init();
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "r");
    if (file == nullptr) return 0;
    hex_load(file, image, device.flash_size);
    std::fclose(file);
    for (int a = 0; a < IMAGE_SIZE; ++a) {
        // Everything the reader stores is a 14-bit word; untouched cells stay empty.
        if (image[a] != EMPTY_CELL && image[a] > 0x3FFF) __builtin_trap();
    }
    return 0;
}
