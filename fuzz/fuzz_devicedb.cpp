// Feeds arbitrary text to the device database scan. The first two bytes are the
// device ID looked up.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "devicedb/devicedb.h"
#include "protocol/detect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    unsigned id = (data[0] | (data[1] << 8)) & 0x3FFF;
    device_db_set_defaults();
    std::strcpy(target_info.device_name, "(unknown)");
    target_info.device_id = static_cast<uint16_t>(id);
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data + 2), size - 2, "r");
    if (file == nullptr) return 0;
    device_db_scan(file, id);
    std::fclose(file);
    if (strnlen(device.name, sizeof device.name) > 20) __builtin_trap();
    return 0;
}
